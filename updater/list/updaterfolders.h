// The updater's own folders below the folder it updates.
#pragma once

// The updater's working folder below its own folder: the new copy of the updater, the staging
// and backup folders and the journal of an update live here. Neither it nor the application's
// settings folder is ever removed or replaced by a list.
const char kUpdatesFolder[] = "Application/Updates";
const char kConfigFolder[] = "Application/Config";

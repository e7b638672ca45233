#pragma once
// String resource ids of VextraPlayerUpdateService (shared by the resource script and code).
#define IDS_TASK_DESCRIPTION 110
#define IDS_SERVICE_DESCRIPTION 120

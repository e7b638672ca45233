#pragma once
// Whether a list can end a pending repair: the repair mark says a commit's journal was lost, so
// an old file may have gone into the backup with nobody left to put it back. Only a list that
// leaves every entry of it in place can say the folder is whole again.
#include "list/filelist.h"

#include <QString>

namespace repairgap {

// The first entry that `list` skips while nothing is in its place, or "": where a commit whose
// journal was lost may have taken an old file away, and this list would not put it back. Names
// that no commit ever writes do not count (outside the folder, Windows aliases, names no file
// system takes, the updater's own files and its new copy), nor a second entry of an accepted
// path, nor one that a file blocks on its way (on disk, or one of the list's own downloads),
// nor one that the list's own downloads or folders lie below (the release has a folder there).
// A skipped removal has nothing in its place only when it names one of those.
QString skippedEntryLeftEmpty(const FileListResult& list, const QString& baseFolder, const QString& ownFileName);

}  // namespace repairgap

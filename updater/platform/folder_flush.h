// Making a folder's entries durable: after a rename, the file's data is on disk but the
// folder's new entry may still be only in memory until the folder itself is flushed.
#pragma once

#include <QString>

// Flushes the entries of the folder `path` to disk and waits for it (a link is never followed).
// POSIX: fsync on the folder. Windows: FlushFileBuffers on a handle of the folder opened with
// FILE_FLAG_BACKUP_SEMANTICS, where the file system allows it (some refuse such a handle or its
// flush, and then have nothing to wait for): true then as well. False, with the system's
// reason, when the flush fails.
bool flushFolder(const QString& path, QString* error);

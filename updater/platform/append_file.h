// Appending to and opening a file without following a link in its place. Free of Qt, like the process seam.
#pragma once

#include <string>

namespace fileutil {

// Appends `data` to the file at `path` (UTF-8), creating it when missing. Refuses (returns false,
// writes nothing) when `path` itself is a symbolic link or, on Windows, any reparse point, so a
// link planted in the updater's folder cannot make the updater write elsewhere.
//   POSIX: open with O_NOFOLLOW.  Windows: opened with FILE_FLAG_OPEN_REPARSE_POINT and refused
//   when the opened file carries the reparse-point attribute.
bool appendNoFollow(const std::string& path, const std::string& data);

// Flushes what was written to the file at `path` to disk and waits for it, refusing a link in
// its place as appendNoFollow does. POSIX: fsync. Windows: FlushFileBuffers.
bool flushFileNoFollow(const std::string& path);

// Opens the regular file at `path` (UTF-8) for reading and writing, creating it when missing and
// emptying it when `truncate` is set, as a C runtime descriptor for QFile::open(int). -1, with
// nothing changed, when `path` itself is a link (refused as appendNoFollow refuses it), a folder,
// or a file with more than one name (a hard link would carry the writes to a file elsewhere).
//   POSIX: O_NOFOLLOW, then fstat.  Windows: the reparse point itself is opened and refused, and
//   the handle becomes a descriptor through _open_osfhandle.
int openNoFollow(const std::string& path, bool truncate);

}  // namespace fileutil

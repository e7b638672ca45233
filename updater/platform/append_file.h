// Appending to and opening a file without following a link in its place, and without blocking:
// a FIFO, socket or device in a file's place is refused, never waited on. Free of Qt, like the
// process seam.
#pragma once

#include <string>

namespace fileutil {

// Appends `data` to the file at `path` (UTF-8), creating it when missing. Refuses (returns false,
// writes nothing) when `path` itself is a symbolic link or, on Windows, any reparse point, so a
// link planted in the updater's folder cannot make the updater write elsewhere.
//   POSIX: open with O_NOFOLLOW.  Windows: opened with FILE_FLAG_OPEN_REPARSE_POINT and refused
//   when the opened file carries the reparse-point attribute.
//   Refused as well: anything but a regular file (a FIFO is opened without waiting for its other
//   end) and a file with more than one name (the bytes would reach the other name too).
bool appendNoFollow(const std::string& path, const std::string& data);

// Flushes what was written to the file at `path` to disk and waits for it, refusing a link in
// its place as appendNoFollow does. POSIX: fsync. Windows: FlushFileBuffers.
bool flushFileNoFollow(const std::string& path);

// Opens the regular file at `path` (UTF-8) for reading and writing, creating it when missing, as a
// C runtime descriptor for QFile::open(int). With `truncate` the file is a new one, empty, that no
// other process holds open. -1 when `path` itself is a link (refused as appendNoFollow refuses
// it), a folder, or a file with more than one name (a hard link would carry the writes to a file
// elsewhere).
//   POSIX: with `truncate`, whatever stands at the name is unlinked itself and the file created
//   with O_EXCL; a kept file must be this account's own. O_NOFOLLOW, then fstat.
//   Windows: the reparse point itself is opened and refused; the open shares reading only, so it
//   fails while another process holds the file open for writing. The handle becomes a descriptor
//   through _open_osfhandle.
int openNoFollow(const std::string& path, bool truncate);

// Opens the existing regular file at `path` (UTF-8) read-only, as a C runtime descriptor for
// QFile::open(int), or -1: a link in its place (refused as appendNoFollow refuses it), a folder,
// a FIFO, socket or device. The open never waits: a FIFO without a writer would hold the
// updater, and the folder's lock with it, for good.
//   POSIX: O_NOFOLLOW | O_NONBLOCK, then fstat.  Windows: the reparse point itself is opened and
//   refused, and so is a handle that GetFileType does not call a disk file; reading shares
//   writing, so the application's own writes to the file never fail because of it.
int openRegularForReading(const std::string& path);

// Whether `path` (UTF-8) is a regular file with exactly one name, not a link: a file the updater
// installs or continues must be its own, or whoever holds the other name could change it later.
bool isSoleRegularFile(const std::string& path);

}  // namespace fileutil

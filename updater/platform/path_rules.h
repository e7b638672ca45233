// How paths below the updater's folder are read on disk: reparse points (junctions, symbolic
// links, mount points) and the other spellings by which Windows reaches one file. Windows side
// in path_rules_win.cpp, POSIX side in path_rules_posix.cpp.
#pragma once

#include <QString>

namespace pathrules {

// Whether `path` itself is a reparse point, dangling or not. On Windows that is any entry with
// FILE_ATTRIBUTE_REPARSE_POINT: Qt 5 counts symbolic links but not every junction as a link,
// and resolves neither in the middle of a path. Elsewhere: a symbolic link.
bool isReparsePoint(const QString& path);

// The first existing part of `path` below `baseFolder` (the folder itself not counted) that is
// a reparse point, or an empty string. `path` lies lexically inside `baseFolder`. The last part
// is not looked at when `skipLastPart` is set (a removal takes a link itself, never its target).
QString reparsePointOnTheWay(const QString& baseFolder, const QString& path, bool skipLastPart);

// Removes the file or folder `path` and everything below it. A reparse point is removed itself
// and never entered, so a junction inside the tree cannot carry the removal elsewhere. True
// when nothing is left.
bool removeTreeNoFollow(const QString& path);

// Whether the reparse point `path` (a symbolic link, junction or mount point) can be removed
// itself: false, with the reason, when it is not one, or when this system reaches only what it
// leads to (Wine 8 with a host link: removing it would remove an empty target instead).
bool reparsePointRemovable(const QString& path, QString* why);

// Removes the reparse point `path` itself, never what it leads to. False, with the system's
// reason, when reparsePointRemovable() says no or the removal fails.
bool removeReparsePoint(const QString& path, QString* why);

// Whether `a` and `b` reach the same file. Existing files compare by identity (volume and file
// id, or device and inode), which also catches 8.3 short names and hard links. Otherwise the
// paths compare as the platform compares names: on Windows without regard to letter case, with
// short names expanded where they exist and a trailing "::$DATA" (the file's unnamed stream)
// dropped; elsewhere exactly.
bool sameFile(const QString& a, const QString& b);

// The identity of the existing file or folder `path` (a reparse point itself, never what it
// leads to) as text that compares equal for every name of it: volume and file id, or device and
// inode. Empty when it does not exist or cannot be opened.
QString fileIdentity(const QString& path);

// The identity of the name `path` of an existing file or folder: its fileIdentity() where the
// file has one name, which every spelling of that name shares (a letter case, an 8.3 short
// name); for a file with more names (hard links), that identity together with the name itself,
// so that each hard link is an entry of its own while the spellings of one name stay one.
// Empty when it does not exist or cannot be opened.
QString nameIdentity(const QString& path);

}  // namespace pathrules

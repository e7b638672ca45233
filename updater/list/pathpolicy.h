// Where the paths of one release lie, as the file list and the commit both see them: names
// compare as this platform compares them, a folder reached under another spelling is the same
// folder, and a target can only be placed where no file stands on its way. The list asks this
// when it reads the entries, and the commit asks it again before anything moves, so an entry
// that the commit could not place is refused when the list is read.
#pragma once

#include "list/updaterfolders.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

namespace pathpolicy {

// ---- Inside the folder, as written

// The path of `relative` inside `baseFolder`, or an empty string when `relative` is unsafe:
// empty, absolute (a leading '/' or '\', or a drive letter), or leading out of the folder or
// onto the folder itself once "." and ".." are resolved ('\' counts as a separator as well).
QString resolveInside(const QString& baseFolder, const QString& relative);

// Why `relative` names something else on Windows than it says, or an empty string. Windows
// drops a trailing "." or " " from every path part (so ".. " climbs like "..") and opens a
// device for CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, also with an extension. The same
// list serves every platform, so such names are refused everywhere.
QString windowsAliasProblem(const QString& relative);

// ---- Links

// Whether `path` itself leads elsewhere, dangling or not: a symbolic link or a junction as Qt
// sees them (on Windows Qt 5 counts a shortcut file too), or any reparse point as the file
// system marks it (pathrules::isReparsePoint, which sees the junctions Qt misses). Nothing that
// answers true is opened, written or entered as if it were the file itself.
bool isAnyLink(const QString& path);

// Whether `path` (lexically inside `baseFolder`) still ends up inside the real updater folder
// once the links and junctions on its way are followed: its deepest existing ancestor's
// canonical path must be the canonical folder or lie below it.
bool staysInsideThroughLinks(const QString& baseFolder, const QString& path);

// Whether anything stands at `path`: it exists, or it is a link (a dangling link does not
// "exist" for QFileInfo).
bool isPresent(const QString& path);

// Why `path` (inside `baseFolder`) must not be moved now, or "": it lies outside the folder, a
// link or junction stands on the way from `baseFolder` down to it, or (unless `lastMayBeLink`)
// the path itself is one. What the commit and its recovery ask of each path they move, at the
// moment they move it (a download can take minutes; what was checked at reading may be gone).
QString linkOnTheWay(const QString& baseFolder, const QString& path, bool lastMayBeLink);

// Why the target `path` (already lexically inside `baseFolder`) must not be written or removed
// for a link, or "": the target itself is one (unless `lastPartMayBeLink`: a removal takes the
// link itself, never what it points to), a reparse point stands on its way, or a link on its
// way leads outside the folder.
QString linkProblem(const QString& baseFolder, const QString& path, bool lastPartMayBeLink);

// ---- Names

// How this platform compares file names: without regard to letter case on Windows, exactly
// elsewhere.
Qt::CaseSensitivity nameCase();

// The spelling by which Windows opens `path`: each part without the trailing dots and blanks
// Windows drops, and without a stream suffix that names the part itself ("::$DATA", the main
// stream of a file; "::$INDEX_ALLOCATION" or ":$I30:$INDEX_ALLOCATION", a folder's index).
// Pure text; used for names on Windows.
QString windowsOpenedSpelling(const QString& path);

// Whether the clean absolute paths `a` and `b` name the same entry, compared as names: on
// Windows without regard to letter case, in the spelling Windows opens.
bool sameName(const QString& a, const QString& b);

// A key of the clean absolute path `path` that is equal for two paths exactly when sameName()
// says they are the same: for looking names up in a set instead of comparing each pair.
QString nameKey(const QString& path);

// Whether the clean absolute path `path` is `folder` or lies below it, compared as names.
bool isInsideOrSame(const QString& path, const QString& folder);

// The first existing part on the way from `baseFolder` down to `path` (the folder and `path`
// itself not counted) that is not a folder, or an empty string. Whether a removal takes it
// away is not asked: blockingFileOnTheWay() asks that.
QString firstFileOnTheWay(const QString& baseFolder, const QString& path);

// Why this system could not create or move an entry at the clean absolute path `path` under that
// name, or "": a name longer than file systems take (255 UTF-16 units on Windows, 255 bytes
// elsewhere), or a path longer than the system's calls take (on Windows 259 characters for a
// file and 247 for a folder, the limits of the calls without the long-path prefix; 4095 bytes
// elsewhere).
QString unplaceableProblem(const QString& path, bool folder);

// Paths gathered from one list, in which two spellings of one name are one path: names compare
// as sameName() compares them, and an existing file also by the identity of its name (a letter
// case, an 8.3 short name; a second hard link is a path of its own).
class PathSet
{
public:
    void insert(const QString& path);
    // Whether `path` is in the set by name alone.
    bool containsName(const QString& path) const;
    // Whether `path` is in the set by name, or, where it exists, by the identity of its name:
    // two spellings of one name (a letter case, an 8.3 short name) are one path; two hard links
    // of one file are two, each replaced or removed by itself.
    bool containsFile(const QString& path) const;

private:
    QSet<QString> m_names;       // nameKey() of each path
    QSet<QString> m_identities;  // pathrules::nameIdentity() of each path that existed when it was added
};

// ---- The updater's own files

// The updater's own files and folders below its folder, as a list entry could reach them under
// any spelling this system resolves to them: the settings folder (kConfigFolder) and the
// working folder (kUpdatesFolder) with everything inside them, the folders that hold them, the
// updater's program and its log. Each path of an entry and each folder on its way compares with
// them by name (sameName) and, where it exists, by file identity, which also catches an 8.3
// short name, a stream suffix, a hard link and whatever else the file system resolves.
class UpdaterFiles
{
public:
    // `ownFileName`: the updater's program file name in `baseFolder`.
    UpdaterFiles(const QString& baseFolder, const QString& ownFileName);

    // Where the updater's own new copy waits: kUpdatesFolder/ownFileName. The one path a list
    // may place inside the working folder.
    QString newCopyPath() const;

    // Why a download or a folder at `target` would reach them, or "".
    QString placeProblem(const QString& target) const;

    // Why removing `path` would take them away, or "". Something inside the settings folder may
    // go; the settings folder, the working folder and anything inside it may not.
    QString removalProblem(const QString& path) const;

private:
    struct Own {
        QString path;
        QString identity;  // empty when it does not exist
    };
    QString identity(const QString& path) const;
    // The folders on the way below the base folder to `path`, and `path` itself last, each
    // spelled as the updater's own entry where an existing part is one by identity.
    QStringList way(const QString& path) const;

    QString m_base;
    QString m_ownFileName;
    Own m_config, m_updates;
    QList<Own> m_holders;  // the folders that hold them (Application)
    QList<Own> m_files;    // the program and its log
    mutable QHash<QString, QString> m_identities;  // path -> identity, asked once per reading
};

// ---- Removals and what stands in the way

// The removals of one release, asked which of them takes a path away with it.
class Removals
{
public:
    Removals(const QString& baseFolder, const QStringList& removals);

    struct Hold {
        int index = -1;  // the removal, or -1 when none takes the path
        QString at;      // the part of the path's way (or the path) that the removal names
    };
    // Which removal takes `path` away: the path itself or a folder on its way is the removed
    // path, by name as this platform compares them or, for an existing folder, by identity (a
    // Windows letter case or short name of the same folder).
    Hold holding(const QString& path) const;

private:
    QString m_base;
    QStringList m_paths;
    QList<QPair<QString, int>> m_identities;  // identity of an existing removed folder -> index
};

// The file that stands on the way to `target` (firstFileOnTheWay()) and that no removal of the
// release takes away, or an empty string: where there is one, nothing can be placed at `target`.
QString blockingFileOnTheWay(const QString& baseFolder, const QString& target, const Removals& removals);

}  // namespace pathpolicy

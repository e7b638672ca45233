// Where the paths of one release lie, as the file list and the commit both see them: names
// compare as this platform compares them, a folder reached under another spelling is the same
// folder, and a target can only be placed where no file stands on its way. The list asks this
// when it reads the entries, and the commit asks it again before anything moves, so an entry
// that the commit could not place is refused when the list is read.
#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace pathpolicy {

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
// itself not counted) that is not a folder, or an empty string.
QString fileOnTheWay(const QString& baseFolder, const QString& path);

// Why this system could not create or move an entry at the clean absolute path `path` under that
// name, or "": a name longer than file systems take (255 UTF-16 units on Windows, 255 bytes
// elsewhere), or a path longer than the system's calls take (on Windows 259 characters for a
// file and 247 for a folder, the limits of the calls without the long-path prefix; 4095 bytes
// elsewhere).
QString unplaceableProblem(const QString& path, bool folder);

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

// The file that stands on the way to `target` and that no removal of the release takes away,
// or an empty string: where there is one, nothing can be placed at `target`.
QString fileInTheWay(const QString& baseFolder, const QString& target, const Removals& removals);

}  // namespace pathpolicy

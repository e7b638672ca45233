// Where the paths of one release lie, as the file list and the commit both see them: names
// compare as this platform compares them, a folder reached under another spelling is the same
// folder, and a target can only be placed where no file stands on its way. The list asks this
// when it reads the entries, and the commit asks it again before anything moves, so an entry
// that the commit could not place is refused when the list is read.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace pathpolicy {

// How this platform compares file names: without regard to letter case on Windows, exactly
// elsewhere.
Qt::CaseSensitivity nameCase();

// Whether the clean absolute paths `a` and `b` name the same entry, compared as names.
bool sameName(const QString& a, const QString& b);

// Whether the clean absolute path `path` is `folder` or lies below it, compared as names.
bool isInsideOrSame(const QString& path, const QString& folder);

// The first existing part on the way from `baseFolder` down to `path` (the folder and `path`
// itself not counted) that is not a folder, or an empty string.
QString fileOnTheWay(const QString& baseFolder, const QString& path);

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

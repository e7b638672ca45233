#include "list/repairgap.h"

#include "list/pathpolicy.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace repairgap {
namespace {

// Whether a file stands on the way to `path` below `baseFolder`, on disk or as a download of the
// list: then no file of the list was ever there, and no commit of it can have taken one away.
bool blockedOnItsWay(const QString& baseFolder, const QString& path, const QList<FileEntry>& downloads)
{
    const QString base = QDir::cleanPath(baseFolder);
    for (QString way = QFileInfo(path).path(); way.length() > base.length() && way.startsWith(base); way = QFileInfo(way).path()) {
        const QFileInfo info(way);
        if (pathpolicy::isAnyLink(way) || (info.exists() && !info.isDir())) return true;
        if (std::any_of(downloads.begin(), downloads.end(), [&](const FileEntry& d) { return pathpolicy::sameName(d.dist, way); })) return true;
    }
    return false;
}

// Whether a download or a folder of the list lies below `path`: then the release makes `path`
// a folder, and an entry skipped there (a file "below which the list downloads") never had a
// file of this release in its place.
bool holdsPartsBelow(const FileListResult& list, const QString& path)
{
    auto below = [&](const QString& p) { return pathpolicy::isInsideOrSame(QDir::cleanPath(p), path) && !pathpolicy::sameName(p, path); };
    return std::any_of(list.downloads.begin(), list.downloads.end(), [&](const FileEntry& d) { return below(d.dist); }) ||
           std::any_of(list.folders.begin(), list.folders.end(), below);
}

}  // namespace

QString skippedEntryLeftEmpty(const FileListResult& list, const QString& baseFolder, const QString& ownFileName)
{
    const pathpolicy::UpdaterFiles updaterFiles(baseFolder, ownFileName);
    QStringList accepted = list.folders + list.removals;
    for (const FileEntry& d : list.downloads) accepted.append(d.dist);
    for (const QString& dist : list.rejected) {
        const QString path = pathpolicy::resolveInside(baseFolder, dist);
        // (What a removal may not take away, the updater's own files, no download may reach
        // either: placeProblem covers both.)
        if (path.isEmpty() || !pathpolicy::windowsAliasProblem(dist).isEmpty() ||
            !pathpolicy::unplaceableProblem(path, dist.endsWith(QLatin1Char('/'))).isEmpty() ||
            !updaterFiles.placeProblem(path).isEmpty()) {
            continue;
        }
        if (QFileInfo::exists(path) || pathpolicy::isAnyLink(path)) continue;
        if (std::any_of(accepted.begin(), accepted.end(), [&](const QString& a) { return pathpolicy::sameName(a, path); })) continue;
        if (blockedOnItsWay(baseFolder, path, list.downloads)) continue;
        // The release holds a folder there: no file of it was ever in that place.
        if (holdsPartsBelow(list, path)) continue;
        return dist;
    }
    return QString();
}

}  // namespace repairgap

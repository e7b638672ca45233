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
        return dist;
    }
    return QString();
}

}  // namespace repairgap

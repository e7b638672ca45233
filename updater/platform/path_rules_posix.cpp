// POSIX side of the path rules: symbolic links are the only reparse points, names compare
// exactly, and identity is device and inode.
#include "path_rules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/stat.h>

namespace pathrules {

bool isReparsePoint(const QString& path)
{
    return QFileInfo(path).isSymLink();
}

QString reparsePointOnTheWay(const QString& baseFolder, const QString& path, bool skipLastPart)
{
    const QString base = QDir::cleanPath(baseFolder);
    QStringList parts = QDir(base).relativeFilePath(QDir::cleanPath(path)).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (skipLastPart && !parts.isEmpty()) parts.removeLast();
    QString current = base;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        const QFileInfo info(current);
        if (info.isSymLink()) return current;
        if (!info.exists()) return QString();
    }
    return QString();
}

bool removeTreeNoFollow(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir())) return QFile::remove(path);
    if (!info.exists()) return true;
    // QDir::removeRecursively does not follow symbolic links here.
    return QDir(path).removeRecursively();
}

bool sameFile(const QString& a, const QString& b)
{
    struct stat sa, sb;
    if (lstat(QFile::encodeName(a).constData(), &sa) == 0 && lstat(QFile::encodeName(b).constData(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

}  // namespace pathrules

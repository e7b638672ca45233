// POSIX side of the path rules: symbolic links are the only reparse points, names compare
// exactly, and identity is device and inode.
#include "platform/path_rules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

bool reparsePointRemovable(const QString& path, QString* why)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        if (why) *why = QStringLiteral("it is no longer a link");
        return false;
    }
    return true;
}

bool removeReparsePoint(const QString& path, QString* why)
{
    if (!reparsePointRemovable(path, why)) return false;
    if (unlink(QFile::encodeName(path).constData()) != 0) {
        if (why) *why = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    return true;
}

bool sameFile(const QString& a, const QString& b)
{
    struct stat sa, sb;
    if (lstat(QFile::encodeName(a).constData(), &sa) == 0 && lstat(QFile::encodeName(b).constData(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

QString fileIdentity(const QString& path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) return QString();
    return QStringLiteral("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
}

QString nameIdentity(const QString& path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) return QString();
    const QString id = QStringLiteral("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
    // A folder's link count counts its subfolders' "..": only a file has more names.
    if (S_ISDIR(st.st_mode) || st.st_nlink <= 1) return id;
    return id + QLatin1Char('|') + QDir::cleanPath(path);
}

}  // namespace pathrules

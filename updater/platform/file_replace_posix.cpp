// POSIX side of the replacement: rename(2) replaces a file that others hold open, so there is
// nothing to wait for. The new file takes the old one's permission bits (an executable stays one).
#include "platform/file_replace.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

bool replaceFileRetrying(const QString& source, const QString& target, QString* error)
{
    struct stat old;
    if (stat(QFile::encodeName(target).constData(), &old) == 0) {
        chmod(QFile::encodeName(source).constData(), old.st_mode & 07777);
    }
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0) return true;
    const int code = errno;
    if (error) *error = QStringLiteral("cannot rename %1 to %2: %3").arg(source, target, QString::fromLocal8Bit(std::strerror(code)));
    return false;
}

// POSIX side of the folder flush: fsync on the folder.
#include "platform/folder_flush.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

bool flushFolder(const QString& path, QString* error)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = QStringLiteral("cannot open the folder %1 to flush it: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const bool ok = fsync(fd) == 0;
    const int code = errno;
    close(fd);
    if (!ok && error) *error = QStringLiteral("cannot flush the folder %1 to disk: %2").arg(path, QString::fromLocal8Bit(strerror(code)));
    return ok;
}

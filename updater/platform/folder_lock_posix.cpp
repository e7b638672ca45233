// POSIX side of the folder lock: flock on a file opened without following a link.
#include "platform/folder_lock.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

FolderLock::~FolderLock()
{
    if (m_handle != -1) close(int(m_handle));  // closing drops the lock
}

FolderLock::Result FolderLock::acquire(const QString& lockFile, QString* error)
{
    if (isHeld()) return Result::Held;
    const QByteArray name = QFile::encodeName(lockFile);
    int fd = open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    // Another user's updater made the file: reading is enough to lock it.
    if (fd < 0 && errno == EACCES) fd = open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (error) *error = QStringLiteral("cannot open the lock file %1: %2").arg(lockFile, QString::fromLocal8Bit(strerror(errno)));
        return Result::Unavailable;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        if (error) *error = QStringLiteral("the lock file %1 is not a plain file").arg(lockFile);
        return Result::Unavailable;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        close(fd);
        if (code == EWOULDBLOCK) return Result::Busy;
        if (error) *error = QStringLiteral("cannot lock %1: %2").arg(lockFile, QString::fromLocal8Bit(strerror(code)));
        return Result::Unavailable;
    }
    m_handle = fd;
    return Result::Held;
}

// POSIX side of the folder lock: flock on a file of this account's own, opened for writing
// without following a link and without blocking.
#include "platform/folder_lock.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The account of the process that holds a flock on the file `st` describes, as /proc/locks
// tells it (Linux); -1 when it cannot be told.
long long flockHolderUid(const struct stat& st)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; waiters carry "->" and hold nothing.
        std::istringstream in(line);
        std::string ordinal, kind, mode, access, pid, where;
        if (!(in >> ordinal >> kind) || kind != "FLOCK" || !(in >> mode >> access >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
        if (maj != major(st.st_dev) || min != minor(st.st_dev) || ino != st.st_ino) continue;
        struct stat proc;
        if (stat(("/proc/" + pid).c_str(), &proc) == 0) return (long long)proc.st_uid;
    }
    return -1;
}

}  // namespace

FolderLock::~FolderLock()
{
    if (m_handle != -1) close(int(m_handle));  // closing drops the lock
}

FolderLock::Result FolderLock::acquire(const QString& lockFile, QString* error)
{
    if (isHeld()) return Result::Held;
    auto say = [&](Result r, const QString& why) {
        if (error) *error = why;
        return r;
    };
    const QByteArray name = QFile::encodeName(lockFile);
    // Never a read-only open: one would be enough to take the lock.
    const int fd = open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int code = errno;
        struct stat st;
        if (code == EACCES && lstat(name.constData(), &st) == 0 && st.st_uid != geteuid()) {
            return say(Result::OtherAccount, QStringLiteral("the lock file %1 belongs to another account (uid %2), so this "
                                                            "account cannot take it").arg(lockFile).arg(qulonglong(st.st_uid)));
        }
        if (code == ELOOP || code == EISDIR || code == ENXIO || code == ENOTDIR) {
            return say(Result::Damaged, QStringLiteral("the lock file %1 is not a plain file").arg(lockFile));
        }
        return say(Result::Unavailable, QStringLiteral("cannot open the lock file %1: %2").arg(lockFile, QString::fromLocal8Bit(strerror(code))));
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return say(Result::Damaged, QStringLiteral("the lock file %1 is not a plain file").arg(lockFile));
    }
    if (st.st_uid != geteuid()) {
        close(fd);
        return say(Result::OtherAccount, QStringLiteral("the lock file %1 belongs to another account (uid %2), who could "
                                                        "hold it").arg(lockFile).arg(qulonglong(st.st_uid)));
    }
    // A lock file made readable by others (by an earlier version) becomes private from here on.
    if ((st.st_mode & 077) != 0) fchmod(fd, 0600);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        close(fd);
        if (code != EWOULDBLOCK) {
            return say(Result::Unavailable, QStringLiteral("cannot lock %1: %2").arg(lockFile, QString::fromLocal8Bit(strerror(code))));
        }
        const long long holder = flockHolderUid(st);
        if (holder >= 0 && holder != (long long)geteuid()) {
            return say(Result::OtherAccount, QStringLiteral("the lock file %1 is held by a process of another account (uid %2), "
                                                            "which could take it while it was readable by all").arg(lockFile).arg(holder));
        }
        return say(Result::Busy, QString());
    }
    m_handle = fd;
    return Result::Held;
}

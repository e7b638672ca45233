#include "simhostile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {

namespace {

void clearPlace(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) QDir(path).removeRecursively();
    else QFile::remove(path);
    ::unlink(QFile::encodeName(path).constData());  // a FIFO or socket QFile leaves alone
}

// A socket file bound in place by a child that then ends (the name stays). Bound from inside
// its folder, as a socket's name is short.
bool bindSocket(const QString& path)
{
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (chdir(QFile::encodeName(QFileInfo(path).path()).constData()) != 0) _exit(1);
        const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (size_t(name.size()) >= sizeof addr.sun_path) _exit(1);
        std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        _exit(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool HostileObjectInPlace::place(HostileObject object, const HostileTarget& target)
{
    release();
    QDir().mkpath(QFileInfo(target.path).path());
    const QByteArray p = QFile::encodeName(target.path);
    switch (object) {
    case HostileObject::Fifo:
        clearPlace(target.path);
        if (mkfifo(p.constData(), 0666) != 0) m_note = QStringLiteral("mkfifo failed");
        break;
    case HostileObject::Socket:
        clearPlace(target.path);
        if (!bindSocket(target.path)) m_note = QStringLiteral("no socket could be bound there");
        break;
    case HostileObject::Folder:
        clearPlace(target.path);
        QDir().mkpath(target.path + QStringLiteral("/inside"));
        {
            QFile f(target.path + QStringLiteral("/inside/other-users.txt"));
            if (f.open(QIODevice::WriteOnly)) f.write("another user's file");
        }
        break;
    case HostileObject::HardLink: {
        clearPlace(target.path);
        const QString from = target.planted.isNull() ? target.outsideFile : target.plantedPath;
        if (::link(QFile::encodeName(from).constData(), p.constData()) != 0) m_note = QStringLiteral("link failed");
        break;
    }
    case HostileObject::SymLink:
        clearPlace(target.path);
        if (::symlink(QFile::encodeName(target.outsideFile).constData(), p.constData()) != 0) m_note = QStringLiteral("symlink failed");
        break;
    case HostileObject::Unreadable: {
        // The bytes a plain file there would hold, but no one but its owner (not the updater) may read them.
        QByteArray bytes = "another user's bytes";
        if (QFileInfo(target.path).isFile()) {
            QFile f(target.path);
            if (f.open(QIODevice::ReadOnly)) bytes = f.readAll();
        }
        clearPlace(target.path);
        QFile f(target.path);
        if (f.open(QIODevice::WriteOnly)) f.write(bytes);
        f.close();
        if (::chown(p.constData(), 0, 0) != 0 || ::chmod(p.constData(), 0) != 0) m_note = QStringLiteral("chmod failed");
        break;
    }
    case HostileObject::Changing:
    case HostileObject::LockedByProcess:
    case HostileObject::LockedByOtherUser:
        return startHelper(object, target);
    }
    return m_note.isEmpty();
}

bool HostileObjectInPlace::startHelper(HostileObject object, const HostileTarget& target)
{
    int ready[2], stop[2];
    if (pipe(ready) != 0 || pipe(stop) != 0) {
        m_note = QStringLiteral("no pipe");
        return false;
    }
    const QByteArray p = QFile::encodeName(target.path);
    if (object != HostileObject::LockedByOtherUser && !QFileInfo(target.path).isFile()) {
        clearPlace(target.path);
        QFile f(target.path);
        if (f.open(QIODevice::WriteOnly)) f.write(object == HostileObject::Changing ? "changing" : "");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(stop[1]);
        char answer = 'n';
        if (object == HostileObject::Changing) {
            // One descriptor of the file there, rewritten with bytes of changing length until stopped.
            const int fd = open(p.constData(), O_WRONLY | O_NOFOLLOW);
            answer = fd >= 0 ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1 || fd < 0) _exit(0);
            fcntl(stop[0], F_SETFL, O_NONBLOCK);
            for (unsigned i = 0;; ++i) {
                char go = 0;
                if (read(stop[0], &go, 1) == 0) break;  // the writing end closed: stop
                const QByteArray bytes(int(1 + i % 4096), char('a' + i % 26));
                if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes.constData(), size_t(bytes.size()), 0) < 0) break;
                usleep(200);
            }
            _exit(0);
        }
        if (object == HostileObject::LockedByOtherUser && (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0)) _exit(1);
        const int fd = open(p.constData(), (object == HostileObject::LockedByOtherUser ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_NONBLOCK);
        answer = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        if (write(ready[1], &answer, 1) != 1) _exit(0);
        char go = 0;
        while (read(stop[0], &go, 1) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(stop[0]);
    char answer = 'n';
    const bool told = read(ready[0], &answer, 1) == 1;
    close(ready[0]);
    m_helper = pid;
    m_stopFd = stop[1];
    if (!told || answer != 'y') {
        m_note = object == HostileObject::Changing ? QStringLiteral("the file there could not be opened")
                                                   : QStringLiteral("the other process could not take the lock");
        return object == HostileObject::LockedByOtherUser;  // (an account that cannot even open it holds nothing: fine)
    }
    m_lockHeld = object != HostileObject::Changing;
    return true;
}

void HostileObjectInPlace::release()
{
    if (m_stopFd >= 0) close(m_stopFd);
    m_stopFd = -1;
    if (m_helper > 0) {
        int status = 0;
        waitpid(m_helper, &status, 0);
    }
    m_helper = -1;
    m_lockHeld = false;
}

}  // namespace sim

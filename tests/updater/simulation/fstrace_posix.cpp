#include "fstrace.h"

#include <QFile>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The trace file's descriptor while recording is armed, else -1.
int g_traceFd = -1;

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(name) static const auto real = next<decltype(&::name)>(#name)

std::string hex(const void* data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2 + 1);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out.empty() ? std::string("-") : out;
}

std::string hex(const std::string& s) { return hex(s.data(), s.size()); }

void record(const std::string& line)
{
    static const auto realWrite = next<ssize_t (*)(int, const void*, size_t)>("write");
    const std::string l = line + '\n';
    size_t done = 0;
    while (done < l.size()) {
        const ssize_t n = realWrite(g_traceFd, l.data() + done, l.size() - done);
        if (n <= 0) return;
        done += size_t(n);
    }
}

// `path` as an absolute path, resolved against `dirfd` (AT_FDCWD: the working folder).
std::string absolute(int dirfd, const char* path)
{
    if (!path) return std::string();
    if (path[0] == '/') return path;
    char buf[PATH_MAX] = {};
    if (dirfd == AT_FDCWD) {
        if (!getcwd(buf, sizeof buf)) return path;
    } else {
        const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
        const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
        if (n <= 0) return path;
        buf[n] = 0;
    }
    return path[0] ? std::string(buf) + '/' + path : std::string(buf);
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

quint64 inoOf(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? quint64(st.st_ino) : 0;
}

// After a successful open: a new file, a nameless one, or a truncated one.
void noteOpen(int fd, const std::string& path, int flags, bool existed)
{
    if (fd < 0 || g_traceFd < 0) return;
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        record("tmpfile " + std::to_string(inoOf(fd)));
        return;
    }
    if ((flags & O_CREAT) && !existed) record("create " + hex(path) + ' ' + std::to_string(inoOf(fd)));
    else if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY) record("trunc " + std::to_string(inoOf(fd)) + " 0");
}

int openAt(int dirfd, const char* path, int flags, mode_t mode, bool large)
{
    static const auto realOpenat = next<int (*)(int, const char*, int, ...)>("openat");
    static const auto realOpenat64 = next<int (*)(int, const char*, int, ...)>("openat64");
    const bool watch = g_traceFd >= 0 && (flags & (O_CREAT | O_TRUNC | O_TMPFILE));
    const std::string abs = watch ? absolute(dirfd, path) : std::string();
    const bool existed = watch && exists(abs);
    const int fd = (large ? realOpenat64 : realOpenat)(dirfd, path, flags, mode);
    const int saved = errno;
    if (watch) noteOpen(fd, abs, flags, existed);
    errno = saved;
    return fd;
}

mode_t modeArg(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
}

// A write of `n` bytes at the descriptor's offset (or `offset`), recorded once it is done.
void noteWrite(int fd, const void* data, ssize_t n, off_t at)
{
    if (g_traceFd < 0 || n <= 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    record("write " + std::to_string(st.st_ino) + ' ' + std::to_string(at) + ' ' + hex(data, size_t(n)));
}

off_t offsetBefore(int fd)
{
    if (g_traceFd < 0) return 0;
    const int fl = fcntl(fd, F_GETFL);
    struct stat st;
    if (fl >= 0 && (fl & O_APPEND) && fstat(fd, &st) == 0) return st.st_size;
    return lseek(fd, 0, SEEK_CUR);
}

void notePath(int rc, const char* kind, const std::string& a)
{
    if (rc == 0 && g_traceFd >= 0) record(std::string(kind) + ' ' + hex(a));
}

void noteRename(int rc, const std::string& from, const std::string& to)
{
    if (rc == 0 && g_traceFd >= 0) record("rename " + hex(from) + ' ' + hex(to));
}

void noteSync(int rc, int fd)
{
    if (rc == 0 && g_traceFd >= 0) record("fsync " + std::to_string(inoOf(fd)));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openAt(AT_FDCWD, path, flags, mode, false);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openAt(AT_FDCWD, path, flags, mode, true);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openAt(dirfd, path, flags, mode, false);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openAt(dirfd, path, flags, mode, true);
}

__attribute__((visibility("default"))) int creat(const char* path, mode_t mode)
{
    return openAt(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, false);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t n)
{
    REAL(write);
    const off_t at = offsetBefore(fd);
    const ssize_t done = real(fd, data, n);
    const int saved = errno;
    noteWrite(fd, data, done, at);
    errno = saved;
    return done;
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void* data, size_t n, off_t at)
{
    REAL(pwrite);
    const ssize_t done = real(fd, data, n, at);
    const int saved = errno;
    noteWrite(fd, data, done, at);
    errno = saved;
    return done;
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void* data, size_t n, off64_t at)
{
    REAL(pwrite64);
    const ssize_t done = real(fd, data, n, at);
    const int saved = errno;
    noteWrite(fd, data, done, off_t(at));
    errno = saved;
    return done;
}

__attribute__((visibility("default"))) int ftruncate(int fd, off_t length)
{
    REAL(ftruncate);
    const int rc = real(fd, length);
    if (rc == 0 && g_traceFd >= 0) record("trunc " + std::to_string(inoOf(fd)) + ' ' + std::to_string(length));
    return rc;
}

__attribute__((visibility("default"))) int ftruncate64(int fd, off64_t length)
{
    REAL(ftruncate64);
    const int rc = real(fd, length);
    if (rc == 0 && g_traceFd >= 0) record("trunc " + std::to_string(inoOf(fd)) + ' ' + std::to_string(length));
    return rc;
}

__attribute__((visibility("default"))) int rename(const char* from, const char* to)
{
    REAL(rename);
    const int rc = real(from, to);
    const int saved = errno;
    noteRename(rc, absolute(AT_FDCWD, from), absolute(AT_FDCWD, to));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    REAL(renameat);
    const int rc = real(fromDir, from, toDir, to);
    const int saved = errno;
    noteRename(rc, absolute(fromDir, from), absolute(toDir, to));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    REAL(renameat2);
    const int rc = real(fromDir, from, toDir, to, flags);
    const int saved = errno;
    // RENAME_EXCHANGE is not used by the updater; it would show as a rename and be judged so.
    noteRename(rc, absolute(fromDir, from), absolute(toDir, to));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int link(const char* from, const char* to)
{
    REAL(link);
    struct stat st;
    const bool known = g_traceFd >= 0 && lstat(from, &st) == 0;
    const int rc = real(from, to);
    const int saved = errno;
    if (rc == 0 && known) record("link " + std::to_string(st.st_ino) + ' ' + hex(absolute(AT_FDCWD, to)));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int linkat(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    REAL(linkat);
    struct stat st;
    bool known = false;
    if (g_traceFd >= 0) {
        if ((flags & AT_EMPTY_PATH) && !from[0]) known = fstat(fromDir, &st) == 0;
        else known = fstatat(fromDir, from, &st, (flags & AT_SYMLINK_FOLLOW) ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
    }
    const int rc = real(fromDir, from, toDir, to, flags);
    const int saved = errno;
    if (rc == 0 && known) record("link " + std::to_string(st.st_ino) + ' ' + hex(absolute(toDir, to)));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int symlink(const char* target, const char* path)
{
    REAL(symlink);
    const int rc = real(target, path);
    const int saved = errno;
    if (rc == 0 && g_traceFd >= 0) record("symlink " + hex(absolute(AT_FDCWD, path)) + ' ' + hex(std::string(target)));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int unlink(const char* path)
{
    REAL(unlink);
    const int rc = real(path);
    const int saved = errno;
    notePath(rc, "unlink", absolute(AT_FDCWD, path));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int unlinkat(int dirfd, const char* path, int flags)
{
    REAL(unlinkat);
    const int rc = real(dirfd, path, flags);
    const int saved = errno;
    notePath(rc, (flags & AT_REMOVEDIR) ? "rmdir" : "unlink", absolute(dirfd, path));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int rmdir(const char* path)
{
    REAL(rmdir);
    const int rc = real(path);
    const int saved = errno;
    notePath(rc, "rmdir", absolute(AT_FDCWD, path));
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int mkdir(const char* path, mode_t mode)
{
    REAL(mkdir);
    const int rc = real(path, mode);
    const int saved = errno;
    struct stat st;
    if (rc == 0 && g_traceFd >= 0 && lstat(path, &st) == 0) {
        record("mkdir " + hex(absolute(AT_FDCWD, path)) + ' ' + std::to_string(st.st_ino));
    }
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int mkdirat(int dirfd, const char* path, mode_t mode)
{
    REAL(mkdirat);
    const int rc = real(dirfd, path, mode);
    const int saved = errno;
    struct stat st;
    if (rc == 0 && g_traceFd >= 0 && fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        record("mkdir " + hex(absolute(dirfd, path)) + ' ' + std::to_string(st.st_ino));
    }
    errno = saved;
    return rc;
}

__attribute__((visibility("default"))) int fsync(int fd)
{
    REAL(fsync);
    const int rc = real(fd);
    noteSync(rc, fd);
    return rc;
}

__attribute__((visibility("default"))) int fdatasync(int fd)
{
    REAL(fdatasync);
    const int rc = real(fd);
    noteSync(rc, fd);
    return rc;
}

__attribute__((visibility("default"))) void sync()
{
    REAL(sync);
    real();
    if (g_traceFd >= 0) record("sync");
}

__attribute__((visibility("default"))) int syncfs(int fd)
{
    REAL(syncfs);
    const int rc = real(fd);
    if (rc == 0 && g_traceFd >= 0) record("sync");
    return rc;
}

}  // extern "C"

namespace sim {

void armFsTrace(const QString& path)
{
    if (g_traceFd >= 0) ::close(g_traceFd);
    g_traceFd = -1;
    if (path.isEmpty()) return;
    static const auto realOpen = next<int (*)(const char*, int, ...)>("open");
    g_traceFd = realOpen(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
}

namespace {

bool unhex(const QByteArray& word, QByteArray* out)
{
    if (word == "-") {
        out->clear();
        return true;
    }
    *out = QByteArray::fromHex(word);
    return out->size() * 2 == word.size();
}

}  // namespace

bool readFsTrace(const QString& path, QList<FsEvent>* events)
{
    events->clear();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    static const struct { const char* word; FsEvent::Kind kind; int words; } kinds[] = {
        {"create", FsEvent::Create, 3}, {"tmpfile", FsEvent::TmpFile, 2}, {"mkdir", FsEvent::Mkdir, 3},
        {"symlink", FsEvent::Symlink, 3}, {"link", FsEvent::Link, 3}, {"rename", FsEvent::Rename, 3},
        {"unlink", FsEvent::Unlink, 2}, {"rmdir", FsEvent::Rmdir, 2}, {"trunc", FsEvent::Trunc, 3},
        {"write", FsEvent::Write, 4}, {"fsync", FsEvent::Fsync, 2}, {"sync", FsEvent::Sync, 1},
    };
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty()) continue;
        const QList<QByteArray> w = line.split(' ');
        FsEvent e;
        bool known = false;
        for (const auto& k : kinds) {
            if (w.at(0) == k.word && w.size() == k.words) {
                e.kind = k.kind;
                known = true;
            }
        }
        if (!known) return false;
        QByteArray a, b;
        bool ok = true;
        switch (e.kind) {
        case FsEvent::Create:
        case FsEvent::Mkdir:
            ok = unhex(w.at(1), &a);
            e.path = QFile::decodeName(a);
            e.ino = w.at(2).toULongLong(&ok);
            break;
        case FsEvent::TmpFile:
        case FsEvent::Fsync: e.ino = w.at(1).toULongLong(&ok); break;
        case FsEvent::Symlink:
            ok = unhex(w.at(1), &a) && unhex(w.at(2), &e.bytes);
            e.path = QFile::decodeName(a);
            break;
        case FsEvent::Link:
            e.ino = w.at(1).toULongLong(&ok);
            ok = ok && unhex(w.at(2), &a);
            e.path = QFile::decodeName(a);
            break;
        case FsEvent::Rename:
            ok = unhex(w.at(1), &a) && unhex(w.at(2), &b);
            e.path = QFile::decodeName(a);
            e.path2 = QFile::decodeName(b);
            break;
        case FsEvent::Unlink:
        case FsEvent::Rmdir:
            ok = unhex(w.at(1), &a);
            e.path = QFile::decodeName(a);
            break;
        case FsEvent::Trunc:
            e.ino = w.at(1).toULongLong(&ok);
            e.offset = ok ? w.at(2).toLongLong(&ok) : 0;
            break;
        case FsEvent::Write:
            e.ino = w.at(1).toULongLong(&ok);
            e.offset = ok ? w.at(2).toLongLong(&ok) : 0;
            ok = ok && unhex(w.at(3), &e.bytes);
            break;
        case FsEvent::Sync: break;
        }
        if (!ok) return false;
        events->append(e);
    }
    return true;
}

QString describe(const FsEvent& e)
{
    switch (e.kind) {
    case FsEvent::Create: return QStringLiteral("create %1").arg(e.path);
    case FsEvent::TmpFile: return QStringLiteral("nameless file #%1").arg(e.ino);
    case FsEvent::Mkdir: return QStringLiteral("mkdir %1").arg(e.path);
    case FsEvent::Symlink: return QStringLiteral("symlink %1").arg(e.path);
    case FsEvent::Link: return QStringLiteral("link #%1 as %2").arg(e.ino).arg(e.path);
    case FsEvent::Rename: return QStringLiteral("rename %1 -> %2").arg(e.path, e.path2);
    case FsEvent::Unlink: return QStringLiteral("unlink %1").arg(e.path);
    case FsEvent::Rmdir: return QStringLiteral("rmdir %1").arg(e.path);
    case FsEvent::Trunc: return QStringLiteral("truncate #%1 to %2").arg(e.ino).arg(e.offset);
    case FsEvent::Write: return QStringLiteral("write #%1 at %2, %3 bytes").arg(e.ino).arg(e.offset).arg(e.bytes.size());
    case FsEvent::Fsync: return QStringLiteral("fsync #%1").arg(e.ino);
    case FsEvent::Sync: return QStringLiteral("sync");
    }
    return QString();
}

}  // namespace sim

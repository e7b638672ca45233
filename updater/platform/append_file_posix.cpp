#include "platform/append_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileutil {

namespace {
bool isSoleRegular(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}
}  // namespace

bool appendNoFollow(const std::string& path, const std::string& data)
{
    // O_NONBLOCK: a FIFO in the file's place fails at once (no reader) instead of waiting.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !isSoleRegular(st)) {
        ::close(fd);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    return done == data.size();
}

bool flushFileNoFollow(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

int openNoFollow(const std::string& path, bool truncate)
{
    // Emptied means made anew: another process may hold a descriptor of the file at the name
    // and write through it after the updater checked what it wrote. The name goes itself (a
    // link is not followed), and the new file is one nobody else has open.
    if (truncate && ::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | (truncate ? O_EXCL : 0) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    // A file kept from before is continued only when it is this account's own: another account's
    // file may be open for writing in its hands.
    if (::fstat(fd, &st) != 0 || !isSoleRegular(st) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int openRegularForReading(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool isSoleRegularFile(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && isSoleRegular(st);
}

}  // namespace fileutil

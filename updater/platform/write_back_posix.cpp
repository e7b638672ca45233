#include "platform/write_back.h"

#include <unistd.h>
#ifdef __linux__
#include <fcntl.h>
#endif

namespace fileutil {

void startWriteBack(int fd, std::int64_t offset, std::int64_t length)
{
#ifdef __linux__
    if (fd >= 0 && length > 0) sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)offset;
    (void)length;
#endif
}

bool flushData(int fd)
{
    return fd >= 0 && ::fdatasync(fd) == 0;
}

}  // namespace fileutil

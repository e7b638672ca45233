#include "platform/write_back.h"

#include <windows.h>

#include <io.h>

namespace fileutil {

// Windows starts no write-back on request; the flush before the commit writes what is left.
void startWriteBack(int, std::int64_t, std::int64_t) {}

bool flushData(int fd)
{
    const intptr_t h = fd >= 0 ? _get_osfhandle(fd) : -1;
    return h != -1 && FlushFileBuffers(reinterpret_cast<HANDLE>(h));
}

}  // namespace fileutil

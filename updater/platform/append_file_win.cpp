#include "platform/append_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace fileutil {

namespace {
std::wstring wide(const std::string& utf8)
{
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &out[0], n);
    return out;
}

// A regular file of the disk, not a reparse point or folder; with `soleName`, one of one name.
bool isPlainDiskFile(HANDLE h, bool soleName)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           (!soleName || info.nNumberOfLinks == 1);
}
}  // namespace

bool appendNoFollow(const std::string& path, const std::string& data)
{
    // The reparse point itself is opened, never what it leads to; then it is refused.
    HANDLE h = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = isPlainDiskFile(h, true);
    DWORD done = 0;
    if (ok) ok = WriteFile(h, data.data(), DWORD(data.size()), &done, nullptr) && done == data.size();
    CloseHandle(h);
    return ok;
}

bool flushFileNoFollow(const std::string& path)
{
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = isPlainDiskFile(h, false) && FlushFileBuffers(h);
    CloseHandle(h);
    return ok;
}

int openNoFollow(const std::string& path, bool truncate)
{
    // Opened with OPEN_ALWAYS and emptied afterwards: CREATE_ALWAYS would empty whatever stands
    // there before the reparse point is refused.
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    bool ok = isPlainDiskFile(h, true);
    if (ok && truncate) {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        ok = SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    }
    const int fd = ok ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY) : -1;
    if (fd < 0) CloseHandle(h);
    return fd;
}

int openRegularForReading(const std::string& path)
{
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    const int fd = isPlainDiskFile(h, false) ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0) CloseHandle(h);
    return fd;
}

bool isSoleRegularFile(const std::string& path)
{
    HANDLE h = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = isPlainDiskFile(h, true);
    CloseHandle(h);
    return ok;
}

}  // namespace fileutil

// Windows side of the folder flush: FlushFileBuffers on a folder handle.
#include "platform/folder_flush.h"

#include <QDir>

#include <windows.h>

namespace {

// What a file system says when it keeps no folder data to flush, or refuses a folder handle for it.
bool notOffered(DWORD code)
{
    return code == ERROR_INVALID_FUNCTION || code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_PARAMETER ||
           code == ERROR_NOT_SUPPORTED;
}

}  // namespace

bool flushFolder(const QString& path, QString* error)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (notOffered(code)) return true;
        if (error) *error = QStringLiteral("cannot open the folder %1 to flush it: Windows error %2").arg(QDir::toNativeSeparators(path)).arg(code);
        return false;
    }
    const bool ok = FlushFileBuffers(h) != 0;
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (ok || notOffered(code)) return true;
    if (error) *error = QStringLiteral("cannot flush the folder %1 to disk: Windows error %2").arg(QDir::toNativeSeparators(path)).arg(code);
    return false;
}

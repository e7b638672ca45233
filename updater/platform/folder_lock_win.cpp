// Windows side of the folder lock: LockFileEx on a file opened as itself, never through a
// reparse point, with sharing open so that the next updater can try and be told it is busy.
#include "platform/folder_lock.h"

#include <QDir>

#include <windows.h>

FolderLock::~FolderLock()
{
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(m_handle));  // closing drops the lock
}

FolderLock::Result FolderLock::acquire(const QString& lockFile, QString* error)
{
    if (isHeld()) return Result::Held;
    const std::wstring name = QDir::toNativeSeparators(lockFile).toStdWString();
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // Another user's updater made the file: reading is enough to lock it.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        h = CreateFileW(name.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = QStringLiteral("cannot open the lock file %1: Windows error %2").arg(QDir::toNativeSeparators(lockFile)).arg(GetLastError());
        return Result::Unavailable;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        if (error) *error = QStringLiteral("the lock file %1 is not a plain file").arg(QDir::toNativeSeparators(lockFile));
        return Result::Unavailable;
    }
    OVERLAPPED at = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return Result::Busy;
        if (error) *error = QStringLiteral("cannot lock %1: Windows error %2").arg(QDir::toNativeSeparators(lockFile)).arg(code);
        return Result::Unavailable;
    }
    m_handle = reinterpret_cast<qintptr>(h);
    return Result::Held;
}

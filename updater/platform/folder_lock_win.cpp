// Windows side of the folder lock: LockFileEx on a file opened as itself, never through a
// reparse point, with sharing open so that the next updater can try and be told it is busy.
// The file is made with a DACL that grants its owner alone, and opened for writing only.
#include "platform/folder_lock.h"

#include <QDir>

#include <windows.h>
#include <sddl.h>

FolderLock::~FolderLock()
{
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(m_handle));  // closing drops the lock
}

FolderLock::Result FolderLock::acquire(const QString& lockFile, QString* error)
{
    if (isHeld()) return Result::Held;
    const QString shown = QDir::toNativeSeparators(lockFile);
    auto say = [&](Result r, const QString& why) {
        if (error) *error = why;
        return r;
    };
    const std::wstring name = shown.toStdWString();
    // Protected, owner rights only: no other account can open the file, not even to read it.
    PSECURITY_DESCRIPTOR owner = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1, &owner, nullptr)) {
        attributes.lpSecurityDescriptor = owner;
    }
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, &attributes, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD openCode = GetLastError();
    if (owner) LocalFree(owner);
    if (h == INVALID_HANDLE_VALUE) {
        // Never opened read-only instead: reading would be enough to take the lock.
        if (openCode == ERROR_ACCESS_DENIED) {
            const DWORD attrs = GetFileAttributesW(name.c_str());
            if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
                return say(Result::Damaged, QStringLiteral("the lock file %1 is not a plain file").arg(shown));
            }
            return say(Result::OtherAccount, QStringLiteral("the lock file %1 belongs to another account, so this account "
                                                            "cannot take it").arg(shown));
        }
        return say(Result::Unavailable, QStringLiteral("cannot open the lock file %1: Windows error %2").arg(shown).arg(openCode));
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        return say(Result::Damaged, QStringLiteral("the lock file %1 is not a plain file").arg(shown));
    }
    OVERLAPPED at = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return say(Result::Busy, QString());
        return say(Result::Unavailable, QStringLiteral("cannot lock %1: Windows error %2").arg(shown).arg(code));
    }
    m_handle = reinterpret_cast<qintptr>(h);
    return Result::Held;
}

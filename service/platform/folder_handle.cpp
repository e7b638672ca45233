// Folders and files through handles: opened without following a link at the name, checked on
// the handle, and what is inside reached relative to it (ntdll's file calls, which take a root
// directory and work alike from Windows XP on).
#include "platform/folder_handle.h"

#include <windows.h>
#include <winternl.h>
#include <aclapi.h>

#include <cstddef>
#include <cstring>
#include <cwctype>
#include <vector>

namespace {

// NtCreateFile's options and the information classes used here (winternl.h names only some).
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kSynchronousIo = 0x00000020;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kObjCaseInsensitive = 0x00000040;
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr NTSTATUS kStatusNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                              ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                      int);
using StatusToErrorFunction = ULONG(WINAPI*)(NTSTATUS);
using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// ntdll is in every process from its start; nothing is loaded by name.
struct NtFileCalls {
    NtCreateFileFunction create = nullptr;
    NtSetInformationFileFunction setInformation = nullptr;
    StatusToErrorFunction toError = nullptr;
    NtFileCalls() {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (!ntdll) return;
        create = reinterpret_cast<NtCreateFileFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
        setInformation = reinterpret_cast<NtSetInformationFileFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
        toError = reinterpret_cast<StatusToErrorFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    }
    bool usable() const { return create && setInformation && toError; }
};

const NtFileCalls& ntFileCalls() {
    static const NtFileCalls calls;
    return calls;
}

void setErrorFromStatus(NTSTATUS status) {
    const NtFileCalls& nt = ntFileCalls();
    SetLastError(nt.toError ? nt.toError(status) : ERROR_GEN_FAILURE);
}

bool sameText(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

bool isOwnAccount(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD size = 0;
    const bool got = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) != FALSE;
    CloseHandle(token);
    return got && EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

bool ownedByTrustedOwner(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool trusted = owner && isTrustedOwner(owner);
    LocalFree(descriptor);
    return trusted;
}

std::wstring withoutTrailingBackslash(std::wstring path) {
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

// The checks every handle gets: its kind, no reparse point, one name for a file, its owner,
// and, where the system can tell, that it reaches expectedFinal (empty: not compared).
HandleCheck checkHandle(HANDLE handle, bool directory, const std::wstring& expectedFinal) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return HandleCheck::Failed;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return HandleCheck::ReparsePoint;
    const bool isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory != directory) return HandleCheck::WrongKind;
    // A second hard link is a name elsewhere that the handle's checks say nothing about.
    if (!directory && info.nNumberOfLinks != 1) return HandleCheck::Elsewhere;
    if (!ownedByTrustedOwner(handle)) return HandleCheck::ForeignOwner;
    if (!expectedFinal.empty()) {
        const std::wstring final = finalPathOf(handle);
        if (!final.empty() && !sameText(final, expectedFinal)) return HandleCheck::Elsewhere;
    }
    return HandleCheck::Usable;
}

std::wstring childFinalPath(HANDLE parent, const std::wstring& name) {
    const std::wstring parentFinal = withoutTrailingBackslash(finalPathOf(parent));
    return parentFinal.empty() ? std::wstring() : parentFinal + L"\\" + name;
}

}  // namespace

bool isTrustedOwner(PSID sid) {
    return IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || isOwnAccount(sid);
}

std::wstring finalPathOf(HANDLE handle) {
    static const FinalPathFunction query = reinterpret_cast<FinalPathFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                               "GetFinalPathNameByHandleW")));
    if (!query) return std::wstring();
    const DWORD error = GetLastError();
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD length = query(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = query(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    }
    SetLastError(error);
    if (length == 0 || length >= buffer.size()) return std::wstring();
    return std::wstring(buffer.data(), length);
}

HandleCheck openCheckedFolder(const std::wstring& path, FileHandle& folder) {
    const std::wstring target = withoutTrailingBackslash(path);
    const size_t cut = target.find_last_of(L'\\');
    if (cut == std::wstring::npos) {
        SetLastError(ERROR_BAD_PATHNAME);
        return HandleCheck::Failed;
    }
    // The folder above, as the system resolves it: the place the name is expected in.
    FileHandle parent(CreateFileW(target.substr(0, cut + 1).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent.valid()) return HandleCheck::Failed;
    FileHandle opened(CreateFileW(
        target.c_str(),
        DELETE | READ_CONTROL | SYNCHRONIZE | FILE_LIST_DIRECTORY | FILE_ADD_FILE |
            FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened.valid()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? HandleCheck::Missing
                   : HandleCheck::Failed;
    }
    const HandleCheck check =
        checkHandle(opened.get(), true, childFinalPath(parent.get(), target.substr(cut + 1)));
    if (check == HandleCheck::Usable) folder.reset(opened.release());
    return check;
}

HandleCheck openInFolder(HANDLE parent, const std::wstring& name, ACCESS_MASK access,
                         ULONG share, ULONG disposition, bool directory, FileHandle& file) {
    const NtFileCalls& nt = ntFileCalls();
    if (!nt.usable()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return HandleCheck::Failed;
    }
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = parent;
    attributes.ObjectName = &objectName;
    attributes.Attributes = kObjCaseInsensitive;
    IO_STATUS_BLOCK status = {};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS result = nt.create(
        &handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL, &attributes, &status,
        nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
        kOpenReparsePoint | kSynchronousIo | (directory ? kDirectoryFile : kNonDirectoryFile),
        nullptr, 0);
    if (result < 0) {
        setErrorFromStatus(result);
        if (result == kStatusNameNotFound || result == kStatusPathNotFound)
            return HandleCheck::Missing;
        if (result == kStatusNotADirectory || result == kStatusFileIsADirectory)
            return HandleCheck::WrongKind;
        return HandleCheck::Failed;
    }
    FileHandle opened(handle);
    const HandleCheck check = checkHandle(opened.get(), directory, childFinalPath(parent, name));
    if (check == HandleCheck::Usable) file.reset(opened.release());
    return check;
}

bool deleteByHandle(HANDLE handle) {
    const NtFileCalls& nt = ntFileCalls();
    if (!nt.usable()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    BOOLEAN deleteFile = TRUE;
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result =
        nt.setInformation(handle, &status, &deleteFile, sizeof(deleteFile),
                          kFileDispositionInformation);
    if (result < 0) {
        setErrorFromStatus(result);
        return false;
    }
    return true;
}

bool renameByHandle(HANDLE handle, HANDLE target, const std::wstring& name) {
    const NtFileCalls& nt = ntFileCalls();
    if (!nt.usable()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    // FILE_RENAME_INFORMATION: ReplaceIfExists, RootDirectory, FileNameLength, FileName.
    struct RenameHead {
        BOOLEAN replaceIfExists;
        HANDLE rootDirectory;
        ULONG fileNameLength;
    };
    const size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(RenameHead) + nameBytes + sizeof(wchar_t), 0);
    RenameHead head = {FALSE, target, static_cast<ULONG>(nameBytes)};
    memcpy(buffer.data(), &head, sizeof(head));
    memcpy(buffer.data() + offsetof(RenameHead, fileNameLength) + sizeof(ULONG), name.data(),
           nameBytes);
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result = nt.setInformation(handle, &status, buffer.data(),
                                              static_cast<ULONG>(buffer.size()),
                                              kFileRenameInformation);
    if (result < 0) {
        setErrorFromStatus(result);
        return false;
    }
    return true;
}

HandleCheck deleteFileInFolder(HANDLE parent, const std::wstring& name) {
    FileHandle file(INVALID_HANDLE_VALUE);
    const HandleCheck check =
        openInFolder(parent, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_OPEN, false, file);
    if (check != HandleCheck::Usable) return check;
    return deleteByHandle(file.get()) ? HandleCheck::Usable : HandleCheck::Failed;
}

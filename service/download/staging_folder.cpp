// The staging folder: a fresh name (or the package's digest) under the temporary folder,
// held by a checked handle, its files reached relative to it, removed with them unless a cut
// download waits in it.
#include "download/staging_folder.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "download/download_log.h"
#include "platform/folder_handle.h"
#include "platform/temporary_folder.h"

const wchar_t kStagedDownloadName[] = L"vpi.tmp";
const wchar_t kStagedValidatorName[] = L"vpi.validator";

namespace {

const wchar_t kDigestFolderPrefix[] = L"vpi-";
// The clean-up's private folder: no staging folder's name, so no clean-up ever takes it for one.
const wchar_t kSweepFolderPrefix[] = L"vpi-sweep-";
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// SYSTEM and the Administrators group only, full control, inherited by what is made inside;
// "P": nothing inherited from the temporary folder, where users may add files.
const wchar_t kStagingFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool serviceTemporaryFolder(std::wstring& folder) {
    if (temporaryFolder(folder)) return true;
    logError(MessageCode::DownloadTempPathFailed);
    return false;
}

// A new GUID's text in registry form, which nobody can guess and occupy in advance.
bool newGuidName(std::wstring& name, HRESULT& failure) {
    GUID guid;
    failure = CoCreateGuid(&guid);
    if (FAILED(failure)) return false;
    wchar_t guidText[64] = {};
    if (StringFromGUID2(guid, guidText, 64) <= 0) {
        failure = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    name = guidText;
    return true;
}

// Owns the security descriptor ConvertStringSecurityDescriptorToSecurityDescriptorW makes.
struct SecurityDescriptor {
    PSECURITY_DESCRIPTOR value = nullptr;
    ~SecurityDescriptor() {
        if (value) LocalFree(value);
    }
};

// Makes the folder (path with or without its trailing backslash) with the staging access
// list; never one that exists already. False with GetLastError on failure, not logged.
bool makePrivateFolder(const std::wstring& folder) {
    SecurityDescriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStagingFolderAccess, SDDL_REVISION_1,
                                                              &descriptor.value, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.value, FALSE};
    return CreateDirectoryW(folder.c_str(), &attributes) != FALSE;
}

bool isGuidName(const wchar_t* name) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    static const wchar_t kShape[] = L"{........-....-....-....-............}";
    size_t i = 0;
    for (; kShape[i]; ++i) {
        const wchar_t c = name[i];
        if (kShape[i] == L'.') {
            if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f')))
                return false;
        } else if (c != kShape[i]) {
            return false;
        }
    }
    return name[i] == 0;
}

bool isDigestName(const wchar_t* name) {
    if (wcsncmp(name, kDigestFolderPrefix, 4) != 0) return false;
    size_t i = 4;
    for (; name[i]; ++i) {
        const wchar_t c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return i == 4 + 64;
}

// The names of the staging-shaped folders in temp (with its trailing backslash). Only names
// come from the listing: what each is, is asked of its handle when it is opened.
std::vector<std::wstring> stagingFolderNames(const std::wstring& temp, bool guids, bool digests) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((temp + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        // A link is never one of the service's folders.
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        if ((guids && isGuidName(found.cFileName)) || (digests && isDigestName(found.cFileName)))
            names.push_back(found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

// The length of the "vpi.tmp" in the folder held (0 when there is none, or it is not a plain
// file of the service's).
uint64_t partLength(HANDLE folder) {
    FileHandle part(INVALID_HANDLE_VALUE);
    if (openInFolder(folder, kStagedDownloadName, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                     false, part) != HandleCheck::Usable)
        return 0;
    LARGE_INTEGER size = {};
    return GetFileSizeEx(part.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

void logRefused(HandleCheck check) {
    ServiceLog::write(LogLevel::Warning, codeText(MessageCode::StaleStagingFolderRefused,
                                                  static_cast<int32_t>(check)));
}

int32_t loggedBytes(uint64_t bytes) {
    return static_cast<int32_t>(std::min<uint64_t>(bytes, 0x7FFFFFFF));
}

// Removes staging folders from one temporary folder. Each is opened by a checked handle and
// first moved, by that handle, into a private folder of this sweep's own; there it is opened
// and checked again, and only then are its files and it deleted, through handles relative to
// it. Whatever a user swaps in under the folder's name in the temporary folder meanwhile is
// never reached: a link moved along instead of the folder fails the second check.
class FolderSweep {
public:
    explicit FolderSweep(const std::wstring& temp) : temp_(temp) {}
    ~FolderSweep() {
        if (quarantine_.valid() && !quarantineHoldsSomething_) deleteByHandle(quarantine_.get());
    }
    FolderSweep(const FolderSweep&) = delete;
    FolderSweep& operator=(const FolderSweep&) = delete;

    // True when the folder name went; held receives the length of its "vpi.tmp".
    bool remove(const std::wstring& name, uint64_t& held);

private:
    bool openQuarantine();
    std::wstring temp_;
    FileHandle tempFolder_{INVALID_HANDLE_VALUE};
    FileHandle quarantine_{INVALID_HANDLE_VALUE};
    bool quarantineHoldsSomething_ = false;
};

bool FolderSweep::openQuarantine() {
    if (quarantine_.valid()) return true;
    tempFolder_.reset(CreateFileW(temp_.c_str(),
                                  FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring name;
    HRESULT failure = S_OK;
    if (!tempFolder_.valid() || !newGuidName(name, failure)) return false;
    name = kSweepFolderPrefix + name;
    if (!makePrivateFolder(temp_ + name)) return false;
    return openCheckedFolder(temp_ + name, quarantine_) == HandleCheck::Usable;
}

bool FolderSweep::remove(const std::wstring& name, uint64_t& held) {
    held = 0;
    FileHandle found(INVALID_HANDLE_VALUE);
    HandleCheck check = openCheckedFolder(temp_ + name, found);
    if (check == HandleCheck::Missing) return false;
    if (check != HandleCheck::Usable) {
        logRefused(check);
        return false;
    }
    if (!openQuarantine() || !renameByHandle(found.get(), quarantine_.get(), name)) return false;
    found.close();
    // From here on the folder is out of the users' reach; what arrived is checked again.
    FileHandle moved(INVALID_HANDLE_VALUE);
    check = openInFolder(quarantine_.get(), name,
                         DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, true, moved);
    if (check != HandleCheck::Usable) {
        // A link swapped in under the name in the meantime came along instead of the folder:
        // it stays in the private folder, which stays with it (a link cannot be told to go
        // without a handle to the link itself).
        logRefused(check);
        quarantineHoldsSomething_ = true;
        return false;
    }
    held = partLength(moved.get());
    deleteFileInFolder(moved.get(), kStagedDownloadName);
    deleteFileInFolder(moved.get(), kStagedValidatorName);
    if (deleteByHandle(moved.get())) return true;
    // It holds something else: back where it was, under its name.
    if (!renameByHandle(moved.get(), tempFolder_.get(), name)) quarantineHoldsSomething_ = true;
    return false;
}

// The temporary folders a SYSTEM service may stage in, seen from any process: this process's
// own, and the system's (C:\Windows\SystemTemp where GetTempPath2W exists, C:\Windows\Temp).
std::vector<std::wstring> serviceTemporaryFolders() {
    std::vector<std::wstring> folders;
    std::wstring own;
    if (temporaryFolder(own)) folders.push_back(own);
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring base(windows, length);
        if (base.back() != L'\\') base += L'\\';
        const bool systemTemp = temporaryFolderFunction() != &GetTempPathW;
        for (const std::wstring& folder :
             {systemTemp ? base + L"SystemTemp\\" : std::wstring(), base + L"Temp\\"}) {
            if (folder.empty()) continue;
            const bool listed = std::any_of(folders.begin(), folders.end(), [&](const std::wstring& f) {
                return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, f.c_str(), -1,
                                      folder.c_str(), -1) == CSTR_EQUAL;
            });
            if (!listed) folders.push_back(folder);
        }
    }
    return folders;
}

MessageCode fateCode(KeptPartFate fate) {
    switch (fate) {
        case KeptPartFate::UpdatesOff: return MessageCode::KeptPartRemovedUpdatesOff;
        case KeptPartFate::AttemptsExhausted: return MessageCode::KeptPartRemovedAttemptsExhausted;
        case KeptPartFate::UpToDate: return MessageCode::KeptPartRemovedUpToDate;
        case KeptPartFate::NotOffered:
        case KeptPartFate::Keep: break;
    }
    return MessageCode::KeptPartRemovedNotOffered;
}

std::string digestOfFolderName(const std::wstring& name) {
    std::string digest;
    for (size_t i = 4; i < name.size(); ++i) digest += static_cast<char>(name[i]);
    return digest;
}

}  // namespace

std::wstring stagingFolderNameForDigest(const std::string& sha256) {
    std::wstring name = kDigestFolderPrefix;
    for (char c : sha256) name += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return name;
}

bool StagingFolder::hold(const std::wstring& folder) {
    FileHandle opened(INVALID_HANDLE_VALUE);
    if (openCheckedFolder(folder, opened) != HandleCheck::Usable) return false;
    handle_.reset(opened.release());
    folder_ = folder;
    file_ = folder + kStagedDownloadName;
    validator_ = folder + kStagedValidatorName;
    return true;
}

bool StagingFolder::create() {
    std::wstring temp;
    if (!serviceTemporaryFolder(temp)) return false;
    std::wstring name;
    HRESULT failure = S_OK;
    if (!newGuidName(name, failure)) {
        logWithError(LogLevel::Error, MessageCode::StagingFolderNameFailed,
                     static_cast<DWORD>(failure));
        return false;
    }
    // A folder of that name that exists already is never used.
    const std::wstring folder = temp + name + L"\\";
    if (!makePrivateFolder(folder)) {
        logError(MessageCode::DownloadStagingFolderFailed);
        return false;
    }
    if (!hold(folder)) {
        // Not what was just made: nothing is written into it, nor deleted behind it.
        logWithError(LogLevel::Error, MessageCode::DownloadStagingFolderFailed,
                     ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

StagingFolder::DigestFolder StagingFolder::openForDigest(const std::string& sha256,
                                                        uint64_t& held) {
    held = 0;
    std::wstring temp;
    if (!serviceTemporaryFolder(temp)) return DigestFolder::Failed;
    const std::wstring folder = temp + stagingFolderNameForDigest(sha256) + L"\\";
    FileHandle probe(INVALID_HANDLE_VALUE);
    if (openCheckedFolder(folder, probe) == HandleCheck::Missing) {
        if (!makePrivateFolder(folder)) {
            logError(MessageCode::DownloadStagingFolderFailed);
            return DigestFolder::Failed;
        }
    }
    probe.close();
    if (!hold(folder)) {
        // Not a folder this service made: nothing is written, read or deleted behind it.
        logWithError(LogLevel::Warning, MessageCode::StagingFolderForeign, ERROR_ALREADY_EXISTS);
        return DigestFolder::Foreign;
    }
    held = partLength(handle_.get());
    return DigestFolder::Opened;
}

HANDLE StagingFolder::openPart(bool append) {
    FileHandle part(INVALID_HANDLE_VALUE);
    if (!handle_.valid()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (!append) deleteFileInFolder(handle_.get(), kStagedDownloadName);
    const HandleCheck check =
        openInFolder(handle_.get(), kStagedDownloadName,
                     append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE, 0,
                     append ? FILE_OPEN : FILE_CREATE, false, part);
    if (check != HandleCheck::Usable) {
        if (check != HandleCheck::Failed && check != HandleCheck::Missing)
            SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return part.release();
}

std::string StagingFolder::readValidator() {
    FileHandle file(INVALID_HANDLE_VALUE);
    if (!handle_.valid() ||
        openInFolder(handle_.get(), kStagedValidatorName, GENERIC_READ, FILE_SHARE_READ,
                     FILE_OPEN, false, file) != HandleCheck::Usable)
        return std::string();
    char buffer[1100];
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) || got >= sizeof(buffer))
        return std::string();
    return std::string(buffer, got);
}

void StagingFolder::writeValidator(const std::string& validator) {
    if (!handle_.valid()) return;
    deleteFileInFolder(handle_.get(), kStagedValidatorName);
    if (validator.empty()) return;
    FileHandle file(INVALID_HANDLE_VALUE);
    if (openInFolder(handle_.get(), kStagedValidatorName, GENERIC_WRITE, 0, FILE_CREATE, false,
                     file) != HandleCheck::Usable)
        return;
    DWORD written = 0;
    WriteFile(file.get(), validator.data(), static_cast<DWORD>(validator.size()), &written,
              nullptr);
}

void StagingFolder::discardPart() {
    if (!handle_.valid()) return;
    deleteFileInFolder(handle_.get(), kStagedDownloadName);
    deleteFileInFolder(handle_.get(), kStagedValidatorName);
}

void StagingFolder::remove() {
    if (!handle_.valid()) return;
    const DWORD error = GetLastError();
    if (!keep_) {
        const HandleCheck part = deleteFileInFolder(handle_.get(), kStagedDownloadName);
        if (part != HandleCheck::Usable && part != HandleCheck::Missing)
            logWarning(MessageCode::StagedFileDeleteFailed);
        deleteFileInFolder(handle_.get(), kStagedValidatorName);
        if (!deleteByHandle(handle_.get())) logWarning(MessageCode::StagingFolderRemoveFailed);
    }
    handle_.close();  // a folder marked for deletion goes with its last handle
    folder_.clear();
    SetLastError(error);
}

void removeStaleStagingFolders(const std::wstring& keepName, bool digestFolders) {
    const DWORD error = GetLastError();
    std::wstring temp;
    if (!temporaryFolder(temp)) return;
    int32_t removed = 0;
    {
        FolderSweep sweep(temp);
        for (const std::wstring& name : stagingFolderNames(temp, true, digestFolders)) {
            if (name == keepName) continue;
            uint64_t held = 0;
            if (sweep.remove(name, held)) ++removed;
        }
    }
    if (removed > 0)
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::StaleStagingFolderRemoved, removed));
    SetLastError(error);
}

void removeKeptParts(const KeptPartFacts& facts) {
    const DWORD error = GetLastError();
    std::wstring temp;
    if (!temporaryFolder(temp)) return;
    FolderSweep sweep(temp);
    for (const std::wstring& name : stagingFolderNames(temp, false, true)) {
        const KeptPartFate fate = keptPartFate(digestOfFolderName(name), facts);
        if (fate == KeptPartFate::Keep) continue;
        uint64_t held = 0;
        if (sweep.remove(name, held))
            ServiceLog::write(LogLevel::Warning, codeText(fateCode(fate), loggedBytes(held)));
    }
    SetLastError(error);
}

void removeAllKeptParts(MessageCode code) {
    const DWORD error = GetLastError();
    for (const std::wstring& temp : serviceTemporaryFolders()) {
        FolderSweep sweep(temp);
        for (const std::wstring& name : stagingFolderNames(temp, false, true)) {
            uint64_t held = 0;
            if (sweep.remove(name, held))
                ServiceLog::write(LogLevel::Warning, codeText(code, loggedBytes(held)));
        }
    }
    SetLastError(error);
}

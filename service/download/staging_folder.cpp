// The staging folder: a fresh name (or the package's digest) under the temporary folder,
// removed with its files unless a cut download waits in it.
#include "download/staging_folder.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <aclapi.h>

#include "download/download_log.h"

const wchar_t kStagedDownloadName[] = L"vpi.tmp";
const wchar_t kStagedValidatorName[] = L"vpi.validator";

namespace {

const wchar_t kDigestFolderPrefix[] = L"vpi-";

// SYSTEM and the Administrators group only, full control, inherited by what is made inside;
// "P": nothing inherited from the temporary folder, where users may add files.
const wchar_t kStagingFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool temporaryFolder(std::wstring& folder) {
    wchar_t tempBuffer[MAX_PATH + 1] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH, tempBuffer);
    if (tempLength == 0 || tempLength > MAX_PATH) {
        logError(MessageCode::DownloadTempPathFailed);
        return false;
    }
    folder = tempBuffer;
    return true;
}

// The staging folder name (without its trailing backslash) under the temporary folder: a new
// GUID, which nobody can guess and occupy in advance.
bool chooseStagingFolder(const std::wstring& tempFolder, std::wstring& folder) {
    GUID guid;
    const HRESULT created = CoCreateGuid(&guid);
    if (FAILED(created)) {
        logWithError(LogLevel::Error, MessageCode::StagingFolderNameFailed,
                     static_cast<DWORD>(created));
        return false;
    }
    wchar_t guidText[64] = {};
    if (StringFromGUID2(guid, guidText, 64) <= 0) {
        logWithError(LogLevel::Error, MessageCode::StagingFolderNameFailed,
                     ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    folder = tempFolder + guidText;
    return true;
}

// Owns the security descriptor ConvertStringSecurityDescriptorToSecurityDescriptorW makes.
struct SecurityDescriptor {
    PSECURITY_DESCRIPTOR value = nullptr;
    ~SecurityDescriptor() {
        if (value) LocalFree(value);
    }
};

// Makes the folder (path with its trailing backslash) with the staging access list.
bool makePrivateFolder(const std::wstring& folder) {
    SecurityDescriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStagingFolderAccess, SDDL_REVISION_1,
                                                              &descriptor.value, nullptr)) {
        logError(MessageCode::DownloadStagingFolderFailed);
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.value, FALSE};
    if (!CreateDirectoryW(folder.c_str(), &attributes)) {
        logError(MessageCode::DownloadStagingFolderFailed);
        return false;
    }
    return true;
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

// Deletes the staging files in folder (with its trailing backslash) and then the folder; a
// folder that holds anything else stays. True when the folder went.
bool removeStagingFolder(const std::wstring& folder) {
    DeleteFileW((folder + kStagedDownloadName).c_str());
    DeleteFileW((folder + kStagedValidatorName).c_str());
    return RemoveDirectoryW(folder.c_str()) != FALSE;
}

// True when sid is the account this process runs as (SYSTEM for the service).
bool isOwnAccount(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD size = 0;
    const bool got = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) != FALSE;
    CloseHandle(token);
    return got && EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

// True when the folder is owned by the account the service runs as, SYSTEM or the
// Administrators group, as the folders this service makes are: the temporary folder lets
// users make folders, and in a folder a user owns the files could be swapped for links under
// the service whatever its name.
bool ownedByTheService(const std::wstring& folder) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool ours = owner && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                isOwnAccount(owner));
    LocalFree(descriptor);
    return ours;
}

}  // namespace

std::wstring stagingFolderNameForDigest(const std::string& sha256) {
    std::wstring name = kDigestFolderPrefix;
    for (char c : sha256) name += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return name;
}

bool StagingFolder::create() {
    std::wstring temp;
    if (!temporaryFolder(temp)) return false;
    std::wstring name;
    if (!chooseStagingFolder(temp, name)) return false;
    // A folder of that name that exists already is never used.
    const std::wstring folder = name + L"\\";
    if (!makePrivateFolder(folder)) return false;
    folder_ = folder;
    file_ = folder + kStagedDownloadName;
    validator_ = folder + kStagedValidatorName;
    return true;
}

StagingFolder::DigestFolder StagingFolder::openForDigest(const std::string& sha256,
                                                        uint64_t& held) {
    held = 0;
    std::wstring temp;
    if (!temporaryFolder(temp)) return DigestFolder::Failed;
    const std::wstring folder = temp + stagingFolderNameForDigest(sha256) + L"\\";
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!makePrivateFolder(folder)) return DigestFolder::Failed;
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !ownedByTheService(folder)) {
        // Not a folder this service made: nothing is written, read or deleted behind it.
        logWithError(LogLevel::Warning, MessageCode::StagingFolderForeign, ERROR_ALREADY_EXISTS);
        return DigestFolder::Foreign;
    }
    folder_ = folder;
    file_ = folder + kStagedDownloadName;
    validator_ = folder + kStagedValidatorName;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(file_.c_str(), GetFileExInfoStandard, &data) &&
        !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        held = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return DigestFolder::Opened;
}

void StagingFolder::remove() {
    if (folder_.empty() || keep_) return;
    const DWORD error = GetLastError();
    if (GetFileAttributesW(file_.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !DeleteFileW(file_.c_str()))
        logWarning(MessageCode::StagedFileDeleteFailed);
    DeleteFileW(validator_.c_str());
    if (!RemoveDirectoryW(folder_.c_str())) logWarning(MessageCode::StagingFolderRemoveFailed);
    folder_.clear();
    SetLastError(error);
}

void removeStaleStagingFolders(const std::wstring& keepName, bool digestFolders) {
    const DWORD error = GetLastError();
    wchar_t tempBuffer[MAX_PATH + 1] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH, tempBuffer);
    if (tempLength == 0 || tempLength > MAX_PATH) return;
    const std::wstring temp = tempBuffer;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((temp + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    int32_t removed = 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const bool guid = isGuidName(found.cFileName);
        const bool digest = isDigestName(found.cFileName);
        if (!guid && !digest) continue;
        if (digest && (!digestFolders || keepName == found.cFileName)) continue;
        if (removeStagingFolder(temp + found.cFileName + L"\\")) ++removed;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    if (removed > 0)
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::StaleStagingFolderRemoved, removed));
    SetLastError(error);
}

// The staging folder: a fresh name under the temporary folder, removed with its file.
#include "download/staging_folder.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include "download/download_log.h"

const wchar_t kStagedDownloadName[] = L"vpi.tmp";

namespace {

// SYSTEM and the Administrators group only, full control, inherited by what is made inside;
// "P": nothing inherited from the temporary folder, where users may add files.
const wchar_t kStagingFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

}  // namespace

bool StagingFolder::create() {
    wchar_t tempBuffer[MAX_PATH + 1] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH, tempBuffer);
    if (tempLength == 0 || tempLength > MAX_PATH) {
        logError(MessageCode::DownloadTempPathFailed);
        return false;
    }
    std::wstring name;
    if (!chooseStagingFolder(tempBuffer, name)) return false;
    SecurityDescriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStagingFolderAccess, SDDL_REVISION_1,
                                                              &descriptor.value, nullptr)) {
        logError(MessageCode::DownloadStagingFolderFailed);
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.value, FALSE};
    // A folder of that name that exists already is never used.
    const std::wstring folder = name + L"\\";
    if (!CreateDirectoryW(folder.c_str(), &attributes)) {
        logError(MessageCode::DownloadStagingFolderFailed);
        return false;
    }
    folder_ = folder;
    file_ = folder + kStagedDownloadName;
    return true;
}

void StagingFolder::remove() {
    if (folder_.empty()) return;
    const DWORD error = GetLastError();
    if (GetFileAttributesW(file_.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !DeleteFileW(file_.c_str()))
        logWarning(MessageCode::StagedFileDeleteFailed);
    if (!RemoveDirectoryW(folder_.c_str())) logWarning(MessageCode::StagingFolderRemoveFailed);
    folder_.clear();
    SetLastError(error);
}

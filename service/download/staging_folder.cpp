// The staging folder: a fresh name under the temporary folder, removed with its file.
#include "download/staging_folder.h"

#include <windows.h>
#include <objbase.h>

#include "download/download_log.h"

const wchar_t kStagedDownloadName[] = L"vpi.tmp";

namespace {

// The staging folder name (without its trailing backslash) under the temporary folder.
bool chooseStagingFolder(const std::wstring& tempFolder, std::wstring& folder) {
    GUID guid;
    if (SUCCEEDED(CoCreateGuid(&guid))) {
        wchar_t guidText[MAX_PATH] = {};
        if (StringFromGUID2(guid, guidText, MAX_PATH) > 0) {
            folder = tempFolder + guidText;
            return true;
        }
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::GuidTextFailed));
    }
    ServiceLog::write(LogLevel::Warning, codeText(MessageCode::GuidNameUnavailable));
    wchar_t tempName[MAX_PATH] = {};
    if (!GetTempFileNameW(tempFolder.c_str(), L"VPI", 0, tempName)) {
        logError(MessageCode::DownloadTempFileNameFailed);
        return false;
    }
    // The unique file just made gives its name to the folder.
    if (!DeleteFileW(tempName)) {
        logError(MessageCode::DownloadTempFileDeleteFailed);
        return false;
    }
    folder = tempName;
    return true;
}

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
    const std::wstring folder = name + L"\\";
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
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

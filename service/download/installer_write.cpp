// The installer file written from verified content through a temporary file and a replace.
#include "download/installer_write.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "download/download_log.h"
#include "platform/file_handle.h"

const wchar_t kInstallerFileName[] = L"VextraPlayerInstaller.exe";
const wchar_t kInstallerTempFileName[] = L"VextraPlayerInstaller.exe.tmp";

namespace {

// One WriteFile call at most this long: a full disk shows at the step where it fills.
constexpr DWORD kWriteStepBytes = 1u << 20;

// Every byte of content into the open file, then flushed to the disk.
bool writeAll(HANDLE file, const uint8_t* content, uint32_t size) {
    for (uint32_t done = 0; done < size;) {
        const DWORD step = std::min<DWORD>(size - done, kWriteStepBytes);
        DWORD written = 0;
        if (!WriteFile(file, content + done, step, &written, nullptr)) {
            logError(MessageCode::InstallerFileWriteFailed);
            return false;
        }
        if (written != step) {  // a short write without an error: the disk is full
            logWithError(LogLevel::Error, MessageCode::InstallerFileWriteFailed, ERROR_DISK_FULL);
            return false;
        }
        done += step;
    }
    if (!FlushFileBuffers(file)) {
        logError(MessageCode::InstallerFileFlushFailed);
        return false;
    }
    return true;
}

// The content as the temporary file, complete and closed.
bool writeTemporary(const std::wstring& path, const uint8_t* content, uint32_t size) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    if (!writeAll(file.get(), content, size)) return false;
    // A failed close can mean data that never reached the disk: the file is not used.
    if (!file.close()) {
        logError(MessageCode::InstallerFileWriteFailed);
        return false;
    }
    return true;
}

}  // namespace

std::wstring installerFilePath() {
    wchar_t full[MAX_PATH] = {};
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetFullPathNameW(kInstallerFileName, MAX_PATH, full, nullptr);
    if (length == 0) return std::wstring();
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return std::wstring();
    }
    return std::wstring(full, length);
}

bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath) {
    if (!content || size == 0) {
        logWithError(LogLevel::Error, MessageCode::InstallerContentEmpty, ERROR_INVALID_DATA);
        return false;
    }
    const std::wstring path = installerFilePath();
    if (path.empty()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    const std::wstring temporary =
        path.substr(0, path.size() - wcslen(kInstallerFileName)) + kInstallerTempFileName;
    bool written = writeTemporary(temporary, content, size);
    if (written && !MoveFileExW(temporary.c_str(), path.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        logError(MessageCode::InstallerFileReplaceFailed);
        written = false;
    }
    if (!written) {
        const DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        SetLastError(error);
        return false;
    }
    installerPath = path;
    return true;
}

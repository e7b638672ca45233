// The installer file written from verified content.
#include "download/installer_write.h"

#include <windows.h>

#include "download/download_log.h"
#include "platform/file_handle.h"

const wchar_t kInstallerFileName[] = L"VextraPlayerInstaller.exe";

namespace {

bool writeInstaller(const std::wstring& path, const uint8_t* content, uint32_t size) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), content, size, &written, nullptr)) {
        logError(MessageCode::InstallerFileWriteFailed);
        return false;
    }
    if (!file.close()) logWarning(MessageCode::InstallerFileCloseFailed);
    return true;
}

}  // namespace

std::wstring installerFilePath() {
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetFullPathNameW(kInstallerFileName, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(full, length);
}

bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath) {
    std::wstring path = installerFilePath();
    if (path.empty()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    if (!writeInstaller(path, content, size)) return false;
    installerPath = path;
    return true;
}

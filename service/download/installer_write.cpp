// The installer file written from verified content through a temporary file and a replace.
#include "download/installer_write.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "download/download_log.h"
#include "platform/folder_handle.h"

const wchar_t kInstallerFileName[] = L"VextraPlayerInstaller.exe";
const wchar_t kInstallerTempFileName[] = L"VextraPlayerInstaller.exe.tmp";

namespace {

// One WriteFile call at most this long: a full disk shows at the step where it fills.
constexpr DWORD kWriteStepBytes = 1u << 20;

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

bool InstallerFileWriter::open() {
    discard();
    path_ = installerFilePath();
    if (path_.empty()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    temporary_ = path_.substr(0, path_.size() - wcslen(kInstallerFileName)) + kInstallerTempFileName;
    HANDLE file = CreateFileW(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        temporary_.clear();  // not ours to delete
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    file_.reset(file);
    written_ = 0;
    return true;
}

bool InstallerFileWriter::write(const uint8_t* data, uint64_t size) {
    if (!file_.valid()) {
        logWithError(LogLevel::Error, MessageCode::InstallerFileWriteFailed, ERROR_INVALID_HANDLE);
        return false;
    }
    for (uint64_t done = 0; done < size;) {
        const DWORD step = static_cast<DWORD>(std::min<uint64_t>(size - done, kWriteStepBytes));
        DWORD written = 0;
        if (!writeFile_(file_.get(), data + done, step, &written, nullptr)) {
            logError(MessageCode::InstallerFileWriteFailed);
            return false;
        }
        if (written != step) {  // a short write without an error: the disk is full
            logWithError(LogLevel::Error, MessageCode::InstallerFileWriteFailed, ERROR_DISK_FULL);
            return false;
        }
        done += step;
        written_ += step;
    }
    return true;
}

bool InstallerFileWriter::commit(std::wstring& installerPath) {
    if (written_ == 0) {
        logWithError(LogLevel::Error, MessageCode::InstallerContentEmpty, ERROR_INVALID_DATA);
        discard();
        return false;
    }
    if (!FlushFileBuffers(file_.get())) {
        logError(MessageCode::InstallerFileFlushFailed);
        discard();
        return false;
    }
    // A failed close can mean data that never reached the disk: the file is not used.
    if (!file_.close()) {
        logError(MessageCode::InstallerFileWriteFailed);
        discard();
        return false;
    }
    if (!MoveFileExW(temporary_.c_str(), path_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        logError(MessageCode::InstallerFileReplaceFailed);
        discard();
        return false;
    }
    temporary_.clear();
    installerPath = path_;
    return true;
}

void InstallerFileWriter::discard() {
    const DWORD error = GetLastError();
    file_.close();
    if (!temporary_.empty()) DeleteFileW(temporary_.c_str());
    temporary_.clear();
    written_ = 0;
    SetLastError(error);
}

void removeLeftInstallerTempFile() {
    const DWORD error = GetLastError();
    const std::wstring installer = installerFilePath();
    if (installer.empty()) return;
    const std::wstring temporary =
        installer.substr(0, installer.size() - wcslen(kInstallerFileName)) + kInstallerTempFileName;
    FileHandle file(CreateFileW(temporary.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (file.valid() && GetFileInformationByHandle(file.get(), &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        info.nNumberOfLinks == 1 && deleteByHandle(file.get())) {
        const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        ServiceLog::write(LogLevel::Warning,
                          codeText(MessageCode::InstallerTempFileRemoved,
                                   static_cast<int32_t>(std::min<uint64_t>(size, 0x7FFFFFFF))));
    }
    SetLastError(error);
}

bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath) {
    if (!content || size == 0) {
        logWithError(LogLevel::Error, MessageCode::InstallerContentEmpty, ERROR_INVALID_DATA);
        return false;
    }
    InstallerFileWriter writer;
    return writer.open() && writer.write(content, size) && writer.commit(installerPath);
}

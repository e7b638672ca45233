#pragma once
// Runs a test inside a fresh working directory that holds the Telmor\Vextra folder, so the
// service log lands there, and reads the logged messages back (without their timestamps).
#include <windows.h>

#include <string>
#include <vector>

#include "log/service_log.h"

class LogCapture {
public:
    LogCapture() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        GetCurrentDirectoryW(MAX_PATH, previous_);
        folder_ = std::wstring(temp) + L"vextra-log-" + std::to_wstring(GetCurrentProcessId()) +
                  L"-" + std::to_wstring(++counter_);
        CreateDirectoryW(folder_.c_str(), nullptr);
        CreateDirectoryW((folder_ + L"\\Telmor").c_str(), nullptr);
        CreateDirectoryW((folder_ + L"\\Telmor\\Vextra").c_str(), nullptr);
        SetCurrentDirectoryW(folder_.c_str());
        ServiceLog::setVerbose(true);
    }
    ~LogCapture() {
        SetCurrentDirectoryW(previous_);
        DeleteFileW((folder_ + L"\\Telmor\\Vextra\\VextraInstall.log").c_str());
        RemoveDirectoryW((folder_ + L"\\Telmor\\Vextra").c_str());
        RemoveDirectoryW((folder_ + L"\\Telmor").c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    const std::wstring& folder() const { return folder_; }

    // "[level] message" for every line, in order.
    std::vector<std::wstring> lines() const {
        std::vector<std::wstring> out;
        HANDLE file = CreateFileW((folder_ + L"\\Telmor\\Vextra\\VextraInstall.log").c_str(),
                                  GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return out;
        DWORD size = GetFileSize(file, nullptr);
        std::wstring text(size / sizeof(wchar_t), L'\0');
        DWORD read = 0;
        if (size) ReadFile(file, &text[0], size, &read, nullptr);
        CloseHandle(file);
        size_t start = 0;
        for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
            std::wstring line = text.substr(start, end - start);
            size_t bracket = line.find(L" [");
            out.push_back(bracket == std::wstring::npos ? line : line.substr(bracket + 1));
        }
        return out;
    }

private:
    static inline int counter_ = 0;
    wchar_t previous_[MAX_PATH] = {};
    std::wstring folder_;
};

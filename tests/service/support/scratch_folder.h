#pragma once
// Test helpers shared by the service test programs: a private scratch folder below the Wine
// prefix's temporary folder, removed again at the end of the test, and small file helpers.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace testsupport {

inline std::wstring tempRoot() {
    wchar_t buffer[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, buffer);
    return buffer;
}

inline bool removeTree(const std::wstring& path) {
    std::wstring from = path;
    from.push_back(L'\0');  // the source list ends with two null characters
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    return SHFileOperationW(&op) == 0;
}

// A fresh, empty folder for one test; removed with everything in it when the object dies.
class ScratchFolder {
public:
    ScratchFolder() {
        static unsigned counter = 0;
        path_ = tempRoot() + L"vextra-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        removeTree(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { removeTree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Makes a folder the current directory for the lifetime of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& path) {
        wchar_t buffer[MAX_PATH + 1] = {};
        GetCurrentDirectoryW(MAX_PATH + 1, buffer);
        previous_ = buffer;
        SetCurrentDirectoryW(path.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(previous_.c_str()); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::wstring previous_;
};

inline bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool readBytes(const std::wstring& path, std::string& out) {
    out.clear();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(h, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0)
        out.append(chunk, got);
    CloseHandle(h);
    return ok;
}

inline std::string readBytes(const std::wstring& path) {
    std::string out;
    readBytes(path, out);
    return out;
}

inline bool writeBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(h);
    return ok;
}

inline std::string narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
                        nullptr);
    return s;
}

inline std::wstring widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

// A UTF-16LE byte string as wide text (for reading the service log).
inline std::wstring fromUtf16Bytes(const std::string& bytes) {
    std::wstring w(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return w;
}

}  // namespace testsupport

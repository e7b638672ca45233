// Windows side of the process seam: Toolhelp snapshot, TerminateProcess, bounded wait.
#include "platform/process_tools.h"

#include <windows.h>
#include <tlhelp32.h>

namespace procutil {
namespace {

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() { if (valid()) CloseHandle(h_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
private:
    HANDLE h_;
};

std::wstring toWide(const std::string& utf8)
{
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

bool wideNamesMatch(const wchar_t* candidate, const std::wstring& wanted)
{
    if (wanted.empty()) return false;
    return CompareStringOrdinal(candidate, -1, wanted.c_str(), static_cast<int>(wanted.size()),
                                TRUE) == CSTR_EQUAL;
}

// Toolhelp gives the bare file name; be tolerant of a full path all the same.
const wchar_t* baseName(const wchar_t* path)
{
    const wchar_t* base = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') base = p + 1;
    }
    return base;
}

}  // namespace

bool exeNameMatches(const std::string& candidate, const std::string& wanted)
{
    std::wstring c = toWide(candidate);
    return !c.empty() && wideNamesMatch(c.c_str(), toWide(wanted));
}

std::vector<ProcessId> findProcessesByExeName(const std::string& exeName)
{
    std::vector<ProcessId> ids;
    const std::wstring wanted = toWide(exeName);
    if (wanted.empty()) return ids;
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return ids;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID != 0 && entry.th32ProcessID != self &&
            wideNamesMatch(baseName(entry.szExeFile), wanted)) {
            ids.push_back(entry.th32ProcessID);
        }
        entry.dwSize = sizeof(entry);
    }
    return ids;
}

namespace {

struct Identity {
    DWORD volume = 0, high = 0, low = 0;
    bool valid = false;
    bool operator==(const Identity& o) const { return valid && o.valid && volume == o.volume && high == o.high && low == o.low; }
};

Identity fileIdentity(const std::wstring& path)
{
    Identity id;
    Handle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (file.valid() && GetFileInformationByHandle(file.get(), &info)) {
        id.volume = info.dwVolumeSerialNumber;
        id.high = info.nFileIndexHigh;
        id.low = info.nFileIndexLow;
        id.valid = true;
    }
    return id;
}

}  // namespace

std::vector<ProcessId> findProcessesByImage(const std::string& exePath)
{
    std::vector<ProcessId> ids;
    const std::wstring path = toWide(exePath);
    const Identity image = fileIdentity(path);
    if (!image.valid) return ids;
    std::string name = exePath.substr(exePath.find_last_of("/\\") == std::string::npos ? 0 : exePath.find_last_of("/\\") + 1);
    for (ProcessId id : findProcessesByExeName(name)) {
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id)));
        if (!process.valid()) continue;
        std::wstring running(32768, L'\0');
        DWORD size = static_cast<DWORD>(running.size());
        if (!QueryFullProcessImageNameW(process.get(), 0, &running[0], &size)) continue;
        running.resize(size);
        if (fileIdentity(running) == image) ids.push_back(id);
    }
    return ids;
}

bool processesGone(const std::vector<ProcessId>& ids)
{
    for (ProcessId id : ids) {
        Handle h(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
        if (!h.valid()) {
            // An id that no longer names a process is reported as an invalid parameter.
            if (GetLastError() != ERROR_INVALID_PARAMETER) return false;
            continue;
        }
        if (WaitForSingleObject(h.get(), 0) != WAIT_OBJECT_0) return false;
    }
    return true;
}

bool terminateProcesses(const std::vector<ProcessId>& ids, unsigned timeoutMs)
{
    std::vector<Handle> handles;
    bool allGone = true;
    for (ProcessId id : ids) {
        Handle h(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
        if (!h.valid()) {
            // An id that no longer names a process is reported as an invalid parameter.
            if (GetLastError() != ERROR_INVALID_PARAMETER) allGone = false;
            continue;
        }
        TerminateProcess(h.get(), 0);
        handles.push_back(std::move(h));
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (const Handle& h : handles) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (WaitForSingleObject(h.get(), left) != WAIT_OBJECT_0) allGone = false;
    }
    return allGone;
}

bool startDetached(const std::string& fullPath)
{
    const std::wstring path = toWide(fullPath);
    const bool drivePath = path.size() > 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool uncPath = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\';
    if (!drivePath && !uncPath) return false;
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // The application name is the file itself, so nothing is searched for.
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

}  // namespace procutil

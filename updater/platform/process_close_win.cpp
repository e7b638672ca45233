// Windows side of asking the application to close: the Restart Manager where it sees the
// processes, else WM_CLOSE to their top-level windows, as the close button would send.
#include "platform/process_close.h"

#include <windows.h>
#include <restartmanager.h>

#include <algorithm>
#include <thread>

namespace procutil {
namespace {

// rstrtmgr.dll from the system folder, resolved once and kept for the life of the process (a
// shutdown may still run on its own thread at exit). Absent before Vista: then every pointer is null.
struct RestartManager {
    decltype(&RmStartSession) startSession = nullptr;
    decltype(&RmRegisterResources) registerResources = nullptr;
    decltype(&RmGetList) getList = nullptr;
    decltype(&RmShutdown) shutdown = nullptr;
    decltype(&RmEndSession) endSession = nullptr;
    bool usable() const { return startSession && registerResources && getList && shutdown && endSession; }
};

template <typename F>
void resolve(HMODULE dll, const char* name, F* f)
{
    *f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

const RestartManager& restartManager()
{
    static const RestartManager rm = [] {
        RestartManager r;
        wchar_t system[MAX_PATH];
        const UINT n = GetSystemDirectoryW(system, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return r;
        const std::wstring path = std::wstring(system, n) + L"\\rstrtmgr.dll";
        HMODULE dll = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!dll) return r;
        resolve(dll, "RmStartSession", &r.startSession);
        resolve(dll, "RmRegisterResources", &r.registerResources);
        resolve(dll, "RmGetList", &r.getList);
        resolve(dll, "RmShutdown", &r.shutdown);
        resolve(dll, "RmEndSession", &r.endSession);
        return r;
    }();
    return rm;
}

// A process as the Restart Manager names it: its id and start time, so that a new process
// that reused an id is never taken for it.
bool uniqueProcess(ProcessId id, RM_UNIQUE_PROCESS* out)
{
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (!h) return false;
    FILETIME created, exited, kernel, user;
    const bool ok = GetProcessTimes(h, &created, &exited, &kernel, &user) != 0;
    CloseHandle(h);
    out->dwProcessId = static_cast<DWORD>(id);
    out->ProcessStartTime = created;
    return ok;
}

// The ids the session lists as affected, or empty when it lists none or fails.
std::vector<ProcessId> affectedProcesses(const RestartManager& rm, DWORD session)
{
    std::vector<RM_PROCESS_INFO> infos(16);
    for (int attempt = 0; attempt < 4; ++attempt) {
        UINT needed = 0, count = static_cast<UINT>(infos.size());
        DWORD reasons = 0;
        const DWORD rc = rm.getList(session, &needed, &count, infos.data(), &reasons);
        if (rc == ERROR_MORE_DATA) {
            infos.resize(needed + 4);
            continue;
        }
        std::vector<ProcessId> ids;
        if (rc != ERROR_SUCCESS) return ids;
        for (UINT i = 0; i < count && i < infos.size(); ++i) ids.push_back(infos[i].Process.dwProcessId);
        return ids;
    }
    return {};
}

// Registers exactly these processes (found by the identity of their image, never a program that
// merely has the file open) and, when the session sees every one of them, starts its shutdown
// on a thread of its own: RmShutdown waits for the applications, and the caller keeps its own
// deadline. The thread owns the session and ends it.
bool closeThroughRestartManager(const std::vector<ProcessId>& ids)
{
    const RestartManager& rm = restartManager();
    if (!rm.usable()) return false;
    std::vector<RM_UNIQUE_PROCESS> processes;
    for (ProcessId id : ids) {
        RM_UNIQUE_PROCESS p{};
        if (uniqueProcess(id, &p)) processes.push_back(p);
    }
    if (processes.empty()) return false;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (rm.startSession(&session, 0, key) != ERROR_SUCCESS) return false;
    const bool registered = rm.registerResources(session, 0, nullptr, static_cast<UINT>(processes.size()),
                                                 processes.data(), 0, nullptr) == ERROR_SUCCESS;
    const std::vector<ProcessId> seen = registered ? affectedProcesses(rm, session) : std::vector<ProcessId>();
    // A session that does not list them (a Restart Manager that is only a stub) would shut down nothing.
    const bool seesAll = std::all_of(processes.begin(), processes.end(), [&](const RM_UNIQUE_PROCESS& p) {
        return std::find(seen.begin(), seen.end(), p.dwProcessId) != seen.end();
    });
    if (!seesAll) {
        rm.endSession(session);
        return false;
    }
    // Without RmForceShutdown: an application that refuses (unsaved work) is asked, not forced;
    // what has not closed by the deadline is ended with TerminateProcess by the caller.
    std::thread([&rm, session] {
        rm.shutdown(session, 0, nullptr);
        rm.endSession(session);
    }).detach();
    return true;
}

struct WindowSearch {
    const std::vector<ProcessId>* ids;
    int posted = 0;
};

BOOL CALLBACK closeTopLevelWindow(HWND window, LPARAM param)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    const bool ours = std::find(search->ids->begin(), search->ids->end(), ProcessId(owner)) != search->ids->end();
    // The windows a user could close: visible and not owned by another window (a dialog's owner
    // gets the request, not the dialog).
    if (ours && IsWindowVisible(window) && !GetWindow(window, GW_OWNER) &&
        PostMessageW(window, WM_CLOSE, 0, 0)) {
        ++search->posted;
    }
    return TRUE;
}

}  // namespace

CloseRequest askToClose(const std::vector<ProcessId>& ids)
{
    if (ids.empty()) return CloseRequest::None;
    if (closeThroughRestartManager(ids)) return CloseRequest::RestartManager;
    WindowSearch search{&ids};
    EnumWindows(closeTopLevelWindow, reinterpret_cast<LPARAM>(&search));
    return search.posted > 0 ? CloseRequest::WindowMessage : CloseRequest::None;
}

}  // namespace procutil

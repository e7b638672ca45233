// Starts a service through the service control manager, as the scheduled task's process would
// have it started, and follows it until its process has ended. Writes what it saw to a file:
//   start <1|0> <error>
//   status <state> <accepted> <checkpoint> <waithint> <win32exit>     (every change seen)
//   control <1|0> <error> <state> <checkpoint>                        (with "stop-after")
//   process <pid> <1|0 exited>
//   elapsed <milliseconds from the start request to the end of the process>
//   peak <the service process's peak working set in bytes, as last read before it ended>
// Usage: vextra_service_probe <service> <output file> [stop-after <milliseconds>]
//        vextra_service_probe <service> <output file> stop-when-staged <bytes> <folder>...
// stop-when-staged sends the stop as soon as a staging folder ({GUID} or vpi-<digest>) in one of the folders
// holds a "vpi.tmp" of at least that many bytes: the whole package has arrived.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

FILE* out = nullptr;

bool stagedReachedIn(const std::wstring& folder, const wchar_t* pattern,
                     unsigned long long bytes) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool reached = false;
    do {
        WIN32_FILE_ATTRIBUTE_DATA data;
        const std::wstring staged = folder + L"\\" + found.cFileName + L"\\vpi.tmp";
        if (GetFileAttributesExW(staged.c_str(), GetFileExInfoStandard, &data) &&
            ((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) >=
                bytes)
            reached = true;
    } while (!reached && FindNextFileW(find, &found));
    FindClose(find);
    return reached;
}

// A staging folder is GUID-named, or named from the package's digest ("vpi-...").
bool stagedReached(wchar_t** folders, int count, unsigned long long bytes) {
    for (int i = 0; i < count; ++i) {
        if (stagedReachedIn(folders[i], L"\\{*}", bytes) ||
            stagedReachedIn(folders[i], L"\\vpi-*", bytes))
            return true;
    }
    return false;
}

bool same(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) {
    return a.dwCurrentState == b.dwCurrentState && a.dwControlsAccepted == b.dwControlsAccepted &&
           a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint &&
           a.dwWin32ExitCode == b.dwWin32ExitCode;
}

void print(const SERVICE_STATUS_PROCESS& s) {
    fprintf(out, "status %lu %lu %lu %lu %lu\n", s.dwCurrentState, s.dwControlsAccepted,
            s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode);
    fflush(out);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    out = _wfopen(argv[2], L"w");
    if (!out) return 3;
    DWORD stopAfter = 0;
    bool sendStop = argc >= 5 && wcscmp(argv[3], L"stop-after") == 0;
    if (sendStop) stopAfter = wcstoul(argv[4], nullptr, 10);
    const bool stopWhenStaged = argc >= 6 && wcscmp(argv[3], L"stop-when-staged") == 0;
    const unsigned long long stagedBytes = stopWhenStaged ? _wcstoui64(argv[4], nullptr, 10) : 0;

    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = scm ? OpenServiceW(scm, argv[1], SERVICE_START | SERVICE_STOP |
                                                             SERVICE_QUERY_STATUS)
                            : nullptr;
    if (!service) {
        fprintf(out, "open 0 %lu\n", GetLastError());
        fclose(out);
        return 4;
    }
    // The process of an earlier run may still be on its way out after reporting stopped; the
    // service control manager then refuses a new start for a moment.
    const DWORD requested = GetTickCount();
    BOOL started = FALSE;
    DWORD startError = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        started = StartServiceW(service, 0, nullptr);
        startError = started ? 0 : GetLastError();
        if (started || startError != ERROR_SERVICE_ALREADY_RUNNING) break;
        Sleep(100);
    }
    fprintf(out, "start %d %lu\n", started ? 1 : 0, startError);
    fflush(out);

    SERVICE_STATUS_PROCESS last = {};
    last.dwCurrentState = 0xFFFFFFFF;
    DWORD pid = 0;
    HANDLE watched = nullptr;  // the service's process, for its peak working set
    SIZE_T peak = 0;
    bool running = false, stopSent = false;
    DWORD runningSince = 0;
    const DWORD begin = GetTickCount();
    while (GetTickCount() - begin < 120000) {
        SERVICE_STATUS_PROCESS now = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&now),
                                  sizeof(now), &needed)) {
            break;
        }
        if (now.dwProcessId) pid = now.dwProcessId;
        if (pid && !watched)
            watched = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
        if (watched) {
            // The peak only grows: the last reading before the process ends is the run's.
            PROCESS_MEMORY_COUNTERS counters = {};
            counters.cb = sizeof(counters);
            if (K32GetProcessMemoryInfo(watched, &counters, sizeof(counters)) &&
                counters.PeakWorkingSetSize > peak)
                peak = counters.PeakWorkingSetSize;
        }
        if (!same(now, last)) {
            print(now);
            last = now;
        }
        if (now.dwCurrentState == SERVICE_RUNNING && !running) {
            running = true;
            runningSince = GetTickCount();
        }
        const bool stopNow =
            (sendStop && GetTickCount() - runningSince >= stopAfter) ||
            (stopWhenStaged && stagedReached(argv + 5, argc - 5, stagedBytes));
        if (running && !stopSent && stopNow) {
            SERVICE_STATUS reply = {};
            BOOL ok = ControlService(service, SERVICE_CONTROL_STOP, &reply);
            fprintf(out, "control %d %lu %lu %lu\n", ok ? 1 : 0, ok ? 0 : GetLastError(),
                    reply.dwCurrentState, reply.dwCheckPoint);
            fflush(out);
            stopSent = true;
        }
        if (now.dwCurrentState == SERVICE_STOPPED && (started || running)) break;
        if (!started && !running && GetTickCount() - begin > 5000) break;
        Sleep(stopWhenStaged && !stopSent ? 2 : 10);
    }
    bool exited = false;
    if (pid) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        exited = !process || WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
        if (process) CloseHandle(process);
    }
    fprintf(out, "process %lu %d\n", pid, exited ? 1 : 0);
    fprintf(out, "elapsed %lu\n", GetTickCount() - requested);
    fprintf(out, "peak %llu\n", static_cast<unsigned long long>(peak));
    if (watched) CloseHandle(watched);
    fclose(out);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return 0;
}

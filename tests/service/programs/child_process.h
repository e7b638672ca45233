#pragma once
// Shared by the small launcher programs: a command line made of quoted arguments, and a child
// process started, awaited and asked for its exit code.
#include <windows.h>

#include <string>

// argv[first..argc) as one command line, each argument in double quotes.
inline std::wstring quotedCommandLine(int argc, wchar_t** argv, int first) {
    std::wstring line;
    for (int i = first; i < argc; ++i) {
        if (i > first) line += L' ';
        line += L'"';
        line += argv[i];
        line += L'"';
    }
    return line;
}

// Starts the command line (application: the file to run, or null to take it from the line),
// waits for the process and returns its exit code; failedCode when it could not be started.
inline DWORD runAndWait(const wchar_t* application, std::wstring line, DWORD failedCode) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(application, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return failedCode;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = failedCode;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// Starts a program under a chosen argument 0, as any process may when it names the executable
// file apart from the command line.  start_as <executable> <argument 0> [arguments...]
// Exit code: the program's, or 3 when it could not be started.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    std::wstring line;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) line += L' ';
        line += L'"';
        line += argv[i];
        line += L'"';
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(argv[1], &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 3;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

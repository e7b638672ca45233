// Holds a file open while another program runs, sharing only deletion (so others can neither
// read nor write it, but may rename over it), as a tool that means to replace the file may
// hold it.  hold_file <file> <program> [arguments...]
// Exit code: the program's, or 3 when the file could not be held or the program not started.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
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
    DWORD code = 3;
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(held);
    return static_cast<int>(code);
}

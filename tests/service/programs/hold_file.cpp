// Holds a file open while another program runs, sharing only deletion (so others can neither
// read nor write it, but may rename over it), as a tool that means to replace the file may
// hold it.  hold_file <file> <program> [arguments...]
// Exit code: the program's, or 3 when the file could not be held or the program not started.
#include <windows.h>

#include "child_process.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
    const DWORD code = runAndWait(nullptr, quotedCommandLine(argc, argv, 2), 3);
    CloseHandle(held);
    return static_cast<int>(code);
}

// Starts a program under a chosen argument 0, as any process may when it names the executable
// file apart from the command line.  start_as <executable> <argument 0> [arguments...]
// Exit code: the program's, or 3 when it could not be started.
#include "child_process.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    return static_cast<int>(runAndWait(argv[1], quotedCommandLine(argc, argv, 2), 3));
}

// One start of a cycle search case in a process of its own, so that the search can kill it
// (TerminateProcess) in the middle of its download, as a killed service process ends: no
// destructor or clean-up runs. Arguments: the package server's port and the case file (its one
// start). The working directory is the case's; the state is the test prefix's.
#include <windows.h>

#include <string>

#include "platform/os_version.h"
#include "search_run.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    search::Packages packages;
    if (!packages.load(std::wstring(VEXTRA_BUILD_DIR_W) + L"\\search-packages")) return 3;
    search::Case c;
    if (!search::parseCase(search::readWholeTextFile(argv[2]), c)) return 4;
    currentOsClass = c.os;
    runningUnderWow64 = false;
    search::runOneStart(c.starts[0], packages, static_cast<uint16_t>(std::wcstoul(argv[1], nullptr, 10)));
    return 0;
}

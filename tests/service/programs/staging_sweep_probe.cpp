// Runs the start's clean-up of stale staging folders again and again, with the given folder as
// the temporary folder, as a test's racer changes what is in it.
//   staging_sweep_probe <temporary folder> <rounds>
// Logs (verbose) to Telmor\Vextra\VextraInstall.log under the current directory when that
// folder exists. Exit code 0 after the rounds, 2 on bad arguments.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "download/staging_folder.h"
#include "log/service_log.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    std::wstring temp = argv[1];
    if (temp.empty() || temp.back() != L'\\') temp += L'\\';
    // GetTempPathW takes TMP first, then TEMP.
    if (!SetEnvironmentVariableW(L"TMP", temp.c_str()) ||
        !SetEnvironmentVariableW(L"TEMP", temp.c_str()))
        return 2;
    ServiceLog::setVerbose(true);
    const int rounds = _wtoi(argv[2]);
    for (int i = 0; i < rounds; ++i) removeStaleStagingFolders(std::wstring(), false);
    return 0;
}

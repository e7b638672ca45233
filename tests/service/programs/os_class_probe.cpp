// Probe for tests: classifies the Windows version this process sees and returns the class
// (1 Legacy, 2 Vista7, 3 Win8OrLater) as its exit code; prints "major.minor platform".
#include <windows.h>

#include <cstdio>

#include "platform/os_version.h"

int wmain(int, wchar_t**) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    std::printf("%lu.%lu %lu\n", info.dwMajorVersion, info.dwMinorVersion, info.dwPlatformId);
    return static_cast<int>(classifyWindowsVersion());
}

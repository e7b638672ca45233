#include "platform/os_version.h"

OsClass currentOsClass = OsClass::Legacy;
bool runningUnderWow64 = false;

OsClass classifyWindowsVersion(const OSVERSIONINFOA& info) {
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6) {
        if (info.dwMajorVersion > 6) return OsClass::Win8OrLater;
        return info.dwMinorVersion > 1 ? OsClass::Win8OrLater : OsClass::Vista7;
    }
    return OsClass::Legacy;
}

OsClass classifyWindowsVersion() {
    // The ANSI record (148 bytes); a failed query leaves it zeroed, which classifies as Legacy.
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    static_assert(sizeof(OSVERSIONINFOA) == 148, "the ANSI version record is 148 bytes");
    GetVersionExA(&info);
    currentOsClass = classifyWindowsVersion(info);
    return currentOsClass;
}

#include <gtest/gtest.h>

#include "main/os_version.h"

namespace {

OSVERSIONINFOA record(DWORD platform, DWORD major, DWORD minor) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwPlatformId = platform;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    return info;
}

}  // namespace

TEST(ClassifyWindowsVersion, KnownReleases) {
    struct Case { const char* name; DWORD platform, major, minor; OsClass expected; };
    const Case cases[] = {
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, OsClass::Legacy},
        {"Windows XP", VER_PLATFORM_WIN32_NT, 5, 1, OsClass::Legacy},
        {"Windows XP x64 / Server 2003", VER_PLATFORM_WIN32_NT, 5, 2, OsClass::Legacy},
        {"Windows Vista", VER_PLATFORM_WIN32_NT, 6, 0, OsClass::Vista7},
        {"Windows 7", VER_PLATFORM_WIN32_NT, 6, 1, OsClass::Vista7},
        {"Windows 8", VER_PLATFORM_WIN32_NT, 6, 2, OsClass::Win8OrLater},
        {"Windows 8.1", VER_PLATFORM_WIN32_NT, 6, 3, OsClass::Win8OrLater},
        {"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, OsClass::Win8OrLater},
        {"a future major 7", VER_PLATFORM_WIN32_NT, 7, 0, OsClass::Win8OrLater},
        {"Windows 98 (not NT)", VER_PLATFORM_WIN32_WINDOWS, 4, 10, OsClass::Legacy},
        {"not NT even with a high version", VER_PLATFORM_WIN32_WINDOWS, 10, 0, OsClass::Legacy},
        {"Win32s", VER_PLATFORM_WIN32s, 6, 1, OsClass::Legacy},
        {"zeroed record (failed query)", 0, 0, 0, OsClass::Legacy},
    };
    for (const Case& c : cases)
        EXPECT_EQ(classifyWindowsVersion(record(c.platform, c.major, c.minor)), c.expected) << c.name;
}

TEST(ClassifyWindowsVersion, RealQueryStoresTheClass) {
    // A fresh Wine prefix reports Windows 7 SP1 (6.1.7601).
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    currentOsClass = OsClass::Legacy;
    const OsClass result = classifyWindowsVersion();
    EXPECT_EQ(result, classifyWindowsVersion(info));
    EXPECT_EQ(currentOsClass, result);
    if (info.dwMajorVersion == 6 && info.dwMinorVersion == 1) {
        EXPECT_EQ(result, OsClass::Vista7);
    }
}

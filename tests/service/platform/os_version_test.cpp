#include <gtest/gtest.h>

#include "platform/os_version.h"
#include "support/run_program.h"

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

namespace {

// Runs the probe after switching the prefix's reported Windows version (effective for
// programs started afterwards).
struct ProbeResult {
    DWORD osClass;
    std::string version;
};

ProbeResult probeUnder(const wchar_t* version) {
    const auto set = testsupport::reg(std::wstring(L"add HKCU\\Software\\Wine /v Version /d ") +
                                      version + L" /f");
    EXPECT_EQ(set.exitCode, 0u) << set.output;
    const auto run = testsupport::runProgram(L"\"" + std::wstring(VEXTRA_BUILD_DIR_W) +
                                             L"\\programs\\os_class_probe.exe\"");
    EXPECT_TRUE(run.started);
    return {run.exitCode, run.output};
}

}  // namespace

TEST(ClassifyWindowsVersion, RealQueryInPrefixesOfThreeWindowsVersions) {
    const ProbeResult xp = probeUnder(L"winxp64");
    EXPECT_EQ(xp.osClass, static_cast<DWORD>(OsClass::Legacy)) << xp.version;
    EXPECT_EQ(xp.version.substr(0, 4), "5.2 ");
    const ProbeResult seven = probeUnder(L"win7");
    EXPECT_EQ(seven.osClass, static_cast<DWORD>(OsClass::Vista7)) << seven.version;
    EXPECT_EQ(seven.version.substr(0, 4), "6.1 ");
    // Without a Windows 10 compatibility entry in the manifest, Windows 10 reports 6.2.
    const ProbeResult ten = probeUnder(L"win10");
    EXPECT_EQ(ten.osClass, static_cast<DWORD>(OsClass::Win8OrLater)) << ten.version;
    testsupport::reg(L"delete HKCU\\Software\\Wine /v Version /f");
}

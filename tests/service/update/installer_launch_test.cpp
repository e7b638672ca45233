// Installer download and launch without a network: which package an offer asks for, which
// command line it gets, the refusals before any download, reading the staged file back, and
// that a launch starts exactly the file it was given.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "download/installer_download.h"
#include "support/log_capture.h"
#include "update/installer_launch.h"

namespace {

using Lines = std::vector<std::string>;
using testsupport::LogCapture;

ComponentOffer offer(PlayerComponent component, bool patch) {
    ComponentOffer o;
    o.component = component;
    o.patchApplies = patch;
    o.patchPath = L"/pub/vextraplayer/update/current/sau/11/install/patch/p1/patch_all_win_ax_sgn.z";
    return o;
}

TEST(InstallerPackage, PatchPathOnlyWhileThePatchApplies) {
    EXPECT_EQ(std::wstring(packageObjectPath(offer(PlayerComponent::ActiveX, true))),
              offer(PlayerComponent::ActiveX, true).patchPath);
    EXPECT_STREQ(packageObjectPath(offer(PlayerComponent::ActiveX, false)),
                 L"/pub/vextraplayer/update/current/sau/11/install/install_all_win_ax_sgn.z");
    EXPECT_STREQ(packageObjectPath(offer(PlayerComponent::Plugin, false)),
                 L"/pub/vextraplayer/update/current/sau/11/install/install_all_win_pl_sgn.z");
    EXPECT_EQ(packageObjectPath(offer(static_cast<PlayerComponent>(3), false)), nullptr);
}

TEST(InstallerPackage, CommandLineTellsPatchFromFullInstaller) {
    EXPECT_STREQ(installerCommandLine(offer(PlayerComponent::Plugin, true)),
                 L"VextraPlayerInstaller.exe -install -iv 11");
    EXPECT_STREQ(installerCommandLine(offer(PlayerComponent::Plugin, false)),
                 L"VextraPlayerInstaller.exe -install -iv 9");
}

TEST(InstallerDownload, RefusesMissingOrUnknownOffersBeforeAnyDownload) {
    LogCapture log;
    EXPECT_FALSE(downloadInstaller(nullptr));
    EXPECT_TRUE(log.lines().empty());
    ComponentOffer unknown = offer(static_cast<PlayerComponent>(0), false);
    EXPECT_FALSE(downloadInstaller(&unknown));
    EXPECT_FALSE(launchInstaller(unknown));
    EXPECT_EQ(log.lines(), (Lines{"error 1200", "error 1200"}));
    EXPECT_EQ(GetFileAttributesW(installerFilePath().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(InstallerDownload, InstallerFileIsNamedInTheCurrentDirectory) {
    LogCapture log;
    EXPECT_EQ(installerFilePath(), log.folder() / L"VextraPlayerInstaller.exe");
}

TEST(InstallerDownload, ReadWholeFileReadsEverythingAndRefusesEmptyOrMissingFiles) {
    LogCapture log;
    const std::wstring path = log.folder() / L"vpi.tmp";
    std::string content(70000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(testsupport::writeBytes(path, content));
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    ASSERT_TRUE(readWholeFile(path.c_str(), bytes, size));
    ASSERT_EQ(size, content.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.get()), size), content);

    ASSERT_TRUE(testsupport::writeBytes(path, ""));
    std::unique_ptr<uint8_t[]> none;
    uint32_t noneSize = 0;
    EXPECT_FALSE(readWholeFile(path.c_str(), none, noneSize));
    EXPECT_FALSE(none);
    DeleteFileW(path.c_str());
    EXPECT_FALSE(readWholeFile(path.c_str(), none, noneSize));
}

TEST(InstallerLaunch, AMissingFileIsNotStartedAndLogs1218WithItsError) {
    LogCapture log;
    EXPECT_FALSE(startDetachedProcess(log.folder() / L"VextraPlayerInstaller.exe",
                                      L"VextraPlayerInstaller.exe -install -iv 9"));
    Lines lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "error 1218 " + std::to_string(ERROR_FILE_NOT_FOUND));
}

TEST(InstallerLaunch, StartsExactlyTheGivenFileWithTheCommandLineAsIs) {
    LogCapture log;
    // A program that exists under another name than the command line's first token: the
    // application path decides what runs, the command line is passed through unchanged.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\cmd.exe";
    const std::wstring marker = log.folder() / L"started.txt";
    const std::wstring line = L"VextraPlayerInstaller.exe /c echo started> \"" + marker + L"\"";
    ASSERT_TRUE(startDetachedProcess(program, line));
    EXPECT_EQ(log.lines(), (Lines{"info 1602"}));
    for (int i = 0; i < 200 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(50);
    }
    EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
    Sleep(100);
    DeleteFileW(marker.c_str());
}

}  // namespace

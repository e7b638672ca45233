#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/system_library.h"
#include "player/player_detection.h"
#include "support/log_capture.h"
#include "support/player_registry.h"
#include "support/offers.h"

using testsupport::LogCapture;
using testsupport::PlayerRecord;

namespace {

const wchar_t kActiveXKey[] = L"Software\\Telmora\\VextraPlayerActiveX";
const wchar_t kPluginKey[] = L"Software\\Telmora\\VextraPlayerPlugin";
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kXyz = "3608bca1e44ea6c4d268eb6db02260269892c0b42b86bbf1e77a6fa16c3c9282";

using testsupport::offer;

class InstalledPlayer : public ::testing::Test {
protected:
    void SetUp() override {
        currentOsClass = OsClass::Vista7;
        runningUnderWow64 = false;
    }
    void TearDown() override {
        currentOsClass = OsClass::Vista7;
        runningUnderWow64 = false;
    }
};

}  // namespace

TEST_F(InstalledPlayer, ReadsTheVersionOfEachComponentKey) {
    PlayerRecord ax(kActiveXKey), pl(kPluginKey);
    ax.version(L"11.2.202.228");
    pl.version(L"11.3");
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), (PlayerVersion{11, 2, 202, 228}));
    EXPECT_EQ(readInstalledVersion(PlayerComponent::Plugin), (PlayerVersion{11, 3, 0, 0}));
    EXPECT_EQ(readInstalledVersion(static_cast<PlayerComponent>(3)), PlayerVersion{});
}

TEST_F(InstalledPlayer, MissingKeyOrVersionOrDebuggerEditionCountsAsNotInstalled) {
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
    PlayerRecord ax(kActiveXKey);
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
    ax.version(L"11.2.202.228");
    ax.setDword(L"isScriptDebugger", 1);
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
    ax.setDword(L"isScriptDebugger", 0);
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), (PlayerVersion{11, 2, 202, 228}));
    // A flag that cannot be read as a 32-bit value is no debugger flag.
    const char wide[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ax.setRaw(L"isScriptDebugger", REG_BINARY, wide, sizeof(wide));
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), (PlayerVersion{11, 2, 202, 228}));
}

TEST_F(InstalledPlayer, VersionTextThatDoesNotFitOrHasAFifthPieceIsIgnored) {
    PlayerRecord ax(kActiveXKey);
    ax.version(L"11.2.202.228" + std::wstring(2040, L' '));  // 2052 characters: too long
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
    ax.version(L"11.2.202.228" + std::wstring(2035, L' '));  // 2047 characters and the NUL
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), (PlayerVersion{11, 2, 202, 228}));
    // Exactly the buffer, without a terminating NUL, is not read past its end.
    std::wstring full = L"11.2.202.228" + std::wstring(2036, L'9');
    ax.setRaw(L"Version", REG_SZ, full.data(), static_cast<DWORD>(full.size() * sizeof(wchar_t)));
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
    // 4095 bytes: the odd last byte lands in the buffer's last character, which then holds no
    // terminator. The text before the embedded NUL would read as a version if it were taken.
    std::string odd(4095, 'x');
    const wchar_t shortText[] = L"11.2.202.228";
    std::memcpy(&odd[0], shortText, sizeof(shortText));
    ax.setRaw(L"Version", REG_SZ, odd.data(), static_cast<DWORD>(odd.size()));
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
    ax.version(L"11.2.202.228.");
    EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{});
}

TEST_F(InstalledPlayer, UpdateNeededFollowsRegistryAndWindowsGeneration) {
    PlayerRecord ax(kActiveXKey), pl(kPluginKey);
    ax.version(L"11.2.202.228");
    pl.version(L"11.2.202.228");
    const ComponentOffer newer = offer(PlayerComponent::ActiveX, {11, 2, 202, 235});
    const ComponentOffer newerPlugin = offer(PlayerComponent::Plugin, {11, 2, 202, 235});
    EXPECT_TRUE(isUpdateNeeded(newer));
    EXPECT_TRUE(isUpdateNeeded(newerPlugin));
    EXPECT_FALSE(isUpdateNeeded(offer(PlayerComponent::ActiveX, {11, 2, 202, 228})));
    EXPECT_FALSE(isUpdateNeeded(offer(PlayerComponent::ActiveX, {11, 2, 201, 999})));

    currentOsClass = OsClass::Win8OrLater;
    EXPECT_FALSE(isUpdateNeeded(newer));
    EXPECT_TRUE(isUpdateNeeded(newerPlugin));

    currentOsClass = OsClass::Legacy;
    pl.setDword(L"isScriptDebugger", 1);
    EXPECT_FALSE(isUpdateNeeded(newerPlugin));
    ax.version(L"1.2.3.4.5");
    EXPECT_FALSE(isUpdateNeeded(newer));
    ax.remove();
    EXPECT_FALSE(isUpdateNeeded(newer));
}

TEST_F(InstalledPlayer, PlayerPathFromEitherRegistryView) {
    PlayerRecord ax(kActiveXKey);
    ax.playerPath(L"C:\\windows\\system32\\Telmora\\player.ocx");
    // A 32-bit program on 64-bit Windows has a registry view of its own; the 64-bit view holds
    // the 64-bit player's record. Elsewhere both views are the same key.
    std::unique_ptr<PlayerRecord> ax64;
    if (runsUnderWow64()) {
        ax64 = std::make_unique<PlayerRecord>(kActiveXKey, KEY_WOW64_64KEY);
        ax64->playerPath(L"C:\\windows\\system32\\Telmora\\player64.ocx");
    }
    for (bool defaultView : {true, false}) {
        wchar_t path[MAX_PATH] = L"previous";
        EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, defaultView, path));
        EXPECT_STREQ(path, !defaultView && ax64 ? L"C:\\windows\\system32\\Telmora\\player64.ocx"
                                                : L"C:\\windows\\system32\\Telmora\\player.ocx");
    }
    // Any component other than ActiveX reads the plug-in key.
    wchar_t untouched[MAX_PATH] = L"previous";
    EXPECT_FALSE(readPlayerPath(PlayerComponent::Plugin, true, untouched));
    EXPECT_STREQ(untouched, L"previous");
    EXPECT_FALSE(readPlayerPath(static_cast<PlayerComponent>(7), true, untouched));
    PlayerRecord pl(kPluginKey);
    pl.playerPath(L"D:\\plugin.dll");
    EXPECT_TRUE(readPlayerPath(static_cast<PlayerComponent>(7), true, untouched));
    EXPECT_STREQ(untouched, L"D:\\plugin.dll");
}

TEST_F(InstalledPlayer, MissingOrOverlongPlayerPathLeavesThePathEmpty) {
    PlayerRecord ax(kActiveXKey);
    wchar_t path[MAX_PATH] = L"previous";
    EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, true, path));
    EXPECT_STREQ(path, L"");
    ax.playerPath(L"C:\\" + std::wstring(300, L'x'));
    wcscpy(path, L"previous");
    EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, true, path));
    EXPECT_STREQ(path, L"");
    // 519 bytes: the last character of the buffer gets one byte of the value and no NUL.
    std::string odd(519, 'x');
    const wchar_t shortPath[] = L"D:\\player.ocx";
    std::memcpy(&odd[0], shortPath, sizeof(shortPath));
    ax.setRaw(L"PlayerPath", REG_SZ, odd.data(), static_cast<DWORD>(odd.size()));
    wcscpy(path, L"previous");
    EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, true, path));
    EXPECT_STREQ(path, L"");
    EXPECT_EQ(path[MAX_PATH - 1], L'\0');
}

TEST_F(InstalledPlayer, HashesThePlayerFileOrLogsTheDigestFailure) {
    LogCapture capture;
    ASSERT_TRUE(testsupport::writeBytes(capture.folder() / L"player.ocx", "abc"));
    char digest[65] = {};
    EXPECT_TRUE(hashPlayerFile((capture.folder() / L"player.ocx").c_str(), digest, false));
    EXPECT_EQ(std::string(digest), kAbc);
    EXPECT_TRUE(capture.messages().empty());

    char untouched[65] = "keep";
    EXPECT_FALSE(hashPlayerFile((capture.folder() / L"missing.ocx").c_str(), untouched, false));
    EXPECT_STREQ(untouched, "keep");
    ASSERT_TRUE(testsupport::writeBytes(capture.folder() / L"empty.ocx", ""));
    EXPECT_FALSE(hashPlayerFile((capture.folder() / L"empty.ocx").c_str(), untouched, false));
    const auto lines = capture.entries();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, L"warning");
    EXPECT_EQ(lines[0].message, L"1151 2");  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(lines[1].message.substr(0, 5), L"1152 ");
}

TEST_F(InstalledPlayer, PatchAppliesWhenThe32BitPlayerFileMatches) {
    LogCapture capture;
    ASSERT_TRUE(testsupport::writeBytes(capture.folder() / L"player.ocx", "abc"));
    PlayerRecord ax(kActiveXKey);
    ax.playerPath(capture.folder() / L"player.ocx");
    ComponentOffer o = offer(PlayerComponent::ActiveX, {});
    o.hash32 = kAbc;
    o.hash64 = "not consulted on 32-bit Windows";
    checkPatchApplicable(o, false);
    EXPECT_TRUE(o.patchApplies);
    o.hash32 = kXyz;
    checkPatchApplicable(o, false);
    EXPECT_FALSE(o.patchApplies);
}

TEST_F(InstalledPlayer, NoPlayerFileMeansNoPatch) {
    LogCapture capture;
    ComponentOffer o = offer(PlayerComponent::Plugin, {});
    o.hash32 = kAbc;
    o.patchApplies = true;
    checkPatchApplicable(o, false);  // no key at all
    EXPECT_FALSE(o.patchApplies);
    PlayerRecord pl(kPluginKey);
    o.patchApplies = true;
    checkPatchApplicable(o, false);  // key without PlayerPath: nothing hashed, nothing logged
    EXPECT_FALSE(o.patchApplies);
    EXPECT_TRUE(capture.messages().empty());
    pl.playerPath(capture.folder() / L"gone.dll");
    checkPatchApplicable(o, false);  // path to a missing file: the digest failure is logged
    EXPECT_FALSE(o.patchApplies);
    EXPECT_EQ(capture.messages(), std::vector<std::wstring>{L"1151 2"});
}

TEST_F(InstalledPlayer, On64BitWindowsThe64BitPlayerFileMustMatchToo) {
    LogCapture capture;
    ASSERT_TRUE(testsupport::writeBytes(capture.folder() / L"player.ocx", "abc"));
    PlayerRecord ax(kActiveXKey);
    ax.playerPath(capture.folder() / L"player.ocx");
    // Under WOW64 the 64-bit view has a record of its own; here it names the same file (a path
    // outside the system folder, so redirection does not matter).
    std::unique_ptr<PlayerRecord> ax64;
    if (runsUnderWow64()) {
        ax64 = std::make_unique<PlayerRecord>(kActiveXKey, KEY_WOW64_64KEY);
        ax64->playerPath(capture.folder() / L"player.ocx");
    }
    // The answer comes from the argument, whatever the process-wide flag says.
    ComponentOffer o = offer(PlayerComponent::ActiveX, {});
    o.hash32 = kAbc;
    o.hash64 = kXyz;  // the 64-bit view's file holds "abc": no match
    checkPatchApplicable(o, true);
    EXPECT_FALSE(o.patchApplies);
    // Both digests as listed: the 64-bit view's key is read and its file hashed with
    // redirection switched off. Only a 32-bit process can switch it off; this 64-bit one is
    // told ERROR_INVALID_FUNCTION, so the digest fails (1157) and the patch does not apply.
    o.hash64 = kAbc;
    capture.clear();
    checkPatchApplicable(o, true);
#ifdef _WIN64
    EXPECT_FALSE(o.patchApplies);
    EXPECT_EQ(capture.messages(), std::vector<std::wstring>{L"1157 1"});
#else
    EXPECT_EQ(o.patchApplies, runsUnderWow64());
#endif
    o.hash32 = kXyz;  // no 32-bit match: the 64-bit file is not even looked at
    capture.clear();
    checkPatchApplicable(o, true);
    EXPECT_FALSE(o.patchApplies);
    EXPECT_TRUE(capture.messages().empty());
}

TEST_F(InstalledPlayer, OnlyStringValuesAreReadAsText) {
    PlayerRecord ax(kActiveXKey);
    const wchar_t text[] = L"11.2.202.228";
    const DWORD number = 0x0031002E;
    struct Case {
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {REG_BINARY, text, sizeof(text)},
        {REG_DWORD, &number, sizeof(number)},
        {REG_MULTI_SZ, text, sizeof(text)},
        {REG_EXPAND_SZ, text, sizeof(text)},  // for "Version" only REG_SZ counts
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(ax.setRaw(L"Version", c.type, c.data, c.size));
        EXPECT_EQ(readInstalledVersion(PlayerComponent::ActiveX), PlayerVersion{}) << c.type;
        ASSERT_TRUE(ax.setRaw(L"PlayerPath", c.type, c.data, c.size));
        wchar_t path[MAX_PATH] = L"previous";
        EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, true, path));
        if (c.type == REG_EXPAND_SZ) EXPECT_STREQ(path, text);
        else EXPECT_STREQ(path, L"") << c.type;
    }
    // "PlayerPath" as REG_EXPAND_SZ is expanded; one that no longer fits is left empty.
    SetEnvironmentVariableW(L"VEXTRA_TEST_ROOT", L"C:\\players");
    const wchar_t expandable[] = L"%VEXTRA_TEST_ROOT%\\player.ocx";
    ASSERT_TRUE(ax.setRaw(L"PlayerPath", REG_EXPAND_SZ, expandable, sizeof(expandable)));
    wchar_t path[MAX_PATH] = {};
    EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, true, path));
    EXPECT_STREQ(path, L"C:\\players\\player.ocx");
    SetEnvironmentVariableW(L"VEXTRA_TEST_ROOT", std::wstring(300, L'x').c_str());
    EXPECT_TRUE(readPlayerPath(PlayerComponent::ActiveX, true, path));
    EXPECT_STREQ(path, L"");
    SetEnvironmentVariableW(L"VEXTRA_TEST_ROOT", nullptr);
}

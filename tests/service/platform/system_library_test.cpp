#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "platform/system_library.h"
#include "support/scratch_folder.h"

namespace {

std::wstring systemFolder() {
    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

std::wstring moduleFile(HMODULE module) {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(module, buffer, MAX_PATH);
    return buffer;
}

std::wstring lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

}  // namespace

TEST(LoadSystemLibrary, BareNameComesFromTheSystemFolder) {
    HMODULE slot = nullptr;
    ASSERT_TRUE(loadSystemLibrary(slot, L"crypt32.dll"));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(lower(moduleFile(slot)), lower(systemFolder() + L"\\crypt32.dll"));
    EXPECT_NE(GetProcAddress(slot, "CryptVerifyMessageSignature"), nullptr);
    FreeLibrary(slot);
}

TEST(LoadSystemLibrary, MissingLibraryEmptiesTheSlot) {
    HMODULE slot = nullptr;
    ASSERT_TRUE(loadSystemLibrary(slot, L"advapi32.dll"));
    EXPECT_FALSE(loadSystemLibrary(slot, L"no-such-library-here.dll"));
    EXPECT_EQ(slot, nullptr);
}

TEST(LoadSystemLibrary, NameWithABackslashIsUsedUnchanged) {
    // Relative to C:\windows, "system32\crypt32.dll" only loads when it is not put below
    // the system folder a second time.
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    testsupport::CurrentDirectory cwd(windows);
    HMODULE slot = nullptr;
    ASSERT_TRUE(loadSystemLibrary(slot, L"system32\\crypt32.dll"));
    EXPECT_EQ(lower(moduleFile(slot)), lower(systemFolder() + L"\\crypt32.dll"));
    FreeLibrary(slot);
    slot = nullptr;
    EXPECT_FALSE(loadSystemLibrary(slot, L"Telmor\\crypt32.dll"));
}

TEST(LoadSystemLibrary, FilledSlotIsReleasedBeforeLoading) {
    // A library nothing else in this program uses: once the slot moves on, it is unloaded.
    ASSERT_EQ(GetModuleHandleW(L"mssign32.dll"), nullptr);
    HMODULE slot = nullptr;
    ASSERT_TRUE(loadSystemLibrary(slot, L"mssign32.dll"));
    EXPECT_NE(GetModuleHandleW(L"mssign32.dll"), nullptr);
    ASSERT_TRUE(loadSystemLibrary(slot, L"kernel32.dll"));
    EXPECT_EQ(GetModuleHandleW(L"mssign32.dll"), nullptr);
    EXPECT_EQ(slot, GetModuleHandleW(L"kernel32.dll"));
    FreeLibrary(slot);
}

// A function the module has comes back callable through its declared type; one it lacks
// leaves the pointer null (a stale value would be called on an older system).
TEST(Resolve, FindsWhatTheModuleHasAndNullsWhatItLacks) {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    ASSERT_NE(kernel, nullptr);
    DWORD(WINAPI * currentProcessId)() = nullptr;
    ASSERT_TRUE(resolve(kernel, "GetCurrentProcessId", currentProcessId));
    EXPECT_EQ(currentProcessId(), GetCurrentProcessId());

    DWORD(WINAPI * missing)() = currentProcessId;
    EXPECT_FALSE(resolve(kernel, "NoSuchFunction7f3", missing));
    EXPECT_EQ(missing, nullptr);
}

TEST(RunsUnderWow64, SixtyFourBitProcessIsNotUnderWow64) {
    // Under wine64 the test program itself is 64-bit; only a 32-bit build on 64-bit Windows
    // answers true.
#ifdef _WIN64
    EXPECT_FALSE(runsUnderWow64());
#else
    BOOL answer = FALSE;
    IsWow64Process(GetCurrentProcess(), &answer);
    EXPECT_EQ(runsUnderWow64(), answer == TRUE);
#endif
}

#include <gtest/gtest.h>

#include "main/service_run_context.h"
#include "support/scratch_folder.h"

namespace {

std::wstring ownPath() {
    wchar_t buffer[4096] = {};
    GetModuleFileNameW(nullptr, buffer, 4096);
    return buffer;
}

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }
std::wstring nameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

}  // namespace

TEST(ProgramPath, RelativeNamesResolveAgainstTheCurrentDirectory) {
    const std::wstring self = ownPath();
    testsupport::CurrentDirectory cwd(folderOf(self));
    EXPECT_EQ(_wcsicmp(resolveProgramPath(nameOf(self).c_str()).c_str(), self.c_str()), 0);
    EXPECT_EQ(_wcsicmp(resolveProgramPath((L".\\" + nameOf(self)).c_str()).c_str(), self.c_str()), 0);
    EXPECT_EQ(resolveProgramPath(self.c_str()), self);
}

TEST(ProgramPath, ArgumentThatNamesNoFileFallsBackToTheRealProgram) {
    const std::wstring self = ownPath();
    testsupport::ScratchFolder elsewhere;
    testsupport::CurrentDirectory cwd(elsewhere.path());
    // Started through the search path from another folder, or without ".exe".
    EXPECT_EQ(resolveProgramPath(nameOf(self).c_str()), self);
    const std::wstring withoutExtension = self.substr(0, self.size() - 4);
    EXPECT_EQ(resolveProgramPath(withoutExtension.c_str()), self);
    EXPECT_EQ(resolveProgramPath(elsewhere.path().c_str()), self) << "a folder is no program";
    EXPECT_EQ(resolveProgramPath(L""), self);
    EXPECT_EQ(resolveProgramPath(nullptr), self);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'a') + L"\\x.exe";
    EXPECT_EQ(resolveProgramPath(tooLong.c_str()), self);
}

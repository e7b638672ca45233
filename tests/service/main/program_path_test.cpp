#include <gtest/gtest.h>

#include "main/service_run_context.h"
#include "support/scratch_folder.h"

namespace {

std::wstring ownPath() {
    wchar_t buffer[4096] = {};
    GetModuleFileNameW(nullptr, buffer, 4096);
    return buffer;
}

std::wstring nameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

}  // namespace

TEST(ProgramPath, IsTheFileThisProcessRunsFromWhateverTheCurrentDirectoryHolds) {
    const std::wstring self = ownPath();
    EXPECT_EQ(programFilePath(), self);
    // A same-named file in the current directory is not this program.
    testsupport::ScratchFolder elsewhere;
    CopyFileW(self.c_str(), (elsewhere.path() + L"\\" + nameOf(self)).c_str(), FALSE);
    testsupport::CurrentDirectory cwd(elsewhere.path());
    EXPECT_EQ(programFilePath(), self);
}

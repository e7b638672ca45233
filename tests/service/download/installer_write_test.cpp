// The installer write and the staging folder without a network: empty content refused, a path
// too long named as such, a previous installer kept when it cannot be replaced, and the
// staging folder's own access list.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "download/installer_write.h"
#include "download/staging_folder.h"
#include "support/log_capture.h"

namespace {

using Lines = std::vector<std::string>;
using testsupport::LogCapture;

std::string readFile(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes(1 << 16, '\0');
    DWORD got = 0;
    ReadFile(f, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(f);
    bytes.resize(got);
    return bytes;
}

bool write(const std::string& content) {
    std::wstring path;
    return writeVerifiedInstaller(reinterpret_cast<const uint8_t*>(content.data()),
                                  static_cast<uint32_t>(content.size()), path);
}

TEST(InstallerWrite, ReplacesThePreviousInstallerOnlyWithCompleteContent) {
    LogCapture log;
    const std::wstring installer = log.folder() / L"VextraPlayerInstaller.exe";
    const std::wstring temporary = log.folder() / L"VextraPlayerInstaller.exe.tmp";
    ASSERT_TRUE(testsupport::writeBytes(installer, "previous installer"));

    // Verified content of 0 bytes is no installer.
    EXPECT_FALSE(write(""));
    EXPECT_EQ(readFile(installer), "previous installer");

    // An installer held open (a running one) cannot be replaced: it stays, no temporary file.
    HANDLE held = CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(write("new installer"));
    CloseHandle(held);
    EXPECT_EQ(readFile(installer), "previous installer");
    EXPECT_EQ(GetFileAttributesW(temporary.c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_TRUE(write("new installer"));
    EXPECT_EQ(readFile(installer), "new installer");
    EXPECT_EQ(GetFileAttributesW(temporary.c_str()), INVALID_FILE_ATTRIBUTES);
    const Lines lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error 1213 " + std::to_string(ERROR_INVALID_DATA));
    EXPECT_EQ(lines[1].substr(0, 10), "error 1320");
}

// Stand-ins for WriteFile: one that reports success for fewer bytes than asked (what a full
// disk can answer), and one that fails with its own error.
BOOL WINAPI writeAllButOneByte(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    return WriteFile(file, data, size > 0 ? size - 1 : 0, written, overlapped);
}

BOOL WINAPI writeFault(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
}

TEST(InstallerWrite, AWriteThatTookFewerBytesOrFailedKeepsThePreviousInstaller) {
    const struct {
        const char* name;
        InstallerFileWriter::WriteFunction writeFile;
        std::string line;  // the one line logged
    } cases[] = {
        // A short write carries the disk-full error, not whatever the thread held before.
        {"short write", &writeAllButOneByte, "error 1216 " + std::to_string(ERROR_DISK_FULL)},
        {"failed write", &writeFault, "error 1216 " + std::to_string(ERROR_WRITE_FAULT)},
    };
    const std::string content(3 * 1024 * 1024 + 5, 'N');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const std::wstring installer = log.folder() / L"VextraPlayerInstaller.exe";
        const std::wstring temporary = log.folder() / L"VextraPlayerInstaller.exe.tmp";
        ASSERT_TRUE(testsupport::writeBytes(installer, "previous installer"));
        {
            InstallerFileWriter writer(c.writeFile);
            ASSERT_TRUE(writer.open());
            SetLastError(ERROR_ACCESS_DENIED);  // a value left over from earlier work
            const bool wrote =
                writer.write(reinterpret_cast<const uint8_t*>(content.data()), content.size());
            std::wstring path;
            EXPECT_FALSE(wrote && writer.commit(path));
            EXPECT_FALSE(wrote);
        }
        EXPECT_TRUE(readFile(installer) == "previous installer") << "the installer was replaced";
        EXPECT_EQ(GetFileAttributesW(temporary.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(log.lines(), Lines{c.line});
    }
}

TEST(InstallerWrite, APathTooLongIsLoggedWithThatError) {
    LogCapture log;
    // A current directory of 245 characters: its installer path passes MAX_PATH.
    std::wstring deep = log.folder().path();
    while (deep.size() + 2 < 245) {
        deep += L"\\" + std::wstring(std::min<size_t>(100, 245 - deep.size() - 1), L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(deep.c_str()));
    SetLastError(ERROR_ACCESS_DENIED);  // a value left over from earlier work
    // The log is relative to that directory too and cannot be written: its error value is
    // what the failure leaves as the thread's last error.
    const bool written = write("installer");
    const DWORD error = GetLastError();
    SetCurrentDirectoryW(previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

// The folder's access list as text ("D:P(...)"), and whether it is protected from inheritance.
std::wstring folderAccess(const std::wstring& folder, bool& isProtected) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return L"<unreadable>";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring sddl = text ? text : L"";
    LocalFree(text);
    LocalFree(descriptor);
    isProtected = (control & SE_DACL_PROTECTED) != 0;
    return sddl;
}

TEST(StagingFolder, OnlySystemAndAdministratorsHaveAccessNothingInherited) {
    LogCapture log;
    // Wine 8 keeps no access list given to CreateDirectoryW (nor SetNamedSecurityInfoW): it
    // answers one made from the Unix mode bits.
    {
        const std::wstring probe = log.folder() / L"acl-probe";
        PSECURITY_DESCRIPTOR given = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)",
                                                             SDDL_REVISION_1, &given, nullptr);
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), given, FALSE};
        CreateDirectoryW(probe.c_str(), &attributes);
        LocalFree(given);
        bool kept = false;
        const bool platformKeepsAccess = folderAccess(probe, kept) == L"D:P(A;OICI;FA;;;SY)";
        RemoveDirectoryW(probe.c_str());
        if (!platformKeepsAccess) GTEST_SKIP() << "this file system keeps no explicit access list (Wine)";
    }
    StagingFolder staging;
    ASSERT_TRUE(staging.create());
    const std::wstring folder = staging.file().substr(0, staging.file().rfind(L'\\'));
    bool isProtected = false;
    EXPECT_EQ(folderAccess(folder, isProtected), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    EXPECT_TRUE(isProtected);
    staging.remove();
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace

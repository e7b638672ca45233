// The staging folders in a temporary folder of the test's own: the start's clean-up of stale
// ones, the end of kept parts by their fate, the digest folder's checks, and the installer's
// temporary file a killed service left.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "download/installer_write.h"
#include "download/staging_folder.h"
#include "support/log_capture.h"

namespace {

using Lines = std::vector<std::string>;
using testsupport::LogCapture;

const wchar_t kGuid[] = L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";

void writeFile(const std::wstring& path, size_t size) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::string bytes(size, 'z');
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string digest(char c) { return std::string(64, c); }
std::wstring digestFolder(char c) { return stagingFolderNameForDigest(digest(c)); }

// The test's temporary folder: GetTempPathW takes TMP first.
class OwnTemp {
public:
    explicit OwnTemp(const LogCapture& log) : path_(log.folder() / L"temp") {
        CreateDirectoryW(path_.c_str(), nullptr);
        wchar_t previous[MAX_PATH + 1] = {};
        hadTmp_ = GetEnvironmentVariableW(L"TMP", previous, MAX_PATH) > 0;
        previous_ = previous;
        SetEnvironmentVariableW(L"TMP", (path_ + L"\\").c_str());
    }
    ~OwnTemp() { SetEnvironmentVariableW(L"TMP", hadTmp_ ? previous_.c_str() : nullptr); }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }
    // Every name in it, in listing order.
    std::vector<std::wstring> names() const {
        std::vector<std::wstring> out;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return out;
        do {
            if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
                out.push_back(found.cFileName);
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return out;
    }
    // A staging-shaped folder with a part of that size and a validator.
    void part(const std::wstring& name, size_t size) const {
        CreateDirectoryW((*this / name).c_str(), nullptr);
        writeFile(*this / (name + L"\\vpi.tmp"), size);
        writeFile(*this / (name + L"\\vpi.validator"), 4);
    }

private:
    std::wstring path_;
    std::wstring previous_;
    bool hadTmp_ = false;
};

TEST(StagingFolder, TheStartRemovesStaleGuidFoldersAndLeavesAnythingElse) {
    LogCapture log;
    OwnTemp temp(log);
    temp.part(kGuid, 100);
    const std::wstring other = L"{11111111-2222-3333-4444-555555555555}";
    temp.part(other, 10);
    writeFile(temp / (other + L"\\notes.txt"), 3);  // not only the service's files: it stays
    temp.part(digestFolder('a'), 50);                // a bound package's part waits
    temp.part(L"not-staging", 10);
    writeFile(temp / L"{22222222-2222-3333-4444-555555555555}", 5);  // a file of that shape
    removeStaleStagingFolders(std::wstring(), false);
    EXPECT_FALSE(exists(temp / kGuid));
    EXPECT_TRUE(exists(temp / (other + L"\\notes.txt")));
    EXPECT_FALSE(exists(temp / (other + L"\\vpi.tmp")));
    EXPECT_TRUE(exists(temp / (digestFolder('a') + L"\\vpi.tmp")));
    EXPECT_TRUE(exists(temp / L"not-staging\\vpi.tmp"));
    EXPECT_TRUE(exists(temp / L"{22222222-2222-3333-4444-555555555555}"));
    EXPECT_EQ(log.lines(), (Lines{"warning 1497 1"}));
    // The clean-up's own private folder went with it.
    EXPECT_EQ(temp.names().size(), 4u);
}

TEST(StagingFolder, TheDownloadRemovesOtherDigestFoldersButItsOwn) {
    LogCapture log;
    OwnTemp temp(log);
    temp.part(digestFolder('a'), 50);
    temp.part(digestFolder('b'), 60);
    removeStaleStagingFolders(digestFolder('a'));
    EXPECT_TRUE(exists(temp / (digestFolder('a') + L"\\vpi.tmp")));
    EXPECT_FALSE(exists(temp / digestFolder('b')));
    EXPECT_EQ(log.lines(), (Lines{"warning 1497 1"}));
}

// Three parts and the facts of a start: which go, each with the code of its fate and the bytes
// it held.
TEST(StagingFolder, KeptPartsGoByTheirFateEachWithItsCodeAndSize) {
    struct Case {
        const char* name;
        KeptPartFacts facts;
        std::vector<char> left;
        std::string code;
    } cases[] = {
        {"updates off", {false, false, false, false, ""}, {}, "1482"},
        {"attempts exhausted", {true, true, false, false, ""}, {}, "1483"},
        {"offers not known", {true, false, false, false, ""}, {'a', 'b', 'c'}, ""},
        {"up to date", {true, false, true, false, ""}, {}, "1484"},
        {"b downloads", {true, false, true, true, digest('b')}, {'b'}, "1485"},
        {"an unbound package downloads", {true, false, true, true, ""}, {}, "1485"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        OwnTemp temp(log);
        temp.part(digestFolder('a'), 100);
        temp.part(digestFolder('b'), 200);
        temp.part(digestFolder('c'), 300);
        temp.part(kGuid, 7);  // not a kept part: the start's clean-up takes it
        removeKeptParts(c.facts);
        std::vector<char> left;
        for (char d : {'a', 'b', 'c'})
            if (exists(temp / digestFolder(d))) left.push_back(d);
        EXPECT_EQ(left, c.left) << c.name;
        EXPECT_TRUE(exists(temp / kGuid)) << c.name;
        Lines expected;
        for (const auto& [d, size] : {std::pair<char, int>{'a', 100}, {'b', 200}, {'c', 300}})
            if (std::find(c.left.begin(), c.left.end(), d) == c.left.end())
                expected.push_back("warning " + c.code + " " + std::to_string(size));
        EXPECT_EQ(log.lines(), expected) << c.name;
        EXPECT_EQ(temp.names().size(), c.left.size() + 1) << c.name << ": no private folder left";
    }
}

TEST(StagingFolder, TheAdministrationCommandsRemoveEveryKeptPart) {
    LogCapture log;
    OwnTemp temp(log);
    temp.part(digestFolder('a'), 100);
    temp.part(digestFolder('b'), 200);
    removeAllKeptParts(MessageCode::KeptPartRemovedByCommand);
    EXPECT_FALSE(exists(temp / digestFolder('a')));
    EXPECT_FALSE(exists(temp / digestFolder('b')));
    EXPECT_EQ(log.lines(), (Lines{"warning 1486 100", "warning 1486 200"}));
}

TEST(StagingFolder, ADigestFolderThatIsNotAFolderIsNeverUsed) {
    LogCapture log;
    OwnTemp temp(log);
    writeFile(temp / digestFolder('a'), 9);
    StagingFolder staging;
    uint64_t held = 1;
    EXPECT_EQ(staging.openForDigest(digest('a'), held), StagingFolder::DigestFolder::Foreign);
    EXPECT_EQ(held, 0u);
    EXPECT_EQ(log.lines(), (Lines{"warning 1499 183"}));
}

TEST(StagingFolder, APartWithASecondNameIsNotHeldNorWrittenThrough) {
    LogCapture log;
    OwnTemp temp(log);
    temp.part(digestFolder('a'), 100);
    const std::wstring outside = log.folder() / L"outside";
    ASSERT_TRUE(CreateHardLinkW(outside.c_str(), (temp / (digestFolder('a') + L"\\vpi.tmp")).c_str(),
                                nullptr));
    {
        StagingFolder staging;
        uint64_t held = 1;
        ASSERT_EQ(staging.openForDigest(digest('a'), held), StagingFolder::DigestFolder::Opened);
        EXPECT_EQ(held, 0u) << "a part with a name elsewhere is no part of the service's";
        EXPECT_EQ(staging.openPart(true), INVALID_HANDLE_VALUE);
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(outside.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 100u) << "the file behind the second name is untouched";
}

TEST(StagingFolder, AFreshFolderHoldsItsPartUntilItGoes) {
    LogCapture log;
    OwnTemp temp(log);
    std::wstring file;
    {
        StagingFolder staging;
        ASSERT_TRUE(staging.create());
        file = staging.file();
        FileHandle part(staging.openPart(false));
        ASSERT_TRUE(part.valid());
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(part.get(), "abc", 3, &written, nullptr));
        part.close();
        EXPECT_TRUE(exists(file));
        EXPECT_EQ(file.substr(0, (temp / L"").size()), temp / L"");
    }
    EXPECT_FALSE(exists(file));
    EXPECT_TRUE(temp.names().empty());
}

TEST(InstallerTempFile, AKilledServicesTemporaryInstallerGoesAtTheStart) {
    LogCapture log;
    const std::wstring temporary = log.folder() / L"VextraPlayerInstaller.exe.tmp";
    removeLeftInstallerTempFile();  // none there: nothing logged
    writeFile(temporary, 1234);
    removeLeftInstallerTempFile();
    EXPECT_FALSE(exists(temporary));
    // One held open (an installer being written) stays.
    writeFile(temporary, 10);
    HANDLE held = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    removeLeftInstallerTempFile();
    CloseHandle(held);
    EXPECT_TRUE(exists(temporary));
    EXPECT_EQ(log.lines(), (Lines{"warning 1487 1234"}));
}

}  // namespace

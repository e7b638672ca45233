#include <gtest/gtest.h>

#include <shlobj.h>

#include <memory>
#include <vector>

#include "platform/file_manager.h"
#include "platform/pointer_vector.h"
#include "support/scratch_folder.h"

using RUZE::StringVector;
using RUZE::WindowsFileManager;
using testsupport::ScratchFolder;
using testsupport::narrow;

namespace {

const int64_t kSecond = 10000000;  // 100-ns units

std::vector<std::string> namesOf(const StringVector& v) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < v.size(); ++i) out.push_back(v.at(i));
    return out;
}

std::string shellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return narrow(buffer);
}

// Writes a file whose last write time lies `ageSeconds` in the past.
void writeAgedFile(const std::wstring& path, int64_t ageSeconds, size_t size = 3) {
    ASSERT_TRUE(testsupport::writeBytes(path, std::string(size, 'x')));
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= static_cast<uint64_t>(ageSeconds * kSecond);
    FILETIME when = {t.LowPart, t.HighPart};
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
    CloseHandle(h);
}

}  // namespace

TEST(FileManagerLocations, ConfigFileIsBelowTheSystemFolderAndCached) {
    const std::string& path = WindowsFileManager::configFilePath();
    EXPECT_EQ(path, shellFolder(CSIDL_SYSTEM) + "\\Telmor\\Vextra\\kvc.cfg");
    EXPECT_EQ(_stricmp(path.c_str(), "C:\\windows\\system32\\Telmor\\Vextra\\kvc.cfg"), 0) << path;
    EXPECT_EQ(&WindowsFileManager::configFilePath(), &path) << "the cached path itself";
}

TEST(FileManagerLocations, PlayerFoldersAreBelowApplicationData) {
    WindowsFileManager files;
    const std::string appData = shellFolder(CSIDL_APPDATA);
    ASSERT_FALSE(appData.empty());
    EXPECT_EQ(files.assetCacheFolder(), appData + "\\Orvane\\Vextra Player\\AssetCache");
    EXPECT_EQ(files.kdCacheFolder(), appData + "\\Orvane\\Vextra Player\\KDCache");
    EXPECT_EQ(files.playerDataFolder(), appData + "\\Telmora\\Vextra Player");
    EXPECT_EQ(files.privateDataFolder(), appData + "\\Orvane\\Vextra Player\\ZRPrivateData2");
    EXPECT_EQ(&files.playerDataFolder(), &WindowsFileManager().playerDataFolder());
    EXPECT_EQ(files.pathSeparator(), "\\");
}

TEST(FileManagerDelete, FilesTreesAndMissingPaths) {
    ScratchFolder scratch;
    WindowsFileManager files;
    const std::wstring file = scratch / L"one.bin";
    ASSERT_TRUE(testsupport::writeBytes(file, "abc"));
    EXPECT_TRUE(files.deletePath(narrow(file)));
    EXPECT_FALSE(testsupport::fileExists(file));

    const std::wstring tree = scratch / L"tree";
    ASSERT_TRUE(files.createFolder(narrow(tree) + "\\a\\b", "c"));
    ASSERT_TRUE(testsupport::writeBytes(tree + L"\\a\\b\\c\\deep.txt", "x"));
    ASSERT_TRUE(testsupport::writeBytes(tree + L"\\top.txt", "x"));
    EXPECT_TRUE(files.deletePath(narrow(tree)));
    EXPECT_FALSE(testsupport::fileExists(tree));

    EXPECT_TRUE(files.deletePath(narrow(scratch / L"never-was")));
    EXPECT_TRUE(files.deletePath(narrow(scratch / L"no\\such\\folder\\file")));
    EXPECT_FALSE(files.deletePath("")) << "an empty path deletes nothing";
    EXPECT_TRUE(testsupport::fileExists(scratch.path()));
}

TEST(FileManagerDelete, AgeWindowBoundsAreStrict) {
    EXPECT_FALSE(RUZE::isAgeInWindow(0, 0, 3600));
    EXPECT_TRUE(RUZE::isAgeInWindow(1, 0, 3600));
    EXPECT_TRUE(RUZE::isAgeInWindow(3600 * kSecond - 1, 0, 3600));
    EXPECT_FALSE(RUZE::isAgeInWindow(3600 * kSecond, 0, 3600));
    EXPECT_FALSE(RUZE::isAgeInWindow(-5 * kSecond, 0, 3600)) << "written in the future";
    // Bounds too large for 100-ns units saturate instead of overflowing.
    EXPECT_TRUE(RUZE::isAgeInWindow(INT64_MAX - 1, 0, INT64_MAX));
    EXPECT_FALSE(RUZE::isAgeInWindow(INT64_MAX, 0, INT64_MAX));
}

TEST(FileManagerDelete, ByAgeKeepsOlderFilesAndRemovesEmptiedFolders) {
    ScratchFolder scratch;
    WindowsFileManager files;
    const std::wstring root = scratch / L"cache";
    ASSERT_TRUE(files.createFolder(narrow(root), "recent-only"));
    ASSERT_TRUE(files.createFolder(narrow(root), "mixed"));
    writeAgedFile(root + L"\\new.dat", 10);
    writeAgedFile(root + L"\\old.dat", 7200);
    writeAgedFile(root + L"\\recent-only\\a.dat", 60);
    writeAgedFile(root + L"\\mixed\\b.dat", 60);
    writeAgedFile(root + L"\\mixed\\c.dat", 5000);

    EXPECT_TRUE(files.deleteFilesByAge(narrow(root), 0, 3600));
    EXPECT_FALSE(testsupport::fileExists(root + L"\\new.dat"));
    EXPECT_TRUE(testsupport::fileExists(root + L"\\old.dat"));
    EXPECT_FALSE(testsupport::fileExists(root + L"\\recent-only")) << "emptied, so removed";
    EXPECT_FALSE(testsupport::fileExists(root + L"\\mixed\\b.dat"));
    EXPECT_TRUE(testsupport::fileExists(root + L"\\mixed\\c.dat"));
    EXPECT_TRUE(testsupport::fileExists(root)) << "an old file stays, so the folder stays";

    // A window that covers everything empties the tree and removes the folder itself.
    EXPECT_TRUE(files.deleteFilesByAge(narrow(root), 0, 86400));
    EXPECT_FALSE(testsupport::fileExists(root));

    EXPECT_FALSE(files.deleteFilesByAge(narrow(scratch / L"missing"), 0, 3600));
}

TEST(FileManagerSize, FilesAndFolderTrees) {
    ScratchFolder scratch;
    WindowsFileManager files;
    ASSERT_TRUE(testsupport::writeBytes(scratch / L"a.bin", std::string(1000, 'a')));
    ASSERT_TRUE(files.createFolder(narrow(scratch.path()), "sub"));
    ASSERT_TRUE(files.createFolder(narrow(scratch / L"sub"), "empty"));
    ASSERT_TRUE(testsupport::writeBytes(scratch / L"sub\\b.bin", std::string(70000, 'b')));
    ASSERT_TRUE(testsupport::writeBytes(scratch / L"sub\\zero.bin", ""));

    EXPECT_EQ(files.getSize(narrow(scratch / L"a.bin")), 1000u);
    EXPECT_EQ(files.getSize(narrow(scratch / L"sub")), 70000u);
    EXPECT_EQ(files.getSize(narrow(scratch.path())), 71000u);
    EXPECT_EQ(files.getSize(narrow(scratch / L"sub\\empty")), 0u);
    EXPECT_EQ(files.getSize(narrow(scratch / L"missing")), 0u);
    EXPECT_EQ(files.getSize(""), 0u);
}

TEST(FileManagerCreate, CreatesMissingLevelsAndAcceptsExistingFolders) {
    ScratchFolder scratch;
    WindowsFileManager files;
    const std::string parent = narrow(scratch / L"one\\two");
    EXPECT_TRUE(files.createFolder(parent, "three"));
    EXPECT_NE(GetFileAttributesW((scratch / L"one\\two\\three").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              0u);
    EXPECT_TRUE(files.createFolder(parent, "three")) << "already there";
    EXPECT_TRUE(files.createFolder(narrow(scratch / L"\xe9t\xe9"), "\xe2\x82\xac")) << "UTF-8 names";
    EXPECT_TRUE(testsupport::fileExists(scratch / L"\u00e9t\u00e9\\\u20ac"));

    ASSERT_TRUE(testsupport::writeBytes(scratch / L"plain.txt", "x"));
    EXPECT_FALSE(files.createFolder(narrow(scratch.path()), "plain.txt")) << "a file is no folder";
    EXPECT_FALSE(files.createFolder(narrow(scratch / L"plain.txt"), "below"));
}

TEST(FileManagerList, NamesSortedWithNumbersLastByValue) {
    ScratchFolder scratch;
    WindowsFileManager files;
    for (const wchar_t* name : {L"10", L"9", L"b", L"a"})
        ASSERT_TRUE(testsupport::writeBytes(scratch / name, ""));
    std::unique_ptr<StringVector> listed(files.listFolder(narrow(scratch.path())));
    ASSERT_TRUE(listed);
    EXPECT_EQ(namesOf(*listed), (std::vector<std::string>{"a", "b", "9", "10"}));

    // Folders are listed too; names come back as UTF-8; the vector grows past 10 entries.
    ASSERT_TRUE(files.createFolder(narrow(scratch.path()), "\xc3\xa9"));
    for (int i = 11; i < 40; ++i)
        ASSERT_TRUE(testsupport::writeBytes(scratch / std::to_wstring(i), ""));
    listed.reset(files.listFolder(narrow(scratch.path())));
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 34u);
    EXPECT_EQ(listed->at(0), "a");
    EXPECT_EQ(listed->at(1), "b");
    EXPECT_EQ(listed->at(2), "\xc3\xa9");
    EXPECT_EQ(listed->at(3), "9");
    EXPECT_EQ(listed->at(33), "39");
    EXPECT_GE(listed->capacity(), 34u);

    listed.reset(files.listFolder(narrow(scratch / L"missing")));
    ASSERT_TRUE(listed) << "an unlistable folder gives an empty vector";
    EXPECT_EQ(listed->size(), 0u);
    EXPECT_EQ(files.listFolder("bad\xff" "name"), nullptr) << "not UTF-8";
}

TEST(FileManagerList, OrderOfNames) {
    using RUZE::listingNameLess;
    EXPECT_TRUE(listingNameLess("9", "10"));
    EXPECT_FALSE(listingNameLess("10", "9"));
    EXPECT_TRUE(listingNameLess("zzz", "0")) << "digit-only names sort after all others";
    EXPECT_FALSE(listingNameLess("0", "zzz"));
    EXPECT_TRUE(listingNameLess("1a", "1b"));
    EXPECT_TRUE(listingNameLess("Z", "a")) << "bytes, not letters";
    EXPECT_TRUE(listingNameLess("z", "\xc3\xa9")) << "bytes compare as unsigned";
    // Numbers beyond 32 bits compare by value, and equal values are equivalent.
    EXPECT_TRUE(listingNameLess("99999999999", "100000000000"));
    EXPECT_FALSE(listingNameLess("007", "7"));
    EXPECT_FALSE(listingNameLess("7", "007"));
}

TEST(StringVector, OwnsClonesAndDoublesItsCapacity) {
    StringVector v;
    EXPECT_EQ(v.capacity(), 10u);
    EXPECT_EQ(v.size(), 0u);
    std::string text = "first";
    ASSERT_TRUE(v.append(text));
    text = "changed";
    EXPECT_EQ(v.at(0), "first") << "the vector holds its own copy";
    for (int i = 1; i < 10; ++i) ASSERT_TRUE(v.append(std::to_string(i)));
    EXPECT_EQ(v.capacity(), 10u);
    ASSERT_TRUE(v.append("10"));
    EXPECT_EQ(v.capacity(), 20u);
    for (int i = 11; i < 21; ++i) ASSERT_TRUE(v.append(std::to_string(i)));
    EXPECT_EQ(v.capacity(), 40u);
    ASSERT_EQ(v.size(), 21u);
    for (uint32_t i = 1; i < 21; ++i) EXPECT_EQ(v.at(i), std::to_string(i));
}

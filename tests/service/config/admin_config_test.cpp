#include <gtest/gtest.h>

#include <memory>

#include "config/admin_config.h"
#include "platform/file_manager.h"
#include "log/service_log.h"
#include "support/scratch_folder.h"

using testsupport::CurrentDirectory;
using testsupport::ScratchFolder;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entriesOf(const AdminConfigFile& file) {
    Entries out;
    for (const ConfigEntry& e : file.entries()) out.emplace_back(e.key, e.value);
    return out;
}

// Reads `bytes` through the constructor, from a real file.
AdminConfigFile readBytes(const ScratchFolder& scratch, const std::string& bytes) {
    const std::wstring path = scratch / L"kvc.cfg";
    EXPECT_TRUE(testsupport::writeBytes(path, bytes));
    return AdminConfigFile(testsupport::narrow(path));
}

std::wstring configPathW() { return testsupport::widen(RUZE::WindowsFileManager::configFilePath()); }

std::wstring configFolderW() {
    const std::wstring path = configPathW();
    return path.substr(0, path.find_last_of(L'\\'));
}

}  // namespace

TEST(TrueValue, FollowsTheBooleanRule) {
    for (const char* text : {"true", "TRUE", "True", "t", "T", "yes", "Yes", "y", "Y", "1", "2",
                             "-1", "7days", "  3", "+5", "99999999999999999999"})
        EXPECT_TRUE(isTrueValue(text)) << text;
    for (const char* text : {"", "on", "0", "0x1", "false", "no", "n", "f", "tru", "yes please",
                             "-0", "00", "\xC3\xBF" "1"})
        EXPECT_FALSE(isTrueValue(text)) << text;
}

TEST(ConfigGrammar, LinesKeysValuesAndTrimming) {
    struct Case {
        const char* name;
        std::string bytes;
        Entries expected;
    };
    const Case cases[] = {
        {"single line without line end", "SilentAutoUpdateEnable=1",
         {{"SilentAutoUpdateEnable", "1"}}},
        {"blanks around key, equals sign and value",
         "  SilentAutoUpdateEnable  =  yes  \r\n", {{"SilentAutoUpdateEnable", "yes"}}},
        {"tabs and control bytes are trimmed", "\tKey\x01=\x1f" "value\t\r\n", {{"Key", "value"}}},
        {"value keeps further equals signs", "SilentAutoUpdateServerDomain=a=b\r\n",
         {{"SilentAutoUpdateServerDomain", "a=b"}}},
        {"empty value or empty key is dropped", "AutoUpdateDisable=\r\n=1\r\n  =  \r\nK=v\r\n",
         {{"K", "v"}}},
        {"lines without equals sign are ignored, no comment syntax",
         "# comment\r\n; note\r\n\r\n#A=1\r\n;B=2\r\nplain\r\n", {{"#A", "1"}, {";B", "2"}}},
        {"LF, CR LF and CR alone all end lines", "a=1\nb=2\r\nc=3\rd=4\r\re=5",
         {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}}},
        {"identical lines collapse", "AutoUpdateDisable=1\r\nAutoUpdateDisable=1\r\n",
         {{"AutoUpdateDisable", "1"}}},
        {"same key, different values are kept in order",
         "SilentAutoUpdateEnable=0\r\nSilentAutoUpdateEnable=1\r\nSilentAutoUpdateEnable=0\r\n",
         {{"SilentAutoUpdateEnable", "0"}, {"SilentAutoUpdateEnable", "1"}}},
        {"non-ASCII bytes are kept raw", "K=\xC3\xA9t\xC3\xA9\r\n", {{"K", "\xC3\xA9t\xC3\xA9"}}},
        {"long lines have no limit", "Long=" + std::string(5000, 'x') + "\r\n",
         {{"Long", std::string(5000, 'x')}}},
    };
    ScratchFolder scratch;
    for (const Case& c : cases) {
        const AdminConfigFile file = readBytes(scratch, c.bytes);
        EXPECT_EQ(file.encoding(), AdminConfigFile::Plain) << c.name;
        EXPECT_EQ(entriesOf(file), c.expected) << c.name;
    }
}

TEST(ConfigGrammar, ByteOrderMarksAndShortFiles) {
    ScratchFolder scratch;
    const AdminConfigFile utf8 = readBytes(scratch, "\xEF\xBB\xBFSilentAutoUpdateEnable=1\r\n");
    EXPECT_EQ(utf8.encoding(), AdminConfigFile::Utf8Bom);
    EXPECT_EQ(utf8.get("SilentAutoUpdateEnable"), "1");

    // The same line saved as UTF-16 with a byte-order mark is not read at all.
    const std::string utf16le("\xFF\xFES\0=\0" "1\0\r\0\n\0", 12);
    const AdminConfigFile le = readBytes(scratch, utf16le);
    EXPECT_EQ(le.encoding(), AdminConfigFile::Utf16Bom);
    EXPECT_TRUE(le.entries().empty());
    const AdminConfigFile be = readBytes(scratch, std::string("\xFE\xFF\0S\0=\0" "1", 8));
    EXPECT_EQ(be.encoding(), AdminConfigFile::Utf16Bom);
    EXPECT_TRUE(be.entries().empty());

    const AdminConfigFile three = readBytes(scratch, "a=1");
    EXPECT_EQ(three.encoding(), AdminConfigFile::NotRead);
    EXPECT_TRUE(three.entries().empty());
    const AdminConfigFile four = readBytes(scratch, "a=12");
    EXPECT_EQ(four.encoding(), AdminConfigFile::Plain);
    EXPECT_EQ(four.get("a"), "12");

    const AdminConfigFile missing(testsupport::narrow(scratch / L"nothing.cfg"));
    EXPECT_EQ(missing.encoding(), AdminConfigFile::NotRead);
    EXPECT_TRUE(missing.entries().empty());
    EXPECT_EQ(missing.get("SilentAutoUpdateEnable"), "");
}

TEST(ConfigFile, LookupsAreExactAndFirstEntryWins) {
    ScratchFolder scratch;
    AdminConfigFile file = readBytes(
        scratch, "silentautoupdateenable=1\r\nSilentAutoUpdateEnable=0\r\nSilentAutoUpdateEnable=1\r\n");
    EXPECT_EQ(file.get("SilentAutoUpdateEnable"), "0");
    EXPECT_EQ(file.get("silentautoupdateenable"), "1");
    EXPECT_EQ(file.get("SilentAutoUpdate"), "");

    file.set("SilentAutoUpdateEnable", "1");  // only the first entry with the key changes
    file.set("New", "x");                     // a new key is appended
    EXPECT_EQ(entriesOf(file), (Entries{{"silentautoupdateenable", "1"},
                                        {"SilentAutoUpdateEnable", "1"},
                                        {"SilentAutoUpdateEnable", "1"},
                                        {"New", "x"}}));
    ASSERT_TRUE(file.save());
    EXPECT_EQ(testsupport::readBytes(scratch / L"kvc.cfg"),
              "silentautoupdateenable=1\r\nSilentAutoUpdateEnable=1\r\n"
              "SilentAutoUpdateEnable=1\r\nNew=x\r\n");
}

TEST(ConfigFile, SaveWritesOnlyEntriesWithCrLfAndNoByteOrderMark) {
    ScratchFolder scratch;
    AdminConfigFile file = readBytes(
        scratch, "\xEF\xBB\xBF# admin notes\r\n\r\n  Other = keep me \nAutoUpdateDisable=1\n"
                 "AutoUpdateDisable=1\nZ=last\n");
    ASSERT_TRUE(file.save());
    EXPECT_EQ(testsupport::readBytes(scratch / L"kvc.cfg"),
              "Other=keep me\r\nAutoUpdateDisable=1\r\nZ=last\r\n");
    // Nothing else is left in the folder (no temporary file).
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((scratch / L"*.tmp").c_str(), &data);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);

    AdminConfigFile noPath("");
    EXPECT_FALSE(noPath.save());
}

TEST(ConfigFile, ARewrittenFileReadsBackAsTheSameEntries) {
    // A first key that itself begins with byte-order-mark bytes (after the file's mark, after
    // trimmed control bytes or after dropped lines) is kept by a UTF-8 mark in front, not
    // stripped or taken for UTF-16.
    const char* files[] = {"\xEF\xBB\xBF\xEF\xBB\xBFKey=1\n", "# notes\n\xFF\xFEKey=1\nB=2\n",
                           "\xEF\xBB\xBF\xFE\xFFKey=1\n", "=\n\xEF\xBB\xBFKey=1\n"};
    for (const char* bytes : files) {
        ScratchFolder scratch;
        AdminConfigFile file = readBytes(scratch, bytes);
        ASSERT_TRUE(file.applyMode(AutoUpdateMode::Notify));
        ASSERT_TRUE(file.save());
        const AdminConfigFile again(testsupport::narrow(scratch / L"kvc.cfg"));
        EXPECT_TRUE(again.rewritable()) << bytes;
        EXPECT_EQ(entriesOf(again), entriesOf(file)) << bytes;
    }
    // Found by the fuzz oracle: control bytes before a first key that begins with FF FE.
    ScratchFolder scratch;
    AdminConfigFile file = readBytes(scratch, std::string("\0\xFF\xFE" "a\0=\0" "1\0", 10));
    ASSERT_TRUE(file.applyMode(AutoUpdateMode::Notify) && file.save());
    const AdminConfigFile again(testsupport::narrow(scratch / L"kvc.cfg"));
    EXPECT_EQ(again.encoding(), AdminConfigFile::Utf8Bom);
    EXPECT_EQ(entriesOf(again), entriesOf(file));
}

TEST(ConfigFile, FailedSaveReportsFalseAndKeepsTheOldFile) {
    ScratchFolder scratch;
    const std::string original = "SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=0\r\n";
    const std::wstring path = scratch / L"kvc.cfg";
    AdminConfigFile file = readBytes(scratch, original);
    file.set("SilentAutoUpdateEnable", "0");

    // Another program holds the file open without sharing deletion: it cannot be replaced.
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.save());
    CloseHandle(holder);
    EXPECT_EQ(testsupport::readBytes(path), original);

    // A folder in place of the file cannot be replaced either.
    const std::wstring folderPath = scratch / L"dir.cfg";
    ASSERT_TRUE(CreateDirectoryW(folderPath.c_str(), nullptr));
    AdminConfigFile onFolder(testsupport::narrow(folderPath));
    onFolder.set("A", "1");
    EXPECT_FALSE(onFolder.save());
    EXPECT_NE(GetFileAttributesW(folderPath.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // A missing folder: nothing is created.
    AdminConfigFile nowhere(testsupport::narrow(scratch / L"missing\\kvc.cfg"));
    nowhere.set("A", "1");
    EXPECT_FALSE(nowhere.save());
    EXPECT_FALSE(testsupport::fileExists(scratch / L"missing"));

    // No temporary file is left behind by any of the failures.
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((scratch / L"*.tmp").c_str(), &data);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

namespace {

// The operations on the machine's configuration file (system folder\Telmor\Vextra\kvc.cfg),
// logging into a private working directory.
class MachineConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceLog::setVerbose(false);
        serviceSettings() = ServiceSettings{false, false, kDefaultDownloadServerHost,
                                            kDefaultManifestServerHost};
        CreateDirectoryW((scratch_ / L"Telmor").c_str(), nullptr);
        CreateDirectoryW((scratch_ / L"Telmor\\Vextra").c_str(), nullptr);
        cwd_.reset(new CurrentDirectory(scratch_.path()));
        testsupport::removeTree(configFolderW());
        const std::wstring folder = configFolderW();
        CreateDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    void TearDown() override {
        testsupport::removeTree(configFolderW());
        ServiceLog::setVerbose(false);
        cwd_.reset();
    }
    void writeConfig(const std::string& bytes) {
        ASSERT_TRUE(testsupport::writeBytes(configPathW(), bytes));
    }
    std::string config() const { return testsupport::readBytes(configPathW()); }
    std::wstring log() const {
        return testsupport::fromUtf16Bytes(
            testsupport::readBytes(scratch_ / L"Telmor\\Vextra\\VextraInstall.log"));
    }
    bool logged(const std::wstring& levelAndMessage) const {
        return log().find(L" [" + levelAndMessage + L"\r\n") != std::wstring::npos;
    }

    ScratchFolder scratch_;
    std::unique_ptr<CurrentDirectory> cwd_;
};

}  // namespace

TEST_F(MachineConfig, ModesRewriteTheTwoSwitches) {
    ASSERT_TRUE(setAutoUpdateMode(AutoUpdateMode::Silent));
    EXPECT_EQ(config(), "SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=0\r\n");
    ASSERT_TRUE(setAutoUpdateMode(AutoUpdateMode::Disable));
    EXPECT_EQ(config(), "SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=1\r\n");
    ASSERT_TRUE(setAutoUpdateMode(AutoUpdateMode::Notify));
    EXPECT_EQ(config(), "SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=0\r\n");

    EXPECT_FALSE(setAutoUpdateMode(static_cast<AutoUpdateMode>(3)));
    EXPECT_FALSE(setAutoUpdateMode(static_cast<AutoUpdateMode>(-1)));
    EXPECT_EQ(config(), "SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=0\r\n");
}

TEST_F(MachineConfig, NotifyModeKeepsOtherKeysAndDropsEverythingElse) {
    writeConfig("\xEF\xBB\xBF; managed by IT\r\n\r\nSilentAutoUpdateVerboseLogging = 1\r\n"
                "SilentAutoUpdateEnable=1\r\n# end\r\nCustom=x=y\r\n");
    ASSERT_TRUE(setAutoUpdateMode(AutoUpdateMode::Notify));
    EXPECT_EQ(config(),
              "SilentAutoUpdateVerboseLogging=1\r\nSilentAutoUpdateEnable=0\r\nCustom=x=y\r\n"
              "AutoUpdateDisable=0\r\n");
}

TEST_F(MachineConfig, SilentModeChangesOnlyTheFirstOfRepeatedKeys) {
    writeConfig("SilentAutoUpdateEnable=0\r\nSilentAutoUpdateEnable=1\r\n");
    EXPECT_FALSE(isSilentAutoUpdateEnabled());
    ASSERT_TRUE(setAutoUpdateMode(AutoUpdateMode::Silent));
    EXPECT_EQ(config(),
              "SilentAutoUpdateEnable=1\r\nSilentAutoUpdateEnable=1\r\nAutoUpdateDisable=0\r\n");
    EXPECT_TRUE(isSilentAutoUpdateEnabled());
}

TEST_F(MachineConfig, MissingFolderMeansNoSaveAndNothingCreated) {
    testsupport::removeTree(configFolderW());
    EXPECT_FALSE(setAutoUpdateMode(AutoUpdateMode::Silent));
    EXPECT_FALSE(testsupport::fileExists(configFolderW()));
    EXPECT_FALSE(isSilentAutoUpdateEnabled());
    EXPECT_TRUE(loadServiceSettings());
    EXPECT_FALSE(serviceSettings().silentAutoUpdateEnabled);
}

TEST_F(MachineConfig, SilentAnswerIgnoresTheDisableSwitch) {
    writeConfig("AutoUpdateDisable=1\r\nSilentAutoUpdateEnable=1\r\n");
    EXPECT_TRUE(isSilentAutoUpdateEnabled());
    EXPECT_FALSE(testsupport::fileExists(scratch_ / L"Telmor\\Vextra\\VextraInstall.log"))
        << "1607 is an info line: not written without verbose logging";
    ServiceLog::setVerbose(true);
    EXPECT_TRUE(isSilentAutoUpdateEnabled());
    EXPECT_TRUE(logged(L"info] 1607"));

    for (const char* text : {"SilentAutoUpdateEnable=0\r\n", "SilentAutoUpdateEnable=on\r\n",
                             "silentautoupdateenable=1\r\n"}) {
        writeConfig(text);
        EXPECT_FALSE(isSilentAutoUpdateEnabled()) << text;
    }
    writeConfig(std::string("\xFF\xFES\0i\0=\0" "1\0", 10));
    EXPECT_FALSE(isSilentAutoUpdateEnabled());
}

TEST_F(MachineConfig, LoadWithoutFileKeepsDefaultsAndLogsNothing) {
    testsupport::removeTree(configPathW());
    EXPECT_TRUE(loadServiceSettings());
    EXPECT_FALSE(ServiceLog::isVerbose());
    const ServiceSettings& s = serviceSettings();
    EXPECT_FALSE(s.silentAutoUpdateEnabled);
    EXPECT_FALSE(s.autoUpdateDisabled);
    EXPECT_EQ(s.downloadServerHost, kDefaultDownloadServerHost);
    EXPECT_EQ(s.manifestServerHost, kDefaultManifestServerHost);
    EXPECT_NE(s.downloadServerHost, s.manifestServerHost);
    EXPECT_FALSE(testsupport::fileExists(scratch_ / L"Telmor\\Vextra\\VextraInstall.log"));
}

TEST_F(MachineConfig, LoadReadsSwitchesVerboseAndServerDomain) {
    writeConfig("SilentAutoUpdateVerboseLogging=yes\r\nSilentAutoUpdateServerDomain= localhost \r\n"
                "AutoUpdateDisable=TRUE\r\nSilentAutoUpdateEnable=7days\r\n");
    ASSERT_TRUE(loadServiceSettings());
    EXPECT_TRUE(ServiceLog::isVerbose());
    const ServiceSettings& s = serviceSettings();
    EXPECT_TRUE(s.silentAutoUpdateEnabled);
    EXPECT_TRUE(s.autoUpdateDisabled);
    EXPECT_EQ(s.downloadServerHost, L"localhost");
    EXPECT_EQ(s.manifestServerHost, L"localhost");
    const std::wstring text = log();
    const size_t p1628 = text.find(L"[info] 1628 localhost\r\n");
    const size_t p1629 = text.find(L"[info] 1629 localhost\r\n");
    const size_t p1613 = text.find(L"[info] 1613\r\n");
    const size_t p1615 = text.find(L"[info] 1615\r\n");
    ASSERT_NE(p1628, std::wstring::npos);
    ASSERT_NE(p1629, std::wstring::npos);
    ASSERT_NE(p1613, std::wstring::npos);
    ASSERT_NE(p1615, std::wstring::npos);
    EXPECT_TRUE(p1628 < p1629 && p1629 < p1613 && p1613 < p1615);

    // Verbose logging is never switched off again by a later load.
    writeConfig("SilentAutoUpdateVerboseLogging=0\r\n");
    ASSERT_TRUE(loadServiceSettings());
    EXPECT_TRUE(ServiceLog::isVerbose());
    EXPECT_FALSE(serviceSettings().silentAutoUpdateEnabled);
    EXPECT_TRUE(logged(L"info] 1614"));
    EXPECT_TRUE(logged(L"info] 1616"));
    EXPECT_EQ(serviceSettings().manifestServerHost, L"localhost") << "hosts keep their value";
}

TEST_F(MachineConfig, UnconvertibleServerDomainKeepsTheHostsAndLogsErrors) {
    writeConfig("SilentAutoUpdateServerDomain=bad\xFF\xFEhost\r\n");
    ASSERT_TRUE(loadServiceSettings());
    EXPECT_EQ(serviceSettings().downloadServerHost, kDefaultDownloadServerHost);
    EXPECT_EQ(serviceSettings().manifestServerHost, kDefaultManifestServerHost);
    // Errors are written without verbose logging; 1113 is "no mapping for the Unicode character".
    EXPECT_TRUE(logged(L"error] 1237 1113"));
    EXPECT_TRUE(logged(L"error] 1238 1113"));
    EXPECT_EQ(log().find(L"[info]"), std::wstring::npos);
}

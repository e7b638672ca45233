#include <gtest/gtest.h>

#include <climits>

#include "log/service_log.h"
#include "support/scratch_folder.h"

using testsupport::CurrentDirectory;
using testsupport::ScratchFolder;

namespace {

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

SYSTEMTIME makeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
    SYSTEMTIME t = {};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    t.wMilliseconds = ms;
    return t;
}

// Runs each test in a private working directory that has (or lacks) Telmor\Vextra.
class ServiceLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceLog::setVerbose(false);
        cwd_.reset(new CurrentDirectory(scratch_.path()));
    }
    void TearDown() override {
        ServiceLog::setVerbose(false);
        cwd_.reset();
    }
    void makeLogFolder() {
        CreateDirectoryW((scratch_ / L"Telmor").c_str(), nullptr);
        CreateDirectoryW((scratch_ / L"Telmor\\Vextra").c_str(), nullptr);
    }
    std::wstring logPath() const { return scratch_ / L"Telmor\\Vextra\\VextraInstall.log"; }
    std::wstring logText() const {
        return testsupport::fromUtf16Bytes(testsupport::readBytes(logPath()));
    }

    ScratchFolder scratch_;
    std::unique_ptr<CurrentDirectory> cwd_;
};

}  // namespace

TEST(ToWideDecimal, WritesPlainSignedDecimal) {
    EXPECT_EQ(toWideDecimal(0), L"0");
    EXPECT_EQ(toWideDecimal(5), L"5");
    EXPECT_EQ(toWideDecimal(1617), L"1617");
    EXPECT_EQ(toWideDecimal(-1), L"-1");
    EXPECT_EQ(toWideDecimal(INT32_MAX), L"2147483647");
    EXPECT_EQ(toWideDecimal(INT32_MIN), L"-2147483648");
    // A Windows error value with the top bit set reaches the log as a negative number.
    EXPECT_EQ(toWideDecimal(static_cast<int32_t>(0x80070057u)), L"-2147024809");
}

TEST(FormatLogLine, TimestampHasNoLeadingZeros) {
    EXPECT_EQ(formatLogLine(makeTime(2026, 3, 7, 9, 5, 2, 45), LogLevel::Info, L"1617"),
              L"2026-3-7+9-5-2.45 [info] 1617\r\n");
    EXPECT_EQ(formatLogLine(makeTime(2026, 1, 1, 0, 0, 0, 0), LogLevel::Warning, L"1418"),
              L"2026-1-1+0-0-0.0 [warning] 1418\r\n");
    EXPECT_EQ(formatLogLine(makeTime(1999, 12, 31, 23, 59, 59, 999), LogLevel::Error, L"1233 5"),
              L"1999-12-31+23-59-59.999 [error] 1233 5\r\n");
}

TEST(FormatLogLine, MessageIsTakenUnchanged) {
    const SYSTEMTIME t = makeTime(2026, 10, 20, 12, 30, 40, 500);
    EXPECT_EQ(formatLogLine(t, LogLevel::Error, L""), L"2026-10-20+12-30-40.500 [error] \r\n");
    EXPECT_EQ(formatLogLine(t, LogLevel::Info, L"C:\\Program Files\\x y.exe"),
              L"2026-10-20+12-30-40.500 [info] C:\\Program Files\\x y.exe\r\n");
    // A level outside the three gets no word between the brackets.
    EXPECT_EQ(formatLogLine(t, static_cast<LogLevel>(7), L"m"), L"2026-10-20+12-30-40.500 [] m\r\n");
}

TEST_F(ServiceLogFile, QuietLevelsAreDroppedWithoutVerboseAndCreateNoFile) {
    makeLogFolder();
    ServiceLog::write(LogLevel::Info, L"1617");
    ServiceLog::write(LogLevel::Warning, L"1418");
    EXPECT_FALSE(testsupport::fileExists(logPath()));

    ServiceLog::write(LogLevel::Error, L"1233 5");
    const std::wstring text = logText();
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.find(L" [error] 1233 5\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"1617"), std::wstring::npos);
    EXPECT_EQ(text.find(L"1418"), std::wstring::npos);
}

TEST_F(ServiceLogFile, VerboseWritesAllThreeLevelsInOrder) {
    makeLogFolder();
    ServiceLog::setVerbose(true);
    EXPECT_TRUE(ServiceLog::isVerbose());
    ServiceLog::write(LogLevel::Info, L"1617");
    ServiceLog::write(LogLevel::Warning, L"1418");
    ServiceLog::write(LogLevel::Error, L"1239 8");
    const std::wstring text = logText();
    const size_t info = text.find(L" [info] 1617\r\n");
    const size_t warning = text.find(L" [warning] 1418\r\n");
    const size_t error = text.find(L" [error] 1239 8\r\n");
    ASSERT_NE(info, std::wstring::npos);
    ASSERT_NE(warning, std::wstring::npos);
    ASSERT_NE(error, std::wstring::npos);
    EXPECT_LT(info, warning);
    EXPECT_LT(warning, error);
}

TEST_F(ServiceLogFile, NewFileIsUtf16LeWithoutByteOrderMarkAndUsesUtc) {
    makeLogFolder();
    SYSTEMTIME before;
    GetSystemTime(&before);
    ServiceLog::write(LogLevel::Error, L"\u00e9\u4e2d");  // non-ASCII text stays two bytes each
    SYSTEMTIME after;
    GetSystemTime(&after);

    const std::string raw = testsupport::readBytes(logPath());
    ASSERT_GE(raw.size(), 4u);
    EXPECT_EQ(raw.size() % 2, 0u);
    EXPECT_NE(raw.substr(0, 2), std::string("\xff\xfe", 2));
    EXPECT_EQ(raw[0], static_cast<char>('0' + before.wYear / 1000));  // starts with the year
    EXPECT_EQ(raw[1], '\0');
    EXPECT_EQ(raw.substr(raw.size() - 4), std::string("\r\0\n\0", 4));

    // The timestamp is the UTC system time, one of the two instants around the call.
    const std::wstring text = testsupport::fromUtf16Bytes(raw);
    unsigned y, mo, d, h, mi, s, ms;
    ASSERT_EQ(swscanf(text.c_str(), L"%u-%u-%u+%u-%u-%u.%u", &y, &mo, &d, &h, &mi, &s, &ms), 7);
    const bool sameDayAsBefore = y == before.wYear && mo == before.wMonth && d == before.wDay &&
                                 h == before.wHour;
    const bool sameDayAsAfter = y == after.wYear && mo == after.wMonth && d == after.wDay &&
                                h == after.wHour;
    EXPECT_TRUE(sameDayAsBefore || sameDayAsAfter);
    EXPECT_TRUE(endsWith(text, L" [error] \u00e9\u4e2d\r\n"));
}

TEST_F(ServiceLogFile, AppendsAfterExistingContentNeverRewriting) {
    makeLogFolder();
    const std::string foreign("x\0y\0\r\0\n\0", 8);  // written by someone else
    ASSERT_TRUE(testsupport::writeBytes(logPath(), foreign));
    ServiceLog::write(LogLevel::Error, L"1201");
    ServiceLog::write(LogLevel::Error, L"");
    const std::string raw = testsupport::readBytes(logPath());
    EXPECT_EQ(raw.substr(0, 8), foreign);
    const std::wstring text = testsupport::fromUtf16Bytes(raw.substr(8));
    EXPECT_NE(text.find(L"[error] 1201\r\n"), std::wstring::npos);
    // The empty message ends the second line with "] " and CR LF.
    EXPECT_FALSE(endsWith(text, L"1201\r\n"));
    EXPECT_TRUE(endsWith(text, L" [error] \r\n"));
}

TEST_F(ServiceLogFile, MissingFolderLosesTheLineAndCreatesNothing) {
    ServiceLog::setVerbose(true);
    ServiceLog::write(LogLevel::Error, L"1233 2");
    ServiceLog::write(LogLevel::Info, L"1617");
    EXPECT_FALSE(testsupport::fileExists(scratch_ / L"Telmor"));

    CreateDirectoryW((scratch_ / L"Telmor").c_str(), nullptr);  // only the first level
    ServiceLog::write(LogLevel::Error, L"1233 2");
    EXPECT_FALSE(testsupport::fileExists(scratch_ / L"Telmor\\Vextra"));
}

TEST_F(ServiceLogFile, WritingLeavesTheLastErrorValueAlone) {
    makeLogFolder();
    ServiceLog::setVerbose(true);
    for (LogLevel level : {LogLevel::Info, LogLevel::Error, LogLevel::Error}) {
        SetLastError(1060);
        ServiceLog::write(level, L"1222 1060");  // the second error line opens an existing file
        EXPECT_EQ(GetLastError(), 1060u);
    }
    testsupport::removeTree(scratch_ / L"Telmor");
    SetLastError(5);
    ServiceLog::write(LogLevel::Error, L"1233 5");  // the open fails
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(ServiceLogFile, FileHeldOpenByAnotherWriterStillReceivesLines) {
    makeLogFolder();
    HANDLE other = CreateFileW(logPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ServiceLog::write(LogLevel::Error, L"1302");
    CloseHandle(other);
    EXPECT_NE(logText().find(L"[error] 1302\r\n"), std::wstring::npos);
}

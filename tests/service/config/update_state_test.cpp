#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "config/update_state.h"
#include "support/run_program.h"

namespace {

const uint64_t kDay = kFileTimeUnitsPerDay;
const wchar_t kKey[] = L"HKLM\\SOFTWARE\\Telmora\\VextraPlayer";

// The value as Wine's reg.exe prints it: (type, data) or ("", "") when absent.
std::pair<std::string, std::string> regQuery(const wchar_t* value) {
    const auto r = testsupport::reg(std::wstring(L"query ") + kKey + L" /v " + value);
    if (!r.started || r.exitCode != 0) return {};
    const std::string name = testsupport::narrow(value);
    size_t pos = r.output.find(name + " ");
    while (pos != std::string::npos) {
        const size_t type = r.output.find("REG_", pos);
        const size_t eol = r.output.find_first_of("\r\n", pos);
        if (type != std::string::npos && type < eol) {
            const size_t typeEnd = r.output.find_first_of(" \t", type);
            size_t data = r.output.find_first_not_of(" \t", typeEnd);
            std::string text = (data == std::string::npos || data >= eol)
                                   ? std::string()
                                   : r.output.substr(data, eol - data);
            return {r.output.substr(type, typeEnd - type), text};
        }
        pos = r.output.find(name + " ", pos + 1);
    }
    return {};
}

// Wine's reg query prints "(null)" for REG_QWORD data; reg export writes the bytes as
// "name"=hex(b):lo,...,hi. Returns false when the value is absent or not a QWORD.
bool regExportQword(const wchar_t* value, uint64_t& out) {
    testsupport::ScratchFolder scratch;
    const std::wstring file = scratch / L"state.reg";
    const auto r = testsupport::reg(std::wstring(L"export ") + kKey + L" \"" + file + L"\" /y");
    if (!r.started || r.exitCode != 0) return false;
    const std::string text = testsupport::narrow(
        testsupport::fromUtf16Bytes(testsupport::readBytes(file)).substr(1));  // skip the BOM
    const std::string prefix = "\"" + testsupport::narrow(value) + "\"=hex(b):";
    const size_t pos = text.find(prefix);
    if (pos == std::string::npos) return false;
    out = 0;
    const char* p = text.c_str() + pos + prefix.size();
    for (int i = 0; i < 8; ++i) {
        char* end = nullptr;
        out |= static_cast<uint64_t>(std::strtoul(p, &end, 16)) << (8 * i);
        if (end == p) return false;
        p = end + 1;  // past the comma
    }
    return true;
}

void regAdd(const wchar_t* value, const wchar_t* type, const std::wstring& data) {
    const auto r = testsupport::reg(std::wstring(L"add ") + kKey + L" /v " + value + L" /t " +
                                    type + L" /d " + data + L" /f");
    ASSERT_TRUE(r.started);
    ASSERT_EQ(r.exitCode, 0u) << r.output;
}

bool keyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class UpdateStateRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath);
        ASSERT_FALSE(keyExists());
    }
    void TearDown() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath); }
};

}  // namespace

TEST(CheckDue, BoundariesToTheHundredNanoseconds) {
    const uint64_t last = 133000000000000000ULL;  // a time in 2022
    for (uint32_t days = 1; days <= 3; ++days) {
        const uint64_t boundary = last + days * kDay;
        EXPECT_FALSE(isCheckDueAt(boundary - 1, last, days)) << days;
        EXPECT_FALSE(isCheckDueAt(boundary, last, days)) << "exactly " << days << " days is not due";
        EXPECT_TRUE(isCheckDueAt(boundary + 1, last, days)) << "one unit later is due";
    }
    // Never checked: due as soon as the first days have passed since 1601.
    EXPECT_TRUE(isCheckDueAt(last, 0, 3));
    EXPECT_FALSE(isCheckDueAt(kDay, 0, 1));
}

TEST(CheckDue, FutureTimestampWaitsUntilPassedByTheFrequency) {
    const uint64_t now = 133000000000000000ULL;
    const uint64_t future = now + 10 * kDay;  // clock turned back after the last check
    EXPECT_FALSE(isCheckDueAt(now, future, 1));
    EXPECT_FALSE(isCheckDueAt(future + kDay, future, 1));
    EXPECT_TRUE(isCheckDueAt(future + kDay + 1, future, 1));
}

TEST(CheckDue, SumIsUnsignedSixtyFourBitArithmetic) {
    // A stored time so large that adding the frequency wraps past zero makes the check due.
    const uint64_t huge = std::numeric_limits<uint64_t>::max() - kDay / 2;
    EXPECT_TRUE(isCheckDueAt(kDay, huge, 1));
    EXPECT_FALSE(isCheckDueAt(kDay / 2 - 2, huge, 1));
}

TEST(CheckFrequencyClamp, KeepsOneToThree) {
    EXPECT_EQ(clampCheckFrequency(0), 1u);
    EXPECT_EQ(clampCheckFrequency(1), 1u);
    EXPECT_EQ(clampCheckFrequency(2), 2u);
    EXPECT_EQ(clampCheckFrequency(3), 3u);
    EXPECT_EQ(clampCheckFrequency(4), 3u);
    EXPECT_EQ(clampCheckFrequency(0x80000000u), 3u);
    EXPECT_EQ(clampCheckFrequency(4294967295u), 3u);
}

TEST_F(UpdateStateRegistry, AbsentKeyReadsAsDefaultsAndDeletesReportFailure) {
    EXPECT_TRUE(UpdateStateStore::isCheckDue());
    EXPECT_EQ(UpdateStateStore::readLastUpdateCheck(), 0u);
    uint32_t days = 99;
    EXPECT_FALSE(UpdateStateStore::readCheckFrequency(days));
    EXPECT_EQ(days, 1u);
    uint32_t count = 42;
    EXPECT_FALSE(UpdateStateStore::readUpdateAttempts(count));
    EXPECT_EQ(count, 42u) << "a failed read leaves the count untouched";
    EXPECT_FALSE(UpdateStateStore::deleteUpdateAttempts());
    EXPECT_FALSE(UpdateStateStore::deleteLastUpdateCheck());
    EXPECT_FALSE(UpdateStateStore::deleteCheckFrequency());
    EXPECT_FALSE(keyExists()) << "reading and deleting never create the key";

    EXPECT_TRUE(UpdateStateStore::writeUpdateAttempts(0));
    EXPECT_TRUE(keyExists()) << "the first write creates the key";
}

TEST_F(UpdateStateRegistry, LastUpdateCheckIsAQwordOfTheCurrentTime) {
    const uint64_t before = UpdateStateStore::currentFileTime();
    ASSERT_TRUE(UpdateStateStore::recordLastUpdateCheck(false));
    const uint64_t after = UpdateStateStore::currentFileTime();

    EXPECT_EQ(regQuery(L"LastUpdateCheck").first, "REG_QWORD");
    uint64_t value = 0;
    ASSERT_TRUE(regExportQword(L"LastUpdateCheck", value));
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
    EXPECT_EQ(UpdateStateStore::readLastUpdateCheck(), value);
    EXPECT_FALSE(UpdateStateStore::isCheckDue());

    ASSERT_TRUE(UpdateStateStore::recordLastUpdateCheck(true));
    ASSERT_TRUE(regExportQword(L"LastUpdateCheck", value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(UpdateStateStore::isCheckDue()) << "a reset makes the next run check at once";
}

TEST_F(UpdateStateRegistry, CheckDueCombinesStoredTimeAndFrequency) {
    const uint64_t hour = kDay / 24;
    const uint64_t now = UpdateStateStore::currentFileTime();
    const uint32_t three = 3;
    ASSERT_TRUE(UpdateStateStore::writeCheckFrequency(&three));
    regAdd(L"LastUpdateCheck", L"REG_QWORD", std::to_wstring(now - 3 * kDay + hour));
    EXPECT_FALSE(UpdateStateStore::isCheckDue());
    regAdd(L"LastUpdateCheck", L"REG_QWORD", std::to_wstring(now - 3 * kDay - hour));
    EXPECT_TRUE(UpdateStateStore::isCheckDue());
    // Clock turned back: a last check in the future is not due.
    regAdd(L"LastUpdateCheck", L"REG_QWORD", std::to_wstring(now + 5 * kDay));
    EXPECT_FALSE(UpdateStateStore::isCheckDue());
}

TEST_F(UpdateStateRegistry, ValueTypeIsNotCheckedOnReading) {
    // A 4-byte value under LastUpdateCheck reads as its 32-bit number.
    regAdd(L"LastUpdateCheck", L"REG_DWORD", L"305419896");
    EXPECT_EQ(UpdateStateStore::readLastUpdateCheck(), 305419896u);
    EXPECT_TRUE(UpdateStateStore::isCheckDue());
    // An 8-byte value does not fit the 4 bytes read for the frequency: the default applies.
    regAdd(L"CheckFrequency", L"REG_QWORD", L"2");
    uint32_t days = 0;
    EXPECT_FALSE(UpdateStateStore::readCheckFrequency(days));
    EXPECT_EQ(days, 1u);
}

TEST_F(UpdateStateRegistry, CheckFrequencyIsClampedOnReadAndWrite) {
    struct Case { const wchar_t* stored; uint32_t read; };
    for (const Case c : {Case{L"0", 1}, Case{L"1", 1}, Case{L"2", 2}, Case{L"3", 3}, Case{L"4", 3},
                         Case{L"4294967295", 3}}) {
        regAdd(L"CheckFrequency", L"REG_DWORD", c.stored);
        uint32_t days = 0;
        EXPECT_TRUE(UpdateStateStore::readCheckFrequency(days)) << testsupport::narrow(c.stored);
        EXPECT_EQ(days, c.read) << testsupport::narrow(c.stored);
    }
    const uint32_t seven = 7, zero = 0, two = 2;
    ASSERT_TRUE(UpdateStateStore::writeCheckFrequency(&seven));
    EXPECT_EQ(regQuery(L"CheckFrequency"), std::make_pair(std::string("REG_DWORD"), std::string("0x3")));
    ASSERT_TRUE(UpdateStateStore::writeCheckFrequency(&zero));
    EXPECT_EQ(regQuery(L"CheckFrequency").second, "0x1");
    ASSERT_TRUE(UpdateStateStore::writeCheckFrequency(&two));
    EXPECT_EQ(regQuery(L"CheckFrequency").second, "0x2");
    ASSERT_TRUE(UpdateStateStore::writeCheckFrequency(nullptr));
    EXPECT_EQ(regQuery(L"CheckFrequency").second, "0x1");
}

TEST_F(UpdateStateRegistry, UpdateAttemptsCountAndIncrement) {
    ASSERT_TRUE(UpdateStateStore::incrementUpdateAttempts());
    EXPECT_EQ(regQuery(L"UpdateAttempts"), std::make_pair(std::string("REG_DWORD"), std::string("0x1")));
    regAdd(L"UpdateAttempts", L"REG_DWORD", L"6");
    ASSERT_TRUE(UpdateStateStore::incrementUpdateAttempts());
    uint32_t count = 0;
    ASSERT_TRUE(UpdateStateStore::readUpdateAttempts(count));
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(regQuery(L"UpdateAttempts").second, "0x7");
    // The count never wraps back to zero (which would lift the attempt limit).
    ASSERT_TRUE(UpdateStateStore::writeUpdateAttempts(4294967295u));
    ASSERT_TRUE(UpdateStateStore::incrementUpdateAttempts());
    ASSERT_TRUE(UpdateStateStore::readUpdateAttempts(count));
    EXPECT_EQ(count, 4294967295u);
}

TEST_F(UpdateStateRegistry, ResetAndRemovalSequences) {
    // Reset as done when the default task is created.
    ASSERT_TRUE(UpdateStateStore::writeUpdateAttempts(0) &&
                UpdateStateStore::recordLastUpdateCheck(true) &&
                UpdateStateStore::writeCheckFrequency(nullptr));
    EXPECT_EQ(regQuery(L"UpdateAttempts").second, "0x0");
    uint64_t last = 1;
    EXPECT_TRUE(regExportQword(L"LastUpdateCheck", last));
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(regQuery(L"CheckFrequency").second, "0x1");

    // Removal: each value goes, and a second removal reports that nothing was there.
    EXPECT_TRUE(UpdateStateStore::deleteUpdateAttempts());
    EXPECT_TRUE(UpdateStateStore::deleteLastUpdateCheck());
    EXPECT_TRUE(UpdateStateStore::deleteCheckFrequency());
    EXPECT_EQ(regQuery(L"UpdateAttempts").first, "");
    EXPECT_EQ(regQuery(L"LastUpdateCheck").first, "");
    EXPECT_EQ(regQuery(L"CheckFrequency").first, "");
    EXPECT_FALSE(UpdateStateStore::deleteUpdateAttempts());

    // With UpdateAttempts absent the removal sequence stops at its first step.
    ASSERT_TRUE(UpdateStateStore::recordLastUpdateCheck(false));
    const bool removed = UpdateStateStore::deleteUpdateAttempts() &&
                         UpdateStateStore::deleteLastUpdateCheck() &&
                         UpdateStateStore::deleteCheckFrequency();
    EXPECT_FALSE(removed);
    EXPECT_EQ(regQuery(L"LastUpdateCheck").first, "REG_QWORD");
}

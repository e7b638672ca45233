// The scheduled task against Wine's own Task Scheduler. Each operation runs in a probe
// process of its own: COM security can be set only once per process, and the Windows version
// that a process sees (and so the scheduler version chosen) is fixed when it starts.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "support/run_program.h"
#include "support/log_capture.h"
#include "task/scheduled_task.h"

using testsupport::LogCapture;
using testsupport::ProgramResult;

namespace {

const std::wstring kProbe = std::wstring(VEXTRA_BUILD_DIR_W) + L"\\programs\\task_probe.exe";

std::string field(const std::string& output, const std::string& key) {
    const std::string prefix = key + "=";
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
        start = end + 1;
    }
    return "<missing>";
}

void setWindowsVersion(const std::wstring& version) {
    testsupport::reg(L"add \"HKCU\\Software\\Wine\" /v Version /d " + version + L" /f");
}

std::wstring jobFile() {
    wchar_t windows[MAX_PATH + 1] = {};
    GetWindowsDirectoryW(windows, MAX_PATH + 1);
    return std::wstring(windows) + L"\\Tasks\\" + kTaskName + L".job";
}

class WineScheduler : public ::testing::Test {
protected:
    ProgramResult probe(const std::wstring& args) {
        ProgramResult result = testsupport::runProgram(L"\"" + kProbe + L"\" " + args, log.folder().path());
        EXPECT_TRUE(result.started);
        return result;
    }
    std::string run(const std::wstring& args) { return probe(args).output; }
    LogCapture log;
};

class WineScheduler1 : public WineScheduler {
protected:
    void SetUp() override {
        setWindowsVersion(L"winxp64");
        DeleteFileW(jobFile().c_str());
    }
    void TearDown() override {
        DeleteFileW(jobFile().c_str());
        setWindowsVersion(L"win7");
    }
    int startMinute() {
        const std::string trigger = field(run(L"show1"), "trigger0");
        const size_t at = trigger.find("start 0:");
        return at == std::string::npos ? -1 : std::stoi(trigger.substr(at + 8));
    }
};

TEST_F(WineScheduler, VersionFollowsTheReportedWindows) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"winxp64", "1"}, {L"winxp", "1"}, {L"vista", "2"}, {L"win7", "2"}, {L"win10", "2"}};
    for (const auto& c : cases) {
        setWindowsVersion(c.first);
        EXPECT_EQ(field(run(L"version"), "version"), c.second) << testsupport::narrow(c.first);
    }
    setWindowsVersion(L"win7");
}

TEST(SchedulerVersion, NtSixAndLaterUseTaskScheduler2) {
    OSVERSIONINFOA info = {};
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 2;
    EXPECT_EQ(schedulerVersionFor(info), 1);
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 0;
    EXPECT_EQ(schedulerVersionFor(info), 2);
    info.dwMajorVersion = 10;
    EXPECT_EQ(schedulerVersionFor(info), 2);
    info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(schedulerVersionFor(info), 1) << "not an NT platform";
}

TEST_F(WineScheduler1, CreatesTheDailyHourlyTaskAndItReadsBack) {
    EXPECT_EQ(field(run(L"register \"C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe\""), "result"), "1");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1625"});
    EXPECT_TRUE(testsupport::fileExists(jobFile()));

    const std::string shown = run(L"show1");
    EXPECT_EQ(field(shown, "application"), "C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe");
    EXPECT_EQ(field(shown, "parameters"), "");
    EXPECT_EQ(field(shown, "workingDirectory"), "");
    EXPECT_EQ(field(shown, "creator"), "Orvane");
    EXPECT_EQ(field(shown, "comment"), "MISSING LOCALIZATION") << "the probe has no string table";
    EXPECT_EQ(field(shown, "flags"), "1024") << "run only when connected";
    EXPECT_EQ(field(shown, "triggers"), "1");
    const std::string trigger = field(shown, "trigger0");
    EXPECT_EQ(trigger.rfind("type 1 begin 2000-1-1 start 0:", 0), 0u) << trigger;
    EXPECT_NE(trigger.find(" duration 1440 interval 60 flags 0 days 1"), std::string::npos) << trigger;
    const int minute = startMinute();
    EXPECT_GE(minute, 0);
    EXPECT_LE(minute, 59);
}

TEST_F(WineScheduler1, RepairSetsTheIntervalBackToAnHourAndChangesNothingElse) {
    ASSERT_EQ(field(run(L"register C:\\first\\VextraPlayerUpdateService.exe"), "result"), "1");
    ASSERT_EQ(field(run(L"interval1 15"), "saved"), "0x00000000");
    const std::string before = run(L"show1");
    ASSERT_NE(field(before, "trigger0").find("interval 15 "), std::string::npos);

    EXPECT_EQ(field(run(L"register C:\\second\\VextraPlayerUpdateService.exe"), "result"), "1");
    EXPECT_EQ(log.codes(), (std::vector<std::string>{"1625", "1624"}));
    const std::string after = run(L"show1");
    EXPECT_EQ(field(after, "triggers"), "1") << "no second trigger";
    std::string expected = field(before, "trigger0");
    expected.replace(expected.find("interval 15 "), 12, "interval 60 ");
    EXPECT_EQ(field(after, "trigger0"), expected);
    EXPECT_EQ(field(after, "application"), "C:\\first\\VextraPlayerUpdateService.exe")
        << "a repair keeps the task's action";
    EXPECT_EQ(field(after, "creator"), field(before, "creator"));
    EXPECT_EQ(field(after, "flags"), field(before, "flags"));
}

TEST_F(WineScheduler1, RemovingTwiceSucceedsOnceAndLogsNothing) {
    ASSERT_EQ(field(run(L"register"), "result"), "1");
    EXPECT_EQ(field(run(L"remove1"), "result"), "1");
    EXPECT_FALSE(testsupport::fileExists(jobFile()));
    EXPECT_EQ(field(run(L"remove1"), "result"), "0");
    EXPECT_EQ(field(run(L"show1"), "activate"), "0x80070002");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1625"});
}

TEST_F(WineScheduler1, TheStartMinuteIsDrawnForEachRegistration) {
    std::set<int> minutes;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(field(run(L"register"), "result"), "1");
        const int minute = startMinute();
        EXPECT_GE(minute, 0);
        EXPECT_LE(minute, 59);
        minutes.insert(minute);
        ASSERT_TRUE(DeleteFileW(jobFile().c_str()));  // the next registration creates anew
    }
    EXPECT_GT(minutes.size(), 1u);
}

TEST_F(WineScheduler1, AnUnreadableTaskFileFailsActivationWith1244) {
    ASSERT_TRUE(testsupport::writeBytes(jobFile(), "not a task file"));
    EXPECT_EQ(field(run(L"register"), "result"), "0");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error 1244 ", 0), 0u) << lines[0];
    EXPECT_EQ(testsupport::readBytes(jobFile()), "not a task file") << "left as it was";
}

TEST_F(WineScheduler1, ATriggerWithoutRepetitionCannotTakeTheHourlyInterval) {
    // A task saved without a trigger of its own reads back with a one-off trigger that has no
    // repetition duration; an interval longer than the duration is refused (1249).
    ASSERT_EQ(field(run(L"bare1"), "saved"), "0x00000000");
    const std::string before = run(L"show1");
    EXPECT_EQ(field(run(L"register"), "result"), "0");
    const std::vector<std::string> codes = log.codes();
    ASSERT_EQ(codes.size(), 1u);
    if (field(before, "triggers") == "0") {
        EXPECT_EQ(log.lines()[0].rfind("error 1246 ", 0), 0u);
    } else {
        EXPECT_EQ(codes[0], "1249");
        EXPECT_EQ(field(run(L"show1"), "trigger0"), field(before, "trigger0")) << "the task is not changed";
    }
}

class WineScheduler2 : public WineScheduler {
protected:
    void SetUp() override { setWindowsVersion(L"win7"); }
    void TearDown() override { run(L"remove2"); }
};

TEST_F(WineScheduler2, RemovingTwiceSucceedsOnceAndLogsNothing) {
    ASSERT_EQ(field(run(L"bare2"), "registered"), "0x00000000");
    EXPECT_EQ(field(run(L"remove2"), "result"), "1");
    EXPECT_EQ(field(run(L"remove2"), "result"), "0");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(WineScheduler2, CreationRunsAsFarAsWineGoes) {
    const std::string result = field(run(L"register C:\\VextraPlayerUpdateService.exe"), "result");
    const std::vector<std::string> codes = log.codes();
    if (!codes.empty() && codes.back() == "1285") {
        // Everything up to the repetition pattern went through Wine's real objects; the trigger
        // id is one of the properties that go on when they fail.
        EXPECT_EQ(result, "0");
        for (size_t i = 0; i + 1 < codes.size(); ++i) EXPECT_EQ(codes[i], "1282");
        GTEST_SKIP() << "Wine's ITrigger::get_Repetition is not implemented (E_NOTIMPL); the full "
                        "creation sequence is checked with the recording COM objects";
    }
    EXPECT_EQ(result, "1");
    EXPECT_EQ(codes, std::vector<std::string>{"1627"});
}

TEST_F(WineScheduler2, RepairRunsAsFarAsWineGoes) {
    ASSERT_EQ(field(run(L"bare2"), "registered"), "0x00000000");
    const std::string result = field(run(L"register2 C:\\VextraPlayerUpdateService.exe"), "result");
    const std::vector<std::string> codes = log.codes();
    if (codes == std::vector<std::string>{"1265"})
        GTEST_SKIP() << "Wine's ITriggerCollection::get_Count is not implemented (E_NOTIMPL); the "
                        "repair sequence is checked with the recording COM objects";
    // Wine saves no triggers, so a task it gives back has none: 1266, unchanged.
    EXPECT_EQ(result, "0");
    EXPECT_EQ(codes, std::vector<std::string>{"1266"});
}

// Codes that come from the COM state of the calling thread or process.
TEST(ComState, AnApartmentThreadCannotEnterTheMultithreadedPaths) {
    LogCapture log;
    bool registered = true, removed = true;
    std::thread worker([&] {
        CoInitialize(nullptr);
        ScheduledTask task(L"C:\\VextraPlayerUpdateService.exe", 2, systemTaskPlatform());
        registered = task.registerTask();
        removed = removeWithScheduler2();
        CoUninitialize();
    });
    worker.join();
    EXPECT_FALSE(registered);
    EXPECT_FALSE(removed);
    EXPECT_EQ(log.codes(), (std::vector<std::string>{"1258", "1295"}));
}

TEST(ComState, AMultithreadedThreadCannotEnterTheApartmentPaths) {
    LogCapture log;
    bool registered = true, removed = true;
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ScheduledTask task(L"C:\\VextraPlayerUpdateService.exe", 1, systemTaskPlatform());
        registered = task.registerTask();
        removed = removeWithScheduler1();
        CoUninitialize();
    });
    worker.join();
    EXPECT_FALSE(registered);
    EXPECT_FALSE(removed);
    EXPECT_EQ(log.codes(), (std::vector<std::string>{"1243", "1294"}));
}

TEST(ComState, ComSecurityAlreadySetInTheProcessStopsTheTaskScheduler2Paths) {
    LogCapture log;
    bool registered = true, removed = true;
    HRESULT first = E_FAIL, second = E_FAIL;
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        first = systemTaskPlatform().initializeSecurity();
        second = systemTaskPlatform().initializeSecurity();
        if (FAILED(second)) {
            ScheduledTask task(L"C:\\VextraPlayerUpdateService.exe", 2, systemTaskPlatform());
            registered = task.registerTask();
            removed = removeWithScheduler2();
        }
        CoUninitialize();
    });
    worker.join();
    ASSERT_EQ(first, S_OK);
    if (SUCCEEDED(second))
        GTEST_SKIP() << "Wine lets CoInitializeSecurity be called a second time in one process";
    EXPECT_FALSE(registered);
    EXPECT_FALSE(removed);
    EXPECT_EQ(log.codes(), (std::vector<std::string>{"1259", "1296"}));
}

}  // namespace

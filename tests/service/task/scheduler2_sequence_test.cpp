// The Task Scheduler 2.0 registration and removal, step by step, against recording COM
// objects: Wine's own 2.0 implementation saves no triggers or actions and lacks several of
// the calls used, so the full sequences are checked here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "task/com_doubles.h"
#include "task/scheduled_task.h"

namespace {

const char kPath[] = "C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe";
const wchar_t kPathW[] = L"C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe";

const std::vector<std::string> kCreateSequence = {
    "CoInitializeEx(COINIT_MULTITHREADED)",
    "CoInitializeSecurity",
    "CoCreateInstance(TaskScheduler)",
    "ITaskService::Connect(empty,empty,empty,empty)",
    "ITaskService::GetFolder(\\)",
    "ITaskFolder::GetTask(Orvane Vextra Player Updater)",
    "ITaskService::NewTask(0)",
    "ITaskDefinition::get_Settings",
    "ITaskSettings::put_Compatibility(1)",
    "ITaskSettings::put_DisallowStartIfOnBatteries(0)",
    "ITaskSettings::put_RunOnlyIfNetworkAvailable(-1)",
    "ITaskDefinition::get_RegistrationInfo",
    "IRegistrationInfo::put_Author(Orvane)",
    "IRegistrationInfo::put_Description(MISSING LOCALIZATION)",
    "ITaskDefinition::get_Triggers",
    "ITriggerCollection::Create(2)",
    "ITrigger::QueryInterface(IDailyTrigger)",
    "IDailyTrigger::put_Id(UpdateTrigger)",
    "IDailyTrigger::put_StartBoundary(2000-01-01T00:37:00Z)",
    "IDailyTrigger::put_DaysInterval(1)",
    "ITrigger::get_Repetition",
    "IRepetitionPattern::put_Duration(P1D)",
    "IRepetitionPattern::put_Interval(PT1H)",
    "ITaskDefinition::get_Actions",
    "IActionCollection::Create(0)",
    "IAction::QueryInterface(IExecAction)",
    std::string("IExecAction::put_Path(") + kPath + ")",
    "ITaskFolder::RegisterTaskDefinition(Orvane Vextra Player Updater,definition,flags=6,"
    "user='SYSTEM',password=empty,logon=3,sddl='')",
    "CoUninitialize",
};

const std::vector<std::string> kRepairSequence = {
    "CoInitializeEx(COINIT_MULTITHREADED)",
    "CoInitializeSecurity",
    "CoCreateInstance(TaskScheduler)",
    "ITaskService::Connect(empty,empty,empty,empty)",
    "ITaskService::GetFolder(\\)",
    "ITaskFolder::GetTask(Orvane Vextra Player Updater)",
    "IRegisteredTask::get_Definition",
    "ITaskDefinition::get_Triggers",
    "ITriggerCollection::get_Count",
    "ITriggerCollection::get_Item(1)",
    "ITrigger::get_Repetition",
    "IRepetitionPattern::put_Interval(PT1H)",
    "ITaskFolder::RegisterTaskDefinition(Orvane Vextra Player Updater,definition,flags=6,"
    "user='SYSTEM',password=empty,logon=3,sddl='')",
    "CoUninitialize",
};

class Scheduler2Sequence : public ::testing::Test {
protected:
    Scheduler2Sequence() : platform(rec) {
        // Minute 37: tens 3 (9 mod 6), ones 7 (27 mod 10).
        rec.randomDraws = {true, true};
        rec.randomValues = {9, 27};
    }
    bool registerTask() {
        ScheduledTask task(kPathW, 2, platform);
        return task.registerTask();
    }
    // Every object released before CoUninitialize, every string freed.
    void expectAllReleased() {
        EXPECT_EQ(rec.live, 0);
        EXPECT_EQ(rec.liveAtUninitialize, 0);
        EXPECT_EQ(rec.stringsAllocated, rec.stringsFreed);
    }
    testsupport::LogCapture log;
    fake2::Recorder rec;
    fake2::FakePlatform platform;
};

TEST_F(Scheduler2Sequence, CreatesTheTaskStepByStepWithTheFixedValues) {
    EXPECT_TRUE(registerTask());
    EXPECT_EQ(rec.calls, kCreateSequence);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1627"});
    expectAllReleased();
}

TEST_F(Scheduler2Sequence, RepairsAnExistingTaskByItsFirstTriggersIntervalOnly) {
    rec.taskExists = true;
    EXPECT_TRUE(registerTask());
    EXPECT_EQ(rec.calls, kRepairSequence);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1626"});
    expectAllReleased();
}

TEST_F(Scheduler2Sequence, RegisteringTwiceCreatesThenRepairs) {
    EXPECT_TRUE(registerTask());
    rec.calls.clear();
    EXPECT_TRUE(registerTask());
    EXPECT_EQ(rec.calls, kRepairSequence);
    EXPECT_EQ(log.codes(), (std::vector<std::string>{"1627", "1626"}));
    EXPECT_EQ(rec.indexOf("ITriggerCollection::Create"), -1) << "no second trigger";
}

TEST_F(Scheduler2Sequence, TaskWithoutTriggersIsLeftUnchanged) {
    rec.taskExists = true;
    rec.triggerCount = 0;
    SetLastError(0);
    EXPECT_FALSE(registerTask());
    EXPECT_EQ(log.codes(), std::vector<std::string>{"1266"});
    EXPECT_EQ(rec.indexOf("ITaskFolder::RegisterTaskDefinition"), -1);
    EXPECT_EQ(rec.calls.back(), "CoUninitialize");
    expectAllReleased();
}

struct StepFailure {
    const char* call;     // "Interface::method" made to fail
    int code;             // logged with the GetLastError value
    bool goesOn;          // the registration continues and succeeds
    bool repair;          // in the repair sequence rather than the creation
};

class Scheduler2Failure : public Scheduler2Sequence, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(Scheduler2Failure, LogsItsCodeAndStopsOrGoesOn) {
    const StepFailure& step = GetParam();
    rec.taskExists = step.repair;
    rec.fail(step.call, E_FAIL, 4321);
    const bool result = registerTask();

    const std::string line = "error " + std::to_string(step.code) + " 4321";
    EXPECT_TRUE(log.has(line)) << "expected '" << line << "'";
    const std::vector<std::string>& full = step.repair ? kRepairSequence : kCreateSequence;
    const int failedAt = rec.indexOf(step.call);
    ASSERT_GE(failedAt, 0);
    if (step.goesOn) {
        EXPECT_TRUE(result);
        EXPECT_EQ(rec.calls, full);
        EXPECT_EQ(log.codes(), (std::vector<std::string>{std::to_string(step.code), "1627"}));
    } else {
        EXPECT_FALSE(result);
        EXPECT_EQ(log.codes(), std::vector<std::string>{std::to_string(step.code)});
        // Nothing after the failed call but the uninitialisation (none when COM never started).
        std::vector<std::string> expected(full.begin(), full.begin() + failedAt + 1);
        if (std::string(step.call) != "CoInitializeEx") expected.push_back("CoUninitialize");
        EXPECT_EQ(rec.calls, expected);
    }
    EXPECT_EQ(rec.live, 0);
    EXPECT_EQ(rec.stringsAllocated, rec.stringsFreed);
    if (std::string(step.call) != "CoInitializeEx") {
        EXPECT_EQ(rec.liveAtUninitialize, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, Scheduler2Failure,
    ::testing::Values(
        StepFailure{"CoInitializeEx", 1258, false, false},
        StepFailure{"CoInitializeSecurity", 1259, false, false},
        StepFailure{"CoCreateInstance", 1260, false, false},
        StepFailure{"ITaskService::Connect", 1261, false, false},
        StepFailure{"ITaskService::GetFolder", 1262, false, false},
        StepFailure{"IRegisteredTask::get_Definition", 1263, false, true},
        StepFailure{"ITaskDefinition::get_Triggers", 1264, false, true},
        StepFailure{"ITriggerCollection::get_Count", 1265, false, true},
        StepFailure{"ITriggerCollection::get_Item", 1267, false, true},
        StepFailure{"ITrigger::get_Repetition", 1268, false, true},
        StepFailure{"IRepetitionPattern::put_Interval", 1269, false, true},
        StepFailure{"ITaskFolder::RegisterTaskDefinition", 1270, false, true},
        StepFailure{"ITaskService::NewTask", 1271, false, false},
        StepFailure{"ITaskDefinition::get_Settings", 1272, false, false},
        StepFailure{"ITaskSettings::put_Compatibility", 1273, true, false},
        StepFailure{"ITaskSettings::put_DisallowStartIfOnBatteries", 1274, true, false},
        StepFailure{"ITaskSettings::put_RunOnlyIfNetworkAvailable", 1275, true, false},
        StepFailure{"ITaskDefinition::get_RegistrationInfo", 1276, false, false},
        StepFailure{"IRegistrationInfo::put_Author", 1277, false, false},
        StepFailure{"IRegistrationInfo::put_Description", 1278, false, false},
        StepFailure{"ITaskDefinition::get_Triggers", 1279, false, false},
        StepFailure{"ITriggerCollection::Create", 1280, false, false},
        StepFailure{"ITrigger::QueryInterface", 1281, false, false},
        StepFailure{"IDailyTrigger::put_Id", 1282, true, false},
        StepFailure{"IDailyTrigger::put_StartBoundary", 1283, true, false},
        StepFailure{"IDailyTrigger::put_DaysInterval", 1284, false, false},
        StepFailure{"ITrigger::get_Repetition", 1285, false, false},
        StepFailure{"IRepetitionPattern::put_Duration", 1286, false, false},
        StepFailure{"IRepetitionPattern::put_Interval", 1287, false, false},
        StepFailure{"ITaskDefinition::get_Actions", 1288, false, false},
        StepFailure{"IActionCollection::Create", 1289, false, false},
        StepFailure{"IAction::QueryInterface", 1290, false, false},
        StepFailure{"IExecAction::put_Path", 1291, false, false},
        StepFailure{"ITaskFolder::RegisterTaskDefinition", 1292, false, false}));

TEST_F(Scheduler2Sequence, RunningOutOfMemoryForAnyStringEndsFalseWithEverythingReleased) {
    // Count the strings a creation allocates, then let each one in turn run out of memory.
    ASSERT_TRUE(registerTask());
    const int total = rec.stringsAllocated;
    ASSERT_GE(total, 10);
    for (int n = 1; n <= total; ++n) {
        fake2::Recorder r;
        r.failAllocationNumber = n;
        fake2::FakePlatform p(r);
        ScheduledTask task(kPathW, 2, p);
        EXPECT_FALSE(task.registerTask()) << "allocation " << n;
        EXPECT_EQ(r.live, 0) << "allocation " << n;
        EXPECT_EQ(r.liveAtUninitialize, 0) << "allocation " << n;
        EXPECT_EQ(r.stringsAllocated, r.stringsFreed) << "allocation " << n;
        EXPECT_EQ(r.calls.back(), "CoUninitialize");
        EXPECT_EQ(r.indexOf("ITaskFolder::RegisterTaskDefinition"), -1) << "allocation " << n;
    }
    EXPECT_TRUE(log.has("error 1291 8")) << "the path string's step is named with 'not enough memory'";
}

TEST(StartBoundary, MinuteDigitsComeFromTwoDrawsAndAFailedDrawGivesZero) {
    fake2::Recorder rec;
    fake2::FakePlatform platform(rec);
    ScheduledTask task(kPathW, 2, platform);
    rec.randomDraws = {true, true};
    rec.randomValues = {4000000001u, 4294967295u};  // 4000000001 mod 6 = 5, 4294967295 mod 10 = 5
    EXPECT_EQ(task.makeStartBoundary(), L"2000-01-01T00:55:00Z");
    rec.randomDraws = {false, true};
    rec.randomValues = {13};
    EXPECT_EQ(task.makeStartBoundary(), L"2000-01-01T00:03:00Z");
    rec.randomDraws = {true, false};
    rec.randomValues = {6};
    EXPECT_EQ(task.makeStartBoundary(), L"2000-01-01T00:00:00Z");
    EXPECT_EQ(formatStartBoundary(5, 9), L"2000-01-01T00:59:00Z");
}

TEST(StartBoundary, RealDrawsStayWithinTheHourAndVary) {
    ScheduledTask task(kPathW, 2, systemTaskPlatform());
    std::vector<std::wstring> seen;
    for (int i = 0; i < 60; ++i) {
        const std::wstring text = task.makeStartBoundary();
        ASSERT_EQ(text.size(), 20u);
        EXPECT_EQ(text.substr(0, 14), L"2000-01-01T00:");
        EXPECT_EQ(text.substr(16), L":00Z");
        const int minute = std::stoi(text.substr(14, 2));
        EXPECT_GE(minute, 0);
        EXPECT_LE(minute, 59);
        seen.push_back(text);
    }
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_GT(seen.size(), 5u) << "the minute is drawn anew for every registration";
}

TEST(Removal2, DeletesTheTaskInTheRootFolderAndReportsOnlyExactSuccess) {
    testsupport::LogCapture log;
    fake2::Recorder rec;
    fake2::FakePlatform platform(rec);
    rec.taskExists = true;
    EXPECT_TRUE(removeWithScheduler2(platform));
    EXPECT_EQ(rec.calls, (std::vector<std::string>{
                             "CoInitializeEx(COINIT_MULTITHREADED)", "CoInitializeSecurity",
                             "CoCreateInstance(TaskScheduler)", "ITaskService::Connect(empty,empty,empty,empty)",
                             "ITaskService::GetFolder(\\)",
                             "ITaskFolder::DeleteTask(Orvane Vextra Player Updater,0)", "CoUninitialize"}));
    EXPECT_EQ(rec.liveAtUninitialize, 0);
    rec.calls.clear();
    EXPECT_FALSE(removeWithScheduler2(platform)) << "second removal: the task is gone";
    rec.fail("ITaskFolder::DeleteTask", S_FALSE);
    rec.taskExists = true;
    EXPECT_FALSE(removeWithScheduler2(platform)) << "only S_OK counts";
    EXPECT_TRUE(log.lines().empty()) << "a failed delete logs nothing";
    EXPECT_EQ(rec.stringsAllocated, rec.stringsFreed);
}

TEST(Removal2, EachFailureBeforeTheDeleteLogsItsCode) {
    const std::pair<const char*, int> steps[] = {
        {"CoInitializeEx", 1295},        {"CoInitializeSecurity", 1296},   {"CoCreateInstance", 1297},
        {"ITaskService::Connect", 1298}, {"ITaskService::GetFolder", 1299},
    };
    for (const auto& step : steps) {
        testsupport::LogCapture log;
        fake2::Recorder rec;
        fake2::FakePlatform platform(rec);
        rec.taskExists = true;
        rec.fail(step.first, E_FAIL, 77);
        EXPECT_FALSE(removeWithScheduler2(platform)) << step.first;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"error " + std::to_string(step.second) + " 77"});
        EXPECT_EQ(rec.indexOf("ITaskFolder::DeleteTask"), -1);
        EXPECT_EQ(rec.live, 0);
        const bool initialised = std::string(step.first) != "CoInitializeEx";
        EXPECT_EQ(rec.indexOf("CoUninitialize") >= 0, initialised) << step.first;
    }
}

}  // namespace

// The Task Scheduler 1.0 registration and removal, step by step, against recording COM
// objects, for the failures that Wine's real scheduler cannot be made to produce.
#include <gtest/gtest.h>
#include <algorithm>

#include <string>
#include <vector>

#include "task/com_doubles.h"
#include "support/log_capture.h"
#include "task/scheduled_task.h"

namespace {

const wchar_t kPathW[] = L"C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe";
const std::string kPath = "C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe";

const std::vector<std::string> kCreateSequence = {
    "CoInitialize",
    "CoCreateInstance(CTaskScheduler)",
    "ITaskScheduler::Activate(Orvane Vextra Player Updater,ITask)",
    "ITaskScheduler::NewWorkItem(Orvane Vextra Player Updater,CTask,ITask)",
    "ITask::SetAccountInformation('',<null>)",
    "ITask::CreateTrigger",
    "ITask::SetCreator(Orvane)",
    "ITask::SetComment(MISSING LOCALIZATION)",
    "ITask::SetApplicationName(" + kPath + ")",
    "ITask::SetFlags(1024)",
    "ITaskTrigger::SetTrigger(size 48 begin 2000-1-1 end 0-0-0 start 0:37 duration 1440 interval 60 "
    "flags 0 type 1 days 1)",
    "ITask::QueryInterface(IPersistFile)",
    "IPersistFile::Save(<null>,1)",
    "CoUninitialize",
};

const std::vector<std::string> kRepairSequence = {
    "CoInitialize",
    "CoCreateInstance(CTaskScheduler)",
    "ITaskScheduler::Activate(Orvane Vextra Player Updater,ITask)",
    "ITask::GetTriggerCount",
    "ITask::GetTrigger(0)",
    "ITaskTrigger::GetTrigger(size 48)",
    // Everything the task held stays; only the interval becomes 60 minutes.
    "ITaskTrigger::SetTrigger(size 48 begin 2003-4-5 end 2030-1-2 start 7:12 duration 720 interval 60 "
    "flags 1 type 1 days 2)",
    "ITask::QueryInterface(IPersistFile)",
    "IPersistFile::Save(<null>,1)",
    "CoUninitialize",
};

class Scheduler1Sequence : public ::testing::Test {
protected:
    Scheduler1Sequence() : platform(rec) {
        rec.randomDraws = {true};
        rec.randomValues = {97};  // 97 mod 60 = 37
        TASK_TRIGGER& t = rec.existingTrigger;
        t.cbTriggerSize = 48;
        t.wBeginYear = 2003;
        t.wBeginMonth = 4;
        t.wBeginDay = 5;
        t.wEndYear = 2030;
        t.wEndMonth = 1;
        t.wEndDay = 2;
        t.wStartHour = 7;
        t.wStartMinute = 12;
        t.MinutesDuration = 720;
        t.MinutesInterval = 30;
        t.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
        t.TriggerType = TASK_TIME_TRIGGER_DAILY;
        t.Type.Daily.DaysInterval = 2;
    }
    bool registerTask() {
        ScheduledTask task(kPathW, 1, platform);
        return task.registerTask();
    }
    testsupport::LogCapture log;
    fake2::Recorder rec;
    fake2::FakePlatform platform;
};

TEST_F(Scheduler1Sequence, CreatesTheTaskWithItsDailyHourlyTrigger) {
    EXPECT_TRUE(registerTask());
    EXPECT_EQ(rec.calls, kCreateSequence);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1625"});
    EXPECT_EQ(rec.live, 0);
    EXPECT_EQ(rec.liveAtUninitialize, 0);
}

TEST_F(Scheduler1Sequence, AFailedRandomDrawStartsAtMinuteZero) {
    rec.randomDraws = {false};
    EXPECT_TRUE(registerTask());
    EXPECT_NE(rec.indexOf("ITaskTrigger::SetTrigger(size 48 begin 2000-1-1 end 0-0-0 start 0:0 "), -1);
}

TEST_F(Scheduler1Sequence, RepairsOnlyTheFirstTriggersInterval) {
    rec.taskExists = true;
    EXPECT_TRUE(registerTask());
    EXPECT_EQ(rec.calls, kRepairSequence);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1624"});
    EXPECT_EQ(rec.liveAtUninitialize, 0);
}

TEST_F(Scheduler1Sequence, ATaskWithoutTriggersIsLeftUnchanged) {
    rec.taskExists = true;
    rec.triggerCount = 0;
    EXPECT_FALSE(registerTask());
    EXPECT_EQ(log.codes(), std::vector<std::string>{"1246"});
    EXPECT_EQ(rec.indexOf("IPersistFile::Save"), -1);
    EXPECT_EQ(rec.calls.back(), "CoUninitialize");
}

struct StepFailure {
    const char* call;
    int code;
    const char* level;
    bool goesOn;
    bool repair;
};

class Scheduler1Failure : public Scheduler1Sequence, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(Scheduler1Failure, LogsItsCodeAndStopsOrGoesOn) {
    const StepFailure& step = GetParam();
    rec.taskExists = step.repair;
    rec.fail(step.call, E_FAIL, 2345);
    const bool result = registerTask();
    EXPECT_TRUE(log.has(std::string(step.level) + " " + std::to_string(step.code) + " 2345"));
    const std::vector<std::string>& full = step.repair ? kRepairSequence : kCreateSequence;
    const int failedAt = rec.indexOf(step.call);
    ASSERT_GE(failedAt, 0);
    if (step.goesOn) {
        EXPECT_TRUE(result);
        EXPECT_EQ(rec.calls, full);
        EXPECT_EQ(log.codes(), (std::vector<std::string>{std::to_string(step.code), "1625"}));
    } else {
        EXPECT_FALSE(result);
        EXPECT_EQ(log.codes(), std::vector<std::string>{std::to_string(step.code)});
        std::vector<std::string> expected(full.begin(), full.begin() + failedAt + 1);
        if (std::string(step.call) != "CoInitialize") expected.push_back("CoUninitialize");
        EXPECT_EQ(rec.calls, expected);
    }
    EXPECT_EQ(rec.live, 0);
    if (std::string(step.call) != "CoInitialize") {
        EXPECT_EQ(rec.liveAtUninitialize, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, Scheduler1Failure,
    ::testing::Values(StepFailure{"CoInitialize", 1243, "error", false, false},
                      StepFailure{"CoCreateInstance", 1242, "error", false, false},
                      StepFailure{"ITaskScheduler::Activate", 1244, "error", false, true},
                      StepFailure{"ITask::GetTriggerCount", 1245, "error", false, true},
                      StepFailure{"ITask::GetTrigger", 1247, "error", false, true},
                      StepFailure{"ITaskTrigger::GetTrigger", 1248, "error", false, true},
                      StepFailure{"ITaskTrigger::SetTrigger", 1249, "error", false, true},
                      StepFailure{"ITask::QueryInterface", 1250, "error", false, true},
                      StepFailure{"IPersistFile::Save", 1251, "error", false, true},
                      StepFailure{"ITaskScheduler::NewWorkItem", 1252, "error", false, false},
                      StepFailure{"ITask::SetAccountInformation", 1253, "error", false, false},
                      StepFailure{"ITask::CreateTrigger", 1254, "error", false, false},
                      StepFailure{"ITask::SetCreator", 1421, "warning", true, false},
                      StepFailure{"ITask::SetComment", 1422, "warning", true, false},
                      StepFailure{"ITask::SetApplicationName", 1423, "warning", true, false},
                      StepFailure{"ITask::SetFlags", 1424, "warning", true, false},
                      StepFailure{"ITaskTrigger::SetTrigger", 1255, "error", false, false},
                      StepFailure{"ITask::QueryInterface", 1256, "error", false, false},
                      StepFailure{"IPersistFile::Save", 1257, "error", false, false}));

TEST(Removal1, DeletesByNameAndReportsOnlyExactSuccess) {
    testsupport::LogCapture log;
    fake2::Recorder rec;
    fake2::FakePlatform platform(rec);
    rec.taskExists = true;
    EXPECT_TRUE(removeWithScheduler1(platform));
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"CoInitialize", "CoCreateInstance(CTaskScheduler)",
                                                   "ITaskScheduler::Delete(Orvane Vextra Player Updater)",
                                                   "CoUninitialize"}));
    EXPECT_FALSE(removeWithScheduler1(platform));
    rec.taskExists = true;
    rec.fail("ITaskScheduler::Delete", S_FALSE);
    EXPECT_FALSE(removeWithScheduler1(platform));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(rec.live, 0);
}

// The scheduler may hold its task file for a moment: a sharing violation is waited out, for a
// while; any other failure is final at once.
TEST(Removal1, ASharingViolationIsTriedAgainForAWhile) {
    const HRESULT busy = HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    struct Case { int failures; HRESULT status; bool removed; int deletes; };
    const Case cases[] = {
        {2, busy, true, 3},
        {kTask1DeleteAttempts - 1, busy, true, kTask1DeleteAttempts},
        {-1, busy, false, kTask1DeleteAttempts},
        {-1, E_ACCESSDENIED, false, 1},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        fake2::Recorder rec;
        fake2::FakePlatform platform(rec);
        rec.taskExists = true;
        rec.failTimes("ITaskScheduler::Delete", c.failures, c.status);
        EXPECT_EQ(removeWithScheduler1(platform), c.removed) << c.failures;
        EXPECT_EQ(std::count(rec.calls.begin(), rec.calls.end(), "ITaskScheduler::Delete(Orvane Vextra Player Updater)"),
                  c.deletes) << c.failures;
        EXPECT_TRUE(log.lines().empty());
        EXPECT_EQ(rec.live, 0);
    }
}

TEST(Removal1, FailuresBeforeTheDeleteLogTheirCodes) {
    const std::pair<const char*, int> steps[] = {{"CoInitialize", 1294}, {"CoCreateInstance", 1293}};
    for (const auto& step : steps) {
        testsupport::LogCapture log;
        fake2::Recorder rec;
        fake2::FakePlatform platform(rec);
        rec.fail(step.first, E_FAIL, 31);
        EXPECT_FALSE(removeWithScheduler1(platform));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"error " + std::to_string(step.second) + " 31"});
        EXPECT_EQ(rec.indexOf("ITaskScheduler::Delete"), -1);
    }
}

}  // namespace

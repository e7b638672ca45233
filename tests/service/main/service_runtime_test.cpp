// The service runtime's status reports and control handling, with the reports routed to a
// recorder instead of the service control manager. The run under the real service control
// manager is shown by the end-to-end tests.
#include <gtest/gtest.h>

#include <vector>

#include "support/log_capture.h"
#include "main/service_run_context.h"
#include "main/service_runtime.h"
#include "platform/transfer_control.h"

namespace {

using testsupport::LogCapture;

struct Report {
    DWORD state, accepted, checkpoint, waitHint, type, exitCode, specific;
    bool operator==(const Report& o) const {
        return state == o.state && accepted == o.accepted && checkpoint == o.checkpoint &&
               waitHint == o.waitHint && type == o.type && exitCode == o.exitCode &&
               specific == o.specific;
    }
};

std::vector<Report> reports;
// Set by a test that lets the control handler's last report wait (up to half a second) for the
// worker's stopped report, the moment at which the two threads meet.
HANDLE workerStopped = nullptr;
DWORD handlerThread = 0;

void record(SERVICE_STATUS_HANDLE, const SERVICE_STATUS& s) {
    const Report r{s.dwCurrentState, s.dwControlsAccepted, s.dwCheckPoint, s.dwWaitHint,
                   s.dwServiceType, s.dwWin32ExitCode, s.dwServiceSpecificExitCode};
    if (workerStopped && GetCurrentThreadId() == handlerThread && r.checkpoint == 3)
        WaitForSingleObject(workerStopped, 500);
    reports.push_back(r);
}

// The worker's end of the cycle: as soon as the stop is raised, the cycle ends and the worker
// reports stopped.
DWORD WINAPI workerEndingAtTheStop(void*) {
    WaitForSingleObject(serviceStopSignal().event(), INFINITE);
    reportServiceStatus(SERVICE_STOPPED, 0);
    SetEvent(workerStopped);
    return 0;
}

class ServiceRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        reports.clear();
        resetServiceRuntimeStateForTesting();
        setServiceStatusSinkForTesting(&record);
    }
    void TearDown() override { setServiceStatusSinkForTesting(nullptr); }
    LogCapture log;
};

std::ostream& operator<<(std::ostream& os, const Report& r) {
    return os << "{state " << r.state << ", accepted " << r.accepted << ", checkpoint "
              << r.checkpoint << ", hint " << r.waitHint << "}";
}

// Sets the thread's last error, as a failed step leaves it.
struct SetLastErrorKeeper {
    explicit SetLastErrorKeeper(DWORD error) { SetLastError(error); }
};

// From running on, the service takes stop and shutdown requests.
const DWORD kAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

TEST(ServiceStatusRecord, StateDecidesAcceptedControlsAndCheckpoint) {
    SERVICE_STATUS s = {};
    uint32_t counter = 1;
    fillServiceStatus(s, counter, SERVICE_START_PENDING, 3000);
    EXPECT_EQ(s.dwControlsAccepted, 0u);
    EXPECT_EQ(s.dwCheckPoint, 1u);
    EXPECT_EQ(s.dwWaitHint, 3000u);
    fillServiceStatus(s, counter, SERVICE_RUNNING, 0);
    EXPECT_EQ(s.dwControlsAccepted, kAccepted);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    fillServiceStatus(s, counter, SERVICE_STOP_PENDING, 0);
    EXPECT_EQ(s.dwCheckPoint, 2u) << "the counter is never reset by running";
    EXPECT_EQ(s.dwControlsAccepted, kAccepted);
    fillServiceStatus(s, counter, SERVICE_STOPPED, 0);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwControlsAccepted, kAccepted);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(counter, 3u);
}

TEST_F(ServiceRuntime, StopDuringTheCycleInsertsTwoStopPendingReports) {
    reportServiceStatus(SERVICE_START_PENDING, 3000);
    reportServiceStatus(SERVICE_RUNNING, 0);
    serviceControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(serviceStopSignal().requested()) << "a download under way is to end";
    reportServiceStatus(SERVICE_STOPPED, 0);  // the cycle ran to its end first
    const DWORD stop = kAccepted;
    std::vector<Report> expected = {
        {SERVICE_START_PENDING, 0, 1, 3000, 0, 0, 0},
        {SERVICE_RUNNING, stop, 0, 0, 0, 0, 0},
        {SERVICE_STOP_PENDING, stop, 2, kStopWaitHintMs, 0, 0, 0},
        {SERVICE_STOP_PENDING, stop, 3, kStopWaitHintMs, 0, 0, 0},
        {SERVICE_STOPPED, stop, 0, 0, 0, 0, 0},
    };
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info 1622 1", "info 1623"}));
}

// A stop pending tells the service control manager how long to wait, and every step the
// cycle still takes after it (read back, check, verify, write) reports the next checkpoint;
// before the stop and after STOPPED nothing is reported.
TEST_F(ServiceRuntime, StopPendingCarriesAWaitHintAndCheckpointsWhileStepsRun) {
    ASSERT_GE(kStopWaitHintMs, 10u * 1000u);
    setStopProgressReporter(&reportStopProgress);
    reportServiceStatus(SERVICE_RUNNING, 0);
    noteStopProgress();  // no stop yet: the cycle's steps report nothing
    ASSERT_EQ(reports.size(), 1u);
    serviceControlHandler(SERVICE_CONTROL_STOP);
    const SetLastErrorKeeper keep(1234);
    noteStopProgress();
    EXPECT_EQ(GetLastError(), 1234u) << "a failure's cause survives the report";
    noteStopProgress();
    reportServiceStatus(SERVICE_STOPPED, 0);
    noteStopProgress();
    setStopProgressReporter(nullptr);
    const DWORD stop = kAccepted;
    const std::vector<Report> expected = {
        {SERVICE_RUNNING, stop, 0, 0, 0, 0, 0},
        {SERVICE_STOP_PENDING, stop, 1, kStopWaitHintMs, 0, 0, 0},
        {SERVICE_STOP_PENDING, stop, 2, kStopWaitHintMs, 0, 0, 0},
        {SERVICE_STOP_PENDING, stop, 3, kStopWaitHintMs, 0, 0, 0},
        {SERVICE_STOP_PENDING, stop, 4, kStopWaitHintMs, 0, 0, 0},
        {SERVICE_STOPPED, stop, 0, 0, 0, 0, 0},
    };
    EXPECT_EQ(reports, expected);
}

TEST_F(ServiceRuntime, StoppedIsTheLastReportWhateverTheStopRaces) {
    const DWORD stop = kAccepted;
    const Report running{SERVICE_RUNNING, stop, 0, 0, 0, 0, 0};
    const Report stopped{SERVICE_STOPPED, stop, 0, 0, 0, 0, 0};

    // A stop that arrives after the worker reported stopped is logged, not reported.
    reportServiceStatus(SERVICE_RUNNING, 0);
    reportServiceStatus(SERVICE_STOPPED, 0);
    serviceControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(reports, (std::vector<Report>{running, stopped}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info 1622 1", "info 1623"}));
}

TEST_F(ServiceRuntime, StoppedStaysLastWhenTheWorkerEndsAsTheStopIsRaised) {
    // The worker reports stopped the moment the handler raises the stop, while the handler
    // still has its last report to make.
    const DWORD stop = kAccepted;
    const Report starting{SERVICE_START_PENDING, 0, 1, 3000, 0, 0, 0};
    const Report running{SERVICE_RUNNING, stop, 0, 0, 0, 0, 0};
    const Report stopped{SERVICE_STOPPED, stop, 0, 0, 0, 0, 0};
    const Report pending2{SERVICE_STOP_PENDING, stop, 2, kStopWaitHintMs, 0, 0, 0};
    const Report pending3{SERVICE_STOP_PENDING, stop, 3, kStopWaitHintMs, 0, 0, 0};
    workerStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    handlerThread = GetCurrentThreadId();
    reportServiceStatus(SERVICE_START_PENDING, 3000);
    reportServiceStatus(SERVICE_RUNNING, 0);
    HANDLE worker = CreateThread(nullptr, 0, &workerEndingAtTheStop, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    serviceControlHandler(SERVICE_CONTROL_STOP);
    WaitForSingleObject(worker, 5000);
    CloseHandle(worker);
    CloseHandle(workerStopped);
    workerStopped = nullptr;
    // The handler's last report comes before the worker's, or not at all.
    std::vector<Report> expected{starting, running, pending2, pending3, stopped};
    if (reports.size() == 4) expected.erase(expected.begin() + 3);
    EXPECT_EQ(reports, expected);
}

TEST_F(ServiceRuntime, ShutdownIsHandledAsAStop) {
    reportServiceStatus(SERVICE_RUNNING, 0);
    serviceControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_TRUE(serviceStopSignal().requested());
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info 1622 5", "info 1623"}));
}

TEST_F(ServiceRuntime, OtherControlsAreLoggedAndOtherwiseIgnored) {
    for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_PAUSE), DWORD(128)}) {
        serviceControlHandler(control);
    }
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(serviceStopSignal().requested());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info 1622 4", "info 1622 2",
                                                      "info 1622 128"}));
}

TEST_F(ServiceRuntime, WorkerWithoutRunContextReportsRunningAndStoppedAndLogs1241) {
    ASSERT_EQ(activeRunContext, nullptr);
    serviceWorker();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_STOPPED));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error 1241 ", 0), 0u) << "got: " << lines[0];
}

TEST_F(ServiceRuntime, WorkerRunsOneCycleBetweenRunningAndStopped) {
    // No kvc.cfg in this prefix: silent auto-update is off, so the cycle only marks its ends.
    ServiceRunContext context(L"C:\\windows\\VextraPlayerUpdateService.exe");
    const size_t before = log.lines().size();  // the settings load may log its own lines
    activeRunContext = &context;
    serviceWorker();
    activeRunContext = nullptr;
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_STOPPED));
    auto lines = log.lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + before, lines.end()),
              (std::vector<std::string>{"info 1608", "info 1612"}));
}

TEST_F(ServiceRuntime, ServiceMainOutsideTheServiceControlManagerReportsNothing) {
    serviceMain(0, nullptr);
    if (!reports.empty()) {
        GTEST_SKIP() << "this Wine registered a control handler for a process the service "
                        "control manager did not start";
    }
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error 1240 ", 0), 0u);
}

}  // namespace

// ServiceControl against the real service control manager of the test's Wine prefix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/update_state.h"
#include "main/service_control.h"
#include "main/scm_support.h"
#include "support/log_capture.h"

using testsupport::LogCapture;
using testsupport::queryServiceConfig;
using testsupport::serviceState;
using testsupport::waitForState;

namespace {

const std::wstring kProbeService = std::wstring(VEXTRA_BUILD_DIR_W) + L"\\programs\\registration_probe_service.exe";
const std::wstring kMissingBinary = L"C:\\nowhere\\VextraPlayerUpdateService.exe";

// A service with a name of its own per test, removed again at the end.
class ScratchService {
public:
    explicit ScratchService(const wchar_t* name, std::wstring path = kMissingBinary,
                            std::wstring display = L"Vextra Test Service")
        : control(path, name, display) {}
    ~ScratchService() {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = manager ? OpenServiceW(manager, control.serviceName().c_str(), SERVICE_ALL_ACCESS) : nullptr;
        if (service) {
            SERVICE_STATUS status = {};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            waitForState(control.serviceName(), SERVICE_STOPPED);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        if (manager) CloseServiceHandle(manager);
    }
    ServiceControl control;
};

TEST(ServiceControl, CreatesADemandStartOwnProcessServiceRunningAsLocalSystem) {
    LogCapture log;
    ScratchService s(L"VextraTestCreate", L"C:\\Program Files\\Orvane Vextra\\VextraPlayerUpdateService.exe",
                     L"Vextra Create Display");
    EXPECT_FALSE(s.control.isInstalled());
    EXPECT_TRUE(log.lines().empty()) << "a missing service is not an error for isInstalled";

    EXPECT_TRUE(s.control.createService());
    EXPECT_TRUE(s.control.isInstalled());
    const auto config = queryServiceConfig(L"VextraTestCreate");
    ASSERT_TRUE(config.found);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.binaryPath, L"\"C:\\Program Files\\Orvane Vextra\\VextraPlayerUpdateService.exe\"")
        << "a path with spaces is registered in quotes, without arguments";
    EXPECT_EQ(config.account, L"LocalSystem");
    EXPECT_EQ(config.displayName, L"Vextra Create Display");
    // This test program carries no string table, so the description is the fallback text.
    EXPECT_EQ(config.description, L"MISSING LOCALIZATION");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1603"});
}

TEST(ServiceControl, CreatingAnExistingServiceFailsWith1220) {
    LogCapture log;
    ScratchService s(L"VextraTestTwice");
    ASSERT_TRUE(s.control.createService());
    EXPECT_FALSE(s.control.createService());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info 1603", "error 1220 1073"}));
}

TEST(ServiceControl, EveryOperationOnAMissingServiceLogsItsOpenCode) {
    LogCapture log;
    ServiceControl control(kMissingBinary, L"VextraTestAbsent", L"Absent");
    EXPECT_FALSE(control.startService());
    EXPECT_FALSE(control.stopService());
    EXPECT_FALSE(control.deleteService());
    EXPECT_FALSE(control.setDescription());
    EXPECT_FALSE(control.updateConfig());
    EXPECT_FALSE(control.isInstalled());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"error 1222 1060", "error 1225 1060", "error 1228 1060",
                                                     "error 1231 1060", "error 1304 1060"}));
}

TEST(ServiceControl, StartStopAndDeleteARunningService) {
    LogCapture log;
    ScratchService s(kServiceName, kProbeService);
    ASSERT_TRUE(s.control.createService());
    ASSERT_TRUE(s.control.startService());
    ASSERT_TRUE(waitForState(kServiceName, SERVICE_RUNNING));
    EXPECT_FALSE(s.control.startService()) << "a second start request";
    EXPECT_TRUE(s.control.stopService());
    ASSERT_TRUE(waitForState(kServiceName, SERVICE_STOPPED));
    EXPECT_FALSE(s.control.stopService()) << "not running any more";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE))
        << "the reason stays readable for the caller";
    EXPECT_TRUE(s.control.deleteService());
    EXPECT_FALSE(s.control.isInstalled());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"info 1603", "info 1604", "error 1223 1056", "info 1605",
                                                     "error 1226 1062", "info 1606"}));
}

TEST(ServiceControl, StartingAServiceWhoseProgramIsMissingFailsWith1223) {
    LogCapture log;
    ScratchService s(L"VextraTestNoBinary");
    ASSERT_TRUE(s.control.createService());
    EXPECT_FALSE(s.control.startService());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("error 1223 ", 0), 0u) << lines[1];
}

TEST(ServiceControl, UpdateConfigMovesBinaryPathAndDisplayNameOnly) {
    LogCapture log;
    {
        ServiceControl old(L"C:\\old\\VextraPlayerUpdateService.exe", L"VextraTestUpdate", L"Old Display");
        ASSERT_TRUE(old.createService());
    }
    ScratchService s(L"VextraTestUpdate", L"C:\\new place\\VextraPlayerUpdateService.exe", L"New Display");
    EXPECT_TRUE(s.control.updateConfig());
    const auto config = queryServiceConfig(L"VextraTestUpdate");
    EXPECT_EQ(config.binaryPath, L"\"C:\\new place\\VextraPlayerUpdateService.exe\"");
    EXPECT_EQ(config.displayName, L"New Display");
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.account, L"LocalSystem");
    EXPECT_EQ(config.description, L"MISSING LOCALIZATION");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info 1603"});
}

TEST(ServiceBinaryPath, QuotesOnlyAPathWithASpace) {
    EXPECT_EQ(serviceBinaryPath(L"C:\\Vextra\\VextraPlayerUpdateService.exe"), L"C:\\Vextra\\VextraPlayerUpdateService.exe");
    EXPECT_EQ(serviceBinaryPath(L"C:\\Program Files\\VextraPlayerUpdateService.exe"),
              L"\"C:\\Program Files\\VextraPlayerUpdateService.exe\"");
    EXPECT_EQ(serviceBinaryPath(L"\"C:\\Program Files\\a.exe\""), L"\"C:\\Program Files\\a.exe\"");
}

TEST(ServiceControl, AServiceInAFolderWithASpaceStartsFromItsQuotedPath) {
    // With an unquoted path the service control manager would look for "C:\Program.exe" first;
    // a decoy there must not be what runs.
    LogCapture log;
    wchar_t windows[MAX_PATH + 1] = {};
    GetWindowsDirectoryW(windows, MAX_PATH + 1);
    const std::wstring drive = std::wstring(windows).substr(0, 3);
    const std::wstring folder = drive + L"Vextra Space Test";
    const std::wstring program = folder + L"\\probe service.exe";
    const std::wstring decoy = drive + L"Vextra.exe";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(kProbeService.c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(testsupport::writeBytes(decoy, "not a program"));
    {
        ScratchService s(kServiceName, program);
        ASSERT_TRUE(s.control.createService());
        EXPECT_TRUE(s.control.startService());
        EXPECT_TRUE(waitForState(kServiceName, SERVICE_RUNNING));
        EXPECT_EQ(queryServiceConfig(kServiceName).binaryPath, L"\"" + program + L"\"");
    }
    DeleteFileW(decoy.c_str());
    DeleteFileW(program.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(ServiceControl, UpdateConfigToADisplayNameTakenByAnotherServiceWarns1427) {
    LogCapture log;
    ScratchService other(L"VextraTestOther", kMissingBinary, L"Taken Display");
    ASSERT_TRUE(other.control.createService());
    ScratchService s(L"VextraTestClash", kMissingBinary, L"Own Display");
    ASSERT_TRUE(s.control.createService());
    ServiceControl clash(kMissingBinary, L"VextraTestClash", L"Taken Display");
    const bool changed = clash.updateConfig();
    if (changed) GTEST_SKIP() << "Wine accepts a display name that another service already has";
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("warning 1427 ", 0), 0u) << lines[2];
}

TEST(ServiceControl, AServiceMarkedForDeletionCannotBeDeletedOrReconfigured) {
    LogCapture log;
    ScratchService s(kServiceName, kProbeService);
    ASSERT_TRUE(s.control.createService());
    ASSERT_TRUE(s.control.startService());
    ASSERT_TRUE(waitForState(kServiceName, SERVICE_RUNNING));
    EXPECT_TRUE(s.control.deleteService()) << "a running service is only marked";
    const bool again = s.control.deleteService();
    if (again) GTEST_SKIP() << "Wine lets a service marked for deletion be deleted again";
    EXPECT_EQ(log.lines().back(), "error 1229 1072");
    // A service marked for deletion takes no new configuration either (a warning only).
    EXPECT_FALSE(s.control.updateConfig());
    EXPECT_EQ(log.lines().back(), "warning 1427 1072");
}

}  // namespace

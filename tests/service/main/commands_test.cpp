// "-install", "-createDefaultTask" and "-deleteTask" as the entry point calls them, against the
// prefix's service control manager and registry. The task codes that Wine's scheduler adds to
// the log are left out here; the task itself is tested on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/update_state.h"
#include "main/service_control.h"
#include "main/scm_support.h"
#include "support/log_capture.h"

using testsupport::LogCapture;
using testsupport::queryServiceConfig;
using testsupport::waitForState;

namespace {

const std::wstring kProbeService = std::wstring(VEXTRA_BUILD_DIR_W) + L"\\programs\\registration_probe_service.exe";

// The log's codes of the service registration only (12xx below 1242, 1302 to 1304, 1427, 160x).
std::vector<std::string> serviceCodes(const LogCapture& log) {
    std::vector<std::string> out;
    for (const std::string& line : log.lines()) {
        const std::string message = line.substr(line.find(' ') + 1);
        const int code = std::stoi(message.substr(0, message.find(' ')));
        if ((code >= 1219 && code <= 1232) || (code >= 1302 && code <= 1304) || code == 1427 ||
            (code >= 1603 && code <= 1606))
            out.push_back(message);
    }
    return out;
}

bool valueExists(const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const bool found = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

uint64_t readNumber(const wchar_t* name, DWORD* type) {
    uint64_t value = 0;
    DWORD size = sizeof value;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ~0ULL;
    RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return value;
}

void removeService(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        waitForState(name, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

class Commands : public ::testing::Test {
protected:
    void TearDown() override {
        removeService(kServiceName);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UpdateStateStore::kKeyPath);
    }
    LogCapture log;
};

TEST_F(Commands, CreateDefaultTaskResetsTheUpdateState) {
    uint32_t three = 3;
    UpdateStateStore::writeUpdateAttempts(6);
    UpdateStateStore::recordLastUpdateCheck(false);
    UpdateStateStore::writeCheckFrequency(&three);
    createDefaultTask(L"C:\\VextraPlayerUpdateService.exe");
    DWORD type = 0;
    EXPECT_EQ(readNumber(L"UpdateAttempts", &type), 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(readNumber(L"LastUpdateCheck", &type), 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(readNumber(L"CheckFrequency", &type), 1u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(UpdateStateStore::isCheckDue());
}

TEST_F(Commands, DeleteTaskRemovesTheStateValuesInOrder) {
    createDefaultTask(L"C:\\VextraPlayerUpdateService.exe");
    deleteTask();
    EXPECT_FALSE(valueExists(L"UpdateAttempts"));
    EXPECT_FALSE(valueExists(L"LastUpdateCheck"));
    EXPECT_FALSE(valueExists(L"CheckFrequency"));
}

TEST_F(Commands, DeleteTaskKeepsTheOtherValuesWhenUpdateAttemptsIsAbsent) {
    UpdateStateStore::recordLastUpdateCheck(false);
    UpdateStateStore::writeCheckFrequency(nullptr);
    deleteTask();
    EXPECT_TRUE(valueExists(L"LastUpdateCheck"));
    EXPECT_TRUE(valueExists(L"CheckFrequency"));
}

TEST_F(Commands, FirstInstallCreatesTheService) {
    ServiceControl control(L"C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe", kServiceName,
                           kServiceDisplayName);
    control.install();
    EXPECT_EQ(serviceCodes(log), std::vector<std::string>{"1603"});
    const auto config = queryServiceConfig(kServiceName);
    ASSERT_TRUE(config.found);
    EXPECT_EQ(config.binaryPath, L"\"C:\\Program Files\\Orvane\\VextraPlayerUpdateService.exe\"");
    EXPECT_EQ(config.displayName, L"Orvane Vextra Player Update Service");
    EXPECT_EQ(readNumber(L"UpdateAttempts", nullptr), 0u) << "the task step ran as well";
}

TEST_F(Commands, InstallOnARunningServiceStopsItAndMovesItsRegistration) {
    ServiceControl first(kProbeService, kServiceName, L"Old Display");
    ASSERT_TRUE(first.createService());
    ASSERT_TRUE(first.startService());
    ASSERT_TRUE(waitForState(kServiceName, SERVICE_RUNNING));

    ServiceControl again(L"C:\\new\\VextraPlayerUpdateService.exe", kServiceName, kServiceDisplayName);
    again.install();
    EXPECT_EQ(serviceCodes(log), (std::vector<std::string>{"1603", "1604", "1605"}));
    EXPECT_TRUE(waitForState(kServiceName, SERVICE_STOPPED)) << "the stop control reached the service";
    const auto config = queryServiceConfig(kServiceName);
    EXPECT_EQ(config.binaryPath, L"C:\\new\\VextraPlayerUpdateService.exe");
    EXPECT_EQ(config.displayName, L"Orvane Vextra Player Update Service");
    EXPECT_EQ(config.description, L"MISSING LOCALIZATION");
}

TEST_F(Commands, InstallOnAStoppedServiceStillMovesItsRegistration) {
    // The service runs one cycle and stops, so this is its usual state: the failed stop request
    // is logged (1226 with 1062), and the registration is still brought up to date.
    ServiceControl first(L"C:\\old\\VextraPlayerUpdateService.exe", kServiceName, L"Old Display");
    ASSERT_TRUE(first.createService());

    ServiceControl again(L"C:\\new\\VextraPlayerUpdateService.exe", kServiceName, kServiceDisplayName);
    again.install();
    EXPECT_EQ(serviceCodes(log), (std::vector<std::string>{"1603", "1226 1062"}));
    const auto config = queryServiceConfig(kServiceName);
    EXPECT_EQ(config.binaryPath, L"C:\\new\\VextraPlayerUpdateService.exe");
    EXPECT_EQ(config.displayName, L"Orvane Vextra Player Update Service");
}

}  // namespace

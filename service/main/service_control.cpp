// Registration of the service with the service control manager, and the task and registry
// state work that goes with "-install", "-uninstall", "-deleteTask" and "-createDefaultTask".
#include "main/service_control.h"

#include <windows.h>

#include <utility>

#include "log/service_log.h"
#include "config/update_state.h"
#include "download/staging_folder.h"
#include "resources/string_resources.h"
#include "task/scheduled_task.h"

const wchar_t kServiceName[] = L"OrvaneVextraPlayerUpdateSvc";
const wchar_t kServiceDisplayName[] = L"Orvane Vextra Player Update Service";

namespace {

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() { close(); }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void close() {
        if (handle_) {
            CloseServiceHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    SC_HANDLE handle_;
};

// Logs "<code> <GetLastError>" at the level and leaves the error value as it was, so that a
// caller can still tell why the operation failed.
void logFailure(LogLevel level, MessageCode code, DWORD error) {
    ServiceLog::write(level, codeText(code, static_cast<int32_t>(error)));
    SetLastError(error);
}

void logSuccess(MessageCode code) { ServiceLog::write(LogLevel::Info, codeText(code)); }

struct Codes {
    MessageCode manager;
    MessageCode service;
    MessageCode call;
    LogLevel callLevel;
};

// The one pattern of every SCM operation: open the manager, open the service, make the call;
// each failure logs its code with GetLastError and closes what was opened. On success both
// handles are closed, service first.
template <class Call>
bool withService(const std::wstring& serviceName, DWORD managerAccess, DWORD serviceAccess,
                 const Codes& codes, Call call) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, managerAccess));
    if (!manager) {
        logFailure(LogLevel::Error, codes.manager, GetLastError());
        return false;
    }
    ScHandle service(OpenServiceW(manager.get(), serviceName.c_str(), serviceAccess));
    if (!service) {
        const DWORD error = GetLastError();
        logFailure(LogLevel::Error, codes.service, error);
        manager.close();
        SetLastError(error);
        return false;
    }
    if (!call(service.get())) {
        const DWORD error = GetLastError();
        logFailure(codes.callLevel, codes.call, error);
        service.close();
        manager.close();
        SetLastError(error);
        return false;
    }
    service.close();
    manager.close();
    return true;
}

}  // namespace

std::wstring serviceBinaryPath(const std::wstring& programPath) {
    const bool quoted = programPath.size() >= 2 && programPath.front() == L'"' && programPath.back() == L'"';
    if (quoted || programPath.find(L' ') == std::wstring::npos) return programPath;
    return L"\"" + programPath + L"\"";
}

ServiceControl::ServiceControl(std::wstring programPath, std::wstring serviceName,
                               std::wstring displayName)
    : programPath_(std::move(programPath)),
      serviceName_(std::move(serviceName)),
      displayName_(std::move(displayName)) {}

bool ServiceControl::isInstalled() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        logFailure(LogLevel::Error, MessageCode::IsInstalledOpenManagerFailed, GetLastError());
        return false;
    }
    ScHandle service(OpenServiceW(manager.get(), serviceName_.c_str(), SERVICE_ALL_ACCESS));
    return static_cast<bool>(service);
}

bool ServiceControl::createService() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        logFailure(LogLevel::Error, MessageCode::CreateServiceOpenManagerFailed, GetLastError());
        return false;
    }
    // No account: the service runs as LocalSystem. The binary path is the program path without
    // arguments, quoted only when it holds a space.
    const std::wstring binaryPath = serviceBinaryPath(programPath_);
    ScHandle service(CreateServiceW(manager.get(), serviceName_.c_str(), displayName_.c_str(),
                                    SERVICE_START | SERVICE_STOP, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        logFailure(LogLevel::Error, MessageCode::CreateServiceFailed, error);
        manager.close();
        SetLastError(error);
        return false;
    }
    service.close();
    manager.close();
    logSuccess(MessageCode::ServiceCreated);
    return setDescription();
}

bool ServiceControl::updateConfig() {
    const std::wstring binaryPath = serviceBinaryPath(programPath_);
    const bool changed = withService(
        serviceName_, SC_MANAGER_ALL_ACCESS, SERVICE_CHANGE_CONFIG,
        {MessageCode::UpdateConfigOpenManagerFailed, MessageCode::UpdateConfigOpenServiceFailed,
         MessageCode::UpdateConfigChangeFailed, LogLevel::Warning},
        [&](SC_HANDLE service) {
            return ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                        binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr,
                                        nullptr, displayName_.c_str()) != FALSE;
        });
    if (!changed) return false;
    return setDescription();
}

bool ServiceControl::setDescription() {
    std::wstring text = loadProgramText(kServiceDescriptionId);
    return withService(serviceName_, SC_MANAGER_ALL_ACCESS, SERVICE_CHANGE_CONFIG,
                       {MessageCode::SetDescriptionOpenManagerFailed,
                        MessageCode::SetDescriptionOpenServiceFailed,
                        MessageCode::SetDescriptionChangeConfigFailed, LogLevel::Error},
                       [&](SC_HANDLE service) {
                           SERVICE_DESCRIPTIONW description;
                           description.lpDescription = &text[0];
                           return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION,
                                                        &description) != FALSE;
                       });
}

bool ServiceControl::startService() {
    if (!withService(
            serviceName_, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS,
            {MessageCode::StartServiceOpenManagerFailed, MessageCode::StartServiceOpenServiceFailed,
             MessageCode::StartServiceFailed, LogLevel::Error},
            [](SC_HANDLE service) { return StartServiceA(service, 0, nullptr) != FALSE; }))
        return false;
    logSuccess(MessageCode::ServiceStartRequested);
    return true;
}

bool ServiceControl::stopService() {
    if (!withService(
            serviceName_, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS,
            {MessageCode::StopServiceOpenManagerFailed, MessageCode::StopServiceOpenServiceFailed,
             MessageCode::StopServiceControlFailed, LogLevel::Error},
            [](SC_HANDLE service) {
                SERVICE_STATUS status = {};
                return ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
            }))
        return false;
    logSuccess(MessageCode::ServiceStopSent);
    return true;
}

bool ServiceControl::deleteService() {
    if (!withService(serviceName_, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS,
                     {MessageCode::DeleteServiceOpenManagerFailed,
                      MessageCode::DeleteServiceOpenServiceFailed, MessageCode::DeleteServiceFailed,
                      LogLevel::Error},
                     [](SC_HANDLE service) { return DeleteService(service) != FALSE; }))
        return false;
    logSuccess(MessageCode::ServiceMarkedForDeletion);
    return true;
}

bool ServiceControl::install() {
    bool ok;
    if (isInstalled()) {
        // The service normally runs for one cycle and stops, so a registered service is
        // usually not running: a stop request that failed only because of that (1062, logged
        // with StopServiceControlFailed) must not keep the registration pointing at an old binary.
        bool stopped = stopService();
        if (!stopped && GetLastError() == ERROR_SERVICE_NOT_ACTIVE) stopped = true;
        ok = stopped && updateConfig();
    } else {
        ok = createService();
    }
    const bool taskOk = createDefaultTask(programPath_);
    return taskOk && ok;
}

void deleteTask() {
    if (UpdateStateStore::deleteUpdateAttempts() && UpdateStateStore::deleteLastUpdateCheck())
        UpdateStateStore::deleteCheckFrequency();
    // Without the task no start resumes a cut download: its part goes now.
    removeAllKeptParts(MessageCode::KeptPartRemovedByCommand);
    if (currentSchedulerVersion() == 2)
        removeWithScheduler2();
    else
        removeWithScheduler1();
}

bool createDefaultTask(const std::wstring& programPath) {
    if (UpdateStateStore::writeUpdateAttempts(0) && UpdateStateStore::recordLastUpdateCheck(true))
        UpdateStateStore::writeCheckFrequency(nullptr);
    return registerScheduledTask(programPath);
}

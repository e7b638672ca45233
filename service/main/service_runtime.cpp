// The service runtime: dispatcher, service entry, control handler and status reports.
//
// Two threads take part: the main thread runs the dispatcher and receives the controls, the
// dispatcher's service thread runs serviceMain and the whole update cycle. Both report through
// the one status record, one report at a time, and nothing is reported once SERVICE_STOPPED
// was: a stop that races the end of the cycle must not leave the service "stop pending".
#include "main/service_runtime.h"

#include "log/service_log.h"
#include "main/service_run_context.h"
#include "platform/transfer_control.h"
#include "update/update_cycle.h"

#include <string>

namespace {

wchar_t serviceNameBuffer[] = L"OrvaneVextraPlayerUpdateSvc";

SERVICE_STATUS statusRecord = {};
SERVICE_STATUS_HANDLE statusHandle = nullptr;
uint32_t checkpointCounter = 1;
HANDLE stopEvent = nullptr;
bool stoppedReported = false;

// Guards the status record, the counter and stoppedReported.
CRITICAL_SECTION& statusLock() {
    static CRITICAL_SECTION* lock = [] {
        CRITICAL_SECTION* made = new CRITICAL_SECTION;
        InitializeCriticalSection(made);
        return made;
    }();
    return *lock;
}

void sendToServiceControlManager(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& record) {
    SERVICE_STATUS copy = record;
    SetServiceStatus(handle, &copy);  // the result is not used
}

ServiceStatusSink statusSink = &sendToServiceControlManager;

// One report under the lock; state null repeats the state last stored.
void report(const DWORD* state, DWORD waitHint) {
    EnterCriticalSection(&statusLock());
    if (!stoppedReported) {
        const DWORD next = state ? *state : statusRecord.dwCurrentState;
        fillServiceStatus(statusRecord, checkpointCounter, next, waitHint);
        statusSink(statusHandle, statusRecord);
        stoppedReported = next == SERVICE_STOPPED;
    }
    LeaveCriticalSection(&statusLock());
}

}  // namespace

void setServiceStatusSinkForTesting(ServiceStatusSink sink) {
    statusSink = sink ? sink : &sendToServiceControlManager;
}

void resetServiceRuntimeStateForTesting() {
    statusRecord = SERVICE_STATUS{};
    statusHandle = nullptr;
    checkpointCounter = 1;
    stoppedReported = false;
    stopEvent = nullptr;  // a handle from an earlier run lives until the process ends
    serviceStopSignal().reset();
}

void fillServiceStatus(SERVICE_STATUS& record, uint32_t& counter, DWORD state, DWORD waitHint) {
    record.dwCurrentState = state;
    record.dwWin32ExitCode = 0;
    record.dwWaitHint = waitHint;
    record.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        record.dwCheckPoint = 0;
    } else {
        record.dwCheckPoint = counter++;
    }
}

void reportServiceStatus(DWORD state, DWORD waitHint) { report(&state, waitHint); }

void reportStopProgress() {
    const DWORD pending = SERVICE_STOP_PENDING;
    report(&pending, kStopWaitHintMs);
}

void WINAPI serviceControlHandler(DWORD control) {
    ServiceLog::write(LogLevel::Info,
                      codeText(MessageCode::ServiceControlReceived, static_cast<int32_t>(control)));
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
    reportServiceStatus(SERVICE_STOP_PENDING, kStopWaitHintMs);
    ServiceLog::write(LogLevel::Info, codeText(MessageCode::StopControlHandled));
    if (stopEvent) SetEvent(stopEvent);
    // A transfer under way stops waiting at once: its request pump gives up the helper thread,
    // whose blocked WinHTTP call is left to return by itself (nothing closes a request under a
    // call). A package already downloaded is still checked and written, each step reporting a
    // checkpoint, but not started. The cycle then ends without recording the check, and the
    // worker reports the service stopped.
    serviceStopSignal().request();
    report(nullptr, kStopWaitHintMs);  // the state last stored, unless the worker has reported stopped
}

void serviceWorker() {
    // Never waited on and never closed: a stop reaches the cycle through the stop signal.
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent) {
        reportServiceStatus(SERVICE_STOPPED, 0);
        return;
    }
    reportServiceStatus(SERVICE_RUNNING, 0);
    if (activeRunContext) {
        runUpdateCycle();
    } else {
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::WorkerWithoutRunContext,
                                                    static_cast<int32_t>(GetLastError())));
    }
    reportServiceStatus(SERVICE_STOPPED, 0);
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerW(serviceNameBuffer, &serviceControlHandler);
    if (!statusHandle) {
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::RegisterControlHandlerFailed,
                                                    static_cast<int32_t>(GetLastError())));
        return;
    }
    setStopProgressReporter(&reportStopProgress);
    statusRecord.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    statusRecord.dwServiceSpecificExitCode = 0;
    reportServiceStatus(SERVICE_START_PENDING, 3000);
    serviceWorker();
}

bool runServiceDispatcher() {
    ServiceLog::write(LogLevel::Info, codeText(MessageCode::ConnectingToServiceManager));
    SERVICE_TABLE_ENTRYW table[] = {
        {serviceNameBuffer, &serviceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherW(table)) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::ServiceStopped));
        return true;
    }
    ServiceLog::write(LogLevel::Info, codeText(MessageCode::NotStartedByServiceManager,
                                               static_cast<int32_t>(GetLastError())));
    return false;
}

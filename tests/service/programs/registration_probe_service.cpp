// Test probe: a service named like the update service that stays running until it is sent
// the stop control, so that registration tests can meet a running service.
#include <windows.h>

#include "main/service_control.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void report(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

void WINAPI control(DWORD code) {
    if (code == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
    }
}

void WINAPI serviceEntry(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerW(kServiceName, control);
    if (!statusHandle) return;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_RUNNING);
    WaitForSingleObject(stopEvent, 120000);
    report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int, wchar_t**) {
    wchar_t name[64];
    lstrcpynW(name, kServiceName, 64);
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceEntry}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

#pragma once
// Reads a service's registration back through the service control manager, independently of
// ServiceControl, and waits for a service to reach a state.
#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

struct ServiceConfig {
    bool found = false;
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring account;
    std::wstring displayName;
    std::wstring description;
};

inline ServiceConfig queryServiceConfig(const std::wstring& name) {
    ServiceConfig out;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return out;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG);
    if (service) {
        DWORD needed = 0;
        QueryServiceConfigW(service, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed + 16);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
            out.found = true;
            out.type = config->dwServiceType;
            out.startType = config->dwStartType;
            out.errorControl = config->dwErrorControl;
            out.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
            out.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
            out.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
        }
        needed = 0;
        QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
        std::vector<BYTE> text(needed + 16);
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(text.data());
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, text.data(),
                                 static_cast<DWORD>(text.size()), &needed) &&
            description->lpDescription)
            out.description = description->lpDescription;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return out;
}

// The current state (SERVICE_RUNNING ...), or 0 when the service cannot be queried.
inline DWORD serviceState(const std::wstring& name) {
    DWORD state = 0;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) state = status.dwCurrentState;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

// Polls until the service is in `state`; gives up after a generous bound and returns whether
// the state was reached (the tests assert the state, never the time it took).
inline bool waitForState(const std::wstring& name, DWORD state) {
    for (int i = 0; i < 600; ++i) {
        if (serviceState(name) == state) return true;
        Sleep(50);
    }
    return serviceState(name) == state;
}

}  // namespace testsupport

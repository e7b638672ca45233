// VextraPlayerUpdateService: without an option the Windows service (one update cycle per
// start); with one option an administration command. Nothing is written to the console; the
// service log is the only output besides the exit code.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "config/admin_config.h"
#include "config/service_log.h"
#include "main/service_control.h"
#include "main/service_run_context.h"
#include "main/service_runtime.h"

namespace {

const int kExitSilentAutoUpdateEnabled = 1001;
const int kExitOutOfMemory = -1;

std::wstring modulePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool isExistingFile(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The full path of argument 0, resolved against the current directory. When that does not
// name this program's file (started through the search path, without ".exe", or a path too
// long for MAX_PATH), the loader's own record of the executable is used instead, so the
// service is never registered with a path that does not exist.
std::wstring resolveProgramPath(int argc, wchar_t** argv) {
    if (argc >= 1 && argv[0] && argv[0][0]) {
        wchar_t full[MAX_PATH] = {};
        const DWORD n = GetFullPathNameW(argv[0], MAX_PATH, full, nullptr);
        if (n > 0 && n < MAX_PATH && isExistingFile(full)) return full;
    }
    return modulePath();
}

void runCommand(const wchar_t* option, ServiceControl& control, int& exitCode) {
    if (std::wcscmp(option, L"-install") == 0) {
        control.install();
    } else if (std::wcscmp(option, L"-uninstall") == 0) {
        deleteTask();
        if (control.isInstalled()) {
            control.stopService();
            control.deleteService();  // attempted whatever the stop request returned
        }
    } else if (std::wcscmp(option, L"-deleteTask") == 0) {
        deleteTask();
    } else if (std::wcscmp(option, L"-createDefaultTask") == 0) {
        createDefaultTask(control.programPath());
    } else if (std::wcscmp(option, L"-setSilentAutoUpdate") == 0) {
        setAutoUpdateMode(AutoUpdateMode::Silent);
    } else if (std::wcscmp(option, L"-setNotifyAutoUpdate") == 0) {
        setAutoUpdateMode(AutoUpdateMode::Notify);
    } else if (std::wcscmp(option, L"-setDisableAutoUpdate") == 0) {
        setAutoUpdateMode(AutoUpdateMode::Disable);
    } else if (std::wcscmp(option, L"-isSAUEnabled") == 0) {
        if (isSilentAutoUpdateEnabled()) exitCode = kExitSilentAutoUpdateEnabled;
    }
    // Anything else (other letter case, "/" forms, unknown words): nothing.
}

int runProgram(int argc, wchar_t** argv) {
    std::wstring programPath;
    try {
        programPath = resolveProgramPath(argc, argv);
        ServiceLog::write(LogLevel::Info, programPath);
        ServiceLog::write(LogLevel::Info, L"1617");
        if (argc > 1) ServiceLog::write(LogLevel::Info, argv[1]);
    } catch (const std::bad_alloc&) {
        // Start lines are informational only; the program carries on.
    }

    std::unique_ptr<ServiceControl> control;
    try {
        control.reset(new ServiceControl(programPath, kServiceName, kServiceDisplayName));
    } catch (const std::bad_alloc&) {
        ServiceLog::write(LogLevel::Error,
                          L"1239 " + toWideDecimal(static_cast<int32_t>(GetLastError())));
        return kExitOutOfMemory;
    }

    int exitCode = 0;
    if (argc < 2) {
        std::unique_ptr<ServiceRunContext> context;
        try {
            context.reset(new ServiceRunContext(control->programPath()));
        } catch (const std::bad_alloc&) {
            return kExitOutOfMemory;  // ServiceControl is released on the way out
        }
        activeRunContext = context.get();
        const bool ranAsService = runServiceDispatcher();
        activeRunContext = nullptr;
        context.reset();
        // Started from a prompt or by the scheduled task: have the service control manager
        // start the registered service instead.
        if (!ranAsService) control->startService();
    } else {
        runCommand(argv[1], *control, exitCode);
    }
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return runProgram(argc, argv);
    } catch (const std::bad_alloc&) {
        return kExitOutOfMemory;
    }
}

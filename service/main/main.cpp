// VextraPlayerUpdateService: without an option the Windows service (one update cycle per
// start); with one option an administration command. Nothing is written to the console; the
// service log is the only output besides the exit code.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "config/admin_config.h"
#include "log/service_log.h"
#include "main/service_control.h"
#include "main/service_run_context.h"
#include "main/service_runtime.h"
#include "main/test_hooks.h"
#include "platform/system_library.h"

namespace {

const int kExitSilentAutoUpdateEnabled = 1001;
const int kExitOutOfMemory = -1;

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
        programPath = programFilePath();
        ServiceLog::write(LogLevel::Info, programPath);
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::ProgramStarted));
        if (argc > 1) ServiceLog::write(LogLevel::Info, argv[1]);
    } catch (const std::bad_alloc&) {
        // Start lines are informational only; the program carries on.
    }

    std::unique_ptr<ServiceControl> control;
    try {
        control.reset(new ServiceControl(programPath, kServiceName, kServiceDisplayName));
    } catch (const std::bad_alloc&) {
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::ServiceControlOutOfMemory,
                                                    static_cast<int32_t>(GetLastError())));
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
#ifdef VEXTRA_TEST_HOOKS
        applyTestHooks();
#endif
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
    restrictLibrarySearchToSystemFolder();
    try {
        return runProgram(argc, argv);
    } catch (const std::bad_alloc&) {
        return kExitOutOfMemory;
    }
}

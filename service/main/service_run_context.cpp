#include "main/service_run_context.h"

#include <windows.h>

#include "config/admin_config.h"
#include "config/service_log.h"
#include "download/system_library.h"
#include "main/os_version.h"

ServiceRunContext* activeRunContext = nullptr;

ServiceRunContext::ServiceRunContext(const std::wstring& programPath) : programPath_(programPath) {
    // Start-up checks, in this order; none of them stops the service from running.
    classifyWindowsVersion();
    runningUnderWow64 = runsUnderWow64();
    if (!loadServiceSettings())
        ServiceLog::write(LogLevel::Error,
                          L"1233 " + toWideDecimal(static_cast<int32_t>(GetLastError())));
}

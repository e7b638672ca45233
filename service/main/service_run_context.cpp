#include "main/service_run_context.h"

#include <windows.h>

#include "config/admin_config.h"
#include "log/service_log.h"
#include "platform/system_library.h"
#include "platform/os_version.h"

ServiceRunContext* activeRunContext = nullptr;

std::wstring programFilePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);  // cut short: try a larger buffer
    }
}

ServiceRunContext::ServiceRunContext(const std::wstring& programPath) : programPath_(programPath) {
    // Start-up checks, in this order; none of them stops the service from running.
    classifyWindowsVersion();
    runningUnderWow64 = runsUnderWow64();
    if (!loadServiceSettings())
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::ServiceSettingsNotLoadable,
                                                    static_cast<int32_t>(GetLastError())));
}

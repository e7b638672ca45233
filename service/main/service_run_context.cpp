#include "main/service_run_context.h"

#include <windows.h>

#include "config/admin_config.h"
#include "log/service_log.h"
#include "platform/system_library.h"
#include "platform/os_version.h"

ServiceRunContext* activeRunContext = nullptr;

namespace {

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

}  // namespace

std::wstring resolveProgramPath(const wchar_t* argument0) {
    if (argument0 && argument0[0]) {
        wchar_t full[MAX_PATH] = {};
        const DWORD n = GetFullPathNameW(argument0, MAX_PATH, full, nullptr);
        if (n > 0 && n < MAX_PATH && isExistingFile(full)) return full;
    }
    // A path that names nothing would be registered as the service's binary and the task's
    // program: use the file this process was really started from.
    return modulePath();
}

ServiceRunContext::ServiceRunContext(const std::wstring& programPath) : programPath_(programPath) {
    // Start-up checks, in this order; none of them stops the service from running.
    classifyWindowsVersion();
    runningUnderWow64 = runsUnderWow64();
    if (!loadServiceSettings())
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::ServiceSettingsNotLoadable,
                                                    static_cast<int32_t>(GetLastError())));
}

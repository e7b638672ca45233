#include "log/service_log.h"
#include "platform/file_handle.h"

#include <string>

namespace {

// Written once during start-up (before any second thread exists), read afterwards.
bool verboseLogging = false;

const wchar_t* levelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Info: return L"info";
        case LogLevel::Warning: return L"warning";
        case LogLevel::Error: return L"error";
    }
    return L"";
}

}  // namespace

const wchar_t ServiceLog::kRelativePath[] = L"Telmor\\Vextra\\VextraInstall.log";

std::wstring toWideDecimal(int32_t value) {
    // Built by hand so that INT32_MIN needs no special case and no locale can add grouping.
    wchar_t buffer[16];
    wchar_t* end = buffer + 16;
    wchar_t* p = end;
    int64_t wide = value;
    const bool negative = wide < 0;
    uint64_t magnitude = negative ? static_cast<uint64_t>(-wide) : static_cast<uint64_t>(wide);
    do {
        *--p = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = L'-';
    return std::wstring(p, end);
}

std::wstring codeText(MessageCode code) { return toWideDecimal(static_cast<int32_t>(code)); }

std::wstring codeText(MessageCode code, int32_t detail) {
    return codeText(code) + L" " + toWideDecimal(detail);
}

std::wstring codeText(MessageCode code, const std::wstring& detail) {
    return codeText(code) + L" " + detail;
}

std::wstring formatLogLine(const SYSTEMTIME& utc, LogLevel level, const std::wstring& message) {
    std::wstring line;
    line.reserve(40 + message.size());
    line += toWideDecimal(utc.wYear);
    line += L'-';
    line += toWideDecimal(utc.wMonth);
    line += L'-';
    line += toWideDecimal(utc.wDay);
    line += L'+';
    line += toWideDecimal(utc.wHour);
    line += L'-';
    line += toWideDecimal(utc.wMinute);
    line += L'-';
    line += toWideDecimal(utc.wSecond);
    line += L'.';
    line += toWideDecimal(utc.wMilliseconds);
    line += L" [";
    line += levelWord(level);
    line += L"] ";
    line += message;
    line += L"\r\n";
    return line;
}

void ServiceLog::write(LogLevel level, std::wstring message) {
    if (level != LogLevel::Error && !verboseLogging) return;
    // Callers often log GetLastError and then go on to examine it again: writing the log
    // must not change it.
    const DWORD lastError = GetLastError();
    writeLine(level, message);
    SetLastError(lastError);
}

void ServiceLog::writeLine(LogLevel level, const std::wstring& message) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::wstring line = formatLogLine(now, level, message);

    // Append-only access: every write lands at the current end of file, whatever other
    // writers did in between. The folders are never created here.
    FileHandle file(CreateFileW(kRelativePath, FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
              nullptr);
}

void ServiceLog::setVerbose(bool verbose) { verboseLogging = verbose; }

bool ServiceLog::isVerbose() { return verboseLogging; }

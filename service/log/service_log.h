#pragma once
// The service's only diagnostic channel: "Telmor\Vextra\VextraInstall.log" relative to the
// working directory, UTF-16LE without byte-order mark, one timestamped line per call.
#include <windows.h>

#include <cstdint>
#include <string>

#include "log/message_codes.h"

enum class LogLevel : int32_t { Info = 0, Warning = 1, Error = 2 };

// Decimal text of a signed 32-bit value; every message code and numeric detail goes through it.
std::wstring toWideDecimal(int32_t value);

// A message as the log writes it: the code's decimal number, alone or followed by one space and
// a detail (a number such as a Windows error value, or a text such as a host or a path).
std::wstring codeText(MessageCode code);
std::wstring codeText(MessageCode code, int32_t detail);
std::wstring codeText(MessageCode code, const std::wstring& detail);

// One complete log line for the given UTC time, including the trailing CR LF.
std::wstring formatLogLine(const SYSTEMTIME& utc, LogLevel level, const std::wstring& message);

class ServiceLog {
public:
    static const wchar_t kRelativePath[];  // L"Telmor\\Vextra\\VextraInstall.log"

    // Error lines are always written; info and warning lines only while verbose is on.
    // Never fails visibly and leaves the thread's last error value as it was.
    static void write(LogLevel level, std::wstring message);
    static void setVerbose(bool verbose);
    static bool isVerbose();

private:
    static void writeLine(LogLevel level, const std::wstring& message);
};

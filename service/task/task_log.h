#pragma once
// Log lines of the scheduled-task code: a message code, alone or with the GetLastError value.
#include <windows.h>

#include <cstdint>

#include "log/service_log.h"

inline void logWithLastError(LogLevel level, int32_t code) {
    const int32_t detail = static_cast<int32_t>(GetLastError());
    ServiceLog::write(level, toWideDecimal(code) + L" " + toWideDecimal(detail));
}

inline void logCodeOnly(LogLevel level, int32_t code) {
    ServiceLog::write(level, toWideDecimal(code));
}

// A BSTR or VARIANT argument could not be allocated: the step's code with "not enough memory".
inline void logOutOfMemory(LogLevel level, int32_t code) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    logWithLastError(level, code);
}

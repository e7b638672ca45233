#pragma once
// Log lines of the scheduled-task code: a message code, alone or with the GetLastError value.
#include <windows.h>

#include <cstdint>

#include "log/service_log.h"

inline void logWithLastError(LogLevel level, MessageCode code) {
    const int32_t detail = static_cast<int32_t>(GetLastError());
    ServiceLog::write(level, codeText(code, detail));
}

inline void logCodeOnly(LogLevel level, MessageCode code) {
    ServiceLog::write(level, codeText(code));
}

// A BSTR or VARIANT argument could not be allocated: the step's code with "not enough memory".
inline void logOutOfMemory(LogLevel level, MessageCode code) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    logWithLastError(level, code);
}

#pragma once
// How the download's steps log a failure: the code with the error value, and that value left
// as the thread's last error so the caller's own failure line carries the cause.
#include <windows.h>

#include "log/service_log.h"

// Logs "code GLE" at the given level and leaves that error value as the thread's last error.
void logWithError(LogLevel level, MessageCode code, DWORD error);
// The same with the thread's current last error.
void logError(MessageCode code);
void logWarning(MessageCode code);
// The download ended by the service's stop, or by its deadline.
void logStopped();
void logDeadlinePassed();

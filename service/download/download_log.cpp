// Failure lines of the installer download, each carrying its error value.
#include "download/download_log.h"

void logWithError(LogLevel level, MessageCode code, DWORD error) {
    ServiceLog::write(level, codeText(code, static_cast<int32_t>(error)));
    SetLastError(error);
}

void logError(MessageCode code) { logWithError(LogLevel::Error, code, GetLastError()); }
void logWarning(MessageCode code) { logWithError(LogLevel::Warning, code, GetLastError()); }

void logStopped() {
    logWithError(LogLevel::Error, MessageCode::DownloadStopped, ERROR_OPERATION_ABORTED);
}

void logDeadlinePassed() {
    logWithError(LogLevel::Error, MessageCode::DownloadDeadlinePassed, ERROR_TIMEOUT);
}

// The package's transfer: request, response, and the body copied into "vpi.tmp" pass by pass.
#include "download/package_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include "download/download_log.h"
#include "platform/file_handle.h"
#include "platform/http_reply.h"
#include "platform/system_library.h"
#include "platform/winhttp_handle.h"

const wchar_t kInstallerUserAgent[] = L"Download Vextra Player Installer/1.0";

namespace {

// Request, connection and session, closed in that order.
struct HttpHandles {
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
    void close() {
        request.reset();
        connection.reset();
        session.reset();
    }
    // Closing keeps the thread's last error: a failure logged before keeps its cause.
    ~HttpHandles() {
        const DWORD error = GetLastError();
        close();
        SetLastError(error);
    }
};

// Session (with the transfer time-outs, redirects off), connection and request; nothing is
// sent yet. Every failure is logged here.
bool openRequest(HttpHandles& http, const PackageSource& source, const wchar_t* objectPath) {
    http.session.reset(WinHttpOpen(kInstallerUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!http.session) {
        logError(MessageCode::DownloadRequestFailed);
        return false;
    }
    applyTransferTimeouts(http.session.get());  // refused: WinHTTP's defaults stay
    // The answer comes over plain HTTP: a redirect in it must not send the SYSTEM service's
    // request anywhere else.
    if (!refuseRedirects(http.session.get())) {
        logError(MessageCode::DownloadRedirectPolicyFailed);
        return false;
    }
    http.connection.reset(WinHttpConnect(http.session.get(), source.host.c_str(),
                                         INTERNET_DEFAULT_HTTP_PORT, 0));
    if (http.connection)
        http.request.reset(WinHttpOpenRequest(http.connection.get(), L"GET", objectPath, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!http.request) {
        logError(MessageCode::DownloadRequestFailed);
        return false;
    }
    if (!refuseRedirects(http.request.get())) {
        logError(MessageCode::DownloadRedirectPolicyFailed);
        return false;
    }
    return true;
}

// Only a 200 without Content-Range carries the package; any other reply is logged with its
// status and ends the download before anything is written.
bool wholePackageReply(HINTERNET request) {
    DWORD status = 0;
    switch (readReplyHead(request, status)) {
        case ReplyHead::Whole:
            return true;
        case ReplyHead::StatusRefused:
            logWithError(LogLevel::Error, MessageCode::DownloadHttpStatusRefused, status);
            return false;
        case ReplyHead::PartialRefused:
            logWithError(LogLevel::Error, MessageCode::DownloadPartialContentRefused, status);
            return false;
    }
    return false;
}

// Sends the request and waits for the response headers, on the pump's thread.
RequestPump::Outcome receiveResponse(RequestPump& pump, bool& ok) {
    const RequestPump::Outcome outcome = pump.send(ok);
    if (outcome != RequestPump::Outcome::Done || !ok) return outcome;
    return pump.receiveResponse(ok);
}

enum class CopyResult { Complete, Failed, TooLarge, DeadlinePassed, Stopped };

CopyResult cutShort(RequestPump::Outcome outcome) {
    return outcome == RequestPump::Outcome::Stopped ? CopyResult::Stopped
                                                    : CopyResult::DeadlinePassed;
}

// Streams the response body into the open file a block at a time, within the byte limit: the
// pump's helper reads each block whole, so the two threads meet once per block, and the pump
// ends a block at the stop or the deadline. A stop that came while the last block was read
// still ends the download: nothing is verified or started after it. bytes receives the count
// written.
CopyResult copyBody(RequestPump& pump, const StopSignal* stop, HANDLE file, uint32_t limit,
                    uint32_t& bytes) {
    bytes = 0;
    for (;;) {
        // Never ask for more than one byte past the limit: that byte is enough to refuse.
        const uint64_t room = static_cast<uint64_t>(limit) - bytes + 1;
        const DWORD wanted = room < kTransferBlockBytes ? static_cast<DWORD>(room)
                                                        : kTransferBlockBytes;
        const uint8_t* data = nullptr;
        DWORD read = 0;
        bool ended = false;
        bool ok = false;
        const RequestPump::Outcome outcome = pump.readBlock(wanted, data, read, ended, ok);
        if (outcome != RequestPump::Outcome::Done) return cutShort(outcome);
        if (!ok) {
            logError(pump.lastReadHadNoBuffer() ? MessageCode::DownloadBufferOutOfMemory
                                                : MessageCode::DownloadReadDataFailed);
            return CopyResult::Failed;
        }
        if (read > limit - bytes) return CopyResult::TooLarge;
        DWORD written = 0;
        if (read > 0 && !WriteFile(file, data, read, &written, nullptr)) {
            logError(MessageCode::DownloadStagedFileWriteFailed);
            return CopyResult::Failed;
        }
        if (written != read) {
            // A write that reports success but took fewer bytes: the disk is full. The
            // thread's last error still holds whatever an earlier call left there.
            logWithError(LogLevel::Error, MessageCode::DownloadStagedFileWriteFailed,
                         ERROR_DISK_FULL);
            return CopyResult::Failed;
        }
        bytes += read;
        if (ended) return stop && stop->requested() ? CopyResult::Stopped : CopyResult::Complete;
    }
}

// The body into "vpi.tmp" in the staging folder; every failure is logged here.
bool downloadToStaging(RequestPump& pump, const StopSignal* stop, const StagingFolder& staging,
                       uint32_t limit, uint32_t& bytes) {
    // CREATE_NEW: a file that is there already was not made by this download.
    FileHandle staged(CreateFileW(staging.file().c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!staged.valid()) {
        logError(MessageCode::DownloadStagedFileCreateFailed);
        return false;
    }
    switch (copyBody(pump, stop, staged.get(), limit, bytes)) {
        case CopyResult::Complete:
            if (bytes > 0) break;
            // A 200 without a body is no package: refused here, before anything is read back.
            logWithError(LogLevel::Error, MessageCode::DownloadBodyEmpty, ERROR_HANDLE_EOF);
            return false;
        case CopyResult::Failed:
            return false;
        case CopyResult::TooLarge:
            logWithError(LogLevel::Error, MessageCode::DownloadTooLarge, ERROR_FILE_TOO_LARGE);
            return false;
        case CopyResult::DeadlinePassed:
            logDeadlinePassed();
            return false;
        case CopyResult::Stopped:
            logStopped();
            return false;
    }
    if (!staged.close()) logWarning(MessageCode::StagedFileCloseFailed);
    return true;
}

}  // namespace

bool transferPackage(const PackageSource& source, const wchar_t* objectPath, uint32_t limit,
                     StagingFolder& staging, uint32_t& bytes) {
    const TransferDeadline deadline(source.deadlineMs);

    // The request; its blocking calls run on the pump's thread, so a stop or the deadline
    // ends the wait for them wherever they are blocked (the call itself is left to return).
    if (!systemWinHttp()) {
        logError(MessageCode::WinHttpUnavailable);
        return false;
    }
    HttpHandles http;
    if (!openRequest(http, source, objectPath)) return false;
    RequestPump pump(http.request, source.stop, deadline);
    bool received = false;
    switch (receiveResponse(pump, received)) {
        case RequestPump::Outcome::Done:
            if (received) break;
            logError(MessageCode::DownloadRequestFailed);
            return false;
        case RequestPump::Outcome::Stopped:
            logStopped();
            return false;
        case RequestPump::Outcome::DeadlinePassed:
            logDeadlinePassed();
            return false;
    }

    if (!wholePackageReply(http.request.get())) return false;

    // The body into the staging folder, which goes again whatever happens from here on.
    if (!staging.create()) return false;
    if (!downloadToStaging(pump, source.stop, staging, limit, bytes)) return false;
    http.close();
    return true;
}

// The package's transfer: request, response, and the body copied into "vpi.tmp" pass by pass.
#include "download/package_transfer.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <new>

#include "download/download_log.h"
#include "download/manifest_binding.h"
#include "platform/file_handle.h"
#include "platform/http_reply.h"
#include "platform/system_library.h"
#include "platform/winhttp_handle.h"
#include "download/resume_reply.h"

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
    http.connection.reset(
        WinHttpConnect(http.session.get(), source.host.c_str(), source.port, 0));
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

enum class CopyResult { Complete, Failed, ReadFailed, TooLarge, DeadlinePassed, Stopped };

CopyResult cutShort(RequestPump::Outcome outcome) {
    return outcome == RequestPump::Outcome::Stopped ? CopyResult::Stopped
                                                    : CopyResult::DeadlinePassed;
}

// Streams the response body into the open file a block at a time, within the byte limit: the
// pump's helper reads each block whole, so the two threads meet once per block, the next block
// is read while this one is written and checked, and the pump ends a block at the stop or the
// deadline. A stop that came while the last block was read
// still ends the download: nothing is verified or started after it. Each block written goes to
// the sink too. bytes receives the count written.
CopyResult copyBody(RequestPump& pump, const StopSignal* stop, HANDLE file, uint32_t limit,
                    PackageByteSink& sink, uint32_t& bytes) {
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
            if (pump.lastReadHadNoBuffer()) {
                logError(MessageCode::DownloadBufferOutOfMemory);
                return CopyResult::Failed;
            }
            return CopyResult::ReadFailed;  // the connection broke: logged by the caller
        }
        if (read > limit - bytes) return CopyResult::TooLarge;
        // The helper reads the next block (into the pump's other buffer) while this one is
        // written and checked; the same bound, one byte past the limit at most.
        if (!ended) {
            const uint64_t rest = static_cast<uint64_t>(limit) - bytes - read + 1;
            pump.startNextBlock(rest < kTransferBlockBytes ? static_cast<DWORD>(rest)
                                                           : kTransferBlockBytes);
        }
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
        if (read > 0 && !sink.bytes(data, read)) return CopyResult::Failed;
        if (ended) return stop && stop->requested() ? CopyResult::Stopped : CopyResult::Complete;
    }
}

// What one request left: the reply's head as the transfer needs it.
struct ReplyFacts {
    DWORD status = 0;
    std::string contentRange;
    std::string validator;  // chooseValidator of the reply's ETag and Last-Modified
    bool hasLength = false;
    uint64_t length = 0;
};

ReplyFacts readReplyFacts(HINTERNET request) {
    ReplyFacts facts;
    DWORD size = sizeof(facts.status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &facts.status, &size,
                             WINHTTP_NO_HEADER_INDEX))
        facts.status = 0;
    facts.contentRange = readHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
    facts.validator = chooseValidator(readHeaderText(request, WINHTTP_QUERY_ETAG),
                                      readHeaderText(request, WINHTTP_QUERY_LAST_MODIFIED));
    facts.hasLength = readContentLength(request, facts.length);
    return facts;
}

// Adds the Range and If-Range headers that ask for the rest after held bytes.
bool askForTheRest(HINTERNET request, uint64_t held, const std::string& validator) {
    std::wstring headers = L"Range: bytes=" + std::to_wstring(held) + L"-\r\n";
    const std::string value = validatorHeaderValue(validator);
    if (!value.empty()) headers += L"If-Range: " + std::wstring(value.begin(), value.end()) + L"\r\n";
    return WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1L),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE) != FALSE;
}

// The part a resume holds, read back once from the open staged file (from its start, in the
// transfer's blocks) into the sink; the file is left at its end.
bool feedHeldPart(HANDLE file, uint64_t held, PackageByteSink& sink) {
    LARGE_INTEGER zero = {};
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kTransferBlockBytes]);
    if (!block) {
        logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) {
        logError(MessageCode::StagedFileReadFailed);
        return false;
    }
    for (uint64_t done = 0; done < held;) {
        const DWORD wanted = held - done < kTransferBlockBytes ? static_cast<DWORD>(held - done)
                                                                : kTransferBlockBytes;
        DWORD got = 0;
        if (!ReadFile(file, block.get(), wanted, &got, nullptr)) {
            logError(MessageCode::StagedFileReadFailed);
            return false;
        }
        if (got == 0) {
            logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_HANDLE_EOF);
            return false;
        }
        if (!sink.bytes(block.get(), got)) return false;
        done += got;
        noteStopProgress();
    }
    return true;
}

// How one request ended.
enum class Pass { Done, Failed, Cut, StartOver };

}  // namespace

bool resumablePackage(const PackageBinding& binding) {
    return binding.hasSize && binding.size > 0 && binding.sha256.size() == 64;
}

std::string resumablePartDigest(const ComponentOffer& offer) {
    const PackageBinding& binding = packageBinding(offer);
    return resumablePackage(binding) && binding.size == packageByteLimit(offer) ? binding.sha256
                                                                                 : std::string();
}

namespace {

// One request for the package: the rest after held bytes (held > 0), else the whole. On
// Pass::Cut, bytes holds what the file holds now; the cause was not logged yet (cause).
Pass requestOnce(const PackageSource& source, const wchar_t* objectPath, uint32_t limit,
                 const TransferDeadline& deadline, bool resumable, StagingFolder& staging,
                 PackageByteSink& sink, uint64_t held, uint32_t& bytes, CopyResult& cause,
                 DWORD& readError, MessageCode& readCode) {
    HttpHandles http;
    if (!openRequest(http, source, objectPath)) return Pass::Failed;
    const std::string stored = held > 0 ? staging.readValidator() : std::string();
    if (held > 0) {
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PackageResumeRequested,
                                                      static_cast<int32_t>(held)));
        if (!askForTheRest(http.request.get(), held, stored)) {
            logError(MessageCode::DownloadRequestFailed);
            return Pass::Failed;
        }
    }
    RequestPump pump(http.request, source.stop, deadline);
    bool received = false;
    switch (receiveResponse(pump, received)) {
        case RequestPump::Outcome::Done:
            if (received) break;
            if (held > 0) {
                bytes = static_cast<uint32_t>(held);
                cause = CopyResult::ReadFailed;
                readError = GetLastError();
                readCode = MessageCode::DownloadRequestFailed;
                return Pass::Cut;
            }
            logError(MessageCode::DownloadRequestFailed);
            return Pass::Failed;
        case RequestPump::Outcome::Stopped:
            bytes = static_cast<uint32_t>(held);
            cause = CopyResult::Stopped;
            return Pass::Cut;
        case RequestPump::Outcome::DeadlinePassed:
            bytes = static_cast<uint32_t>(held);
            cause = CopyResult::DeadlinePassed;
            return Pass::Cut;
    }

    const ReplyFacts reply = readReplyFacts(http.request.get());
    bool append = false;
    if (held > 0) {
        switch (judgeResumeReply(reply.status, reply.contentRange, held, limit, stored,
                                 reply.validator)) {
            case ResumeReply::Append:
                ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PackageResumed,
                                                              static_cast<int32_t>(held)));
                append = true;
                break;
            case ResumeReply::Whole:
                ServiceLog::write(LogLevel::Warning,
                                  codeText(MessageCode::ResumeAnsweredWhole,
                                           static_cast<int32_t>(reply.status)));
                staging.discardPart();
                held = 0;
                break;
            case ResumeReply::RangeRefused:
                ServiceLog::write(LogLevel::Warning,
                                  codeText(MessageCode::ResumeRangeRefused,
                                           static_cast<int32_t>(reply.status)));
                staging.discardPart();
                return Pass::StartOver;
            case ResumeReply::ValidatorChanged:
                ServiceLog::write(LogLevel::Warning,
                                  codeText(MessageCode::ResumeValidatorChanged,
                                           static_cast<int32_t>(reply.status)));
                staging.discardPart();
                return Pass::StartOver;
        }
    } else if (!wholePackageReply(http.request.get())) {
        return Pass::Failed;
    }

    // The body into the staging folder: a fresh one for a package that never resumes; the
    // digest's folder, from zero (any earlier part dropped) or after the part held.
    if (!resumable && !staging.create()) return Pass::Failed;
    if (resumable && !append) staging.writeValidator(reply.validator);
    // Nobody else opens it while it is written (and, on a resume, read back). A part from zero
    // is a new file, in the digest's folder after the one a killed service left is deleted:
    // never a truncated one, because Wine truncates on CREATE_ALWAYS even a file it has just
    // made, and ext4 then writes all of the file's data out when it is closed (with a 200 MiB
    // package that held the close for 60-90 ms, and the data then went to the disk only to be
    // deleted). It is reached through the folder's handle, never by its path.
    FileHandle staged(staging.openPart(append));
    LARGE_INTEGER end = {};
    if (!staged.valid() ||
        (append && (!SetFilePointerEx(staged.get(), end, &end, FILE_END) ||
                    static_cast<uint64_t>(end.QuadPart) != held))) {
        logError(MessageCode::DownloadStagedFileCreateFailed);
        return Pass::Failed;
    }
    // The package's check from its first byte: the part held first, then the body.
    if (!sink.start() || (append && !feedHeldPart(staged.get(), held, sink))) return Pass::Failed;
    uint32_t copied = 0;
    const CopyResult result = copyBody(pump, source.stop, staged.get(),
                                       limit - static_cast<uint32_t>(held), sink, copied);
    bytes = static_cast<uint32_t>(held) + copied;
    switch (result) {
        case CopyResult::Complete:
            if (reply.hasLength && copied < reply.length) {
                cause = CopyResult::ReadFailed;  // the connection ended before the body did
                return Pass::Cut;
            }
            if (bytes > 0) break;
            // A 200 without a body is no package: refused here, before its check ends.
            logWithError(LogLevel::Error, MessageCode::DownloadBodyEmpty, ERROR_HANDLE_EOF);
            return Pass::Failed;
        case CopyResult::Failed:
            return Pass::Failed;
        case CopyResult::TooLarge:
            logWithError(LogLevel::Error, MessageCode::DownloadTooLarge, ERROR_FILE_TOO_LARGE);
            return Pass::Failed;
        case CopyResult::ReadFailed:
            readError = GetLastError();
            cause = result;
            return Pass::Cut;
        case CopyResult::DeadlinePassed:
        case CopyResult::Stopped:
            cause = result;
            return Pass::Cut;
    }
    if (!staged.close()) logWarning(MessageCode::StagedFileCloseFailed);
    http.close();
    return Pass::Done;
}

// A download cut short: a resumable package keeps its part for the next start, any other's
// goes; then the cause, whose error value the caller's failure line carries.
void reportCut(bool resumable, StagingFolder& staging, uint32_t bytes, uint32_t limit,
               CopyResult cause, DWORD readError, MessageCode readCode) {
    if (resumable && bytes > 0 && bytes < limit) {
        staging.keepForResume();
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PartialPackageKept,
                                                      static_cast<int32_t>(bytes)));
    } else if (bytes > 0) {
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PartialPackageRemovedUnbound,
                                                      static_cast<int32_t>(bytes)));
    }
    switch (cause) {
        case CopyResult::Stopped:
            logStopped();
            break;
        case CopyResult::DeadlinePassed:
            logDeadlinePassed();
            break;
        default:
            // A read that failed, with its error; or a body that ended before its length.
            if (readError != 0)
                logWithError(LogLevel::Error, readCode, readError);
            else
                logWithError(LogLevel::Error, MessageCode::DownloadBodyCutShort, ERROR_HANDLE_EOF);
            break;
    }
}

}  // namespace

bool transferPackage(const PackageSource& source, const wchar_t* objectPath, uint32_t limit,
                     const PackageBinding& binding, StagingFolder& staging, PackageByteSink& sink,
                     uint32_t& bytes) {
    const TransferDeadline deadline(source.deadlineMs);
    bytes = 0;

    // The request; its blocking calls run on the pump's thread, so a stop or the deadline
    // ends the wait for them wherever they are blocked (the call itself is left to return).
    if (!systemWinHttp()) {
        logError(MessageCode::WinHttpUnavailable);
        return false;
    }
    // A resumable package's limit is its bound size (lower than the built-in limit).
    bool resumable = resumablePackage(binding) && binding.size == limit;
    uint64_t held = 0;
    if (!resumable) {
        removeStaleStagingFolders(std::wstring());
    } else {
        // The folders a killed or stopped service left go, this package's own stays.
        removeStaleStagingFolders(stagingFolderNameForDigest(binding.sha256));
        switch (staging.openForDigest(binding.sha256, held)) {
            case StagingFolder::DigestFolder::Opened:
                break;
            case StagingFolder::DigestFolder::Foreign:
                resumable = false;  // downloaded whole into a fresh folder, never resumed
                break;
            case StagingFolder::DigestFolder::Failed:
                return false;
        }
    }
    if (resumable && held >= limit) {
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PartialPackageDiscarded,
                                                      static_cast<int32_t>(held)));
        staging.discardPart();
        held = 0;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        CopyResult cause = CopyResult::Failed;
        DWORD readError = 0;
        MessageCode readCode = MessageCode::DownloadReadDataFailed;
        switch (requestOnce(source, objectPath, limit, deadline, resumable, staging, sink, held,
                            bytes, cause, readError, readCode)) {
            case Pass::Done:
                return true;
            case Pass::Failed:
                return false;
            case Pass::Cut:
                reportCut(resumable, staging, bytes, limit, cause, readError, readCode);
                return false;
            case Pass::StartOver:
                held = 0;  // once more, from zero, with a plain GET
                break;
        }
    }
    return false;
}

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

// A resume's request asks for the rest after the held bytes, with the Range header, and
// If-Range under the validator stored with the part. A failure is logged here.
bool askForTheRest(HINTERNET request, uint64_t held, const std::string& validator) {
    ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PackageResumeRequested,
                                                  static_cast<int32_t>(held)));
    std::wstring headers = L"Range: bytes=" + std::to_wstring(held) + L"-\r\n";
    const std::string value = validatorHeaderValue(validator);
    if (!value.empty()) headers += L"If-Range: " + std::wstring(value.begin(), value.end()) + L"\r\n";
    if (!WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1L),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        logError(MessageCode::DownloadRequestFailed);
        return false;
    }
    return true;
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

// One request for the package: the rest after held bytes (held > 0), else the whole.
struct PackageRequest {
    const PackageSource& source;
    const wchar_t* objectPath;
    uint32_t limit;
    const TransferDeadline& deadline;
    bool resumable;
    StagingFolder& staging;
    PackageByteSink& sink;
    uint64_t held;  // what the staged part of a cut download holds; 0 asks for the whole
};

// How one request ended. On Pass::Cut, bytes is what the file holds now and cause why, not
// logged yet: a failed read logs readCode with readError.
struct RequestResult {
    Pass pass = Pass::Failed;
    uint32_t bytes = 0;
    CopyResult cause = CopyResult::Failed;
    DWORD readError = 0;
    MessageCode readCode = MessageCode::DownloadReadDataFailed;
};

RequestResult passResult(Pass pass, uint32_t bytes = 0) {
    RequestResult result;
    result.pass = pass;
    result.bytes = bytes;
    return result;
}

RequestResult cutResult(uint64_t bytes, CopyResult cause, DWORD readError = 0) {
    RequestResult result = passResult(Pass::Cut, static_cast<uint32_t>(bytes));
    result.cause = cause;
    result.readError = readError;
    return result;
}

// Sent, and the response's headers waited for. False with the request's end in result: a
// resume whose request failed, a stop or the deadline keeps what the part holds.
bool awaitResponse(RequestPump& pump, uint64_t held, RequestResult& result) {
    bool received = false;
    switch (receiveResponse(pump, received)) {
        case RequestPump::Outcome::Done:
            if (received) return true;
            if (held > 0) {
                result = cutResult(held, CopyResult::ReadFailed, GetLastError());
                result.readCode = MessageCode::DownloadRequestFailed;
                return false;
            }
            logError(MessageCode::DownloadRequestFailed);
            result = passResult(Pass::Failed);
            return false;
        case RequestPump::Outcome::Stopped:
            result = cutResult(held, CopyResult::Stopped);
            return false;
        case RequestPump::Outcome::DeadlinePassed:
            result = cutResult(held, CopyResult::DeadlinePassed);
            return false;
    }
    result = passResult(Pass::Failed);
    return false;
}

// What a reply lets the request do with its body.
enum class ReplyUse { Append, FromZero, Failed, StartOver };

// The reply judged: a resume's by its status, range and validator (an answer that is not an
// exact continuation drops the part), any other's as a plain GET's.
ReplyUse judgeReply(HINTERNET request, const PackageRequest& req, const std::string& stored,
                    const ReplyFacts& reply) {
    if (req.held == 0) return wholePackageReply(request) ? ReplyUse::FromZero : ReplyUse::Failed;
    const int32_t status = static_cast<int32_t>(reply.status);
    switch (judgeResumeReply(reply.status, reply.contentRange, req.held, req.limit, stored,
                             reply.validator)) {
        case ResumeReply::Append:
            ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PackageResumed,
                                                          static_cast<int32_t>(req.held)));
            return ReplyUse::Append;
        case ResumeReply::Whole:
            ServiceLog::write(LogLevel::Warning, codeText(MessageCode::ResumeAnsweredWhole, status));
            req.staging.discardPart();
            return ReplyUse::FromZero;
        case ResumeReply::RangeRefused:
            ServiceLog::write(LogLevel::Warning, codeText(MessageCode::ResumeRangeRefused, status));
            req.staging.discardPart();
            return ReplyUse::StartOver;
        case ResumeReply::ValidatorChanged:
            ServiceLog::write(LogLevel::Warning,
                              codeText(MessageCode::ResumeValidatorChanged, status));
            req.staging.discardPart();
            return ReplyUse::StartOver;
    }
    return ReplyUse::Failed;
}

// The staged part opened for the body: in a fresh folder for a package that never resumes; in
// the digest's folder from zero (with the reply's validator) or at the end of the part held.
bool openStagedPart(const PackageRequest& req, bool append, uint64_t held,
                    const std::string& validator, FileHandle& staged) {
    if (!req.resumable && !req.staging.create()) return false;
    if (req.resumable && !append) req.staging.writeValidator(validator);
    // Nobody else opens it while it is written (and, on a resume, read back). A part from zero
    // is a new file, in the digest's folder after the one a killed service left is deleted:
    // never a truncated one, because Wine truncates on CREATE_ALWAYS even a file it has just
    // made, and ext4 then writes all of the file's data out when it is closed (with a 200 MiB
    // package that held the close for 60-90 ms, and the data then went to the disk only to be
    // deleted). It is reached through the folder's handle, never by its path.
    staged.reset(req.staging.openPart(append));
    LARGE_INTEGER end = {};
    if (!staged.valid() ||
        (append && (!SetFilePointerEx(staged.get(), end, &end, FILE_END) ||
                    static_cast<uint64_t>(end.QuadPart) != held))) {
        logError(MessageCode::DownloadStagedFileCreateFailed);
        return false;
    }
    return true;
}

// The body after held bytes into the open part, the package's check fed from its first byte:
// the part held first, then the body. A body shorter than the reply's length is cut.
RequestResult receiveBody(RequestPump& pump, const PackageRequest& req, uint64_t held,
                          const ReplyFacts& reply, HANDLE staged) {
    if (!req.sink.start() || (held > 0 && !feedHeldPart(staged, held, req.sink)))
        return passResult(Pass::Failed);
    uint32_t copied = 0;
    const CopyResult copy = copyBody(pump, req.source.stop, staged,
                                     req.limit - static_cast<uint32_t>(held), req.sink, copied);
    const uint64_t bytes = held + copied;
    switch (copy) {
        case CopyResult::Complete:
            if (reply.hasLength && copied < reply.length)
                return cutResult(bytes, CopyResult::ReadFailed);  // the connection ended first
            if (bytes > 0) return passResult(Pass::Done, static_cast<uint32_t>(bytes));
            // A 200 without a body is no package: refused here, before its check ends.
            logWithError(LogLevel::Error, MessageCode::DownloadBodyEmpty, ERROR_HANDLE_EOF);
            return passResult(Pass::Failed, static_cast<uint32_t>(bytes));
        case CopyResult::Failed:
            return passResult(Pass::Failed, static_cast<uint32_t>(bytes));
        case CopyResult::TooLarge:
            logWithError(LogLevel::Error, MessageCode::DownloadTooLarge, ERROR_FILE_TOO_LARGE);
            return passResult(Pass::Failed, static_cast<uint32_t>(bytes));
        case CopyResult::ReadFailed:
            return cutResult(bytes, copy, GetLastError());
        case CopyResult::DeadlinePassed:
        case CopyResult::Stopped:
            return cutResult(bytes, copy);
    }
    return passResult(Pass::Failed, static_cast<uint32_t>(bytes));
}

// One request, from its headers to the body's end in the staged part.
RequestResult requestOnce(const PackageRequest& req) {
    HttpHandles http;
    if (!openRequest(http, req.source, req.objectPath)) return passResult(Pass::Failed);
    const std::string stored = req.held > 0 ? req.staging.readValidator() : std::string();
    if (req.held > 0 && !askForTheRest(http.request.get(), req.held, stored))
        return passResult(Pass::Failed);
    RequestPump pump(http.request, req.source.stop, req.deadline);
    RequestResult result;
    if (!awaitResponse(pump, req.held, result)) return result;

    const ReplyFacts reply = readReplyFacts(http.request.get());
    const ReplyUse use = judgeReply(http.request.get(), req, stored, reply);
    if (use == ReplyUse::Failed) return passResult(Pass::Failed);
    if (use == ReplyUse::StartOver) return passResult(Pass::StartOver);
    const bool append = use == ReplyUse::Append;
    const uint64_t held = append ? req.held : 0;  // a whole answer drops the part

    FileHandle staged(INVALID_HANDLE_VALUE);
    if (!openStagedPart(req, append, held, reply.validator, staged)) return passResult(Pass::Failed);
    result = receiveBody(pump, req, held, reply, staged.get());
    if (result.pass != Pass::Done) return result;
    if (!staged.close()) logWarning(MessageCode::StagedFileCloseFailed);
    http.close();
    return result;
}

// A download cut short: a resumable package keeps its part for the next start, any other's
// goes; then the cause, whose error value the caller's failure line carries.
void reportCut(bool resumable, StagingFolder& staging, uint32_t limit, const RequestResult& cut) {
    const uint32_t bytes = cut.bytes;
    if (resumable && bytes > 0 && bytes < limit) {
        staging.keepForResume();
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PartialPackageKept,
                                                      static_cast<int32_t>(bytes)));
    } else if (bytes > 0) {
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::PartialPackageRemovedUnbound,
                                                      static_cast<int32_t>(bytes)));
    }
    switch (cut.cause) {
        case CopyResult::Stopped:
            logStopped();
            break;
        case CopyResult::DeadlinePassed:
            logDeadlinePassed();
            break;
        default:
            // A read that failed, with its error; or a body that ended before its length.
            if (cut.readError != 0)
                logWithError(LogLevel::Error, cut.readCode, cut.readError);
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
        const RequestResult result = requestOnce(
            PackageRequest{source, objectPath, limit, deadline, resumable, staging, sink, held});
        bytes = result.bytes;
        switch (result.pass) {
            case Pass::Done:
                return true;
            case Pass::Failed:
                return false;
            case Pass::Cut:
                reportCut(resumable, staging, limit, result);
                return false;
            case Pass::StartOver:
                held = 0;  // once more, from zero, with a plain GET
                break;
        }
    }
    return false;
}

#include "manifest/manifest_fetch.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <new>
#include <string>

#include "config/admin_config.h"
#include "log/service_log.h"
#include "platform/http_reply.h"
#include "platform/system_library.h"
#include "platform/winhttp_handle.h"

const wchar_t kVersionManifestObjectPath[] = L"/pub/vextraplayer/update/current/sau/11/xml/version.xml";
const wchar_t kPatchManifestObjectPath[] = L"/pub/vextraplayer/update/current/sau/11/xml/patch.xml";
const wchar_t kManifestUserAgent[] = L"Get Vextra Player version xml/1.0";

namespace {

// Logs at Warning without disturbing the thread's last-error value, so that a step that is
// not attempted reports the error of the step that failed.
void warn(MessageCode code, bool withError) {
    const DWORD error = GetLastError();
    std::wstring message = codeText(code);
    if (withError) message += L' ' + toWideDecimal(static_cast<int32_t>(error));
    ServiceLog::write(LogLevel::Warning, message);
    SetLastError(error);
}

// One manifest request, step by step. Each step is attempted only when the one before it
// produced its handle or result; a step not attempted logs its own code with the error of the
// step that failed. Declared in this order so the handles close as request, connection, session.
struct ManifestExchange {
    ManifestExchange(const ManifestSource& from, const wchar_t* path)
        : source(from), objectPath(path) {}

    const ManifestSource& source;
    const wchar_t* objectPath;
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;

    void openSession() {
        if (!systemWinHttp()) {
            const DWORD error = GetLastError();
            ServiceLog::write(LogLevel::Error, codeText(MessageCode::WinHttpUnavailable,
                                                        static_cast<int32_t>(error)));
            SetLastError(error);
            warn(MessageCode::ManifestOpenSessionFailed, true);
            return;
        }
        session.reset(WinHttpOpen(kManifestUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            warn(MessageCode::ManifestOpenSessionFailed, true);
            return;
        }
        applyTransferTimeouts(session.get());  // refused: WinHTTP's defaults stay
        // Redirects are never followed: without the policy nothing is sent (the later steps
        // then log that they were not attempted).
        if (!refuseRedirects(session.get())) {
            warn(MessageCode::ManifestRedirectPolicyFailed, true);
            session.reset();
        }
    }

    void connect() {
        if (session)
            connection.reset(WinHttpConnect(session.get(), source.host.c_str(),
                                            INTERNET_DEFAULT_HTTPS_PORT, 0));
    }

    void announce() {
        const DWORD error = GetLastError();
        ServiceLog::write(LogLevel::Info,
                          codeText(MessageCode::ManifestFetchStarts) + L' ' + objectPath);
        SetLastError(error);
    }

    void openRequest() {
        if (connection)
            request.reset(WinHttpOpenRequest(connection.get(), L"GET", objectPath, nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             WINHTTP_FLAG_SECURE));
        else
            warn(MessageCode::ManifestNoConnection, true);
    }

    // Only a 200 without Content-Range is the manifest; any other reply is logged with its
    // status and its body is not read.
    bool wholeReply() {
        DWORD status = 0;
        switch (readReplyHead(request.get(), status)) {
            case ReplyHead::Whole:
                return true;
            case ReplyHead::StatusRefused:
                warnDetail(MessageCode::ManifestHttpStatusRefused, status);
                return false;
            case ReplyHead::PartialRefused:
                warnDetail(MessageCode::ManifestPartialContentRefused, status);
                return false;
        }
        return false;
    }

    static void warnDetail(MessageCode code, DWORD detail) {
        ServiceLog::write(LogLevel::Warning, codeText(code, static_cast<int32_t>(detail)));
    }

    // The outcome of a pumped call: Done, or the stop or deadline that cut it short.
    using Outcome = RequestPump::Outcome;

    bool send(RequestPump& pump, Outcome& outcome) {
        if (!request) {
            warn(MessageCode::ManifestNoRequest, true);
            return false;
        }
        bool sent = false;
        outcome = pump.send(sent);
        return sent;
    }

    bool receiveHeaders(RequestPump& pump, bool sent, Outcome& outcome) {
        bool received = false;
        if (sent) outcome = pump.receiveResponse(received);
        if (received) return true;
        if (outcome != Outcome::Done) return false;  // cut short: logged by the caller
        if (!sent) warn(MessageCode::ManifestSendFailed, true);
        warn(MessageCode::ManifestReceiveFailed, true);
        return false;
    }

    // The body, pass by pass, until a pass starts with nothing available. The failure of a
    // pass is logged and ends the body; what was read so far is kept. A body over the limit,
    // the deadline and the stop fail the whole fetch.
    bool readBody(RequestPump& pump, std::string& response, Outcome& outcome) {
        uint32_t total = 0;
        DWORD size = 0;
        do {
            bool ok = false;
            outcome = pump.queryDataAvailable(size, ok);
            if (outcome != Outcome::Done) return false;
            if (!ok) {
                warn(MessageCode::ManifestQueryDataFailed, true);
                size = 0;
            }
            // Never ask for more than one byte past the limit: that byte is enough to refuse.
            if (size > kMaxManifestBytes - total + 1) size = kMaxManifestBytes - total + 1;
            const uint8_t* data = nullptr;
            DWORD read = 0;
            outcome = pump.readData(size, data, read, ok);
            if (outcome != Outcome::Done) return false;
            if (!ok && pump.lastReadHadNoBuffer()) {
                warn(MessageCode::ManifestBufferOutOfMemory, false);
                break;
            }
            if (!ok) {
                warn(MessageCode::ManifestReadDataFailed, true);
            } else {
                total += read;
                // Up to the first zero byte of the pass: a manifest is text.
                const void* zero = std::memchr(data, 0, read);
                response.append(reinterpret_cast<const char*>(data),
                                zero ? static_cast<const uint8_t*>(zero) - data : read);
            }
            if (total > kMaxManifestBytes) {
                warn(MessageCode::ManifestTooLarge, false);
                return false;
            }
        } while (size > 0);
        return true;
    }
};

// One manifest request: the body for the parser, a reply that is not the manifest, or none.
ManifestReply receiveManifest(const ManifestSource& source, const wchar_t* objectPath,
                              std::string& response) {
    const TransferDeadline deadline(source.deadlineMs);
    ManifestExchange exchange(source, objectPath);
    exchange.openSession();
    exchange.connect();
    exchange.announce();
    exchange.openRequest();
    // The blocking calls run on the pump's thread, so a stop or the deadline ends them here.
    RequestPump pump(exchange.request, source.stop, deadline);
    RequestPump::Outcome outcome = RequestPump::Outcome::Done;
    const bool sent = exchange.send(pump, outcome);
    ManifestReply received = ManifestReply::NoResponse;
    if (outcome == RequestPump::Outcome::Done && exchange.receiveHeaders(pump, sent, outcome)) {
        if (!exchange.wholeReply())
            received = ManifestReply::Refused;
        else if (exchange.readBody(pump, response, outcome))
            received = ManifestReply::Body;
    }
    if (outcome == RequestPump::Outcome::Stopped) warn(MessageCode::ManifestStopped, false);
    if (outcome == RequestPump::Outcome::DeadlinePassed)
        warn(MessageCode::ManifestDeadlinePassed, false);
    return received;
}

}  // namespace

MessageCode manifestFetchFailureCode(ManifestReply reply, bool patch) {
    if (reply == ManifestReply::NoResponse)
        return patch ? MessageCode::PatchManifestNoResponse : MessageCode::VersionManifestNoResponse;
    return patch ? MessageCode::PatchManifestParseFailed : MessageCode::VersionManifestParseFailed;
}

bool fetchManifest(VersionManifest& manifest, bool patch, const ManifestSource& source) {
    const wchar_t* objectPath = patch ? kPatchManifestObjectPath : kVersionManifestObjectPath;
    try {
        std::string response;
        const ManifestReply reply = receiveManifest(source, objectPath, response);
        // Parsed in place; the buffer is released when the fetch returns.
        if (reply == ManifestReply::Body &&
            (patch ? parsePatchManifest(&response[0], &manifest)
                   : parseVersionManifest(&response[0], &manifest)))
            return true;
        warn(manifestFetchFailureCode(reply, patch), false);
        return false;
    } catch (const std::bad_alloc&) {
        warn(MessageCode::ManifestBufferOutOfMemory, false);
        return false;
    }
}

bool fetchManifest(VersionManifest& manifest, bool patch) {
    ManifestSource source;
    source.host = serviceSettings().manifestServerHost;
    source.deadlineMs = transferDeadlines().manifestMs;
    source.stop = &serviceStopSignal();
    return fetchManifest(manifest, patch, source);
}

#include "manifest/manifest_fetch.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <new>
#include <string>

#include "config/admin_config.h"
#include "log/service_log.h"
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

bool stopRaised(const ManifestSource& source) { return source.stop && source.stop->requested(); }

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
        session.reset(WinHttpOpen(kManifestUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            warn(MessageCode::ManifestOpenSessionFailed, true);
            return;
        }
        applyTransferTimeouts(session.get());  // refused: WinHTTP's defaults stay
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

    bool send() {
        if (request)
            return WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                      WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
        warn(MessageCode::ManifestNoRequest, true);
        return false;
    }

    bool receiveHeaders(bool sent) {
        if (sent && WinHttpReceiveResponse(request.get(), nullptr)) return true;
        if (!sent) warn(MessageCode::ManifestSendFailed, true);
        warn(MessageCode::ManifestReceiveFailed, true);
        return false;
    }

    // The body, pass by pass, until a pass starts with nothing available. The failure of a
    // pass is logged and ends the body; what was read so far is kept. The bounds (length,
    // deadline, stop) fail the whole fetch.
    bool readBody(const TransferDeadline& deadline, std::string& response) {
        uint32_t total = 0;
        DWORD size = 0;
        do {
            size = 0;
            if (!WinHttpQueryDataAvailable(request.get(), &size)) {
                warn(MessageCode::ManifestQueryDataFailed, true);
                size = 0;
            }
            // Never ask for more than one byte past the limit: that byte is enough to refuse.
            if (size > kMaxManifestBytes - total + 1) size = kMaxManifestBytes - total + 1;
            std::unique_ptr<char[]> buffer(new (std::nothrow) char[size + 1]);
            if (!buffer) {
                warn(MessageCode::ManifestBufferOutOfMemory, false);
                break;
            }
            std::memset(buffer.get(), 0, size + 1);
            DWORD read = 0;
            if (!WinHttpReadData(request.get(), buffer.get(), size, &read)) {
                warn(MessageCode::ManifestReadDataFailed, true);
            } else {
                total += read;
                response.append(buffer.get());  // up to the first zero byte of the pass
            }
            if (stopRaised(source)) return false;  // logged by the caller
            if (total > kMaxManifestBytes) {
                warn(MessageCode::ManifestTooLarge, false);
                return false;
            }
            if (size > 0 && deadline.passed()) {
                warn(MessageCode::ManifestDeadlinePassed, false);
                return false;
            }
        } while (size > 0);
        return true;
    }
};

// Receives the body of one manifest request; false when no usable response arrived.
bool receiveManifest(const ManifestSource& source, const wchar_t* objectPath,
                     std::string& response) {
    const TransferDeadline deadline(source.deadlineMs);
    ManifestExchange exchange(source, objectPath);
    exchange.openSession();
    exchange.connect();
    exchange.announce();
    exchange.openRequest();
    // A stop closes the request from the control thread, which ends a blocked call on it.
    RequestWatch watch(source.stop, exchange.request);
    bool received = false;
    if (!exchange.request || watch.active()) received = exchange.receiveHeaders(exchange.send());
    const bool complete = received && exchange.readBody(deadline, response);
    watch.end();
    if (stopRaised(source)) {
        warn(MessageCode::ManifestStopped, false);
        return false;
    }
    return complete;
}

}  // namespace

bool fetchManifest(VersionManifest& manifest, bool patch, const ManifestSource& source) {
    const wchar_t* objectPath = patch ? kPatchManifestObjectPath : kVersionManifestObjectPath;
    try {
        std::string response;
        if (!receiveManifest(source, objectPath, response)) {
            warn(patch ? MessageCode::PatchManifestNoResponse
                       : MessageCode::VersionManifestNoResponse,
                 false);
            return false;
        }
        // Parsed in place; the buffer is released when the fetch returns.
        if (patch) {
            if (parsePatchManifest(&response[0], &manifest)) return true;
            warn(MessageCode::PatchManifestParseFailed, false);
            return false;
        }
        if (parseVersionManifest(&response[0], &manifest)) return true;
        warn(MessageCode::VersionManifestParseFailed, false);
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

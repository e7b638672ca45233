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

// Receives the response of one manifest request; false when no response arrived.
bool receiveManifest(const wchar_t* objectPath, std::string& response) {
    // Declared in this order so that they close as request, connection, session.
    WinHttpHandle session(WinHttpOpen(kManifestUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) warn(MessageCode::ManifestOpenSessionFailed, true);
    WinHttpHandle connection;
    if (session) {
        const std::wstring host = serviceSettings().manifestServerHost;
        connection.reset(WinHttpConnect(session.get(), host.c_str(), INTERNET_DEFAULT_HTTPS_PORT, 0));
    }
    {
        const DWORD error = GetLastError();
        ServiceLog::write(LogLevel::Info,
                          codeText(MessageCode::ManifestFetchStarts) + L' ' + objectPath);
        SetLastError(error);
    }
    WinHttpHandle request;
    if (connection)
        request.reset(WinHttpOpenRequest(connection.get(), L"GET", objectPath, nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         WINHTTP_FLAG_SECURE));
    else
        warn(MessageCode::ManifestNoConnection, true);
    bool sent = false;
    if (request)
        sent = WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
    else
        warn(MessageCode::ManifestNoRequest, true);
    bool received = false;
    if (sent)
        received = WinHttpReceiveResponse(request.get(), nullptr) != FALSE;
    else
        warn(MessageCode::ManifestSendFailed, true);
    if (!received) {
        warn(MessageCode::ManifestReceiveFailed, true);
        return false;
    }
    // The status code is not examined: whatever body arrives goes to the parser.
    DWORD size = 0;
    do {
        size = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &size)) {
            warn(MessageCode::ManifestQueryDataFailed, true);
            size = 0;
        }
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[size + 1]);
        if (!buffer) {
            warn(MessageCode::ManifestBufferOutOfMemory, false);
            break;
        }
        std::memset(buffer.get(), 0, size + 1);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.get(), size, &read))
            warn(MessageCode::ManifestReadDataFailed, true);
        else
            response.append(buffer.get());  // up to the first zero byte of the pass
    } while (size > 0);
    return true;
}

}  // namespace

bool fetchManifest(VersionManifest& manifest, bool patch) {
    const wchar_t* objectPath = patch ? kPatchManifestObjectPath : kVersionManifestObjectPath;
    try {
        std::string response;
        if (!receiveManifest(objectPath, response)) {
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

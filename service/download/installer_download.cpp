// The installer download: HTTP GET into a private staging folder, read back, verify, write.
#include "download/installer_download.h"

#include <windows.h>
#include <objbase.h>
#include <winhttp.h>

#include <new>

#include "config/admin_config.h"
#include "log/service_log.h"
#include "verify/crypto_helper.h"
#include "platform/file_handle.h"
#include "platform/winhttp_handle.h"

const wchar_t kInstallerFileName[] = L"VextraPlayerInstaller.exe";
const wchar_t kActiveXInstallerObjectPath[] =
    L"/pub/vextraplayer/update/current/sau/11/install/install_all_win_ax_sgn.z";
const wchar_t kPluginInstallerObjectPath[] =
    L"/pub/vextraplayer/update/current/sau/11/install/install_all_win_pl_sgn.z";
const wchar_t kInstallerUserAgent[] = L"Download Vextra Player Installer/1.0";
const wchar_t kStagedDownloadName[] = L"vpi.tmp";

namespace {

// Logs "code GLE" at the given level and leaves that error value as the thread's last error,
// so the caller's own failure line carries the cause rather than a value left by logging.
void logWithError(LogLevel level, MessageCode code, DWORD error) {
    ServiceLog::write(level, codeText(code, static_cast<int32_t>(error)));
    SetLastError(error);
}

void logError(MessageCode code) { logWithError(LogLevel::Error, code, GetLastError()); }
void logWarning(MessageCode code) { logWithError(LogLevel::Warning, code, GetLastError()); }

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
    ~HttpHandles() { close(); }
};

// Opens the request and waits for the response headers; the first failing call logs
// DownloadRequestFailed.
bool openResponse(HttpHandles& http, const wchar_t* objectPath) {
    http.session.reset(WinHttpOpen(kInstallerUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!http.session) return false;
    std::wstring host = serviceSettings().downloadServerHost;
    http.connection.reset(WinHttpConnect(http.session.get(), host.c_str(), INTERNET_DEFAULT_HTTP_PORT, 0));
    if (!http.connection) return false;
    http.request.reset(WinHttpOpenRequest(http.connection.get(), L"GET", objectPath, nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!http.request) return false;
    if (!WinHttpSendRequest(http.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return false;
    }
    return WinHttpReceiveResponse(http.request.get(), nullptr) != FALSE;
}

// The staging folder name (without its trailing backslash) under the temporary folder.
bool chooseStagingFolder(const std::wstring& tempFolder, std::wstring& folder) {
    GUID guid;
    if (SUCCEEDED(CoCreateGuid(&guid))) {
        wchar_t guidText[MAX_PATH] = {};
        if (StringFromGUID2(guid, guidText, MAX_PATH) > 0) {
            folder = tempFolder + guidText;
            return true;
        }
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::GuidTextFailed));
    }
    ServiceLog::write(LogLevel::Warning, codeText(MessageCode::GuidNameUnavailable));
    wchar_t tempName[MAX_PATH] = {};
    if (!GetTempFileNameW(tempFolder.c_str(), L"VPI", 0, tempName)) {
        logError(MessageCode::DownloadTempFileNameFailed);
        return false;
    }
    // The unique file just made gives its name to the folder.
    if (!DeleteFileW(tempName)) {
        logError(MessageCode::DownloadTempFileDeleteFailed);
        return false;
    }
    folder = tempName;
    return true;
}

// Streams the response body into the open file, pass by pass.
bool copyBody(HINTERNET request, HANDLE file) {
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            logError(MessageCode::DownloadQueryDataFailed);
            return false;
        }
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[available + 1]());
        if (!buffer) {
            logError(MessageCode::DownloadBufferOutOfMemory);
            return false;
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.get(), available, &read)) {
            logError(MessageCode::DownloadReadDataFailed);
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer.get(), read, &written, nullptr)) {
            logError(MessageCode::DownloadStagedFileWriteFailed);
            return false;
        }
        if (available == 0) return true;
    }
}

bool writeInstaller(const std::wstring& path, const uint8_t* content, uint32_t size) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), content, size, &written, nullptr)) {
        logError(MessageCode::InstallerFileWriteFailed);
        return false;
    }
    if (!file.close()) logWarning(MessageCode::InstallerFileCloseFailed);
    return true;
}

}  // namespace

const wchar_t* packageObjectPath(const ComponentOffer& offer) {
    if (offer.patchApplies) return offer.patchPath.c_str();
    switch (offer.component) {
        case PlayerComponent::ActiveX: return kActiveXInstallerObjectPath;
        case PlayerComponent::Plugin: return kPluginInstallerObjectPath;
    }
    return nullptr;
}

std::wstring installerFilePath() {
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetFullPathNameW(kInstallerFileName, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(full, length);
}

bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size) {
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    DWORD fileSize = GetFileSize(file.get(), nullptr);
    if (fileSize == 0 || fileSize == INVALID_FILE_SIZE) return false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[fileSize]);
    if (!buffer) return false;
    DWORD total = 0;
    while (total < fileSize) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.get() + total, fileSize - total, &read, nullptr) ||
            read == 0) {
            return false;
        }
        total += read;
    }
    bytes = std::move(buffer);
    size = fileSize;
    return true;
}

bool downloadInstaller(const ComponentOffer* offer, std::wstring& installerPath) {
    if (!offer) return false;
    if (offer->component == PlayerComponent::ActiveX) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::ActiveXDownloadStarts));
    } else if (offer->component == PlayerComponent::Plugin) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::PluginDownloadStarts));
    } else {
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::DownloadUnknownComponent));
        return false;
    }
    const wchar_t* objectPath = packageObjectPath(*offer);

    HttpHandles http;
    if (!openResponse(http, objectPath)) {
        logError(MessageCode::DownloadRequestFailed);
        return false;
    }

    wchar_t tempBuffer[MAX_PATH + 1] = {};
    DWORD tempLength = GetTempPathW(MAX_PATH, tempBuffer);
    if (tempLength == 0 || tempLength > MAX_PATH) {
        logError(MessageCode::DownloadTempPathFailed);
        return false;
    }
    std::wstring stagingFolder;
    if (!chooseStagingFolder(tempBuffer, stagingFolder)) return false;
    stagingFolder += L"\\";
    const std::wstring stagedPath = stagingFolder + kStagedDownloadName;

    if (!CreateDirectoryW(stagingFolder.c_str(), nullptr)) {
        logError(MessageCode::DownloadStagingFolderFailed);
        return false;
    }
    {
        FileHandle staged(CreateFileW(stagedPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!staged.valid()) {
            logError(MessageCode::DownloadStagedFileCreateFailed);
            return false;
        }
        // A failure here leaves the staging folder and the partial download in place.
        if (!copyBody(http.request.get(), staged.get())) return false;
        if (!staged.close()) logWarning(MessageCode::StagedFileCloseFailed);
    }
    http.close();

    std::unique_ptr<uint8_t[]> package;
    uint32_t packageSize = 0;
    readWholeFile(stagedPath.c_str(), package, packageSize);  // a failure leaves it empty
    if (!DeleteFileW(stagedPath.c_str())) logWarning(MessageCode::StagedFileDeleteFailed);
    if (!RemoveDirectoryW(stagingFolder.c_str()))
        logWarning(MessageCode::StagingFolderRemoveFailed);

    std::unique_ptr<uint8_t[]> content;
    uint32_t contentSize = 0;
    bool verified = false;
    try {
        CryptoHelper crypto;
        verified = crypto.verifySignedMessage(package.get(), packageSize, content, contentSize);
    } catch (const std::bad_alloc&) {
        verified = false;  // no memory for the helper or the extracted content
    }
    if (!verified) {
        logError(MessageCode::PackageVerificationFailed);
        return false;
    }

    // Only now, with a verified package, is the installer file (re)written.
    std::wstring path = installerFilePath();
    if (path.empty()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    if (!writeInstaller(path, content.get(), contentSize)) return false;
    installerPath = path;
    return true;
}

bool downloadInstaller(const ComponentOffer* offer) {
    std::wstring ignored;
    return downloadInstaller(offer, ignored);
}

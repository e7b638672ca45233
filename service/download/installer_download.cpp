// The installer download: HTTP GET into a private staging folder, checked against the manifest,
// read back, verified, written.
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

void logStopped() {
    logWithError(LogLevel::Error, MessageCode::DownloadStopped, ERROR_OPERATION_ABORTED);
}

void logDeadlinePassed() {
    logWithError(LogLevel::Error, MessageCode::DownloadDeadlinePassed, ERROR_TIMEOUT);
}

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

// Logs the start of the download, or refuses an offer for no known component.
bool announceDownload(const ComponentOffer& offer) {
    if (offer.component == PlayerComponent::ActiveX) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::ActiveXDownloadStarts));
    } else if (offer.component == PlayerComponent::Plugin) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::PluginDownloadStarts));
    } else {
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::DownloadUnknownComponent));
        return false;
    }
    return true;
}

// Session (with the transfer time-outs), connection and request; nothing is sent yet.
bool openRequest(HttpHandles& http, const PackageSource& source, const wchar_t* objectPath) {
    http.session.reset(WinHttpOpen(kInstallerUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!http.session) return false;
    applyTransferTimeouts(http.session.get());  // refused: WinHTTP's defaults stay
    http.connection.reset(WinHttpConnect(http.session.get(), source.host.c_str(),
                                         INTERNET_DEFAULT_HTTP_PORT, 0));
    if (!http.connection) return false;
    http.request.reset(WinHttpOpenRequest(http.connection.get(), L"GET", objectPath, nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    return static_cast<bool>(http.request);
}

// Sends the request and waits for the response headers, on the pump's thread.
RequestPump::Outcome receiveResponse(RequestPump& pump, bool& ok) {
    const RequestPump::Outcome outcome = pump.send(ok);
    if (outcome != RequestPump::Outcome::Done || !ok) return outcome;
    return pump.receiveResponse(ok);
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

// The private folder that holds "vpi.tmp" while it downloads. Whatever happens to the
// download, the folder and the file in it are removed when this object goes (or earlier,
// through remove()).
class StagingFolder {
public:
    ~StagingFolder() { remove(); }

    bool create() {
        wchar_t tempBuffer[MAX_PATH + 1] = {};
        const DWORD tempLength = GetTempPathW(MAX_PATH, tempBuffer);
        if (tempLength == 0 || tempLength > MAX_PATH) {
            logError(MessageCode::DownloadTempPathFailed);
            return false;
        }
        std::wstring name;
        if (!chooseStagingFolder(tempBuffer, name)) return false;
        const std::wstring folder = name + L"\\";
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            logError(MessageCode::DownloadStagingFolderFailed);
            return false;
        }
        folder_ = folder;
        file_ = folder + kStagedDownloadName;
        return true;
    }

    const std::wstring& file() const { return file_; }

    // Deletes "vpi.tmp" (when it was made) and the folder. The thread's last error stays
    // what it was, so a failure logged before the clean-up keeps its cause.
    void remove() {
        if (folder_.empty()) return;
        const DWORD error = GetLastError();
        if (GetFileAttributesW(file_.c_str()) != INVALID_FILE_ATTRIBUTES &&
            !DeleteFileW(file_.c_str()))
            logWarning(MessageCode::StagedFileDeleteFailed);
        if (!RemoveDirectoryW(folder_.c_str())) logWarning(MessageCode::StagingFolderRemoveFailed);
        folder_.clear();
        SetLastError(error);
    }

private:
    std::wstring folder_;
    std::wstring file_;
};

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
        if (read > 0 && (!WriteFile(file, data, read, &written, nullptr) || written != read)) {
            logError(MessageCode::DownloadStagedFileWriteFailed);
            return CopyResult::Failed;
        }
        bytes += read;
        if (ended) return stop && stop->requested() ? CopyResult::Stopped : CopyResult::Complete;
    }
}

// The body into "vpi.tmp" in the staging folder; every failure is logged here.
bool downloadToStaging(RequestPump& pump, const StopSignal* stop, const StagingFolder& staging,
                       uint32_t limit, uint32_t& bytes) {
    FileHandle staged(CreateFileW(staging.file().c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!staged.valid()) {
        logError(MessageCode::DownloadStagedFileCreateFailed);
        return false;
    }
    switch (copyBody(pump, stop, staged.get(), limit, bytes)) {
        case CopyResult::Complete:
            break;
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

// The staged package against the size and digest the manifest gives for it, before any
// verification: a package signed for another build or component, or cut short, stops here.
bool matchesManifest(const std::wstring& stagedPath, uint32_t size, const PackageBinding& binding) {
    if (binding.hasSize && size != binding.size) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, ERROR_INVALID_DATA);
        return false;
    }
    if (binding.sha256.empty()) return true;
    char digest[kDigestHexLength + 1] = {};
    uint32_t digestCode = 0;
    uint32_t digestError = 0;
    bool computed = false;
    try {
        CryptoHelper crypto;
        computed = crypto.fileDigest(stagedPath.c_str(), digest, digestCode, digestError, false);
    } catch (const std::bad_alloc&) {
        digestError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!computed || binding.sha256 != digest) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest,
                     computed ? ERROR_INVALID_DATA : digestError);
        return false;
    }
    return true;
}

// The package's signature against the embedded certificate authority; content receives the
// installer it carries.
bool verifyPackage(const uint8_t* package, uint32_t packageSize,
                   std::unique_ptr<uint8_t[]>& content, uint32_t& contentSize) {
    bool verified = false;
    try {
        CryptoHelper crypto;
        verified = crypto.verifySignedMessage(package, packageSize, content, contentSize);
    } catch (const std::bad_alloc&) {
        verified = false;  // no memory for the helper or the extracted content
    }
    if (!verified) logError(MessageCode::PackageVerificationFailed);
    return verified;
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

// Only a verified package reaches this: the installer file is (re)written now.
bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath) {
    std::wstring path = installerFilePath();
    if (path.empty()) {
        logError(MessageCode::InstallerFileCreateFailed);
        return false;
    }
    if (!writeInstaller(path, content, size)) return false;
    installerPath = path;
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

const PackageBinding& packageBinding(const ComponentOffer& offer) {
    return offer.patchApplies ? offer.patchPackage : offer.fullPackage;
}

uint32_t packageByteLimit(const ComponentOffer& offer) {
    const PackageBinding& binding = packageBinding(offer);
    return binding.hasSize ? binding.size : kMaxPackageBytes;
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

bool downloadInstaller(const ComponentOffer* offer, const PackageSource& source,
                       std::wstring& installerPath) {
    if (!offer || !announceDownload(*offer)) return false;
    const wchar_t* objectPath = packageObjectPath(*offer);
    const TransferDeadline deadline(source.deadlineMs);

    // The request; its blocking calls run on the pump's thread, so a stop or the deadline
    // ends them wherever they are blocked.
    HttpHandles http;
    if (!openRequest(http, source, objectPath)) {
        logError(MessageCode::DownloadRequestFailed);
        return false;
    }
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

    // The body into the staging folder, which goes again whatever happens from here on.
    StagingFolder staging;
    if (!staging.create()) return false;
    uint32_t downloaded = 0;
    if (!downloadToStaging(pump, source.stop, staging, packageByteLimit(*offer), downloaded))
        return false;
    http.close();

    // The package as the manifest describes it, then read back; the staging folder goes.
    if (!matchesManifest(staging.file(), downloaded, packageBinding(*offer))) return false;
    std::unique_ptr<uint8_t[]> package;
    uint32_t packageSize = 0;
    readWholeFile(staging.file().c_str(), package, packageSize);  // a failure leaves it empty
    staging.remove();

    // Verified, then written under the installer's name.
    std::unique_ptr<uint8_t[]> content;
    uint32_t contentSize = 0;
    if (!verifyPackage(package.get(), packageSize, content, contentSize)) return false;
    return writeVerifiedInstaller(content.get(), contentSize, installerPath);
}

bool downloadInstaller(const ComponentOffer* offer, std::wstring& installerPath) {
    PackageSource source;
    source.host = serviceSettings().downloadServerHost;
    source.deadlineMs = transferDeadlines().packageMs;
    source.stop = &serviceStopSignal();
    return downloadInstaller(offer, source, installerPath);
}

bool downloadInstaller(const ComponentOffer* offer) {
    std::wstring ignored;
    return downloadInstaller(offer, ignored);
}

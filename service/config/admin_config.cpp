#include "config/admin_config.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/file_manager.h"
#include "log/service_log.h"
#include "platform/text_encoding.h"
#include "platform/file_handle.h"

const wchar_t kDefaultDownloadServerHost[] = L"download.vextra-updates.example";
const wchar_t kDefaultManifestServerHost[] = L"manifest.vextra-updates.example";

namespace {

// False with the Windows error when the file did not open or a read failed (a file that does
// not exist: ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND without its folder).
bool readWholeFile(const std::wstring& path, std::string& bytes, DWORD& error) {
    error = ERROR_SUCCESS;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        error = GetLastError();
        return false;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
        if (got == 0) return true;
        bytes.append(chunk, got);
    }
    error = GetLastError();
    return false;
}

// Writes `bytes` to a new file beside `path` and moves it over `path` only after every byte was
// written and flushed, so the old file survives any failure (full disk, crash mid-write).
bool replaceFileContents(const std::wstring& path, const std::string& bytes) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash);
    wchar_t temp[MAX_PATH] = {};
    if (folder.size() >= MAX_PATH - 14 || !GetTempFileNameW(folder.c_str(), L"kvc", 0, temp))
        return false;

    bool ok = false;
    {
        FileHandle file(CreateFileW(temp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) {
            ok = true;
            size_t done = 0;
            while (ok && done < bytes.size()) {
                const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
                DWORD written = 0;
                ok = WriteFile(file.get(), bytes.data() + done, want, &written, nullptr) &&
                     written == want;
                done += written;
            }
            ok = ok && FlushFileBuffers(file.get());
            ok = file.close() && ok;
        }
    }
    ok = ok && MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        const DWORD error = GetLastError();
        DeleteFileW(temp);
        SetLastError(error);
    }
    return ok;
}

}  // namespace

ServiceSettings& serviceSettings() {
    static ServiceSettings settings{false, false, kDefaultDownloadServerHost,
                                    kDefaultManifestServerHost};
    return settings;
}

AdminConfigFile::AdminConfigFile(const std::string& path) : path_(path) {
    std::wstring widePath;
    if (path.empty() || !wideFromUtf8Strict(path, widePath)) return;
    std::string bytes;
    DWORD error = ERROR_SUCCESS;
    try {
        if (!readWholeFile(widePath, bytes, error)) {
            // A file that is not there may be created; one that could not be opened (held
            // open without sharing, access denied) or read to its end keeps what it holds.
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                refuseRewrite(error);
            if (bytes.empty()) return;
        }
    } catch (const std::bad_alloc&) {
        refuseRewrite(ERROR_NOT_ENOUGH_MEMORY);
        return;  // nothing read
    }
    try {
        encoding_ = readConfigText(bytes, entries_);
        if (encoding_ == Utf16Bom) refuseRewrite(0);  // UTF-16 content is not read at all
    } catch (const std::bad_alloc&) {
        // The rest of the file is skipped; the entries read so far stay.
        refuseRewrite(ERROR_NOT_ENOUGH_MEMORY);
    }
}

std::string AdminConfigFile::get(const std::string& key) const { return configValue(entries_, key); }

void AdminConfigFile::set(const std::string& key, const std::string& value) {
    setConfigValue(entries_, key, value);
}

bool AdminConfigFile::save() {
    std::wstring widePath;
    if (path_.empty() || !wideFromUtf8Strict(path_, widePath)) return false;
    try {
        return replaceFileContents(widePath, configFileText(entries_));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool loadServiceSettings() {
    std::unique_ptr<RUZE::WindowsFileManager> files(new (std::nothrow) RUZE::WindowsFileManager);
    if (!files) return false;
    std::unique_ptr<AdminConfigFile> config;
    std::string domain;
    bool disabled = false, silent = false, verbose = false;
    try {
        config.reset(new AdminConfigFile(RUZE::WindowsFileManager::configFilePath()));
        verbose = isTrueValue(config->get(kVerboseLogging));
        domain = config->get(kServerDomain);
        disabled = isTrueValue(config->get(kAutoUpdateDisable));
        silent = isTrueValue(config->get(kSilentAutoUpdateEnable));
    } catch (const std::bad_alloc&) {
        return false;  // nothing changed
    }

    ServiceSettings& settings = serviceSettings();
    if (verbose) ServiceLog::setVerbose(true);

    if (!domain.empty()) {
        std::wstring host;
        if (wideFromUtf8Strict(domain, host))
            settings.downloadServerHost = host;
        else
            ServiceLog::write(LogLevel::Error, codeText(MessageCode::DownloadHostNotConvertible,
                                                        static_cast<int32_t>(GetLastError())));
        if (wideFromUtf8Strict(domain, host))
            settings.manifestServerHost = host;
        else
            ServiceLog::write(LogLevel::Error, codeText(MessageCode::ManifestHostNotConvertible,
                                                        static_cast<int32_t>(GetLastError())));

        if (settings.downloadServerHost.empty())
            settings.downloadServerHost = kDefaultDownloadServerHost;
        else
            ServiceLog::write(LogLevel::Info, codeText(MessageCode::DownloadHostFromConfig,
                                                       settings.downloadServerHost));
        if (settings.manifestServerHost.empty())
            settings.manifestServerHost = kDefaultManifestServerHost;
        else
            ServiceLog::write(LogLevel::Info, codeText(MessageCode::ManifestHostFromConfig,
                                                       settings.manifestServerHost));
    }

    settings.autoUpdateDisabled = disabled;
    ServiceLog::write(LogLevel::Info, codeText(disabled ? MessageCode::AutoUpdateDisableOn
                                                        : MessageCode::AutoUpdateDisableOff));
    settings.silentAutoUpdateEnabled = silent;
    ServiceLog::write(LogLevel::Info, codeText(silent ? MessageCode::SilentAutoUpdateOn
                                                      : MessageCode::SilentAutoUpdateOff));
    return true;
}

bool setAutoUpdateMode(AutoUpdateMode mode) {
    if (mode != AutoUpdateMode::Silent && mode != AutoUpdateMode::Notify &&
        mode != AutoUpdateMode::Disable)
        return false;
    std::unique_ptr<RUZE::WindowsFileManager> files(new (std::nothrow) RUZE::WindowsFileManager);
    if (!files) {
        ServiceLog::write(LogLevel::Warning,
                          codeText(MessageCode::SetAutoUpdateModeFileManagerOutOfMemory));
        return false;
    }
    try {
        AdminConfigFile config(RUZE::WindowsFileManager::configFilePath());
        if (!config.rewritable()) {
            // Saving would put the two mode keys in place of everything the file holds.
            ServiceLog::write(LogLevel::Error,
                              codeText(MessageCode::AutoUpdateModeConfigUnreadable,
                                       static_cast<int32_t>(config.readError())));
            return false;
        }
        return config.applyMode(mode) && config.save();
    } catch (const std::bad_alloc&) {
        ServiceLog::write(LogLevel::Warning,
                          codeText(MessageCode::SetAutoUpdateModeConfigOutOfMemory));
        return false;
    }
}

bool isSilentAutoUpdateEnabled() {
    std::unique_ptr<RUZE::WindowsFileManager> files(new (std::nothrow) RUZE::WindowsFileManager);
    if (!files) {
        ServiceLog::write(LogLevel::Warning,
                          codeText(MessageCode::IsSilentEnabledFileManagerOutOfMemory));
        return false;
    }
    bool enabled = false;
    try {
        AdminConfigFile config(RUZE::WindowsFileManager::configFilePath());
        enabled = isTrueValue(config.get(kSilentAutoUpdateEnable));
    } catch (const std::bad_alloc&) {
        ServiceLog::write(LogLevel::Warning,
                          codeText(MessageCode::IsSilentEnabledConfigOutOfMemory));
        return false;
    }
    if (enabled) ServiceLog::write(LogLevel::Info, codeText(MessageCode::SilentAutoUpdateEnabled));
    return enabled;
}

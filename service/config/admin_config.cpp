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

const char kSilentAutoUpdateEnable[] = "SilentAutoUpdateEnable";
const char kAutoUpdateDisable[] = "AutoUpdateDisable";
const char kVerboseLogging[] = "SilentAutoUpdateVerboseLogging";
const char kServerDomain[] = "SilentAutoUpdateServerDomain";

// Blanks and control characters (bytes 0 to 32) are trimmed from both ends of keys and values.
bool isTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isTrimmed(text[begin])) ++begin;
    while (end > begin && isTrimmed(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

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
    if (bytes.size() < 4) return;  // too short: not parsed, encoding stays NotRead

    size_t start = 0;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Utf8Bom;
        start = 3;
    } else if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        encoding_ = Utf16Bom;
        refuseRewrite(0);
        return;  // UTF-16 content is not read at all
    } else {
        encoding_ = Plain;
    }
    try {
        parse(bytes.substr(start));
    } catch (const std::bad_alloc&) {
        // The rest of the file is skipped; the entries read so far stay.
        refuseRewrite(ERROR_NOT_ENOUGH_MEMORY);
    }
}

void AdminConfigFile::parse(const std::string& bytes) {
    size_t pos = 0;
    const size_t size = bytes.size();
    while (pos < size) {
        size_t end = pos;
        while (end < size && bytes[end] != '\n' && bytes[end] != '\r') ++end;
        const std::string line = bytes.substr(pos, end - pos);
        // A line ends at LF, at CR LF, or at a CR alone. Only a line feed right after the
        // carriage return belongs to the line end: the first byte of a following line is
        // never swallowed (files with CR-only line ends read correctly).
        if (end < size && bytes[end] == '\r' && end + 1 < size && bytes[end + 1] == '\n')
            end += 2;
        else
            end += 1;
        pos = end;

        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = trim(line.substr(0, equals));
        std::string value = trim(line.substr(equals + 1));
        if (key.empty() || value.empty()) continue;
        insert(std::move(key), std::move(value));
    }
}

void AdminConfigFile::insert(std::string key, std::string value) {
    for (const ConfigEntry& entry : entries_)
        if (entry.key == key && entry.value == value) return;
    entries_.push_back(ConfigEntry{std::move(key), std::move(value)});
}

std::string AdminConfigFile::get(const std::string& key) const {
    for (const ConfigEntry& entry : entries_)
        if (entry.key == key) return entry.value;
    return std::string();
}

void AdminConfigFile::set(const std::string& key, const std::string& value) {
    for (ConfigEntry& entry : entries_) {
        if (entry.key == key) {
            entry.value = value;
            return;
        }
    }
    entries_.push_back(ConfigEntry{key, value});
}

bool AdminConfigFile::save() {
    std::wstring widePath;
    if (path_.empty() || !wideFromUtf8Strict(path_, widePath)) return false;
    try {
        std::string content;
        for (const ConfigEntry& entry : entries_) {
            content += entry.key;
            content += '=';
            content += entry.value;
            content += "\r\n";
        }
        return replaceFileContents(widePath, content);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool isTrueValue(const std::string& text) {
    std::string lowered = text;
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lowered == "true" || lowered == "t" || lowered == "yes" || lowered == "y") return true;
    // strtol rules: leading blanks and a sign, digits up to the first non-digit. An out-of-range
    // number saturates to a non-zero value, so it counts as true as well.
    return std::strtol(lowered.c_str(), nullptr, 10) != 0;
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
    const char* silentValue = nullptr;
    const char* disableValue = nullptr;
    switch (mode) {
        case AutoUpdateMode::Silent: silentValue = "1"; disableValue = "0"; break;
        case AutoUpdateMode::Notify: silentValue = "0"; disableValue = "0"; break;
        case AutoUpdateMode::Disable: silentValue = "0"; disableValue = "1"; break;
        default: return false;
    }
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
        config.set(kSilentAutoUpdateEnable, silentValue);
        config.set(kAutoUpdateDisable, disableValue);
        return config.save();
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

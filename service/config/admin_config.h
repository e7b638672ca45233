#pragma once
// The administrator configuration file "kvc.cfg" (key=value lines under the system folder)
// and the process-wide settings the service loads from it.
#include <cstdint>
#include <string>
#include <vector>

#include "config/config_text.h"

struct ServiceSettings {
    bool silentAutoUpdateEnabled = false;
    bool autoUpdateDisabled = false;
    std::wstring downloadServerHost;
    std::wstring manifestServerHost;
};

extern const wchar_t kDefaultDownloadServerHost[];
extern const wchar_t kDefaultManifestServerHost[];

// Written only by loadServiceSettings (before the service dispatcher starts), read afterwards.
ServiceSettings& serviceSettings();

class AdminConfigFile {
public:
    enum Encoding : int32_t {
        NotRead = kConfigNotRead,
        Plain = kConfigPlain,
        Utf8Bom = kConfigUtf8Bom,
        Utf16Bom = kConfigUtf16Bom,
    };

    explicit AdminConfigFile(const std::string& path);

    std::string get(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
    bool save();

    int32_t encoding() const { return encoding_; }
    // True when the entries hold the whole file, or when there is no file: only then may save()
    // replace it. Otherwise readError() says why (a Windows error value; 0 for UTF-16 text,
    // which is never read).
    bool rewritable() const { return rewritable_; }
    uint32_t readError() const { return readError_; }
    const std::vector<ConfigEntry>& entries() const { return entries_; }
    const std::string& path() const { return path_; }

    // The file grammar on bytes already read (after any byte-order mark), for tests.
    void parse(const std::string& bytes) { parseConfigLines(bytes, entries_); }
    // The two keys of a mode option (config/config_text.h).
    bool applyMode(AutoUpdateMode mode) { return applyAutoUpdateMode(entries_, mode); }

private:
    void refuseRewrite(uint32_t error) {
        rewritable_ = false;
        readError_ = error;
    }

    int32_t encoding_ = NotRead;
    bool rewritable_ = true;
    uint32_t readError_ = 0;
    std::vector<ConfigEntry> entries_;
    std::string path_;
};

bool loadServiceSettings();
bool setAutoUpdateMode(AutoUpdateMode mode);
bool isSilentAutoUpdateEnabled();

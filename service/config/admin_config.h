#pragma once
// The administrator configuration file "kvc.cfg" (key=value lines under the system folder)
// and the process-wide settings the service loads from it.
#include <cstdint>
#include <string>
#include <vector>

enum class AutoUpdateMode : int32_t { Silent = 0, Notify = 1, Disable = 2 };

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

struct ConfigEntry {
    std::string key;
    std::string value;
};

class AdminConfigFile {
public:
    enum Encoding : int32_t { NotRead = -1, Plain = 0, Utf8Bom = 1, Utf16Bom = 2 };

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
    void parse(const std::string& bytes);

private:
    void insert(std::string key, std::string value);

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

bool isTrueValue(const std::string& text);

bool loadServiceSettings();
bool setAutoUpdateMode(AutoUpdateMode mode);
bool isSilentAutoUpdateEnabled();

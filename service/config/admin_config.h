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
    const std::vector<ConfigEntry>& entries() const { return entries_; }
    const std::string& path() const { return path_; }

    // The file grammar on bytes already read (after any byte-order mark), for tests.
    void parse(const std::string& bytes);

private:
    void insert(std::string key, std::string value);

    int32_t encoding_ = NotRead;
    std::vector<ConfigEntry> entries_;
    std::string path_;
};

bool isTrueValue(const std::string& text);

bool loadServiceSettings();
bool setAutoUpdateMode(AutoUpdateMode mode);
bool isSilentAutoUpdateEnabled();

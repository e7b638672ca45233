#include "config/config_text.h"

#include <cstdlib>

extern const char kSilentAutoUpdateEnable[] = "SilentAutoUpdateEnable";
extern const char kAutoUpdateDisable[] = "AutoUpdateDisable";
extern const char kVerboseLogging[] = "SilentAutoUpdateVerboseLogging";
extern const char kServerDomain[] = "SilentAutoUpdateServerDomain";

namespace {

// Blanks and control characters (bytes 0 to 32) are trimmed from both ends of keys and values.
bool isTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isTrimmed(text[begin])) ++begin;
    while (end > begin && isTrimmed(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool startsWithUtf8Mark(const std::string& bytes) { return bytes.compare(0, 3, "\xEF\xBB\xBF") == 0; }
bool startsWithUtf16Mark(const std::string& bytes) {
    return bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0;
}

void insert(std::vector<ConfigEntry>& entries, std::string key, std::string value) {
    for (const ConfigEntry& entry : entries)
        if (entry.key == key && entry.value == value) return;
    entries.push_back(ConfigEntry{std::move(key), std::move(value)});
}

}  // namespace

ConfigEncoding readConfigText(const std::string& fileBytes, std::vector<ConfigEntry>& entries) {
    if (fileBytes.size() < 4) return kConfigNotRead;  // too short: not parsed
    if (startsWithUtf8Mark(fileBytes)) {
        parseConfigLines(fileBytes.substr(3), entries);
        return kConfigUtf8Bom;
    }
    if (startsWithUtf16Mark(fileBytes)) return kConfigUtf16Bom;  // not read at all
    parseConfigLines(fileBytes, entries);
    return kConfigPlain;
}

void parseConfigLines(const std::string& bytes, std::vector<ConfigEntry>& entries) {
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
        insert(entries, std::move(key), std::move(value));
    }
}

std::string configValue(const std::vector<ConfigEntry>& entries, const std::string& key) {
    for (const ConfigEntry& entry : entries)
        if (entry.key == key) return entry.value;
    return std::string();
}

void setConfigValue(std::vector<ConfigEntry>& entries, const std::string& key,
                    const std::string& value) {
    for (ConfigEntry& entry : entries) {
        if (entry.key == key) {
            entry.value = value;
            return;
        }
    }
    entries.push_back(ConfigEntry{key, value});
}

bool applyAutoUpdateMode(std::vector<ConfigEntry>& entries, AutoUpdateMode mode) {
    const char* silentValue = nullptr;
    const char* disableValue = nullptr;
    switch (mode) {
        case AutoUpdateMode::Silent: silentValue = "1"; disableValue = "0"; break;
        case AutoUpdateMode::Notify: silentValue = "0"; disableValue = "0"; break;
        case AutoUpdateMode::Disable: silentValue = "0"; disableValue = "1"; break;
        default: return false;
    }
    setConfigValue(entries, kSilentAutoUpdateEnable, silentValue);
    setConfigValue(entries, kAutoUpdateDisable, disableValue);
    return true;
}

std::string configFileText(const std::vector<ConfigEntry>& entries) {
    std::string content;
    for (const ConfigEntry& entry : entries) {
        content += entry.key;
        content += '=';
        content += entry.value;
        content += "\r\n";
    }
    // A first key read after a byte-order mark, after trimmed control bytes or after lines the
    // save drops may itself begin with one: unmarked, the next read would strip it or skip the
    // whole file as UTF-16.
    if (startsWithUtf8Mark(content) || startsWithUtf16Mark(content))
        content.insert(0, "\xEF\xBB\xBF");
    return content;
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

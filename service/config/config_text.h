#pragma once
// The grammar of "kvc.cfg" on bytes: how a file's bytes become key=value entries, how entries
// become the bytes a save writes, and the two keys a mode option sets. No platform calls.
#include <cstdint>
#include <string>
#include <vector>

enum class AutoUpdateMode : int32_t { Silent = 0, Notify = 1, Disable = 2 };

struct ConfigEntry {
    std::string key;
    std::string value;
};

inline bool operator==(const ConfigEntry& a, const ConfigEntry& b) {
    return a.key == b.key && a.value == b.value;
}

// What the reader found at the start of the file.
enum ConfigEncoding : int32_t {
    kConfigNotRead = -1,   // no file, or fewer than 4 bytes
    kConfigPlain = 0,      // no byte-order mark
    kConfigUtf8Bom = 1,    // UTF-8 byte-order mark, skipped
    kConfigUtf16Bom = 2,   // UTF-16 byte-order mark: the content is not read
};

// The entries of a whole file's bytes (appended to entries); returns the encoding found.
ConfigEncoding readConfigText(const std::string& fileBytes, std::vector<ConfigEntry>& entries);

// The line grammar on bytes after any byte-order mark: lines end at LF, CR LF or a lone CR;
// a line is key=value split at the first "="; bytes 0 to 32 are trimmed from both; a line
// with an empty key or value is skipped, and so is a repeat of an entry already read.
void parseConfigLines(const std::string& bytes, std::vector<ConfigEntry>& entries);

// The value of the first entry with the key, or empty.
std::string configValue(const std::vector<ConfigEntry>& entries, const std::string& key);
// Sets the first entry with the key, or appends one.
void setConfigValue(std::vector<ConfigEntry>& entries, const std::string& key,
                    const std::string& value);

// The two keys a mode option writes; false for a value outside the enumeration.
bool applyAutoUpdateMode(std::vector<ConfigEntry>& entries, AutoUpdateMode mode);

// The bytes a save writes: each entry as key=value and CR LF, in order, no byte-order mark;
// except that a UTF-8 byte-order mark goes first when the text would otherwise begin with
// bytes that the reader takes for one (a first key that begins so), so that the file reads
// back as the same entries.
std::string configFileText(const std::vector<ConfigEntry>& entries);

// true, t, yes, y (any case), or a number that strtol reads as non-zero.
bool isTrueValue(const std::string& text);

extern const char kSilentAutoUpdateEnable[];  // "SilentAutoUpdateEnable"
extern const char kAutoUpdateDisable[];       // "AutoUpdateDisable"
extern const char kVerboseLogging[];          // "SilentAutoUpdateVerboseLogging"
extern const char kServerDomain[];            // "SilentAutoUpdateServerDomain"

// kvc.cfg read, rewritten by a mode option, and read again.
#include "config/config_text.h"
#include "fuzz_support.h"

namespace {

// The entries as the reader keeps them: a repeat of an entry already there is dropped.
std::vector<ConfigEntry> withoutRepeats(const std::vector<ConfigEntry>& entries) {
    std::vector<ConfigEntry> kept;
    for (const ConfigEntry& entry : entries) {
        bool seen = false;
        for (const ConfigEntry& k : kept) seen = seen || k == entry;
        if (!seen) kept.push_back(entry);
    }
    return kept;
}

bool isModeKey(const std::string& key) {
    return key == kSilentAutoUpdateEnable || key == kAutoUpdateDisable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const AutoUpdateMode mode = static_cast<AutoUpdateMode>(data[0] % 3);
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<ConfigEntry> read;
    const ConfigEncoding encoding = readConfigText(bytes, read);
    for (const ConfigEntry& entry : read) {
        FUZZ_ASSERT(!entry.key.empty() && !entry.value.empty());
        FUZZ_ASSERT(entry.key.find_first_of("=\r\n") == std::string::npos);
        FUZZ_ASSERT(entry.value.find_first_of("\r\n") == std::string::npos);
    }
    if (encoding == kConfigUtf16Bom) {
        FUZZ_ASSERT(read.empty());
        return 0;  // never rewritten
    }
    std::vector<ConfigEntry> rewritten = read;
    FUZZ_ASSERT(applyAutoUpdateMode(rewritten, mode));
    // Only the two mode keys change, at their first entry, and only they may be added.
    size_t i = 0;
    bool silentSeen = false, disableSeen = false;
    for (const ConfigEntry& before : read) {
        FUZZ_ASSERT(i < rewritten.size() && rewritten[i].key == before.key);
        bool& seen = before.key == kSilentAutoUpdateEnable ? silentSeen : disableSeen;
        const bool firstModeEntry = isModeKey(before.key) && !seen;
        if (isModeKey(before.key)) seen = true;
        if (!firstModeEntry) FUZZ_ASSERT(rewritten[i].value == before.value);
        ++i;
    }
    for (; i < rewritten.size(); ++i) FUZZ_ASSERT(isModeKey(rewritten[i].key));
    const char* silent = mode == AutoUpdateMode::Silent ? "1" : "0";
    const char* disable = mode == AutoUpdateMode::Disable ? "1" : "0";
    FUZZ_ASSERT(configValue(rewritten, kSilentAutoUpdateEnable) == silent);
    FUZZ_ASSERT(configValue(rewritten, kAutoUpdateDisable) == disable);

    // The saved bytes read back as the same entries.
    std::vector<ConfigEntry> again;
    const ConfigEncoding againEncoding = readConfigText(configFileText(rewritten), again);
    FUZZ_ASSERT(againEncoding == kConfigPlain || againEncoding == kConfigUtf8Bom);
    FUZZ_ASSERT(again == withoutRepeats(rewritten));
    return 0;
}

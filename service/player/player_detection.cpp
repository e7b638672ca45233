#include "player/player_detection.h"

#include <cstring>
#include <cwchar>

#include "log/service_log.h"
#include "player/installed_player_digests.h"
#include "player/patch_fit.h"
#include "verify/crypto_helper.h"

const wchar_t kActiveXPlayerKey[] = L"Software\\Telmora\\VextraPlayerActiveX";
const wchar_t kPluginPlayerKey[] = L"Software\\Telmora\\VextraPlayerPlugin";

namespace {

class RegistryKey {
public:
    RegistryKey(const wchar_t* path, REGSAM access) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~RegistryKey() {
        if (key_) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

// Reads a REG_SZ value (or, with expand, a REG_EXPAND_SZ value, expanded) into a zero-filled
// buffer of `chars` characters. The value must fit together with its terminating NUL;
// otherwise, and for a value of any other type (binary data or a number read as characters
// would be taken for a path or a version), the buffer is left empty and false returned.
// The registry hands back the stored bytes as they are: a value of odd length, or one stored
// without its NUL, can reach into the last character of the buffer, which then holds no
// terminator. Such a value does not fit.
bool readString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD chars, bool expand = false) {
    std::memset(buffer, 0, chars * sizeof(wchar_t));
    DWORD bytes = chars * sizeof(wchar_t);
    DWORD type = REG_NONE;
    const bool read = RegQueryValueExW(key, name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer), &bytes) == ERROR_SUCCESS;
    const bool text = type == REG_SZ || (expand && type == REG_EXPAND_SZ);
    if (!read || !text || buffer[chars - 1] != L'\0') {
        std::memset(buffer, 0, chars * sizeof(wchar_t));
        return false;
    }
    if (type == REG_EXPAND_SZ) {
        wchar_t expanded[kPlayerPathChars] = {};
        const DWORD needed = ExpandEnvironmentStringsW(buffer, expanded, kPlayerPathChars);
        std::memset(buffer, 0, chars * sizeof(wchar_t));
        if (needed == 0 || needed > chars || needed > kPlayerPathChars) return false;
        std::memcpy(buffer, expanded, needed * sizeof(wchar_t));
    }
    return true;
}

const wchar_t* playerKeyFor(PlayerComponent component) {
    switch (component) {
        case PlayerComponent::ActiveX: return kActiveXPlayerKey;
        case PlayerComponent::Plugin: return kPluginPlayerKey;
    }
    return nullptr;
}

bool isZero(const PlayerVersion& v) { return v == PlayerVersion{}; }

}  // namespace

PlayerVersion readInstalledVersion(PlayerComponent component) {
    const wchar_t* path = playerKeyFor(component);
    if (!path) return PlayerVersion{};
    wchar_t text[kVersionValueChars];
    bool versionRead = false;
    bool debugger = false;
    {
        RegistryKey key(path, KEY_READ);
        if (!key) return PlayerVersion{};
        versionRead = readString(key.get(), L"Version", text, kVersionValueChars);
        if (versionRead) {
            DWORD flag = 0;
            DWORD size = sizeof(flag);
            debugger = RegQueryValueExW(key.get(), L"isScriptDebugger", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&flag), &size) == ERROR_SUCCESS &&
                       flag != 0;
        }
    }
    // A debugger edition counts as not installed, so it is never updated.
    if (!versionRead || debugger) return PlayerVersion{};
    return parseInstalledVersionText(text);
}

namespace {

// The ActiveX player is never updated on Windows 8 or later.
bool excludedOnThisWindows(PlayerComponent component, OsClass osClass) {
    return component == PlayerComponent::ActiveX && osClass == OsClass::Win8OrLater;
}

}  // namespace

bool isUpdateNeededFor(const ComponentOffer& offer, OsClass osClass, const PlayerVersion& installed) {
    if (excludedOnThisWindows(offer.component, osClass)) return false;
    if (isZero(installed)) return false;  // never installs a missing component
    return comparePlayerVersions(offer.version, installed) == 1;  // never downgrades
}

bool isUpdateNeeded(const ComponentOffer& offer) {
    // An excluded component's installed build is not even read.
    if (excludedOnThisWindows(offer.component, currentOsClass)) return false;
    return isUpdateNeededFor(offer, currentOsClass, readInstalledVersion(offer.component));
}

bool readPlayerPath(PlayerComponent component, bool defaultView, wchar_t (&path)[kPlayerPathChars]) {
    const wchar_t* keyPath =
        component == PlayerComponent::ActiveX ? kActiveXPlayerKey : kPluginPlayerKey;
    RegistryKey key(keyPath, KEY_READ | (defaultView ? 0 : KEY_WOW64_64KEY));
    if (!key) return false;
    readString(key.get(), L"PlayerPath", path, kPlayerPathChars, true);  // failure leaves it empty
    return true;
}

bool hashPlayerFile(const wchar_t* path, char (&digest)[kDigestBufferChars], bool nativeFileView) {
    uint32_t code = 0;
    uint32_t lastError = 0;
    CryptoHelper helper;
    if (helper.fileDigest(path, digest, code, lastError, nativeFileView)) return true;
    ServiceLog::write(LogLevel::Warning,
                      codeText(static_cast<MessageCode>(code), static_cast<int32_t>(lastError)));
    return false;
}

void checkPatchApplicable(ComponentOffer& offer, bool windowsIs64Bit) {
    InstalledPlayerDigests files(nullptr, nullptr);
    decidePatchApplies(offer, windowsIs64Bit, files);
}

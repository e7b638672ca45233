#include "player/player_detection.h"

#include <cstring>
#include <cwchar>

#include "log/service_log.h"
#include "verify/crypto_helper.h"

const wchar_t kActiveXPlayerKey[] = L"Software\\Telmora\\VextraPlayerActiveX";
const wchar_t kPluginPlayerKey[] = L"Software\\Telmora\\VextraPlayerPlugin";
const wchar_t kPatchFolderPath[] = L"/pub/vextraplayer/update/current/sau/11/install/patch";

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

// Reads a string value into a zero-filled buffer of `chars` characters. The value must fit
// together with its terminating NUL; otherwise the buffer is left empty and false returned.
// The registry hands back the stored bytes as they are: a value of odd length, or one stored
// without its NUL, can reach into the last character of the buffer, which then holds no
// terminator. Such a value does not fit.
bool readString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD chars) {
    std::memset(buffer, 0, chars * sizeof(wchar_t));
    DWORD bytes = chars * sizeof(wchar_t);
    const bool read = RegQueryValueExW(key, name, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer), &bytes) == ERROR_SUCCESS;
    if (!read || buffer[chars - 1] != L'\0') {
        std::memset(buffer, 0, chars * sizeof(wchar_t));
        return false;
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

int comparePlayerVersions(const PlayerVersion& a, const PlayerVersion& b) {
    const uint32_t left[4] = {a.major, a.minor, a.buildMajor, a.buildMinor};
    const uint32_t right[4] = {b.major, b.minor, b.buildMajor, b.buildMinor};
    for (int i = 0; i < 4; ++i) {
        if (left[i] > right[i]) return 1;
        if (left[i] < right[i]) return -1;
    }
    return 0;
}

PlayerVersion parseInstalledVersionText(const wchar_t* text) {
    PlayerVersion version;
    if (!text) return version;
    uint32_t* parts[4] = {&version.major, &version.minor, &version.buildMajor, &version.buildMinor};
    const wchar_t* piece = text;
    for (int index = 0;; ++index) {
        if (index == 4) return PlayerVersion{};  // a fifth piece, even an empty one
        // Each piece reads like wcstoul: the conversion stops at the full stop at the latest.
        *parts[index] = static_cast<uint32_t>(std::wcstoul(piece, nullptr, 10));
        const wchar_t* stop = std::wcschr(piece, L'.');
        if (!stop) break;
        piece = stop + 1;
    }
    return version;
}

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

void buildPatchPath(ComponentOffer& offer, std::wstring entryPath) {
    std::wstring path = kPatchFolderPath;
    path += L'/';
    path += entryPath;
    path += L'/';
    path += offer.component == PlayerComponent::ActiveX ? L"patch_all_win_ax_sgn.z"
                                                        : L"patch_all_win_pl_sgn.z";
    offer.patchPath.swap(path);
}

bool readPlayerPath(PlayerComponent component, bool defaultView, wchar_t (&path)[kPlayerPathChars]) {
    const wchar_t* keyPath =
        component == PlayerComponent::ActiveX ? kActiveXPlayerKey : kPluginPlayerKey;
    RegistryKey key(keyPath, KEY_READ | (defaultView ? 0 : KEY_WOW64_64KEY));
    if (!key) return false;
    readString(key.get(), L"PlayerPath", path, kPlayerPathChars);  // failure leaves it empty
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

bool digestMatches(const std::string& expected, const char* digest) {
    return expected.size() == kDigestHexLength && std::strlen(digest) == kDigestHexLength &&
           std::memcmp(expected.data(), digest, kDigestHexLength) == 0;
}

void checkPatchApplicable(ComponentOffer& offer, bool windowsIs64Bit) {
    wchar_t path[kPlayerPathChars] = {};
    char digest[kDigestBufferChars] = {};
    readPlayerPath(offer.component, true, path);
    if (path[0]) hashPlayerFile(path, digest, false);
    bool match = digestMatches(offer.hash32, digest);
    if (windowsIs64Bit && match) {
        // 64-bit Windows: the 64-bit player file must fit the patch as well.
        std::memset(path, 0, sizeof(path));
        std::memset(digest, 0, sizeof(digest));
        readPlayerPath(offer.component, false, path);
        if (path[0]) hashPlayerFile(path, digest, true);
        match = digestMatches(offer.hash64, digest);
    }
    offer.patchApplies = match;
}

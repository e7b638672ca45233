#pragma once
// A player component, its four-part build number, and what the manifests offer for it: the
// records shared by the manifest parsers, the update rule and the installer download.
#include <cstdint>
#include <string>

enum class PlayerComponent : int32_t { ActiveX = 1, Plugin = 2 };

// A four-part build number; 0.0.0.0 means "not installed" wherever an installed build is meant.
struct PlayerVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t buildMajor = 0;
    uint32_t buildMinor = 0;
};

inline bool operator==(const PlayerVersion& a, const PlayerVersion& b) {
    return a.major == b.major && a.minor == b.minor && a.buildMajor == b.buildMajor &&
           a.buildMinor == b.buildMinor;
}
inline bool operator!=(const PlayerVersion& a, const PlayerVersion& b) { return !(a == b); }

// What a manifest says a package must be: its exact byte count and SHA-256 digest, each
// optional. Without either, any package that verifies is taken, as before the attributes existed.
struct PackageBinding {
    bool hasSize = false;
    uint32_t size = 0;
    std::string sha256;  // 64 lowercase hexadecimal characters, or empty when not given

    bool any() const { return hasSize || !sha256.empty(); }
};

// What the manifests offer for one component. hash32/hash64 hold the patch entry being examined;
// patchPath (and patchPackage) are meaningful only while patchApplies is true.
struct ComponentOffer {
    PlayerVersion version;
    PlayerComponent component = PlayerComponent::ActiveX;
    std::string hash32;
    std::string hash64;
    std::wstring patchPath;
    bool patchApplies = false;
    // The full installer package, bound by the component's element in version.xml.
    PackageBinding fullPackage;
    // The patch package, bound by the examined patch entry; meaningful with patchPath.
    PackageBinding patchPackage;
};

// patch.xml walked against player files whose digests a fake source hands in.
#include <cctype>
#include <string>

#include "fuzz_support.h"
#include "manifest/manifest.h"
#include "manifest/xml_nesting.h"
#include "player/player_records.h"

namespace {

// SHA-256 of "abc" and of "xyz": the digests of the fake player files.
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kXyz = "3608bca1e44ea6c4d268eb6db02260269892c0b42b86bbf1e77a6fa16c3c9282";

class FakeFiles : public PlayerFileDigests {
public:
    FakeFiles(size_t stopAfter, const VersionManifest& manifest, bool windowsIs64Bit)
        : stopAfter_(stopAfter), manifest_(manifest), windowsIs64Bit_(windowsIs64Bit) {}
    const std::string& digest(PlayerComponent component, bool sixtyFourBit) override {
        // Asked only for an entry being examined whose digest texts can match a file.
        const ComponentOffer& offer =
            component == PlayerComponent::ActiveX ? *manifest_.activeX : *manifest_.plugin;
        FUZZ_ASSERT(isPlayerDigestText(offer.hash32));
        if (windowsIs64Bit_) FUZZ_ASSERT(isPlayerDigestText(offer.hash64));
        FUZZ_ASSERT(!sixtyFourBit || windowsIs64Bit_);
        static const std::string none;
        if (component == PlayerComponent::ActiveX) return sixtyFourBit ? kXyz : kAbc;
        return sixtyFourBit ? none : kXyz;  // no 64-bit plug-in installed
    }
    bool walkMustStop() override { return ++polls > stopAfter_; }
    size_t polls = 0;

private:
    size_t stopAfter_;
    const VersionManifest& manifest_;
    bool windowsIs64Bit_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool windowsIs64Bit = data[0] & 1;
    const size_t stopAfter = data[1] == 0xFF ? static_cast<size_t>(-1) : data[1];
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    std::vector<char> buffer = terminated(text);
    const uint32_t checked = xmlNestingDepth(buffer.data(), kMaxManifestNesting);

    VersionManifest manifest;
    manifest.activeX.reset(new ComponentOffer);
    manifest.activeX->component = PlayerComponent::ActiveX;
    manifest.plugin.reset(new ComponentOffer);
    manifest.plugin->component = PlayerComponent::Plugin;
    FakeFiles files(stopAfter, manifest, windowsIs64Bit);
    RecordingSink log;
    const bool walked = parsePatchManifest(buffer.data(), &manifest, windowsIs64Bit, files, log);

    if (checked > kMaxManifestNesting)
        FUZZ_ASSERT(!walked && log.codes == std::vector<MessageCode>{MessageCode::ManifestNestedTooDeep});
    // The walk polls the stop once per top-level element, and never goes on past a stop.
    if (files.polls > stopAfter) {
        FUZZ_ASSERT(!walked);
        FUZZ_ASSERT(!log.codes.empty() && log.codes.back() == MessageCode::PatchManifestWalkStopped);
    }
    for (const ComponentOffer* offer : {manifest.activeX.get(), manifest.plugin.get()}) {
        if (!offer->patchApplies) continue;
        // A patch applies only for the installed files' very digests, on the component's path.
        const bool activeX = offer->component == PlayerComponent::ActiveX;
        FUZZ_ASSERT(offer->hash32 == (activeX ? kAbc : kXyz));
        if (windowsIs64Bit) FUZZ_ASSERT(activeX && offer->hash64 == kXyz);
        const std::wstring suffix = activeX ? L"/patch_all_win_ax_sgn.z" : L"/patch_all_win_pl_sgn.z";
        FUZZ_ASSERT(offer->patchPath.size() > suffix.size() &&
                    offer->patchPath.compare(offer->patchPath.size() - suffix.size(),
                                             suffix.size(), suffix) == 0);
        FUZZ_ASSERT(offer->patchPackage.sha256.empty() || offer->patchPackage.sha256.size() == 64);
    }
    // Whatever was examined, a path built from an entry changes nothing in the request and never
    // climbs: printable ASCII without a query, fragment, space or backslash, every '%' an escape
    // of two hex digits, and no ".." segment, also once the escapes are read (a server may take
    // an escaped backslash for a separator).
    for (const ComponentOffer* offer : {manifest.activeX.get(), manifest.plugin.get()}) {
        const std::wstring& path = offer->patchPath;
        if (path.empty()) continue;
        FUZZ_ASSERT(path.find_first_of(L"?#\\ ") == std::wstring::npos);
        for (wchar_t c : path) FUZZ_ASSERT(c > 0x20 && c < 0x7F);
        std::string decoded;
        for (size_t i = 0; i < path.size(); ++i) {
            if (path[i] != L'%') {
                decoded.push_back(static_cast<char>(path[i]));
                continue;
            }
            FUZZ_ASSERT(i + 2 < path.size() && std::isxdigit(path[i + 1]) && std::isxdigit(path[i + 2]));
            decoded.push_back(static_cast<char>(std::stoi(std::string{static_cast<char>(path[i + 1]),
                                                                      static_cast<char>(path[i + 2])},
                                                          nullptr, 16)));
            i += 2;
        }
        size_t start = 0;
        for (size_t i = 0; i <= decoded.size(); ++i) {
            if (i < decoded.size() && decoded[i] != '/' && decoded[i] != '\\') continue;
            FUZZ_ASSERT(!(i - start == 2 && decoded.compare(start, 2, "..") == 0));
            start = i + 1;
        }
    }
    return 0;
}

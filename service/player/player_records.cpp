#include "player/player_records.h"

#include <cstring>
#include <cwchar>

extern const wchar_t kPatchFolderPath[] = L"/pub/vextraplayer/update/current/sau/11/install/patch";

int comparePlayerVersions(const PlayerVersion& a, const PlayerVersion& b) {
    const uint32_t left[4] = {a.major, a.minor, a.buildMajor, a.buildMinor};
    const uint32_t right[4] = {b.major, b.minor, b.buildMajor, b.buildMinor};
    for (int i = 0; i < 4; ++i) {
        if (left[i] > right[i]) return 1;
        if (left[i] < right[i]) return -1;
    }
    return 0;
}

namespace {

// One piece as Windows' wcstoul reads it (unsigned long has 32 bits there): white space, an
// optional sign (a minus negates modulo 2^32), digits, saturation at the maximum. By hand, so
// that the result does not depend on the width of unsigned long.
uint32_t versionPiece(const wchar_t* p) {
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        ++p;
    }
    uint64_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - L'0');
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    const uint32_t result = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - result) : result;
}

}  // namespace

PlayerVersion parseInstalledVersionText(const wchar_t* text) {
    PlayerVersion version;
    if (!text) return version;
    uint32_t* parts[4] = {&version.major, &version.minor, &version.buildMajor, &version.buildMinor};
    const wchar_t* piece = text;
    for (int index = 0;; ++index) {
        if (index == 4) return PlayerVersion{};  // a fifth piece, even an empty one
        // Each piece reads like wcstoul: the conversion stops at the full stop at the latest.
        *parts[index] = versionPiece(piece);
        const wchar_t* stop = std::wcschr(piece, L'.');
        if (!stop) break;
        piece = stop + 1;
    }
    return version;
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

bool isPlayerDigestText(const std::string& text) {
    if (text.size() != kPlayerDigestHexLength) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool digestMatches(const std::string& expected, const char* digest) {
    return expected.size() == kPlayerDigestHexLength &&
           std::strlen(digest) == kPlayerDigestHexLength &&
           std::memcmp(expected.data(), digest, kPlayerDigestHexLength) == 0;
}

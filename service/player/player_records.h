#pragma once
// The player's records as text: the installed "Version" string, the patch path built from a
// manifest entry, the digest text of a player file. No platform calls.
#include <cstdint>
#include <string>

#include "player/offer.h"

// Characters of a player file's digest: SHA-256 as lowercase hexadecimal.
constexpr uint32_t kPlayerDigestHexLength = 64;

// 1 when a is newer, -1 when b is newer, 0 when equal (part by part, as unsigned numbers).
int comparePlayerVersions(const PlayerVersion& a, const PlayerVersion& b);

// The "Version" text as installed: pieces split on '.', each read like strtoul; missing pieces
// are 0; a fifth piece (even empty) makes the whole result 0.0.0.0.
PlayerVersion parseInstalledVersionText(const wchar_t* text);

// offer.patchPath = patch folder + "/" + entryPath + "/" + the component's patch file name.
void buildPatchPath(ComponentOffer& offer, std::wstring entryPath);

// True when text can be a player file's digest: exactly 64 lowercase hexadecimal digits. Any
// other text matches no file, so nothing needs hashing for it.
bool isPlayerDigestText(const std::string& text);

// True when expected is exactly 64 characters and equals the 64-character digest byte for byte.
bool digestMatches(const std::string& expected, const char* digest);

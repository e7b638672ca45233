#pragma once
// Installed player builds from the player's registry records, the update decision, and patch
// selection by the SHA-256 digests of the installed player files.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/os_version.h"
#include "player/offer.h"

extern const wchar_t kActiveXPlayerKey[];  // L"Software\\Telmora\\VextraPlayerActiveX"
extern const wchar_t kPluginPlayerKey[];   // L"Software\\Telmora\\VextraPlayerPlugin"
extern const wchar_t kPatchFolderPath[];   // L"/pub/vextraplayer/update/current/sau/11/install/patch"

constexpr uint32_t kVersionValueChars = 2048;
constexpr uint32_t kPlayerPathChars = MAX_PATH;
constexpr uint32_t kDigestBufferChars = 65;

// 1 when a is newer, -1 when b is newer, 0 when equal (part by part, as unsigned numbers).
int comparePlayerVersions(const PlayerVersion& a, const PlayerVersion& b);

// The "Version" text as installed: pieces split on '.', each read like strtoul; missing pieces
// are 0; a fifth piece (even empty) makes the whole result 0.0.0.0.
PlayerVersion parseInstalledVersionText(const wchar_t* text);

// Installed build of a component from HKLM (default view), or 0.0.0.0 when the key or "Version"
// is missing, or the installed player is the debugger edition.
PlayerVersion readInstalledVersion(PlayerComponent component);

// The update rule on given inputs: no ActiveX update on Win8OrLater, never install a missing
// component, never downgrade.
bool isUpdateNeededFor(const ComponentOffer& offer, OsClass osClass, const PlayerVersion& installed);

// The update rule on this machine (currentOsClass and the registry).
bool isUpdateNeeded(const ComponentOffer& offer);

// offer.patchPath = patch folder + "/" + entryPath + "/" + the component's patch file name.
void buildPatchPath(ComponentOffer& offer, std::wstring entryPath);

// "PlayerPath" of the component's key (64-bit view when defaultView is false) into path.
// False when the key did not open (path untouched); a failed read leaves path empty.
bool readPlayerPath(PlayerComponent component, bool defaultView, wchar_t (&path)[kPlayerPathChars]);

// SHA-256 of a player file as 64 lowercase hex characters; logs the digest failure at Warning.
bool hashPlayerFile(const wchar_t* path, char (&digest)[kDigestBufferChars], bool nativeFileView);

// True when expected is exactly 64 characters and equals the 64-character digest byte for byte.
bool digestMatches(const std::string& expected, const char* digest);

// Sets offer.patchApplies: the 32-bit player file must match hash32 and, when windowsIs64Bit
// (the 32-bit service on 64-bit Windows), the 64-bit player file must also match hash64.
void checkPatchApplicable(ComponentOffer& offer, bool windowsIs64Bit);

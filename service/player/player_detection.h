#pragma once
// Installed player builds from the player's registry records, the update decision, and patch
// selection by the SHA-256 digests of the installed player files.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/os_version.h"
#include "player/offer.h"
#include "player/player_records.h"

extern const wchar_t kActiveXPlayerKey[];  // L"Software\\Telmora\\VextraPlayerActiveX"
extern const wchar_t kPluginPlayerKey[];   // L"Software\\Telmora\\VextraPlayerPlugin"
extern const wchar_t kPatchFolderPath[];   // L"/pub/vextraplayer/update/current/sau/11/install/patch"

constexpr uint32_t kVersionValueChars = 2048;
constexpr uint32_t kPlayerPathChars = MAX_PATH;
constexpr uint32_t kDigestBufferChars = 65;

// Installed build of a component from HKLM (default view), or 0.0.0.0 when the key or "Version"
// is missing, or the installed player is the debugger edition.
PlayerVersion readInstalledVersion(PlayerComponent component);

// The update rule on given inputs: no ActiveX update on Win8OrLater, never install a missing
// component, never downgrade.
bool isUpdateNeededFor(const ComponentOffer& offer, OsClass osClass, const PlayerVersion& installed);

// The update rule on this machine (currentOsClass and the registry).
bool isUpdateNeeded(const ComponentOffer& offer);

// "PlayerPath" of the component's key (64-bit view when defaultView is false) into path: a
// REG_SZ value as stored, a REG_EXPAND_SZ value with its environment variables expanded.
// False when the key did not open (path untouched); a failed read, a value of another type or
// one that does not fit leaves path empty.
bool readPlayerPath(PlayerComponent component, bool defaultView, wchar_t (&path)[kPlayerPathChars]);

// SHA-256 of a player file as 64 lowercase hex characters; logs the digest failure at Warning.
bool hashPlayerFile(const wchar_t* path, char (&digest)[kDigestBufferChars], bool nativeFileView);

// decidePatchApplies (player/patch_fit.h) on this machine's player files, hashed afresh.
void checkPatchApplicable(ComponentOffer& offer, bool windowsIs64Bit);

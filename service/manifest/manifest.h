#pragma once
// What the version and patch manifests offer: the records the update cycle owns for one cycle,
// and the two in-place parsers of "version.xml" and "patch.xml".
#include <cstdint>
#include <memory>
#include <string>

#include "player/offer.h"

// Result of one version manifest fetch. The three members are absent together or present together.
struct VersionManifest {
    std::unique_ptr<ComponentOffer> activeX;
    std::unique_ptr<ComponentOffer> plugin;
    std::unique_ptr<uint32_t> checkFrequency;

    bool complete() const { return activeX && plugin && checkFrequency; }
    void reset() {
        activeX.reset();
        plugin.reset();
        checkFrequency.reset();
    }
};

// Parses a NUL-terminated version manifest in place (text is modified). On success fills all
// three members of out; on failure logs one warning code and leaves out untouched. A null text
// or out returns false without logging.
bool parseVersionManifest(char* text, VersionManifest* out);

// Walks a NUL-terminated patch manifest in place; for each examined entry builds the offer's
// patchPath and decides patchApplies against the installed player files. Both offers must be
// present. True when the walk reached the end. Changes made before a failure stay.
// windowsIs64Bit: the 64-bit player files must match their digests as well.
bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit);
// The same on this machine (runningUnderWow64).
bool parsePatchManifest(char* text, VersionManifest* inOut);

// NUL-terminated UTF-8 to UTF-16 (invalid sequences replaced). False leaves out unchanged.
bool utf8ToWide(const char* text, std::wstring& out);

// A manifest number as base-10 strtoul reads it on Windows: leading white space, optional sign
// (a minus negates modulo 2^32), digits up to the first other character, saturating at 2^32-1.
uint32_t manifestNumber(const char* text);

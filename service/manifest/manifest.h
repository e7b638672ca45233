#pragma once
// What the version and patch manifests offer: the records the update cycle owns for one cycle,
// and the two in-place parsers of "version.xml" and "patch.xml". The parsers make no platform
// call: codes go to a MessageSink, the installed files' digests come from PlayerFileDigests.
#include <cstdint>
#include <memory>
#include <string>

#include "log/message_sink.h"
#include "player/offer.h"
#include "player/patch_fit.h"

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

// Deepest element nesting a manifest may have: the XML parser recurses once per level, and the
// manifests nest two levels deep.
constexpr uint32_t kMaxManifestNesting = 64;
// Characters of a package's "sha256" attribute.
constexpr size_t kPackageDigestHexLength = 64;

// Parses a NUL-terminated version manifest in place (text is modified). On success fills all
// three members of out, each offer with the binding of its full installer package ("size" and
// "sha256", optional). On failure reports one warning code and leaves out untouched. A null
// text or out returns false without a code.
bool parseVersionManifest(char* text, VersionManifest* out, MessageSink& log);

// Walks a NUL-terminated patch manifest in place; for each examined entry builds the offer's
// patchPath and patchPackage binding and decides patchApplies against the installed player
// files. Both offers must be present. True when the walk reached the end. Changes made before a
// failure stay; an entry with a malformed binding ends the walk before it is examined, and so
// does files.walkMustStop() before each top-level element.
// windowsIs64Bit: the 64-bit player files must match their digests as well.
bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit,
                        PlayerFileDigests& files, MessageSink& log);

// The service's use of the two (manifest/manifest_service.cpp): codes go to the service log,
// the player files are this machine's, each hashed at most once per walk, and the walk ends on
// the service's stop or when the manifest deadline passes.
bool parseVersionManifest(char* text, VersionManifest* out);
bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit);
// The same on this machine (runningUnderWow64).
bool parsePatchManifest(char* text, VersionManifest* inOut);

// A manifest number as base-10 strtoul reads it on Windows: leading white space, optional sign
// (a minus negates modulo 2^32), digits up to the first other character, saturating at 2^32-1.
uint32_t manifestNumber(const char* text);

// False when the XML parser would nest elements in the text deeper than limit
// (manifest/xml_nesting.h reads the text as the parser does).
bool manifestNestingWithin(const char* text, uint32_t limit);

// A patch entry's "path" attribute as the parser yields it (entities translated, so "p&amp;q"
// is "p&q"), made into its part of the request's object path: every byte other than letters,
// digits, '-', '.', '_', '~' and '/' percent-encoded ("p%26q"), so that no character of a
// folder's name is read as anything else by a server or proxy. Refused (false, out untouched)
// is only what would climb out of the patch folder or change the request: a ".." segment
// (between '/' or '\' separators), a leading '/' or '\', '?', '#', control characters, and a
// path longer than kMaxPatchPathBytes.
constexpr uint32_t kMaxPatchPathBytes = 1024;
bool patchPathForRequest(const char* text, std::string& out);

// A package "size" attribute: decimal digits only, at most 4294967295.
bool parsePackageSize(const char* text, uint32_t& size);
// A package "sha256" attribute: exactly 64 hexadecimal digits, either case; out in lowercase.
bool parsePackageDigest(const char* text, std::string& lowercaseHex);

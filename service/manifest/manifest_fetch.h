#pragma once
// The only place the manifests cross the network: a synchronous HTTPS GET through WinHTTP from
// the manifest server host of the service settings, handed to the manifest parsers.
#include "manifest/manifest.h"

extern const wchar_t kVersionManifestObjectPath[];  // L"/pub/vextraplayer/update/current/sau/11/xml/version.xml"
extern const wchar_t kPatchManifestObjectPath[];    // L"/pub/vextraplayer/update/current/sau/11/xml/patch.xml"
extern const wchar_t kManifestUserAgent[];          // L"Get Vextra Player version xml/1.0"

// patch false: fetches version.xml and fills manifest through parseVersionManifest.
// patch true: fetches patch.xml and completes the already filled manifest through
// parsePatchManifest. True when a response arrived and the parser returned true.
bool fetchManifest(VersionManifest& manifest, bool patch);

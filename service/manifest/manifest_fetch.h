#pragma once
// The only place the manifests cross the network: a synchronous HTTPS GET through WinHTTP from
// the manifest server host of the service settings, handed to the manifest parsers.
#include <cstdint>
#include <string>

#include "log/message_codes.h"
#include "manifest/manifest.h"
#include "platform/transfer_control.h"

extern const wchar_t kVersionManifestObjectPath[];  // L"/pub/vextraplayer/update/current/sau/11/xml/version.xml"
extern const wchar_t kPatchManifestObjectPath[];    // L"/pub/vextraplayer/update/current/sau/11/xml/patch.xml"
extern const wchar_t kManifestUserAgent[];          // L"Get Vextra Player version xml/1.0"

// A manifest is a few kilobytes; a body longer than this is not a manifest and is not kept.
constexpr uint32_t kMaxManifestBytes = 1024 * 1024;

// Where a manifest comes from and what bounds its transfer.
struct ManifestSource {
    std::wstring host;                         // the manifest server, port 443
    uint32_t deadlineMs = kManifestDeadlineMs;  // from the start of the fetch to the body's end
    StopSignal* stop = nullptr;                 // a raised stop ends the fetch; may be null
};

// How a manifest request ended.
enum class ManifestReply {
    Body,        // a 200 with its body (an empty one included), for the parser
    Refused,     // a reply arrived, but it is not the manifest (its status or range was logged)
    NoResponse,  // no reply; or a body cut short, too long, stopped or past its deadline
};

// The code that closes a failed fetch: a reply that is not the manifest and a body the parser
// refused (an empty 200 gives the parser's "no top-level element" code first) both end as a
// failed parse, 1409 (version) or 1442 (patch); only a fetch without a reply or without its
// whole body ends as "no response", 1408 or 1450.
MessageCode manifestFetchFailureCode(ManifestReply reply, bool patch);

// patch false: fetches version.xml and fills manifest through parseVersionManifest.
// patch true: fetches patch.xml and completes the already filled manifest through
// parsePatchManifest. True when a response arrived and the parser returned true.
// A body longer than kMaxManifestBytes, a fetch past its deadline (checked between reads; the
// steps before the body are bounded by the WinHTTP time-outs) and a stop are failures.
bool fetchManifest(VersionManifest& manifest, bool patch, const ManifestSource& source);
// The same from the service's manifest host and deadline, watching the service's stop signal.
bool fetchManifest(VersionManifest& manifest, bool patch);

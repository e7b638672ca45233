#pragma once
// The package's HTTP transfer: one GET to the download server, its body streamed into the
// staging folder's "vpi.tmp" within a byte limit, the deadline and the stop.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/staging_folder.h"
#include "player/offer.h"
#include "platform/transfer_control.h"

extern const wchar_t kInstallerUserAgent[];  // L"Download Vextra Player Installer/1.0"

// Where a package comes from and what bounds its transfer.
struct PackageSource {
    std::wstring host;                        // the download server
    uint16_t port = 80;                       // plain HTTP; only tests serve another port
    uint32_t deadlineMs = kPackageDeadlineMs;  // from the request to the body's end
    StopSignal* stop = nullptr;                // a raised stop ends the download; may be null
};

// What takes the package's bytes in order from its first, as they reach the staging file:
// start() before the first (again when a resume starts over from zero), bytes() for each
// piece. A false from either ends the download; the sink logged why.
class PackageByteSink {
public:
    virtual ~PackageByteSink() = default;
    virtual bool start() = 0;
    virtual bool bytes(const uint8_t* data, size_t size) = 0;
};

// True when the binding gives both size and SHA-256: only then does a download cut short wait
// for the next start, in the staging folder named from the digest.
bool resumablePackage(const PackageBinding& binding);
// The digest whose staging folder the offer's download resumes in: its package's SHA-256 when
// the package is resumable within its byte limit, else empty (that download never resumes).
std::string resumablePartDigest(const ComponentOffer& offer);

// Requests objectPath from the source and writes the body into the staging folder's file.
// A resumable package (see above) whose earlier download was cut short asks for the rest
// with Range (and If-Range where the server gave a validator) and appends only an exact
// continuation; any other answer starts over from zero. Other packages get a fresh folder
// once the response headers arrived. A download of a resumable package that a stop, the
// deadline or a dropped connection cuts short leaves its part in the folder. bytes receives
// the package's length on disk. sink gets the whole package, the part a resume holds read
// back once from the file first, so that it is checked while it downloads. Every failure is
// logged here; on false GetLastError holds the error value logged.
bool transferPackage(const PackageSource& source, const wchar_t* objectPath, uint32_t limit,
                     const PackageBinding& binding, StagingFolder& staging, PackageByteSink& sink,
                     uint32_t& bytes);

#pragma once
// The package's HTTP transfer: one GET to the download server, its body streamed into the
// staging folder's "vpi.tmp" within a byte limit, the deadline and the stop.
#include <cstdint>
#include <string>

#include "download/staging_folder.h"
#include "platform/transfer_control.h"

extern const wchar_t kInstallerUserAgent[];  // L"Download Vextra Player Installer/1.0"

// Where a package comes from and what bounds its transfer.
struct PackageSource {
    std::wstring host;                        // the download server, port 80
    uint32_t deadlineMs = kPackageDeadlineMs;  // from the request to the body's end
    StopSignal* stop = nullptr;                // a raised stop ends the download; may be null
};

// Requests objectPath from the source; once the response headers arrived, creates the staging
// folder and writes the body into its file. bytes receives the body's length. Every failure
// is logged here; on false GetLastError holds the error value logged.
bool transferPackage(const PackageSource& source, const wchar_t* objectPath, uint32_t limit,
                     StagingFolder& staging, uint32_t& bytes);

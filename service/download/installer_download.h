#pragma once
// The installer download: the component's signed package (full installer, or the patch that
// fits the installed player file) over HTTP from the download server, staged in a private
// folder under the temporary folder, verified, and written as "VextraPlayerInstaller.exe".
#include <cstdint>
#include <memory>
#include <string>

#include "manifest/manifest.h"
#include "platform/transfer_control.h"

extern const wchar_t kInstallerFileName[];          // L"VextraPlayerInstaller.exe"
extern const wchar_t kActiveXInstallerObjectPath[];  // full ActiveX installer package
extern const wchar_t kPluginInstallerObjectPath[];   // full plug-in installer package
extern const wchar_t kInstallerUserAgent[];          // L"Download Vextra Player Installer/1.0"
extern const wchar_t kStagedDownloadName[];          // L"vpi.tmp"

// Without a size from the manifest, the most a package download may write to the disk: the
// largest full installer is a small fraction of it, and an endless body must not fill the disk.
constexpr uint32_t kMaxPackageBytes = 256u * 1024 * 1024;

// Where a package comes from and what bounds its transfer.
struct PackageSource {
    std::wstring host;                        // the download server, port 80
    uint32_t deadlineMs = kPackageDeadlineMs;  // from the request to the body's end
    StopSignal* stop = nullptr;                // a raised stop ends the download; may be null
};

// Object path of the package for an offer: its patchPath when patchApplies is true, otherwise
// the component's full installer (nullptr for an unknown component).
const wchar_t* packageObjectPath(const ComponentOffer& offer);

// Full path of "VextraPlayerInstaller.exe" in the current directory; empty when it cannot be
// resolved.
std::wstring installerFilePath();

// What the manifest binds the offer's package to: the patch entry's binding while the patch
// applies, else the full installer's.
const PackageBinding& packageBinding(const ComponentOffer& offer);
// The byte limit of the offer's package: the manifest's size when given, else kMaxPackageBytes.
uint32_t packageByteLimit(const ComponentOffer& offer);

// Reads a whole non-empty file into a new buffer. The handle is always closed.
bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size);

// Downloads, verifies and writes the installer for one offer. True when the installer file now
// holds the verified content; installerPath then receives the full path that was written. On
// false, GetLastError holds the error value logged with the failure (where there was one).
// A body over the byte limit, a download past its deadline or a stop fails the download; a
// package that differs from the manifest's size or digest fails before verification. A failed
// download leaves no staging folder behind, and the installer file is untouched.
bool downloadInstaller(const ComponentOffer* offer, const PackageSource& source,
                       std::wstring& installerPath);
// The same from the service's download host and deadline, watching the service's stop signal.
bool downloadInstaller(const ComponentOffer* offer, std::wstring& installerPath);
bool downloadInstaller(const ComponentOffer* offer);

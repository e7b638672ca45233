#pragma once
// The installer download: the component's signed package (full installer, or the patch that
// fits the installed player file) over HTTP from the download server, staged in a private
// folder under the temporary folder, verified, and written as "VextraPlayerInstaller.exe".
#include <cstdint>
#include <memory>
#include <string>

#include "manifest/manifest.h"

extern const wchar_t kInstallerFileName[];          // L"VextraPlayerInstaller.exe"
extern const wchar_t kActiveXInstallerObjectPath[];  // full ActiveX installer package
extern const wchar_t kPluginInstallerObjectPath[];   // full plug-in installer package
extern const wchar_t kInstallerUserAgent[];          // L"Download Vextra Player Installer/1.0"
extern const wchar_t kStagedDownloadName[];          // L"vpi.tmp"

// Object path of the package for an offer: its patchPath when patchApplies is true, otherwise
// the component's full installer (nullptr for an unknown component).
const wchar_t* packageObjectPath(const ComponentOffer& offer);

// Full path of "VextraPlayerInstaller.exe" in the current directory; empty when it cannot be
// resolved.
std::wstring installerFilePath();

// Reads a whole non-empty file into a new buffer. The handle is always closed.
bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size);

// Downloads, verifies and writes the installer for one offer. True when the installer file now
// holds the verified content; installerPath then receives the full path that was written. On
// false, GetLastError holds the error value logged with the failure (where there was one).
bool downloadInstaller(const ComponentOffer* offer, std::wstring& installerPath);
bool downloadInstaller(const ComponentOffer* offer);

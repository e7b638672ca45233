#pragma once
// The installer download: the component's signed package (full installer, or the patch that
// fits the installed player file) over HTTP from the download server, staged in a private
// folder under the temporary folder, verified, and written as "VextraPlayerInstaller.exe".
// Each step has its own file in this folder; this one strings them together.
#include <string>

#include "download/installer_write.h"
#include "download/manifest_binding.h"
#include "download/package_transfer.h"
#include "download/package_verification.h"
#include "download/staging_folder.h"
#include "manifest/manifest.h"

extern const wchar_t kActiveXInstallerObjectPath[];  // full ActiveX installer package
extern const wchar_t kPluginInstallerObjectPath[];   // full plug-in installer package

// Object path of the package for an offer: its patchPath when patchApplies is true, otherwise
// the component's full installer (nullptr for an unknown component).
const wchar_t* packageObjectPath(const ComponentOffer& offer);

// Downloads, verifies and writes the installer for one offer. True when the installer file now
// holds the verified content; installerPath then receives the full path that was written. On
// false, GetLastError holds the error value logged with the failure (where there was one).
// A body over the byte limit, a download past its deadline or a stop fails the download; a
// package that differs from the manifest's size or digest fails before verification. A failed
// download leaves no staging folder behind, and the installer file is untouched. Memory that
// runs out anywhere in it is logged as DownloadOutOfMemory (error 8) and fails the download.
bool downloadInstaller(const ComponentOffer* offer, const PackageSource& source,
                       std::wstring& installerPath);
// The same from the service's download host and deadline, watching the service's stop signal.
// No memory for the host's copy, before anything is sent, is DownloadStartOutOfMemory (8).
bool downloadInstaller(const ComponentOffer* offer, std::wstring& installerPath);
bool downloadInstaller(const ComponentOffer* offer);

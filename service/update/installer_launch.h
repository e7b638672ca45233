#pragma once
// Starting the verified installer: detached, not waited for, with the command line that tells
// it whether it got a patch ("-install -iv 11") or the full installer ("-install -iv 9").
#include <string>

#include "download/package_transfer.h"
#include "manifest/manifest.h"

extern const wchar_t kPatchInstallCommandLine[];  // L"VextraPlayerInstaller.exe -install -iv 11"
extern const wchar_t kFullInstallCommandLine[];   // L"VextraPlayerInstaller.exe -install -iv 9"

// The command line for an offer, chosen by patchApplies.
const wchar_t* installerCommandLine(const ComponentOffer& offer);

// Downloads and verifies the installer for the offer and starts it. True when the installer
// process was created.
bool launchInstaller(const ComponentOffer& offer);
// The same with the package from the given source (the service's own is the download host of
// its settings, port 80, its package deadline and stop signal).
bool launchInstaller(const ComponentOffer& offer, const PackageSource& source);

// Starts exactly the program at applicationPath (a full path, so no search order can pick a
// different file of the same name) with the given command line, detached, in the service's
// own environment and current directory, and does not wait for it.
bool startDetachedProcess(const std::wstring& applicationPath, const std::wstring& commandLine);

#pragma once
// The verified installer written as "VextraPlayerInstaller.exe" in the current directory.
#include <cstdint>
#include <string>

extern const wchar_t kInstallerFileName[];  // L"VextraPlayerInstaller.exe"

// Full path of "VextraPlayerInstaller.exe" in the current directory; empty when it cannot be
// resolved.
std::wstring installerFilePath();

// Only a verified package reaches this: the installer file is (re)written now and
// installerPath receives its full path. A failure is logged here.
bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath);

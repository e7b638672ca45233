#pragma once
// The verified installer written as "VextraPlayerInstaller.exe" in the current directory:
// all of it or nothing, a previous installer file staying as it was until the new one is
// complete on the disk.
#include <cstdint>
#include <string>

extern const wchar_t kInstallerFileName[];      // L"VextraPlayerInstaller.exe"
extern const wchar_t kInstallerTempFileName[];  // L"VextraPlayerInstaller.exe.tmp", beside it

// Full path of "VextraPlayerInstaller.exe" in the current directory; empty when it cannot be
// resolved (GetLastError then says why).
std::wstring installerFilePath();

// Only a verified package reaches this. Empty content is refused; otherwise the content goes
// into a temporary file in the same folder, every write checked, flushed, and then replaces
// the installer file in one step. installerPath receives its full path. A failure is logged
// here, leaves no temporary file and the installer file untouched.
bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath);

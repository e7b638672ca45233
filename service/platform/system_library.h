#pragma once
// System libraries by full path from the system folder, and the WOW64 helpers.
#include <windows.h>

#include <string>

// Loads a system library into slot (releasing what it held). A bare name is taken from the
// system folder; a name with a backslash is used unchanged.
bool loadSystemLibrary(HMODULE& slot, const std::wstring& name);

// True when this process is a 32-bit process on 64-bit Windows.
bool runsUnderWow64();

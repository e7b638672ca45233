#pragma once
// System libraries by full path from the system folder, and the WOW64 helpers.
#include <windows.h>

#include <string>

// Looks up the function `name` in `module` into `fn`, a pointer of the function's own declared
// type (decltype(&Name)), so that every call through it is checked against the declaration.
// False, with fn null, when the module lacks it (an older system).
template <typename Fn>
bool resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return fn != nullptr;
}

// Loads a system library into slot (releasing what it held). A bare name is taken from the
// system folder; a name with a backslash is used unchanged.
bool loadSystemLibrary(HMODULE& slot, const std::wstring& name);

// WinHTTP from the system folder by full path, loaded at the first call and kept for the life
// of the process; null when it cannot be loaded (GetLastError says why). Every transfer asks
// for it before its first WinHTTP call: the delay-loaded imports are resolved from this module
// only, so a missing WinHTTP fails that transfer instead of the delay-load helper.
HMODULE systemWinHttp();

// From here on, libraries loaded by name come from the system folder only, never from the
// program's folder, the current directory or PATH. Uses SetDefaultDllDirectories where the
// system has it (looked up at run time: Windows XP and an unpatched Windows 7 lack it and
// start as before). Called first thing at start.
void restrictLibrarySearchToSystemFolder();

// True when this process is a 32-bit process on 64-bit Windows.
bool runsUnderWow64();

#include "platform/system_library.h"

#include <delayimp.h>
#include <shlobj.h>

namespace {

// WinHTTP is delay-loaded (see platform/winhttp_delay_load.cmake). Before the delay-load helper
// looks for it by name, this hook hands it the copy in the system folder, loaded by full path.
// Never null for WinHTTP: null would send the helper to the loader's own search, which on
// systems without SetDefaultDllDirectories starts in the program's folder. Without WinHTTP it
// gets a module that exports none of its entry points; transfers check systemWinHttp() first
// and so never reach the helper then.
FARPROC WINAPI delayLoadHook(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
    if (lstrcmpiA(info->szDll, "winhttp.dll") != 0) return nullptr;
    // The helper gets its own reference (it may free a copy it finds it does not need).
    HMODULE module = nullptr;
    if (!systemWinHttp() || !loadSystemLibrary(module, L"winhttp.dll"))
        module = GetModuleHandleW(L"kernel32.dll");
    return reinterpret_cast<FARPROC>(module);
}

// Joins folder and name with exactly one backslash between them.
std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    const bool folderEnds = !folder.empty() && folder.back() == L'\\';
    const bool nameStarts = !name.empty() && name.front() == L'\\';
    if (folderEnds && nameStarts) return folder + name.substr(1);
    if (!folderEnds && !nameStarts) return folder + L'\\' + name;
    return folder + name;
}

}  // namespace

bool loadSystemLibrary(HMODULE& slot, const std::wstring& name) {
    if (slot) {
        FreeLibrary(slot);
        slot = nullptr;
    }
    std::wstring path = name;
    if (name.find(L'\\') == std::wstring::npos) {
        // A bare name is never left to the library search order (working directory, program
        // folder, PATH): it is taken from the system folder by full path.
        wchar_t system[MAX_PATH] = {};
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system)))
            return false;
        path = joinPath(system, name);
    }
    slot = LoadLibraryW(path.c_str());
    return slot != nullptr;
}

HMODULE systemWinHttp() {
    static HMODULE loaded = nullptr;
    HMODULE module = static_cast<HMODULE>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&loaded), nullptr, nullptr));
    if (module) return module;
    if (!loadSystemLibrary(module, L"winhttp.dll")) return nullptr;
    // Two threads that both loaded it keep one reference each; either handle is the module.
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&loaded), module, nullptr);
    return module;
}

void restrictLibrarySearchToSystemFolder() {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return;
    BOOL(WINAPI * setDefaultDllDirectories)(DWORD) = nullptr;
    if (resolve(kernel, "SetDefaultDllDirectories", setDefaultDllDirectories))
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool runsUnderWow64() {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return false;
    BOOL(WINAPI * isWow64Process)(HANDLE, PBOOL) = nullptr;
    if (!resolve(kernel, "IsWow64Process", isWow64Process)) return false;
    BOOL answer = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &answer)) return false;
    return answer == TRUE;
}

// The delay-load helper's notification hook (the helper's own default is none).
PfnDliHook __pfnDliNotifyHook2 = delayLoadHook;

#include "platform/system_library.h"

#include <delayimp.h>
#include <shlobj.h>

namespace {

// WinHTTP is delay-loaded (see platform/winhttp_delay_load.cmake). Before the delay-load helper looks for
// it by name, this hook hands it the copy in the system folder, loaded by full path; on systems
// without SetDefaultDllDirectories the helper's own search would start in the program's folder.
FARPROC WINAPI delayLoadHook(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
    if (lstrcmpiA(info->szDll, "winhttp.dll") != 0) return nullptr;
    HMODULE module = nullptr;  // stays loaded for the life of the process, as any import
    loadSystemLibrary(module, L"winhttp.dll");
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

void restrictLibrarySearchToSystemFolder() {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return;
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool runsUnderWow64() {
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return false;
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    if (!isWow64Process) return false;
    BOOL answer = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &answer)) return false;
    return answer == TRUE;
}

// The delay-load helper's notification hook (the helper's own default is none).
PfnDliHook __pfnDliNotifyHook2 = delayLoadHook;

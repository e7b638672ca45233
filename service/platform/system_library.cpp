#include "platform/system_library.h"

#include <shlobj.h>

namespace {

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

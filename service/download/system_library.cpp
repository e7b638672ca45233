// PLACEHOLDER: replaced by the system library work. Links the entry point meanwhile.
#include "download/system_library.h"

bool loadSystemLibrary(HMODULE& slot, const std::wstring& name) {
    if (slot) FreeLibrary(slot);
    slot = LoadLibraryW(name.c_str());
    return slot != nullptr;
}

bool runsUnderWow64() { return false; }

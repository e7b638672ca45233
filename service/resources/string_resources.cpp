#include "resources/string_resources.h"

const wchar_t kMissingLocalization[] = L"MISSING LOCALIZATION";

std::wstring loadTextFrom(HMODULE module, uint32_t id) {
    // A buffer size of zero returns a read-only pointer to the stored text and its length;
    // string resources are not null-terminated, so exactly that many characters are copied.
    const wchar_t* text = nullptr;
    const int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return kMissingLocalization;
    return std::wstring(text, static_cast<size_t>(length));
}

std::wstring loadProgramText(uint32_t id) { return loadTextFrom(GetModuleHandleW(nullptr), id); }

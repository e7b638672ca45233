// Stores bytes as they are under a REG_SZ value in HKLM, in both registry views, so a test can
// make string values that Wine's `reg` never writes: of odd length, or without a terminator.
//   raw_string_value <key below HKLM> <value name> <bytes as hex digits>
// Exit code 0 when both views were written, 1 when not, 2 on usage.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::wstring hex = argv[3];
    if (hex.size() % 2) return 2;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes += static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16));
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, nullptr, 0, KEY_SET_VALUE | view,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return 1;
        const LONG rc = RegSetValueExW(key, argv[2], 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(bytes.data()),
                                       static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return 1;
    }
    return 0;
}

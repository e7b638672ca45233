#pragma once
// Writes and removes the installed player's registry records (HKLM, the test's own prefix).
#include <windows.h>

#include <string>

namespace testsupport {

class PlayerRecord {
public:
    // keyPath below HKLM, e.g. L"Software\\Telmora\\VextraPlayerActiveX".
    explicit PlayerRecord(std::wstring keyPath, REGSAM view = 0)
        : path_(std::move(keyPath)), view_(view) {
        remove();
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                        nullptr, &key_, nullptr);
    }
    ~PlayerRecord() {
        if (key_) RegCloseKey(key_);
        remove();
    }
    PlayerRecord(const PlayerRecord&) = delete;
    PlayerRecord& operator=(const PlayerRecord&) = delete;

    bool setString(const wchar_t* name, const std::wstring& value) {
        return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    bool setDword(const wchar_t* name, DWORD value) {
        return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof(value)) == ERROR_SUCCESS;
    }
    // Raw bytes under a type, for values that are not what the reader expects.
    bool setRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        return RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    }
    bool version(const std::wstring& text) { return setString(L"Version", text); }
    bool playerPath(const std::wstring& path) { return setString(L"PlayerPath", path); }

    void remove() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0); }

private:
    std::wstring path_;
    REGSAM view_;
    HKEY key_ = nullptr;
};

}  // namespace testsupport

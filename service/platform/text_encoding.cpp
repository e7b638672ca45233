#include "platform/text_encoding.h"

#include <windows.h>

#include <climits>
#include <new>

bool wideFromUtf8Strict(const std::string& utf8, std::wstring& out) {
    out.clear();
    if (utf8.empty()) return true;
    if (utf8.size() > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int inLength = static_cast<int>(utf8.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, nullptr, 0);
    if (needed <= 0) return false;
    try {
        std::wstring converted(static_cast<size_t>(needed), L'\0');
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength,
                                &converted[0], needed) != needed)
            return false;
        out.swap(converted);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

bool utf8FromWideLenient(const std::wstring& wide, std::string& out) {
    out.clear();
    if (wide.empty()) return true;
    if (wide.size() > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int inLength = static_cast<int>(wide.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    try {
        std::string converted(static_cast<size_t>(needed), '\0');
        if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), inLength, &converted[0], needed, nullptr,
                                nullptr) != needed)
            return false;
        out.swap(converted);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

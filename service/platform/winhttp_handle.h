#pragma once
// Owns one WinHTTP handle (session, connection or request).
#include <windows.h>
#include <winhttp.h>

class WinHttpHandle {
public:
    explicit WinHttpHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~WinHttpHandle() { reset(); }
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;

    void reset(HINTERNET handle = nullptr) {
        if (handle_) WinHttpCloseHandle(handle_);
        handle_ = handle;
    }
    HINTERNET get() const { return handle_; }
    // Gives the handle up without closing it: someone else closes it now.
    HINTERNET release() {
        HINTERNET handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_;
};

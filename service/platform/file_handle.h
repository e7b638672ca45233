#pragma once
// Owns a Win32 file handle: closed when it leaves scope, or explicitly where the result of
// the close matters (a failed close can mean data that never reached the disk).
#include <windows.h>

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Owns another handle from now on; the one held so far is closed.
    void reset(HANDLE handle) {
        close();
        handle_ = handle;
    }
    // Hands the handle over to the caller, who closes it from now on.
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    bool close() {
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        const BOOL ok = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE handle_;
};

#pragma once
// Built only in service mode, just before the dispatcher: runs the start-up checks.
#include <string>

class ServiceRunContext {
public:
    explicit ServiceRunContext(const std::wstring& programPath);
    const std::wstring& programPath() const { return programPath_; }

private:
    std::wstring programPath_;
};

// The full path of this program from argument 0, resolved against the current directory. When
// that does not name an existing file (started through the search path, without ".exe", or a
// path longer than MAX_PATH), the loader's record of the executable file is used instead.
std::wstring resolveProgramPath(const wchar_t* argument0);

// Set while the service dispatcher runs; the service worker runs a cycle only while it is set.
extern ServiceRunContext* activeRunContext;

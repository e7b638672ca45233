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

// The full path of the file this process runs from, as the loader recorded it. Argument 0 is
// never used for it: it is whatever the starting process wrote, and resolved against the current
// directory it could name a same-named program there, which "-install" would then register as
// the LocalSystem service. Empty only when the loader's record cannot be read.
std::wstring programFilePath();

// Set while the service dispatcher runs; the service worker runs a cycle only while it is set.
extern ServiceRunContext* activeRunContext;

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

// Set while the service dispatcher runs; the service worker runs a cycle only while it is set.
extern ServiceRunContext* activeRunContext;

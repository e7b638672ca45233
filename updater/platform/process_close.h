// Asking the desktop application to close by itself before its files are replaced, as a user
// closing it would, so that it can save the user's work; only what does not close within a
// deadline is ended (procutil::terminateProcesses). Free of Qt, like process_tools.h.
#pragma once

#include "platform/process_tools.h"

#include <string>
#include <vector>

namespace procutil {

// How the processes were asked to close.
enum class CloseRequest {
    None,            // they could not be asked (no window, no permission): only the deadline ends them
    RestartManager,  // Windows: the Restart Manager's shutdown of the applications using the image
    WindowMessage,   // Windows: WM_CLOSE posted to each process's top-level windows
    Signal,          // POSIX: SIGTERM
};

// A name of the request for the log.
inline const char* closeRequestName(CloseRequest request)
{
    switch (request) {
    case CloseRequest::RestartManager: return "the Restart Manager";
    case CloseRequest::WindowMessage: return "WM_CLOSE to its windows";
    case CloseRequest::Signal: return "SIGTERM";
    case CloseRequest::None: break;
    }
    return "nothing";
}

// Asks each listed process to close and returns at once, without waiting: processesGone tells
// when they have.
//   Windows: the Restart Manager (rstrtmgr.dll, resolved at run time), with exactly these
//   processes registered (never every program that has the image open), when its session lists
//   every one of them; else (no such DLL, or a session that lists none of them, as where the
//   Restart Manager is only a stub) WM_CLOSE to their visible top-level windows.
//   Elsewhere: SIGTERM.
CloseRequest askToClose(const std::vector<ProcessId>& ids);

}  // namespace procutil

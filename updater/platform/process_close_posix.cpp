// POSIX side of asking the application to close: SIGTERM, which a program may catch to save
// its work and exit (SIGKILL, which it cannot, comes only after the deadline).
#include "platform/process_close.h"

#include <signal.h>
#include <sys/types.h>

namespace procutil {

CloseRequest askToClose(const std::vector<ProcessId>& ids)
{
    bool asked = false;
    for (ProcessId id : ids) {
        if (id != 0 && kill(static_cast<pid_t>(id), SIGTERM) == 0) asked = true;
    }
    return asked ? CloseRequest::Signal : CloseRequest::None;
}

}  // namespace procutil

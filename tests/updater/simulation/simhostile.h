// Other users' objects in the places the updater reads and writes (POSIX only): a FIFO, a
// socket, a folder, a second name of a file outside, a link, an unreadable file, a file that
// another process keeps rewriting, and a lock that another process or account holds.
#pragma once

#include "simcase.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace sim {

// The unprivileged account that plays the other user (and runs the starts of a case with an
// unreadable object, as the superuser reads every file).
const uid_t kOtherUid = 65534;

struct HostileTarget {
    QString path;          // absolute path of the place
    QByteArray planted;    // for a part: the whole file's bytes, which a planted second name holds
    QString plantedPath;   // ... that file, outside the folder
    QString outsideFile;   // a file outside the folder that a link or second name reaches
    QString scratch;       // a folder of the case's own, outside both, for sockets and helpers
};

// What was put in place, and the helper process that keeps it so (a holder of the lock, a
// writer of the changing file), stopped by release().
class HostileObjectInPlace
{
public:
    HostileObjectInPlace() = default;
    HostileObjectInPlace(const HostileObjectInPlace&) = delete;
    HostileObjectInPlace& operator=(const HostileObjectInPlace&) = delete;
    ~HostileObjectInPlace() { release(); }

    // Puts `object` at `target.path` (whatever is there goes); false with the reason in `note`.
    bool place(HostileObject object, const HostileTarget& target);
    // Stops the helper (a lock is let go, the rewriting ends). Idempotent.
    void release();

    bool holdsLock() const { return m_lockHeld; }
    QString note() const { return m_note; }

private:
    bool startHelper(HostileObject object, const HostileTarget& target);

    pid_t m_helper = -1;
    int m_stopFd = -1;
    bool m_lockHeld = false;
    QString m_note;
};

}  // namespace sim

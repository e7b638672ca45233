// One updater per application folder: an exclusive lock on a file of the folder's own.
#pragma once

#include <QString>
#include <QtGlobal>

// Holds an exclusive lock on one file (flock on POSIX, LockFileEx on Windows) from acquire() to
// its destruction; the system drops it when the process ends, however it ends. The file stays
// where it is: removing it would let a later updater lock a new file while an earlier one still
// holds the old. Two FolderLocks on one file conflict also inside one process.
//
// The lock is private to the account that runs the updater: the file is made readable and
// writable by its owner only (0600; on Windows a DACL that grants its owner alone), and it is
// only ever opened for writing, so another account can neither take it nor keep this one from
// it by a read-only open. A lock file an earlier version made readable by all is made private.
class FolderLock
{
public:
    // Busy: another updater of this account holds it. OtherAccount: the file belongs to another
    // account, or a process of another account holds it (never an updater of this folder's
    // account). Damaged: something else than a plain file stands in its place (a link, a folder,
    // a FIFO); it can go and a fresh lock be taken. Unavailable: any other failure.
    enum class Result { Held, Busy, OtherAccount, Damaged, Unavailable };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock on `lockFile` (created when missing) without waiting; `error` says why it
    // is not held (empty for Busy). A link is never followed, a FIFO never waited on, and the
    // handle is not inherited by programs this one starts.
    Result acquire(const QString& lockFile, QString* error);
    bool isHeld() const { return m_handle != -1; }

private:
    qintptr m_handle = -1;
};

// One updater per application folder: an exclusive lock on a file of the folder's own.
#pragma once

#include <QString>
#include <QtGlobal>

// Holds an exclusive lock on one file (flock on POSIX, LockFileEx on Windows) from acquire() to
// its destruction; the system drops it when the process ends, however it ends. The file stays
// where it is: removing it would let a later updater lock a new file while an earlier one still
// holds the old. Two FolderLocks on one file conflict also inside one process.
class FolderLock
{
public:
    enum class Result { Held, Busy, Unavailable };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock on `lockFile` (created when missing) without waiting. Busy: someone else
    // holds it. Unavailable: the file cannot be opened as a plain file of its own (a link or a
    // folder in its place, no rights), and `error` says why. A link is never followed, and the
    // handle is not inherited by programs this one starts.
    Result acquire(const QString& lockFile, QString* error);
    bool isHeld() const { return m_handle != -1; }

private:
    qintptr m_handle = -1;
};

// The file-system calls of one updater start, recorded as they happen (POSIX only).
//
// The simulation program defines the libc calls that change files (open with create or
// truncate, write, ftruncate, rename, link, symlink, unlink, mkdir, rmdir, fsync, fdatasync,
// sync, syncfs) itself, as an LD_PRELOAD shim would: each passes the call on to the C library and,
// while recording is armed, appends one line per call that changed something to the trace file.
// Qt's calls come here too, as the program exports these names (a start is a fork of this
// program, never an exec, so a preloaded library would be the same code in another place).
//
// Trace lines (words separated by one blank; paths and bytes in hex, so any name fits):
//   create <path> <ino>            a new file (open with O_CREAT of a path that was not there)
//   tmpfile <ino>                  a file without a name (O_TMPFILE)
//   mkdir <path> <ino>
//   symlink <path> <target>
//   link <ino> <path>              a new name for a file (link, linkat)
//   rename <from> <to>
//   unlink <path> | rmdir <path>
//   trunc <ino> <length>           O_TRUNC, ftruncate
//   write <ino> <offset> <bytes>
//   fsync <ino>                    fsync or fdatasync of a file or a folder
//   sync                           sync, syncfs
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace sim {

// Starts recording into `path` (truncated) in this process, or stops with an empty path.
void armFsTrace(const QString& path);

// One recorded call.
struct FsEvent {
    enum Kind { Create, TmpFile, Mkdir, Symlink, Link, Rename, Unlink, Rmdir, Trunc, Write, Fsync, Sync };
    Kind kind = Sync;
    QString path, path2;  // absolute paths, as the call named them
    quint64 ino = 0;
    qint64 offset = 0;    // a write's offset or a truncation's length
    QByteArray bytes;     // a write's bytes, or a link's target
};

// The trace file read back; false when a line is malformed.
bool readFsTrace(const QString& path, QList<FsEvent>* events);

// The event as one short readable line, for reports.
QString describe(const FsEvent& e);

}  // namespace sim

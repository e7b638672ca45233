// The states a power cut may leave behind a recorded updater start, in the manner of ALICE and
// CrashMonkey: the folder as it was before the start (taken as being on disk), the start's
// file-system calls (fstrace.h), and for a point of the trace the calls whose effect a cut at
// that point may or may not have kept, as a model of the file system says.
//
// The models, precisely:
//
// Both: a file's bytes written since its last fsync or fdatasync (or since it was made) are not
// yet on disk: after a cut the file holds what it held at that flush plus the first j of the later
// writes and truncations, in their order, for any j, the last of them possibly cut short. A file
// that got no flush may so be empty or shorter than written. Bytes never appear that were not
// written (no garbage blocks), and bytes of a file never reach a name the file did not get.
//
// ext4, data=ordered (the default) with delayed allocation:
//   - the changes of names (create, mkdir, rename, link, symlink, unlink, rmdir) go to one
//     journal in the order they were made: a cut keeps a prefix of them;
//   - every fsync or fdatasync (of any file or folder) and sync commit the journal: all changes
//     of names made before it are kept;
//   - a rename over an existing file first flushes the renamed file's bytes (the kernel's
//     auto_da_alloc), so a cut that keeps that rename keeps all of that file written before it;
//   - a file's bytes are flushed only by its own fsync or fdatasync (or that rename), never by
//     a rename into a new name or a flush of its folder.
// FAT (vfat), where renames and data are unordered:
//   - a change of names writes folder entries: a create, mkdir, link, symlink, unlink or rmdir
//     one in its folder, a rename two (the new entry in the target's folder, the old one cleared
//     in the source's); each entry not yet flushed is kept or lost on its own, in any
//     combination; an entry is flushed once its folder was fsynced after it, or by sync, and a
//     new file's entry also by the file's own fsync (the entry holds its size);
//   - so a rename may leave both names (each with the file's bytes) or neither;
//   - file bytes as in "Both", with no tie to any rename.
#pragma once

#include "fstrace.h"
#include "simcase.h"

#include <QList>
#include <QMap>
#include <QString>

namespace sim {


// What the folder held before the recorded start: relative path -> object, with the inode
// number each had (names of one file share it).
struct DiskObject {
    enum Kind { Folder, File, Link };
    Kind kind = File;
    QByteArray bytes;  // a file's bytes or a link's target
    quint64 ino = 0;
};
typedef QMap<QString, DiskObject> DiskImage;

// The folder `base` read without following links (every name, the updater's own files too).
DiskImage readDiskImage(const QString& base);

// Writes `image` as the folder `base` (whatever is there goes first). Names of one inode
// become hard links of one file.
bool writeDiskImage(const QString& base, const DiskImage& image);

// One state a cut may leave, and how it came about (for the report).
struct CrashState {
    int point = 0;       // the cut came after this many calls of the trace
    QString how;         // what was kept and lost, readable
    DiskImage image;
};

// The distinct states that cuts of the trace may leave under `model`, at most `limit` of them
// (evenly spread over the trace when there are more, the cut after the last call always among
// them). `seed` makes the choice of what is lost repeatable.
QList<CrashState> crashStates(const QString& base, const DiskImage& before, const QList<FsEvent>& trace,
                              FsModel model, int limit, quint32 seed);

}  // namespace sim

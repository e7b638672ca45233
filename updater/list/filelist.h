// The update server's XML file list: what to download where, and what to delete.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// A delta of a file: a Zstandard frame made with --patch-from the older file whose SHA-256 is
// `from`, served at `url`; `sha256` (empty: not given) and `size` (-1: not given) are the
// frame's own.
struct DeltaSource {
    QString from;
    QString url;
    QString sha256;
    qint64 size = -1;
};

// One download of the list, as readFileList() accepted it.
struct FileEntry {
    QString url;       // as written in the list
    QString dist;      // the absolute target path
    QString name;      // the "dist" attribute as written, for the dialog and the log
    QString sha256;    // 64 hex digits the downloaded bytes must match; empty: not given
    qint64 size = -1;  // the byte count they must have; -1: not given
    QString encoding;  // "zstd": the URL serves a Zstandard frame of the file; empty: the file itself
    // In list order: only those that passed readFileList's checks, and only for an entry with
    // its own sha256 and size, which the rebuilt file must match.
    QList<DeltaSource> deltas;
};

// At most this many deltas of one file are kept (one per older release a publisher serves).
const int kMaxDeltasPerFile = 16;

// Deepest element nesting that a file list may have. A real list nests two or three levels;
// QDomDocument's destructor recurses once per level, so a deeper document is refused unparsed.
const int kMaxFileListDepth = 64;

struct FileListResult {
    QList<FileEntry> downloads;
    QStringList folders;   // absolute paths of the folders the list names (a "dist" ending in "/")
    QStringList removals;  // absolute paths to remove when the update is committed
    QStringList rejected;  // "dist" values of the entries that were skipped
    QStringList notes;     // one readable line per skipped entry, with the reason
    int entries = 0;       // the file and remove elements of the list, skipped or not
    bool refused = false;  // the whole list was refused (not well-formed, or nested too deep)
};

// Reads the file list `body` (its format: "The file list" in docs/desktop-updater.md) and
// changes nothing: a function of the bytes and of what lies in `baseFolder` (the updater's
// folder). Every question about a target's path is asked of the path policy (pathpolicy.h).
// The updater's own executable (`ownFileName`) is redirected into kUpdatesFolder. A "dist"
// that ends in "/" names a folder: a `file` entry creates it (nothing is downloaded), a
// `remove` entry takes it only when it is a folder. A removal of a path that the list also
// downloads is skipped: the download replaces it. With `requireDigests` (a build that checks
// the list's signature) every downloaded file must carry `sha256` and `size`, so that the
// signed list covers the bytes as well, and so must every delta. A `file` entry may carry
// `encoding="zstd"` (with `size`, which caps the decoded bytes) and
// `<delta from="<sha256>" url=".." size=".." sha256=".."/>` children; a delta that cannot be
// used is left out with a note, and the file is downloaded whole.
FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName,
                            bool requireDigests = false);

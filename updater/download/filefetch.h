// One file of the list into its staging place, by the cheapest way the list offers: a delta
// from the file in place, else the whole file (decoded when the list serves it compressed).
#pragma once

#include "download/partialstore.h"
#include "list/filelist.h"

#include <QString>
#include <QStringList>

#include <functional>

// The delta of `deltas` that starts from a file whose SHA-256 is `inPlaceSha256`, or -1.
int chooseDelta(const QList<DeltaSource>& deltas, const QString& inPlaceSha256);

struct FetchResult {
    bool staged = false;
    bool opened = true;  // false: the staging file could not be opened
    bool byDelta = false;
    QString failure;    // why the file is not staged (the whole file's download failed)
    QStringList notes;  // a delta that failed and was replaced by the whole file
};

// The current download's progress (Downloader::progress).
using FetchProgress = std::function<void(int done, int total)>;

// Downloads `entry` to `stagedPath` (running an event loop until done). When the file in place
// at the entry's target is one a delta starts from, the delta is tried first; a delta that
// fails for any reason (download, size, digest, decode) is followed by the whole file within
// the same call.
//
// With `parts`, a whole file that the list gives with its digest and size and serves as it is
// goes through a part there: what an earlier run received of it is continued, and what this one
// receives stays when the transfer is cut. When the bytes held prove of no use (the server
// would not continue them, or the whole did not match its digest), the file is downloaded once
// more from its first byte. A file without a digest is never continued.
FetchResult fetchFile(const FileEntry& entry, const QString& stagedPath, const FetchProgress& progress = {},
                      const PartialStore* parts = nullptr);

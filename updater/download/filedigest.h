// Whether a file already in place is the one a list entry names, so it need not be downloaded.
#pragma once

#include <QString>

// True when `path` is a regular file (not a link) whose SHA-256 digest is `sha256Hex` (either
// case) and, unless `size` is negative, whose size is `size`. Without a digest nothing matches:
// a size alone does not tell two files apart.
bool fileMatches(const QString& path, const QString& sha256Hex, qint64 size);

// The SHA-256 digest (lower-case hex) of the regular file (not a link) at `path`, or an empty
// string when it cannot be read whole.
QString fileSha256Hex(const QString& path);

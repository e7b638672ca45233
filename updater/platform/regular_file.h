// The updater's own files opened as what they must be: regular files, never through a link, and
// never waiting on a FIFO, socket or device that someone put in a file's place.
#pragma once

#include <QFile>
#include <QString>

// Opens the existing regular file `path` read-only into `file` (see fileutil::openRegularForReading):
// false, with `file` closed, for a link, a folder, a FIFO, socket or device, or a missing file.
bool openRegularForReading(QFile& file, const QString& path);

// Whether `path` is a regular file with exactly one name (see fileutil::isSoleRegularFile).
bool isSoleRegularFile(const QString& path);

// `path` in the form the fileutil calls take: UTF-8 on Windows, the local encoding elsewhere.
std::string nativeFileName(const QString& path);

// The update server's XML file list: what to download where, and what to delete.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// One download: "url" (as written in the list) and "dist" (the absolute target path); when the
// list gives them, also "sha256" (hex digest) and "size" (byte count) that the downloaded bytes
// must match before they replace the target.
typedef QMap<QString, QString> FileEntry;

// The path of `relative` inside `baseFolder`, or an empty string when `relative` is unsafe:
// empty, absolute (a leading '/' or '\', or a drive letter), or leading out of the folder or
// onto the folder itself once "." and ".." are resolved ('\' counts as a separator as well).
QString resolveInside(const QString& baseFolder, const QString& relative);

struct FileListResult {
    QList<FileEntry> downloads;
    QStringList rejected;  // "dist" values that were skipped because they lead outside
};

// Reads the file list `body` (see Update). `baseFolder` is the updater's folder; the updater's
// own executable (`ownFileName`) is redirected into baseFolder + "/Application/Updates/".
// Creates the folders that the downloads need and then carries out the removals, both inside
// `baseFolder` only. A body that is not well-formed XML yields an empty result and changes nothing.
FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName);

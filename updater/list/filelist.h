// The update server's XML file list: what to download where, and what to delete.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// One download: "url" (as written in the list), "dist" (the absolute target path) and "name"
// (the "dist" attribute as written, for the dialog and the log); when the list gives them, also
// "sha256" (64 hex digits) and "size" (byte count) that the downloaded bytes must match,
// "encoding" ("zstd": the URL serves a Zstandard frame of the file) and the file's deltas
// (read them with deltaSources()).
typedef QMap<QString, QString> FileEntry;

// A delta of a file: a Zstandard frame made with --patch-from the older file whose SHA-256 is
// `from`, served at `url`; `sha256` (empty: not given) and `size` (-1: not given) are the
// frame's own.
struct DeltaSource {
    QString from;
    QString url;
    QString sha256;
    qint64 size = -1;
};

// The deltas the list gives for `entry`, in list order: only those that passed readFileList's
// checks, and only for an entry with its own sha256 and size, which the result must match.
QList<DeltaSource> deltaSources(const FileEntry& entry);

// At most this many deltas of one file are kept (one per older release a publisher serves).
const int kMaxDeltasPerFile = 16;

// Deepest element nesting that a file list may have. A real list nests two or three levels;
// QDomDocument's destructor recurses once per level, so a deeper document is refused unparsed.
const int kMaxFileListDepth = 64;

// The path of `relative` inside `baseFolder`, or an empty string when `relative` is unsafe:
// empty, absolute (a leading '/' or '\', or a drive letter), or leading out of the folder or
// onto the folder itself once "." and ".." are resolved ('\' counts as a separator as well).
QString resolveInside(const QString& baseFolder, const QString& relative);

// Why `relative` names something else on Windows than it says, or an empty string. Windows
// drops a trailing "." or " " from every path part (so ".. " climbs like "..") and opens a
// device for CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, also with an extension. The same
// list serves every platform, so such names are refused everywhere.
QString windowsAliasProblem(const QString& relative);

// Whether `url` may be downloaded from: http and https only. Any other scheme (file:, ftp:,
// qrc:, ...) could read local files or hand the user's credentials to another host.
bool isAllowedDownloadUrl(const QString& url);

// Whether `path` (lexically inside `baseFolder`) still ends up inside the real updater folder
// once the links and junctions on its way are followed: its deepest existing ancestor's
// canonical path must be the canonical folder or lie below it.
bool staysInsideThroughLinks(const QString& baseFolder, const QString& path);

// Whether `path` itself is a symbolic link or a junction (dangling or not).
bool isLink(const QString& path);

// How deep the elements of `xml` nest, counted without building a document; stops counting
// (and returns limit + 1) as soon as the depth passes `limit`.
int xmlNestingDepth(const QByteArray& xml, int limit);

// Log text of a name or URL that the server chose: in double quotes, with '"', '\\' and every
// control character escaped, so that no value can close the quotes or start a line of its own.
QString quotedName(const QString& s);

// The updater's working folder below its own folder: the new copy of the updater, the staging
// and backup folders and the journal of an update live here. Neither it nor the application's
// settings folder is ever removed or replaced by a list.
const char kUpdatesFolder[] = "Application/Updates";
const char kConfigFolder[] = "Application/Config";

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
// folder). The updater's own executable
// (`ownFileName`) is redirected into kUpdatesFolder. A "dist" that ends in "/" names a folder:
// a `file` entry creates it (nothing is downloaded), a `remove` entry takes it only when it is
// a folder. A removal of a path that the list also downloads is skipped: the download replaces
// it. With `requireDigests` (a build that checks the list's signature) every downloaded file
// must carry `sha256` and `size`, so that the signed list covers the bytes as well, and so must
// every delta. A `file` entry may carry `encoding="zstd"` (with `size`, which caps the decoded
// bytes) and `<delta from="<sha256>" url=".." size=".." sha256=".."/>` children; a delta that
// cannot be used is left out with a note, and the file is downloaded whole.
FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName,
                            bool requireDigests = false);

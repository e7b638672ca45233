// One case of the updater's simulation, as plain data: an old and a new release, the file list
// between them, where the runs are killed, what is damaged between runs, and whether two
// updaters start at once. A case is written to and read from a small line-based text, so that a
// case found by the generator can be kept as a file and replayed anywhere.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace sim {

// One path of a folder tree: a folder, a file with its bytes, or a link (its target in `bytes`).
struct Node {
    enum Kind { Folder, File, Link };
    Kind kind = File;
    QByteArray bytes;
    bool operator==(const Node& o) const { return kind == o.kind && bytes == o.bytes; }
    bool operator!=(const Node& o) const { return !(*this == o); }
};
// Relative path ('/'-separated, no trailing '/') -> node; every folder on a file's way is listed.
typedef QMap<QString, Node> Tree;

// One entry of the file list, in the order it is written.
struct ListEntry {
    enum Kind { Download, FolderEntry, Remove };
    Kind kind = Download;
    QString dist;        // as written in the list; "{short:PATH}" stands for PATH's 8.3 short name
    QByteArray bytes;    // what the server serves for a download
    bool digest = false; // whether the entry carries sha256 and size of `bytes`
};

// What is done to the updater's bookkeeping after the first run (and its kills), before the
// next start.
enum class Damage {
    None,
    LoseStaged,       // one staged file is gone
    LoseBackup,       // one entry of the backup is gone
    TruncateJournal,  // the journal is cut at `damageParam` percent of its length
    EmptyJournal,     // the journal is an empty file
    JournalFolder,    // a folder stands where the journal was
    JournalLink,      // a dangling link stands where the journal was
    StagingLink,      // `staging` is a link to a folder outside the updater's folder
    BackupLink,       // `backup` is a link to a folder outside the updater's folder
    PartGarbage,      // every kept part of a cut download holds other bytes of its length
    PartLink,         // every kept part of a cut download is a link to a file outside
};
// Another user's object put, after the first start, in the place of a file or folder the
// updater reads or writes (the place is one of HostilePlace), and held there through the later
// starts.
enum class HostilePlace {
    None,
    Part,           // the kept part of the list's first download with a digest
    PartInfo,       // ... and its .info
    Journal,        // Application/Updates/update-journal
    Steps,          // Application/Updates/update-journal.steps
    AppliedVersion, // Application/Updates/applied-version
    Log,            // desktop-updater.log
    Lock,           // Application/Updates/updater.lock
    Staging,        // Application/Updates/staging
    Backup,         // Application/Updates/backup
    InPlace,        // a file of the old release that the list replaces (or any old file)
};
enum class HostileObject {
    Fifo,
    Socket,
    Folder,          // a folder holding a file
    HardLink,        // a second name of a file outside the folder (for a part: one holding the whole file)
    SymLink,         // a link to a file outside the folder
    Unreadable,      // a file of mode 000 (the starts run as an unprivileged user then)
    Changing,        // a file that another process rewrites all the time
    LockedByProcess, // another process of this user holds an exclusive flock on the file there
    LockedByOtherUser, // another account opens the file there read-only and holds a flock on it
};
QString hostilePlaceName(HostilePlace p);
bool hostilePlaceFromName(const QString& name, HostilePlace* p);
QString hostileObjectName(HostileObject o);
bool hostileObjectFromName(const QString& name, HostileObject* o);

// A power cut after the last start: the file system whose model says what the cut may keep
// (the states are built from the start's recorded calls, and a start runs on each).
enum class FsModel { None, Ext4Ordered, Fat };
QString fsModelName(FsModel m);
bool fsModelFromName(const QString& name, FsModel* m);

// How the server answers a request for the rest of a file.
enum class Ranges { Honour, Ignore, Refuse, FromStart };
QString rangesName(Ranges r);
bool rangesFromName(const QString& name, Ranges* r);
QString damageName(Damage d);
bool damageFromName(const QString& name, Damage* d);

struct Case {
    Tree oldRelease;           // below the updater's folder, without its own bookkeeping
    QList<ListEntry> list;
    int killAtDownload = 0;    // the first run is killed as its n-th download starts (0: never)
    int killAtStep = 0;        // ... or at its n-th commit step (0: never)
    Damage damage = Damage::None;
    int damageParam = 0;       // which staged file or backup entry, or where a journal is cut
    QList<int> recoveryKills;  // each later start is killed at its n-th commit or undo step
    // A second updater on the folder: it starts and runs to its end while the first one is held
    // as its n-th download starts (concurrentAtDownload) or at its n-th commit step
    // (concurrentAtStep); the first one then goes on. 0 and 0: no second updater.
    int concurrentAtDownload = 0;
    int concurrentAtStep = 0;
    // The first request for the `cutEntry`-th entry of the list (-1: none) is cut after
    // `cutPercent` percent of its bytes (at least one, never all): the server closes the
    // connection, or (`cutByKill`) goes silent and the start is killed once bytes arrived.
    int cutEntry = -1;
    int cutPercent = 50;
    bool cutByKill = false;
    Ranges ranges = Ranges::Honour;
    HostilePlace hostilePlace = HostilePlace::None;
    HostileObject hostileObject = HostileObject::Fifo;
    FsModel powerCut = FsModel::None;
};

// The case as text, and back. parseCase() is false (with the reason) on a malformed text.
QString writeCase(const Case& c);
bool parseCase(const QString& text, Case* c, QString* error);

// A download of the accepted list: where, what, and whether the entry gives the digest (a file
// already in place with those bytes then stays as it is, under its own spelling).
struct Placement {
    QString path;
    QByteArray bytes;
    bool digest = false;
};

// The tree after the accepted part of a list: `removals` (relative paths) go with everything
// below them, then `folders` are made and `downloads` placed, their folders made as needed.
// Where names compare without letter case (`cs`), a path names whatever exists under another
// case, and a folder on the way keeps the spelling it has; a placed file takes the list's.
Tree applyList(const Tree& before, const QStringList& removals, const QStringList& folders,
               const QList<Placement>& downloads, Qt::CaseSensitivity cs);

// A readable, one-line-per-path difference between two trees (empty when they are equal).
QString treeDifference(const Tree& expected, const Tree& actual, int maxLines = 12);

}  // namespace sim

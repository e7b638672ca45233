// The journal of one commit: what moves where, written (and flushed to disk) before anything in
// the application's folder moves, and beside it the record of each step as it is done and
// undone, so that a start after a crash can finish or undo the commit without guessing.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The updater's own entries in its working folder (kUpdatesFolder): the downloads of the running
// update, the old files while a commit runs, the commit's journal (and its step record and
// temporary files, named from it), the version of the last release committed, the mark of a
// folder that an unreadable journal left in doubt, and the folder lock (the updater's
// kFolderLockName). No list and no journal may name them.
const char kStagingName[] = "staging";
const char kBackupName[] = "backup";
const char kJournalName[] = "update-journal";
const char kStepsSuffix[] = ".steps";
const char kRecordName[] = "applied-version";
const char kRepairName[] = "repair-pending";
const char kLockName[] = "updater.lock";

// Whether `name` (one name inside kUpdatesFolder) is one of those, or a file named from one.
bool isUpdaterOwnName(const QString& name);

struct JournalMove {
    QString from;
    QString to;
};

// Paths are relative to the updater's folder. Forward, the stashes run first (an old file or a
// removed path moved into the backup folder, in order), then the folders are created, then the
// places (a staged file moved to its target; a place may also start inside the backup of a
// removed folder: a file the release keeps as it is, moved back out), then the unlinks (a
// removed link or junction, removed itself: a rename is not sure to move the link and not
// what it leads to, Wine 8 moves the target). Undoing runs the other way. Each step has a
// number in that order (see stepOf*), under which its progress is recorded.
struct UpdateJournal {
    enum class State { Commit, Rollback, Done };
    State state = State::Commit;
    QString id;                  // names this commit; its step records carry it too
    QString version;             // the release being applied, recorded when it is done
    QList<JournalMove> stashes;  // target -> backup, only for targets that existed
    QStringList folders;         // folders that the commit creates, the outer ones first
    QStringList folderGuards;    // per folder: the backup of the removal that held it there, or ""
    QList<JournalMove> places;   // staged -> target
    QStringList unlinks;         // links and junctions that the release removes

    int stepOfStash(int i) const { return i; }
    int stepOfFolder(int i) const { return stashes.size() + i; }
    int stepOfPlace(int i) const { return stashes.size() + folders.size() + i; }
    int stepOfUnlink(int i) const { return stashes.size() + folders.size() + places.size() + i; }
};

// Writes `journal` to `path` through a temporary file that is flushed to disk and then renamed
// into place, so the journal on disk is always whole.
bool writeUpdateJournal(const QString& path, const UpdateJournal& journal, QString* error);

// Reads the journal at `path`. False (with the reason) when it is missing, unreadable, not a
// plain file (a folder, or a link, dangling or not, is never followed) or not a whole journal:
// a state, an id and every list with text entries of the right form.
bool readUpdateJournal(const QString& path, UpdateJournal* journal, QString* error);

// Why the paths of `journal` are not ones a commit of this updater writes, or "". Every path is
// a clean relative path inside the updater's folder. Backups lie in one stash folder
// (Application/Updates/backup, or a numbered folder inside it) as "f<n>" or "r<n>"; a place
// starts in the staging folder, or inside a removal's backup at the same path below it as its
// target below the removed path. Targets (what is stashed, placed, created or unlinked) are
// what a file list can name: nothing of the application's settings folder, nothing of the
// updater's working folder except one entry right inside it that is none of the updater's own
// (its new copy), and no name that Windows reads as another one.
QString updateJournalProblem(const UpdateJournal& journal);

// The record of a commit's steps: a file that starts with the journal's id and then has one line
// per step done ("+n") or undone ("-n"), appended as it happens (a kill loses none of them) and
// flushed to disk where the next phase relies on it: once every old file is in the backup,
// before anything is placed, and at each phase of an undo. A step that a power cut left
// unrecorded is told from the files (a rename is whole or not done; see placeDone).
class JournalSteps
{
public:
    enum class Mark { None, Done, Undone };

    // Starts the record of the commit `id` at `path`: a fresh file, flushed to disk.
    bool start(const QString& path, const QString& id, QString* error);
    // Reads the record at `path` of the commit `id`. No file there, one whose first line was
    // cut short (a prefix of the id), or a record of another commit (one whose record was never
    // started) counts as no record at all; a later line cut short or not of the form is
    // skipped. False when something else stands there (a link, a folder, a FIFO, a file it
    // cannot read or too large, or one whose first line is no commit's id: bytes another
    // process wrote): then nobody can tell how far the commit got.
    // Appends go to `path` from then on.
    bool load(const QString& path, const QString& id);

    Mark mark(int step) const { return m_marks.value(step, Mark::None); }
    bool done(int step) const { return mark(step) == Mark::Done; }
    // Appends the step's new mark (never through a link). False when it cannot be written.
    bool set(int step, Mark mark);
    // Flushes the record to disk, when anything was appended since the last flush.
    bool flush(QString* error);

private:
    QString m_path;
    QHash<int, Mark> m_marks;
    bool m_unflushed = false;
};

// The journal of one commit: what moves where, written (and flushed to disk) before anything in
// the application's folder moves, so that a start after a crash can finish or undo the commit.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct JournalMove {
    QString from;
    QString to;
};

// Paths are relative to the updater's folder. Each step can be told done or not from the files
// alone: a stash (an old file or a removed path moved into the backup folder) is done when its
// backup exists; a place (a staged file moved to its target) is done when its staged file is
// gone; an unlink (a removed link or junction) when the link is gone. A place may also start
// inside the backup of a removed folder: a file the release keeps as it is, moved back out. Forward, the stashes run
// first (in order), then the folders are created, then the places, then the unlinks; undoing
// runs the other way. A link is removed itself rather than moved into the backup: a rename
// is not sure to move the link and not what it leads to (Wine 8 moves the target).
struct UpdateJournal {
    enum class State { Commit, Rollback, Done };
    State state = State::Commit;
    QString version;             // the release being applied, recorded when it is done
    QList<JournalMove> stashes;  // target -> backup, only for targets that existed
    QStringList folders;         // folders that the commit creates, the outer ones first
    QStringList folderGuards;    // per folder: the backup of the removal that held it there, or ""
    QList<JournalMove> places;   // staged -> target
    QStringList unlinks;         // links and junctions that the release removes
};

// Writes `journal` to `path` through a temporary file that is flushed to disk and then renamed
// into place, so the journal on disk is always whole.
bool writeUpdateJournal(const QString& path, const UpdateJournal& journal, QString* error);

// Reads the journal at `path`. False (with the reason) when it is missing or unreadable.
bool readUpdateJournal(const QString& path, UpdateJournal* journal, QString* error);

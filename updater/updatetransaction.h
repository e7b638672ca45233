// An update applied all or nothing: the files are staged first, then committed in one journaled
// step with a backup, and an unfinished commit is finished or undone on the next start.
#pragma once

#include "updatejournal.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Moves the file or folder `from` to `to` (which must not exist) on the same volume by a
// rename, never by a copy. False with the reason when it cannot.
bool moveIntoPlace(const QString& from, const QString& to, QString* error);

// What one commit does; every path absolute and inside the updater's folder.
struct CommitPlan {
    QString version;
    QList<QPair<QString, QString>> files;  // staged file -> target
    QStringList removals;
    QStringList folders;                   // folders the list names
    // Files already in place that the release keeps as they are. One that a removal takes away
    // with its folder is moved back out of the backup into its place.
    QStringList kept;
};

// Works inside kUpdatesFolder of the updater's folder `baseFolder`:
//   staging/         the downloads of the running update
//   backup/          the old files and removed paths while a commit runs
//   update-journal   the commit's journal (see UpdateJournal)
//   applied-version  the version of the last release committed, the updater's own record
class UpdateTransaction
{
public:
    enum class Recovery { Nothing, Forward, Back, Failed };

    explicit UpdateTransaction(const QString& baseFolder);

    QString stagingFolder() const;
    QString stagedPath(int index) const;
    QString appliedVersion() const;
    // Records `version` as applied (also done by every commit).
    bool recordVersion(const QString& version, QString* error) const;

    // Anything left over from an earlier run (staging, backup, temporary files) goes; an empty
    // staging folder is made. False with the reason when it cannot be made.
    bool begin(QString* error);
    // The staged files go.
    void discard();
    // Checks every path once more (no link anywhere below the updater's folder), writes the
    // journal, moves the old files and the removals into the backup, the staged files into place,
    // records the version and drops the backup. Any failure undoes what was done. True when the
    // new release is in place; otherwise the old one is, and `error` says why.
    bool commit(const CommitPlan& plan, QString* error);

    // Where the last commit, or undoing it, stopped: the entry (relative to the updater's folder)
    // that could not be moved, or an empty string when it did not stop at one.
    QString failedEntry() const { return m_failedEntry; }

    // Whether a journal of an unfinished commit is there (recover() must run first).
    bool needsRecovery() const;
    // Finishes an unfinished commit: forward when every file it still has to place is staged,
    // else back. Removes stale staging, backup and temporary files. `detail` says what it did.
    Recovery recover(QString* detail);

private:
    QString path(const QString& relative) const;
    QString relative(const QString& absolute) const;
    bool forward(UpdateJournal& journal, QString* error);
    bool back(UpdateJournal& journal, QString* error);
    bool finishForward(UpdateJournal& journal, QString* error);
    // Records where the commit or its undoing stopped; always false.
    bool stopAt(const QString& entry);
    void cleanUp();

    QString m_base;
    QString m_updates;
    QString m_failedEntry;
};

// An update applied all or nothing: the files are staged first, then committed in one journaled
// step with a backup, and an unfinished commit is finished or undone on the next start.
#pragma once

#include "transaction/updatejournal.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace pathpolicy {
class Removals;
}

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

// Works inside kUpdatesFolder of the updater's folder `baseFolder` (the names in updatejournal.h):
//   staging/               the downloads of the running update
//   backup/                the old files and removed paths while a commit runs
//   update-journal         the commit's journal (see UpdateJournal)
//   update-journal.steps   the record of the commit's steps (see JournalSteps)
//   applied-version        the version of the last release committed, the updater's own record
//   repair-pending         set when a journal could not be used: the folder may hold parts of
//                          two releases until a release is whole in place again
class UpdateTransaction
{
public:
    // What recovery did: nothing to do; the commit finished; undone; the journal could not be
    // used (see repairPending); or the commit could not be finished nor undone yet.
    enum class Recovery { Nothing, Forward, Back, Repair, Failed };

    explicit UpdateTransaction(const QString& baseFolder);

    QString stagingFolder() const;
    QString stagedPath(int index) const;
    QString appliedVersion() const;
    // Records `version` as applied and ends a pending repair: the caller says that the folder
    // holds that release whole (every commit does so once its release is in place).
    bool recordVersion(const QString& version, QString* error) const;
    // Whether a journal that could not be used left the folder in doubt: it may hold parts of
    // two releases. The application is not started on it; the update runs again in full (the
    // applied version is not asked) until a release is whole in place (recordVersion). The
    // backup is kept meanwhile.
    bool repairPending() const;

    // Anything left over from an earlier run goes (staging, temporary files, and the backup
    // unless a repair is pending: then it keeps the old files); an empty staging folder is made. Refused while an unfinished commit waits for its recovery. False
    // with the reason when it cannot be made.
    bool begin(QString* error);
    // The staged files go.
    void discard();
    // Checks once more the paths it will touch, as a download may have taken minutes: the staged
    // files, their targets, the removals, the folders and its own backup and journal files must
    // have no link on the way from the updater's folder (a removal may be one itself, if it can be
    // removed itself), no folder in a file's place, no file in a folder's place and no file on a
    // target's way that the release does not remove, and none may reach the updater's own
    // folders. Other paths below the folder are not looked at. Then it writes the journal, moves
    // the old files and the removals into the backup, makes the missing folders, moves the staged
    // files (and kept files out of a removed folder's backup) into place, removes the removed
    // links themselves, records the version and drops the backup; each step is recorded as it is
    // done. A version record that fails is written by the next start's recovery. Any failure
    // before the journal says done undoes what was done. True when the new release is in place;
    // otherwise the old one is (unless needsRecovery() says undoing stopped), and `error` says why.
    bool commit(const CommitPlan& plan, QString* error);

    // Where the last commit, or undoing it, stopped: the entry (relative to the updater's folder)
    // that could not be moved, or an empty string when it did not stop at one.
    QString failedEntry() const { return m_failedEntry; }

    // Whether a journal of an unfinished commit is there (recover() must run first).
    bool needsRecovery() const;
    // Finishes an unfinished commit from its journal and the record of its steps: forward when
    // every file it still has to place is staged, else back, moving only what the record (or,
    // for the steps a crash left unrecorded, the rename's two ends) shows was moved. Nothing
    // is moved through a link, and a journal that cannot be read, or that names what this
    // updater does not write, moves nothing: it goes, and the folder is marked for repair; so
    // does one whose commit can neither be finished (a staged file gone) nor undone (an old
    // file gone from the backup).
    // Removes stale staging and temporary files, and the backup unless a repair is pending.
    // `detail` says what it did.
    Recovery recover(QString* detail);

private:
    // The removals a commit moves into its backup (as the plan spells them), their backups, and
    // the kept files that come back out of them.
    struct StashedRemovals {
        QStringList removals;
        QStringList backups;
        QStringList keptTargets;
    };
    // The steps of commit(), in their order.
    bool planStillFits(const CommitPlan& plan, QString* error) const;
    QString ownOrBlockedProblem(const CommitPlan& plan, const pathpolicy::Removals& removals) const;
    StashedRemovals addJournalMoves(const CommitPlan& plan, const QString& stash, UpdateJournal* journal) const;
    void addJournalFolders(const CommitPlan& plan, const StashedRemovals& stashed, UpdateJournal* journal) const;
    bool startJournal(const UpdateJournal& journal, const QString& stash, JournalSteps* steps, QString* error);

    QString path(const QString& relative) const;
    QString relative(const QString& absolute) const;
    QString journalPath() const;
    QString stepsPath() const;
    bool forward(UpdateJournal& journal, JournalSteps& steps, QString* error);
    bool back(UpdateJournal& journal, JournalSteps& steps, QString* error);
    bool undoPossible(const UpdateJournal& journal, const JournalSteps& steps, QString* error);
    bool finishForward(UpdateJournal& journal, QString* error);
    // Whether place `i` of `journal` is done: recorded so, or unrecorded with its staged file
    // gone and its target there once every stash was done.
    bool placeDone(const UpdateJournal& journal, const JournalSteps& steps, int i) const;
    // Moves `from` to `to` (relative paths) unless a link or junction lies on the way to either.
    bool move(const QString& from, const QString& to, QString* error);
    // The journal goes (never what a link in its place leads to) and the folder is marked for
    // repair; `why` says what was wrong with the journal.
    Recovery retireJournal(const QString& why, QString* detail);
    // Records where the commit or its undoing stopped; always false.
    bool stopAt(const QString& entry);
    void cleanUp();

    QString m_base;
    QString m_updates;
    QString m_failedEntry;
    bool m_undoImpossible = false;  // back() found an old file that the backup no longer has
};

#include "transaction/updatetransaction.h"

#include "list/pathpolicy.h"
#include "list/updaterfolders.h"
#include "log/quotedname.h"
#include "platform/file_replace.h"
#include "platform/folder_flush.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"
#include "transaction/testpause.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QUuid>
#include <algorithm>

namespace {

// A version text is short; a larger record is not one of ours.
const qint64 kMaxRecordBytes = 1024;

// Removes a file, a link or junction (never what it leads to) or a folder with everything
// inside it; a removed folder's own links and junctions are not entered either.
bool removeTree(const QString& path)
{
    return pathrules::removeTreeNoFollow(path);
}

// Flushes the folders that hold `paths` (each once, those that are still there) to disk, so
// that the renames of one step of the commit are durable before the next step starts: a power
// cut must never find a later step on disk and an earlier one lost.
bool flushParents(const QStringList& paths, QString* error)
{
    QStringList done;
    for (const QString& p : paths) {
        const QString folder = QFileInfo(p).path();
        if (p.isEmpty() || done.contains(folder) || pathpolicy::isAnyLink(folder) || !QFileInfo(folder).isDir()) continue;
        done.append(folder);
        if (!flushFolder(folder, error)) return false;
    }
    return true;
}

bool isEmptyFolder(const QString& path)
{
    return !pathpolicy::isAnyLink(path) && QFileInfo(path).isDir() &&
           QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).isEmpty();
}

}  // namespace

bool moveIntoPlace(const QString& from, const QString& to, QString* error)
{
    if (pathpolicy::isPresent(to)) {
        if (error) *error = QStringLiteral("cannot move %1 to %2: something is in the way").arg(from, to);
        return false;
    }
    // A file that a just terminated application still holds is retried a few seconds, and the
    // log names it with the system's error.
    if (QFileInfo(from).isFile() && !pathpolicy::isAnyLink(from)) {
        return replaceFileRetrying(from, to, error);
    }
    // QDir::rename renames and nothing else: QFile::rename would fall back to a copy.
    if (!QDir().rename(from, to)) {
        if (error) *error = QStringLiteral("cannot move %1 to %2").arg(from, to);
        return false;
    }
    return true;
}

UpdateTransaction::UpdateTransaction(const QString& baseFolder)
    : m_base(QDir::cleanPath(baseFolder)),
      m_updates(QDir::cleanPath(baseFolder) + QLatin1Char('/') + QLatin1String(kUpdatesFolder))
{
}

QString UpdateTransaction::stagingFolder() const { return m_updates + QLatin1Char('/') + QLatin1String(kStagingName); }

QString UpdateTransaction::stagedPath(int index) const
{
    return stagingFolder() + QLatin1Char('/') + QString::number(index);
}

QString UpdateTransaction::path(const QString& rel) const { return pathpolicy::resolveInside(m_base, rel); }

QString UpdateTransaction::relative(const QString& absolute) const { return QDir(m_base).relativeFilePath(absolute); }

QString UpdateTransaction::journalPath() const { return m_updates + QLatin1Char('/') + QLatin1String(kJournalName); }

QString UpdateTransaction::stepsPath() const { return journalPath() + QLatin1String(kStepsSuffix); }

QString UpdateTransaction::appliedVersion() const
{
    const QString name = m_updates + QLatin1Char('/') + QLatin1String(kRecordName);
    // A second name of a file elsewhere is a record its owner could write: none of ours.
    QFile file;
    if (pathpolicy::isAnyLink(name) || !isSoleRegularFile(name) || !openRegularForReading(file, name)) return QString();
    return QString::fromUtf8(file.read(kMaxRecordBytes)).trimmed();
}

bool UpdateTransaction::recordVersion(const QString& version, QString* error) const
{
    const QString name = m_updates + QLatin1Char('/') + QLatin1String(kRecordName);
    QDir().mkpath(m_updates);
    // Whatever else stands in the record's place (a folder, a link, a pipe, a second name of a
    // file elsewhere, a file this account may not write) holds no record of ours and would keep
    // every later one out: it goes itself, never what a link there leads to.
    const QFileInfo there(name);
    if (!pathpolicy::isAnyLink(m_updates) && pathpolicy::isPresent(name) && (!isSoleRegularFile(name) || !there.isWritable()))
        removeTree(name);
    QSaveFile file(name);
    const QByteArray bytes = version.toUtf8() + '\n';
    if (pathpolicy::isAnyLink(m_updates) || pathpolicy::isAnyLink(name) || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
        !file.commit()) {
        if (error) *error = QStringLiteral("cannot record the applied version in %1").arg(name);
        return false;
    }
    // A release is whole in place: a repair that was pending is done.
    removeTree(m_updates + QLatin1Char('/') + QLatin1String(kRepairName));
    return flushFolder(m_updates, error);
}

bool UpdateTransaction::repairPending() const
{
    return !pathpolicy::isAnyLink(m_updates) && pathpolicy::isPresent(m_updates + QLatin1Char('/') + QLatin1String(kRepairName));
}

void UpdateTransaction::cleanUp()
{
    // The journal first: once it is gone nothing below is needed any more. Whatever stands in
    // the place of one of these is removed itself, never what a link there leads to.
    removeTree(journalPath());
    removeTree(stepsPath());
    removeTree(stagingFolder());
    // A version record that is no file of the updater's own (a second name of a file elsewhere,
    // whose owner could change it; a folder, a link, a FIFO) says nothing: it goes itself.
    const QString record = m_updates + QLatin1Char('/') + QLatin1String(kRecordName);
    if (pathpolicy::isPresent(record) && !isSoleRegularFile(record)) removeTree(record);
    // While a repair is pending the old files of the commit whose journal was lost stay; a link
    // or a file standing as the backup holds none of them (the updater never makes either) and
    // goes, or no later commit could ever stash into the backup again.
    const QString backup = m_updates + QLatin1Char('/') + QLatin1String(kBackupName);
    if (!repairPending() || pathpolicy::isAnyLink(backup) || (pathpolicy::isPresent(backup) && !QFileInfo(backup).isDir())) removeTree(backup);
    // Temporary files that a killed run's atomic writes may have left.
    const QStringList temporaries = QDir(m_updates).entryList(
        QStringList{QLatin1String(kJournalName) + QStringLiteral(".*"), QLatin1String(kRecordName) + QStringLiteral(".*"),
                    QLatin1String(kRepairName) + QStringLiteral(".*")},
        QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : temporaries) removeTree(m_updates + QLatin1Char('/') + name);
}


bool UpdateTransaction::begin(QString* error)
{
    if (needsRecovery()) {  // the backup of an unfinished commit is never thrown away
        if (error) *error = QStringLiteral("an unfinished commit waits for its recovery");
        return false;
    }
    if (pathpolicy::isAnyLink(m_updates) || (pathpolicy::isPresent(m_updates) && !QFileInfo(m_updates).isDir())) {
        if (error) *error = QStringLiteral("%1 is not a folder").arg(m_updates);
        return false;
    }
    cleanUp();
    // A link in the place of the staging folder that could not be removed itself is never
    // downloaded into.
    const QString link = pathpolicy::linkOnTheWay(m_base, stagingFolder(), false);
    if (!link.isEmpty()) {
        if (error) *error = QStringLiteral("cannot make the staging folder: ") + link;
        return false;
    }
    if (!QDir().mkpath(stagingFolder())) {
        if (error) *error = QStringLiteral("cannot create %1").arg(stagingFolder());
        return false;
    }
    return true;
}

void UpdateTransaction::discard()
{
    removeTree(stagingFolder());
}

bool UpdateTransaction::needsRecovery() const
{
    return pathpolicy::isPresent(journalPath());
}

namespace {

bool isInsideOrSame(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// Whether `plan` removes `path` itself (a folder that becomes a file of the release).
bool removesPath(const CommitPlan& plan, const QString& path)
{
    for (const QString& r : plan.removals) {
        if (pathpolicy::sameName(r, path)) return true;
    }
    return false;
}

}  // namespace

bool UpdateTransaction::stopAt(const QString& entry)
{
    m_failedEntry = entry;
    return false;
}

bool UpdateTransaction::move(const QString& from, const QString& to, QString* error)
{
    const QString a = path(from);
    const QString b = path(to);
    QString problem = pathpolicy::linkOnTheWay(m_base, a, false);
    if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, b, false);
    if (!problem.isEmpty()) {
        *error = QStringLiteral("cannot move %1 to %2: %3").arg(quotedName(from), quotedName(to), problem);
        return false;
    }
    return moveIntoPlace(a, b, error);
}

// --- The commit: the paths checked again, the journal drawn up and written, then the moves ---

bool UpdateTransaction::commit(const CommitPlan& plan, QString* error)
{
    m_failedEntry.clear();
    // --- Step 1: what the list was read against, checked again ---
    if (!planStillFits(plan, error)) return false;

    // --- Step 2: the journal drawn up, without touching anything ---
    // Where this commit keeps the old files: the backup folder, or a fresh one inside it when an
    // earlier backup could not be removed whole (under Wine, a host link inside it) or is kept
    // for a repair.
    const QString backup = m_updates + QLatin1Char('/') + QLatin1String(kBackupName);
    QString stash = backup;
    for (int n = 1; pathpolicy::isPresent(stash); ++n) stash = backup + QStringLiteral("/%1").arg(n);
    UpdateJournal journal;
    journal.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    journal.version = plan.version;
    addJournalFolders(plan, addJournalMoves(plan, stash, &journal), &journal);
    // What recovery would refuse is not started either.
    const QString problem = updateJournalProblem(journal);
    if (!problem.isEmpty()) {
        if (error) *error = QStringLiteral("the update was refused: ") + problem;
        return false;
    }

    // --- Step 3: the stash folder, the step record and the journal on disk ---
    testPause("commit");
    JournalSteps steps;
    if (!startJournal(journal, stash, &steps, error)) return false;
    testPause("commit");

    // --- Step 4: the moves, forward (the point of no return is in there); any failure undoes what was done ---
    QString why;
    if (forward(journal, steps, &why) && finishForward(journal, &why)) return true;
    journal.state = UpdateJournal::State::Rollback;
    QString ignored;
    writeUpdateJournal(journalPath(), journal, &ignored);
    QString backWhy;
    const bool undone = back(journal, steps, &backWhy);
    if (error) {
        *error = QStringLiteral("the commit failed and was undone: ") + why;
        if (!undone) *error = QStringLiteral("the commit failed (%1), and undoing it stopped: %2; the next start tries again").arg(why, backWhy);
    }
    return false;
}

// A download can take minutes: what was checked when the list was read is checked again. False,
// with the reason, when the plan no longer fits the folder.
bool UpdateTransaction::planStillFits(const CommitPlan& plan, QString* error) const
{
    const pathpolicy::Removals removals(m_base, plan.removals);
    QString problem;
    for (const auto& f : plan.files) {
        if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, f.first, false);
        if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, f.second, false);
        // A folder there must be one the release removes (it goes into the backup first).
        if (problem.isEmpty() && QFileInfo(f.second).isDir() && removals.holding(f.second).index < 0) {
            problem = QStringLiteral("a folder is now in the place of %1").arg(quotedName(relative(f.second)));
        }
    }
    for (const QString& r : plan.removals) {
        if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, r, true);
        // A link is removed last, when nothing can be moved back any more: it must be removable.
        QString why;
        if (problem.isEmpty() && pathpolicy::isAnyLink(r) && !pathrules::reparsePointRemovable(r, &why)) {
            if (error) *error = QStringLiteral("the update was refused: the link %1 cannot be removed itself (%2)").arg(quotedName(relative(r)), why);
            return false;
        }
    }
    for (const QString& d : plan.folders) {
        if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, d, false);
        if (problem.isEmpty() && pathpolicy::isPresent(d) && !QFileInfo(d).isDir() && removals.holding(d).index < 0) {
            problem = QStringLiteral("a file is now in the place of %1").arg(quotedName(relative(d)));
        }
    }
    if (problem.isEmpty()) problem = ownOrBlockedProblem(plan, removals);
    if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, m_updates + QLatin1Char('/') + QLatin1String(kBackupName) + QStringLiteral("/x"), false);
    if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, journalPath(), false);
    if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, stepsPath(), false);
    if (!problem.isEmpty()) {
        if (error) *error = QStringLiteral("the update was refused, the folder changed while it downloaded: ") + problem;
        return false;
    }
    return true;
}

// The same rules as when the list was read: no target or removal reaches the updater's own
// folders under any spelling (only its new copy lies in the working folder), and a file on the
// way must be one the release removes. The first problem, or "".
QString UpdateTransaction::ownOrBlockedProblem(const CommitPlan& plan, const pathpolicy::Removals& removals) const
{
    const pathpolicy::UpdaterFiles updaterFiles(m_base, QString());
    QString problem;
    auto refuseOwn = [&](const QString& path, const QString& why) {
        if (problem.isEmpty() && !why.isEmpty()) problem = QStringLiteral("%1: %2").arg(quotedName(relative(path)), why);
    };
    for (const auto& f : plan.files) {
        if (QFileInfo(f.second).path() != m_updates) refuseOwn(f.second, updaterFiles.placeProblem(f.second));
    }
    for (const QString& d : plan.folders) refuseOwn(d, updaterFiles.placeProblem(d));
    for (const QString& r : plan.removals) refuseOwn(r, updaterFiles.removalProblem(r));
    QStringList targets = plan.folders;
    for (const auto& f : plan.files) targets.append(f.second);
    for (const QString& t : targets) {
        const QString file = problem.isEmpty() ? pathpolicy::blockingFileOnTheWay(m_base, t, removals) : QString();
        if (!file.isEmpty()) problem = QStringLiteral("the file %1 now stands on the way to %2").arg(quotedName(relative(file)), quotedName(relative(t)));
    }
    return problem;
}

// The stashes, places and unlinks of `plan` into `journal`, the old files going into `stash`.
UpdateTransaction::StashedRemovals UpdateTransaction::addJournalMoves(const CommitPlan& plan, const QString& stash,
                                                                      UpdateJournal* journal) const
{
    const pathpolicy::Removals removals(m_base, plan.removals);
    for (int i = 0; i < plan.files.size(); ++i) {
        const QString& target = plan.files.at(i).second;
        // A folder that the release removes goes into the backup as a removal.
        if (pathpolicy::isPresent(target) && !removesPath(plan, target)) {
            journal->stashes.append({relative(target), relative(stash + QStringLiteral("/f%1").arg(i))});
        }
        journal->places.append({relative(plan.files.at(i).first), relative(target)});
    }
    StashedRemovals stashed;
    QStringList& presentRemovals = stashed.removals;
    QStringList& removalBackups = stashed.backups;
    for (int i = 0; i < plan.removals.size(); ++i) {
        if (!pathpolicy::isPresent(plan.removals.at(i))) continue;
        // A removal inside another removed folder goes with that folder.
        if (removals.holding(QFileInfo(plan.removals.at(i)).path()).index >= 0) continue;
        if (pathpolicy::isAnyLink(plan.removals.at(i))) {  // removed itself at the end, never moved
            journal->unlinks.append(relative(plan.removals.at(i)));
            continue;
        }
        const QString to = stash + QStringLiteral("/r%1").arg(i);
        journal->stashes.append({relative(plan.removals.at(i)), relative(to)});
        presentRemovals.append(plan.removals.at(i));
        removalBackups.append(to);
    }
    // A kept file inside a removed folder goes into the backup with it and comes back out.
    // Removed folders count also when the list spells them otherwise (letter case on Windows).
    const pathpolicy::Removals moved(m_base, presentRemovals);
    for (const QString& k : plan.kept) {
        const pathpolicy::Removals::Hold hold = moved.holding(k);
        if (!pathpolicy::isPresent(k) || hold.index < 0 || pathpolicy::sameName(hold.at, k)) continue;
        // Spelled as the removal spells its folder, so that the backup's path matches it.
        const QString target = presentRemovals.at(hold.index) + k.mid(hold.at.size());
        const QString from = removalBackups.at(hold.index) + k.mid(hold.at.size());
        journal->places.append({relative(from), relative(target)});
        stashed.keptTargets.append(target);
    }
    return stashed;
}

// The folders the commit makes into `journal`, the outer ones first: missing ones, and those
// that a removal takes away first (guarded by that removal's backup).
void UpdateTransaction::addJournalFolders(const CommitPlan& plan, const StashedRemovals& stashed, UpdateJournal* journal) const
{
    const pathpolicy::Removals moved(m_base, stashed.removals);
    QStringList wanted = plan.folders;
    for (const auto& f : plan.files) wanted.append(QFileInfo(f.second).path());
    for (const QString& k : stashed.keptTargets) wanted.append(QFileInfo(k).path());
    QStringList folders;
    for (const QString& w : wanted) {
        for (QString f = w; f.size() > m_base.size() && isInsideOrSame(f, m_base); f = QFileInfo(f).path()) {
            if (!folders.contains(f)) folders.append(f);
        }
    }
    std::sort(folders.begin(), folders.end(), [](const QString& a, const QString& b) { return a.count(QLatin1Char('/')) < b.count(QLatin1Char('/')); });
    for (const QString& f : folders) {
        const int holder = moved.holding(f).index;
        const QString guard = holder >= 0 ? relative(stashed.backups.at(holder)) : QString();
        if (pathpolicy::isPresent(f) && guard.isEmpty()) continue;
        journal->folders.append(relative(f));
        journal->folderGuards.append(guard);
    }
}

// The stash folder made, then the step record, then the journal: a record without its journal
// is only removed. False, with nothing left of them, when one cannot be written.
bool UpdateTransaction::startJournal(const UpdateJournal& journal, const QString& stash, JournalSteps* steps, QString* error)
{
    if (!QDir().mkpath(stash)) {
        if (error) *error = QStringLiteral("cannot create %1").arg(stash);
        return false;
    }
    if (!steps->start(stepsPath(), journal.id, error) || !writeUpdateJournal(journalPath(), journal, error)) {
        removeTree(journalPath());
        removeTree(stepsPath());
        removeTree(stash);
        return false;
    }
    return true;
}

bool UpdateTransaction::placeDone(const UpdateJournal& journal, const JournalSteps& steps, int i) const
{
    const JournalSteps::Mark mark = steps.mark(journal.stepOfPlace(i));
    if (mark != JournalSteps::Mark::None) return mark == JournalSteps::Mark::Done;
    // Unrecorded (a kill right after its rename, or a power cut in its phase): the places start
    // only once every stash is recorded done and on disk; then a staged file gone with its
    // target there was placed. Before that, a target there is the old file, whatever became of
    // its staged copy.
    for (int s = 0; s < journal.stashes.size(); ++s) {
        if (!steps.done(journal.stepOfStash(s))) return false;
    }
    return !pathpolicy::isPresent(path(journal.places.at(i).from)) && pathpolicy::isPresent(path(journal.places.at(i).to));
}

bool UpdateTransaction::forward(UpdateJournal& journal, JournalSteps& steps, QString* error)
{
    QHash<QString, QString> backupOf;
    QStringList touched;  // what this step renamed, whose folders are flushed after it
    // The folders after every phase; the record only once every stash is done, which the places
    // rely on. Later records a power cut may lose: recovery then tells them from the files.
    auto endPhase = [&](bool withRecord) {
        const bool ok = (!withRecord || steps.flush(error)) && flushParents(touched, error);
        touched.clear();
        return ok;
    };
    for (int i = 0; i < journal.stashes.size(); ++i) {
        const JournalMove& s = journal.stashes.at(i);
        const QString target = path(s.from);
        const QString saved = path(s.to);
        backupOf.insert(target, saved);
        const int step = journal.stepOfStash(i);
        if (steps.done(step)) continue;
        touched << target << saved;
        if (pathpolicy::isPresent(target) && !pathpolicy::isPresent(saved)) {
            // Point of no return: the first old file leaves its place here. From now on only the
            // journal (this run's undo, or the next start's recovery) brings the folder back to
            // one whole release.
            if (!move(s.from, s.to, error)) return stopAt(s.from);
        } else if (pathpolicy::isPresent(target)) {
            *error = QStringLiteral("%1 and its backup are both there").arg(quotedName(s.from));
            return stopAt(s.from);
        }
        // Else moved before this record (a crash right after the rename), or gone already.
        steps.set(step, JournalSteps::Mark::Done);
        testPause("commit");
    }
    if (!endPhase(true)) return false;
    for (int i = 0; i < journal.folders.size(); ++i) {
        const QString& rel = journal.folders.at(i);
        const QString f = path(rel);
        if (!steps.done(journal.stepOfFolder(i))) {
            if (!pathpolicy::linkOnTheWay(m_base, f, false).isEmpty() || (!QFileInfo(f).isDir() && !QDir().mkdir(f))) {
                *error = QStringLiteral("cannot create the folder %1").arg(quotedName(rel));
                return stopAt(rel);
            }
            steps.set(journal.stepOfFolder(i), JournalSteps::Mark::Done);
        }
        touched << f;
    }
    if (!endPhase(false)) return false;
    for (int i = 0; i < journal.places.size(); ++i) {
        const JournalMove& p = journal.places.at(i);
        const QString staged = path(p.from);
        const QString target = path(p.to);
        if (placeDone(journal, steps, i)) {
            if (!steps.done(journal.stepOfPlace(i))) steps.set(journal.stepOfPlace(i), JournalSteps::Mark::Done);
            continue;
        }
        if (!pathpolicy::isPresent(staged)) {
            *error = QStringLiteral("the staged file for %1 is missing").arg(quotedName(p.to));
            return stopAt(p.to);
        }
        const QString saved = backupOf.value(target);
        if (!saved.isEmpty() && QFileInfo(saved).isFile()) QFile::setPermissions(staged, QFile::permissions(saved));
        touched << staged << target;
        if (!move(p.from, p.to, error)) return stopAt(p.to);
        steps.set(journal.stepOfPlace(i), JournalSteps::Mark::Done);
        testPause("commit");
    }
    if (!endPhase(false)) return false;
    // Last, as they cannot be undone: whatever a link led to stays as it is.
    for (int i = 0; i < journal.unlinks.size(); ++i) {
        const QString& rel = journal.unlinks.at(i);
        const QString link = path(rel);
        if (steps.done(journal.stepOfUnlink(i))) continue;
        if (pathpolicy::isPresent(link)) {
            QString why = pathpolicy::linkOnTheWay(m_base, link, true);
            if (!why.isEmpty() || !pathrules::removeReparsePoint(link, &why)) {
                *error = QStringLiteral("cannot remove the link %1 itself: %2").arg(quotedName(rel), why);
                return stopAt(rel);
            }
            touched << link;
        }
        steps.set(journal.stepOfUnlink(i), JournalSteps::Mark::Done);
        testPause("commit");
    }
    return endPhase(false);
}

bool UpdateTransaction::finishForward(UpdateJournal& journal, QString* error)
{
    journal.state = UpdateJournal::State::Done;
    if (!writeUpdateJournal(journalPath(), journal, error)) return false;
    testPause("commit");
    // Recorded once the journal says done, so that undoing a commit never leaves the new
    // version recorded; a record that fails is written again by the next start's recovery.
    QString ignored;
    if (recordVersion(journal.version, &ignored)) cleanUp();
    return true;
}

// Whether every old file that went into the backup can come back; false, with the reason and
// m_undoImpossible set, when one cannot.
bool UpdateTransaction::undoPossible(const UpdateJournal& journal, const JournalSteps& steps, QString* error)
{
    m_undoImpossible = false;
    bool placesUndone = true;
    for (int i = 0; i < journal.places.size(); ++i) placesUndone = placesUndone && !placeDone(journal, steps, i);
    // Nothing moves unless every old file that went into the backup can come back: a stash
    // recorded done whose backup is gone is only fine once it was moved back already (its
    // target there, after every place was undone).
    for (int i = 0; i < journal.stashes.size(); ++i) {
        if (!steps.done(journal.stepOfStash(i)) || pathpolicy::isPresent(path(journal.stashes.at(i).to))) continue;
        if (placesUndone && pathpolicy::isPresent(path(journal.stashes.at(i).from))) continue;
        m_undoImpossible = true;
        *error = QStringLiteral("the backup of %1 is missing, so the old file cannot be put back").arg(quotedName(journal.stashes.at(i).from));
        return stopAt(journal.stashes.at(i).from);
    }
    // A file the release keeps from a removed folder waits inside that folder's backup until it
    // is placed: not placed and gone from there, it is an old file that nothing can put back.
    // Before its folder went into the backup, it is still in that folder.
    const QString staging = stagingFolder() + QLatin1Char('/');
    for (int i = 0; i < journal.places.size(); ++i) {
        const JournalMove& p = journal.places.at(i);
        if (path(p.from).startsWith(staging) || placeDone(journal, steps, i) || pathpolicy::isPresent(path(p.from))) continue;
        bool folderStashed = true;
        for (int s = 0; s < journal.stashes.size(); ++s) {
            if (!p.from.startsWith(journal.stashes.at(s).to + QLatin1Char('/'))) continue;
            folderStashed = steps.done(journal.stepOfStash(s)) || pathpolicy::isPresent(path(journal.stashes.at(s).to));
        }
        if (!folderStashed) continue;
        m_undoImpossible = true;
        *error = QStringLiteral("the backup of %1 is missing, so the old file cannot be put back").arg(quotedName(p.to));
        return stopAt(p.to);
    }
    return true;
}

bool UpdateTransaction::back(UpdateJournal& journal, JournalSteps& steps, QString* error)
{
    // Nothing moves unless every old file can come back.
    if (!undoPossible(journal, steps, error)) return false;
    bool ok = true;
    QStringList touched;  // what a step moved back, whose folders are flushed after it
    auto endPhase = [&]() {
        if (!steps.flush(error) || !flushParents(touched, error)) ok = false;
        touched.clear();
        return ok;
    };
    // Placed files go back into the staging folder. Whatever else stands in its place (a file, a
    // FIFO, a link that another user made) holds none of them, and is removed itself.
    if (pathpolicy::isAnyLink(stagingFolder()) || (pathpolicy::isPresent(stagingFolder()) && !QFileInfo(stagingFolder()).isDir())) removeTree(stagingFolder());
    if (pathpolicy::linkOnTheWay(m_base, stagingFolder() + QStringLiteral("/x"), false).isEmpty()) QDir().mkpath(stagingFolder());
    for (int i = journal.places.size() - 1; i >= 0; --i) {
        const JournalMove& p = journal.places.at(i);
        // Only a place that was done is undone: a target that was never replaced is the old
        // file, and stays where it is, also when its staged copy is gone. It is settled on
        // record before any old file comes back (the phase's flush): once its stash is undone,
        // the old file in the target's place with the staged copy gone would look placed, and a
        // later recovery would finish the commit on the old file.
        if (!placeDone(journal, steps, i)) {
            if (steps.mark(journal.stepOfPlace(i)) == JournalSteps::Mark::None) {
                steps.set(journal.stepOfPlace(i), JournalSteps::Mark::Undone);
            }
            continue;
        }
        const QString staged = path(p.from);
        const QString target = path(p.to);
        touched << staged << target;
        if (pathpolicy::isPresent(target) && !pathpolicy::isPresent(staged)) {
            if (!move(p.to, p.from, error)) {
                ok = stopAt(p.to);
                continue;
            }
            testPause("undo");
        } else if (pathpolicy::isPresent(target)) {
            *error = QStringLiteral("%1 and its staged file are both there").arg(quotedName(p.to));
            ok = stopAt(p.to);
            continue;
        }
        steps.set(journal.stepOfPlace(i), JournalSteps::Mark::Undone);
    }
    if (!endPhase()) return false;
    for (int i = journal.folders.size() - 1; i >= 0; --i) {
        const QString f = path(journal.folders.at(i));
        const QString guard = journal.folderGuards.value(i);
        if (steps.mark(journal.stepOfFolder(i)) == JournalSteps::Mark::Undone) continue;
        if (!guard.isEmpty() && !pathpolicy::isPresent(path(guard))) continue;  // the old folder is still there
        if (isEmptyFolder(f) && pathpolicy::linkOnTheWay(m_base, f, false).isEmpty() && QDir().rmdir(f)) touched << f;
        if (steps.done(journal.stepOfFolder(i))) steps.set(journal.stepOfFolder(i), JournalSteps::Mark::Undone);
    }
    for (int i = journal.stashes.size() - 1; i >= 0; --i) {
        const JournalMove& s = journal.stashes.at(i);
        const QString target = path(s.from);
        const QString saved = path(s.to);
        if (steps.mark(journal.stepOfStash(i)) == JournalSteps::Mark::Undone) continue;
        if (pathpolicy::isPresent(saved)) {  // stashed, recorded or not: only a rename of this commit made it
            if (isEmptyFolder(target) && pathpolicy::linkOnTheWay(m_base, target, false).isEmpty()) QDir().rmdir(target);
            touched << target << saved;
            if (!move(s.to, s.from, error)) {
                ok = stopAt(s.from);
                continue;
            }
            testPause("undo");
        } else if (!steps.done(journal.stepOfStash(i))) {
            continue;  // never stashed
        }
        steps.set(journal.stepOfStash(i), JournalSteps::Mark::Undone);
    }
    if (!endPhase()) return false;
    cleanUp();
    return true;
}

UpdateTransaction::Recovery UpdateTransaction::retireJournal(const QString& why, QString* detail)
{
    const QString mark = m_updates + QLatin1Char('/') + QLatin1String(kRepairName);
    QSaveFile file(mark);
    const QByteArray bytes = why.toUtf8() + '\n';
    QString flushWhy;
    // The mark first: a crash after it finds no journal and the mark, never the reverse.
    if (pathpolicy::isAnyLink(mark) || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit() ||
        !flushFolder(m_updates, &flushWhy) || !removeTree(journalPath())) {
        if (detail) *detail = why + QStringLiteral(", and the folder cannot be marked for its repair: the unfinished update is left alone");
        return Recovery::Failed;
    }
    removeTree(stepsPath());
    flushFolder(m_updates, &flushWhy);
    if (detail) {
        *detail = why + QStringLiteral(": nothing was moved back, and the folder may hold parts of two releases; the "
                                       "application is not started until the update has run again in full");
    }
    return Recovery::Repair;
}

UpdateTransaction::Recovery UpdateTransaction::recover(QString* detail)
{
    if (!needsRecovery()) {
        const QString backup = m_updates + QLatin1Char('/') + QLatin1String(kBackupName);
        if (repairPending()) {
            cleanUp();
            if (detail) *detail = QStringLiteral("an earlier update's journal could not be used: the folder may hold parts of two releases until the update has run again in full");
            return Recovery::Repair;
        }
        const bool stale = pathpolicy::isPresent(stagingFolder()) || pathpolicy::isPresent(backup);
        if (pathpolicy::isPresent(m_updates) && !pathpolicy::isAnyLink(m_updates)) cleanUp();
        if (stale && detail) {
            *detail = pathpolicy::isPresent(stagingFolder()) || pathpolicy::isPresent(backup)
                          ? QStringLiteral("cannot remove all the staging files of an earlier update")
                          : QStringLiteral("removed the staging files of an update that did not reach its commit");
        }
        return Recovery::Nothing;
    }
    if (pathpolicy::isAnyLink(m_updates)) {
        if (detail) *detail = QStringLiteral("%1 is a link, the unfinished update is left alone").arg(m_updates);
        return Recovery::Failed;
    }
    UpdateJournal journal;
    QString why;
    if (!readUpdateJournal(journalPath(), &journal, &why)) return retireJournal(why, detail);
    QString problem = updateJournalProblem(journal);
    // Nothing it names may be reached through a link or junction: not the backup, not the
    // staging folder, not a target (a removed link itself is the one exception).
    QStringList ways;
    for (const JournalMove& m : journal.stashes + journal.places) ways << m.from << m.to;
    ways << journal.folders;
    for (const QString& g : journal.folderGuards) {
        if (!g.isEmpty()) ways << g;
    }
    for (const QString& w : ways) {
        if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, path(w), false);
    }
    for (const QString& u : journal.unlinks) {
        if (problem.isEmpty()) problem = pathpolicy::linkOnTheWay(m_base, path(u), true);
    }
    if (!problem.isEmpty()) return retireJournal(QStringLiteral("the journal was refused: ") + problem, detail);
    if (journal.state == UpdateJournal::State::Done) {
        if (!recordVersion(journal.version, &why)) {
            if (detail) *detail = why + QStringLiteral(", the finished commit is recorded on the next start");
            return Recovery::Failed;
        }
        cleanUp();
        if (detail) *detail = QStringLiteral("finished the commit of version %1").arg(quotedName(journal.version));
        return Recovery::Forward;
    }
    JournalSteps steps;
    if (!steps.load(stepsPath(), journal.id)) {
        return retireJournal(QStringLiteral("the record of the commit's steps is not a file of the updater's own"), detail);
    }
    bool canGoForward = journal.state == UpdateJournal::State::Commit;
    for (int i = 0; i < journal.places.size() && canGoForward; ++i) {
        // A staged file that is missing leaves only the way back.
        if (!placeDone(journal, steps, i) && !pathpolicy::isPresent(path(journal.places.at(i).from))) canGoForward = false;
    }
    if (canGoForward) {
        if (forward(journal, steps, &why) && finishForward(journal, &why)) {
            if (detail) *detail = QStringLiteral("completed the interrupted commit of version %1").arg(quotedName(journal.version));
            return Recovery::Forward;
        }
        journal.state = UpdateJournal::State::Rollback;
        QString ignored;
        writeUpdateJournal(journalPath(), journal, &ignored);
    }
    QString backWhy;
    if (back(journal, steps, &backWhy)) {
        if (detail) *detail = QStringLiteral("undid the interrupted commit of version %1, the old files are back").arg(quotedName(journal.version));
        return Recovery::Back;
    }
    if (m_undoImpossible && !canGoForward) {
        // Neither way can be gone any more: the update runs again in full instead.
        return retireJournal(QStringLiteral("the interrupted commit of version %1 can neither be finished nor undone: ").arg(quotedName(journal.version)) + backWhy, detail);
    }
    if (detail) *detail = QStringLiteral("cannot undo the interrupted commit yet: ") + backWhy;
    return Recovery::Failed;
}

#include "updatetransaction.h"

#include "filelist.h"
#include "pathpolicy.h"
#include "platform/file_replace.h"
#include "platform/folder_flush.h"
#include "platform/path_rules.h"
#include "testpause.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <algorithm>

namespace {

const char kStagingName[] = "staging";
const char kBackupName[] = "backup";
const char kJournalName[] = "update-journal";
const char kRecordName[] = "applied-version";
// A version text is short; a larger record is not one of ours.
const qint64 kMaxRecordBytes = 1024;

// Exists, or is a link (a dangling link does not "exist" for QFileInfo).
bool present(const QString& path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

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
        if (p.isEmpty() || done.contains(folder) || isLink(folder) || !QFileInfo(folder).isDir()) continue;
        done.append(folder);
        if (!flushFolder(folder, error)) return false;
    }
    return true;
}

bool isEmptyFolder(const QString& path)
{
    return !isLink(path) && QFileInfo(path).isDir() &&
           QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).isEmpty();
}

}  // namespace

bool moveIntoPlace(const QString& from, const QString& to, QString* error)
{
    if (present(to)) {
        if (error) *error = QStringLiteral("cannot move %1 to %2: something is in the way").arg(from, to);
        return false;
    }
    // A file that a just terminated application still holds is retried a few seconds, and the
    // log names it with the system's error.
    if (QFileInfo(from).isFile() && !isLink(from)) {
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

QString UpdateTransaction::path(const QString& rel) const { return resolveInside(m_base, rel); }

QString UpdateTransaction::relative(const QString& absolute) const { return QDir(m_base).relativeFilePath(absolute); }

QString UpdateTransaction::appliedVersion() const
{
    QFile file(m_updates + QLatin1Char('/') + QLatin1String(kRecordName));
    if (isLink(file.fileName()) || !file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.read(kMaxRecordBytes)).trimmed();
}

bool UpdateTransaction::recordVersion(const QString& version, QString* error) const
{
    const QString name = m_updates + QLatin1Char('/') + QLatin1String(kRecordName);
    QDir().mkpath(m_updates);
    QSaveFile file(name);
    const QByteArray bytes = version.toUtf8() + '\n';
    if (isLink(m_updates) || isLink(name) || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
        !file.commit()) {
        if (error) *error = QStringLiteral("cannot record the applied version in %1").arg(name);
        return false;
    }
    return flushFolder(m_updates, error);
}

void UpdateTransaction::cleanUp()
{
    removeTree(stagingFolder());
    removeTree(m_updates + QLatin1Char('/') + QLatin1String(kBackupName));
    // Temporary files that a killed run's atomic writes may have left.
    const QStringList temporaries = QDir(m_updates).entryList(
        QStringList{QLatin1String(kJournalName) + QStringLiteral(".*"), QLatin1String(kRecordName) + QStringLiteral(".*")},
        QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : temporaries) QFile::remove(m_updates + QLatin1Char('/') + name);
    QFile::remove(m_updates + QLatin1Char('/') + QLatin1String(kJournalName));
}

bool UpdateTransaction::begin(QString* error)
{
    if (needsRecovery()) {  // the backup of an unfinished commit is never thrown away
        if (error) *error = QStringLiteral("an unfinished commit waits for its recovery");
        return false;
    }
    if (isLink(m_updates) || (present(m_updates) && !QFileInfo(m_updates).isDir())) {
        if (error) *error = QStringLiteral("%1 is not a folder").arg(m_updates);
        return false;
    }
    cleanUp();
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
    return present(m_updates + QLatin1Char('/') + QLatin1String(kJournalName));
}

namespace {

// Why `path` (inside `base`) must not be moved now, or "": a link or junction on the way from
// `base` down to it, or (unless `lastMayBeLink`) the path itself being one.
QString linkOnTheWay(const QString& base, const QString& path, bool lastMayBeLink)
{
    const QString rel = QDir(base).relativeFilePath(path);
    if (rel.isEmpty() || rel == QLatin1String("..") || rel.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(rel)) {
        return QStringLiteral("%1 is outside the updater's folder").arg(quotedName(path));
    }
    // Any reparse point counts, also a junction that Qt does not take for a link.
    const QString at = pathrules::reparsePointOnTheWay(base, path, lastMayBeLink);
    if (!at.isEmpty()) return QStringLiteral("%1 is now a link").arg(quotedName(QDir(base).relativeFilePath(at)));
    return QString();
}

bool isInsideOrSame(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

}  // namespace

bool UpdateTransaction::stopAt(const QString& entry)
{
    m_failedEntry = entry;
    return false;
}

bool UpdateTransaction::commit(const CommitPlan& plan, QString* error)
{
    m_failedEntry.clear();
    const QString backup = m_updates + QLatin1Char('/') + QLatin1String(kBackupName);
    // A download can take minutes: what was checked when the list was read is checked again.
    QString problem;
    for (const auto& f : plan.files) {
        if (problem.isEmpty()) problem = linkOnTheWay(m_base, f.first, false);
        if (problem.isEmpty()) problem = linkOnTheWay(m_base, f.second, false);
        if (problem.isEmpty() && QFileInfo(f.second).isDir()) {
            problem = QStringLiteral("a folder is now in the place of %1").arg(quotedName(relative(f.second)));
        }
    }
    for (const QString& r : plan.removals) {
        if (problem.isEmpty()) problem = linkOnTheWay(m_base, r, true);
        // A link is removed last, when nothing can be moved back any more: it must be removable.
        QString why;
        if (problem.isEmpty() && isLink(r) && !pathrules::reparsePointRemovable(r, &why)) {
            if (error) *error = QStringLiteral("the update was refused: the link %1 cannot be removed itself (%2)").arg(quotedName(relative(r)), why);
            return false;
        }
    }
    for (const QString& d : plan.folders) {
        if (problem.isEmpty()) problem = linkOnTheWay(m_base, d, false);
        if (problem.isEmpty() && present(d) && !QFileInfo(d).isDir()) {
            problem = QStringLiteral("a file is now in the place of %1").arg(quotedName(relative(d)));
        }
    }
    // The same rules as when the list was read: no target or removal reaches the updater's own
    // folders under any spelling (only its new copy lies in the working folder), and a file on
    // the way must be one the release removes.
    const pathpolicy::UpdaterFiles updaterFiles(m_base, QString());
    auto refuseOwn = [&](const QString& path, const QString& why) {
        if (problem.isEmpty() && !why.isEmpty()) problem = QStringLiteral("%1: %2").arg(quotedName(relative(path)), why);
    };
    for (const auto& f : plan.files) {
        if (QFileInfo(f.second).path() != m_updates) refuseOwn(f.second, updaterFiles.placeProblem(f.second));
    }
    for (const QString& d : plan.folders) refuseOwn(d, updaterFiles.placeProblem(d));
    for (const QString& r : plan.removals) refuseOwn(r, updaterFiles.removalProblem(r));
    const pathpolicy::Removals removals(m_base, plan.removals);
    QStringList targets = plan.folders;
    for (const auto& f : plan.files) targets.append(f.second);
    for (const QString& t : targets) {
        const QString file = problem.isEmpty() ? pathpolicy::fileInTheWay(m_base, t, removals) : QString();
        if (!file.isEmpty()) problem = QStringLiteral("the file %1 now stands on the way to %2").arg(quotedName(relative(file)), quotedName(relative(t)));
    }
    if (problem.isEmpty()) problem = linkOnTheWay(m_base, backup + QStringLiteral("/x"), false);
    if (!problem.isEmpty()) {
        if (error) *error = QStringLiteral("the update was refused, the folder changed while it downloaded: ") + problem;
        return false;
    }

    // Where this commit keeps the old files: the backup folder, or a fresh one inside it when an
    // earlier backup could not be removed whole (under Wine, a host link inside it).
    QString stash = backup;
    for (int n = 1; present(stash); ++n) stash = backup + QStringLiteral("/%1").arg(n);

    UpdateJournal journal;
    journal.version = plan.version;
    QStringList presentRemovals;
    QStringList removalBackups;
    for (int i = 0; i < plan.files.size(); ++i) {
        const QString& target = plan.files.at(i).second;
        if (present(target)) journal.stashes.append({relative(target), relative(stash + QStringLiteral("/f%1").arg(i))});
        journal.places.append({relative(plan.files.at(i).first), relative(target)});
    }
    for (int i = 0; i < plan.removals.size(); ++i) {
        if (!present(plan.removals.at(i))) continue;
        // A removal inside another removed folder goes with that folder.
        if (removals.holding(QFileInfo(plan.removals.at(i)).path()).index >= 0) continue;
        if (isLink(plan.removals.at(i))) {  // removed itself at the end, never moved
            journal.unlinks.append(relative(plan.removals.at(i)));
            continue;
        }
        const QString to = stash + QStringLiteral("/r%1").arg(i);
        journal.stashes.append({relative(plan.removals.at(i)), relative(to)});
        presentRemovals.append(plan.removals.at(i));
        removalBackups.append(to);
    }
    // A kept file inside a removed folder goes into the backup with it and comes back out.
    // Removed folders count also when the list spells them otherwise (letter case on Windows).
    const pathpolicy::Removals moved(m_base, presentRemovals);
    QStringList keptTargets;
    for (const QString& k : plan.kept) {
        const pathpolicy::Removals::Hold hold = moved.holding(k);
        if (!present(k) || hold.index < 0 || pathpolicy::sameName(hold.at, k)) continue;
        const QString from = removalBackups.at(hold.index) + k.mid(hold.at.size());
        journal.places.append({relative(from), relative(k)});
        keptTargets.append(k);
    }
    // The folders the commit makes: missing ones, and those that a removal takes away first.
    QStringList wanted = plan.folders;
    for (const auto& f : plan.files) wanted.append(QFileInfo(f.second).path());
    for (const QString& k : keptTargets) wanted.append(QFileInfo(k).path());
    QStringList folders;
    for (const QString& w : wanted) {
        for (QString f = w; f.size() > m_base.size() && isInsideOrSame(f, m_base); f = QFileInfo(f).path()) {
            if (!folders.contains(f)) folders.append(f);
        }
    }
    std::sort(folders.begin(), folders.end(), [](const QString& a, const QString& b) { return a.count(QLatin1Char('/')) < b.count(QLatin1Char('/')); });
    for (const QString& f : folders) {
        const int holder = moved.holding(f).index;
        const QString guard = holder >= 0 ? relative(removalBackups.at(holder)) : QString();
        if (present(f) && guard.isEmpty()) continue;
        journal.folders.append(relative(f));
        journal.folderGuards.append(guard);
    }

    testPause("commit");
    if (!QDir().mkpath(stash)) {
        if (error) *error = QStringLiteral("cannot create %1").arg(stash);
        return false;
    }
    if (!writeUpdateJournal(m_updates + QLatin1Char('/') + QLatin1String(kJournalName), journal, error)) {
        removeTree(stash);
        return false;
    }
    testPause("commit");
    QString why;
    if (forward(journal, &why) && finishForward(journal, &why)) return true;
    journal.state = UpdateJournal::State::Rollback;
    QString ignored;
    writeUpdateJournal(m_updates + QLatin1Char('/') + QLatin1String(kJournalName), journal, &ignored);
    QString backWhy;
    const bool undone = back(journal, &backWhy);
    if (error) {
        *error = QStringLiteral("the commit failed and was undone: ") + why;
        if (!undone) *error = QStringLiteral("the commit failed (%1), and undoing it stopped: %2; the next start tries again").arg(why, backWhy);
    }
    return false;
}

bool UpdateTransaction::forward(UpdateJournal& journal, QString* error)
{
    QHash<QString, QString> backupOf;
    QStringList touched;  // what this step renamed, whose folders are flushed after it
    for (const JournalMove& s : journal.stashes) {
        const QString target = path(s.from);
        const QString saved = path(s.to);
        if (target.isEmpty() || saved.isEmpty()) {
            *error = QStringLiteral("the journal names a path outside the updater's folder");
            return false;
        }
        backupOf.insert(target, saved);
        touched << target << saved;
        if (!present(saved) && present(target)) {
            if (!moveIntoPlace(target, saved, error)) return stopAt(s.from);
            testPause("commit");
        }
    }
    if (!flushParents(touched, error)) return false;
    touched.clear();
    for (const QString& rel : journal.folders) {
        const QString f = path(rel);
        if (f.isEmpty() || (!QFileInfo(f).isDir() && !QDir().mkdir(f))) {
            *error = QStringLiteral("cannot create the folder %1").arg(quotedName(rel));
            return stopAt(rel);
        }
        touched << f;
    }
    if (!flushParents(touched, error)) return false;
    touched.clear();
    for (const JournalMove& p : journal.places) {
        const QString staged = path(p.from);
        const QString target = path(p.to);
        if (staged.isEmpty() || target.isEmpty()) {
            *error = QStringLiteral("the journal names a path outside the updater's folder");
            return false;
        }
        if (!present(staged)) {
            if (present(target)) continue;  // placed before
            *error = QStringLiteral("the staged file for %1 is missing").arg(quotedName(p.to));
            return stopAt(p.to);
        }
        const QString saved = backupOf.value(target);
        if (!saved.isEmpty() && QFileInfo(saved).isFile()) QFile::setPermissions(staged, QFile::permissions(saved));
        touched << staged << target;
        if (!moveIntoPlace(staged, target, error)) return stopAt(p.to);
        testPause("commit");
    }
    if (!flushParents(touched, error)) return false;
    touched.clear();
    // Last, as they cannot be undone: whatever a link led to stays as it is.
    for (const QString& rel : journal.unlinks) {
        const QString link = path(rel);
        if (link.isEmpty()) {
            *error = QStringLiteral("the journal names a path outside the updater's folder");
            return false;
        }
        if (!present(link)) continue;  // removed before
        QString why;
        if (!pathrules::removeReparsePoint(link, &why)) {
            *error = QStringLiteral("cannot remove the link %1 itself: %2").arg(quotedName(rel), why);
            return stopAt(rel);
        }
        touched << link;
        testPause("commit");
    }
    return flushParents(touched, error);
}

bool UpdateTransaction::finishForward(UpdateJournal& journal, QString* error)
{
    journal.state = UpdateJournal::State::Done;
    if (!writeUpdateJournal(m_updates + QLatin1Char('/') + QLatin1String(kJournalName), journal, error)) return false;
    testPause("commit");
    // Recorded once the journal says done, so that undoing a commit never leaves the new
    // version recorded; a record that fails is written again by the next start's recovery.
    QString ignored;
    if (recordVersion(journal.version, &ignored)) cleanUp();
    return true;
}

bool UpdateTransaction::back(UpdateJournal& journal, QString* error)
{
    bool ok = true;
    QStringList touched;  // what a step moved back, whose folders are flushed after it
    QDir().mkpath(stagingFolder());  // placed files go back there
    for (int i = journal.places.size() - 1; i >= 0; --i) {
        const QString staged = path(journal.places.at(i).from);
        const QString target = path(journal.places.at(i).to);
        if (staged.isEmpty() || target.isEmpty()) continue;
        // A kept file comes from inside a removed folder's backup: while that folder has not
        // gone into the backup, the file is still where it always was.
        if (!QFileInfo(QFileInfo(staged).path()).isDir()) continue;
        touched << staged << target;
        if (!present(staged) && present(target)) {
            if (!moveIntoPlace(target, staged, error)) ok = stopAt(journal.places.at(i).to);
            else testPause("undo");
        }
    }
    if (!flushParents(touched, error)) ok = false;
    if (!ok) return false;
    touched.clear();
    for (int i = journal.folders.size() - 1; i >= 0; --i) {
        const QString f = path(journal.folders.at(i));
        const QString guard = journal.folderGuards.value(i);
        if (f.isEmpty()) continue;
        if (!guard.isEmpty() && !present(path(guard))) continue;  // the old folder is still there
        if (isEmptyFolder(f) && QDir().rmdir(f)) touched << f;
    }
    for (int i = journal.stashes.size() - 1; i >= 0; --i) {
        const QString target = path(journal.stashes.at(i).from);
        const QString saved = path(journal.stashes.at(i).to);
        if (target.isEmpty() || saved.isEmpty() || !present(saved)) continue;
        if (isEmptyFolder(target)) QDir().rmdir(target);
        touched << target << saved;
        if (!moveIntoPlace(saved, target, error)) ok = stopAt(journal.stashes.at(i).from);
        else testPause("undo");
    }
    if (!flushParents(touched, error)) ok = false;
    if (!ok) return false;
    cleanUp();
    return true;
}

UpdateTransaction::Recovery UpdateTransaction::recover(QString* detail)
{
    if (!needsRecovery()) {
        const QString backup = m_updates + QLatin1Char('/') + QLatin1String(kBackupName);
        const bool stale = present(stagingFolder()) || present(backup);
        if (present(m_updates) && !isLink(m_updates)) cleanUp();
        if (stale && detail) {
            *detail = present(stagingFolder()) || present(backup)
                          ? QStringLiteral("cannot remove all the staging files of an earlier update")
                          : QStringLiteral("removed the staging files of an update that did not reach its commit");
        }
        return Recovery::Nothing;
    }
    if (isLink(m_updates)) {
        if (detail) *detail = QStringLiteral("%1 is a link, the unfinished update is left alone").arg(m_updates);
        return Recovery::Failed;
    }
    UpdateJournal journal;
    QString why;
    if (!readUpdateJournal(m_updates + QLatin1Char('/') + QLatin1String(kJournalName), &journal, &why)) {
        if (detail) *detail = why + QStringLiteral(", the unfinished update is left alone");
        return Recovery::Failed;
    }
    if (journal.state == UpdateJournal::State::Done) {
        if (!recordVersion(journal.version, &why)) {
            if (detail) *detail = why + QStringLiteral(", the finished commit is recorded on the next start");
            return Recovery::Failed;
        }
        cleanUp();
        if (detail) *detail = QStringLiteral("finished the commit of version %1").arg(quotedName(journal.version));
        return Recovery::Forward;
    }
    bool canGoForward = journal.state == UpdateJournal::State::Commit;
    QHash<QString, QString> backupOf;
    for (const JournalMove& s : journal.stashes) backupOf.insert(s.from, s.to);
    for (const JournalMove& p : journal.places) {
        if (present(path(p.from))) continue;  // still staged
        const QString saved = backupOf.value(p.to);
        const bool placed = present(path(p.to)) && (saved.isEmpty() || present(path(saved)));
        if (!placed) canGoForward = false;  // a staged file is missing: only the way back is left
    }
    if (canGoForward) {
        if (forward(journal, &why) && finishForward(journal, &why)) {
            if (detail) *detail = QStringLiteral("completed the interrupted commit of version %1").arg(quotedName(journal.version));
            return Recovery::Forward;
        }
        journal.state = UpdateJournal::State::Rollback;
        QString ignored;
        writeUpdateJournal(m_updates + QLatin1Char('/') + QLatin1String(kJournalName), journal, &ignored);
    }
    QString backWhy;
    if (back(journal, &backWhy)) {
        if (detail) *detail = QStringLiteral("undid the interrupted commit of version %1, the old files are back").arg(quotedName(journal.version));
        return Recovery::Back;
    }
    if (detail) *detail = QStringLiteral("cannot undo the interrupted commit yet: ") + backWhy;
    return Recovery::Failed;
}

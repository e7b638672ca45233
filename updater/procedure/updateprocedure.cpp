#include "procedure/updateprocedure.h"

#include "download/filedigest.h"
#include "download/filefetch.h"
#include "list/listsignature.h"
#include "list/pathpolicy.h"
#include "list/repairgap.h"
#include "platform/path_rules.h"
#include "platform/process_close.h"
#include "platform/process_tools.h"
#include "platform/regular_file.h"
#include "procedure/closedeadline.h"
#include "download/synchttp.h"
#include "log/updatelog.h"
#include "transaction/updatetransaction.h"
#include "list/versioncompare.h"
#include "log/quotedname.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSettings>
#include <QThread>

#include <algorithm>

namespace {
// How long the procedure waits for terminated application processes to disappear.
const unsigned kTerminateWaitMs = 10000;
// How often the procedure looks whether the application has closed; the dialog is painted between.
const unsigned kClosePollMs = 50;

}

UpdateProcedure::UpdateProcedure(QObject* parent)
    : QObject(parent),
      m_baseFolder(QCoreApplication::applicationDirPath()),
      m_appExecutable(QStringLiteral("domvista.exe")),
      m_closeDeadlineMs(applicationCloseDeadlineMs())
{
}

QString UpdateProcedure::ownFileName()
{
#ifdef Q_OS_WIN
    return QCoreApplication::applicationName() + QStringLiteral(".exe");
#else
    return QCoreApplication::applicationName();
#endif
}

QString UpdateProcedure::applicationFolderPath() const
{
    return m_baseFolder + QStringLiteral("/Application");
}

QString UpdateProcedure::applicationProgramPath() const
{
    return QDir::toNativeSeparators(m_baseFolder + QLatin1Char('/') + m_appExecutable);
}

QList<FileEntry> UpdateProcedure::parseFileList(const QByteArray& body)
{
    const FileListResult result = readFileList(body, m_baseFolder, ownFileName(), listSignatureRequired());
    m_outcome.skipped += result.rejected;
    appendUpdateLog(m_baseFolder, result.notes);
    return result.downloads;
}

void UpdateProcedure::log(const QString& line)
{
    appendUpdateLog(m_baseFolder, QStringList{line});
}

unsigned long UpdateProcedure::findProcessId(const QString& name)
{
    const std::vector<procutil::ProcessId> ids = procutil::findProcessesByExeName(name.toStdString());
    return ids.empty() ? 0 : ids.front();
}

bool UpdateProcedure::closeApplication()
{
    // Only this folder's application, by the identity of its file: never another installation's.
    const std::vector<procutil::ProcessId> ids = procutil::findProcessesByImage(applicationProgramPath().toStdString());
    if (ids.empty()) return true;
    // Asked first, as a user closing it would, so that it can save the user's work.
    emit statusChanged(QCoreApplication::translate("Update", "Domvista is being closed to finish the update"));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    const procutil::CloseRequest request = procutil::askToClose(ids);
    if (request != procutil::CloseRequest::None) {
        const QDeadlineTimer deadline{qint64(m_closeDeadlineMs)};
        while (!procutil::processesGone(ids) && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, int(kClosePollMs));
            QThread::msleep(kClosePollMs);
        }
        if (procutil::processesGone(ids)) {
            log(QStringLiteral("%1 closed when asked (%2)").arg(m_appExecutable, QLatin1String(procutil::closeRequestName(request))));
            return true;
        }
        log(QStringLiteral("%1 did not close within %2 s of being asked (%3): it is ended")
                .arg(m_appExecutable).arg(m_closeDeadlineMs / 1000.0).arg(QLatin1String(procutil::closeRequestName(request))));
    } else {
        log(QStringLiteral("%1 could not be asked to close: it is ended").arg(m_appExecutable));
    }
    const bool gone = procutil::terminateProcesses(ids, kTerminateWaitMs);
    if (!gone) log(QStringLiteral("%1 is still running").arg(m_appExecutable));
    return gone;
}

FolderLock::Result UpdateProcedure::lockFolder(QString* why)
{
    if (m_folderLock.isHeld()) return FolderLock::Result::Held;
    const QString updates = m_baseFolder + QLatin1Char('/') + QLatin1String(kUpdatesFolder);
    if (!QFileInfo(applicationFolderPath()).isDir()) return FolderLock::Result::Unavailable;
    const QString link = pathrules::reparsePointOnTheWay(m_baseFolder, updates, false);
    if (!link.isEmpty()) {
        if (why) *why = QStringLiteral("%1 is a link, so the update is left alone").arg(quotedName(QDir(m_baseFolder).relativeFilePath(link)));
        return FolderLock::Result::Unavailable;
    }
    QDir().mkpath(updates);
    const QString lockFile = updates + QLatin1Char('/') + QLatin1String(kFolderLockName);
    const FolderLock::Result result = m_folderLock.acquire(lockFile, why);
    if (result != FolderLock::Result::Damaged) return result;
    // A link, folder or FIFO in the lock's place: no updater can hold a lock on it, so it goes
    // itself (never what a link leads to), and a fresh lock is taken.
    if (!pathrules::removeTreeNoFollow(lockFile)) return result;
    return m_folderLock.acquire(lockFile, why);
}

void UpdateProcedure::run()
{
    if (m_started) return;  // the procedure runs once
    m_started = true;

    QString why;
    switch (lockFolder(&why)) {
    case FolderLock::Result::Busy:
        // That updater finishes the work and starts the application itself.
        log(QStringLiteral("another updater is already updating this folder: this one changes nothing and starts nothing"));
        emit finished();
        return;
    case FolderLock::Result::OtherAccount:
    case FolderLock::Result::Damaged:
    case FolderLock::Result::Unavailable:
        if (!why.isEmpty()) log(why + QStringLiteral(": this updater changes nothing"));
        // Without the lock nothing may be recovered: an unfinished commit waits, and the
        // application is not started on what it left.
        if (UpdateTransaction(m_baseFolder).needsRecovery() || UpdateTransaction(m_baseFolder).repairPending()) {
            log(QStringLiteral("an unfinished update waits in this folder, so the application is not started until an "
                               "updater can take the folder's lock and finish it"));
            reportNotUndone();
        } else {
            startApplication();
        }
        emit finished();
        return;
    case FolderLock::Result::Held:
        break;
    }
    const bool recoveredOk = recoverUnfinishedUpdate();
    emit recovered(recoveredOk);
    if (recoveredOk) {
        const Settings settings = readSettings();
        const Check check = checkForUpdate(settings);
        if (check.updateDue) installUpdate(check.body, check.version);
        // The server offers nothing newer: what was kept for an older offer is of no use.
        else if (check.answered) PartialStore(m_baseFolder).clear();
    }
    if (m_outcome.failure == Failure::None && UpdateTransaction(m_baseFolder).repairPending()) {
        // No update ran to its end: the folder is still in doubt.
        log(QStringLiteral("no update was installed, so the folder may still hold parts of two releases: the application "
                           "is not started; the next start of the updater runs the update again"));
        reportNotUndone();
    }
    if (m_outcome.failure != Failure::NotUndone) startApplication();
    emit finished();
}

// The folder holds, or may hold, parts of two releases: said in the dialog as well as in the log.
void UpdateProcedure::reportNotUndone()
{
    m_outcome.failure = Failure::NotUndone;
    emit updateStarted();
    emit problems();
    emit updateEnded();
}

// A commit that a killed run left unfinished is finished or undone before anything else, so the
// application never starts on a mix of two releases. False when it cannot be done yet: then no
// update is tried either, and the next start tries again.
bool UpdateProcedure::recoverUnfinishedUpdate()
{
    UpdateTransaction transaction(m_baseFolder);
    if (transaction.needsRecovery()) closeApplication();  // its files are about to move
    QString detail;
    const UpdateTransaction::Recovery result = transaction.recover(&detail);
    if (!detail.isEmpty()) log(detail);
    // A commit finished here needs none of the downloads kept for it any more.
    if (result == UpdateTransaction::Recovery::Forward) PartialStore(m_baseFolder).clear();
    if (result != UpdateTransaction::Recovery::Failed) return true;
    m_outcome.failedEntry = transaction.failedEntry();
    log(QStringLiteral("the application is not started on a folder that holds parts of two releases"));
    reportNotUndone();
    return false;
}

UpdateProcedure::Settings UpdateProcedure::readSettings() const
{
    const QString path = applicationFolderPath() + QStringLiteral("/Config/config.ini");
    Settings settings;
    // Only a plain file is read: QSettings would wait for ever on a FIFO in its place.
    if (!QFileInfo(path).isFile()) return settings;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("General"));
    settings.updateUrl = ini.value(QStringLiteral("update"), QString()).toString();
    settings.installedVersion = ini.value(QStringLiteral("version"), QString()).toString();
    ini.endGroup();
    return settings;
}

// One GET. A failed, abandoned, redirected or (in a build with a key) unsigned answer counts as
// "no update": only a complete, authentic answer may lead to stopping the application.
UpdateProcedure::Check UpdateProcedure::checkForUpdate(const Settings& settings)
{
    Check check;
    SyncHttp http(QStringLiteral("GET"), QUrl(settings.updateUrl, QUrl::TolerantMode));
    QNetworkReply* reply = http.reply;
    if (!http.succeeded()) {
        if (!settings.updateUrl.isEmpty()) {
            log(QStringLiteral("update check at %1 failed: %2").arg(quotedName(settings.updateUrl), http.failure()));
        }
        return check;
    }
    if (!reply->hasRawHeader("Domvista-Version")) return check;
    const QByteArray version = reply->rawHeader("Domvista-Version");
    check.body = reply->readAll();
    if (listSignatureRequired()) {
        QString why;
        if (!verifyListSignature(version, check.body, reply->rawHeader("Domvista-Signature"), &why)) {
            log(QStringLiteral("update check refused: %1").arg(why));
            return check;
        }
    }
    check.version = QString::fromUtf8(version);
    check.answered = true;
    // An older list replayed later is no update, also when the release did not ship config.ini.
    // While a repair is pending the release runs again in full: the folder may lack parts of
    // the version recorded as applied.
    const UpdateTransaction transaction(m_baseFolder);
    check.updateDue = isNewerVersion(check.version, settings.installedVersion) &&
                      (transaction.repairPending() || isNewerVersion(check.version, transaction.appliedVersion()));
    return check;
}

// The list is checked whole before the application is stopped; a list that offers nothing
// acceptable stops nothing. Files already in place with the listed digest are not downloaded.
// The rest is staged and then committed at once, or not at all.
void UpdateProcedure::installUpdate(const QByteArray& fileList, const QString& version)
{
    // --- Step 1: the list, read and confined without changing anything ---
    const FileListResult list = readFileList(fileList, m_baseFolder, ownFileName(), listSignatureRequired());
    m_outcome.skipped += list.rejected;
    appendUpdateLog(m_baseFolder, list.notes);
    if (!offersWork(list, version)) return;
    const bool repairWasPending = UpdateTransaction(m_baseFolder).repairPending();
    if (repairWasPending && !canEndRepair(list, version)) return;

    // --- Step 2: the files in place, hashed (the dialog shows the work from here on) ---
    m_updating = true;
    emit updateStarted();
    const QList<bool> inPlace = checkFilesInPlace(list.downloads);
    UpdateTransaction transaction(m_baseFolder);
    QString why;
    if (!hasChanges(list, inPlace)) {
        // Everything is in place already: nothing to stop, only the version to remember.
        if (!transaction.recordVersion(version, &why)) log(why);
        PartialStore(m_baseFolder).clear();
        if (repairWasPending) noteRepairEnded(version);
        m_updating = false;
        emit updateEnded();
        return;
    }

    // --- Step 3: the downloads into the staging folder, the application still running ---
    const PartialStore parts(m_baseFolder);
    bool ok = stageDownloads(transaction, list.downloads, inPlace, parts, &why);

    // --- Step 4: the application ended, the whole release committed ---
    if (ok) ok = commitStaged(transaction, planOf(transaction, list, inPlace, version), &why);

    // --- Step 5: what came of it, in the log and the outcome ---
    if (ok) {
        parts.clear();
        log(QStringLiteral("installed version %1").arg(quotedName(version)));
        if (repairWasPending) noteRepairEnded(version);
    } else {
        reportFailedUpdate(transaction, version, why);
    }
    m_updating = false;
    if (!m_outcome.skipped.isEmpty() || m_outcome.failure != Failure::None) emit problems();
    emit updateEnded();
}

// Whether the read list gives this run anything to do; when not, says so in the log.
bool UpdateProcedure::offersWork(const FileListResult& list, const QString& version)
{
    // A list with nothing left to do (its removals done, say) says that the release is in
    // place already (a killed commit, or one whose last folder entries a power cut lost, got
    // that far): its version is recorded, and a pending repair ends. Entries it skips do not
    // count (they are skipped on every run: waiting for them would keep the application from
    // starting for good), unless it skips them all: such a list says nothing of the folder.
    const bool repairPending = UpdateTransaction(m_baseFolder).repairPending();
    const bool nothingToDo = list.downloads.isEmpty() && list.folders.isEmpty() && list.removals.isEmpty();
    const bool inPlaceAlready = nothingToDo && list.rejected.size() < list.entries;
    if (!list.refused && (!nothingToDo || inPlaceAlready)) return true;
    // Said so only where the folder was whole before: while a repair is pending it is not.
    log(repairPending ? QStringLiteral("version %1 offers nothing to install").arg(quotedName(version))
                      : QStringLiteral("version %1 offers nothing to install: nothing was stopped or changed").arg(quotedName(version)));
    return false;
}

// While a repair is pending, only a run that leaves every entry of the list in place ends it:
// the commit records the version, and with it the folder counts as whole. A list that skips an
// entry with nothing in its place cannot say that; it installs nothing, and says why.
bool UpdateProcedure::canEndRepair(const FileListResult& list, const QString& version)
{
    const QString gap = repairgap::skippedEntryLeftEmpty(list, m_baseFolder, ownFileName());
    if (gap.isEmpty()) return true;
    log(QStringLiteral("version %1 cannot end the pending repair: the list skips %2, and nothing is in its place, so the "
                       "folder may lack a file of the release; nothing was installed").arg(quotedName(version), quotedName(gap)));
    return false;
}

// The repair mark is gone with the version recorded (or the record failed, and it stays).
void UpdateProcedure::noteRepairEnded(const QString& version)
{
    if (UpdateTransaction(m_baseFolder).repairPending()) return;
    log(QStringLiteral("the update ran again in full: every entry of version %1 is in place, so the pending repair is done")
            .arg(quotedName(version)));
}

// Which of `downloads` are in place already: the listed digest, under one name only. A file
// with a second name (a hard link) is replaced by a file of its own, so that no other name
// keeps sharing what the release installs. Hashing can take a while: the dialog says what it
// does meanwhile, counts the files checked on the lower bar and is painted again after each
// one (like the rest of the update, it cannot be closed under it).
QList<bool> UpdateProcedure::checkFilesInPlace(const QList<FileEntry>& downloads)
{
    emit statusChanged(QCoreApplication::translate("Update", "checking the files already in place"));
    emit fileProgress(0, qMax(1, int(downloads.size())));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QList<bool> inPlace;
    for (const FileEntry& e : downloads) {
        const QString target = e.dist;
        inPlace.append(isSoleRegularFile(target) &&
                       fileMatches(target, e.sha256, e.size));
        emit fileProgress(int(inPlace.size()), qMax(1, int(downloads.size())));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    return inPlace;
}

// Whether the release differs from the folder: a removal, a file not in place, a missing folder.
bool UpdateProcedure::hasChanges(const FileListResult& list, const QList<bool>& inPlace)
{
    if (!list.removals.isEmpty() || inPlace.contains(false)) return true;
    for (const QString& folder : list.folders) {
        if (!QFileInfo(folder).isDir()) return true;
    }
    return false;
}

// The files not in place, downloaded and checked into the staging folder while the application
// keeps running (and the user working). What earlier runs received of this release's files
// stays for them; the rest of the kept parts goes.
bool UpdateProcedure::stageDownloads(UpdateTransaction& transaction, const QList<FileEntry>& downloads,
                                     const QList<bool>& inPlace, const PartialStore& parts, QString* why)
{
    QStringList staged;
    for (int i = 0; i < downloads.size(); ++i) staged.append(transaction.stagedPath(i));
    QSet<QString> wanted;
    for (int i = 0; i < downloads.size(); ++i) {
        if (!inPlace.at(i)) wanted.insert(partKey(downloads.at(i).sha256, downloads.at(i).url));
    }
    parts.keepOnly(wanted);
    return transaction.begin(why) && downloadFiles(downloads, inPlace, staged, parts, why);
}

// What the commit does: the staged files to their targets, the removals, the folders, and the
// files in place that the release keeps.
CommitPlan UpdateProcedure::planOf(const UpdateTransaction& transaction, const FileListResult& list,
                                   const QList<bool>& inPlace, const QString& version)
{
    CommitPlan plan;
    plan.version = version;
    for (int i = 0; i < list.downloads.size(); ++i) {
        const QString target = list.downloads.at(i).dist;
        if (inPlace.at(i)) plan.kept.append(target);
        else plan.files.append(qMakePair(transaction.stagedPath(i), target));
    }
    plan.removals = list.removals;
    plan.folders = list.folders;
    return plan;
}

// The application is ended only now, right before the commit, when nothing can fail any more
// but the commit.
bool UpdateProcedure::commitStaged(UpdateTransaction& transaction, const CommitPlan& plan, QString* why)
{
    // Neither closing the application nor the commit has steps worth counting: the lower bar
    // shows that work goes on.
    emit fileProgress(0, 0);
    closeApplication();
    emit statusChanged(QCoreApplication::translate("Update", "installing the update"));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return transaction.commit(plan, why);
}

// A download or the commit failed: the outcome says whether the folder holds the old release,
// or may hold parts of two, and the log says why.
void UpdateProcedure::reportFailedUpdate(UpdateTransaction& transaction, const QString& version, const QString& why)
{
    if (transaction.needsRecovery()) {
        // Undoing stopped halfway: the folder holds parts of both releases until a start puts
        // the old files back, so the application is not started on it.
        m_outcome.failure = Failure::NotUndone;
        m_outcome.failedEntry = transaction.failedEntry();
        log(QStringLiteral("the update to version %1 failed, and undoing it stopped: the folder holds parts of both "
                           "releases and the application is not started; the next start of the updater puts the old "
                           "files back: %2").arg(quotedName(version), why));
    } else if (transaction.repairPending()) {
        // What this update left is undone, but the folder was in doubt before it already.
        m_outcome.failure = Failure::NotUndone;
        if (m_outcome.failedEntry.isEmpty()) m_outcome.failedEntry = transaction.failedEntry();
        transaction.discard();
        log(QStringLiteral("the update to version %1 failed, and the folder may still hold parts of two releases: the "
                           "application is not started; the next start of the updater runs the update again: %2").arg(quotedName(version), why));
    } else {
        m_outcome.failure = Failure::NothingChanged;
        if (m_outcome.failedEntry.isEmpty()) m_outcome.failedEntry = transaction.failedEntry();  // the commit, not a download, failed
        transaction.discard();
        log(QStringLiteral("the update to version %1 failed, nothing was changed: %2").arg(quotedName(version), why));
    }
}

// One file after the other into the staging folder; the first failure ends the downloads.
bool UpdateProcedure::downloadFiles(const QList<FileEntry>& entries, const QList<bool>& inPlace,
                                    const QStringList& stagedPaths, const PartialStore& parts, QString* failure)
{
    const int n = entries.size();
    for (int i = 0; i < n; ++i) {
        const FileEntry& entry = entries.at(i);
        const QString name = entry.name;
        // The total bar counts the files done, so it reads full only once the last one is.
        auto showCount = [&](int done) {
            emit countChanged(done, n, i + 1);
        };
        if (inPlace.at(i)) {
            // Already the listed file: counted as done, not requested.
            emit statusChanged(QFileInfo(name).fileName());
            showCount(i + 1);
            emit fileProgress(1, 1);
            continue;
        }
        emit statusChanged(QFileInfo(name).fileName());
        showCount(i);
        const FetchResult fetched = fetchFile(entry, stagedPaths.at(i),
                                              [this](int done, int total) { emit fileProgress(done, total); }, &parts);
        if (!fetched.opened) emit statusChanged(QCoreApplication::translate("Downloader", "open file error!"));
        appendUpdateLog(m_baseFolder, fetched.notes);
        if (!fetched.staged) {
            m_outcome.failure = Failure::NothingChanged;
            m_outcome.failedEntry = name;
            *failure = QStringLiteral("download of %1 from %2 failed: %3")
                           .arg(quotedName(name), quotedName(entry.url), fetched.failure);
            return false;
        }
        showCount(i + 1);
    }
    return true;
}

void UpdateProcedure::startApplication()
{
    const QString program = applicationProgramPath();
    const bool started = m_starter ? m_starter(program) : procutil::startDetached(program.toStdString());
    if (!started) {
        log(QStringLiteral("cannot start %1").arg(applicationProgramPath()));
    }
}

// The update procedure, without a window: it says what it does by signals, and a dialog (or a
// test) observes it.
#pragma once

#include "download/partialstore.h"
#include "list/filelist.h"
#include "list/updaterfolders.h"
#include "platform/folder_lock.h"
#include "transaction/updatetransaction.h"

#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// The file in kUpdatesFolder whose lock the updater of a folder holds from before its recovery
// to its end: a second updater on the same folder, whoever started it, leaves the folder alone.
const char kFolderLockName[] = "updater.lock";

// Shortly after start-up: first finishes (or undoes) a commit that a killed run left unfinished;
// then reads [General] update/version from Application/Config/config.ini below the updater's
// folder, asks the update server (one GET) for its version in the "Domvista-Version" header,
// and when that is newer than the installed version and the last applied one (the applied one
// not asked while a repair is pending: then the release runs again in full), and in a build
// with a public key the response is signed, checks the XML file list of the response, downloads
// what is not already in place (its digest, under that one name) into a staging folder while
// the desktop application keeps running, then ends this folder's application and commits the
// whole release at once (UpdateTransaction), or nothing of it. While a repair is pending, a list
// that skips an entry with nothing in its place installs nothing, and only a run that leaves
// every entry in place ends the repair. Then starts the application again by its full path,
// unless the folder may hold parts of two releases (an undo that stopped, or a pending repair).
// What it skips or cannot do goes to desktop-updater.log in the updater's folder as it happens.
class UpdateProcedure : public QObject
{
    Q_OBJECT
public:
    // How an update failed: not at all, with nothing changed, or with an undo that stopped
    // halfway (the folder holds parts of both releases).
    enum class Failure { None, NothingChanged, NotUndone };
    struct Outcome {
        QStringList skipped;     // entries that were not updated
        Failure failure = Failure::None;
        QString failedEntry;     // the file at which the update failed, or ""
    };

    explicit UpdateProcedure(QObject* parent = nullptr);

    QList<FileEntry> parseFileList(const QByteArray& body);
    // Takes this folder's updater lock (see kFolderLockName), creating kUpdatesFolder when the
    // application's folder is there. Busy while another updater works on the folder. Nothing
    // is logged here; `why` says why the lock is unavailable, empty when there is no
    // application folder at all.
    FolderLock::Result lockFolder(QString* why);
    // Id of the first running process whose executable name is `name`, or 0.
    unsigned long findProcessId(const QString& name);
    // Closes every running process of this folder's desktop application (its file, compared by
    // identity, never a program of that name elsewhere): asks them to close, as a user would,
    // and waits up to the close deadline while the dialog says why; ends what is still running
    // then (or what could not be asked), and waits (bounded) until they are gone. False when
    // one of them still runs.
    bool closeApplication();
    // How long closeApplication waits for the application after asking it (applicationCloseDeadlineMs).
    void setCloseDeadlineMs(unsigned ms) { m_closeDeadlineMs = ms; }
    QString applicationFolderPath() const;
    // The full path by which the desktop application is started: never a bare name, which
    // Windows would look for in the current directory and on PATH first.
    QString applicationProgramPath() const;
    QString baseFolder() const { return m_baseFolder; }
    void setBaseFolder(const QString& folder) { m_baseFolder = folder; }
    void setApplicationExecutable(const QString& name) { m_appExecutable = name; }
    // The updater's own file name as it appears in a file list: the application name plus the
    // platform's executable suffix.
    static QString ownFileName();

    // How the application is started: by default a detached process of `program` (its full
    // path); true when it started. Tests look at the folder instead of starting a program.
    typedef std::function<bool(const QString& program)> Starter;
    void setApplicationStarter(const Starter& starter) { m_starter = starter; }

    // True from updateStarted() to updateEnded(): while the files in place are hashed, the
    // downloads run, the application is ended and the release is committed (the dialog cannot be
    // closed meanwhile).
    bool isUpdating() const { return m_updating; }
    const Outcome& outcome() const { return m_outcome; }

public slots:
    // The whole procedure, once; finished() at its end.
    void run();

signals:
    // A commit that an earlier run left unfinished has been finished or undone, or there was
    // none (`ok`), or it could not be done yet.
    void recovered(bool ok);
    // There is an update to install: from here on the work is shown.
    void updateStarted();
    // What is done now: a file's name, or a step such as hashing or the commit.
    void statusChanged(const QString& text);
    // `done` of `total` files are finished; the `current`-th one is worked on.
    void countChanged(int done, int total, int current);
    // The current file's progress, or the files in place checked so far; a total of 0: work
    // without steps (the commit).
    void fileProgress(int done, int total);
    // Something was skipped or failed (see outcome()); a slot may hold the procedure here so
    // that the user sees it.
    void problems();
    // The update is over (installed, refused or failed); the application is started next.
    void updateEnded();
    // The procedure is over.
    void finished();

private:
    struct Settings {
        QString updateUrl;
        QString installedVersion;
    };
    struct Check {
        bool answered = false;   // a complete, authentic answer came (due or not)
        bool updateDue = false;
        QString version;
        QByteArray body;
    };

    bool recoverUnfinishedUpdate();
    Settings readSettings() const;
    Check checkForUpdate(const Settings& settings);
    void installUpdate(const QByteArray& fileList, const QString& version);
    // The steps of installUpdate, in their order.
    bool offersWork(const FileListResult& list, const QString& version);
    bool canEndRepair(const FileListResult& list, const QString& version);
    void noteRepairEnded(const QString& version);
    QList<bool> checkFilesInPlace(const QList<FileEntry>& downloads);
    static bool hasChanges(const FileListResult& list, const QList<bool>& inPlace);
    bool stageDownloads(UpdateTransaction& transaction, const QList<FileEntry>& downloads, const QList<bool>& inPlace,
                        const PartialStore& parts, QString* why);
    static CommitPlan planOf(const UpdateTransaction& transaction, const FileListResult& list, const QList<bool>& inPlace,
                             const QString& version);
    bool commitStaged(UpdateTransaction& transaction, const CommitPlan& plan, QString* why);
    void reportFailedUpdate(UpdateTransaction& transaction, const QString& version, const QString& why);
    bool downloadFiles(const QList<FileEntry>& entries, const QList<bool>& inPlace,
                       const QStringList& stagedPaths, const PartialStore& parts, QString* failure);
    void log(const QString& line);
    void reportNotUndone();
    void startApplication();

    FolderLock m_folderLock;
    QString m_baseFolder;
    QString m_appExecutable;
    unsigned m_closeDeadlineMs;
    Outcome m_outcome;
    Starter m_starter;
    bool m_started = false;
    bool m_updating = false;
};

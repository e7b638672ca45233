// The update dialog and the procedure it runs.
#pragma once

#include "filelist.h"
#include "platform/folder_lock.h"
#include "updatelayout.h"

#include <QDialog>
#include <QEventLoop>
#include <QList>
#include <QString>
#include <QStringList>

class QCloseEvent;

// The file in kUpdatesFolder whose lock the updater of a folder holds from before its recovery
// to its end: a second updater on the same folder, whoever started it, leaves the folder alone.
const char kFolderLockName[] = "updater.lock";

// How long the dialog stays up after the downloads when something was skipped or failed, so
// that the user sees the notice (closing the dialog ends the wait at once).
const int kNoticeHoldMs = 5000;

// Shortly after start-up: first finishes (or undoes) a commit that a killed run left unfinished;
// then reads [General] update/version from Application/Config/config.ini below the updater's
// folder, asks the update server (one GET) for its version in the "Domvista-Version" header,
// and when that is newer than both the installed and the last applied version (and, in a build
// with a public key, the response is signed) checks the XML file list of the response, downloads
// what is not already in place into a staging folder while the desktop application keeps running,
// then ends this folder's application and commits the whole release at once (UpdateTransaction),
// or nothing of it. Then starts the application
// again by its full path. Ends the process with 0. What it skips or cannot do goes to
// desktop-updater.log in the updater's folder as it happens.
class Update : public QDialog
{
    Q_OBJECT
public:
    explicit Update(QWidget* parent = nullptr);
    ~Update() override;

    QList<FileEntry> parseFileList(const QByteArray& body);
    // Takes this folder's updater lock (see kFolderLockName), creating kUpdatesFolder when the
    // application's folder is there. Busy while another updater works on the folder. Nothing
    // is logged here; `why` says why the lock is unavailable, empty when there is no
    // application folder at all.
    FolderLock::Result lockFolder(QString* why);
    // Id of the first running process whose executable name is `name`, or 0.
    unsigned long findProcessId(const QString& name);
    // Ends every running process of this folder's desktop application (its file, compared by
    // identity, never a program of that name elsewhere) and waits (bounded) until they are gone.
    bool killApplication();
    QString applicationFolderPath() const;
    // The full path by which the desktop application is started: never a bare name, which
    // Windows would look for in the current directory and on PATH first.
    QString applicationProgramPath() const;

    // The updater's folder (the folder of the running executable).
    QString baseFolder() const { return m_baseFolder; }
    // The updater's own file name as it appears in a file list: the application name plus the
    // platform's executable suffix.
    static QString ownFileName();
    // True while the procedure stops the application and replaces files.
    bool isUpdating() const { return m_updating; }

    // Tests run the procedure on a folder of their own, against an executable name of their
    // own, several times in one process, and without the notice's wait.
    void setBaseFolderForTesting(const QString& folder) { m_baseFolder = folder; }
    void setApplicationExecutableForTesting(const QString& name) { m_appExecutable = name; }
    void setExitWhenDoneForTesting(bool exit) { m_exitWhenDone = exit; }
    void setNoticeHoldMsForTesting(int ms) { m_noticeHoldMs = ms; }

public slots:
    void slotFinished();
    void startUpdate();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Settings {
        QString updateUrl;
        QString installedVersion;
    };
    struct Check {
        bool updateDue = false;
        QString version;
        QByteArray body;
    };

    bool recoverUnfinishedUpdate();
    Settings readSettings() const;
    Check checkForUpdate(const Settings& settings);
    void installUpdate(const QByteArray& fileList, const QString& version);
    bool downloadFiles(const QList<FileEntry>& entries, const QList<bool>& inPlace,
                       const QStringList& stagedPaths, QString* failure);
    void log(const QString& line);
    void showProblems();
    void reportNotUndone();
    void startApplication();
    void finish();

    FolderLock m_folderLock;
    QEventLoop m_loop;
    QString m_baseFolder;
    QString m_appExecutable;
    QStringList m_skipped;   // entries that were not updated, for the dialog's notice
    // How the update failed, for the notice: not at all, with nothing changed, or with an undo
    // that stopped halfway (the folder holds parts of both releases).
    enum class Failure { None, NothingChanged, NotUndone };
    Failure m_failure = Failure::None;
    QString m_failed;        // the file at which the update failed, for the notice, or ""
    int m_noticeHoldMs = kNoticeHoldMs;
    bool m_started = false;
    bool m_updating = false;
    bool m_holding = false;
    bool m_exitWhenDone = true;
};

// The update dialog and the procedure it runs.
#pragma once

#include "filelist.h"
#include "updatelayout.h"

#include <QDialog>
#include <QEventLoop>
#include <QList>
#include <QString>

class QCloseEvent;

// Shortly after start-up: reads [General] update/version from Application/Config/config.ini
// below the updater's folder, asks the update server (one GET) for its version in the
// "Domvista-Version" header, and when that is newer stops the desktop application, applies the
// XML file list of the response, and starts the application again. Ends the process with 0.
class Update : public QDialog, public Ui::UiUpdateDialog
{
    Q_OBJECT
public:
    explicit Update(QWidget* parent = nullptr);
    ~Update() override;

    QList<FileEntry> parseFileList(const QByteArray& body);
    // Id of the first running process whose executable name is `name`, or 0.
    unsigned long findProcessId(const QString& name);
    // Ends every running desktop application process and waits (bounded) until they are gone.
    bool killApplication();
    QString applicationFolderPath() const;

    // The updater's folder (default: the folder of the running executable).
    QString baseFolder() const { return m_baseFolder; }
    void setBaseFolder(const QString& folder) { m_baseFolder = folder; }
    // The desktop application's executable name (default "domvista.exe").
    void setApplicationExecutable(const QString& name) { m_appExecutable = name; }
    // The updater's own file name as it appears in a file list: the application name plus the
    // platform's executable suffix.
    static QString ownFileName();
    // Whether the procedure ends the event loop (and with it the process) when it is done;
    // tests that run several procedures in one process switch it off.
    void setExitWhenDone(bool exit) { m_exitWhenDone = exit; }
    // True while the procedure stops the application and replaces files.
    bool isUpdating() const { return m_updating; }

public slots:
    void slotFinished();
    void startUpdate();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void startApplication();

    QEventLoop m_loop;
    QString m_baseFolder;
    QString m_appExecutable;
    bool m_started = false;
    bool m_updating = false;
    bool m_exitWhenDone = true;
};

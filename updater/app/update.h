// The update dialog: it shows what the update procedure (UpdateProcedure) does.
#pragma once

#include "procedure/updateprocedure.h"

#include <QDialog>
#include <QEventLoop>

class QCloseEvent;
namespace Ui { class UiUpdateDialog; }

// How long the dialog stays up after the downloads when something was skipped or failed, so
// that the user sees the notice (closing the dialog ends the wait at once).
const int kNoticeHoldMs = 5000;

// Runs the procedure shortly after it is made and observes it: shows itself once there is an
// update to install, the file names and steps, both bars, the notice of what was skipped or
// failed, and closes when the update is over. Ends the process with 0 when the procedure is done.
class Update : public QDialog
{
    Q_OBJECT
public:
    explicit Update(QWidget* parent = nullptr);
    ~Update() override;

    // The dialog's widgets, by their object names in the form (the tests and the screenshot
    // read them).
    Ui::UiUpdateDialog* ui() const { return m_ui; }

    // The procedure's folder lock, for the application object (see UpdateProcedure::lockFolder).
    FolderLock::Result lockFolder(QString* why) { return m_procedure->lockFolder(why); }
    // The procedure's answers that the tests check through the dialog they run.
    unsigned long findProcessId(const QString& name) { return m_procedure->findProcessId(name); }
    bool closeApplication() { return m_procedure->closeApplication(); }
    QString applicationProgramPath() const { return m_procedure->applicationProgramPath(); }
    static QString ownFileName() { return UpdateProcedure::ownFileName(); }

    // The procedure itself, for tests that watch its signals or set its application starter.
    UpdateProcedure* procedure() const { return m_procedure; }
    // Tests run the procedure on a folder of their own, against an executable name of their
    // own, several times in one process, and without the notice's wait.
    void setBaseFolderForTesting(const QString& folder) { m_procedure->setBaseFolder(folder); }
    void setApplicationExecutableForTesting(const QString& name) { m_procedure->setApplicationExecutable(name); }
    void setCloseDeadlineMsForTesting(unsigned ms) { m_procedure->setCloseDeadlineMs(ms); }
    void setExitWhenDoneForTesting(bool exit) { m_exitWhenDone = exit; }
    void setNoticeHoldMsForTesting(int ms) { m_noticeHoldMs = ms; }

public slots:
    void startUpdate();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showCount(int done, int total, int current);
    void showFileProgress(int done, int total);
    void showProblems();
    void finish();

    Ui::UiUpdateDialog* m_ui;
    UpdateProcedure* m_procedure;
    QEventLoop m_holdLoop;
    int m_noticeHoldMs = kNoticeHoldMs;
    bool m_holding = false;
    bool m_exitWhenDone = true;
};

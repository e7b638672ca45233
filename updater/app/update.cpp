#include "app/update.h"

#include "ui_uiupdatedialog.h"
#include "log/updatelog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

Update::Update(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags()),
      m_ui(new Ui::UiUpdateDialog),
      m_procedure(new UpdateProcedure(this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    m_ui->setupUi(this);
    // Names in the list are chosen by the server: never read them as rich text.
    m_ui->label_3->setTextFormat(Qt::PlainText);
    // Hashing the files in place can take a while: the dialog is shown from then on and, like
    // the rest of the update, cannot be closed under it. Each step is painted before it runs.
    connect(m_procedure, &UpdateProcedure::updateStarted, this, [this] { show(); });
    connect(m_procedure, &UpdateProcedure::statusChanged, this, [this](const QString& text) { m_ui->label_3->setText(text); });
    connect(m_procedure, &UpdateProcedure::countChanged, this, &Update::showCount);
    connect(m_procedure, &UpdateProcedure::fileProgress, this, &Update::showFileProgress);
    connect(m_procedure, &UpdateProcedure::problems, this, &Update::showProblems);
    connect(m_procedure, &UpdateProcedure::updateEnded, this, [this] { close(); });
    connect(m_procedure, &UpdateProcedure::finished, this, &Update::finish);
    QTimer::singleShot(300, this, SLOT(startUpdate()));
}

Update::~Update()
{
    delete m_ui;
}

void Update::startUpdate()
{
    m_procedure->run();
}

// The total bar counts the files done, so it reads full only once the last one is.
void Update::showCount(int done, int total, int current)
{
    m_ui->totalProgressBar->setMaximum(total);
    m_ui->totalProgressBar->setValue(done);
    m_ui->label_4->setText(
        QCoreApplication::translate("Update", "there are  %1 files, current  is the %2th file").arg(total).arg(current));
}

// A total of 0 is work without steps (the commit): the bar shows it as busy.
void Update::showFileProgress(int done, int total)
{
    if (total == 0) {
        m_ui->curProgressBar->setRange(0, 0);
        return;
    }
    m_ui->curProgressBar->setMaximum(total);
    m_ui->curProgressBar->setValue(done);
}

// What was skipped or failed stays on screen for a moment after the downloads (the file name
// line would otherwise be overwritten before it is painted) and goes to desktop-updater.log.
void Update::showProblems()
{
    const UpdateProcedure::Outcome& outcome = m_procedure->outcome();
    // The labels keep their size: a long line is cut with "..." and shown whole as a tool tip.
    auto show = [](QLabel* label, const QString& text) {
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
        label->setToolTip(text);
    };
    const QString logName = QLatin1String(kUpdateLogName);
    if (outcome.failure != UpdateProcedure::Failure::None) {
        // The name of the file at which it failed, where there is one.
        show(m_ui->label_3, outcome.failedEntry.isEmpty()
            ? QString() : QCoreApplication::translate("Update", "failed: %1").arg(outcome.failedEntry));
        show(m_ui->label_4, outcome.failure == UpdateProcedure::Failure::NotUndone
            ? QCoreApplication::translate("Update", "update failed and could not be undone yet, start the updater again; see %1").arg(logName)
            : QCoreApplication::translate("Update", "update failed, nothing was changed, see %1").arg(logName));
    } else {
        show(m_ui->label_3, QCoreApplication::translate("Update", "skipped: %1").arg(outcome.skipped.join(QStringLiteral(", "))));
        show(m_ui->label_4, QCoreApplication::translate("Update", "%1 skipped, see %2").arg(outcome.skipped.size()).arg(logName));
    }
    if (m_noticeHoldMs <= 0) return;
    m_holding = true;
    QTimer::singleShot(m_noticeHoldMs, &m_holdLoop, SLOT(quit()));
    m_holdLoop.exec();
    m_holding = false;
}

void Update::finish()
{
    if (m_exitWhenDone) QCoreApplication::exit(0);
}

void Update::reject()
{
    if (m_holding) {
        m_holdLoop.exit(0);  // the user has seen the notice: go on
        return;
    }
    if (m_procedure->isUpdating()) return;  // Escape while files are replaced: keep going
    QDialog::reject();
}

void Update::closeEvent(QCloseEvent* event)
{
    if (m_procedure->isUpdating() || m_holding) {
        if (m_holding) m_holdLoop.exit(0);
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

#include "update.h"

#include "downloader.h"
#include "platform/process_tools.h"
#include "synchttp.h"
#include "versioncompare.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QNetworkReply>
#include <QProcess>
#include <QSettings>
#include <QTimer>

namespace {
// How long the procedure waits for terminated application processes to disappear.
const unsigned kTerminateWaitMs = 10000;
}

Update::Update(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags()),
      m_baseFolder(QCoreApplication::applicationDirPath()),
      m_appExecutable(QStringLiteral("domvista.exe"))
{
    setAttribute(Qt::WA_DeleteOnClose);
    if (!g_updateLayout) g_updateLayout = new Ui::UiUpdateDialog;
    g_updateLayout->setupUi(this);
    QTimer::singleShot(300, this, SLOT(startUpdate()));
}

Update::~Update()
{
    delete g_updateLayout;
    g_updateLayout = nullptr;
}

QString Update::ownFileName()
{
#ifdef Q_OS_WIN
    return QCoreApplication::applicationName() + QStringLiteral(".exe");
#else
    return QCoreApplication::applicationName();
#endif
}

QString Update::applicationFolderPath() const
{
    return m_baseFolder + QStringLiteral("/Application");
}

QList<FileEntry> Update::parseFileList(const QByteArray& body)
{
    const FileListResult result = readFileList(body, m_baseFolder, ownFileName());
    if (!result.rejected.isEmpty() && g_updateLayout) {
        g_updateLayout->label_3->setText(QStringLiteral("skipped: ") + result.rejected.join(QStringLiteral(", ")));
    }
    return result.downloads;
}

unsigned long Update::findProcessId(const QString& name)
{
    const std::vector<procutil::ProcessId> ids = procutil::findProcessesByExeName(name.toStdString());
    return ids.empty() ? 0 : ids.front();
}

bool Update::killApplication()
{
    const std::vector<procutil::ProcessId> ids = procutil::findProcessesByExeName(m_appExecutable.toStdString());
    if (ids.empty()) return true;
    const bool gone = procutil::terminateProcesses(ids, kTerminateWaitMs);
    if (!gone) qWarning("desktop-updater: %s is still running", qUtf8Printable(m_appExecutable));
    return gone;
}

void Update::startApplication()
{
#ifdef Q_OS_WIN
    // Windows finds the program by its search order, which begins with the updater's folder.
    QProcess::startDetached(m_appExecutable, QStringList());
#else
    QProcess::startDetached(m_baseFolder + QLatin1Char('/') + m_appExecutable, QStringList());
#endif
}

void Update::startUpdate()
{
    if (m_started) return;  // the procedure runs once
    m_started = true;

    QSettings settings(applicationFolderPath() + QStringLiteral("/Config/config.ini"), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("General"));
    const QString updateUrl = settings.value(QStringLiteral("update"), QString()).toString();
    const QString installed = settings.value(QStringLiteral("version"), QString()).toString();
    settings.endGroup();

    SyncHttp http(QStringLiteral("GET"), QUrl(updateUrl, QUrl::TolerantMode));
    QNetworkReply* reply = http.reply;
    // A failed, abandoned or refused check counts as "no update": only a complete answer may
    // lead to stopping the application.
    if (http.succeeded() && reply->hasRawHeader("Domvista-Version")) {
        const QString offered = QString::fromUtf8(reply->rawHeader("Domvista-Version"));
        if (isNewerVersion(offered, installed)) {
            m_updating = true;
            show();
            killApplication();
            const QList<FileEntry> entries = parseFileList(reply->readAll());
            const int n = entries.size();
            for (int i = 0; i < n; ++i) {
                const FileEntry& entry = entries.at(i);
                bool sizeOk = true;
                qint64 size = -1;
                if (entry.contains(QStringLiteral("size"))) {
                    size = entry.value(QStringLiteral("size")).trimmed().toLongLong(&sizeOk);
                    if (!sizeOk || size < 0) size = -2;  // unreadable: can never match
                }
                Downloader* downloader = new Downloader(
                    QUrl(entry.value(QStringLiteral("url")), QUrl::TolerantMode),
                    entry.value(QStringLiteral("dist")), true,
                    entry.contains(QStringLiteral("sha256")) ? entry.value(QStringLiteral("sha256")) : QString(),
                    size);
                connect(downloader, SIGNAL(downloadFinished()), this, SLOT(slotFinished()));
                g_updateLayout->totalProgressBar->setValue(i + 1);
                g_updateLayout->totalProgressBar->setMaximum(n);
                g_updateLayout->label_4->setText(
                    QCoreApplication::translate("Update", "there are  %1 files, current  is the %2th file")
                        .arg(n).arg(i + 1));
                m_loop.exec();
                delete downloader;
            }
            m_updating = false;
            close();
        }
    }
    startApplication();
    if (m_exitWhenDone) QCoreApplication::exit(0);
}

void Update::slotFinished()
{
    m_loop.exit(0);
}

void Update::reject()
{
    if (m_updating) return;  // Escape while files are replaced: keep going
    QDialog::reject();
}

void Update::closeEvent(QCloseEvent* event)
{
    if (m_updating) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

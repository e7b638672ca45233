#include "update.h"

#include "downloader.h"
#include "listsignature.h"
#include "platform/process_tools.h"
#include "synchttp.h"
#include "updatelog.h"
#include "versioncompare.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QNetworkReply>
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
    // Names in the list are chosen by the server: never read them as rich text.
    g_updateLayout->label_3->setTextFormat(Qt::PlainText);
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

QString Update::applicationProgramPath() const
{
    return QDir::toNativeSeparators(m_baseFolder + QLatin1Char('/') + m_appExecutable);
}

QList<FileEntry> Update::parseFileList(const QByteArray& body)
{
    const FileListResult result = readFileList(body, m_baseFolder, ownFileName());
    m_skipped += result.rejected;
    m_logLines += result.notes;
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
    if (!gone) m_logLines << QStringLiteral("%1 is still running").arg(m_appExecutable);
    return gone;
}

void Update::startUpdate()
{
    if (m_started) return;  // the procedure runs once
    m_started = true;

    const Settings settings = readSettings();
    const Check check = checkForUpdate(settings);
    if (check.updateDue) installUpdate(check.body);
    startApplication();
    finish();
}

Update::Settings Update::readSettings() const
{
    QSettings ini(applicationFolderPath() + QStringLiteral("/Config/config.ini"), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("General"));
    Settings settings;
    settings.updateUrl = ini.value(QStringLiteral("update"), QString()).toString();
    settings.installedVersion = ini.value(QStringLiteral("version"), QString()).toString();
    ini.endGroup();
    return settings;
}

// One GET. A failed, abandoned, redirected or (in a build with a key) unsigned answer counts as
// "no update": only a complete, authentic answer may lead to stopping the application.
Update::Check Update::checkForUpdate(const Settings& settings)
{
    Check check;
    SyncHttp http(QStringLiteral("GET"), QUrl(settings.updateUrl, QUrl::TolerantMode));
    QNetworkReply* reply = http.reply;
    if (!http.succeeded()) {
        if (!settings.updateUrl.isEmpty()) {
            m_logLines << QStringLiteral("update check at %1 failed: %2").arg(settings.updateUrl, http.failure());
        }
        return check;
    }
    if (!reply->hasRawHeader("Domvista-Version")) return check;
    const QByteArray version = reply->rawHeader("Domvista-Version");
    check.body = reply->readAll();
    if (listSignatureRequired()) {
        QString why;
        if (!verifyListSignature(version, check.body, reply->rawHeader("Domvista-Signature"), &why)) {
            m_logLines << QStringLiteral("update check refused: %1").arg(why);
            return check;
        }
    }
    check.updateDue = isNewerVersion(QString::fromUtf8(version), settings.installedVersion);
    return check;
}

void Update::installUpdate(const QByteArray& fileList)
{
    m_updating = true;
    show();
    killApplication();
    downloadFiles(parseFileList(fileList));
    m_updating = false;
    showProblems();
    close();
}

void Update::downloadFiles(const QList<FileEntry>& entries)
{
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
        if (!downloader->committed()) {
            const QString dist = QDir(m_baseFolder).relativeFilePath(entry.value(QStringLiteral("dist")));
            m_skipped << dist;
            m_logLines << QStringLiteral("download of \"%1\" from %2 failed, the old file is kept: %3")
                              .arg(dist, entry.value(QStringLiteral("url")), downloader->failure());
        }
        delete downloader;
    }
}

// What was skipped or failed stays on screen for a moment after the downloads (the file name
// line would otherwise be overwritten before it is painted) and goes to desktop-updater.log.
void Update::showProblems()
{
    appendUpdateLog(m_baseFolder, m_logLines);
    m_logLines.clear();
    if (m_skipped.isEmpty()) return;
    // The labels keep their size: a long line is cut with "..." and shown whole as a tool tip.
    auto show = [](QLabel* label, const QString& text) {
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
        label->setToolTip(text);
    };
    show(g_updateLayout->label_3, QStringLiteral("skipped: ") + m_skipped.join(QStringLiteral(", ")));
    show(g_updateLayout->label_4, QStringLiteral("%1 skipped, see %2").arg(m_skipped.size()).arg(QLatin1String(kUpdateLogName)));
    if (m_noticeHoldMs <= 0) return;
    m_holding = true;
    QTimer::singleShot(m_noticeHoldMs, &m_loop, SLOT(quit()));
    m_loop.exec();
    m_holding = false;
}

void Update::startApplication()
{
    if (!procutil::startDetached(applicationProgramPath().toStdString())) {
        m_logLines << QStringLiteral("cannot start %1").arg(applicationProgramPath());
    }
}

void Update::finish()
{
    appendUpdateLog(m_baseFolder, m_logLines);
    m_logLines.clear();
    if (m_exitWhenDone) QCoreApplication::exit(0);
}

void Update::slotFinished()
{
    m_loop.exit(0);
}

void Update::reject()
{
    if (m_holding) {
        m_loop.exit(0);  // the user has seen the notice: go on
        return;
    }
    if (m_updating) return;  // Escape while files are replaced: keep going
    QDialog::reject();
}

void Update::closeEvent(QCloseEvent* event)
{
    if (m_updating || m_holding) {
        if (m_holding) m_loop.exit(0);
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

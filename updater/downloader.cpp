#include "downloader.h"

#include "filelist.h"
#include "platform/write_back.h"
#include "transferguard.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <climits>

namespace {
// Back-pressure: the network thread pauses while this much is waiting to be written, so a
// large file streams to disk with flat memory instead of piling up in the reply.
const qint64 kReadBufferSize = 256 * 1024;
// Every this many bytes written, the system is asked to start writing them to disk, so that the
// flush before the commit does not wait for a whole large file at once.
const qint64 kWriteBackBytes = 8 * 1024 * 1024;
}

QNetworkAccessManager* sharedDownloadManager()
{
    static QNetworkAccessManager* manager = nullptr;
    if (!manager) manager = new QNetworkAccessManager;
    return manager;
}

Downloader::Downloader(QUrl url, QString targetPath, QString expectedSha256, qint64 expectedSize)
    : QObject(nullptr),
      m_targetPath(targetPath),
      m_expectedSha256(expectedSha256.trimmed().toLower()),
      m_checkSha256(!expectedSha256.isNull()),
      m_expectedSize(expectedSize)
{
    QNetworkRequest request(url);
    prepareRequest(request);
    m_reply = sharedDownloadManager()->get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
    m_guard = new TransferGuard(m_reply, TransferGuard::deadlineMs(kDownloadDeadlineMs), this);

    m_file = new QSaveFile(m_targetPath);
    // QSaveFile would write to whatever a link points to: a link is never written through.
    m_opened = !isLink(m_targetPath) && m_file->open(QIODevice::WriteOnly);

    if (!m_opened) {
        qWarning("desktop-updater: cannot write %s: %s", qUtf8Printable(m_targetPath),
                 qUtf8Printable(m_file->errorString()));
    }

    connect(m_reply, SIGNAL(finished()), this, SLOT(slotFinished()));
    connect(m_reply, SIGNAL(readyRead()), this, SLOT(slotWrite()));
    connect(m_reply, SIGNAL(downloadProgress(qint64,qint64)), this, SLOT(slotProgress(qint64,qint64)));
}

Downloader::~Downloader()
{
    delete m_file;  // an uncommitted temporary file is removed here at the latest
    if (m_reply) m_reply->deleteLater();
}

void Downloader::slotWrite()
{
    if (!m_reply->isOpen()) return;  // an aborted reply has nothing left to read
    const QByteArray data = m_reply->readAll();
    if (data.isEmpty() || m_writeFailed) return;
    m_written += data.size();
    const qint64 limit = m_expectedSize != -1 ? m_expectedSize : kMaxDownloadBytes;
    if (m_written > limit) {
        m_guard->abortFor(m_expectedSize != -1
            ? QStringLiteral("more than the declared size of %1 bytes").arg(m_expectedSize)
            : QStringLiteral("larger than %1 bytes").arg(kMaxDownloadBytes));
        return;
    }
    if (m_checkSha256) m_hash.addData(data);
    if (m_opened && m_file->write(data) != data.size()) {
        // A full disk or a failing device: nothing more is worth receiving.
        m_writeFailed = true;
        m_guard->abortFor(QStringLiteral("cannot write the file: %1").arg(m_file->errorString()));
        return;
    }
    // A failed flush here shows again in the flush before the commit, which decides.
    if (m_opened && m_written - m_writeBackFrom >= kWriteBackBytes && m_file->flush()) {
        fileutil::startWriteBack(m_file->handle(), m_writeBackFrom, m_written - m_writeBackFrom);
        m_writeBackFrom = m_written;
    }
}

void Downloader::slotProgress(qint64 cur, qint64 total)
{
    // A bar holds 32-bit values; larger files are shown in KiB so that the bar stays true.
    if (total > INT_MAX || cur > INT_MAX) {
        total = total < 0 ? total : total / 1024;
        cur /= 1024;
    }
    emit progress(static_cast<int>(cur), static_cast<int>(total));
}

void Downloader::slotFinished()
{
    slotWrite();  // whatever is still buffered
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QString scheme = m_reply->url().scheme().toLower();
    const bool httpLike = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    bool ok = m_opened && m_reply->error() == QNetworkReply::NoError &&
              m_guard->reason() == TransferGuard::Reason::None;
    QString why = m_opened ? m_guard->describe() : (isLink(m_targetPath) ? QStringLiteral("the target is a link")
                                        : QStringLiteral("cannot open the file: ") + m_file->errorString());
    if (ok && !httpLike) {
        ok = false;
        why = QStringLiteral("only http and https are allowed");
    }
    if (ok) {
        const int code = status.toInt();
        ok = status.isValid() && code >= 200 && code <= 299;
        if (!ok) why = QStringLiteral("HTTP status %1").arg(code);
    }
    if (ok && m_expectedSize != -1 && m_written != m_expectedSize) {
        ok = false;
        why = QStringLiteral("size %1 instead of %2").arg(m_written).arg(m_expectedSize);
    }
    if (ok && m_checkSha256 && QString::fromLatin1(m_hash.result().toHex()) != m_expectedSha256) {
        ok = false;
        why = QStringLiteral("SHA-256 digest differs");
    }
    if (ok && (!m_file->flush() || m_file->error() != QFileDevice::NoError)) {
        // Small files wait in the write buffer until here; commit() would not notice a failed
        // flush and would put a short file in place of the good one.
        ok = false;
        why = QStringLiteral("cannot write the file: ") + m_file->errorString();
    }
    if (ok) {
        m_committed = m_file->commit();
        if (!m_committed) why = m_file->errorString();
    } else if (m_opened) {
        m_file->cancelWriting();
    }
    delete m_file;  // removes the temporary file unless it was committed
    m_file = nullptr;
    if (!m_committed) {
        m_failure = why;
        qWarning("desktop-updater: %s kept unchanged (%s)", qUtf8Printable(m_targetPath), qUtf8Printable(why));
    }
    emit downloadFinished();
}

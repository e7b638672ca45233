#include "download/downloader.h"

#include "list/filelist.h"
#include "platform/write_back.h"
#include "download/transferguard.h"
#include "download/zstdstream.h"

#include <QFileInfo>

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

void Downloader::decodeZstd(const QString& referencePath, const QString& frameSha256, qint64 frameSize)
{
    m_frameSha256 = frameSha256.trimmed().toLower();
    m_frameSize = frameSize;
    const qint64 expected = m_expectedSize < 0 ? 0 : m_expectedSize;
    m_frameLimit = frameSize >= 0 ? frameSize : qint64(qMin<quint64>(zstdFrameBound(quint64(expected)), quint64(kMaxDownloadBytes)));
    const uchar* reference = nullptr;
    qint64 referenceSize = 0;
    if (m_expectedSize < 0) {
        m_decodeFailure = QStringLiteral("a compressed file needs its size");
    } else if (!referencePath.isEmpty()) {
        m_reference.setFileName(referencePath);
        referenceSize = QFileInfo(referencePath).size();
        if (isLink(referencePath)) {
            m_decodeFailure = QStringLiteral("the file a delta starts from is a link");
        } else if (!m_reference.open(QIODevice::ReadOnly)) {
            m_decodeFailure = QStringLiteral("cannot read the file the delta starts from: ") + m_reference.errorString();
        } else if (referenceSize > 0 && !(reference = m_reference.map(0, referenceSize))) {
            m_decodeFailure = QStringLiteral("cannot map the file the delta starts from: ") + m_reference.errorString();
        }
    }
    m_zstd.reset(new ZstdStream(quint64(expected), reference, std::size_t(referenceSize)));
    // Nothing is worth receiving; abandoned once the event loop runs, so that downloadFinished()
    // reaches whoever connects right after this call.
    if (!m_decodeFailure.isEmpty()) {
        QMetaObject::invokeMethod(this, [this] { m_guard->abortFor(m_decodeFailure); }, Qt::QueuedConnection);
    }
}

bool Downloader::writeFileBytes(const char* data, qint64 size)
{
    m_written += size;
    const qint64 limit = m_expectedSize != -1 ? m_expectedSize : kMaxDownloadBytes;
    if (m_written > limit) {
        m_guard->abortFor(m_expectedSize != -1
            ? QStringLiteral("more than the declared size of %1 bytes").arg(m_expectedSize)
            : QStringLiteral("larger than %1 bytes").arg(kMaxDownloadBytes));
        return false;
    }
    if (m_checkSha256) m_hash.addData(data, size);
    if (m_opened && m_file->write(data, size) != size) {
        // A full disk or a failing device: nothing more is worth receiving.
        m_writeFailed = true;
        m_guard->abortFor(QStringLiteral("cannot write the file: %1").arg(m_file->errorString()));
        return false;
    }
    // A failed flush here shows again in the flush before the commit, which decides.
    if (m_opened && m_written - m_writeBackFrom >= kWriteBackBytes && m_file->flush()) {
        fileutil::startWriteBack(m_file->handle(), m_writeBackFrom, m_written - m_writeBackFrom);
        m_writeBackFrom = m_written;
    }
    return true;
}

void Downloader::slotWrite()
{
    if (!m_reply->isOpen()) return;  // an aborted reply has nothing left to read
    const QByteArray data = m_reply->readAll();
    if (data.isEmpty() || m_writeFailed || !m_decodeFailure.isEmpty()) return;
    if (!m_zstd) {
        writeFileBytes(data.constData(), data.size());
        return;
    }
    m_received += data.size();
    if (m_received > m_frameLimit) {
        m_decodeFailure = QStringLiteral("the compressed file passes %1 bytes").arg(m_frameLimit);
        m_guard->abortFor(m_decodeFailure);
        return;
    }
    // An error page is not a frame: it is not decoded, and the status says what went wrong.
    const QVariant code = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (code.isValid() && (code.toInt() < 200 || code.toInt() > 299)) return;
    if (!m_frameSha256.isNull()) m_frameHash.addData(data);
    const ZstdStream::Status status = m_zstd->feed(data.constData(), std::size_t(data.size()),
        [this](const char* p, std::size_t n) { return writeFileBytes(p, qint64(n)); });
    if (status != ZstdStream::Status::Ok && status != ZstdStream::Status::SinkFailed) {
        // A failed write has given its own reason already.
        m_decodeFailure = QString::fromLatin1(ZstdStream::describe(status));
        m_guard->abortFor(m_decodeFailure);
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
    if (m_zstd && !m_decodeFailure.isEmpty()) {
        ok = false;
        why = m_decodeFailure;
    }
    if (ok && m_zstd) {
        const ZstdStream::Status status = m_zstd->finish();
        if (status != ZstdStream::Status::Ok) {
            ok = false;
            why = QString::fromLatin1(ZstdStream::describe(status));
        } else if (m_frameSize != -1 && m_received != m_frameSize) {
            ok = false;
            why = QStringLiteral("compressed size %1 instead of %2").arg(m_received).arg(m_frameSize);
        } else if (!m_frameSha256.isNull() && QString::fromLatin1(m_frameHash.result().toHex()) != m_frameSha256) {
            ok = false;
            why = QStringLiteral("SHA-256 digest of the compressed file differs");
        }
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
    m_zstd.reset();
    m_reference.close();  // unmaps: the older file may be moved by the commit
    if (!m_committed) {
        m_failure = why;
        qWarning("desktop-updater: %s kept unchanged (%s)", qUtf8Printable(m_targetPath), qUtf8Printable(why));
    }
    emit downloadFinished();
}

#include "download/downloader.h"

#include "list/pathpolicy.h"
#include "log/quotedname.h"
#include "platform/write_back.h"
#include "download/transferguard.h"
#include "download/resumereply.h"
#include "download/zstdstream.h"
#include "platform/append_file.h"
#include "platform/regular_file.h"

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
    m_file = new QSaveFile(m_targetPath);
    m_sink = m_file;
    // QSaveFile would write to whatever a link points to: a link is never written through.
    m_opened = !pathpolicy::isAnyLink(m_targetPath) && m_file->open(QIODevice::WriteOnly);
    start(url);
}

Downloader::Downloader(QUrl url, QString targetPath, QString expectedSha256, qint64 expectedSize, const HeldPart& part)
    : QObject(nullptr),
      m_targetPath(targetPath),
      m_expectedSha256(expectedSha256.trimmed().toLower()),
      m_checkSha256(true),
      m_expectedSize(expectedSize),
      m_part(part),
      m_url(url.toString()),
      m_accepting(false)
{
    m_partFile = new QFile;
    m_sink = m_partFile;
    // Opened without following a link, and emptied unless its bytes are to be continued.
    const bool possible = part.usable && expectedSize >= 0 && !expectedSha256.isEmpty();
    int fd = possible ? fileutil::openNoFollow(part.partPath.toStdString(), part.bytes == 0) : -1;
    if (possible && fd < 0) {
        // What stands there now is no part of ours (a link, a second name of another file): it
        // goes itself, and the file starts afresh.
        dropPart(m_part);
        m_part.bytes = 0;
        fd = fileutil::openNoFollow(part.partPath.toStdString(), true);
    }
    m_opened = fd >= 0 && !pathpolicy::isAnyLink(m_targetPath) && m_partFile->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle);
    if (!m_opened) m_part.bytes = 0;
    m_sourceKnown = m_part.bytes > 0;  // bytes are held only with their validator
    start(url);
}

void Downloader::start(const QUrl& url)
{
    QNetworkRequest request(url);
    prepareRequest(request);
    if (m_partFile && m_part.bytes > 0) {
        // The rest, and only of the version whose start is held; else the server sends it all.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_part.bytes) + '-');
        request.setRawHeader("If-Range", m_part.validator);
    }
    m_reply = sharedDownloadManager()->get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
    m_guard = new TransferGuard(m_reply, TransferGuard::deadlineMs(kDownloadDeadlineMs), this);

    if (!m_opened) {
        qWarning("desktop-updater: cannot write %s: %s", qUtf8Printable(m_targetPath),
                 qUtf8Printable(m_sink->errorString()));
    }

    connect(m_reply, SIGNAL(metaDataChanged()), this, SLOT(slotMetaData()));
    connect(m_reply, SIGNAL(finished()), this, SLOT(slotFinished()));
    connect(m_reply, SIGNAL(readyRead()), this, SLOT(slotWrite()));
    connect(m_reply, SIGNAL(downloadProgress(qint64,qint64)), this, SLOT(slotProgress(qint64,qint64)));
}

Downloader::~Downloader()
{
    delete m_file;  // an uncommitted temporary file is removed here at the latest
    delete m_partFile;
    if (m_reply) m_reply->deleteLater();
}

void Downloader::slotMetaData()
{
    if (!m_partFile || m_judged || !m_opened) return;
    const QVariant code = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!code.isValid()) return;  // no status yet
    m_judged = true;
    const int status = code.toInt();
    const QByteArray validator = chooseValidator(m_reply->rawHeader("ETag"), m_reply->rawHeader("Last-Modified"));
    if (m_part.bytes > 0) {
        switch (judgeResumeReply(status, m_reply->rawHeader("Content-Range"), m_part.bytes, m_expectedSize,
                                 m_part.validator, validator)) {
        case ResumeReply::Append:
            if (!takeHeldBytes()) {
                startOver(QStringLiteral("cannot read the part kept from an earlier download"));
                return;
            }
            m_resumed = m_accepting = m_sourceKnown = true;
            return;
        case ResumeReply::Whole:
            break;  // the whole file comes in this reply
        case ResumeReply::StartOver:
            startOver(QStringLiteral("the server did not send the rest of the part kept from an earlier download "
                                     "(status %1, Content-Range %2)").arg(status).arg(quotedName(QString::fromLatin1(m_reply->rawHeader("Content-Range")))));
            return;
        case ResumeReply::ValidatorChanged:
            startOver(QStringLiteral("the file on the server changed since the part kept from an earlier download"));
            return;
        case ResumeReply::Failed:
            return;  // fails by its status; the bytes held stay for a later update
        }
    } else if (status < 200 || status > 299) {
        return;  // fails by its status; nothing is written
    }
    // From here on the reply is the file from its first byte; its source is on record before
    // the first of them is.
    if (!m_partFile->resize(0) || !m_partFile->seek(0) || !recordPartSource(m_part, m_url, m_expectedSize, validator)) {
        m_writeFailed = true;
        m_keepPart = false;
        m_guard->abortFor(QStringLiteral("cannot write the file: %1").arg(m_partFile->errorString()));
        return;
    }
    m_part.bytes = 0;
    m_accepting = true;
    m_sourceKnown = !validator.isEmpty();
}

bool Downloader::takeHeldBytes()
{
    if (!m_partFile->seek(0)) return false;
    QByteArray block;
    qint64 left = m_part.bytes;
    while (left > 0) {
        block = m_partFile->read(qMin<qint64>(left, 1024 * 1024));
        if (block.isEmpty()) return false;
        m_hash.addData(block);
        left -= block.size();
    }
    m_written = m_writeBackFrom = m_offset = m_part.bytes;
    return left == 0 && m_partFile->seek(m_part.bytes);
}

void Downloader::startOver(const QString& why)
{
    m_startOver = true;
    m_keepPart = false;
    m_guard->abortFor(why);
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
        // Read whole before decoding, never mapped: the running application may shrink or
        // rewrite the file meanwhile, which would end a mapping's reader by SIGBUS (and on
        // Windows make the application's own write fail). What was read is what the result's
        // digest is checked against.
        QFile file;
        if (pathpolicy::isAnyLink(referencePath)) {
            m_decodeFailure = QStringLiteral("the file a delta starts from is a link");
        } else if (!openRegularForReading(file, referencePath)) {
            m_decodeFailure = QStringLiteral("cannot read the file the delta starts from as a plain file");
        } else if (file.size() > (qint64(1) << kMaxZstdWindowLog)) {
            // A frame that could start from it would need a window above the cap.
            m_decodeFailure = QStringLiteral("the file the delta starts from is larger than %1 bytes").arg(qint64(1) << kMaxZstdWindowLog);
        } else {
            const qint64 size = file.size();
            m_reference = file.read(size);
            if (m_reference.size() != size || !file.atEnd()) {
                m_decodeFailure = QStringLiteral("the file the delta starts from changed while it was read");
            }
            reference = reinterpret_cast<const uchar*>(m_reference.constData());
            referenceSize = m_reference.size();
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
        m_keepPart = false;
        m_guard->abortFor(m_expectedSize != -1
            ? QStringLiteral("more than the declared size of %1 bytes").arg(m_expectedSize)
            : QStringLiteral("larger than %1 bytes").arg(kMaxDownloadBytes));
        return false;
    }
    if (m_checkSha256) m_hash.addData(data, size);
    if (m_opened && m_sink->write(data, size) != size) {
        // A full disk or a failing device: nothing more is worth receiving.
        m_writeFailed = true;
        m_keepPart = false;
        m_guard->abortFor(QStringLiteral("cannot write the file: %1").arg(m_sink->errorString()));
        return false;
    }
    // A failed flush here shows again in the flush before the commit, which decides.
    if (m_opened && m_written - m_writeBackFrom >= kWriteBackBytes && m_sink->flush()) {
        fileutil::startWriteBack(m_sink->handle(), m_writeBackFrom, m_written - m_writeBackFrom);
        m_writeBackFrom = m_written;
    }
    return true;
}

void Downloader::slotWrite()
{
    if (!m_reply->isOpen()) return;  // an aborted reply has nothing left to read
    slotMetaData();  // a part takes nothing before the reply is judged
    const QByteArray data = m_reply->readAll();
    m_bodyBytes += data.size();
    if (data.isEmpty() || m_writeFailed || !m_decodeFailure.isEmpty() || !m_accepting) return;
    if (!m_zstd) {
        // A part hands what it received to the system at once: a kill loses none of it.
        if (writeFileBytes(data.constData(), data.size()) && m_partFile) m_partFile->flush();
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
    // A continued download counts the bytes held as done.
    cur += m_offset;
    if (total >= 0) total += m_offset;
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
    QString why = m_opened ? m_guard->describe() : (pathpolicy::isAnyLink(m_targetPath) ? QStringLiteral("the target is a link")
                                        : QStringLiteral("cannot open the file: ") + m_sink->errorString());
    if (ok && !httpLike) {
        ok = false;
        why = QStringLiteral("only http and https are allowed");
    }
    if (ok) {
        const int code = status.toInt();
        ok = status.isValid() && code >= 200 && code <= 299;
        if (!ok) why = QStringLiteral("HTTP status %1").arg(code);
    }
    // Qt may end a reply whose connection closed early as if it were complete; its declared
    // length tells. (A file without a size in the list would otherwise be staged cut short.)
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (ok && length.isValid() && m_bodyBytes != length.toLongLong()) {
        ok = false;
        why = QStringLiteral("the connection closed after %1 of %2 bytes").arg(m_bodyBytes).arg(length.toLongLong());
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
    if (ok && m_partFile && !m_accepting) {
        ok = false;  // (a reply judged not to continue the part was abandoned before here)
        why = QStringLiteral("the reply was not the file");
    }
    if (ok && m_expectedSize != -1 && m_written != m_expectedSize) {
        // Fewer bytes (a connection closed early) are still the file's start: a part keeps them.
        ok = false;
        why = QStringLiteral("size %1 instead of %2").arg(m_written).arg(m_expectedSize);
    }
    if (ok && m_checkSha256 && QString::fromLatin1(m_hash.result().toHex()) != m_expectedSha256) {
        ok = false;
        m_keepPart = false;
        // The bytes held may be what was wrong: a download from the first byte may still do.
        m_startOver = m_resumed;
        why = m_resumed ? QStringLiteral("SHA-256 digest differs (with the part kept from an earlier download)")
                        : QStringLiteral("SHA-256 digest differs");
    }
    if (ok && (!m_sink->flush() || m_sink->error() != QFileDevice::NoError)) {
        // Small files wait in the write buffer until here; commit() would not notice a failed
        // flush and would put a short file in place of the good one.
        ok = false;
        m_keepPart = false;
        why = QStringLiteral("cannot write the file: ") + m_sink->errorString();
    }
    if (m_partFile) {
        m_partFile->close();
        if (ok) {
            // The part becomes the staged file once its bytes are on disk; its info goes then.
            m_committed = stagePart(m_part, m_targetPath, &why);
            if (!m_committed) dropPart(m_part);
        } else if (!m_opened || !m_keepPart || !m_sourceKnown || QFileInfo(m_part.partPath).size() == 0) {
            dropPart(m_part);  // nothing a later update could continue
        }
    } else if (ok) {
        m_committed = m_file->commit();
        if (!m_committed) why = m_file->errorString();
    } else if (m_opened) {
        m_file->cancelWriting();
    }
    delete m_file;  // removes the temporary file unless it was committed
    m_file = nullptr;
    m_zstd.reset();
    m_reference.clear();
    if (!m_committed) {
        m_failure = why;
        qWarning("desktop-updater: %s kept unchanged (%s)", qUtf8Printable(m_targetPath), qUtf8Printable(why));
    }
    emit downloadFinished();
}

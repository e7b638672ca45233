// Downloads one file over HTTP, streaming it to disk, and tells its progress.
#pragma once

#include "download/partialstore.h"
#include "download/sha256.h"

#include <QFile>
#include <QObject>
#include <memory>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;
class TransferGuard;
class ZstdStream;

// Largest file downloaded without a declared size: no file of the application comes near it,
// and an endless body stops here (and at kDownloadDeadlineMs) instead of filling the disk.
const qint64 kMaxDownloadBytes = qint64(4) * 1024 * 1024 * 1024;

// The bytes go to a temporary file beside the target, which replaces the target only when the
// whole reply arrived without a network error, with a 2xx status, every write and the final
// flush succeeded and, when given, with the expected size and SHA-256 digest. A reply that
// passes its declared size (or kMaxDownloadBytes), cannot be written, stalls or passes its
// deadline is abandoned at once. Otherwise the target keeps its old content and the temporary
// file is removed. downloadFinished() is emitted when the reply has finished, in every case,
// after the file has been committed or discarded. Redirects are not followed.
//
// A download into a part (see PartialStore) writes the bytes there instead of a temporary file,
// so that a kill or a cut transfer leaves them for a later update; that one asks only for the
// rest (Range and If-Range) and appends only an exact continuation (judgeResumeReply). On
// success the part is moved to the target.
class Downloader : public QObject
{
    Q_OBJECT
public:
    // `expectedSha256` (null: no check) and `expectedSize` (-1: no check; any other value,
    // including a negative one standing for an unreadable size, must equal the byte count).
    Downloader(QUrl url, QString targetPath, QString expectedSha256 = QString(), qint64 expectedSize = -1);
    // Into `part`, continuing the bytes it holds. Needs the file's digest and size.
    Downloader(QUrl url, QString targetPath, QString expectedSha256, qint64 expectedSize, const HeldPart& part);
    ~Downloader() override;

    // Call right after construction (before the event loop runs): the reply is a Zstandard frame
    // that decodes to the file, whose size must then be known. With a `referencePath` the frame
    // is a delta made with --patch-from that older file (read whole before it decodes, never
    // mapped: the application may change it meanwhile; never a link, nor larger than the window cap). `frameSha256` (null: not given) and `frameSize` (-1: not given; the cap is then
    // the largest frame of the file's size) are the frame's own, checked over the received
    // bytes; the decoded bytes are checked against the file's size and digest as always.
    void decodeZstd(const QString& referencePath = QString(), const QString& frameSha256 = QString(),
                    qint64 frameSize = -1);

    // Whether the target now holds the downloaded file (valid after downloadFinished()).
    bool committed() const { return m_committed; }
    // Whether the temporary file beside the target could be opened (known at construction).
    bool opened() const { return m_opened; }
    // Why the target was kept unchanged (empty when committed).
    QString failure() const { return m_failure; }
    // Whether this download continued bytes kept from an earlier one (the server sent the rest).
    bool resumed() const { return m_resumed; }
    // Whether the bytes kept from an earlier download proved of no use (the server would not
    // continue them, or the whole did not match its digest): they are dropped, and a download
    // from the first byte may still succeed.
    bool mustStartOver() const { return m_startOver; }

signals:
    void downloadFinished();
    // Bytes so far of the whole (-1: unknown); in KiB once either passes what an int holds.
    void progress(int done, int total);

public slots:
    void slotMetaData();
    void slotWrite();
    void slotProgress(qint64 cur, qint64 total);
    void slotFinished();

private:
    void start(const QUrl& url);
    // For a part: reads the bytes held into the digest and places the writes after them.
    bool takeHeldBytes();
    // The bytes held are dropped and the transfer ends: the caller may start over.
    void startOver(const QString& why);
    // The file's bytes (decoded, when the reply is compressed) to the temporary file and digest.
    bool writeFileBytes(const char* data, qint64 size);

    QString m_targetPath;
    QSaveFile* m_file = nullptr;   // a download without a part
    QFileDevice* m_sink = nullptr;  // where the file's bytes are written: m_file or m_partFile
    QNetworkReply* m_reply = nullptr;
    TransferGuard* m_guard = nullptr;
    QString m_expectedSha256;
    bool m_checkSha256;
    qint64 m_expectedSize;
    qint64 m_written = 0;
    qint64 m_bodyBytes = 0;  // bytes of the reply's body, as received
    qint64 m_writeBackFrom = 0;  // bytes before this offset were handed to the write-back
    bool m_opened = false;
    bool m_committed = false;
    bool m_writeFailed = false;
    QString m_failure;
    Sha256 m_hash;

    // A compressed reply: its decoder, the older file a delta starts from, and the frame's checks.
    std::unique_ptr<ZstdStream> m_zstd;
    QByteArray m_reference;  // the older file a delta starts from, read whole
    qint64 m_received = 0;
    qint64 m_frameLimit = -1;
    qint64 m_frameSize = -1;
    QString m_frameSha256;
    Sha256 m_frameHash;
    QString m_decodeFailure;

    // A download into a part.
    HeldPart m_part;
    QFile* m_partFile = nullptr;
    QString m_url;
    bool m_judged = false;     // the reply's status and headers were looked at
    bool m_accepting = true;   // the reply's body is the file's bytes (from m_written on)
    bool m_resumed = false;
    bool m_startOver = false;
    bool m_keepPart = true;    // false once the bytes in the part are known to be of no use
    bool m_sourceKnown = false;  // the part's bytes have a validator recorded with them
    qint64 m_offset = 0;       // bytes held before this reply, for the progress
};

// The manager that every downloader shares; created on first use, kept until the process ends.
QNetworkAccessManager* sharedDownloadManager();

// Downloads one file over HTTP, streaming it to disk, and tells its progress.
#pragma once

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
class Downloader : public QObject
{
    Q_OBJECT
public:
    // `expectedSha256` (null: no check) and `expectedSize` (-1: no check; any other value,
    // including a negative one standing for an unreadable size, must equal the byte count).
    Downloader(QUrl url, QString targetPath, QString expectedSha256 = QString(), qint64 expectedSize = -1);
    ~Downloader() override;

    // Call right after construction (before the event loop runs): the reply is a Zstandard frame
    // that decodes to the file, whose size must then be known. With a `referencePath` the frame
    // is a delta made with --patch-from that older file (mapped read-only while it decodes; never
    // a link). `frameSha256` (null: not given) and `frameSize` (-1: not given; the cap is then
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

signals:
    void downloadFinished();
    // Bytes so far of the whole (-1: unknown); in KiB once either passes what an int holds.
    void progress(int done, int total);

public slots:
    void slotWrite();
    void slotProgress(qint64 cur, qint64 total);
    void slotFinished();

private:
    // The file's bytes (decoded, when the reply is compressed) to the temporary file and digest.
    bool writeFileBytes(const char* data, qint64 size);

    QString m_targetPath;
    QSaveFile* m_file = nullptr;
    QNetworkReply* m_reply = nullptr;
    TransferGuard* m_guard = nullptr;
    QString m_expectedSha256;
    bool m_checkSha256;
    qint64 m_expectedSize;
    qint64 m_written = 0;
    qint64 m_writeBackFrom = 0;  // bytes before this offset were handed to the write-back
    bool m_opened = false;
    bool m_committed = false;
    bool m_writeFailed = false;
    QString m_failure;
    Sha256 m_hash;

    // A compressed reply: its decoder, the older file a delta starts from, and the frame's checks.
    std::unique_ptr<ZstdStream> m_zstd;
    QFile m_reference;
    qint64 m_received = 0;
    qint64 m_frameLimit = -1;
    qint64 m_frameSize = -1;
    QString m_frameSha256;
    Sha256 m_frameHash;
    QString m_decodeFailure;
};

// The manager that every downloader shares; created on first use, kept until the process ends.
QNetworkAccessManager* sharedDownloadManager();

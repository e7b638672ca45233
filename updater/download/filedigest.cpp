#include "download/filedigest.h"

#include "list/pathpolicy.h"
#include "download/sha256.h"
#include "platform/regular_file.h"

#include <QFile>
#include <QFileInfo>

QString fileSha256Hex(const QString& path)
{
    const QFileInfo info(path);
    if (pathpolicy::isAnyLink(path) || !info.isFile()) return QString();
    // Opened as a regular file without waiting: a FIFO put there since would hold the update.
    QFile file;
    if (!openRegularForReading(file, path)) return QString();
    Sha256 hash;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 n; (n = file.read(block.data(), block.size())) > 0; total += n) hash.addData(block.constData(), n);
    if (total != info.size()) return QString();  // a read error, or the file changed meanwhile
    return QString::fromLatin1(hash.result().toHex());
}

bool fileMatches(const QString& path, const QString& sha256Hex, qint64 size)
{
    if (sha256Hex.isEmpty()) return false;
    const QFileInfo info(path);
    if (pathpolicy::isAnyLink(path) || !info.isFile() || (size >= 0 && info.size() != size)) return false;
    const QString digest = fileSha256Hex(path);
    return !digest.isEmpty() && digest.compare(sha256Hex.trimmed(), Qt::CaseInsensitive) == 0;
}

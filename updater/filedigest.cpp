#include "filedigest.h"

#include "filelist.h"
#include "sha256.h"

#include <QFile>
#include <QFileInfo>

bool fileMatches(const QString& path, const QString& sha256Hex, qint64 size)
{
    if (sha256Hex.isEmpty()) return false;
    const QFileInfo info(path);
    if (isLink(path) || !info.isFile() || (size >= 0 && info.size() != size)) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    Sha256 hash;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 n; (n = file.read(block.data(), block.size())) > 0; total += n) hash.addData(block.constData(), n);
    if (total != info.size()) return false;  // a read error, or the file changed meanwhile
    return QString::fromLatin1(hash.result().toHex()).compare(sha256Hex.trimmed(), Qt::CaseInsensitive) == 0;
}

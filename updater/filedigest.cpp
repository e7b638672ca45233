#include "filedigest.h"

#include "filelist.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

bool fileMatches(const QString& path, const QString& sha256Hex, qint64 size)
{
    if (sha256Hex.isEmpty()) return false;
    const QFileInfo info(path);
    if (isLink(path) || !info.isFile() || (size >= 0 && info.size() != size)) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) return false;
    return QString::fromLatin1(hash.result().toHex()).compare(sha256Hex.trimmed(), Qt::CaseInsensitive) == 0;
}

#include "updatelog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

void appendUpdateLog(const QString& folder, const QStringList& lines)
{
    if (lines.isEmpty()) return;
    const QString path = folder + QLatin1Char('/') + QLatin1String(kUpdateLogName);
    if (QFileInfo(path).size() > kMaxUpdateLogBytes) {
        QFile::remove(path + QStringLiteral(".old"));
        QFile::rename(path, path + QStringLiteral(".old"));
    }
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    QByteArray text;
    for (const QString& line : lines) {
        qWarning("desktop-updater: %s", qUtf8Printable(line));
        text += (stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8();
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) file.write(text);
}

#include "filelist.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtGlobal>

QString resolveInside(const QString& baseFolder, const QString& relative)
{
    if (relative.trimmed().isEmpty()) return QString();
    QString rel = relative;
    rel.replace(QLatin1Char('\\'), QLatin1Char('/'));
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (rel.startsWith(QLatin1Char('/')) || drive.match(rel).hasMatch() || QDir::isAbsolutePath(relative)) {
        return QString();
    }
    const QString base = QDir::cleanPath(baseFolder);
    const QString joined = QDir::cleanPath(base + QLatin1Char('/') + rel);
    const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
    if (!joined.startsWith(prefix) || joined.size() <= prefix.size()) return QString();
    return joined;
}

FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName)
{
    FileListResult result;
    QDomDocument doc;
    if (!doc.setContent(body, false)) return result;

    QDomElement files;
    if (doc.documentElement().tagName() == QLatin1String("files")) {
        files = doc.documentElement();
    } else {
        files = doc.elementsByTagName(QStringLiteral("files")).item(0).toElement();
    }
    if (files.isNull()) return result;

    const QDomNodeList fileNodes = files.elementsByTagName(QStringLiteral("file"));
    for (int i = 0; i < fileNodes.count(); ++i) {
        const QDomElement e = fileNodes.item(i).toElement();
        const QString dist = e.attribute(QStringLiteral("dist"));
        QString target;
        if (dist == ownFileName) {
            // The running updater cannot overwrite itself: its new copy waits in Updates.
            target = baseFolder + QStringLiteral("/Application/Updates/") + dist;
        } else {
            target = resolveInside(baseFolder, dist);
        }
        if (target.isEmpty()) {
            result.rejected.append(dist);
            qWarning("desktop-updater: skipped download to unsafe path \"%s\"", qUtf8Printable(dist));
            continue;
        }
        FileEntry entry;
        entry.insert(QStringLiteral("url"), e.attribute(QStringLiteral("url")));
        entry.insert(QStringLiteral("dist"), target);
        if (e.hasAttribute(QStringLiteral("sha256"))) entry.insert(QStringLiteral("sha256"), e.attribute(QStringLiteral("sha256")));
        if (e.hasAttribute(QStringLiteral("size"))) entry.insert(QStringLiteral("size"), e.attribute(QStringLiteral("size")));
        if (!QFileInfo(target).isDir()) QDir().mkpath(QFileInfo(target).absolutePath());
        result.downloads.append(entry);
    }

    const QDomNodeList removeNodes = files.elementsByTagName(QStringLiteral("remove"));
    for (int i = 0; i < removeNodes.count(); ++i) {
        const QString dist = removeNodes.item(i).toElement().attribute(QStringLiteral("dist"));
        const QString path = resolveInside(baseFolder, dist);
        if (path.isEmpty()) {
            result.rejected.append(dist);
            qWarning("desktop-updater: skipped removal of unsafe path \"%s\"", qUtf8Printable(dist));
            continue;
        }
        const QFileInfo info(path);
        if (info.isFile() || info.isSymLink()) {
            QFile::remove(path);  // a link is removed itself, never what it points to
        } else if (info.isDir()) {
            QDir(path).removeRecursively();
        }
    }
    return result;
}

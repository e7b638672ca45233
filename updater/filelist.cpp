#include "filelist.h"

#include "platform/path_rules.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>
#include <QtGlobal>

namespace {

#ifdef Q_OS_WIN
const Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
const Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

QString quoted(const QString& s) { return QLatin1Char('"') + s + QLatin1Char('"'); }

bool isInsideOrSame(const QString& path, const QString& folder)
{
    return path.compare(folder, kPathCase) == 0 ||
           path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'), kPathCase);
}

// Why the target `path` (already lexically inside `base`) must not be written or removed, or "".
// For a removal the last part may be a link: the link itself goes, never what it points to.
QString linkProblem(const QString& base, const QString& path, bool lastPartMayBeLink)
{
    if (!lastPartMayBeLink && isLink(path)) return QStringLiteral("the target is a link");
    // Qt resolves no junction in the middle of a path, so the check below could not see one.
    const QString point = pathrules::reparsePointOnTheWay(base, path, true);
    if (!point.isEmpty()) return QStringLiteral("%1 on the way is a link or junction").arg(quoted(QDir(base).relativeFilePath(point)));
    if (!staysInsideThroughLinks(base, QFileInfo(path).path())) {
        return QStringLiteral("a link on the way leads outside the updater's folder");
    }
    return QString();
}

}  // namespace

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

QString windowsAliasProblem(const QString& relative)
{
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$"), QRegularExpression::CaseInsensitiveOption);
    QString rel = relative;
    rel.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = rel.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..")) continue;
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' '))) {
            return QStringLiteral("the name %1 ends in a dot or a blank").arg(quoted(part));
        }
        // "CON", "con.txt" and "CON .log" all open the console device on Windows.
        QString stem = part.section(QLatin1Char('.'), 0, 0);
        while (stem.endsWith(QLatin1Char(' '))) stem.chop(1);
        if (device.match(stem).hasMatch()) {
            return QStringLiteral("the name %1 is a Windows device").arg(quoted(part));
        }
    }
    return QString();
}

bool isAllowedDownloadUrl(const QString& url)
{
    const QString scheme = QUrl(url, QUrl::TolerantMode).scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool isLink(const QString& path)
{
    const QFileInfo info(path);
    return info.isSymLink() || info.isJunction() || pathrules::isReparsePoint(path);
}

bool staysInsideThroughLinks(const QString& baseFolder, const QString& path)
{
    const QString canonicalBase = QFileInfo(baseFolder).canonicalFilePath();
    if (canonicalBase.isEmpty()) return false;
    QString existing = QDir::cleanPath(path);
    while (!QFileInfo::exists(existing)) {
        if (isLink(existing)) return false;  // a dangling link: where it leads is unknown
        const QString parent = QFileInfo(existing).path();
        if (parent == existing) return false;
        existing = parent;
    }
    return isInsideOrSame(QFileInfo(existing).canonicalFilePath(), canonicalBase);
}

int xmlNestingDepth(const QByteArray& xml, int limit)
{
    int depth = 0;
    int deepest = 0;
    const int n = xml.size();
    const char* s = xml.constData();
    auto skipPast = [&](int from, const char* end) {
        const int at = xml.indexOf(end, from);
        return at < 0 ? n : at + int(qstrlen(end));
    };
    for (int i = 0; i < n;) {
        if (s[i] != '<') {
            ++i;
            continue;
        }
        if (xml.mid(i, 4) == "<!--") { i = skipPast(i + 4, "-->"); continue; }
        if (xml.mid(i, 9) == "<![CDATA[") { i = skipPast(i + 9, "]]>"); continue; }
        if (i + 1 < n && (s[i + 1] == '?' || s[i + 1] == '!')) { i = skipPast(i + 2, ">"); continue; }
        const bool closing = i + 1 < n && s[i + 1] == '/';
        // Find the end of the tag, stepping over quoted attribute values.
        int j = i + 1;
        char quote = 0;
        for (; j < n; ++j) {
            if (quote) {
                if (s[j] == quote) quote = 0;
            } else if (s[j] == '"' || s[j] == '\'') {
                quote = s[j];
            } else if (s[j] == '>') {
                break;
            }
        }
        const bool selfClosing = j < n && j > i + 1 && s[j - 1] == '/';
        if (closing) {
            if (depth > 0) --depth;
        } else if (!selfClosing) {
            ++depth;
            if (depth > deepest) deepest = depth;
            if (deepest > limit) return limit + 1;
        } else if (depth + 1 > deepest) {
            deepest = depth + 1;
            if (deepest > limit) return limit + 1;
        }
        i = j + 1;
    }
    return deepest;
}

FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName)
{
    FileListResult result;
    auto refuse = [&result](const QString& what, const QString& value, const QString& why) {
        result.rejected.append(value);
        result.notes.append(QStringLiteral("skipped %1 %2: %3").arg(what, quoted(value), why));
    };

    if (xmlNestingDepth(body, kMaxFileListDepth) > kMaxFileListDepth) {
        result.notes.append(QStringLiteral("file list refused: it nests deeper than %1 levels").arg(kMaxFileListDepth));
        return result;
    }
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
        const QString url = e.attribute(QStringLiteral("url"));
        if (!isAllowedDownloadUrl(url)) {
            result.rejected.append(dist);
            result.notes.append(QStringLiteral("skipped download of %1 from %2: only http and https are allowed")
                                    .arg(quoted(dist), quoted(url)));
            continue;
        }
        QString target;
        if (dist == ownFileName) {
            // The running updater cannot overwrite itself: its new copy waits in Updates.
            target = baseFolder + QStringLiteral("/Application/Updates/") + dist;
        } else {
            target = resolveInside(baseFolder, dist);
        }
        if (target.isEmpty()) {
            refuse(QStringLiteral("download to"), dist, QStringLiteral("unsafe path, it leads outside the updater's folder"));
            continue;
        }
        QString problem = windowsAliasProblem(dist);
        if (problem.isEmpty()) problem = linkProblem(baseFolder, target, false);
        if (!problem.isEmpty()) {
            refuse(QStringLiteral("download to"), dist, problem);
            continue;
        }
        FileEntry entry;
        entry.insert(QStringLiteral("url"), url);
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
            refuse(QStringLiteral("removal of"), dist, QStringLiteral("unsafe path, it leads outside the updater's folder"));
            continue;
        }
        QString problem = windowsAliasProblem(dist);
        if (problem.isEmpty()) problem = linkProblem(baseFolder, path, true);
        if (!problem.isEmpty()) {
            refuse(QStringLiteral("removal of"), dist, problem);
            continue;
        }
        bool downloaded = false;
        bool otherSpelling = false;
        for (const FileEntry& d : result.downloads) {
            if (d.value(QStringLiteral("dist")).compare(path, kPathCase) == 0) downloaded = true;
            else if (pathrules::sameFile(d.value(QStringLiteral("dist")), path)) otherSpelling = true;
        }
        if (otherSpelling && !downloaded) {
            refuse(QStringLiteral("removal of"), dist, QStringLiteral("it is another name of a file the list downloads"));
            continue;
        }
        if (downloaded) {
            // Not a refusal: the download replaces the file in one step.
            result.notes.append(QStringLiteral("kept %1 for its download instead of removing it first").arg(quoted(dist)));
            continue;
        }
        // A link or junction goes itself, never what it points to, also deep inside a folder.
        pathrules::removeTreeNoFollow(path);
    }
    return result;
}

#include "list/filelist.h"

#include "list/pathpolicy.h"
#include "platform/path_rules.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <QtGlobal>

#include <limits>

namespace {

QString quoted(const QString& s) { return quotedName(s); }

using pathpolicy::isInsideOrSame;

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

QString quotedName(const QString& s)
{
    QString out(QLatin1Char('"'));
    for (const QChar c : s) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else if (c == QLatin1Char('\r')) {
            out += QLatin1String("\\r");
        } else if (u < 0x20 || u == 0x7f || u == 0x85 || u == 0x2028 || u == 0x2029) {
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out + QLatin1Char('"');
}

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
    // COM and LPT with a superscript digit are devices as well, and so are the console's
    // input and output buffers.
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9\\x{00B9}\\x{00B2}\\x{00B3}]|LPT[1-9\\x{00B9}\\x{00B2}\\x{00B3}]|CONIN\\$|CONOUT\\$)$"),
        QRegularExpression::CaseInsensitiveOption);
    QString rel = relative;
    rel.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = rel.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..")) continue;
        // Windows takes none of these in a name; ':' would name a stream of the part before it.
        for (const QChar c : part) {
            if (c.unicode() < 0x20 || QStringLiteral("<>:\"|?*").contains(c)) {
                return QStringLiteral("the name %1 holds %2, which Windows refuses in names").arg(quoted(part), quoted(QString(c)));
            }
        }
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

namespace {

bool endsWithSeparator(const QString& dist)
{
    return dist.endsWith(QLatin1Char('/')) || dist.endsWith(QLatin1Char('\\'));
}

// Why `text` is not a byte count the updater can hold, or "". Nineteen digits pass 2^63 - 1:
// such a size would read as 0 and make every update of the list fail.
QString sizeProblem(const QString& text)
{
    static const QRegularExpression decimal(QStringLiteral("^[0-9]{1,19}$"));
    const QString trimmed = text.trimmed();
    if (!decimal.match(trimmed).hasMatch()) return QStringLiteral("size is not a byte count");
    bool ok = false;
    trimmed.toLongLong(&ok);
    if (!ok) return QStringLiteral("size %1 is above the largest byte count (%2)").arg(trimmed).arg(std::numeric_limits<qint64>::max());
    return QString();
}

QString digestProblem(const QDomElement& e, bool requireDigests)
{
    static const QRegularExpression hex64(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    const bool hasSha = e.hasAttribute(QStringLiteral("sha256"));
    const bool hasSize = e.hasAttribute(QStringLiteral("size"));
    if (requireDigests && (!hasSha || !hasSize)) {
        return QStringLiteral("a signed list must give sha256 and size of every file");
    }
    if (hasSha && !hex64.match(e.attribute(QStringLiteral("sha256")).trimmed()).hasMatch()) {
        return QStringLiteral("sha256 is not 64 hex digits");
    }
    if (hasSize) return sizeProblem(e.attribute(QStringLiteral("size")));
    return QString();
}

// What an `encoding` attribute asks for that the updater cannot do, or an empty string.
QString encodingProblem(const QDomElement& e)
{
    if (!e.hasAttribute(QStringLiteral("encoding"))) return QString();
    if (e.attribute(QStringLiteral("encoding")) != QLatin1String("zstd")) {
        return QStringLiteral("unknown encoding %1").arg(quotedName(e.attribute(QStringLiteral("encoding"))));
    }
    if (!e.hasAttribute(QStringLiteral("size"))) {
        return QStringLiteral("a compressed file must give its size, which caps the decoded bytes");
    }
    return QString();
}

// The usable <delta> children of `e` into `entry`; the others are left out with a note. Deltas
// need the file's own sha256 and size: the rebuilt file is checked against them like any download.
void readDeltas(const QDomElement& e, const QString& name, bool requireDigests, FileEntry* entry, QStringList* notes)
{
    static const QRegularExpression hex64(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    const QDomNodeList children = e.elementsByTagName(QStringLiteral("delta"));
    if (children.isEmpty()) return;
    if (!entry->contains(QStringLiteral("sha256")) || !entry->contains(QStringLiteral("size"))) {
        notes->append(QStringLiteral("ignored the deltas of %1: the file has no sha256 and size to check them by")
                          .arg(quotedName(name)));
        return;
    }
    QStringList froms;
    for (int i = 0; i < children.count(); ++i) {
        const QDomElement d = children.item(i).toElement();
        const QString from = d.attribute(QStringLiteral("from")).trimmed().toLower();
        const QString url = d.attribute(QStringLiteral("url"));
        QString problem;
        if (!hex64.match(from).hasMatch()) problem = QStringLiteral("from is not 64 hex digits");
        else if (!isAllowedDownloadUrl(url)) problem = QStringLiteral("only http and https are allowed");
        else if (requireDigests && (!d.hasAttribute(QStringLiteral("sha256")) || !d.hasAttribute(QStringLiteral("size"))))
            problem = QStringLiteral("a signed list must give sha256 and size of every delta");
        else if (d.hasAttribute(QStringLiteral("sha256")) && !hex64.match(d.attribute(QStringLiteral("sha256")).trimmed()).hasMatch())
            problem = QStringLiteral("sha256 is not 64 hex digits");
        else if (d.hasAttribute(QStringLiteral("size")) && !sizeProblem(d.attribute(QStringLiteral("size"))).isEmpty())
            problem = sizeProblem(d.attribute(QStringLiteral("size")));
        else if (from == entry->value(QStringLiteral("sha256")).toLower())
            problem = QStringLiteral("it starts from the file itself");
        else if (froms.contains(from)) problem = QStringLiteral("another delta starts from the same file");
        else if (froms.size() == kMaxDeltasPerFile) problem = QStringLiteral("more than %1 deltas").arg(kMaxDeltasPerFile);
        if (!problem.isEmpty()) {
            notes->append(QStringLiteral("ignored a delta of %1: %2").arg(quotedName(name), problem));
            continue;
        }
        const QString key = QStringLiteral("delta.%1.").arg(froms.size());
        froms.append(from);
        entry->insert(key + QLatin1String("from"), from);
        entry->insert(key + QLatin1String("url"), url);
        if (d.hasAttribute(QStringLiteral("sha256"))) entry->insert(key + QLatin1String("sha256"), d.attribute(QStringLiteral("sha256")).trimmed().toLower());
        if (d.hasAttribute(QStringLiteral("size"))) entry->insert(key + QLatin1String("size"), d.attribute(QStringLiteral("size")).trimmed());
    }
}

}  // namespace

QList<DeltaSource> deltaSources(const FileEntry& entry)
{
    QList<DeltaSource> deltas;
    for (int i = 0;; ++i) {
        const QString key = QStringLiteral("delta.%1.").arg(i);
        if (!entry.contains(key + QLatin1String("from"))) return deltas;
        DeltaSource d;
        d.from = entry.value(key + QLatin1String("from"));
        d.url = entry.value(key + QLatin1String("url"));
        d.sha256 = entry.value(key + QLatin1String("sha256"));
        bool ok = false;
        const qint64 size = entry.value(key + QLatin1String("size")).toLongLong(&ok);
        d.size = ok ? size : -1;
        deltas.append(d);
    }
}

FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName,
                            bool requireDigests)
{
    FileListResult result;
    auto refuse = [&result](const QString& what, const QString& value, const QString& why) {
        result.rejected.append(value);
        result.notes.append(QStringLiteral("skipped %1 %2: %3").arg(what, quotedName(value), why));
    };

    if (xmlNestingDepth(body, kMaxFileListDepth) > kMaxFileListDepth) {
        result.refused = true;
        result.notes.append(QStringLiteral("file list refused: it nests deeper than %1 levels").arg(kMaxFileListDepth));
        return result;
    }
    QDomDocument doc;
    QString parseError;
    int line = 0;
    if (!doc.setContent(body, false, &parseError, &line)) {
        result.refused = true;
        result.notes.append(QStringLiteral("file list refused: not well-formed XML (line %1: %2)").arg(line).arg(parseError));
        return result;
    }

    QDomElement files;
    if (doc.documentElement().tagName() == QLatin1String("files")) {
        files = doc.documentElement();
    } else {
        files = doc.elementsByTagName(QStringLiteral("files")).item(0).toElement();
    }
    if (files.isNull()) return result;

    const pathpolicy::UpdaterFiles updaterFiles(baseFolder, ownFileName);
    // The identities of the listed targets that exist: two spellings of one name (a letter case,
    // an 8.3 short name) are one target; two hard links of one file are two, each replaced by a
    // file of its own.
    QSet<QString> listedNames, listedIdentities, claimedNames;
    auto listed = [&listedNames, &listedIdentities](const QString& path) {
        if (listedNames.contains(pathpolicy::nameKey(path))) return true;
        const QString id = pathrules::nameIdentity(path);
        return !id.isEmpty() && listedIdentities.contains(id);
    };
    auto noteListed = [&listedNames, &listedIdentities](const QString& path) {
        listedNames.insert(pathpolicy::nameKey(path));
        const QString id = pathrules::nameIdentity(path);
        if (!id.isEmpty()) listedIdentities.insert(id);
    };
    // A file of the release that would stand on the way to `path`, or that `path` as a file
    // would have below it: one of the two cannot be placed.
    auto fileConflict = [&result](const QString& path, bool isFile) {
        for (const FileEntry& d : result.downloads) {
            const QString other = d.value(QStringLiteral("dist"));
            if (isInsideOrSame(path, other) && !pathpolicy::sameName(path, other)) {
                return QStringLiteral("it lies below %1, which the list downloads as a file")
                    .arg(quotedName(d.value(QStringLiteral("name"))));
            }
            if (isFile && isInsideOrSame(other, path) && !pathpolicy::sameName(path, other)) {
                return QStringLiteral("the list downloads %1 below it").arg(quotedName(d.value(QStringLiteral("name"))));
            }
        }
        for (const QString& folder : result.folders) {
            if (isFile && isInsideOrSame(folder, path) && !pathpolicy::sameName(path, folder)) {
                return QStringLiteral("the list names the folder %1 below it").arg(quotedName(folder));
            }
        }
        return QString();
    };

    // What the list removes may give way to something else of the release: a removed folder to
    // a file, a removed file to a folder (the removal moves it into the backup first). Whether a
    // removal is kept is decided below; what it would not take away is refused at the end.
    const QDomNodeList removeNodes = files.elementsByTagName(QStringLiteral("remove"));
    result.entries = removeNodes.count() + files.elementsByTagName(QStringLiteral("file")).count();
    QStringList namedRemovals;
    for (int i = 0; i < removeNodes.count(); ++i) {
        const QString path = resolveInside(baseFolder, removeNodes.item(i).toElement().attribute(QStringLiteral("dist")));
        if (!path.isEmpty()) namedRemovals.append(path);
    }
    const pathpolicy::Removals named(baseFolder, namedRemovals);
    auto takenAway = [&named](const QString& target) { return !isLink(target) && named.holding(target).index >= 0; };
    auto replacesRemovedFolder = [&named, &namedRemovals](const QString& target) {
        if (isLink(target) || !QFileInfo(target).isDir()) return false;
        const int i = named.holding(target).index;
        return i >= 0 && pathpolicy::sameName(namedRemovals.at(i), target);
    };

    const QDomNodeList fileNodes = files.elementsByTagName(QStringLiteral("file"));
    for (int i = 0; i < fileNodes.count(); ++i) {
        const QDomElement e = fileNodes.item(i).toElement();
        const QString dist = e.attribute(QStringLiteral("dist"));
        const QString url = e.attribute(QStringLiteral("url"));
        const bool folder = endsWithSeparator(dist);
        if (!folder && !isAllowedDownloadUrl(url)) {
            result.rejected.append(dist);
            result.notes.append(QStringLiteral("skipped download of %1 from %2: only http and https are allowed")
                                    .arg(quotedName(dist), quotedName(url)));
            continue;
        }
        QString target;
        // Only the exact name: any other spelling that reaches the updater is refused below.
        const bool own = dist == ownFileName;
        if (own) {
            // The running updater cannot overwrite itself: its new copy waits in Updates.
            target = updaterFiles.newCopyPath();
        } else {
            target = resolveInside(baseFolder, dist);
        }
        const QString what = folder ? QStringLiteral("folder") : QStringLiteral("download to");
        if (target.isEmpty()) {
            refuse(what, dist, QStringLiteral("unsafe path, it leads outside the updater's folder"));
            continue;
        }
        QString problem = windowsAliasProblem(dist);
        if (problem.isEmpty()) problem = pathpolicy::unplaceableProblem(target, folder);
        if (problem.isEmpty() && !own) problem = updaterFiles.placeProblem(target);
        if (problem.isEmpty()) problem = linkProblem(baseFolder, target, false);
        if (problem.isEmpty() && !folder) problem = digestProblem(e, requireDigests);
        if (problem.isEmpty() && !folder) problem = encodingProblem(e);
        // The first entry that names a path claims it before anything in place is looked at:
        // which of two entries counts must not depend on what the folder holds, or a run that
        // finds the folder half-changed would place the other one.
        if (problem.isEmpty() && claimedNames.contains(pathpolicy::nameKey(target))) problem = QStringLiteral("it is listed twice");
        if (problem.isEmpty()) claimedNames.insert(pathpolicy::nameKey(target));
        if (problem.isEmpty() && !folder && QFileInfo(target).isDir() && !takenAway(target)) {
            problem = QStringLiteral("a folder is in its place");
        }
        if (problem.isEmpty() && folder && QFileInfo::exists(target) && !QFileInfo(target).isDir() && !takenAway(target)) {
            problem = QStringLiteral("a file is in its place");
        }
        if (problem.isEmpty() && listed(target)) problem = QStringLiteral("it is listed twice");
        if (problem.isEmpty()) problem = fileConflict(target, !folder);
        if (!problem.isEmpty()) {
            refuse(what, dist, problem);
            continue;
        }
        noteListed(target);
        if (folder) {
            result.folders.append(target);
            continue;
        }
        FileEntry entry;
        entry.insert(QStringLiteral("url"), url);
        entry.insert(QStringLiteral("dist"), target);
        entry.insert(QStringLiteral("name"), dist);
        if (e.hasAttribute(QStringLiteral("sha256"))) entry.insert(QStringLiteral("sha256"), e.attribute(QStringLiteral("sha256")).trimmed());
        if (e.hasAttribute(QStringLiteral("size"))) entry.insert(QStringLiteral("size"), e.attribute(QStringLiteral("size")).trimmed());
        if (e.hasAttribute(QStringLiteral("encoding"))) entry.insert(QStringLiteral("encoding"), e.attribute(QStringLiteral("encoding")));
        readDeltas(e, dist, requireDigests, &entry, &result.notes);
        result.downloads.append(entry);
    }

    QSet<QString> removedNames, removedIdentities;
    for (int i = 0; i < removeNodes.count(); ++i) {
        const QString dist = removeNodes.item(i).toElement().attribute(QStringLiteral("dist"));
        const QString path = resolveInside(baseFolder, dist);
        if (path.isEmpty()) {
            refuse(QStringLiteral("removal of"), dist, QStringLiteral("unsafe path, it leads outside the updater's folder"));
            continue;
        }
        QString problem = windowsAliasProblem(dist);
        if (problem.isEmpty()) problem = pathpolicy::unplaceableProblem(path, false);
        if (problem.isEmpty()) problem = updaterFiles.removalProblem(path);
        if (problem.isEmpty()) problem = linkProblem(baseFolder, path, true);
        if (!problem.isEmpty()) {
            refuse(QStringLiteral("removal of"), dist, problem);
            continue;
        }
        const bool replacedFolder = replacesRemovedFolder(path) && listedNames.contains(pathpolicy::nameKey(path));
        if (listed(path) && !replacedFolder) {
            // Not a refusal: the download replaces the file in one step.
            result.notes.append(QStringLiteral("kept %1 for its download instead of removing it first").arg(quotedName(dist)));
            continue;
        }
        bool otherSpelling = false;
        for (const FileEntry& d : result.downloads) {
            if (replacedFolder && pathpolicy::sameName(d.value(QStringLiteral("dist")), path)) continue;
            const QString other = d.value(QStringLiteral("dist"));
            otherSpelling = otherSpelling || (pathrules::sameFile(other, path) && pathrules::nameIdentity(other) == pathrules::nameIdentity(path));
        }
        if (otherSpelling) {
            refuse(QStringLiteral("removal of"), dist, QStringLiteral("it is another name of a file the list downloads"));
            continue;
        }
        const QFileInfo info(path);
        if (endsWithSeparator(dist) && (isLink(path) || !info.isDir())) {
            if (info.exists() || isLink(path)) {
                result.notes.append(QStringLiteral("kept %1: it names a folder, and no folder is there").arg(quotedName(dist)));
            }
            continue;
        }
        if (!info.exists() && !isLink(path)) continue;  // nothing to remove
        if (removedNames.contains(pathpolicy::nameKey(path))) continue;  // the same name again
        // Another spelling of a path already removed (an 8.3 short name) would be gone by the
        // time the commit moved it, and the commit would fail on it at every start.
        const QString id = pathrules::nameIdentity(path);
        if (!id.isEmpty() && removedIdentities.contains(id)) {
            refuse(QStringLiteral("removal of"), dist, QStringLiteral("it is another name of a path the list already removes"));
            continue;
        }
        if (!id.isEmpty()) removedIdentities.insert(id);
        removedNames.insert(pathpolicy::nameKey(path));
        result.removals.append(path);
    }

    // A file on the way to a target can only give way when the list removes it; otherwise the
    // commit could not place the target, and would fail on it at every start.
    const pathpolicy::Removals removals(baseFolder, result.removals);
    auto blocked = [&](const QString& target) {
        const QString file = pathpolicy::fileInTheWay(baseFolder, target, removals);
        return file.isEmpty() ? QString()
                              : QStringLiteral("the file %1 stands on its way, and the list does not remove it")
                                    .arg(quotedName(QDir(QDir::cleanPath(baseFolder)).relativeFilePath(file)));
    };
    // A folder in a download's place, or a file in a folder's, must be one that the kept
    // removals take away.
    auto inThePlace = [&](const QString& target, bool isFile) {
        if (removals.holding(target).index >= 0) return QString();
        if (isFile && QFileInfo(target).isDir()) return QStringLiteral("a folder is in its place, and the list does not remove it");
        if (!isFile && QFileInfo::exists(target) && !QFileInfo(target).isDir()) {
            return QStringLiteral("a file is in its place, and the list does not remove it");
        }
        return QString();
    };
    for (int i = result.downloads.size() - 1; i >= 0; --i) {
        QString problem = inThePlace(result.downloads.at(i).value(QStringLiteral("dist")), true);
        if (problem.isEmpty()) problem = blocked(result.downloads.at(i).value(QStringLiteral("dist")));
        if (problem.isEmpty()) continue;
        refuse(QStringLiteral("download to"), result.downloads.at(i).value(QStringLiteral("name")), problem);
        result.downloads.removeAt(i);
    }
    for (int i = result.folders.size() - 1; i >= 0; --i) {
        QString problem = inThePlace(result.folders.at(i), false);
        if (problem.isEmpty()) problem = blocked(result.folders.at(i));
        if (problem.isEmpty()) continue;
        refuse(QStringLiteral("folder"), QDir(QDir::cleanPath(baseFolder)).relativeFilePath(result.folders.at(i)) + QLatin1Char('/'), problem);
        result.folders.removeAt(i);
    }
    return result;
}

#include "list/filelist.h"

#include "list/pathpolicy.h"
#include "list/xmlnesting.h"
#include "log/quotedname.h"
#include "platform/path_rules.h"

#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <limits>

namespace {

using pathpolicy::isAnyLink;
using pathpolicy::isInsideOrSame;
using pathpolicy::sameName;

// ---- One entry's attributes

bool isHex64(const QString& text)
{
    static const QRegularExpression hex64(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return hex64.match(text).hasMatch();
}

// Whether `url` may be downloaded from: http and https only. Any other scheme (file:, ftp:,
// qrc:, ...) could read local files or hand the user's credentials to another host.
bool isAllowedDownloadUrl(const QString& url)
{
    const QString scheme = QUrl(url, QUrl::TolerantMode).scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

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

// The byte count of a `size` attribute that passed sizeProblem(), or -1 when there is none.
qint64 sizeOf(const QDomElement& e)
{
    return e.hasAttribute(QStringLiteral("size")) ? e.attribute(QStringLiteral("size")).trimmed().toLongLong() : -1;
}

QString digestProblem(const QDomElement& e, bool requireDigests)
{
    const bool hasSha = e.hasAttribute(QStringLiteral("sha256"));
    const bool hasSize = e.hasAttribute(QStringLiteral("size"));
    if (requireDigests && (!hasSha || !hasSize)) {
        return QStringLiteral("a signed list must give sha256 and size of every file");
    }
    if (hasSha && !isHex64(e.attribute(QStringLiteral("sha256")).trimmed())) {
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

// Why the <delta> `d` of `entry` cannot be used, or "": `kept` are the deltas already taken.
QString deltaProblem(const QDomElement& d, const FileEntry& entry, const QList<DeltaSource>& kept, bool requireDigests)
{
    const QString from = d.attribute(QStringLiteral("from")).trimmed().toLower();
    if (!isHex64(from)) return QStringLiteral("from is not 64 hex digits");
    if (!isAllowedDownloadUrl(d.attribute(QStringLiteral("url")))) return QStringLiteral("only http and https are allowed");
    if (requireDigests && (!d.hasAttribute(QStringLiteral("sha256")) || !d.hasAttribute(QStringLiteral("size")))) {
        return QStringLiteral("a signed list must give sha256 and size of every delta");
    }
    if (d.hasAttribute(QStringLiteral("sha256")) && !isHex64(d.attribute(QStringLiteral("sha256")).trimmed())) {
        return QStringLiteral("sha256 is not 64 hex digits");
    }
    if (d.hasAttribute(QStringLiteral("size")) && !sizeProblem(d.attribute(QStringLiteral("size"))).isEmpty()) {
        return sizeProblem(d.attribute(QStringLiteral("size")));
    }
    if (from == entry.sha256.toLower()) return QStringLiteral("it starts from the file itself");
    for (const DeltaSource& k : kept) {
        if (k.from == from) return QStringLiteral("another delta starts from the same file");
    }
    if (kept.size() == kMaxDeltasPerFile) return QStringLiteral("more than %1 deltas").arg(kMaxDeltasPerFile);
    return QString();
}

// The usable <delta> children of `e` into `entry`; the others are left out with a note. Deltas
// need the file's own sha256 and size: the rebuilt file is checked against them like any download.
void readDeltas(const QDomElement& e, bool requireDigests, FileEntry* entry, QStringList* notes)
{
    const QDomNodeList children = e.elementsByTagName(QStringLiteral("delta"));
    if (children.isEmpty()) return;
    if (entry->sha256.isEmpty() || entry->size < 0) {
        notes->append(QStringLiteral("ignored the deltas of %1: the file has no sha256 and size to check them by")
                          .arg(quotedName(entry->name)));
        return;
    }
    for (int i = 0; i < children.count(); ++i) {
        const QDomElement d = children.item(i).toElement();
        const QString problem = deltaProblem(d, *entry, entry->deltas, requireDigests);
        if (!problem.isEmpty()) {
            notes->append(QStringLiteral("ignored a delta of %1: %2").arg(quotedName(entry->name), problem));
            continue;
        }
        DeltaSource delta;
        delta.from = d.attribute(QStringLiteral("from")).trimmed().toLower();
        delta.url = d.attribute(QStringLiteral("url"));
        delta.sha256 = d.attribute(QStringLiteral("sha256")).trimmed().toLower();
        delta.size = sizeOf(d);
        entry->deltas.append(delta);
    }
}

// The download that the checked <file> element `e` asks for at `target`.
FileEntry downloadEntry(const QDomElement& e, const QString& target, bool requireDigests, QStringList* notes)
{
    FileEntry entry;
    entry.url = e.attribute(QStringLiteral("url"));
    entry.dist = target;
    entry.name = e.attribute(QStringLiteral("dist"));
    entry.sha256 = e.attribute(QStringLiteral("sha256")).trimmed();
    entry.size = sizeOf(e);
    entry.encoding = e.attribute(QStringLiteral("encoding"));
    readDeltas(e, requireDigests, &entry, notes);
    return entry;
}

// ---- The document

// The <files> element of `body`, or a null element; a list that is nested too deep or not
// well-formed is refused into `result`.
QDomElement filesElement(const QByteArray& body, QDomDocument* doc, FileListResult* result)
{
    if (xmlNestingDepth(body, kMaxFileListDepth) > kMaxFileListDepth) {
        result->refused = true;
        result->notes.append(QStringLiteral("file list refused: it nests deeper than %1 levels").arg(kMaxFileListDepth));
        return QDomElement();
    }
    QString parseError;
    int line = 0;
    if (!doc->setContent(body, false, &parseError, &line)) {
        result->refused = true;
        result->notes.append(QStringLiteral("file list refused: not well-formed XML (line %1: %2)").arg(line).arg(parseError));
        return QDomElement();
    }
    if (doc->documentElement().tagName() == QLatin1String("files")) return doc->documentElement();
    return doc->elementsByTagName(QStringLiteral("files")).item(0).toElement();
}

// ---- The entries together

// One reading of a list: each entry is asked of the path policy about its own target, then
// held against the entries read before it; what the kept removals leave in the way is
// refused at the end.
class ListReader
{
public:
    ListReader(const QString& baseFolder, const QString& ownFileName, bool requireDigests, FileListResult* result,
               const QStringList& namedRemovals)
        : m_base(baseFolder), m_own(ownFileName), m_requireDigests(requireDigests), m_result(result),
          m_updaterFiles(baseFolder, ownFileName), m_namedRemovals(namedRemovals), m_named(baseFolder, namedRemovals)
    {
    }

    void readFile(const QDomElement& e);
    void readRemoval(const QDomElement& e);
    void refuseWhatStandsInTheWay();

private:
    void refuse(const QString& what, const QString& value, const QString& why)
    {
        m_result->rejected.append(value);
        m_result->notes.append(QStringLiteral("skipped %1 %2: %3").arg(what, quotedName(value), why));
    }
    QString targetPathProblem(const QString& dist, const QString& target, bool folder, bool own) const;
    QString removalPathProblem(const QString& dist, const QString& path) const;
    QString claimProblem(const QString& target, bool folder);
    QString releaseConflict(const QString& path, bool isFile) const;
    QString removalConflict(const QString& dist, const QString& path, bool* skip);
    QString inThePlace(const QString& target, bool isFile, const pathpolicy::Removals& removals) const;
    QString blocked(const QString& target, const pathpolicy::Removals& removals) const;

    // Whether one of the list's removals, kept or not, would take `target` away.
    bool takenAway(const QString& target) const { return !isAnyLink(target) && m_named.holding(target).index >= 0; }
    // Whether `target` is an existing folder that one of the list's removals names itself.
    bool replacesRemovedFolder(const QString& target) const
    {
        if (isAnyLink(target) || !QFileInfo(target).isDir()) return false;
        const int i = m_named.holding(target).index;
        return i >= 0 && sameName(m_namedRemovals.at(i), target);
    }

    const QString m_base;
    const QString m_own;
    const bool m_requireDigests;
    FileListResult* const m_result;
    const pathpolicy::UpdaterFiles m_updaterFiles;
    // What the list removes may give way to something else of the release: a removed folder to
    // a file, a removed file to a folder (the removal moves it into the backup first). Whether a
    // removal is kept is decided later; what it would not take away is refused at the end.
    const QStringList m_namedRemovals;
    const pathpolicy::Removals m_named;
    QSet<QString> m_claimedNames;  // nameKey() of every target an entry named first
    pathpolicy::PathSet m_listed;  // the targets accepted so far
    pathpolicy::PathSet m_removed;  // the removals kept so far
};

// Why the target of a <file> element cannot be placed where it says, as the path policy sees
// it, or "".
QString ListReader::targetPathProblem(const QString& dist, const QString& target, bool folder, bool own) const
{
    QString problem = pathpolicy::windowsAliasProblem(dist);
    if (problem.isEmpty()) problem = pathpolicy::unplaceableProblem(target, folder);
    if (problem.isEmpty() && !own) problem = m_updaterFiles.placeProblem(target);
    if (problem.isEmpty()) problem = pathpolicy::linkProblem(m_base, target, false);
    return problem;
}

QString ListReader::removalPathProblem(const QString& dist, const QString& path) const
{
    QString problem = pathpolicy::windowsAliasProblem(dist);
    if (problem.isEmpty()) problem = pathpolicy::unplaceableProblem(path, false);
    if (problem.isEmpty()) problem = m_updaterFiles.removalProblem(path);
    if (problem.isEmpty()) problem = pathpolicy::linkProblem(m_base, path, true);
    return problem;
}

// Why `target` cannot be the place of this entry given the entries before it and what lies in
// the folder, or "".
QString ListReader::claimProblem(const QString& target, bool folder)
{
    // The first entry that names a path claims it before anything in place is looked at:
    // which of two entries counts must not depend on what the folder holds, or a run that
    // finds the folder half-changed would place the other one.
    const QString key = pathpolicy::nameKey(target);
    if (m_claimedNames.contains(key)) return QStringLiteral("it is listed twice");
    m_claimedNames.insert(key);
    if (!folder && QFileInfo(target).isDir() && !takenAway(target)) return QStringLiteral("a folder is in its place");
    if (folder && QFileInfo::exists(target) && !QFileInfo(target).isDir() && !takenAway(target)) {
        return QStringLiteral("a file is in its place");
    }
    if (m_listed.containsFile(target)) return QStringLiteral("it is listed twice");
    return releaseConflict(target, !folder);
}

// A file of the release that would stand on the way to `path`, or that `path` as a file would
// have below it: one of the two cannot be placed.
QString ListReader::releaseConflict(const QString& path, bool isFile) const
{
    for (const FileEntry& d : m_result->downloads) {
        if (isInsideOrSame(path, d.dist) && !sameName(path, d.dist)) {
            return QStringLiteral("it lies below %1, which the list downloads as a file").arg(quotedName(d.name));
        }
        if (isFile && isInsideOrSame(d.dist, path) && !sameName(path, d.dist)) {
            return QStringLiteral("the list downloads %1 below it").arg(quotedName(d.name));
        }
    }
    for (const QString& folder : m_result->folders) {
        if (isFile && isInsideOrSame(folder, path) && !sameName(path, folder)) {
            return QStringLiteral("the list names the folder %1 below it").arg(quotedName(folder));
        }
    }
    return QString();
}

void ListReader::readFile(const QDomElement& e)
{
    const QString dist = e.attribute(QStringLiteral("dist"));
    const QString url = e.attribute(QStringLiteral("url"));
    const bool folder = endsWithSeparator(dist);
    if (!folder && !isAllowedDownloadUrl(url)) {
        m_result->rejected.append(dist);
        m_result->notes.append(QStringLiteral("skipped download of %1 from %2: only http and https are allowed")
                                   .arg(quotedName(dist), quotedName(url)));
        return;
    }
    // Only the exact name: any other spelling that reaches the updater is refused by the policy.
    const bool own = dist == m_own;
    // The running updater cannot overwrite itself: its new copy waits in Updates.
    const QString target = own ? m_updaterFiles.newCopyPath() : pathpolicy::resolveInside(m_base, dist);
    const QString what = folder ? QStringLiteral("folder") : QStringLiteral("download to");
    if (target.isEmpty()) {
        refuse(what, dist, QStringLiteral("unsafe path, it leads outside the updater's folder"));
        return;
    }
    QString problem = targetPathProblem(dist, target, folder, own);
    if (problem.isEmpty() && !folder) problem = digestProblem(e, m_requireDigests);
    if (problem.isEmpty() && !folder) problem = encodingProblem(e);
    if (problem.isEmpty()) problem = claimProblem(target, folder);
    if (!problem.isEmpty()) {
        refuse(what, dist, problem);
        return;
    }
    m_listed.insert(target);
    if (folder) {
        m_result->folders.append(target);
        return;
    }
    m_result->downloads.append(downloadEntry(e, target, m_requireDigests, &m_result->notes));
}

// Why the removal of `path` conflicts with the entries read, or ""; `skip` is set when the
// removal is left out without a refusal.
QString ListReader::removalConflict(const QString& dist, const QString& path, bool* skip)
{
    *skip = false;
    const bool replacedFolder = replacesRemovedFolder(path) && m_listed.containsName(path);
    if (m_listed.containsFile(path) && !replacedFolder) {
        // Not a refusal: the download replaces the file in one step.
        m_result->notes.append(QStringLiteral("kept %1 for its download instead of removing it first").arg(quotedName(dist)));
        *skip = true;
        return QString();
    }
    for (const FileEntry& d : m_result->downloads) {
        if (replacedFolder && sameName(d.dist, path)) continue;
        // (Another spelling of its name; a second hard link of a downloaded file is a name of its own.)
        if (pathrules::sameFile(d.dist, path) && pathrules::nameIdentity(d.dist) == pathrules::nameIdentity(path)) {
            return QStringLiteral("it is another name of a file the list downloads");
        }
    }
    const QFileInfo info(path);
    if (endsWithSeparator(dist) && (isAnyLink(path) || !info.isDir())) {
        if (info.exists() || isAnyLink(path)) {
            m_result->notes.append(QStringLiteral("kept %1: it names a folder, and no folder is there").arg(quotedName(dist)));
        }
        *skip = true;
        return QString();
    }
    // Nothing to remove, or the same name again.
    *skip = (!info.exists() && !isAnyLink(path)) || m_removed.containsName(path);
    if (*skip) return QString();
    // Another name of a path already removed (an 8.3 short name, a hard link) would be gone
    // by the time the commit moved it, and the commit would fail on it at every start.
    if (m_removed.containsFile(path)) return QStringLiteral("it is another name of a path the list already removes");
    return QString();
}

void ListReader::readRemoval(const QDomElement& e)
{
    const QString dist = e.attribute(QStringLiteral("dist"));
    const QString what = QStringLiteral("removal of");
    const QString path = pathpolicy::resolveInside(m_base, dist);
    if (path.isEmpty()) {
        refuse(what, dist, QStringLiteral("unsafe path, it leads outside the updater's folder"));
        return;
    }
    bool skip = false;
    QString problem = removalPathProblem(dist, path);
    if (problem.isEmpty()) problem = removalConflict(dist, path, &skip);
    if (!problem.isEmpty()) {
        refuse(what, dist, problem);
        return;
    }
    if (skip) return;
    m_removed.insert(path);
    m_result->removals.append(path);
}

// A folder in a download's place, or a file in a folder's, must be one that the kept removals
// take away.
QString ListReader::inThePlace(const QString& target, bool isFile, const pathpolicy::Removals& removals) const
{
    if (removals.holding(target).index >= 0) return QString();
    if (isFile && QFileInfo(target).isDir()) return QStringLiteral("a folder is in its place, and the list does not remove it");
    if (!isFile && QFileInfo::exists(target) && !QFileInfo(target).isDir()) {
        return QStringLiteral("a file is in its place, and the list does not remove it");
    }
    return QString();
}

QString ListReader::blocked(const QString& target, const pathpolicy::Removals& removals) const
{
    const QString file = pathpolicy::blockingFileOnTheWay(m_base, target, removals);
    return file.isEmpty() ? QString()
                          : QStringLiteral("the file %1 stands on its way, and the list does not remove it")
                                .arg(quotedName(QDir(QDir::cleanPath(m_base)).relativeFilePath(file)));
}

// A file on the way to a target can only give way when the list removes it; otherwise the
// commit could not place the target, and would fail on it at every start.
void ListReader::refuseWhatStandsInTheWay()
{
    const pathpolicy::Removals removals(m_base, m_result->removals);
    for (int i = m_result->downloads.size() - 1; i >= 0; --i) {
        const FileEntry& d = m_result->downloads.at(i);
        QString problem = inThePlace(d.dist, true, removals);
        if (problem.isEmpty()) problem = blocked(d.dist, removals);
        if (problem.isEmpty()) continue;
        refuse(QStringLiteral("download to"), d.name, problem);
        m_result->downloads.removeAt(i);
    }
    for (int i = m_result->folders.size() - 1; i >= 0; --i) {
        QString problem = inThePlace(m_result->folders.at(i), false, removals);
        if (problem.isEmpty()) problem = blocked(m_result->folders.at(i), removals);
        if (problem.isEmpty()) continue;
        refuse(QStringLiteral("folder"), QDir(QDir::cleanPath(m_base)).relativeFilePath(m_result->folders.at(i)) + QLatin1Char('/'),
               problem);
        m_result->folders.removeAt(i);
    }
}

}  // namespace

FileListResult readFileList(const QByteArray& body, const QString& baseFolder, const QString& ownFileName,
                            bool requireDigests)
{
    FileListResult result;
    QDomDocument doc;
    const QDomElement files = filesElement(body, &doc, &result);
    if (files.isNull()) return result;

    const QDomNodeList fileNodes = files.elementsByTagName(QStringLiteral("file"));
    const QDomNodeList removeNodes = files.elementsByTagName(QStringLiteral("remove"));
    result.entries = removeNodes.count() + fileNodes.count();
    QStringList namedRemovals;
    for (int i = 0; i < removeNodes.count(); ++i) {
        const QString path = pathpolicy::resolveInside(baseFolder, removeNodes.item(i).toElement().attribute(QStringLiteral("dist")));
        if (!path.isEmpty()) namedRemovals.append(path);
    }
    ListReader reader(baseFolder, ownFileName, requireDigests, &result, namedRemovals);
    for (int i = 0; i < fileNodes.count(); ++i) reader.readFile(fileNodes.item(i).toElement());
    for (int i = 0; i < removeNodes.count(); ++i) reader.readRemoval(removeNodes.item(i).toElement());
    reader.refuseWhatStandsInTheWay();
    return result;
}

#include "list/pathpolicy.h"

#include "log/quotedname.h"
#include "log/updatelog.h"
#include "platform/path_rules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace pathpolicy {

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
                return QStringLiteral("the name %1 holds %2, which Windows refuses in names").arg(quotedName(part), quotedName(QString(c)));
            }
        }
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' '))) {
            return QStringLiteral("the name %1 ends in a dot or a blank").arg(quotedName(part));
        }
        // "CON", "con.txt" and "CON .log" all open the console device on Windows.
        QString stem = part.section(QLatin1Char('.'), 0, 0);
        while (stem.endsWith(QLatin1Char(' '))) stem.chop(1);
        if (device.match(stem).hasMatch()) {
            return QStringLiteral("the name %1 is a Windows device").arg(quotedName(part));
        }
    }
    return QString();
}

bool isPresent(const QString& path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

QString linkOnTheWay(const QString& baseFolder, const QString& path, bool lastMayBeLink)
{
    const QString rel = QDir(baseFolder).relativeFilePath(path);
    if (path.isEmpty() || rel.isEmpty() || rel == QLatin1String("..") || rel.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(rel)) {
        return QStringLiteral("%1 is outside the updater's folder").arg(quotedName(path));
    }
    // Any reparse point counts, also a junction that Qt does not take for a link.
    const QString at = pathrules::reparsePointOnTheWay(baseFolder, path, lastMayBeLink);
    if (!at.isEmpty()) return QStringLiteral("%1 is now a link").arg(quotedName(QDir(baseFolder).relativeFilePath(at)));
    return QString();
}

bool isAnyLink(const QString& path)
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
        if (isAnyLink(existing)) return false;  // a dangling link: where it leads is unknown
        const QString parent = QFileInfo(existing).path();
        if (parent == existing) return false;
        existing = parent;
    }
    return isInsideOrSame(QFileInfo(existing).canonicalFilePath(), canonicalBase);
}

QString linkProblem(const QString& baseFolder, const QString& path, bool lastPartMayBeLink)
{
    if (!lastPartMayBeLink && isAnyLink(path)) return QStringLiteral("the target is a link");
    // Qt resolves no junction in the middle of a path, so the check below could not see one.
    const QString point = pathrules::reparsePointOnTheWay(baseFolder, path, true);
    if (!point.isEmpty()) {
        return QStringLiteral("%1 on the way is a link or junction").arg(quotedName(QDir(baseFolder).relativeFilePath(point)));
    }
    if (!staysInsideThroughLinks(baseFolder, QFileInfo(path).path())) {
        return QStringLiteral("a link on the way leads outside the updater's folder");
    }
    return QString();
}

Qt::CaseSensitivity nameCase()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

QString windowsOpenedSpelling(const QString& path)
{
    static const QRegularExpression selfStream(QStringLiteral(":(\\$I30)?:\\$INDEX_ALLOCATION$|::\\$DATA$"),
                                               QRegularExpression::CaseInsensitiveOption);
    QStringList parts = path.split(QLatin1Char('/'));
    for (QString& part : parts) {
        // "a::$DATA::$DATA" is no name Windows opens, but dropping each suffix costs nothing.
        for (QRegularExpressionMatch m = selfStream.match(part); m.hasMatch() && m.capturedStart() > 0; m = selfStream.match(part)) {
            part.truncate(m.capturedStart());
        }
        int end = part.size();
        while (end > 0 && (part.at(end - 1) == QLatin1Char('.') || part.at(end - 1) == QLatin1Char(' '))) --end;
        if (end > 0) part.truncate(end);  // "." and ".." stay as they are
    }
    return parts.join(QLatin1Char('/'));
}

#ifdef Q_OS_WIN
namespace {
// Whether windowsOpenedSpelling() could change `path`: a stream suffix, or a part that ends in a
// dot or a blank. Most paths have neither, and names are compared often (each list entry with
// every earlier one).
bool mayOpenOtherwise(const QString& path)
{
    return path.contains(QLatin1Char(':')) || path.contains(QLatin1String("./")) || path.contains(QLatin1String(" /")) ||
           path.endsWith(QLatin1Char('.')) || path.endsWith(QLatin1Char(' '));
}
}  // namespace
#endif

bool sameName(const QString& a, const QString& b)
{
#ifdef Q_OS_WIN
    if (!mayOpenOtherwise(a) && !mayOpenOtherwise(b)) return a.compare(b, Qt::CaseInsensitive) == 0;
    return windowsOpenedSpelling(a).compare(windowsOpenedSpelling(b), Qt::CaseInsensitive) == 0;
#else
    return a == b;
#endif
}

QString nameKey(const QString& path)
{
#ifdef Q_OS_WIN
    return (mayOpenOtherwise(path) ? windowsOpenedSpelling(path) : path).toCaseFolded();
#else
    return path;
#endif
}

bool isInsideOrSame(const QString& path, const QString& folder)
{
#ifdef Q_OS_WIN
    const QString p = mayOpenOtherwise(path) ? windowsOpenedSpelling(path) : path;
    const QString f = mayOpenOtherwise(folder) ? windowsOpenedSpelling(folder) : folder;
#else
    const QString &p = path, &f = folder;
#endif
    return sameName(p, f) || p.startsWith(f.endsWith(QLatin1Char('/')) ? f : f + QLatin1Char('/'), nameCase());
}

QString unplaceableProblem(const QString& path, bool folder)
{
    const QString clean = QDir::cleanPath(path);
    for (const QString& part : clean.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
#ifdef Q_OS_WIN
        const int length = part.size();
#else
        const int length = QFile::encodeName(part).size();
#endif
        if (length > 255) return QStringLiteral("a name in it is longer than 255, more than file systems take");
    }
#ifdef Q_OS_WIN
    const int limit = folder ? 247 : 259;
    if (clean.size() > limit) {
        return QStringLiteral("its path is %1 characters long, more than the %2 Windows takes").arg(clean.size()).arg(limit);
    }
#else
    Q_UNUSED(folder);
    if (QFile::encodeName(clean).size() > 4095) return QStringLiteral("its path is longer than this system takes");
#endif
    return QString();
}

void PathSet::insert(const QString& path)
{
    m_names.insert(nameKey(path));
    const QString id = pathrules::nameIdentity(path);
    if (!id.isEmpty()) m_identities.insert(id);
}

bool PathSet::containsName(const QString& path) const
{
    return m_names.contains(nameKey(path));
}

bool PathSet::containsFile(const QString& path) const
{
    if (containsName(path)) return true;
    const QString id = pathrules::nameIdentity(path);
    return !id.isEmpty() && m_identities.contains(id);
}

UpdaterFiles::UpdaterFiles(const QString& baseFolder, const QString& ownFileName)
    : m_base(QDir::cleanPath(baseFolder)), m_ownFileName(ownFileName)
{
    auto own = [this](const QString& relative) {
        const QString path = m_base + QLatin1Char('/') + relative;
        return Own{path, pathrules::fileIdentity(path)};
    };
    m_config = own(QLatin1String(kConfigFolder));
    m_updates = own(QLatin1String(kUpdatesFolder));
    for (const QString& folder : {QString::fromLatin1(kConfigFolder), QString::fromLatin1(kUpdatesFolder)}) {
        for (QString holder = QFileInfo(folder).path(); holder != QLatin1String("."); holder = QFileInfo(holder).path()) {
            bool known = false;
            for (const Own& h : m_holders) known = known || h.path == m_base + QLatin1Char('/') + holder;
            if (!known) m_holders.append(own(holder));
        }
    }
    if (!ownFileName.isEmpty()) m_files.append(own(ownFileName));
    m_files.append(own(QLatin1String(kUpdateLogName)));
}

QString UpdaterFiles::newCopyPath() const
{
    return m_updates.path + QLatin1Char('/') + m_ownFileName;
}

QString UpdaterFiles::identity(const QString& path) const
{
    auto cached = m_identities.constFind(path);
    if (cached != m_identities.constEnd()) return cached.value();
    const QString id = pathrules::fileIdentity(path);
    m_identities.insert(path, id);
    return id;
}

QStringList UpdaterFiles::way(const QString& path) const
{
    QStringList out;
    const QString clean = QDir::cleanPath(path);
    if (!clean.startsWith(m_base + QLatin1Char('/'))) return out;
    QList<const Own*> owns{&m_config, &m_updates};
    for (const Own& h : m_holders) owns.append(&h);
    for (const Own& f : m_files) owns.append(&f);
    QString written = m_base, spelled = m_base;
    for (const QString& part : clean.mid(m_base.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
#ifdef Q_OS_WIN
        // Asked in the spelling Windows opens: a stream suffix or a trailing dot is the part itself.
        written += QLatin1Char('/') + windowsOpenedSpelling(part);
#else
        written += QLatin1Char('/') + part;
#endif
        spelled += QLatin1Char('/') + part;
        // An existing part that is one of the updater's own entries is spelled as that entry,
        // so that what lies below it compares by name as well.
        const QString id = identity(written);
        for (const Own* own : owns) {
            if (!id.isEmpty() && own->identity == id) {
                spelled = own->path;
                break;
            }
        }
        out.append(spelled);
    }
    return out;
}

QString UpdaterFiles::placeProblem(const QString& target) const
{
    const QString folders = QStringLiteral("it would change the updater's own folders");
    const QStringList parts = way(target);
    if (parts.isEmpty()) return QString();
    for (const QString& at : parts) {
        if (sameName(at, m_config.path) || sameName(at, m_updates.path)) return folders;
    }
    for (const Own& holder : m_holders) {
        if (sameName(parts.last(), holder.path)) return folders;
    }
    for (const Own& file : m_files) {
        if (sameName(parts.last(), file.path)) return QStringLiteral("it is the updater's own file %1").arg(quotedName(QFileInfo(file.path).fileName()));
    }
    return QString();
}

QString UpdaterFiles::removalProblem(const QString& path) const
{
    const QString folders = QStringLiteral("it would change the updater's own folders");
    const QStringList parts = way(path);
    if (parts.isEmpty()) return QString();
    for (const QString& at : parts) {
        if (sameName(at, m_updates.path)) return folders;
    }
    if (sameName(parts.last(), m_config.path)) return folders;
    for (const Own& holder : m_holders) {
        if (sameName(parts.last(), holder.path)) return folders;
    }
    for (const Own& file : m_files) {
        if (sameName(parts.last(), file.path)) return QStringLiteral("it is the updater's own file %1").arg(quotedName(QFileInfo(file.path).fileName()));
    }
    return QString();
}

QString firstFileOnTheWay(const QString& baseFolder, const QString& path)
{
    const QString base = QDir::cleanPath(baseFolder);
    QStringList parts = QDir(base).relativeFilePath(QDir::cleanPath(path)).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!parts.isEmpty()) parts.removeLast();
    QString current = base;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        const QFileInfo info(current);
        if (!info.exists() && !info.isSymLink()) return QString();  // nothing stands below a missing part
        if (!info.isDir()) return current;
    }
    return QString();
}

Removals::Removals(const QString& baseFolder, const QStringList& removals)
    : m_base(QDir::cleanPath(baseFolder)), m_paths(removals)
{
    for (int i = 0; i < removals.size(); ++i) {
        if (!QFileInfo(removals.at(i)).isDir()) continue;
        const QString id = pathrules::fileIdentity(removals.at(i));
        if (!id.isEmpty()) m_identities.append(qMakePair(id, i));
    }
}

Removals::Hold Removals::holding(const QString& path) const
{
    Hold hold;
    for (QString at = QDir::cleanPath(path); at.size() > m_base.size() && isInsideOrSame(at, m_base); at = QFileInfo(at).path()) {
        for (int i = 0; i < m_paths.size(); ++i) {
            if (sameName(at, m_paths.at(i))) {
                hold.index = i;
                hold.at = at;
                return hold;
            }
        }
        if (m_identities.isEmpty() || !QFileInfo(at).isDir()) continue;
        const QString id = pathrules::fileIdentity(at);
        for (const auto& removed : m_identities) {
            if (!id.isEmpty() && removed.first == id) {
                hold.index = removed.second;
                hold.at = at;
                return hold;
            }
        }
    }
    return hold;
}

QString blockingFileOnTheWay(const QString& baseFolder, const QString& target, const Removals& removals)
{
    const QString file = firstFileOnTheWay(baseFolder, target);
    return file.isEmpty() || removals.holding(file).index >= 0 ? QString() : file;
}

}  // namespace pathpolicy

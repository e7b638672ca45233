#include "list/pathpolicy.h"

#include "list/filelist.h"
#include "platform/path_rules.h"
#include "log/updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace pathpolicy {

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

QString fileOnTheWay(const QString& baseFolder, const QString& path)
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

QString fileInTheWay(const QString& baseFolder, const QString& target, const Removals& removals)
{
    const QString file = fileOnTheWay(baseFolder, target);
    return file.isEmpty() || removals.holding(file).index >= 0 ? QString() : file;
}

}  // namespace pathpolicy

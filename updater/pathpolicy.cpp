#include "pathpolicy.h"

#include "platform/path_rules.h"

#include <QDir>
#include <QFileInfo>

namespace pathpolicy {

Qt::CaseSensitivity nameCase()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, nameCase()) == 0;
}

bool isInsideOrSame(const QString& path, const QString& folder)
{
    return sameName(path, folder) ||
           path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'), nameCase());
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

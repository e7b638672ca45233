#include "download/partialstore.h"

#include "download/resumereply.h"
#include "list/pathpolicy.h"
#include "list/updaterfolders.h"
#include "platform/append_file.h"
#include "platform/folder_flush.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"
#include "platform/write_back.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>

namespace {

const char kPartSuffix[] = ".part";
const char kInfoSuffix[] = ".info";
// An info file is a few hundred bytes; anything larger was not written by the updater.
const qint64 kMaxInfoBytes = 16 * 1024;

bool isKeyName(const QString& name)
{
    static const QRegularExpression key(QStringLiteral("^[0-9a-f]{64}$"));
    return key.match(name).hasMatch();
}

// The info's text, or an empty array when it is missing, too large or not a plain file.
QByteArray readInfo(const QString& path)
{
    QFile file;
    if (!openRegularForReading(file, path) || file.size() > kMaxInfoBytes) return QByteArray();
    return file.read(kMaxInfoBytes);
}

}  // namespace

QByteArray writePartInfo(const QString& url, qint64 size, const QByteArray& validator)
{
    return "url " + url.toUtf8() + "\nsize " + QByteArray::number(size) + "\nvalidator " + validator + "\n";
}

bool readPartInfo(const QByteArray& text, QString* url, qint64* size, QByteArray* validator)
{
    if (!text.endsWith('\n')) return false;
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    if (lines.size() != 3 || !lines.at(0).startsWith("url ") || !lines.at(1).startsWith("size ") ||
        !lines.at(2).startsWith("validator ")) {
        return false;
    }
    bool ok = false;
    const QByteArray sizeText = lines.at(1).mid(5);
    const qint64 s = sizeText.toLongLong(&ok);
    if (!ok || s < 0 || QByteArray::number(s) != sizeText) return false;
    const QByteArray v = lines.at(2).mid(10);
    // Sent back in a header: only what a reply's validator could have been.
    if (!isSendableValidator(v)) return false;
    *url = QString::fromUtf8(lines.at(0).mid(4));
    *size = s;
    *validator = v;
    return true;
}

PartialStore::PartialStore(const QString& baseFolder)
    : m_base(baseFolder),
      m_folder(baseFolder + QLatin1Char('/') + QLatin1String(kUpdatesFolder) + QLatin1Char('/') + QLatin1String(kPartialFolderName))
{
}

bool PartialStore::folderUsable() const
{
    // A link above the folder (Application, Updates) could carry every write elsewhere: then
    // nothing is kept. One standing as the folder itself, or a file there, goes itself.
    if (!pathrules::reparsePointOnTheWay(m_base, m_folder, true).isEmpty()) return false;
    if (pathpolicy::isAnyLink(m_folder) || (QFileInfo::exists(m_folder) && !QFileInfo(m_folder).isDir())) {
        if (!pathrules::removeTreeNoFollow(m_folder)) return false;
    }
    return QDir().mkpath(m_folder) && !pathpolicy::isAnyLink(m_folder) && QFileInfo(m_folder).isDir();
}

QString partKey(const QString& sha256, const QString& url)
{
    const QByteArray both = sha256.trimmed().toLower().toUtf8() + '\n' + url.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(both, QCryptographicHash::Sha256).toHex());
}

HeldPart PartialStore::held(const QString& sha256, const QString& url, qint64 size) const
{
    HeldPart part;
    const QString key = partKey(sha256, url);
    if (!isKeyName(sha256.trimmed().toLower()) || size < 0 || !folderUsable()) return part;
    part.usable = true;
    part.partPath = m_folder + QLatin1Char('/') + key + QLatin1String(kPartSuffix);
    part.infoPath = m_folder + QLatin1Char('/') + key + QLatin1String(kInfoSuffix);
    QString keptUrl;
    qint64 keptSize = -1;
    QByteArray validator;
    const QFileInfo bytes(part.partPath);
    const bool fits = !pathpolicy::isAnyLink(part.partPath) && bytes.isFile() &&
                      readPartInfo(readInfo(part.infoPath), &keptUrl, &keptSize, &validator) &&
                      keptUrl == url && keptSize == size && bytes.size() <= size;
    if (!fits) {
        dropPart(part);
        return part;
    }
    part.bytes = bytes.size();
    part.validator = validator;
    return part;
}

void PartialStore::keepOnly(const QSet<QString>& keys) const
{
    if (!pathrules::reparsePointOnTheWay(m_base, m_folder, true).isEmpty()) return;
    if (pathpolicy::isAnyLink(m_folder) || !QFileInfo(m_folder).isDir()) {
        clear();
        return;
    }
    const QStringList names = QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString key = name.section(QLatin1Char('.'), 0, 0);
        const QString suffix = name.mid(key.size());
        const bool ours = (suffix == QLatin1String(kPartSuffix) || suffix == QLatin1String(kInfoSuffix)) && keys.contains(key);
        if (!ours) pathrules::removeTreeNoFollow(m_folder + QLatin1Char('/') + name);
    }
}

void PartialStore::clear() const
{
    if (!pathrules::reparsePointOnTheWay(m_base, m_folder, true).isEmpty()) return;
    pathrules::removeTreeNoFollow(m_folder);
}

bool recordPartSource(const HeldPart& part, const QString& url, qint64 size, const QByteArray& validator)
{
    if (validator.isEmpty()) {
        pathrules::removeTreeNoFollow(part.infoPath);
        return !QFileInfo::exists(part.infoPath) && !pathpolicy::isAnyLink(part.infoPath);
    }
    const int fd = fileutil::openNoFollow(part.infoPath.toStdString(), true);
    if (fd < 0) return false;
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) return false;
    const QByteArray text = writePartInfo(url, size, validator);
    return file.write(text) == text.size() && file.flush();
}

void dropPart(const HeldPart& part)
{
    if (part.partPath.isEmpty()) return;
    // The info first: bytes without their info are never continued.
    pathrules::removeTreeNoFollow(part.infoPath);
    pathrules::removeTreeNoFollow(part.partPath);
}

bool stagePart(const HeldPart& part, const QString& stagedPath, QString* why)
{
    auto fail = [&](const QString& reason) {
        if (why) *why = reason;
        return false;
    };
    // (Opened only as a regular file with one name, which the part then is.)
    const int fd = fileutil::openNoFollow(nativeFileName(part.partPath), false);
    if (fd < 0) return fail(QStringLiteral("the part kept for %1 is not a file of its own").arg(stagedPath));
    const bool flushed = fileutil::flushData(fd);
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    file.close();
    if (!flushed) return fail(QStringLiteral("cannot flush %1 to disk").arg(part.partPath));
    QString flushWhy;
    if (!flushFolder(QFileInfo(part.partPath).path(), &flushWhy)) return fail(flushWhy);
    if (pathpolicy::isAnyLink(stagedPath) || QFileInfo::exists(stagedPath) || !QDir().rename(part.partPath, stagedPath)) {
        return fail(QStringLiteral("cannot move the download to %1").arg(stagedPath));
    }
    // A second name made between the check and the rename: the staged name goes, the file stays
    // with whoever made it.
    if (!isSoleRegularFile(stagedPath)) {
        QFile::remove(stagedPath);
        return fail(QStringLiteral("the part kept for %1 got a second name").arg(stagedPath));
    }
    if (!flushFolder(QFileInfo(stagedPath).path(), &flushWhy)) return fail(flushWhy);
    pathrules::removeTreeNoFollow(part.infoPath);
    return true;
}

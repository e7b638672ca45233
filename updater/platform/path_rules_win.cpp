// Windows side of the path rules: file attributes, file ids and long names straight from the
// system, without Qt's link handling.
#include "platform/path_rules.h"

#include <QDir>
#include <QStringList>

#include <windows.h>

namespace pathrules {
namespace {

std::wstring nativePath(const QString& path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(path)).toStdWString();
}

DWORD attributes(const QString& path)
{
    return GetFileAttributesW(nativePath(path).c_str());
}

// The path with each existing part's long name: short names expanded for the deepest part
// that exists, the rest appended as written.
QString longSpelling(const QString& path)
{
    QString existing = QDir::cleanPath(path);
    QString rest;
    for (;;) {
        const std::wstring w = nativePath(existing);
        const DWORD n = GetLongPathNameW(w.c_str(), nullptr, 0);
        if (n > 0) {
            std::wstring out(n, L'\0');
            const DWORD got = GetLongPathNameW(w.c_str(), &out[0], n);
            if (got > 0 && got < n) {
                out.resize(got);
                return QDir::fromNativeSeparators(QString::fromStdWString(out)) + rest;
            }
        }
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) return QDir::cleanPath(path);
        rest.prepend(existing.mid(slash));
        existing.truncate(slash);
    }
}

QString comparable(const QString& path)
{
    QString p = QDir::cleanPath(path);
    static const QString unnamedStream = QStringLiteral("::$DATA");
    while (p.endsWith(unnamedStream, Qt::CaseInsensitive)) p.chop(unnamedStream.size());
    return longSpelling(p);
}

struct FileId {
    DWORD volume = 0, high = 0, low = 0;
    DWORD names = 0;  // the file's hard links
    bool valid = false;
};

// No access rights needed; a reparse point is opened itself unless `follow` is set.
FileId fileId(const QString& path, bool follow = false)
{
    FileId id;
    HANDLE h = CreateFileW(nativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        id.volume = info.dwVolumeSerialNumber;
        id.high = info.nFileIndexHigh;
        id.low = info.nFileIndexLow;
        id.names = info.nNumberOfLinks;
        id.valid = true;
    }
    CloseHandle(h);
    return id;
}

bool removeEntry(const std::wstring& path, DWORD attrs)
{
    if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
    return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
}

}  // namespace

bool removeReparsePoint(const QString& path, QString* why);

namespace {

bool removeTree(const std::wstring& path, DWORD attrs)
{
    // A point is removed itself, or left where the system would reach its target instead.
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return removeReparsePoint(QString::fromStdWString(path), nullptr);
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                // Asked again by path: the listing's attributes are not trusted to show the point.
                const std::wstring child = path + L"\\" + name;
                const DWORD childAttrs = GetFileAttributesW(child.c_str());
                removeTree(child, childAttrs == INVALID_FILE_ATTRIBUTES ? found.dwFileAttributes : childAttrs);
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
    }
    return removeEntry(path, attrs);
}

}  // namespace

bool isReparsePoint(const QString& path)
{
    const DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

QString reparsePointOnTheWay(const QString& baseFolder, const QString& path, bool skipLastPart)
{
    const QString base = QDir::cleanPath(baseFolder);
    const QString rel = QDir(base).relativeFilePath(QDir::cleanPath(path));
    QStringList parts = rel.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (skipLastPart && !parts.isEmpty()) parts.removeLast();
    QString current = base;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        const DWORD a = attributes(current);
        if (a == INVALID_FILE_ATTRIBUTES) return QString();  // nothing below a missing part
        if (a & FILE_ATTRIBUTE_REPARSE_POINT) return current;
    }
    return QString();
}

bool removeTreeNoFollow(const QString& path)
{
    const std::wstring w = nativePath(path);
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return true;
    return removeTree(w, a);
}

bool reparsePointRemovable(const QString& path, QString* why)
{
    const DWORD a = attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (why) *why = QStringLiteral("it is no longer a link");
        return false;
    }
    // Where opening the point itself opens its target (Wine 8 with a host link), removing it
    // would remove the target instead: an empty folder goes, and the link stays.
    const FileId self = fileId(path), target = fileId(path, true);
    if (self.valid && target.valid && self.volume == target.volume && self.high == target.high && self.low == target.low) {
        if (why) *why = QStringLiteral("this system reaches only what the link leads to, not the link");
        return false;
    }
    return true;
}

bool removeReparsePoint(const QString& path, QString* why)
{
    if (!reparsePointRemovable(path, why)) return false;
    const std::wstring w = nativePath(path);
    const DWORD a = GetFileAttributesW(w.c_str());
    // A folder link or junction goes with RemoveDirectoryW, which takes the point itself and
    // leaves its target as it is; a file link goes with DeleteFileW.
    if (removeEntry(w, a)) return true;
    if (why) *why = QStringLiteral("Windows error %1").arg(GetLastError());
    return false;
}

bool sameFile(const QString& a, const QString& b)
{
    const FileId ia = fileId(a), ib = fileId(b);
    if (ia.valid && ib.valid) return ia.volume == ib.volume && ia.high == ib.high && ia.low == ib.low;
    const std::wstring wa = comparable(a).toStdWString(), wb = comparable(b).toStdWString();
    return CompareStringOrdinal(wa.c_str(), int(wa.size()), wb.c_str(), int(wb.size()), TRUE) == CSTR_EQUAL;
}

QString fileIdentity(const QString& path)
{
    const FileId id = fileId(path);
    if (!id.valid) return QString();
    return QStringLiteral("%1:%2:%3").arg(id.volume).arg(id.high).arg(id.low);
}

QString nameIdentity(const QString& path)
{
    const FileId id = fileId(path);
    if (!id.valid) return QString();
    const QString identity = QStringLiteral("%1:%2:%3").arg(id.volume).arg(id.high).arg(id.low);
    if (id.names <= 1) return identity;
    // The long spelling, without letter case: an 8.3 short name of one link is that link.
    return identity + QLatin1Char('|') + comparable(path).toCaseFolded();
}

}  // namespace pathrules

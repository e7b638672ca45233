// Symbolic and hard links for the updater's tests, on both builds.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testlinks {

#ifdef Q_OS_WIN
// Wine shows a Unix symbolic link as a reparse point, and Wine 8's CreateSymbolicLinkW makes
// nothing: the link is made by the host's ln, which Wine starts like any program. Empty when
// this is not Wine.
inline QByteArray unixPath(const QString& path)
{
    using ToUnix = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!toUnix) return QByteArray();
    char* p = toUnix(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()));
    const QByteArray out = p ? QByteArray(p) : QByteArray();
    HeapFree(GetProcessHeap(), 0, p);
    return out;
}
#endif

// Makes `link` a symbolic link to `target` (a file or folder, existing or not); true when the
// link exists afterwards.
inline bool makeLink(const QString& target, const QString& link)
{
#ifdef Q_OS_WIN
    const DWORD dir = QFileInfo(target).isDir() ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    CreateSymbolicLinkW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(link).utf16()),
                        reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(target).utf16()), dir | 0x2);
    if (GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(link).utf16())) == INVALID_FILE_ATTRIBUTES) {
        const QByteArray from = unixPath(target), to = unixPath(link);
        if (from.isEmpty() || to.isEmpty()) return false;
        std::wstring command = QStringLiteral("/bin/ln -s \"%1\" \"%2\"").arg(QString::fromUtf8(from), QString::fromUtf8(to)).toStdWString();
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return false;
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        for (int i = 0; i < 100 && GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(link).utf16())) ==
                                       INVALID_FILE_ATTRIBUTES; ++i) {
            Sleep(20);
        }
    }
    const DWORD a = GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(link).utf16()));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    return QFile::link(target, link);
#endif
}

// Makes `link` another name of the existing file `target` (a hard link); true when it worked.
inline bool makeHardLink(const QString& target, const QString& link)
{
#ifdef Q_OS_WIN
    return CreateHardLinkW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(link).utf16()),
                           reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(target).utf16()), nullptr);
#else
    return ::link(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
#endif
}

}  // namespace testlinks

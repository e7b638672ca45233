// Windows side of the replacement: MoveFileExW, retried while the target is in use.
#include "platform/file_replace.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <windows.h>

namespace {

bool inUse(DWORD error)
{
    // A file opened without FILE_SHARE_DELETE by someone else: Windows says 32 or 5, Wine 5.
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

QString systemText(DWORD error)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s = text ? QString::fromWCharArray(text).trimmed() : QString();
    LocalFree(text);
    return s;
}

}  // namespace

bool replaceFileRetrying(const QString& source, const QString& target, QString* error)
{
    const std::wstring from = QDir::toNativeSeparators(source).toStdWString();
    const std::wstring to = QDir::toNativeSeparators(target).toStdWString();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD code = GetLastError();
        if (!inUse(code) || clock.elapsed() >= kReplaceRetryMs) {
            if (error) {
                *error = QStringLiteral("cannot rename %1 to %2: Windows error %3 (%4)")
                             .arg(QDir::toNativeSeparators(source), QDir::toNativeSeparators(target))
                             .arg(code).arg(systemText(code));
                if (inUse(code)) *error += QStringLiteral(", still in use after %1 s").arg(kReplaceRetryMs / 1000);
            }
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(kReplaceRetryStepMs);
    }
}

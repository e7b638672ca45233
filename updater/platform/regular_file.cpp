#include "platform/regular_file.h"

#include "platform/append_file.h"

std::string nativeFileName(const QString& path)
{
#ifdef Q_OS_WIN
    return path.toUtf8().toStdString();  // the Windows side takes UTF-8
#else
    return QFile::encodeName(path).toStdString();
#endif
}

bool openRegularForReading(QFile& file, const QString& path)
{
    const int fd = fileutil::openRegularForReading(nativeFileName(path));
    if (fd < 0) return false;
    file.setFileName(path);
    return file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

bool isSoleRegularFile(const QString& path)
{
    return fileutil::isSoleRegularFile(nativeFileName(path));
}

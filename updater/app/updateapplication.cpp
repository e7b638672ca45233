#include "app/updateapplication.h"

#include "platform/instance_name.h"
#include "app/update.h"
#include "log/updatelog.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>
#include <QTextStream>

namespace {

// Hands this start's last argument (an empty string without arguments) to whatever listens
// under `name`; false when nothing answered within 500 ms.
bool handOver(const QString& name)
{
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(500)) return false;
    QTextStream stream(&socket);
    const QStringList args = QCoreApplication::arguments();
    stream << (args.size() < 2 ? QString() : args.last());
    stream.flush();
    socket.waitForBytesWritten(30000);
    return true;
}

}  // namespace

UpdateApplication::UpdateApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    QGuiApplication::setQuitOnLastWindowClosed(true);
    const QString name = singleInstanceName(QCoreApplication::applicationName());

    // The folder's lock decides who updates it, whoever started the updaters and whatever
    // listens under the per-user name: a later start on a locked folder only hands over.
    update = new Update(nullptr);
    QString why;
    if (update->lockFolder(&why) == FolderLock::Result::Busy) {
        delete update;
        update = nullptr;
        handOver(name);
        appendUpdateLog(QCoreApplication::applicationDirPath(),
                        QStringList{QStringLiteral("another updater is already updating this folder: this start changes nothing")});
        return;
    }
    // Something else answers under the name (an updater of another folder, or a program that
    // took the name first): this updater goes on all the same, it just does not listen.
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(500)) {
        probe.abort();
        return;
    }
    localServer = new QLocalServer(this);
    if (!listenForLaterStarts(*localServer, name) && localServer->serverError() == QAbstractSocket::AddressInUseError) {
        // Nobody answered on that name, so what holds it is left over from an updater that
        // ended abnormally: remove the stale entry (its full path, not the bare name) and retry.
        QLocalServer::removeServer(name);
        listenForLaterStarts(*localServer, name);
    }
}

UpdateApplication::~UpdateApplication()
{
    if (localServer) localServer->deleteLater();
}

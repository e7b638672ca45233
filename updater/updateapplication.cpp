#include "updateapplication.h"

#include "platform/instance_name.h"
#include "update.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>
#include <QTextStream>

UpdateApplication::UpdateApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    QGuiApplication::setQuitOnLastWindowClosed(true);
    const QString name = singleInstanceName(QCoreApplication::applicationName());

    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (socket.waitForConnected(500)) {
        QTextStream stream(&socket);
        const QStringList args = QCoreApplication::arguments();
        stream << (args.size() < 2 ? QString() : args.last());
        stream.flush();
        socket.waitForBytesWritten(30000);
        return;
    }

    localServer = new QLocalServer(this);
    localServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!localServer->listen(name) && localServer->serverError() == QAbstractSocket::AddressInUseError) {
        // Nobody answered on that name, so what holds it is left over from an updater that
        // ended abnormally: remove the stale entry (its full path, not the bare name) and retry.
        QLocalServer::removeServer(name);
        localServer->listen(name);
    }
    update = new Update(nullptr);
}

UpdateApplication::~UpdateApplication()
{
    if (localServer) localServer->deleteLater();
}

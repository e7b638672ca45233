// POSIX side of the single-instance name: a socket file whose permissions keep other users from
// connecting (the name itself is not reserved: see instance_name.h).
#include "platform/instance_name.h"

#include <QLocalServer>

#include <sys/stat.h>

QString singleInstanceName(const QString& applicationName)
{
    return applicationName;
}

bool listenForLaterStarts(QLocalServer& server, const QString& name)
{
    // bind() creates the socket file with the mode the mask leaves: owner only, at once. The
    // mask is the process's, so it is set back right after; nothing else creates files then.
    server.setSocketOptions(QLocalServer::NoOptions);
    const mode_t saved = umask(077);
    const bool listening = server.listen(name);
    umask(saved);
    return listening;
}

// The name under which the running updater listens for a second start.
#pragma once

#include <QString>

// `applicationName` made private to this user and logon session. On Windows a named pipe lives
// in one namespace for every user and session, so another user could hold the bare name and
// make each updater forward its argument and quit: the name carries the user's SID and the
// session id. Elsewhere the name stays as it is: the socket file lies in the temporary folder,
// and UserAccessOption keeps other users from connecting to it.
QString singleInstanceName(const QString& applicationName);

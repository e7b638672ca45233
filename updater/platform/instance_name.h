// The name under which the running updater listens for a second start.
#pragma once

#include <QString>

// `applicationName` made particular to this user and logon session. On Windows a named pipe
// lives in one namespace for every user and session, so under the bare name the updaters of all
// users and sessions would meet, and a later one would hand its argument to another user's and
// quit: the name carries the user's SID and the session id. That keeps updaters apart; it does
// not reserve the name. The SID and the session id are no secret, so another local user can
// create a pipe of this name before this user's updater starts, and the updater then takes it
// for a running one, hands its argument over and quits without updating. Elsewhere the name
// stays as it is: the socket file lies in the temporary folder, and UserAccessOption keeps other
// users from connecting to this updater's socket, but another user can take the name first there
// too.
QString singleInstanceName(const QString& applicationName);

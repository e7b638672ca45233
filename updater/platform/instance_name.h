// The name under which the running updater listens for a second start.
#pragma once

#include <QString>

class QLocalServer;

// `applicationName` made particular to this user and logon session. On Windows a named pipe
// lives in one namespace for every user and session, so under the bare name the updaters of all
// users and sessions would meet: the name carries the user's SID and the session id. That keeps
// updaters apart; it does not reserve the name. The SID and the session id are no secret, so
// another local user can create a pipe of this name first; which updater works on a folder is
// decided by the folder's lock, not by the name. Elsewhere the name stays as it is: the socket
// file lies in the temporary folder, and its owner-only permissions keep other users from
// connecting to it.
QString singleInstanceName(const QString& applicationName);

// Makes `server` listen under `name` so that only this user can connect. On POSIX the socket is
// bound in its final place with owner-only permissions from the start: Qt's own way (bind in a
// fresh hidden folder of the temporary folder, then rename) leaves that folder behind for good
// when the process is killed between the two. On Windows the pipe carries an access list for
// this user. False when it cannot listen; serverError() says why.
bool listenForLaterStarts(QLocalServer& server, const QString& name);

// Windows side of the single-instance name: the process token's user SID and the session id.
#include "platform/instance_name.h"

#include <QLocalServer>

#include <vector>

#include <windows.h>
#include <sddl.h>

namespace {

QString userSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return QString();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    QString sid;
    wchar_t* text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        sid = QString::fromWCharArray(text);
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

}  // namespace

QString singleInstanceName(const QString& applicationName)
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    // Without a SID the name still differs from the bare one that every user's updater would share.
    const QString sid = userSid();
    return QStringLiteral("%1-%2-%3").arg(applicationName, sid.isEmpty() ? QStringLiteral("unknown-user") : sid)
        .arg(session);
}

bool listenForLaterStarts(QLocalServer& server, const QString& name)
{
    server.setSocketOptions(QLocalServer::UserAccessOption);
    return server.listen(name);
}

#include "download/transferguard.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
int g_stallTimeoutMs = kStallTimeoutMs;
int g_deadlineMs = 0;
}

void TransferGuard::setStallTimeoutMsForTesting(int ms) { g_stallTimeoutMs = ms; }
void TransferGuard::setDeadlineMsForTesting(int ms) { g_deadlineMs = ms; }
int TransferGuard::stallTimeoutMs() { return g_stallTimeoutMs; }
int TransferGuard::deadlineMs(int builtIn) { return g_deadlineMs > 0 ? g_deadlineMs : builtIn; }

void prepareRequest(QNetworkRequest& request)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(g_stallTimeoutMs);
    // Qt asks for gzip by default and inflates whole chunks before any size limit sees them.
    request.setRawHeader("Accept-Encoding", "identity");
}

TransferGuard::TransferGuard(QNetworkReply* reply, int deadlineMs, QObject* parent)
    : QObject(parent), m_reply(reply), m_deadlineMs(deadlineMs)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(deadlineMs);
    connect(&m_timer, SIGNAL(timeout()), this, SLOT(slotDeadline()));
    connect(reply, SIGNAL(finished()), this, SLOT(slotDone()));
    if (!reply->isFinished()) m_timer.start();
}

void TransferGuard::abortFor(const QString& why)
{
    if (m_reply->isFinished() || m_reason != Reason::None) return;
    m_reason = Reason::Refused;
    m_why = why;
    m_reply->abort();
}

void TransferGuard::slotDeadline()
{
    if (m_reply->isFinished() || m_reason != Reason::None) return;
    m_reason = Reason::Deadline;
    m_why = QStringLiteral("not complete after %1 s, giving up").arg(m_deadlineMs / 1000.0);
    m_reply->abort();
}

void TransferGuard::slotDone()
{
    m_timer.stop();
}

TransferGuard::Reason TransferGuard::reason() const
{
    if (m_reason != Reason::None) return m_reason;
    // Qt's own transfer timeout ends a stalled reply as cancelled or timed out.
    const QNetworkReply::NetworkError e = m_reply->error();
    if (m_reply->isFinished() && (e == QNetworkReply::OperationCanceledError || e == QNetworkReply::TimeoutError)) {
        return Reason::Stalled;
    }
    return Reason::None;
}

QString TransferGuard::describe() const
{
    switch (reason()) {
    case Reason::Stalled:
        return QStringLiteral("no data for %1 s, giving up").arg(g_stallTimeoutMs / 1000.0);
    case Reason::Deadline:
    case Reason::Refused:
        return m_why;
    case Reason::None:
        break;
    }
    return m_reply->errorString();
}

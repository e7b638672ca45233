// Time and size limits of one network reply, and the request settings every transfer shares.
#pragma once

#include <QObject>
#include <QTimer>

class QNetworkReply;
class QNetworkRequest;

// How long a transfer may go without receiving a byte before Qt abandons it.
const int kStallTimeoutMs = 30 * 1000;
// Overall deadline of the check request: its body is at most a few MiB, which any working link
// delivers in well under two minutes, however slowly the server trickles it.
const int kCheckDeadlineMs = 2 * 60 * 1000;
// Overall deadline of one file download: the largest file of the application (about 1 GiB)
// over the slowest link still supported (about 300 KiB/s) takes just under an hour.
const int kDownloadDeadlineMs = 60 * 60 * 1000;

// Sets what every request of the updater carries: redirects are never followed (the policy is
// set explicitly, whatever Qt's default), Qt abandons a transfer that stalls, and the body comes
// as it is stored ("Accept-Encoding: identity"), so every limit counts the bytes written.
void prepareRequest(QNetworkRequest& request);

// Watches one reply: aborts it when its overall deadline passes or when the owner calls
// abortFor(); tells afterwards why it ended early. Owned by whoever watches.
class TransferGuard : public QObject
{
    Q_OBJECT
public:
    enum class Reason { None, Stalled, Deadline, Refused };

    TransferGuard(QNetworkReply* reply, int deadlineMs, QObject* parent = nullptr);

    // Ends the transfer now for a reason of the owner's (too large, cannot be written, ...).
    void abortFor(const QString& why);
    // Why the reply ended early (None while it runs or when it finished by itself).
    Reason reason() const;
    // A readable account of reason(), or the reply's own error text.
    QString describe() const;

    // Tests shorten the limits; each applies to the transfers started afterwards.
    static void setStallTimeoutMsForTesting(int ms);
    static void setDeadlineMsForTesting(int ms);  // 0: the built-in deadlines
    static int stallTimeoutMs();
    static int deadlineMs(int builtIn);

public slots:
    void slotDeadline();
    void slotDone();

private:
    QNetworkReply* m_reply;
    QTimer m_timer;
    Reason m_reason = Reason::None;
    QString m_why;
    int m_deadlineMs;
};

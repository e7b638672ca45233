// Ends a network reply that receives nothing for too long.
#pragma once

#include <QObject>
#include <QTimer>

class QNetworkReply;

// Aborts `reply` once no data has arrived for stallTimeoutMs(); the reply then finishes with
// QNetworkReply::OperationCanceledError and timedOut() is true. Owned by whoever watches.
class StallWatch : public QObject
{
    Q_OBJECT
public:
    explicit StallWatch(QNetworkReply* reply, QObject* parent = nullptr);
    bool timedOut() const { return m_timedOut; }

    // How long a transfer may go without receiving a byte: 30 s unless changed (tests shorten it).
    static int stallTimeoutMs();
    static void setStallTimeoutMs(int ms);

public slots:
    void slotActivity();
    void slotExpired();
    void slotDone();

private:
    QNetworkReply* m_reply;
    QTimer m_timer;
    bool m_timedOut = false;
};

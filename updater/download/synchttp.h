// One blocking HTTP request on the GUI thread.
#pragma once

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class TransferGuard;

// Largest check response body that is read: a file list of some thousand entries is far
// smaller; an endless or huge body is abandoned here instead of filling the memory.
const qint64 kMaxCheckBodyBytes = 4 * 1024 * 1024;
// The check reply buffers little more than that (Qt reads whole network chunks, so a margin is
// needed for the buffer to pass the cap at all), and Qt stops reading from the socket there.
const qint64 kCheckReadBufferBytes = kMaxCheckBodyBytes + 256 * 1024;

// Constructing the object sends the request and returns when the reply has finished, or was
// abandoned: after kStallTimeoutMs without data, at kCheckDeadlineMs, or once its body passes
// kMaxCheckBodyBytes. Redirects are not followed. The caller reads `reply`.
class SyncHttp : public QObject
{
    Q_OBJECT
public:
    // `method` is "GET" or "HEAD" in any letter case; other names send nothing and leave
    // `reply` null. The request carries what prepareRequest() sets (no redirects, the stall
    // limit, "Accept-Encoding: identity") and no other header of the program's own.
    SyncHttp(QString method, QUrl url);
    ~SyncHttp() override;

    QNetworkReply* reply = nullptr;

    // True when the reply finished by itself without a network error and with a 2xx status.
    bool succeeded() const;
    bool timedOut() const;
    // Why the request did not succeed, for the log.
    QString failure() const;

public slots:
    void finished();
    void slotReadyRead();

private:
    QNetworkAccessManager* manager = nullptr;
    QEventLoop loop;
    TransferGuard* guard = nullptr;
};

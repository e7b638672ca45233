// One blocking HTTP request on the GUI thread.
#pragma once

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class StallWatch;

// Constructing the object sends the request and returns when the reply has finished (or was
// abandoned after StallWatch::stallTimeoutMs() without data). The caller reads `reply`.
class SyncHttp : public QObject
{
    Q_OBJECT
public:
    // `method` is "GET" or "HEAD" in any letter case; other names send nothing and leave
    // `reply` null. No header or attribute of the program's own is added to the request.
    SyncHttp(QString method, QUrl url);
    ~SyncHttp() override;

    QNetworkReply* reply = nullptr;

    // True when the reply finished successfully: no network error, no HTTP error status,
    // not abandoned for silence.
    bool succeeded() const;
    bool timedOut() const;

public slots:
    void finished();

private:
    QNetworkAccessManager* manager = nullptr;
    QEventLoop loop;
    StallWatch* watch = nullptr;
};

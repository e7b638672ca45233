#include "download/synchttp.h"

#include "download/transferguard.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

SyncHttp::SyncHttp(QString method, QUrl url)
    : QObject(nullptr), manager(new QNetworkAccessManager)
{
    QNetworkRequest request{QUrl()};
    request.setUrl(url);
    prepareRequest(request);
    method = method.toUpper();
    if (method == QLatin1String("GET")) {
        reply = manager->get(request);
    } else if (method == QLatin1String("HEAD")) {
        reply = manager->head(request);
    }
    if (!reply) return;  // nothing was sent, nothing to wait for
    reply->setReadBufferSize(kCheckReadBufferBytes);
    guard = new TransferGuard(reply, TransferGuard::deadlineMs(kCheckDeadlineMs), this);
    connect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    connect(reply, SIGNAL(readyRead()), this, SLOT(slotReadyRead()));
    connect(reply, SIGNAL(metaDataChanged()), this, SLOT(slotReadyRead()));
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeSocketNotifiers);
}

SyncHttp::~SyncHttp()
{
    if (manager) manager->deleteLater();
    if (reply) reply->deleteLater();
}

void SyncHttp::slotReadyRead()
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (reply->bytesAvailable() > kMaxCheckBodyBytes || (length.isValid() && length.toLongLong() > kMaxCheckBodyBytes)) {
        guard->abortFor(QStringLiteral("the response is larger than %1 bytes").arg(kMaxCheckBodyBytes));
    }
}

bool SyncHttp::succeeded() const
{
    if (!reply || !reply->isFinished() || reply->error() != QNetworkReply::NoError) return false;
    if (guard->reason() != TransferGuard::Reason::None) return false;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Only a 2xx answer counts: a redirect or an interim page may carry any header at all.
    return status.isValid() && status.toInt() >= 200 && status.toInt() <= 299;
}

bool SyncHttp::timedOut() const
{
    return guard && (guard->reason() == TransferGuard::Reason::Stalled ||
                     guard->reason() == TransferGuard::Reason::Deadline);
}

QString SyncHttp::failure() const
{
    if (!reply) return QStringLiteral("no request was sent");
    if (guard->reason() != TransferGuard::Reason::None || reply->error() != QNetworkReply::NoError) {
        return guard->describe();
    }
    return QStringLiteral("HTTP status %1").arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
}

void SyncHttp::finished()
{
    loop.exit(0);
}

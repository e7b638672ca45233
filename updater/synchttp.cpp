#include "synchttp.h"

#include "stallwatch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

SyncHttp::SyncHttp(QString method, QUrl url)
    : QObject(nullptr), manager(new QNetworkAccessManager)
{
    QNetworkRequest request{QUrl()};
    request.setUrl(url);
    method = method.toUpper();
    if (method == QLatin1String("GET")) {
        reply = manager->get(request);
    } else if (method == QLatin1String("HEAD")) {
        reply = manager->head(request);
    }
    if (!reply) return;  // nothing was sent, nothing to wait for
    watch = new StallWatch(reply, this);
    connect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeSocketNotifiers);
}

SyncHttp::~SyncHttp()
{
    if (manager) manager->deleteLater();
    if (reply) reply->deleteLater();
}

bool SyncHttp::succeeded() const
{
    return reply && reply->isFinished() && reply->error() == QNetworkReply::NoError && !timedOut();
}

bool SyncHttp::timedOut() const
{
    return watch && watch->timedOut();
}

void SyncHttp::finished()
{
    loop.exit(0);
}

#include "stallwatch.h"

#include <QNetworkReply>

namespace {
int g_stallTimeoutMs = 30000;
}

int StallWatch::stallTimeoutMs() { return g_stallTimeoutMs; }
void StallWatch::setStallTimeoutMs(int ms) { g_stallTimeoutMs = ms; }

StallWatch::StallWatch(QNetworkReply* reply, QObject* parent)
    : QObject(parent), m_reply(reply)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(g_stallTimeoutMs);
    connect(&m_timer, SIGNAL(timeout()), this, SLOT(slotExpired()));
    connect(reply, SIGNAL(metaDataChanged()), this, SLOT(slotActivity()));
    connect(reply, SIGNAL(downloadProgress(qint64,qint64)), this, SLOT(slotActivity()));
    connect(reply, SIGNAL(uploadProgress(qint64,qint64)), this, SLOT(slotActivity()));
    connect(reply, SIGNAL(finished()), this, SLOT(slotDone()));
    if (!reply->isFinished()) m_timer.start();
}

void StallWatch::slotActivity()
{
    if (m_timer.isActive()) m_timer.start();
}

void StallWatch::slotExpired()
{
    if (m_reply && !m_reply->isFinished()) {
        m_timedOut = true;
        qWarning("desktop-updater: no data for %d ms from %s, giving up", g_stallTimeoutMs,
                 qUtf8Printable(m_reply->url().toString()));
        m_reply->abort();
    }
}

void StallWatch::slotDone()
{
    m_timer.stop();
}

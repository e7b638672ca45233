// The blocking check request against a real server on loopback: methods, status, redirects,
// silence, deadline and size cap.
#include "download/synchttp.h"
#include "download/transferguard.h"

#include "support/testserver.h"

#include <QNetworkReply>
#include <QtTest>

namespace {
QUrl url(TestServer& s, const char* path) { return QUrl(QString::fromStdString(s.url(path))); }
}  // namespace

class TestSyncHttp : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TransferGuard::setStallTimeoutMsForTesting(kStallTimeoutMs);
        TransferGuard::setDeadlineMsForTesting(0);
    }

    void getReturnsHeadersAndBodyWhateverTheMethodCase()
    {
        TestServer server;
        TestServer::Response r = TestServer::ok("<files/>");
        r.headers.push_back({"Domvista-Version", "3.1"});
        server.route("/check", r);
        for (const char* method : {"GET", "get", "Get"}) {
            SyncHttp http(QString::fromLatin1(method), url(server, "/check"));
            QVERIFY(http.reply);
            QVERIFY(http.reply->isFinished());
            QVERIFY(http.succeeded());
            QCOMPARE(http.reply->rawHeader("domvista-version"), QByteArray("3.1"));
            QCOMPARE(http.reply->readAll(), QByteArray("<files/>"));
        }
        QCOMPARE(server.requests().size(), size_t(3));
        // No compressed body that Qt would inflate whole before any limit sees it.
        QVERIFY(server.rawRequests().at(0).find("Accept-Encoding: identity\r\n") != std::string::npos);
    }

    void headSendsAHeadRequest()
    {
        TestServer server;
        server.route("/check", TestServer::ok("body"));
        SyncHttp http(QStringLiteral("head"), url(server, "/check"));
        QVERIFY(http.succeeded());
        QVERIFY(server.rawRequests().at(0).rfind("HEAD ", 0) == 0);
    }

    void otherMethodsSendNothingAndReturnAtOnce()
    {
        TestServer server;
        SyncHttp http(QStringLiteral("POST"), url(server, "/check"));
        QVERIFY(http.reply == nullptr);
        QVERIFY(!http.succeeded());
        QTest::qWait(100);
        QVERIFY(server.requests().empty());
    }

    void redirectIsNotFollowed()
    {
        TestServer server;
        TestServer::Response r = TestServer::status(302, "moved");
        r.headers.push_back({"Location", server.url("/elsewhere")});
        server.route("/check", r);
        SyncHttp http(QStringLiteral("GET"), url(server, "/check"));
        QCOMPARE(http.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
        QCOMPARE(server.requests().size(), size_t(1));
    }

    void errorStatusIsNoSuccess()
    {
        TestServer server;
        TestServer::Response r = TestServer::status(500, "oops");
        r.headers.push_back({"Domvista-Version", "9"});
        server.route("/check", r);
        SyncHttp http(QStringLiteral("GET"), url(server, "/check"));
        QVERIFY(http.reply->isFinished());
        QVERIFY(!http.succeeded());
    }

    void silentServerEndsTheWaitAsAFailure_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("never answers") << int(TestServer::Mode::Stall);
        QTest::newRow("stops mid-body") << int(TestServer::Mode::StallBody);
    }
    void silentServerEndsTheWaitAsAFailure()
    {
        QFETCH(int, mode);
        TransferGuard::setStallTimeoutMsForTesting(400);
        TestServer server;
        TestServer::Response r = TestServer::ok(std::string(1000, 'x'));
        r.headers.push_back({"Domvista-Version", "9"});
        r.mode = TestServer::Mode(mode);
        r.dropAfter = 10;
        server.route("/check", r);
        SyncHttp http(QStringLiteral("GET"), url(server, "/check"));
        QVERIFY(http.reply->isFinished());
        QVERIFY(http.timedOut());
        QVERIFY(!http.succeeded());
    }
    void onlyA2xxStatusCounts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("counts");
        for (int status : {301, 302, 303, 307, 308, 304, 404, 500}) {
            QTest::newRow(qPrintable(QString::number(status))) << status << false;
        }
        QTest::newRow("200") << 200 << true;
        QTest::newRow("203") << 203 << true;
    }
    void onlyA2xxStatusCounts()
    {
        QFETCH(int, status);
        QFETCH(bool, counts);
        TestServer server;
        TestServer::Response r = TestServer::status(status, status == 304 ? "" : "<files/>");
        r.headers.push_back({"Domvista-Version", "9"});
        r.headers.push_back({"Location", server.url("/elsewhere")});
        server.route("/check", r);
        server.route("/elsewhere", TestServer::ok("<files/>"));
        SyncHttp http(QStringLiteral("GET"), url(server, "/check"));
        QVERIFY(http.reply->isFinished());
        QCOMPARE(http.succeeded(), counts);
        QCOMPARE(server.requests(), std::vector<std::string>{"/check"});  // never followed
    }

    void endlessOrTricklingBodyIsAbandoned_data()
    {
        QTest::addColumn<int>("chunkDelayMs");
        QTest::addColumn<int>("deadlineMs");
        QTest::newRow("endless, fast: the size cap") << 0 << 0;
        QTest::newRow("endless trickle: the deadline") << 20 << 1500;
    }
    void endlessOrTricklingBodyIsAbandoned()
    {
        QFETCH(int, chunkDelayMs);
        QFETCH(int, deadlineMs);
        TransferGuard::setDeadlineMsForTesting(deadlineMs);
        TestServer server;
        TestServer::Response r = TestServer::ok(std::string(chunkDelayMs ? 100 : 65536, 'x'));
        r.headers.push_back({"Domvista-Version", "9"});
        r.mode = TestServer::Mode::Endless;
        r.chunkDelayMs = chunkDelayMs;
        server.route("/check", r);
        SyncHttp http(QStringLiteral("GET"), url(server, "/check"));
        QVERIFY(http.reply->isFinished());
        QVERIFY(!http.succeeded());
        QVERIFY(http.reply->bytesAvailable() <= kMaxCheckBodyBytes + 1024 * 1024);
        QVERIFY2(http.failure().contains(deadlineMs ? "giving up" : "larger than"), qPrintable(http.failure()));
    }
};

QTEST_MAIN(TestSyncHttp)
#include "test_synchttp.moc"

// The file downloader against a real server on loopback: what replaces the target, and what
// leaves the old file byte for byte.
#include "download/downloader.h"
#include "download/transferguard.h"

#include "support/files.h"
#include "support/links.h"
#include "support/testserver.h"

#include <QtTest>

using namespace testfiles;

namespace {
QUrl url(TestServer& s, const char* path) { return QUrl(QString::fromStdString(s.url(path))); }

// Runs one download to its end; returns how often downloadFinished() was emitted.
int runDownload(Downloader& d)
{
    QSignalSpy spy(&d, SIGNAL(downloadFinished()));
    if (spy.isEmpty()) spy.wait(20000);
    QTest::qWait(50);  // a second emission would arrive here
    return spy.count();
}
}  // namespace

class TestDownloader : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TransferGuard::setStallTimeoutMsForTesting(kStallTimeoutMs);
        TransferGuard::setDeadlineMsForTesting(0);
    }

    void downloadReplacesTheTargetFromItsFirstByte()
    {
        QTemporaryDir dir;
        const QString target = dir.path() + "/app.dll";
        writeFile(target, QByteArray(5000, 'o'));
        QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
        TestServer server;
        server.route("/app.dll", TestServer::ok("new content"));
        Downloader d(url(server, "/app.dll"), target);
        QCOMPARE(runDownload(d), 1);
        QVERIFY(d.committed());
        QCOMPARE(readFile(target), QByteArray("new content"));
#ifndef Q_OS_WIN  // Windows has no execute bit: a file runs by its suffix
        QVERIFY(QFile::permissions(target) & QFile::ExeOwner);  // an executable stays executable
#endif
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"app.dll"});
    }

    void failedDownloadLeavesTheOldFileByteForByte_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<qint64>("size");
        const QString good = sha256Hex(QByteArray(3000, 'n'));
        QTest::newRow("404 page") << 404 << int(TestServer::Mode::Normal) << QString() << qint64(-1);
        QTest::newRow("500 page") << 500 << int(TestServer::Mode::Normal) << QString() << qint64(-1);
        QTest::newRow("redirect") << 301 << int(TestServer::Mode::Normal) << QString() << qint64(-1);
        QTest::newRow("dropped connection") << 200 << int(TestServer::Mode::Drop) << QString() << qint64(-1);
        QTest::newRow("silent mid-body") << 200 << int(TestServer::Mode::StallBody) << QString() << qint64(-1);
        QTest::newRow("never answers") << 200 << int(TestServer::Mode::Stall) << QString() << qint64(-1);
        QTest::newRow("digest differs") << 200 << int(TestServer::Mode::Normal) << QString(64, 'a') << qint64(-1);
        QTest::newRow("size differs") << 200 << int(TestServer::Mode::Normal) << good << qint64(2999);
        QTest::newRow("unreadable size") << 200 << int(TestServer::Mode::Normal) << QString() << qint64(-2);
    }
    void failedDownloadLeavesTheOldFileByteForByte()
    {
        QFETCH(int, status);
        QFETCH(int, mode);
        QFETCH(QString, sha256);
        QFETCH(qint64, size);
        TransferGuard::setStallTimeoutMsForTesting(400);
        QTemporaryDir dir;
        const QString target = dir.path() + "/domvista.exe";
        const QByteArray old = QByteArray("MZ old application ") + QByteArray(1000, '\x01');
        writeFile(target, old);
        TestServer server;
        TestServer::Response r = TestServer::status(status, std::string(3000, 'n'));
        r.mode = TestServer::Mode(mode);
        r.dropAfter = 1500;
        server.route("/domvista.exe", r);
        Downloader d(url(server, "/domvista.exe"), target, sha256, size);
        QCOMPARE(runDownload(d), 1);
        QVERIFY(!d.committed());
        QCOMPARE(readFile(target), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"domvista.exe"});
    }

    void matchingDigestAndSizeAreCommitted()
    {
        QTemporaryDir dir;
        const QString target = dir.path() + "/data.bin";
        const QByteArray content(70000, 'z');
        TestServer server;
        server.route("/data.bin", TestServer::ok(content.toStdString()));
        Downloader d(url(server, "/data.bin"), target, sha256Hex(content).toUpper(), content.size());
        QCOMPARE(runDownload(d), 1);
        QVERIFY(d.committed());
        QCOMPARE(readFile(target), content);
    }

    void unwritableTargetStillFinishes()
    {
        QTemporaryDir dir;
        TestServer server;
        server.route("/x", TestServer::ok("data"));
        Downloader d(url(server, "/x"), dir.path() + "/missing-folder/x");
        QCOMPARE(runDownload(d), 1);
        QVERIFY(!d.committed());
        QVERIFY(!QFileInfo::exists(dir.path() + "/missing-folder"));
        QCOMPARE(server.requests().size(), size_t(1));
    }
    void endlessBodyStopsAtItsDeclaredSizeOrDeadline_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("chunkDelayMs");
        QTest::addColumn<int>("deadlineMs");
        QTest::newRow("past the declared size") << qint64(5000) << 0 << 0;
        QTest::newRow("trickle past the deadline") << qint64(-1) << 20 << 1500;
    }
    void endlessBodyStopsAtItsDeclaredSizeOrDeadline()
    {
        QFETCH(qint64, size);
        QFETCH(int, chunkDelayMs);
        QFETCH(int, deadlineMs);
        TransferGuard::setDeadlineMsForTesting(deadlineMs);
        QTemporaryDir dir;
        const QString target = dir.path() + "/big.dat";
        writeFile(target, "old big");
        TestServer server;
        TestServer::Response r = TestServer::ok(std::string(chunkDelayMs ? 100 : 65536, 'e'));
        r.mode = TestServer::Mode::Endless;
        r.chunkDelayMs = chunkDelayMs;
        server.route("/big", r);
        Downloader d(url(server, "/big"), target, QString(), size);
        QCOMPARE(runDownload(d), 1);
        QVERIFY(!d.committed());
        QVERIFY2(d.failure().contains(size >= 0 ? "declared size" : "giving up"), qPrintable(d.failure()));
        QCOMPARE(readFile(target), QByteArray("old big"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"big.dat"});
    }

    void linkAsTargetIsNeverWrittenThrough()
    {
        QTemporaryDir dir;
        writeFile(dir.path() + "/elsewhere.txt", "precious");
        if (!testlinks::makeLink(dir.path() + "/elsewhere.txt", dir.path() + "/target.dll")) {
            QSKIP("Wine 8 shows a Unix link to a file as the file itself, never as a reparse point");
        }
        TestServer server;
        server.route("/x", TestServer::ok("evil"));
        Downloader d(url(server, "/x"), dir.path() + "/target.dll");
        QCOMPARE(runDownload(d), 1);
        QVERIFY(!d.committed());
        QCOMPARE(readFile(dir.path() + "/elsewhere.txt"), QByteArray("precious"));
        QVERIFY(QFileInfo(dir.path() + "/target.dll").isSymLink());
    }
};

QTEST_MAIN(TestDownloader)
#include "test_downloader.moc"

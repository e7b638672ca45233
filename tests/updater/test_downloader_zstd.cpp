// Compressed files and deltas through the downloader against a real server on loopback: the
// target gets the decoded file only when every check passes, and keeps its old bytes otherwise.
#include "download/downloader.h"
#include "download/transferguard.h"
#include "download/zstdstream.h"

#include "support/files.h"
#include "support/links.h"
#include "support/testserver.h"
#include "support/zstd_frames.h"

#include <QtTest>

using namespace testfiles;
using namespace testzstd;

namespace {
QUrl url(TestServer& s, const char* path) { return QUrl(QString::fromStdString(s.url(path))); }

bool runDownload(Downloader& d)
{
    QSignalSpy spy(&d, SIGNAL(downloadFinished()));
    if (spy.isEmpty()) spy.wait(20000);
    return spy.count() == 1;
}

QByteArray qbytes(const std::string& s) { return QByteArray(s.data(), int(s.size())); }

enum class Reference { None, Older, Other, Link };
}  // namespace

class TestDownloaderZstd : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TransferGuard::setStallTimeoutMsForTesting(kStallTimeoutMs);
        TransferGuard::setDeadlineMsForTesting(0);
    }

    void decodedOrLeftAlone_data()
    {
        QTest::addColumn<QByteArray>("body");         // what the server sends
        QTest::addColumn<int>("reference");           // Reference
        QTest::addColumn<QString>("frameSha256");     // null: not given
        QTest::addColumn<qint64>("frameSize");        // -1: not given
        QTest::addColumn<QString>("fileSha256");      // the file's own (null: the right one)
        QTest::addColumn<int>("mode");                // TestServer::Mode
        QTest::addColumn<QString>("why");             // empty: committed

        const std::string older = someFile(400000, 11);
        std::string newer = older;
        newer.replace(5000, 6, "CHANGE");
        newer.insert(300000, "new code");
        FrameOptions asDelta;
        asDelta.reference = &older;
        const QByteArray delta = qbytes(compress(newer, asDelta));
        const QByteArray whole = qbytes(compress(newer));
        const QString deltaSha = sha256Hex(delta);
        const int normal = int(TestServer::Mode::Normal);
        const int none = int(Reference::None), old = int(Reference::Older);

        QTest::newRow("a compressed file") << whole << none << QString() << qint64(-1) << QString() << normal << "";
        QTest::newRow("a compressed file with its own checks") << whole << none << sha256Hex(whole) << qint64(whole.size())
                                                               << QString() << normal << "";
        QTest::newRow("a delta") << delta << old << deltaSha << qint64(delta.size()) << QString() << normal << "";
        QTest::newRow("a delta without its own checks") << delta << old << QString() << qint64(-1) << QString() << normal << "";
        QTest::newRow("a delta from another file") << delta << int(Reference::Other) << deltaSha << qint64(delta.size())
                                                   << QString() << normal << "not a valid frame";
        QTest::newRow("a delta without its older file") << delta << none << deltaSha << qint64(delta.size())
                                                        << QString() << normal << "not a valid frame";
        QTest::newRow("a delta whose older file is a link") << delta << int(Reference::Link) << deltaSha
                                                            << qint64(delta.size()) << QString() << normal << "is a link";
        QTest::newRow("the frame's digest differs") << delta << old << QString(64, 'a') << qint64(delta.size())
                                                    << QString() << normal << "digest of the compressed file differs";
        QTest::newRow("the frame is larger than it says") << delta << old << deltaSha << qint64(delta.size() - 1)
                                                          << QString() << normal << "passes";
        QTest::newRow("the frame is smaller than it says") << delta << old << deltaSha << qint64(delta.size() + 1)
                                                           << QString() << normal << "compressed size";
        QTest::newRow("the decoded file's digest differs") << whole << none << QString() << qint64(-1)
                                                           << QString(64, 'b') << normal << "SHA-256 digest differs";
        QTest::newRow("cut off") << whole << none << QString() << qint64(-1) << QString() << int(TestServer::Mode::Drop)
                                 << "";  // the reason is the network's
        QTest::newRow("not compressed at all") << qbytes(newer) << none << QString() << qint64(-1) << QString() << normal
                                               << "not a valid frame";
        FrameOptions wide;
        wide.windowLog = kMaxZstdWindowLog + 1;
        wide.contentSize = false;
        QTest::newRow("a window above the cap") << qbytes(compress(newer, wide)) << none << QString() << qint64(-1)
                                                << QString() << normal << "window above the cap";
    }

    void decodedOrLeftAlone()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, reference);
        QFETCH(QString, frameSha256);
        QFETCH(qint64, frameSize);
        QFETCH(QString, fileSha256);
        QFETCH(int, mode);
        QFETCH(QString, why);

        const std::string older = someFile(400000, 11);
        std::string newer = older;
        newer.replace(5000, 6, "CHANGE");
        newer.insert(300000, "new code");

        QTemporaryDir dir;
        const QString target = dir.filePath("app.dll");
        writeFile(target, qbytes(older));
        QString referencePath;
        if (reference == int(Reference::Older)) {
            referencePath = dir.filePath("older.dll");
            writeFile(referencePath, qbytes(older));
        } else if (reference == int(Reference::Other)) {
            referencePath = dir.filePath("other.dll");
            writeFile(referencePath, qbytes(someFile(older.size(), 12)));
        } else if (reference == int(Reference::Link)) {
            writeFile(dir.filePath("older.dll"), qbytes(older));
            referencePath = dir.filePath("link.dll");
            if (!testlinks::makeLink(dir.filePath("older.dll"), referencePath)) QSKIP("Wine 8 shows a Unix link to a file as the file itself, never as a reparse point");
        }

        TestServer server;
        TestServer::Response r = TestServer::ok(body.toStdString());
        r.mode = TestServer::Mode(mode);
        r.dropAfter = size_t(body.size() / 2);
        server.route("/app.dll.zst", r);
        const QString sha = fileSha256.isNull() ? sha256Hex(qbytes(newer)) : fileSha256;
        Downloader d(url(server, "/app.dll.zst"), target, sha, qint64(newer.size()));
        d.decodeZstd(referencePath, frameSha256, frameSize);
        QVERIFY(runDownload(d));
        const bool expectCommit = why.isEmpty() && mode == int(TestServer::Mode::Normal);
        QCOMPARE(d.committed(), expectCommit);
        QCOMPARE(readFile(target), qbytes(expectCommit ? newer : older));
        if (!why.isEmpty()) QVERIFY2(d.failure().contains(why), qPrintable(d.failure()));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), reference == int(Reference::None) ? 1
                                                               : reference == int(Reference::Link) ? 3 : 2);
    }

    // The file a delta starts from shrinks while the delta downloads (the running application
    // rewrote it): the decode still reads what it read at the start, never a page that is gone.
    void aBaseThatShrinksWhileDecodingEndsNothing()
    {
        const std::string older = someFile(400000, 11);
        std::string newer = older;
        newer.insert(300000, "new code");
        FrameOptions asDelta;
        asDelta.reference = &older;
        const QByteArray delta = qbytes(compress(newer, asDelta));
        QTemporaryDir dir;
        const QString target = dir.filePath("app.dll");
        writeFile(target, qbytes(older));
        TestServer server;
        server.route("/app.dll.zst", TestServer::ok(delta.toStdString()));
        Downloader d(url(server, "/app.dll.zst"), target, sha256Hex(qbytes(newer)), qint64(newer.size()));
        d.decodeZstd(target);
        QFile shrink(target);
        QVERIFY(shrink.open(QIODevice::ReadWrite));
        QVERIFY(shrink.resize(0));
        shrink.close();
        QVERIFY(runDownload(d));
        QVERIFY2(d.committed(), qPrintable(d.failure()));
        QCOMPARE(readFile(target), qbytes(newer));
    }

    void aBombStopsAtTheFilesSize()
    {
        // 256 MiB of zeros in a small frame, for a file the list says has 1 MiB.
        const std::string zeros(256 << 20, '\0');
        FrameOptions unstated;
        unstated.contentSize = false;
        const std::string bomb = compress(zeros, unstated);
        QVERIFY(bomb.size() < 100000);
        QTemporaryDir dir;
        const QString target = dir.filePath("data.bin");
        writeFile(target, "old");
        TestServer server;
        server.route("/data.bin.zst", TestServer::ok(bomb));
        Downloader d(url(server, "/data.bin.zst"), target, QString(64, 'c'), 1 << 20);
        d.decodeZstd();
        QVERIFY(runDownload(d));
        QVERIFY(!d.committed());
        QVERIFY2(d.failure().contains("more bytes than the list declares"), qPrintable(d.failure()));
        QCOMPARE(readFile(target), QByteArray("old"));
    }

    void anIncompressibleFileFitsTheBoundWithoutAStatedSize()
    {
        std::string noise(1 << 20, '\0');
        QRandomGenerator random(13);
        for (char& c : noise) c = char(random.bounded(256));
        const std::string frame = compress(noise);
        QVERIFY(frame.size() > noise.size());
        QTemporaryDir dir;
        const QString target = dir.filePath("noise.bin");
        TestServer server;
        server.route("/noise.bin.zst", TestServer::ok(frame));
        Downloader d(url(server, "/noise.bin.zst"), target, sha256Hex(qbytes(noise)), qint64(noise.size()));
        d.decodeZstd();
        QVERIFY(runDownload(d));
        QVERIFY2(d.committed(), qPrintable(d.failure()));
        QCOMPARE(readFile(target), qbytes(noise));
    }
};

QTEST_MAIN(TestDownloaderZstd)
#include "test_downloader_zstd.moc"

// One list entry into its staging place: by a delta when the file in place is one it starts from,
// else whole; a failed delta is followed by the whole file, and only what is needed is requested.
#include "download/filefetch.h"
#include "download/transferguard.h"

#include "support/files.h"
#include "support/links.h"
#include "support/testserver.h"
#include "support/zstd_frames.h"

#include <QtTest>

using namespace testfiles;
using namespace testzstd;

namespace {
QByteArray qbytes(const std::string& s) { return QByteArray(s.data(), int(s.size())); }
const QString A64 = QString(64, 'a');
const QString B64 = QString(64, 'b');
}

class TestFileFetch : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TransferGuard::setStallTimeoutMsForTesting(kStallTimeoutMs);
        TransferGuard::setDeadlineMsForTesting(0);
    }

    void chooseDelta_data()
    {
        QTest::addColumn<QStringList>("froms");
        QTest::addColumn<QString>("inPlace");
        QTest::addColumn<int>("chosen");
        QTest::newRow("none offered") << QStringList{} << A64 << -1;
        QTest::newRow("the first") << QStringList{A64, B64} << A64 << 0;
        QTest::newRow("the second") << QStringList{A64, B64} << B64 << 1;
        QTest::newRow("letter case") << QStringList{B64} << B64.toUpper() << 0;
        QTest::newRow("no file in place") << QStringList{A64} << QString() << -1;
        QTest::newRow("another file in place") << QStringList{A64} << QString(64, 'c') << -1;
    }
    void chooseDelta()
    {
        QFETCH(QStringList, froms);
        QFETCH(QString, inPlace);
        QFETCH(int, chosen);
        QList<DeltaSource> deltas;
        for (const QString& f : froms) deltas.append(DeltaSource{f, "http://h/d", QString(), -1});
        QCOMPARE(::chooseDelta(deltas, inPlace), chosen);
    }

    void theCheapestWayThatWorks_data()
    {
        QTest::addColumn<QString>("inPlace");     // "older", "other", "link" or "none"
        QTest::addColumn<QString>("deltaReply");  // "good", "404", "garbage", "wrong digest"
        QTest::addColumn<bool>("wholeWorks");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<bool>("staged");
        QTest::addColumn<bool>("byDelta");
        QTest::addColumn<QString>("note");

        QTest::newRow("the delta") << "older" << "good" << true << QStringList{"/f.delta"} << true << true << "";
        QTest::newRow("another file in place") << "other" << "good" << true << QStringList{"/f"} << true << false << "";
        QTest::newRow("nothing in place") << "none" << "good" << true << QStringList{"/f"} << true << false << "";
        QTest::newRow("a link in place") << "link" << "good" << true << QStringList{"/f"} << true << false << "";
        QTest::newRow("the delta is missing") << "older" << "404" << true << QStringList{"/f.delta", "/f"} << true << false
                                              << "server replied";
        QTest::newRow("the delta is garbage") << "older" << "garbage" << true << QStringList{"/f.delta", "/f"} << true
                                              << false << "not a valid frame";
        QTest::newRow("the delta's digest differs") << "older" << "wrong digest" << true << QStringList{"/f.delta", "/f"}
                                                    << true << false << "digest of the compressed file differs";
        QTest::newRow("both fail") << "older" << "404" << false << QStringList{"/f.delta", "/f"} << false << false
                                   << "server replied";
    }
    void theCheapestWayThatWorks()
    {
        QFETCH(QString, inPlace);
        QFETCH(QString, deltaReply);
        QFETCH(bool, wholeWorks);
        QFETCH(QStringList, requests);
        QFETCH(bool, staged);
        QFETCH(bool, byDelta);
        QFETCH(QString, note);

        const std::string older = someFile(300000, 21);
        std::string newer = older;
        newer.replace(100, 4, "NEW!");
        FrameOptions asDelta;
        asDelta.reference = &older;
        const std::string delta = compress(newer, asDelta);

        QTemporaryDir dir;
        const QString target = dir.filePath("f.dll");
        if (inPlace == "older") writeFile(target, qbytes(older));
        if (inPlace == "other") writeFile(target, "another file");
        if (inPlace == "link") {
            writeFile(dir.filePath("elsewhere"), qbytes(older));
            if (!testlinks::makeLink(dir.filePath("elsewhere"), target)) QSKIP("Wine 8 shows a Unix link to a file as the file itself, never as a reparse point");
        }
        TestServer server;
        if (deltaReply == "good" || deltaReply == "wrong digest") server.route("/f.delta", TestServer::ok(delta));
        else if (deltaReply == "garbage") server.route("/f.delta", TestServer::ok("PK not a frame"));
        else server.route("/f.delta", TestServer::status(404, "gone"));
        server.route("/f", wholeWorks ? TestServer::ok(newer) : TestServer::status(404, "gone"));

        FileEntry entry;
        entry.name = "f.dll";
        entry.dist = target;
        entry.url = QString::fromStdString(server.url("/f"));
        entry.sha256 = sha256Hex(qbytes(newer));
        entry.size = qint64(newer.size());
        DeltaSource fromOlder;
        fromOlder.from = sha256Hex(qbytes(older));
        fromOlder.url = QString::fromStdString(server.url("/f.delta"));
        fromOlder.sha256 = deltaReply == "wrong digest" ? A64 : sha256Hex(qbytes(delta));
        fromOlder.size = qint64(delta.size());
        entry.deltas.append(fromOlder);

        const QString stagedPath = dir.filePath("staged");
        const FetchResult r = fetchFile(entry, stagedPath);
        QCOMPARE(r.staged, staged);
        QCOMPARE(r.byDelta, byDelta);
        QStringList seen;
        for (const std::string& p : server.requests()) seen << QString::fromStdString(p);
        QCOMPARE(seen, requests);
        if (staged) QCOMPARE(readFile(stagedPath), qbytes(newer));
        else QVERIFY(!QFileInfo::exists(stagedPath));
        if (note.isEmpty()) QCOMPARE(r.notes, QStringList());
        else QVERIFY2(r.notes.size() == 1 && r.notes[0].contains(note), qPrintable(r.notes.join('\n')));
        // The file in place is only read.
        if (inPlace == "older") QCOMPARE(readFile(target), qbytes(older));
    }

    void aCompressedWholeFile()
    {
        const std::string file = someFile(200000, 22);
        QTemporaryDir dir;
        TestServer server;
        server.route("/f.zst", TestServer::ok(compress(file)));
        FileEntry entry;
        entry.name = "f.dll";
        entry.dist = dir.filePath("f.dll");
        entry.url = QString::fromStdString(server.url("/f.zst"));
        entry.sha256 = sha256Hex(qbytes(file));
        entry.size = qint64(file.size());
        entry.encoding = "zstd";
        const FetchResult r = fetchFile(entry, dir.filePath("staged"));
        QVERIFY2(r.staged, qPrintable(r.failure));
        QCOMPARE(readFile(dir.filePath("staged")), qbytes(file));
    }
};

QTEST_MAIN(TestFileFetch)
#include "test_filefetch.moc"

// A whole file that a kill or a failure cut short is continued by the next update: only after an
// exact 206 of the rest of the same version; anything else starts over, and the bytes held never
// decide what is staged without the whole file's digest.
#include "download/filefetch.h"
#include "download/partialstore.h"
#include "download/resumereply.h"
#include "download/transferguard.h"
#include "platform/append_file.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"

#include "support/files.h"
#include "support/links.h"
#include "support/testserver.h"

#include <QTemporaryDir>
#include <QtTest>

#include <mutex>
#include <string>
#include <vector>

#ifndef Q_OS_WIN
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace testfiles;

#ifndef Q_OS_WIN
// Every fdatasync and fsync of this program, by the path its descriptor names at that moment:
// these definitions take the place of the C library's for the updater's code and for Qt's.
namespace {
std::mutex g_flushMutex;
std::vector<std::string> g_flushed;

void noteFlush(int fd)
{
    char target[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    const std::lock_guard<std::mutex> lock(g_flushMutex);
    g_flushed.push_back(n > 0 ? std::string(target, size_t(n)) : std::string("?"));
}
}  // namespace

extern "C" int fdatasync(int fd)
{
    noteFlush(fd);
    return int(syscall(SYS_fdatasync, fd));
}

extern "C" int fsync(int fd)
{
    noteFlush(fd);
    return int(syscall(SYS_fsync, fd));
}
#endif

namespace {

// The flushes noted since the last call, as paths.
QStringList takeFlushes()
{
#ifdef Q_OS_WIN
    return QStringList();
#else
    const std::lock_guard<std::mutex> lock(g_flushMutex);
    QStringList out;
    for (const std::string& p : g_flushed) out.append(QString::fromStdString(p));
    g_flushed.clear();
    return out;
#endif
}

const QByteArray kEtag = "\"v1\"";

QByteArray fileBytes(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i) b[i] = char((i * 131 + i / 7) & 0xff);
    return b;
}

std::string str(const QByteArray& b) { return std::string(b.constData(), size_t(b.size())); }

TestServer::Response served(const QByteArray& body, const QByteArray& etag = kEtag, bool ranges = true)
{
    TestServer::Response r = TestServer::ok(str(body));
    if (!etag.isEmpty()) r.headers.push_back({"ETag", str(etag)});
    r.ranges = ranges ? TestServer::Response::Ranges::Honour : TestServer::Response::Ranges::Ignore;
    return r;
}

// The header `name` of a request head ("" when it has none).
QByteArray header(const std::string& head, const QByteArray& name)
{
    for (const QByteArray& line : QByteArray::fromStdString(head).split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ":")) return line.mid(name.size() + 1).trimmed();
    }
    return QByteArray();
}

}  // namespace

Q_DECLARE_METATYPE(ResumeReply)

class TestResume : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_next = 0;
    QString m_base;
    QString m_staged;

    FileEntry entry(const QString& url, const QByteArray& bytes, bool digest = true) const
    {
        FileEntry e;
        e.name = QStringLiteral("app.dll");
        e.url = url;
        e.dist = m_base + QStringLiteral("/app.dll");
        if (digest) {
            e.sha256 = sha256Hex(bytes);
            e.size = bytes.size();
        }
        return e;
    }
    // Bytes held for `bytes` as a cut download at `url` would have left them.
    HeldPart hold(const QString& url, const QByteArray& bytes, const QByteArray& heldBytes, const QByteArray& validator = kEtag)
    {
        const HeldPart part = PartialStore(m_base).held(sha256Hex(bytes), url, bytes.size());
        writeFile(part.partPath, heldBytes);
        writeFile(part.infoPath, writePartInfo(url, bytes.size(), validator));
        return PartialStore(m_base).held(sha256Hex(bytes), url, bytes.size());
    }
    QStringList partFiles() const
    {
        return QDir(PartialStore(m_base).folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    }

private slots:
    void init()
    {
        TransferGuard::setStallTimeoutMsForTesting(kStallTimeoutMs);
        TransferGuard::setDeadlineMsForTesting(0);
        QVERIFY(m_dir.isValid());
        m_base = m_dir.path() + QStringLiteral("/base") + QString::number(++m_next);
        QVERIFY(QDir().mkpath(m_base + QStringLiteral("/Application/Updates/staging")));
        m_staged = m_base + QStringLiteral("/Application/Updates/staging/0");
    }

    void judgesTheReply_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<QByteArray>("validator");
        QTest::addColumn<ResumeReply>("verdict");
        // 400 bytes held of 1000, held with "v1".
        QTest::newRow("the exact rest") << 206 << QByteArray("bytes 400-999/1000") << kEtag << ResumeReply::Append;
        QTest::newRow("the whole again") << 200 << QByteArray() << kEtag << ResumeReply::Whole;
        QTest::newRow("a 200 with a range") << 200 << QByteArray("bytes 400-999/1000") << kEtag << ResumeReply::StartOver;
        QTest::newRow("416") << 416 << QByteArray("bytes */1000") << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 from the start") << 206 << QByteArray("bytes 0-999/1000") << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 one byte later") << 206 << QByteArray("bytes 401-999/1000") << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 short of the end") << 206 << QByteArray("bytes 400-998/1000") << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 of a longer file") << 206 << QByteArray("bytes 400-1999/2000") << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 without its range") << 206 << QByteArray() << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 of unknown length") << 206 << QByteArray("bytes 400-999/*") << kEtag << ResumeReply::StartOver;
        QTest::newRow("206 of another version") << 206 << QByteArray("bytes 400-999/1000") << QByteArray("\"v2\"")
                                                << ResumeReply::ValidatorChanged;
        QTest::newRow("206 without a validator") << 206 << QByteArray("bytes 400-999/1000") << QByteArray()
                                                 << ResumeReply::ValidatorChanged;
        QTest::newRow("204") << 204 << QByteArray() << kEtag << ResumeReply::StartOver;
        QTest::newRow("503") << 503 << QByteArray() << kEtag << ResumeReply::Failed;
        QTest::newRow("404") << 404 << QByteArray() << kEtag << ResumeReply::Failed;
    }
    void judgesTheReply()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, range);
        QFETCH(QByteArray, validator);
        QFETCH(ResumeReply, verdict);
        QCOMPARE(judgeResumeReply(status, range, 400, 1000, kEtag, validator), verdict);
    }

    void readsContentRange_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("ok");
        QTest::newRow("plain") << QByteArray("bytes 0-0/1") << true;
        QTest::newRow("large") << QByteArray("bytes 4294967296-8589934591/8589934592") << true;
        QTest::newRow("leading zero") << QByteArray("bytes 0400-999/1000") << false;
        QTest::newRow("blank inside") << QByteArray("bytes 400 -999/1000") << false;
        QTest::newRow("other unit") << QByteArray("items 400-999/1000") << false;
        QTest::newRow("last before first") << QByteArray("bytes 500-400/1000") << false;
        QTest::newRow("last past the end") << QByteArray("bytes 400-1000/1000") << false;
        QTest::newRow("unsatisfied form") << QByteArray("bytes */1000") << false;
        QTest::newRow("overflowing number") << QByteArray("bytes 0-1/99999999999999999999") << false;
        QTest::newRow("trailing text") << QByteArray("bytes 0-1/2 x") << false;
        QTest::newRow("negative") << QByteArray("bytes -1-1/2") << false;
    }
    void readsContentRange()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, ok);
        qint64 f = -1, l = -1, t = -1;
        QCOMPARE(parseContentRange(text, &f, &l, &t), ok);
    }

    void choosesTheValidator_data()
    {
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<QByteArray>("chosen");
        const QByteArray date = "Wed, 09 Dec 2026 10:00:00 GMT";
        QTest::newRow("strong ETag first") << kEtag << date << kEtag;
        QTest::newRow("weak ETag: the date") << QByteArray("W/\"v1\"") << date << date;
        QTest::newRow("weak ETag alone: none") << QByteArray("W/\"v1\"") << QByteArray() << QByteArray();
        QTest::newRow("the date alone") << QByteArray() << date << date;
        QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("a line break in the ETag") << QByteArray("\"a\r\nX-Evil: 1\"") << QByteArray() << QByteArray();
        QTest::newRow("an over-long ETag") << QByteArray(300, 'e') << date << date;
    }
    void choosesTheValidator()
    {
        QFETCH(QByteArray, etag);
        QFETCH(QByteArray, date);
        QFETCH(QByteArray, chosen);
        QCOMPARE(chooseValidator(etag, date), chosen);
    }

    void readsOnlyInfoItWrote_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("ok");
        QTest::newRow("as written") << writePartInfo(QStringLiteral("http://h/f"), 10, kEtag) << true;
        QTest::newRow("cut short") << writePartInfo(QStringLiteral("http://h/f"), 10, kEtag).left(20) << false;
        QTest::newRow("no validator") << QByteArray("url http://h/f\nsize 10\nvalidator \n") << false;
        QTest::newRow("size with a sign") << QByteArray("url http://h/f\nsize +10\nvalidator \"v\"\n") << false;
        QTest::newRow("negative size") << QByteArray("url http://h/f\nsize -1\nvalidator \"v\"\n") << false;
        QTest::newRow("another order") << QByteArray("size 10\nurl http://h/f\nvalidator \"v\"\n") << false;
        QTest::newRow("a control character") << QByteArray("url http://h/f\nsize 10\nvalidator \"v\r\"\n") << false;
        QTest::newRow("a line more") << QByteArray("url http://h/f\nsize 10\nvalidator \"v\"\nx\n") << false;
    }
    void readsOnlyInfoItWrote()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, ok);
        QString url;
        qint64 size = -1;
        QByteArray validator;
        QCOMPARE(readPartInfo(text, &url, &size, &validator), ok);
        if (ok) QCOMPARE(url, QStringLiteral("http://h/f"));
    }

    // What the next update asks for and receives, for each kind of server and of bytes held.
    void continuesOnlyAnExactRest_data()
    {
        QTest::addColumn<QString>("held");     // "80%", "80% wrong", "whole", "whole wrong", "none", "larger", "other url"
        QTest::addColumn<QString>("server");   // "ranges", "no ranges", "416", "wrong range", "other version", "503"
        QTest::addColumn<QList<bool>>("ranged");  // per request: whether it asked for a range
        QTest::addColumn<int>("bodyBytes");    // body bytes the server sent
        QTest::addColumn<bool>("staged");
        QTest::addColumn<QString>("note");
        const int n = 100000, rest = n - 80000;
        QTest::newRow("the rest") << "80%" << "ranges" << QList<bool>{true} << rest << true << "continued from byte 80000";
        QTest::newRow("a 200 starts over on its own reply") << "80%" << "no ranges" << QList<bool>{true} << n << true << "";
        QTest::newRow("a 416 starts over") << "80%" << "416" << QList<bool>{true, false} << n << true << "starts over";
        QTest::newRow("a 206 of the wrong range starts over") << "80%" << "wrong range" << QList<bool>{true, false}
                                                              << 1 + n << true << "starts over";
        QTest::newRow("a 206 of another version starts over") << "80%" << "other version" << QList<bool>{true, false}
                                                              << 1 + n << true << "changed since";
        QTest::newRow("held bytes that are wrong start over once") << "80% wrong" << "ranges" << QList<bool>{true, false}
                                                                   << rest + n << true << "starts over";
        QTest::newRow("a 503 keeps what is held") << "80%" << "503" << QList<bool>{true} << 4 << false << "";
        QTest::newRow("the whole held is not asked for") << "whole" << "ranges" << QList<bool>{} << 0 << true
                                                         << "received whole by an earlier run";
        QTest::newRow("a wrong whole goes") << "whole wrong" << "ranges" << QList<bool>{false} << n << true << "";
        QTest::newRow("more than the file goes") << "larger" << "ranges" << QList<bool>{false} << n << true << "";
        QTest::newRow("bytes of another address are not used") << "other url" << "ranges" << QList<bool>{false} << n << true << "";
        QTest::newRow("nothing held") << "none" << "ranges" << QList<bool>{false} << n << true << "";
    }
    void continuesOnlyAnExactRest()
    {
        QFETCH(QString, held);
        QFETCH(QString, server);
        QFETCH(QList<bool>, ranged);
        QFETCH(int, bodyBytes);
        QFETCH(bool, staged);
        QFETCH(QString, note);
        const QByteArray bytes = fileBytes(100000);
        TestServer http;
        const QString url = QString::fromStdString(http.url("/app.dll"));
        if (held == "80%") hold(url, bytes, bytes.left(80000));
        if (held == "80% wrong") hold(url, bytes, QByteArray(80000, 'x'));
        if (held == "whole") hold(url, bytes, bytes);
        if (held == "whole wrong") hold(url, bytes, QByteArray(bytes.size(), 'x'));
        if (held == "larger") hold(url, bytes, bytes + "more");
        if (held == "other url") hold(QStringLiteral("http://elsewhere/app.dll"), bytes, bytes.left(80000));

        TestServer::Response whole = served(bytes);
        if (server == "ranges") http.route("/app.dll", whole);
        if (server == "no ranges") http.route("/app.dll", served(bytes, kEtag, false));
        if (server == "416") http.routeSequence("/app.dll", {TestServer::status(416, ""), whole});
        // The refused replies carry a body of one byte: they are judged by their head.
        if (server == "wrong range") {
            TestServer::Response wrong = TestServer::status(206, "x");
            wrong.headers = {{"ETag", str(kEtag)}, {"Content-Range", "bytes 0-99999/100000"}};
            http.routeSequence("/app.dll", {wrong, whole});
        }
        if (server == "other version") {
            // A server that ignores If-Range: the rest of another version, with that version's tag.
            TestServer::Response rest = TestServer::status(206, "x");
            rest.headers = {{"ETag", "\"v2\""}, {"Content-Range", "bytes 80000-99999/100000"}};
            http.routeSequence("/app.dll", {rest, whole});
        }
        if (server == "503") http.route("/app.dll", TestServer::status(503, "busy"));

        const PartialStore parts(m_base);
        const FetchResult result = fetchFile(entry(url, bytes), m_staged, {}, &parts);
        QCOMPARE(result.staged, staged);
        const std::vector<std::string> heads = http.rawRequests();
        QCOMPARE(int(heads.size()), ranged.size());
        for (int i = 0; i < ranged.size(); ++i) {
            QCOMPARE(!header(heads.at(size_t(i)), "Range").isEmpty(), ranged.at(i));
            if (ranged.at(i)) {
                QCOMPARE(header(heads.at(size_t(i)), "Range"), QByteArray("bytes=80000-"));
                QCOMPARE(header(heads.at(size_t(i)), "If-Range"), kEtag);
            }
        }
        QTRY_COMPARE(int(http.bodyBytesSent("/app.dll")), bodyBytes);
        if (staged) {
            QCOMPARE(readFile(m_staged), bytes);
            // Nothing is kept once the file is staged (but the part of another address).
            QCOMPARE(partFiles().size(), held == "other url" ? 2 : 0);
        } else {
            QVERIFY(!QFile::exists(m_staged));
            QCOMPARE(readFile(PartialStore(m_base).held(sha256Hex(bytes), url, bytes.size()).partPath), bytes.left(80000));
        }
        if (!note.isEmpty()) QVERIFY2(result.notes.join('\n').contains(note), qPrintable(result.notes.join('\n')));
    }

    // A transfer cut short keeps what it received with its source, and the next one asks for
    // the rest only: no more than what was missing is sent again.
    void aCutDownloadIsContinued_data()
    {
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<bool>("digest");
        QTest::addColumn<bool>("kept");
        const QByteArray date = "Wed, 09 Dec 2026 10:00:00 GMT";
        QTest::newRow("by its ETag") << kEtag << QByteArray() << true << true;
        QTest::newRow("by its date") << QByteArray() << date << true << true;
        QTest::newRow("a weak ETag and a date: by the date") << QByteArray("W/\"w\"") << date << true << true;
        QTest::newRow("no validator: nothing kept") << QByteArray() << QByteArray() << true << false;
        QTest::newRow("a weak ETag alone: nothing kept") << QByteArray("W/\"w\"") << QByteArray() << true << false;
        QTest::newRow("no digest in the list: never continued") << kEtag << QByteArray() << false << false;
    }
    void aCutDownloadIsContinued()
    {
        QFETCH(QByteArray, etag);
        QFETCH(QByteArray, date);
        QFETCH(bool, digest);
        QFETCH(bool, kept);
        const QByteArray bytes = fileBytes(300000);
        TestServer http;
        const QString url = QString::fromStdString(http.url("/app.dll"));
        TestServer::Response r = served(bytes, etag);
        if (!date.isEmpty()) r.headers.push_back({"Last-Modified", str(date)});
        r.mode = TestServer::Mode::Drop;
        r.dropAfter = 240000;
        r.modeRequests = 1;
        http.route("/app.dll", r);

        const PartialStore parts(m_base);
        const FetchResult first = fetchFile(entry(url, bytes, digest), m_staged, {}, &parts);
        QVERIFY(!first.staged);
        QCOMPARE(partFiles().size(), kept ? 2 : 0);
        const qint64 held = kept ? PartialStore(m_base).held(sha256Hex(bytes), url, bytes.size()).bytes : 0;
        if (kept) QVERIFY2(held > 0 && held <= 240000, qPrintable(QString::number(held)));

        const FetchResult second = fetchFile(entry(url, bytes, digest), m_staged, {}, &parts);
        QVERIFY(second.staged);
        QCOMPARE(readFile(m_staged), bytes);
        // Only the second download asks for a range. (Qt itself may send a request once more
        // when a connection closes early: requests without a range are not counted.)
        QList<size_t> ranged;
        for (size_t i = 0; i < http.rawRequests().size(); ++i) {
            if (!header(http.rawRequests().at(i), "Range").isEmpty()) ranged.append(i);
        }
        QCOMPARE(ranged.size(), kept ? 1 : 0);
        if (!kept) return;
        const std::string head = http.rawRequests().at(ranged.at(0));
        QCOMPARE(header(head, "Range"), "bytes=" + QByteArray::number(held) + "-");
        QCOMPARE(header(head, "If-Range"), etag.startsWith("W/") || etag.isEmpty() ? date : etag);
        // The second transfer sent the rest only.
        QTRY_COMPARE(qint64(http.bodyBytesOfRequest(ranged.at(0))), bytes.size() - held);
    }

    // A part becomes the staged file only once its bytes are on disk: the part is flushed while
    // it still lies in the parts' folder, then that folder, and the staging folder after the
    // rename. Both ways a part is staged: continued by a download, and received whole earlier.
    void aPartIsFlushedBeforeItIsStaged_data()
    {
        QTest::addColumn<bool>("heldWhole");
        QTest::newRow("continued") << false;
        QTest::newRow("held whole") << true;
    }
    void aPartIsFlushedBeforeItIsStaged()
    {
#ifdef Q_OS_WIN
        QSKIP("the flushes are watched by taking the place of the C library's fdatasync, which a Windows program cannot");
#endif
        QFETCH(bool, heldWhole);
        const QByteArray bytes = fileBytes(200000);
        TestServer http;
        const QString url = QString::fromStdString(http.url("/app.dll"));
        http.route("/app.dll", served(bytes));
        const HeldPart part = hold(url, bytes, heldWhole ? bytes : bytes.left(120000));
        const QString partPath = QFileInfo(part.partPath).canonicalFilePath();
        const QString partFolder = QFileInfo(PartialStore(m_base).folder()).canonicalFilePath();
        const QString stagingFolder = QFileInfo(QFileInfo(m_staged).path()).canonicalFilePath();
        takeFlushes();
        const PartialStore parts(m_base);
        const FetchResult result = fetchFile(entry(url, bytes), m_staged, {}, &parts);
        QVERIFY(result.staged);
        QCOMPARE(readFile(m_staged), bytes);
        const QStringList flushes = takeFlushes();
        const int ofPart = flushes.indexOf(partPath);
        const int ofPartFolder = flushes.lastIndexOf(partFolder);
        const int ofStaging = flushes.lastIndexOf(stagingFolder);
        QVERIFY2(ofPart >= 0 && ofPart < ofPartFolder && ofPartFolder < ofStaging, qPrintable(flushes.join(", ")));
    }

    // A part held whole is installed only when it is the updater's own file: a hard link planted
    // there is never staged (its holder could change the installed file afterwards), and the
    // file is downloaded afresh; the planter's file stays as it was.
    void aHardLinkPlantedAsAWholePartIsNotStaged()
    {
        const QByteArray bytes = fileBytes(50000);
        TestServer http;
        const QString url = QString::fromStdString(http.url("/app.dll"));
        http.route("/app.dll", served(bytes));
        const HeldPart part = hold(url, bytes, bytes);
        const QString planted = m_dir.path() + QStringLiteral("/planted-") + QString::number(++m_next);
        writeFile(planted, bytes);
        QVERIFY(QFile::remove(part.partPath));
        if (!testlinks::makeHardLink(planted, part.partPath)) QSKIP("no hard link could be made here");

        const PartialStore parts(m_base);
        const FetchResult result = fetchFile(entry(url, bytes), m_staged, {}, &parts);
        QVERIFY(result.staged);
        QCOMPARE(readFile(m_staged), bytes);
        QVERIFY(isSoleRegularFile(m_staged));
        QVERIFY(!pathrules::sameFile(m_staged, planted));
        QCOMPARE(readFile(planted), bytes);
        QCOMPARE(http.rawRequests().size(), size_t(1));
        QCOMPARE(header(http.rawRequests().at(0), "Range"), QByteArray());
    }

    // A part started afresh is a new file: a descriptor that another process opened on the file
    // at the name before reaches none of what the updater then writes and checks.
    void aPartStartedAfreshIsANewFile()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows: the open shares reading only, so it fails while another handle may write");
#else
        const QString path = m_dir.path() + QStringLiteral("/afresh-") + QString::number(++m_next);
        writeFile(path, "planted");
        QFile held(path);
        QVERIFY(held.open(QIODevice::ReadWrite));
        const int fd = fileutil::openNoFollow(path.toStdString(), true);
        QVERIFY(fd >= 0);
        QFile fresh;
        QVERIFY(fresh.open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle));
        QCOMPARE(fresh.size(), qint64(0));
        QVERIFY(fresh.write("checked bytes") == 13 && fresh.flush());
        QVERIFY(held.seek(0) && held.write("the other's bytes") > 0 && held.flush());
        fresh.close();
        QCOMPARE(readFile(path), QByteArray("checked bytes"));
#endif
    }

    // What stands in the part's place is never written through, and goes itself.
    void aLinkAsThePartIsNotWrittenThrough_data()
    {
        QTest::addColumn<bool>("hard");
        QTest::newRow("a symbolic link") << false;
        QTest::newRow("a hard link") << true;
    }
    void aLinkAsThePartIsNotWrittenThrough()
    {
        QFETCH(bool, hard);
        const QByteArray bytes = fileBytes(50000);
        TestServer http;
        const QString url = QString::fromStdString(http.url("/app.dll"));
        http.route("/app.dll", served(bytes));
        const HeldPart part = hold(url, bytes, bytes.left(10000));
        const QString outside = m_dir.path() + QStringLiteral("/outside-") + QString::number(++m_next);
        writeFile(outside, "outside the folder");
        QVERIFY(QFile::remove(part.partPath));
        if (hard) QVERIFY(testlinks::makeHardLink(outside, part.partPath));
        else if (!testlinks::makeLink(outside, part.partPath)) QSKIP("Wine 8 shows a Unix link to a file as the file itself, never as a reparse point");

        const PartialStore parts(m_base);
        const FetchResult result = fetchFile(entry(url, bytes), m_staged, {}, &parts);
        QVERIFY(result.staged);
        QCOMPARE(readFile(m_staged), bytes);
        QCOMPARE(readFile(outside), QByteArray("outside the folder"));
        QCOMPARE(header(http.rawRequests().at(0), "Range"), QByteArray());
    }

    // Only the parts of the files still to download stay; the folder goes with a finished update.
    void keepsOnlyWhatTheListStillNeeds()
    {
        const QByteArray a = fileBytes(1000), b = fileBytes(2000);
        hold(QStringLiteral("http://h/a"), a, a.left(10));
        hold(QStringLiteral("http://h/b"), b, b.left(10));
        writeFile(PartialStore(m_base).folder() + QStringLiteral("/stray.tmp"), "x");
        PartialStore(m_base).keepOnly({partKey(sha256Hex(a), QStringLiteral("http://h/a"))});
        const QString key = partKey(sha256Hex(a), QStringLiteral("http://h/a"));
        QCOMPARE(partFiles(), (QStringList{key + ".info", key + ".part"}));
        PartialStore(m_base).clear();
        QVERIFY(!QFileInfo::exists(PartialStore(m_base).folder()));
    }
};

QTEST_MAIN(TestResume)
#include "test_resume.moc"

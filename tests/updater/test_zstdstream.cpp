// One Zstandard frame decoded as it arrives: the bytes of the file exactly, or a refusal with its
// reason; never a byte past the declared size, never a window above the cap.
#include "download/zstdstream.h"

#include "support/zstd_frames.h"

#include <QtTest>

#include <string>

using namespace testzstd;

namespace {

struct Outcome {
    ZstdStream::Status status;
    std::string decoded;
    std::uint64_t sinkBytes = 0;
};

Outcome decode(const std::string& frame, std::uint64_t expected, std::size_t chunk,
               const std::string* reference = nullptr, int maxWindowLog = kMaxZstdWindowLog,
               std::uint64_t sinkRefusesAfter = UINT64_MAX)
{
    ZstdStream stream(expected, reference ? reference->data() : nullptr, reference ? reference->size() : 0,
                      maxWindowLog);
    Outcome o{ZstdStream::Status::Ok, {}};
    auto sink = [&](const char* data, std::size_t size) {
        if (o.sinkBytes + size > sinkRefusesAfter) return false;
        o.sinkBytes += size;
        o.decoded.append(data, size);
        return true;
    };
    for (std::size_t at = 0; at < frame.size() && o.status == ZstdStream::Status::Ok; at += chunk)
        o.status = stream.feed(frame.data() + at, std::min(chunk, frame.size() - at), sink);
    if (o.status == ZstdStream::Status::Ok) o.status = stream.finish();
    return o;
}

}  // namespace

Q_DECLARE_METATYPE(ZstdStream::Status)

class TestZstdStream : public QObject
{
    Q_OBJECT
private slots:
    void decodesTheFileWhateverTheChunks_data();
    void decodesTheFileWhateverTheChunks();
    void refusals_data();
    void refusals();
    void aBombStopsAtTheDeclaredSize();
    void aDeltaNeedsItsReference();
    void theCommandsPatchFromFrameDecodes();
};

void TestZstdStream::decodesTheFileWhateverTheChunks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");
    QTest::newRow("empty file") << 0 << 1;
    QTest::newRow("byte by byte") << 5000 << 1;
    QTest::newRow("odd chunks") << 300000 << 7777;
    QTest::newRow("one piece") << 1000000 << (1 << 30);
    QTest::newRow("more than one output buffer per input chunk") << 2000000 << 1000000;
}

void TestZstdStream::decodesTheFileWhateverTheChunks()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    const std::string file = someFile(size, 1);
    const std::string frame = compress(file);
    const Outcome o = decode(frame, file.size(), chunk);
    QCOMPARE(o.status, ZstdStream::Status::Ok);
    QVERIFY(o.decoded == file);
}

void TestZstdStream::refusals_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<qulonglong>("expected");
    QTest::addColumn<int>("maxWindowLog");
    QTest::addColumn<ZstdStream::Status>("status");

    const std::string file = someFile(200000, 2);
    const std::string frame = compress(file);
    auto bytes = [](const std::string& s) { return QByteArray(s.data(), int(s.size())); };

    QTest::newRow("the last bytes missing") << bytes(frame.substr(0, frame.size() - 5)) << qulonglong(file.size())
                                            << kMaxZstdWindowLog << ZstdStream::Status::Truncated;
    QTest::newRow("only the header") << bytes(frame.substr(0, 6)) << qulonglong(file.size())
                                     << kMaxZstdWindowLog << ZstdStream::Status::Truncated;
    QTest::newRow("a byte after the frame") << bytes(frame + "x") << qulonglong(file.size())
                                            << kMaxZstdWindowLog << ZstdStream::Status::Corrupt;
    QTest::newRow("a second frame") << bytes(frame + compress("more")) << qulonglong(file.size())
                                    << kMaxZstdWindowLog << ZstdStream::Status::Corrupt;
    QTest::newRow("not a frame") << QByteArray("PK\x03\x04 not zstd at all") << qulonglong(20)
                                 << kMaxZstdWindowLog << ZstdStream::Status::Corrupt;
    std::string flipped = frame;
    flipped[frame.size() / 2] = char(flipped[frame.size() / 2] ^ 0x40);
    QTest::newRow("a changed byte (the checksum)") << bytes(flipped) << qulonglong(file.size())
                                                   << kMaxZstdWindowLog << ZstdStream::Status::Corrupt;
    QTest::newRow("fewer bytes than declared") << bytes(frame) << qulonglong(file.size() + 1)
                                               << kMaxZstdWindowLog << ZstdStream::Status::Truncated;
    QTest::newRow("more bytes than declared") << bytes(frame) << qulonglong(file.size() - 1)
                                              << kMaxZstdWindowLog << ZstdStream::Status::OverSize;
    // Without a stated size, the decoded bytes themselves are counted.
    FrameOptions unstated;
    unstated.contentSize = false;
    const std::string streamed = compress(file, unstated);
    QTest::newRow("more bytes than declared, size unstated") << bytes(streamed) << qulonglong(file.size() - 1)
                                                             << kMaxZstdWindowLog << ZstdStream::Status::OverSize;
    QTest::newRow("fewer bytes than declared, size unstated") << bytes(streamed) << qulonglong(file.size() + 1)
                                                              << kMaxZstdWindowLog << ZstdStream::Status::Truncated;
    // A header stating one byte of content over an empty raw block, with a valid checksum, for an
    // empty file: the library's streaming decoder, fed byte by byte, does not compare the stated
    // size with the blocks; the header's size against the list's refuses it.
    QTest::newRow("a header stating another size than the blocks")
        << QByteArray("\x28\xb5\x2f\xfd\x24\x01\x01\x00\x00\x99\xe9\xd8\x51", 13) << qulonglong(0)
        << kMaxZstdWindowLog << ZstdStream::Status::OverSize;
    // A window stated in the header (no content size): 2^21 against a cap of 2^20.
    FrameOptions wide;
    wide.windowLog = 21;
    wide.contentSize = false;
    const std::string big = someFile(3 << 20, 3);
    QTest::newRow("a window above the cap") << bytes(compress(big, wide)) << qulonglong(big.size()) << 20
                                            << ZstdStream::Status::WindowTooLarge;
    QTest::newRow("the same frame within the cap") << bytes(compress(big, wide)) << qulonglong(big.size()) << 21
                                                   << ZstdStream::Status::Ok;
    // A small frame states its size as its window: the cap holds for it too, also when the
    // library could decode it in one piece into its output buffer.
    const std::string small = someFile(1600, 4);
    QTest::newRow("a small frame above a small cap") << bytes(compress(small)) << qulonglong(small.size()) << 10
                                                     << ZstdStream::Status::WindowTooLarge;
    // The shipped cap against a frame that asks for one more.
    FrameOptions wider;
    wider.windowLog = kMaxZstdWindowLog + 1;
    wider.contentSize = false;
    QTest::newRow("one above the shipped cap") << bytes(compress(file, wider)) << qulonglong(file.size())
                                               << kMaxZstdWindowLog << ZstdStream::Status::WindowTooLarge;
}

void TestZstdStream::refusals()
{
    QFETCH(QByteArray, frame);
    QFETCH(qulonglong, expected);
    QFETCH(int, maxWindowLog);
    QFETCH(ZstdStream::Status, status);
    for (std::size_t chunk : {std::size_t(1) << 20, std::size_t(4096), std::size_t(1)}) {
        const Outcome o = decode(frame.toStdString(), expected, chunk, nullptr, maxWindowLog);
        QCOMPARE(o.status, status);
        QVERIFY(o.sinkBytes <= expected);
    }
}

void TestZstdStream::aBombStopsAtTheDeclaredSize()
{
    // 1 GiB of zeros in a few kilobytes, sent for a file the list says has 1 MiB.
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    std::string frame(1 << 20, '\0');
    const std::string zeros(1 << 20, '\0');
    ZSTD_outBuffer out = {&frame[0], frame.size(), 0};
    for (int i = 0; i < 1024; ++i) {
        ZSTD_inBuffer in = {zeros.data(), zeros.size(), 0};
        ZSTD_compressStream2(c, &out, &in, i == 1023 ? ZSTD_e_end : ZSTD_e_continue);
    }
    ZSTD_freeCCtx(c);
    frame.resize(out.pos);
    QVERIFY(frame.size() < 100000);

    const Outcome o = decode(frame, 1 << 20, 4096);
    QCOMPARE(o.status, ZstdStream::Status::OverSize);
    QVERIFY(o.sinkBytes <= (1u << 20));
    // A sink that fails is a failure too, and stops the stream.
    const Outcome refused = decode(compress(someFile(100000, 4)), 100000, 4096, nullptr, kMaxZstdWindowLog, 50000);
    QCOMPARE(refused.status, ZstdStream::Status::SinkFailed);
}

void TestZstdStream::aDeltaNeedsItsReference()
{
    const std::string old = someFile(1500000, 5);
    std::string changed = old;
    for (std::size_t i = 0; i < changed.size(); i += 100000) changed[i] = char(changed[i] + 1);
    changed.insert(700000, "a few new bytes");
    FrameOptions delta;
    delta.reference = &old;
    delta.windowLog = 21;
    const std::string frame = compress(changed, delta);
    QVERIFY2(frame.size() * 20 < changed.size(), "a delta of a few changes is small");

    const Outcome right = decode(frame, changed.size(), 8192, &old);
    QCOMPARE(right.status, ZstdStream::Status::Ok);
    QVERIFY(right.decoded == changed);

    const std::string other = someFile(old.size(), 6);
    QVERIFY(decode(frame, changed.size(), 8192, &other).status != ZstdStream::Status::Ok);
    QVERIFY(decode(frame, changed.size(), 8192, nullptr).status != ZstdStream::Status::Ok);
}

void TestZstdStream::theCommandsPatchFromFrameDecodes()
{
    // What the publisher's tool makes: `zstd --patch-from` of the older file.
    const QString zstd = QStandardPaths::findExecutable("zstd");
    if (zstd.isEmpty()) QSKIP("no zstd command here to make a delta with");
    QTemporaryDir dir;
    const std::string old = someFile(900000, 7);
    std::string next = old;
    next.replace(1000, 5, "HELLO");
    auto put = [&](const QString& name, const std::string& data) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data.data(), qint64(data.size()));
    };
    put("old", old);
    put("new", next);
    QProcess p;
    p.start(zstd, {"-q", "-19", "--patch-from=" + dir.filePath("old"), dir.filePath("new"), "-o", dir.filePath("delta")});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QFile f(dir.filePath("delta"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray frame = f.readAll();
    QVERIFY(frame.size() < 2000);
    const Outcome o = decode(frame.toStdString(), next.size(), 512, &old);
    QCOMPARE(o.status, ZstdStream::Status::Ok);
    QVERIFY(o.decoded == next);
}

QTEST_GUILESS_MAIN(TestZstdStream)
#include "test_zstdstream.moc"

// The list's compressed files and deltas: which entries and deltas are kept, and why the others
// are left out (the file itself is then downloaded whole).
#include "list/filelist.h"

#include <QtTest>

namespace {
const QString A64 = QString(64, QLatin1Char('a'));
const QString B64 = QString(64, QLatin1Char('b'));
const QString C64 = QString(64, QLatin1Char('c'));

QString delta(const QString& from, const QString& extra = QStringLiteral(" url='http://h/d' sha256='%1' size='10'"))
{
    return QStringLiteral("<delta from='%1'%2/>").arg(from, extra.contains("%1") ? extra.arg(C64) : extra);
}
}

class TestFileListDeltas : public QObject
{
    Q_OBJECT
private slots:
    void entries_data()
    {
        QTest::addColumn<QString>("file");         // the <file> element's attributes after url and dist
        QTest::addColumn<QString>("children");
        QTest::addColumn<bool>("signedList");
        QTest::addColumn<bool>("downloaded");      // the file entry is kept
        QTest::addColumn<QStringList>("froms");    // the deltas kept, in order
        QTest::addColumn<QString>("note");         // part of the one note, or empty for none

        const QString sized = QStringLiteral(" sha256='%1' size='100'").arg(A64);
        QTest::newRow("a delta") << sized << delta(B64) << false << true << QStringList{B64} << "";
        QTest::newRow("two deltas in list order") << sized << delta(B64) + delta(C64) << false << true
                                                  << QStringList{B64, C64} << "";
        QTest::newRow("upper-case from") << sized << delta(B64.toUpper()) << false << true << QStringList{B64} << "";
        QTest::newRow("the same from twice") << sized << delta(B64) + delta(B64) << false << true << QStringList{B64}
                                             << "another delta starts from the same file";
        QTest::newRow("from the file itself") << sized << delta(A64) << false << true << QStringList{}
                                              << "starts from the file itself";
        QTest::newRow("from is not a digest") << sized << delta("abc") << false << true << QStringList{}
                                              << "from is not 64 hex digits";
        QTest::newRow("a file: url") << sized << delta(B64, " url='file:///etc/passwd'") << false << true
                                     << QStringList{} << "only http and https";
        QTest::newRow("no digest, unsigned list") << sized << delta(B64, " url='http://h/d'") << false << true
                                                  << QStringList{B64} << "";
        QTest::newRow("no digest, signed list") << sized << delta(B64, " url='http://h/d' size='10'") << true << true
                                                << QStringList{} << "a signed list must give sha256 and size of every delta";
        QTest::newRow("no size, signed list") << sized << delta(B64, " url='http://h/d' sha256='%1'") << true << true
                                              << QStringList{} << "a signed list must give sha256 and size of every delta";
        QTest::newRow("signed, complete") << sized << delta(B64) << true << true << QStringList{B64} << "";
        QTest::newRow("a bad delta digest") << sized << delta(B64, " url='http://h/d' sha256='xyz'") << false << true
                                            << QStringList{} << "sha256 is not 64 hex digits";
        QTest::newRow("a bad delta size") << sized << delta(B64, " url='http://h/d' size='-1'") << false << true
                                          << QStringList{} << "size is not a byte count";
        QTest::newRow("a delta size above the range") << sized << delta(B64, " url='http://h/d' size='9223372036854775808'") << false << true
                                                      << QStringList{} << "above the largest byte count";
        QTest::newRow("a file without its own digest") << " size='100'" << delta(B64) << false << true
                                                       << QStringList{} << "no sha256 and size to check them by";
        QTest::newRow("a file without its own size") << QStringLiteral(" sha256='%1'").arg(A64) << delta(B64) << false << true
                                                     << QStringList{} << "no sha256 and size to check them by";
        QString many;
        for (int i = 0; i < kMaxDeltasPerFile + 1; ++i) many += delta(QStringLiteral("%1").arg(i, 64, 10, QLatin1Char('0')));
        QTest::newRow("more deltas than kept") << sized << many << false << true
                                               << QStringList{} /* checked by count below */ << "more than 16 deltas";
        QTest::newRow("compressed") << sized + " encoding='zstd'" << QString() << false << true << QStringList{} << "";
        QTest::newRow("compressed without a size") << QStringLiteral(" sha256='%1' encoding='zstd'").arg(A64) << QString()
                                                   << false << false << QStringList{} << "must give its size";
        QTest::newRow("another encoding") << sized + " encoding='gzip'" << QString() << false << false << QStringList{}
                                          << "unknown encoding \"gzip\"";
    }

    void entries()
    {
        QFETCH(QString, file);
        QFETCH(QString, children);
        QFETCH(bool, signedList);
        QFETCH(bool, downloaded);
        QFETCH(QStringList, froms);
        QFETCH(QString, note);
        QTemporaryDir dir;
        const QString xml = QStringLiteral("<files><file url='http://h/f' dist='f.dll'%1>%2</file></files>").arg(file, children);
        const FileListResult r = readFileList(xml.toUtf8(), dir.path(), QStringLiteral("desktop-updater"), signedList);
        QCOMPARE(r.downloads.size(), downloaded ? 1 : 0);
        if (note.isEmpty()) QCOMPARE(r.notes, QStringList());
        else QVERIFY2(r.notes.size() == 1 && r.notes[0].contains(note), qPrintable(r.notes.join('\n')));
        if (!downloaded) return;
        const QList<DeltaSource> deltas = r.downloads[0].deltas;
        if (QByteArray(QTest::currentDataTag()) == "more deltas than kept") {
            QCOMPARE(deltas.size(), kMaxDeltasPerFile);
            return;
        }
        QStringList kept;
        for (const DeltaSource& d : deltas) kept << d.from;
        QCOMPARE(kept, froms);
        QCOMPARE(r.downloads[0].encoding, file.contains("zstd") ? QString("zstd") : QString());
    }

    void aDeltaKeepsWhatTheListSays()
    {
        QTemporaryDir dir;
        const QByteArray xml = QStringLiteral("<files><file url='http://h/f' dist='f.dll' sha256='%1' size='100'>"
                                              "<delta from='%2' url='http://h/f.zst' sha256='%3' size='42'/>"
                                              "<delta from='%3' url='https://h/g.zst'/></file></files>")
                                   .arg(A64, B64, C64).toUtf8();
        const QList<DeltaSource> d = readFileList(xml, dir.path(), "desktop-updater").downloads.value(0).deltas;
        QCOMPARE(d.size(), 2);
        QCOMPARE(d[0].url, QString("http://h/f.zst"));
        QCOMPARE(d[0].sha256, C64);
        QCOMPARE(d[0].size, qint64(42));
        QCOMPARE(d[1].url, QString("https://h/g.zst"));
        QCOMPARE(d[1].sha256, QString());
        QCOMPARE(d[1].size, qint64(-1));
    }
};

QTEST_APPLESS_MAIN(TestFileListDeltas)
#include "test_filelist_deltas.moc"

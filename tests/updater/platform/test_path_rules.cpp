// Links and junctions below the updater's folder, on both builds: a reparse point anywhere on a
// path refuses the entry, and a removal takes a link itself, never what lies behind it, also
// when the commit drops its backup.
#include "list/filelist.h"
#include "platform/path_rules.h"
#include "transaction/updatetransaction.h"

#include "support/commit_release.h"
#include "support/files.h"
#include "support/links.h"

#include <QtTest>

using testfiles::readFile;
using testfiles::writeFile;

class TestPathRules : public QObject
{
    Q_OBJECT
private slots:
    void reparsePointsOnTheWayAreRefused()
    {
        QTemporaryDir root;
        const QString base = root.path() + "/updater", outside = root.path() + "/elsewhere";
        writeFile(outside + "/precious.txt", "precious");
        writeFile(base + "/sub/inner/keep.txt", "keep");
        if (!testlinks::makeLink(outside, base + "/j")) QSKIP("no symbolic link could be made here");
        QVERIFY(testlinks::makeLink(base + "/sub/inner", base + "/sub/k"));  // stays inside, still refused
        QVERIFY(pathrules::isReparsePoint(base + "/j"));
        QCOMPARE(pathrules::reparsePointOnTheWay(base, base + "/sub/k/x/y.dll", false), base + "/sub/k");
        QCOMPARE(pathrules::reparsePointOnTheWay(base, base + "/j", true), QString());

        const FileListResult r = readFileList(
            "<files><file url='http://h/1' dist='j/x.dll'/><file url='http://h/2' dist='sub/k/y.dll'/>"
            "<file url='http://h/3' dist='sub/ok.dll'/><remove dist='j/precious.txt'/>"
            "<remove dist='sub/k/keep.txt'/></files>",
            base, "me");
        QCOMPARE(r.downloads.size(), 1);
        QCOMPARE(r.rejected, (QStringList{"j/x.dll", "sub/k/y.dll", "j/precious.txt", "sub/k/keep.txt"}));
        QVERIFY(r.notes.value(1).contains("link or junction"));
        QCOMPARE(readFile(outside + "/precious.txt"), QByteArray("precious"));
        QCOMPARE(readFile(base + "/sub/inner/keep.txt"), QByteArray("keep"));
    }

    void removalNeverEntersALink()
    {
        // `data` holds a link to a folder outside, and `loop` one back to the folder's parent.
        QTemporaryDir root;
        const QString base = root.path() + "/updater", outside = root.path() + "/elsewhere";
        writeFile(outside + "/precious.txt", "precious");
        writeFile(base + "/data/file.txt", "data");
        writeFile(base + "/domvista.exe", "app");
        if (!testlinks::makeLink(outside, base + "/data/cache")) QSKIP("no symbolic link could be made here");
        QVERIFY(testlinks::makeLink(root.path(), base + "/data/loop"));
#ifdef Q_OS_WIN
        // Measured under Wine 8: moving a Unix link to a folder moves the folder it points to (a
        // Windows rename moves the link itself), so a removed top-level link is the native
        // build's case here.
        const QStringList removed{base + "/data"};
#else
        QVERIFY(testlinks::makeLink(outside, base + "/top"));
        const QStringList removed{base + "/data", base + "/top"};
#endif
        const FileListResult r = readFileList("<files><remove dist='data'/><remove dist='top'/></files>", base, "me");
        QCOMPARE(r.removals, removed);
        // The removals happen at the commit, and the backup that holds them is removed after it.
        UpdateTransaction tx(base);
        QString why;
        QVERIFY2(testcommit::commit(tx, testcommit::releaseOf(r), &why), qPrintable(why));
        QCOMPARE(readFile(outside + "/precious.txt"), QByteArray("precious"));
        QCOMPARE(readFile(base + "/domvista.exe"), QByteArray("app"));
        QVERIFY(!QFileInfo::exists(base + "/data") && !QFileInfo(base + "/data").isSymLink());
        QVERIFY(!QFileInfo::exists(base + "/top") && !QFileInfo(base + "/top").isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestPathRules)
#include "test_path_rules.moc"

// Reading the server's file list: targets, the updater's own file, folders, removals, and
// paths that try to leave the updater's folder.
#include "list/filelist.h"
#include "list/pathpolicy.h"
#include "list/xmlnesting.h"

#include "support/files.h"
#include "support/links.h"

#include <QtTest>

using namespace testfiles;


// Writes `bytes` as base/name and gives it a second name, base/<name's stem>-alias<its suffix>.
static bool linkedPair(const QString& base, const QString& name, const QByteArray& bytes)
{
    const int dot = name.lastIndexOf('.');
    const QString alias = dot < 0 ? name + "-alias" : name.left(dot) + "-alias" + name.mid(dot);
    writeFile(base + "/" + name, bytes);
    return testlinks::makeHardLink(base + "/" + name, base + "/" + alias);
}

class TestFileList : public QObject
{
    Q_OBJECT
private slots:
    void downloadsInDocumentOrderAndNothingChanges()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        const QByteArray xml =
            "<?xml version='1.0'?><files>"
            "<file url='http://h/a' dist='a.dll'/>"
            "<group><file url='http://h/b' dist='sub/deeper/b.dat'/></group>"
            "<file url='http://h/c' dist='desktop-updater'/>"
            "<other dist='ignored'/>"
            "</files>";
        const FileListResult r = readFileList(xml, base, QStringLiteral("desktop-updater"));
        QCOMPARE(r.downloads.size(), 3);
        QCOMPARE(r.rejected.size(), 0);
        QCOMPARE(r.downloads[0].url, QString("http://h/a"));
        QCOMPARE(r.downloads[0].dist, base + "/a.dll");
        QCOMPARE(r.downloads[1].dist, base + "/sub/deeper/b.dat");
        QCOMPARE(r.downloads[1].name, QString("sub/deeper/b.dat"));
        // The updater's own file waits in Application/Updates.
        QCOMPARE(r.downloads[2].dist, base + "/Application/Updates/desktop-updater");
        QCOMPARE(QDir(base).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());  // reading creates nothing
        QCOMPARE(r.downloads[0].sha256, QString());
        QCOMPARE(r.downloads[0].size, qint64(-1));
    }

    // Only the exact name is the updater's new copy; in a folder it is an ordinary file, and
    // another spelling of the updater itself is refused.
    void ownNameOnlyWhenExact()
    {
        QTemporaryDir dir;
        writeFile(dir.path() + "/desktop-updater", "updater");
        const QByteArray xml = "<files><file url='http://h/u' dist='bin/desktop-updater'/>"
                               "<file url='http://h/u' dist='Desktop-Updater'/></files>";
        const FileListResult r = readFileList(xml, dir.path(), QStringLiteral("desktop-updater"));
        QCOMPARE(r.downloads.value(0).dist, dir.path() + "/bin/desktop-updater");
#ifdef Q_OS_WIN
        QCOMPARE(r.downloads.size(), 1);  // the same file on Windows
        QCOMPARE(r.rejected, QStringList{"Desktop-Updater"});
        QVERIFY2(r.notes.value(0).contains("the updater's own file"), qPrintable(r.notes.value(0)));
#else
        QCOMPARE(r.downloads.size(), 2);
        QCOMPARE(r.downloads[1].dist, dir.path() + "/Desktop-Updater");
#endif
    }

    // Two hard links of one file are two targets, each downloaded into a file of its own; the
    // same name spelled twice is one, and a download to another name of the updater is refused.
    void hardLinksAreTwoTargets()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        if (!linkedPair(base, "core.dll", "core") || !linkedPair(base, "me", "updater")) QSKIP("no hard link could be made here");
        const FileListResult r = readFileList("<files><file url='http://h/a' dist='core.dll'/><file url='http://h/b' dist='core-alias.dll'/>"
                                              "<file url='http://h/c' dist='./core-alias.dll'/><file url='http://h/d' dist='me-alias'/></files>",
                                              base, "me");
        QCOMPARE(r.downloads.size(), 2);
        QCOMPARE(r.downloads[0].dist, base + "/core.dll");
        QCOMPARE(r.downloads[1].dist, base + "/core-alias.dll");
        QCOMPARE(r.rejected, (QStringList{"./core-alias.dll", "me-alias"}));
        QVERIFY2(r.notes.value(0).contains("listed twice"), qPrintable(r.notes.value(0)));
        QVERIFY2(r.notes.value(1).contains("the updater's own file"), qPrintable(r.notes.value(1)));
    }

    void filesElementAnywhereAndOptionalChecks()
    {
        QTemporaryDir dir;
        const QByteArray xml = "<update><meta/><files><file url='http://h/u' dist='x' sha256='" + QByteArray(64, 'a') + "' size='12'/></files>"
                               "<files><file url='http://h/v' dist='y'/></files></update>";
        const FileListResult r = readFileList(xml, dir.path(), "me");
        QCOMPARE(r.downloads.size(), 1);  // only the first files element counts
        QCOMPARE(r.downloads[0].sha256, QString(64, 'a'));
        QCOMPARE(r.downloads[0].size, qint64(12));
    }

    // Each attribute lands in its own field of the record, as the downloader and the commit read
    // it: digests and sizes without the blanks around them, the size as a number; an entry that
    // gives none of them says "not given" in each field.
    void theRecordCarriesEveryAttribute()
    {
        QTemporaryDir dir;
        const QString digest = QString(32, 'a') + QString(32, '0');
        const QByteArray xml = "<files><file url='https://h/p/a.zst' dist='sub/a.dll' sha256=' " + digest.toLatin1() +
                               " ' size=' 0042 ' encoding='zstd'/><file url='http://h/b' dist='b.dll'/></files>";
        const FileListResult r = readFileList(xml, dir.path(), "me");
        QCOMPARE(r.downloads.size(), 2);
        const FileEntry& a = r.downloads[0];
        QCOMPARE(a.url, QString("https://h/p/a.zst"));
        QCOMPARE(a.dist, dir.path() + "/sub/a.dll");
        QCOMPARE(a.name, QString("sub/a.dll"));
        QCOMPARE(a.sha256, digest);
        QCOMPARE(a.size, qint64(42));
        QCOMPARE(a.encoding, QString("zstd"));
        const FileEntry& b = r.downloads[1];
        QCOMPARE(b.sha256, QString());
        QCOMPARE(b.size, qint64(-1));
        QCOMPARE(b.encoding, QString());
        QCOMPARE(b.deltas.size(), 0);
    }

    void malformedOrEmptyListsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::newRow("not xml") << QByteArray("<files><file url='http://h/u' dist='a'/><remove dist='keep.txt'/>");
        QTest::newRow("no files element") << QByteArray("<list><file url='http://h/u' dist='a'/><remove dist='keep.txt'/></list>");
        QTest::newRow("empty body") << QByteArray();
    }
    void malformedOrEmptyListsChangeNothing()
    {
        QFETCH(QByteArray, xml);
        QTemporaryDir dir;
        writeFile(dir.path() + "/keep.txt", "keep");
        const FileListResult r = readFileList(xml, dir.path(), "me");
        QVERIFY(r.downloads.isEmpty());
        QCOMPARE(readFile(dir.path() + "/keep.txt"), QByteArray("keep"));
        QVERIFY(!QFileInfo(dir.path() + "/a").exists());
    }

    void removalsResolveAgainstTheUpdaterFolderNotTheWorkingDirectory()
    {
        QTemporaryDir base;
        QTemporaryDir cwd;
        writeFile(base.path() + "/old.dll", "old");
        writeFile(base.path() + "/plugins/p1.dll", "p1");
        writeFile(base.path() + "/plugins/sub/p2.dll", "p2");
        writeFile(cwd.path() + "/old.dll", "not mine");
        const QString savedCwd = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        const QByteArray xml = "<files><remove dist='old.dll'/><remove dist='plugins'/>"
                               "<remove dist='does/not/exist'/></files>";
        const FileListResult r = readFileList(xml, base.path(), "me");
        QDir::setCurrent(savedCwd);
        // Removals wait for the commit; a path that is not there is left out.
        QCOMPARE(r.removals, (QStringList{base.path() + "/old.dll", base.path() + "/plugins"}));
        QCOMPARE(readFile(base.path() + "/old.dll"), QByteArray("old"));
        QCOMPARE(readFile(cwd.path() + "/old.dll"), QByteArray("not mine"));
    }

    // Each row: one list entry (or two), whether the build checks signatures, and what comes out:
    // "refused, " when an entry was skipped, then downloads, folders, removals ('-' for none).
    void entryRules_data()
    {
        QTest::addColumn<QByteArray>("entries");
        QTest::addColumn<bool>("signedBuild");
        QTest::addColumn<QString>("expected");
        const QByteArray sha = "sha256='" + QByteArray(64, 'A') + "'";
        QTest::newRow("trailing / on a file entry: a folder") << QByteArray("<file url='http://h/u' dist='newdir/'/>") << false << "- newdir -";
        QTest::newRow("trailing \\ too") << QByteArray("<file url='' dist='a\\b\\'/>") << false << "- a/b -";
        QTest::newRow("folder where a file is") << QByteArray("<file url='' dist='kept.txt/'/>") << false << "refused, - - -";
        QTest::newRow("trailing / removal of a file: kept") << QByteArray("<remove dist='kept.txt/'/>") << false << "- - -";
        QTest::newRow("trailing / removal of a folder") << QByteArray("<remove dist='olddir/'/>") << false << "- - olddir";
        QTest::newRow("download onto a folder") << QByteArray("<file url='http://h/u' dist='olddir'/>") << false << "refused, - - -";
        QTest::newRow("listed twice") << QByteArray("<file url='http://h/u' dist='x'/><file url='http://h/v' dist='./x'/>") << false << "refused, x - -";
        // The first entry claims its path even when what lies there refuses it, so which entry
        // counts never depends on what the folder holds.
        QTest::newRow("listed twice, the first refused") << QByteArray("<file url='http://h/u' dist='olddir'/><file url='' dist='olddir/'/>") << false << "refused, - - -";
        QTest::newRow("malformed sha256") << QByteArray("<file url='http://h/u' dist='x' sha256='ab'/>") << false << "refused, - - -";
        QTest::newRow("malformed size") << QByteArray("<file url='http://h/u' dist='x' size='-1'/>") << false << "refused, - - -";
        QTest::newRow("size of 2^63 - 1") << QByteArray("<file url='http://h/u' dist='x' size='9223372036854775807'/>") << false << "x - -";
        QTest::newRow("size of 2^63: above the range") << QByteArray("<file url='http://h/u' dist='x' size='9223372036854775808'/>") << false << "refused, - - -";
        QTest::newRow("size of 19 nines") << QByteArray("<file url='http://h/u' dist='x' size='9999999999999999999'/>") << false << "refused, - - -";
        QTest::newRow("signed build, no digest") << QByteArray("<file url='http://h/u' dist='x' size='3'/>") << true << "refused, - - -";
        QTest::newRow("signed build, no size") << QByteArray("<file url='http://h/u' dist='x' " + sha + "/>") << true << "refused, - - -";
        QTest::newRow("signed build, both") << QByteArray("<file url='http://h/u' dist='x' size='3' " + sha + "/>") << true << "x - -";
        QTest::newRow("signed build, a folder needs none") << QByteArray("<file url='' dist='d/'/>") << true << "- d -";
        QTest::newRow("remove the settings folder") << QByteArray("<remove dist='Application/Config'/>") << false << "refused, - - -";
        QTest::newRow("remove what holds it") << QByteArray("<remove dist='Application'/>") << false << "refused, - - -";
        QTest::newRow("remove the working folder") << QByteArray("<remove dist='Application/Updates/'/>") << false << "refused, - - -";
        QTest::newRow("remove inside it") << QByteArray("<remove dist='Application/Updates/staging'/>") << false << "refused, - - -";
        QTest::newRow("remove the updater") << QByteArray("<remove dist='me'/>") << false << "refused, - - -";
        QTest::newRow("remove inside the settings") << QByteArray("<remove dist='Application/Config/old.ini'/>") << false << "- - Application/Config/old.ini";
        QTest::newRow("download into the settings") << QByteArray("<file url='http://h/u' dist='Application/Config/new.ini'/>") << false << "refused, - - -";
        QTest::newRow("a folder in the settings") << QByteArray("<file url='' dist='Application/Config/sub/'/>") << false << "refused, - - -";
        QTest::newRow("download onto the settings' config") << QByteArray("<file url='http://h/u' dist='Application/./Config/config.ini'/>") << false << "refused, - - -";
        QTest::newRow("the updater by another path") << QByteArray("<file url='http://h/u' dist='./me'/>") << false << "refused, - - -";
        QTest::newRow("the updater through a climb") << QByteArray("<file url='http://h/u' dist='sub/../me'/>") << false << "refused, - - -";
        QTest::newRow("the updater's log") << QByteArray("<file url='http://h/u' dist='desktop-updater.log'/>") << false << "refused, - - -";
        QTest::newRow("the updater's own new copy") << QByteArray("<file url='http://h/u' dist='me'/>") << false << "Application/Updates/me - -";
        QTest::newRow("remove the updater's log") << QByteArray("<remove dist='desktop-updater.log'/>") << false << "refused, - - -";
        QTest::newRow("a name of 256") << QByteArray("<file url='http://h/u' dist='" + QByteArray(256, 'n') + "'/>") << false << "refused, - - -";
        QTest::newRow("a folder name of 256 on the way") << QByteArray("<file url='http://h/u' dist='" + QByteArray(256, 'n') + "/x'/>") << false << "refused, - - -";
#ifndef Q_OS_WIN
        // On Windows a name this long already passes the path's limit.
        QTest::newRow("a name of 255") << QByteArray("<file url='http://h/u' dist='" + QByteArray(255, 'n') + "'/>") << false << QString(255, 'n') + " - -";
#endif
        QTest::newRow("download into the working folder") << QByteArray("<file url='http://h/u' dist='Application/Updates/x'/>") << false << "refused, - - -";
        QTest::newRow("a target below a file") << QByteArray("<file url='http://h/u' dist='kept.txt/inner.bin'/>") << false << "refused, - - -";
        QTest::newRow("a folder below a file") << QByteArray("<file url='' dist='kept.txt/sub/'/>") << false << "refused, - - -";
        QTest::newRow("below a file the list removes") << QByteArray("<file url='http://h/u' dist='kept.txt/inner.bin'/><remove dist='kept.txt'/>") << false << "kept.txt/inner.bin - kept.txt";
        QTest::newRow("below a folder the list removes") << QByteArray("<file url='http://h/u' dist='olddir/x/y'/><remove dist='olddir'/>") << false << "olddir/x/y - olddir";
        QTest::newRow("below another download") << QByteArray("<file url='http://h/u' dist='x'/><file url='http://h/v' dist='x/y'/>") << false << "refused, x - -";
        QTest::newRow("above another download") << QByteArray("<file url='http://h/u' dist='x/y'/><file url='http://h/v' dist='x'/>") << false << "refused, x/y - -";
        QTest::newRow("above a listed folder") << QByteArray("<file url='' dist='x/y/'/><file url='http://h/v' dist='x'/>") << false << "refused, - x/y -";
    }
    void entryRules()
    {
        QFETCH(QByteArray, entries);
        QFETCH(bool, signedBuild);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/kept.txt", "kept");
        writeFile(base + "/me", "updater");
        writeFile(base + "/olddir/x", "x");
        writeFile(base + "/Application/Config/config.ini", "ini");
        writeFile(base + "/Application/Config/old.ini", "ini");
        writeFile(base + "/Application/Updates/staging/0", "0");
        writeFile(base + "/desktop-updater.log", "log");
        const FileListResult r = readFileList("<files>" + entries + "</files>", base, "me", signedBuild);
        auto rel = [&](const QStringList& paths) {
            QStringList out;
            for (const QString& p : paths) out << QDir(base).relativeFilePath(p);
            return out.isEmpty() ? QString("-") : out.join(',');
        };
        QStringList downloads;
        for (const FileEntry& e : r.downloads) downloads << e.dist;
        const QString got = QString(r.rejected.isEmpty() ? "" : "refused, ") + rel(downloads) + " " +
                            rel(r.folders) + " " + rel(r.removals);
        QCOMPARE(got, expected);
        QCOMPARE(readFile(base + "/kept.txt"), QByteArray("kept"));
        QVERIFY(!QFileInfo::exists(base + "/newdir"));
    }

    void hostilePathsAreSkipped_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::newRow("absolute") << "/OUTSIDE/victim.txt";
        QTest::newRow("climbs out") << "../victim.txt";
        QTest::newRow("climbs out later") << "a/b/../../../victim.txt";
        QTest::newRow("backslashes climb") << "..\\victim.txt";
        QTest::newRow("drive letter") << "C:/victim.txt";
        QTest::newRow("drive relative") << "C:victim.txt";
        QTest::newRow("the folder itself") << ".";
        QTest::newRow("the folder via a detour") << "a/..";
        QTest::newRow("empty") << "";
    }
    void hostilePathsAreSkipped()
    {
        QFETCH(QString, dist);
        QTemporaryDir root;
        const QString base = root.path() + "/updater";
        const QString outside = root.path() + "/victim.txt";
        writeFile(outside, "precious");
        writeFile(base + "/keep.txt", "keep");
        QString d = dist;
        d.replace("/OUTSIDE", root.path());
        const QString xml = QString("<files><file url='http://h/u' dist='%1'/><remove dist='%1'/></files>").arg(d);
        const FileListResult r = readFileList(xml.toUtf8(), base, "me");
        QVERIFY(r.downloads.isEmpty());
        QCOMPARE(r.rejected.size(), 2);
        QCOMPARE(readFile(outside), QByteArray("precious"));
        QCOMPARE(readFile(base + "/keep.txt"), QByteArray("keep"));
    }

    void dotDotThatStaysInsideIsAllowed()
    {
        QTemporaryDir base;
        const FileListResult r = readFileList("<files><file url='http://h/u' dist='a/../b.txt'/></files>", base.path(), "me");
        QCOMPARE(r.downloads.size(), 1);
        QCOMPARE(r.downloads[0].dist, base.path() + "/b.txt");
    }

    void onlyHttpAndHttpsUrlsAreDownloaded()
    {
        QTemporaryDir dir;
        const QByteArray xml =
            "<files><file url='file:///etc/passwd' dist='a'/>"
            "<file url='file://fileserver/share/x' dist='b'/>"
            "<file url='ftp://h/c' dist='c'/><file url='qrc:/zh_cn.qm' dist='d'/>"
            "<file url='relative/e' dist='e'/><file url='' dist='f'/>"
            "<file url='HTTP://h/ok1' dist='ok1'/><file url='https://h/ok2' dist='ok2'/></files>";
        const FileListResult r = readFileList(xml, dir.path(), "me");
        QCOMPARE(r.downloads.size(), 2);
        QCOMPARE(r.downloads[0].dist, dir.path() + "/ok1");
        QCOMPARE(r.downloads[1].dist, dir.path() + "/ok2");
        QCOMPARE(r.rejected, (QStringList{"a", "b", "c", "d", "e", "f"}));
        QCOMPARE(r.notes.size(), 6);
        QVERIFY(r.notes[1].contains("file://fileserver/share/x"));
    }

    void windowsNameAliasesAreRefused_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::addColumn<bool>("refused");
        for (const char* name : {"CON", "con.txt", "sub/NUL", "Lpt9.log", "COM1", "aux .txt", "prn.tar.gz",
                                 "file.", "file ", "dir./x.dll", "dir /x.dll", ".. /victim.txt", "..../x",
                                 "CONIN$", "conout$.log", "COM\u00b9", "lpt\u00b2.txt", "Com\u00b3/x",
                                 "a<b", "a>b", "a:b", "a\"b", "a|b", "a?b", "a*b", "a\tb", "sub\x01/x",
                                 "x.dll::$DATA", "Application/Config::$INDEX_ALLOCATION/x.ini"}) {
            QTest::newRow(name) << QString::fromUtf8(name) << true;
        }
        for (const char* name : {"CONSOLE.txt", "COM10", "com0", "lpt.txt", "a.b.c", "null.dll", ".hidden",
                                 "CONIN", "COM\u2074", "a$b", "a#b", "a%b", "a'b", "a[1]", "a=b,c;d"}) {
            QTest::newRow(name) << QString::fromUtf8(name) << false;
        }
    }
    void windowsNameAliasesAreRefused()
    {
        QFETCH(QString, dist);
        QFETCH(bool, refused);
        QTemporaryDir root;
        const QString base = root.path() + "/updater";
        writeFile(base + "/keep.txt", "keep");
        // In the XML every character is written as a reference, so any of them reaches the reader.
        QString escaped;
        for (const QChar c : dist) escaped += QString("&#%1;").arg(c.unicode());
        const QString xml = QString("<files><file url='http://h/u' dist='%1'/><remove dist='%1'/></files>").arg(escaped);
        const FileListResult r = readFileList(xml.toUtf8(), base, "me");
        QCOMPARE(r.downloads.size(), refused ? 0 : 1);
        if (refused) QCOMPARE(r.rejected, (QStringList{dist, dist}));
        QCOMPARE(readFile(base + "/keep.txt"), QByteArray("keep"));
    }

    void linksNeverCarryAWriteOrRemovalOutside()
    {
        QTemporaryDir root;
        const QString base = root.path() + "/updater";
        const QString outside = root.path() + "/elsewhere";
        writeFile(outside + "/precious.txt", "precious");
        writeFile(base + "/sub/inner.txt", "inner");
        QVERIFY(testlinks::makeLink(outside, base + "/out"));                        // a folder link leading out
        if (!testlinks::makeLink(outside + "/precious.txt", base + "/file.lnk")) {  // a file link leading out
            QSKIP("Wine 8 shows a Unix link to a file as the file itself, never as a reparse point");
        }
        QVERIFY(testlinks::makeLink(base + "/sub", base + "/in"));                    // a folder link inside, refused too
#ifdef Q_OS_WIN
        // Wine shows a Unix link to nothing as no file at all: that case is the native build's.
        const QString dangling = "in/also-no.dll";
#else
        const QString dangling = "dangling/x";
        QVERIFY(testlinks::makeLink(root.path() + "/nowhere", base + "/dangling"));
#endif
        const QByteArray xml =
            "<files><file url='http://h/1' dist='out/precious.txt'/>"
            "<file url='http://h/2' dist='out/new/deeper/x.dll'/>"
            "<file url='http://h/3' dist='file.lnk'/>"
            "<file url='http://h/4' dist='" + dangling.toUtf8() + "'/>"
            "<file url='http://h/5' dist='in/no.dll'/><file url='http://h/6' dist='sub/ok.dll'/>"
            "<remove dist='out/precious.txt'/><remove dist='file.lnk'/><remove dist='sub/../out/precious.txt'/></files>";
        const FileListResult r = readFileList(xml, base, "me");
        QCOMPARE(r.downloads.size(), 1);
        QCOMPARE(r.downloads[0].dist, base + "/sub/ok.dll");
        QCOMPARE(r.rejected, (QStringList{"out/precious.txt", "out/new/deeper/x.dll", "file.lnk", dangling,
                                          "in/no.dll", "out/precious.txt", "sub/../out/precious.txt"}));
        QCOMPARE(readFile(outside + "/precious.txt"), QByteArray("precious"));
        QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"precious.txt"});
        QCOMPARE(r.removals, QStringList{base + "/file.lnk"});  // the link itself may go
        QVERIFY(!QFileInfo::exists(root.path() + "/nowhere"));
    }

    void removalOfAPathThatIsAlsoDownloadedIsSkipped()
    {
        QTemporaryDir dir;
        writeFile(dir.path() + "/a.dll", "old a");
        writeFile(dir.path() + "/b.dll", "old b");
        const FileListResult r = readFileList(
            "<files><file url='http://h/a' dist='a.dll'/><remove dist='./a.dll'/><remove dist='b.dll'/></files>",
            dir.path(), "me");
        QCOMPARE(r.downloads.size(), 1);
        QCOMPARE(readFile(dir.path() + "/a.dll"), QByteArray("old a"));  // replaced only by its download
        QCOMPARE(r.removals, QStringList{dir.path() + "/b.dll"});
        QVERIFY(r.rejected.isEmpty());
    }

    // Two hard links of one file are two paths to remove, each its own; the same name spelled
    // twice is removed once. (Another spelling of one name: the Windows rules' test.)
    void eachHardLinkIsRemovedItself()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        if (!linkedPair(base, "old.dll", "old") || !linkedPair(base, "new.dll", "old")) QSKIP("no hard link could be made here");
        const FileListResult r = readFileList("<files><file url='http://h/n' dist='new.dll'/><remove dist='new-alias.dll'/>"
                                              "<remove dist='old.dll'/><remove dist='old-alias.dll'/><remove dist='./old.dll'/></files>",
                                              base, "me");
        QCOMPARE(r.removals, (QStringList{base + "/new-alias.dll", base + "/old.dll", base + "/old-alias.dll"}));
        QVERIFY2(r.rejected.isEmpty(), qPrintable(r.notes.join('\n')));
    }

    // What the list removes gives way to the release: a removed folder to a file, a file inside
    // a removed folder to a folder. What no removal takes away still refuses the entry.
    void aRemovalMakesRoomForWhatTakesItsPlace()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/x.dll/inner.txt", "in the old folder");
        writeFile(base + "/b/a", "a file in a removed folder");
        writeFile(base + "/y.dll/inner.txt", "a folder that stays");
        writeFile(base + "/c", "a file that stays");
        const QByteArray xml =
            "<files>"
            "<file url='http://h/x' dist='x.dll'/><remove dist='x.dll'/>"
            "<file dist='b/a/'/><remove dist='b/'/>"
            "<file url='http://h/y' dist='y.dll'/>"
            "<file dist='c/'/>"
            "</files>";
        const FileListResult r = readFileList(xml, base, QStringLiteral("desktop-updater"));
        QCOMPARE(r.downloads.size(), 1);
        QCOMPARE(r.downloads[0].dist, base + "/x.dll");
        QCOMPARE(r.folders, QStringList{base + "/b/a"});
        QCOMPARE(r.removals, (QStringList{base + "/x.dll", base + "/b"}));
        QCOMPARE(r.rejected, (QStringList{"y.dll", "c/"}));
        QVERIFY(r.notes.join('\n').contains("a folder is in its place"));
        QVERIFY(r.notes.join('\n').contains("a file is in its place"));
    }

    void deeplyNestedListIsRefusedUnparsed()
    {
        QTemporaryDir dir;
        writeFile(dir.path() + "/keep.txt", "keep");
        const QByteArray inner = "<files><file url='http://h/a' dist='a'/><remove dist='keep.txt'/></files>";
        auto nest = [&](int levels) {
            return QByteArray("<x a='>'>").repeated(levels - 1) + inner + QByteArray("</x>").repeated(levels - 1);
        };
        QCOMPARE(xmlNestingDepth(nest(3), kMaxFileListDepth), 4);
        // Exactly at the limit the list is read; one level more and it is refused.
        for (const int depth : {kMaxFileListDepth - 1, kMaxFileListDepth, kMaxFileListDepth + 1}) {
            QCOMPARE(xmlNestingDepth(nest(depth - 1), kMaxFileListDepth), depth > kMaxFileListDepth ? kMaxFileListDepth + 1 : depth);
            const FileListResult atDepth = readFileList(nest(depth - 1), dir.path(), "me");
            QCOMPARE(atDepth.refused, depth > kMaxFileListDepth);
            QCOMPARE(atDepth.downloads.size(), depth > kMaxFileListDepth ? 0 : 1);
        }
        QCOMPARE(kMaxFileListDepth, 64);
        writeFile(dir.path() + "/keep.txt", "keep");
        const FileListResult r = readFileList(nest(kMaxFileListDepth + 5), dir.path(), "me");
        QVERIFY(r.downloads.isEmpty());
        QCOMPARE(readFile(dir.path() + "/keep.txt"), QByteArray("keep"));
        QVERIFY(r.notes.value(0).contains("deeper"));
        // A million levels are counted without recursion and refused at once.
        QCOMPARE(xmlNestingDepth(QByteArray("<x>").repeated(1000000), kMaxFileListDepth), kMaxFileListDepth + 1);
    }

    // Where a path ends up once the links on its way are followed: a dangling link on the way
    // leads nowhere known, so the path never counts as inside.
    void aPathStaysInsideOnlyThroughKnownLinks_data()
    {
        QTest::addColumn<QString>("link");    // made below the folder, or ""
        QTest::addColumn<QString>("target");  // where it leads: "in", "out" or "nowhere"
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("inside");
        QTest::newRow("plain, missing") << "" << "" << "a/b/c.dll" << true;
        QTest::newRow("through a link inside") << "l" << "in" << "l/c.dll" << true;
        QTest::newRow("through a link outside") << "l" << "out" << "l/c.dll" << false;
        QTest::newRow("through a dangling link") << "l" << "nowhere" << "l/c.dll" << false;
        QTest::newRow("below a dangling link") << "l" << "nowhere" << "l/x/y/c.dll" << false;
        QTest::newRow("the dangling link itself") << "l" << "nowhere" << "l" << false;
    }
    void aPathStaysInsideOnlyThroughKnownLinks()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(QString, path);
        QFETCH(bool, inside);
        QTemporaryDir root;
        const QString base = root.path() + "/base";
        QVERIFY(QDir().mkpath(base + "/in"));
        QVERIFY(QDir().mkpath(root.path() + "/out"));
        if (!link.isEmpty()) {
            const QString to = target == "in" ? base + "/in" : target == "out" ? root.path() + "/out" : root.path() + "/nowhere";
            const bool made = testlinks::makeLink(to, base + "/" + link);
#ifdef Q_OS_WIN
            // Measured under Wine 8: a host link to nothing is no entry at all, and a canonical
            // path does not resolve a host link to a folder (the updater finds it as a reparse
            // point on the way instead).
            if (!testlinks::unixPath(base).isEmpty()) {
                if (!made && target == "nowhere") QSKIP("Wine 8 shows a host link that leads nowhere as no entry at all");
                if (target != "in") QSKIP("Wine 8 does not resolve a host link in a canonical path");
            }
#endif
            QVERIFY(made);
        }
        QCOMPARE(pathpolicy::staysInsideThroughLinks(base, base + "/" + path), inside);
    }
};

QTEST_GUILESS_MAIN(TestFileList)
#include "test_filelist.moc"

// The path policy that the file list and the commit both ask: how names compare, which removal
// takes a path away, whether a file stands on the way to a target, which paths reach the
// updater's own files and folders, which the system could not create, and which skipped entry
// keeps a pending repair open.
#include "list/filelist.h"
#include "list/pathpolicy.h"
#include "list/repairgap.h"
#include "transaction/updatetransaction.h"

#include "support/commit_release.h"
#include "support/files.h"
#include "support/links.h"

#include <QtTest>

using namespace testfiles;

class TestPathPolicy : public QObject
{
    Q_OBJECT
private slots:
    // The table of release names that tools/domvista-publish's tests read too: the list reader
    // (with the path policy it asks) skips exactly the names marked "skip", so a release the
    // publisher accepts is installed whole.
    void releaseNamesTable_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::addColumn<bool>("skipped");
        QFile table(QStringLiteral(RELEASE_NAMES_TABLE));
        QVERIFY(table.open(QIODevice::ReadOnly));
        int rows = 0;
        for (const QByteArray& line : table.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#')) continue;
            const QList<QByteArray> cells = line.split('\t');
            QCOMPARE(cells.size(), 2);
            QVERIFY2(cells[1] == "take" || cells[1] == "skip" || cells[1] == "skip-windows", line.constData());
#ifdef Q_OS_WIN
            const bool skipped = cells[1] != "take";
#else
            const bool skipped = cells[1] == "skip";  // another letter case is another folder here
#endif
            QTest::newRow(cells[0].constData()) << QString::fromUtf8(cells[0]) << skipped;
            ++rows;
        }
        QVERIFY(rows >= 20);
    }
    void releaseNamesTable()
    {
        QFETCH(QString, dist);
        QFETCH(bool, skipped);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.path() + "/Application/Config"));
        QString attr = dist.toHtmlEscaped();
        attr.replace('"', "&quot;");
        const QByteArray list = "<files><file url=\"http://u/x\" dist=\"" + attr.toUtf8() + "\"/></files>";
        const FileListResult result = readFileList(list, dir.path(), QStringLiteral("desktop-updater"));
        QCOMPARE(result.refused, false);
        QCOMPARE(result.rejected.size(), skipped ? 1 : 0);
        QCOMPARE(result.downloads.size(), skipped ? 0 : 1);
    }

    // The form in which tools/domvista-publish lists an empty folder of a release.
    void anEmptyFolderAsThePublisherListsIt()
    {
        QTemporaryDir dir;
        const FileListResult result = readFileList("<files><file dist=\"plugins/empty/\"/></files>", dir.path(),
                                                   QStringLiteral("desktop-updater"));
        QVERIFY(result.rejected.isEmpty());
        QCOMPARE(result.folders, QStringList{dir.path() + "/plugins/empty"});
    }

    // Each row: the path, the removals (',' between them), and which removal takes the path
    // away (its index) with the part of the way it names, or -1.
    void removalHolding_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("removals");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("at");
        QTest::newRow("the path itself") << "plugins/a.dll" << "x,plugins/a.dll" << 1 << "plugins/a.dll";
        QTest::newRow("a folder on its way") << "plugins/gl/a.dll" << "plugins" << 0 << "plugins";
        QTest::newRow("the deepest removal first") << "plugins/gl/a.dll" << "plugins,plugins/gl" << 1 << "plugins/gl";
        QTest::newRow("a name that only starts alike") << "pluginsX/a.dll" << "plugins" << -1 << "";
        QTest::newRow("none") << "a.dll" << "" << -1 << "";
#ifdef Q_OS_WIN
        QTest::newRow("another letter case") << "plugins/a.dll" << "PlugIns" << 0 << "plugins";
#else
        QTest::newRow("another letter case is another folder") << "plugins/a.dll" << "PlugIns" << -1 << "";
#endif
    }
    void removalHolding()
    {
        QFETCH(QString, path);
        QFETCH(QString, removals);
        QFETCH(int, index);
        QFETCH(QString, at);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/plugins/gl/a.dll", "a");
        writeFile(base + "/plugins/a.dll", "a");
        QStringList absolute;
        for (const QString& r : removals.split(',', Qt::SkipEmptyParts)) absolute << base + "/" + r;
        const pathpolicy::Removals::Hold hold = pathpolicy::Removals(base, absolute).holding(base + "/" + path);
        QCOMPARE(hold.index, index);
        QCOMPARE(hold.at, at.isEmpty() ? QString() : base + "/" + at);
    }

    void aFileOnTheWay_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("removals");
        QTest::addColumn<QString>("inTheWay");
        QTest::newRow("free") << "sub/new/x.dll" << "" << "";
        QTest::newRow("below a file") << "afile.txt/inner.bin" << "" << "afile.txt";
        QTest::newRow("deeper below a file") << "afile.txt/a/b" << "" << "afile.txt";
        QTest::newRow("below a file the release removes") << "afile.txt/inner.bin" << "afile.txt" << "";
        QTest::newRow("below a file inside a removed folder") << "sub/f/x" << "sub" << "";
        QTest::newRow("the target itself is a file") << "afile.txt" << "" << "";
    }
    void aFileOnTheWay()
    {
        QFETCH(QString, target);
        QFETCH(QString, removals);
        QFETCH(QString, inTheWay);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/afile.txt", "a file");
        writeFile(base + "/sub/f", "f");
        QStringList absolute;
        for (const QString& r : removals.split(',', Qt::SkipEmptyParts)) absolute << base + "/" + r;
        QCOMPARE(pathpolicy::blockingFileOnTheWay(base, base + "/" + target, pathpolicy::Removals(base, absolute)),
                 inTheWay.isEmpty() ? QString() : base + "/" + inTheWay);
    }

    // A pending repair stays open while the list skips an entry that has nothing in its place
    // and that a commit could have taken away: the first such entry is named. On disk:
    // present.dll, a file afile, a folder sub, a link linked to sub and a link dangling to nothing.
    void aRepairGap_data()
    {
        QTest::addColumn<QString>("rejected");   // the skipped "dist" values, in list order
        QTest::addColumn<QString>("downloads");  // the list's accepted downloads
        QTest::addColumn<QString>("removals");   // and its accepted removals
        QTest::addColumn<QString>("gap");
        QTest::newRow("nothing skipped") << "" << "d.dll" << "" << "";
        QTest::newRow("skipped, nothing there") << "a.dll" << "" << "" << "a.dll";
        QTest::newRow("skipped, the file there") << "present.dll" << "" << "" << "";
        QTest::newRow("the first of two that is missing") << "present.dll,a.dll,b.dll" << "" << "" << "a.dll";
        QTest::newRow("skipped in a folder, nothing there") << "sub/a.dll" << "" << "" << "sub/a.dll";
        QTest::newRow("a second entry of a download") << "./d.dll" << "d.dll" << "" << "";
        QTest::newRow("a second entry of a removal") << "./r.dll" << "" << "r.dll" << "";
        QTest::newRow("below a file on disk") << "afile/a.dll" << "" << "" << "";
        QTest::newRow("below one of the list's downloads") << "new/a.dll" << "new" << "" << "";
        QTest::newRow("above one of the list's downloads") << "gone" << "gone/a.dll" << "" << "";
        QTest::newRow("beside one of the list's downloads") << "gone" << "gone.dll" << "" << "gone";
        QTest::newRow("below a link") << "linked/a.dll" << "" << "" << "";
        QTest::newRow("a link itself") << "linked" << "" << "" << "";
        QTest::newRow("outside the folder") << "../a.dll" << "" << "" << "";
        QTest::newRow("a Windows device name") << "CON" << "" << "" << "";
        QTest::newRow("a name no file system takes") << QString(300, 'n') << "" << "" << "";
        QTest::newRow("the updater itself") << "desktop-updater" << "" << "" << "";
        QTest::newRow("the updater's working folder") << "Application/Updates/x.dll" << "" << "" << "";
        QTest::newRow("inside the settings folder") << "Application/Config/x.ini" << "" << "" << "";
        QTest::newRow("the folder that holds the updater's own") << "Application" << "" << "" << "";
        QTest::newRow("a link to nothing") << "dangling" << "" << "" << "";
    }
    void aRepairGap()
    {
        QFETCH(QString, rejected);
        QFETCH(QString, downloads);
        QFETCH(QString, removals);
        QFETCH(QString, gap);
        // One folder for every row: under Wine each link costs a host program's start.
        static const struct GapFolder {
            QTemporaryDir dir;
            bool linked = false, dangling = false;
            GapFolder()
            {
                writeFile(dir.path() + "/present.dll", "old");
                writeFile(dir.path() + "/afile", "a file");
                QDir(dir.path()).mkdir("sub");
                linked = testlinks::makeLink(dir.path() + "/sub", dir.path() + "/linked");
                // (Under Wine a link to nothing reads as nothing at all: no Windows call sees it.)
                dangling = testlinks::makeLink(dir.path() + "/none", dir.path() + "/dangling");
            }
        } folder;
        const QString base = folder.dir.path();
        QVERIFY(QFileInfo(base + "/sub").isDir() && folder.linked);
        if (rejected == "dangling" && !folder.dangling) QSKIP("this system shows no link to nothing");
        FileListResult list;
        list.rejected = rejected.split(',', Qt::SkipEmptyParts);
        for (const QString& d : downloads.split(',', Qt::SkipEmptyParts)) {
            FileEntry entry;
            entry.dist = base + "/" + d;
            list.downloads << entry;
        }
        for (const QString& r : removals.split(',', Qt::SkipEmptyParts)) list.removals << base + "/" + r;
        QCOMPARE(repairgap::skippedEntryLeftEmpty(list, base, "desktop-updater"), gap);
    }

    // Pure text: the spelling Windows opens for each part.
    void windowsOpenedSpelling_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("opened");
        QTest::newRow("plain") << "C:/d/Application/Config" << "C:/d/Application/Config";
        QTest::newRow("main stream") << "C:/d/me.exe::$DATA" << "C:/d/me.exe";
        QTest::newRow("main stream, any case") << "C:/d/me.exe::$data" << "C:/d/me.exe";
        QTest::newRow("folder index") << "C:/d/Application/Config::$INDEX_ALLOCATION/x" << "C:/d/Application/Config/x";
        QTest::newRow("folder index by name") << "C:/d/Application:$I30:$INDEX_ALLOCATION/Config" << "C:/d/Application/Config";
        QTest::newRow("twice") << "C:/d/me.exe::$DATA::$DATA" << "C:/d/me.exe";
        QTest::newRow("trailing dots and blanks") << "C:/d/Application. ./Config " << "C:/d/Application/Config";
        QTest::newRow("a stream, then dots") << "C:/d/Config.::$INDEX_ALLOCATION" << "C:/d/Config";
        QTest::newRow("a named stream is another file") << "C:/d/me.exe:other:$DATA" << "C:/d/me.exe:other:$DATA";
        QTest::newRow("nothing before the suffix") << "C:/d/::$DATA" << "C:/d/::$DATA";
        QTest::newRow("dot folders stay") << "a/../b/." << "a/../b/.";
    }
    void windowsOpenedSpelling()
    {
        QFETCH(QString, path);
        QFETCH(QString, opened);
        QCOMPARE(pathpolicy::windowsOpenedSpelling(path), opened);
    }

    // The key that sets of names are looked up by says "the same" exactly when sameName does.
    void nameKeyAgreesWithSameName_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("equal") << "/d/a/b.dll" << "/d/a/b.dll" << true;
        QTest::newRow("another name") << "/d/a/b.dll" << "/d/a/c.dll" << false;
#ifdef Q_OS_WIN
        QTest::newRow("letter case") << "C:/d/Plugins/B.dll" << "C:/d/plugins/b.DLL" << true;
        QTest::newRow("stream and dot") << "C:/d/plugins./b.dll::$DATA" << "C:/d/PLUGINS/b.dll" << true;
        QTest::newRow("a named stream") << "C:/d/b.dll:x:$DATA" << "C:/d/b.dll" << false;
#else
        QTest::newRow("letter case") << "/d/Plugins/B.dll" << "/d/plugins/b.DLL" << false;
        QTest::newRow("a trailing dot") << "/d/plugins./b.dll" << "/d/plugins/b.dll" << false;
#endif
    }
    void nameKeyAgreesWithSameName()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        QCOMPARE(pathpolicy::sameName(a, b), same);
        QCOMPARE(pathpolicy::nameKey(a) == pathpolicy::nameKey(b), same);
    }

    // Each row: the path below the updater's folder "me" lives in, and the refusal's words or
    // "" for a download (or folder) there and for a removal of it. "link" is a hard link to
    // the updater's program, another name of the same file.
    void updaterFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("removal");
        const QString folders = "the updater's own folders";
        QTest::newRow("the settings folder") << "Application/Config" << folders << folders;
        QTest::newRow("inside the settings folder") << "Application/Config/config.ini" << folders << "";
        QTest::newRow("new inside the settings folder") << "Application/Config/new/x.ini" << folders << "";
        QTest::newRow("the working folder") << "Application/Updates" << folders << folders;
        QTest::newRow("inside the working folder") << "Application/Updates/staging/0" << folders << folders;
        QTest::newRow("what holds them") << "Application" << folders << folders;
        QTest::newRow("beside them") << "Application/other.txt" << "" << "";
        QTest::newRow("the updater") << "me" << "own file \"me\"" << "own file \"me\"";
        QTest::newRow("its log") << "desktop-updater.log" << "own file \"desktop-updater.log\"" << "own file \"desktop-updater.log\"";
        QTest::newRow("a hard link to the updater") << "link" << "own file \"me\"" << "own file \"me\"";
        QTest::newRow("its name in a folder") << "sub/me" << "" << "";
        QTest::newRow("a name that starts alike") << "Application/ConfigX/a" << "" << "";
#ifdef Q_OS_WIN
        QTest::newRow("settings in another letter case") << "application/CONFIG/config.ini" << folders << "";
        QTest::newRow("settings by its folder index") << "Application/Config::$INDEX_ALLOCATION/new.ini" << folders << "";
        QTest::newRow("settings by a trailing dot") << "Application./Config/new.ini" << folders << "";
        QTest::newRow("the updater's main stream") << "me::$DATA" << "own file \"me\"" << "own file \"me\"";
        QTest::newRow("the updater in capitals") << "ME" << "own file \"me\"" << "own file \"me\"";
#else
        QTest::newRow("another letter case is another file") << "application/CONFIG/config.ini" << "" << "";
#endif
    }
    void updaterFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, place);
        QFETCH(QString, removal);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/me", "updater");
        writeFile(base + "/desktop-updater.log", "log");
        writeFile(base + "/Application/Config/config.ini", "ini");
        writeFile(base + "/Application/Updates/staging/0", "0");
        const bool hardLink = testlinks::makeHardLink(base + "/me", base + "/link");
        if (path == "link" && !hardLink) QSKIP("no hard link could be made here");
        const pathpolicy::UpdaterFiles files(base, "me");
        QCOMPARE(files.newCopyPath(), base + "/Application/Updates/me");
        const QString target = base + "/" + path;
        const QString placeWhy = files.placeProblem(target), removalWhy = files.removalProblem(target);
        QVERIFY2(place.isEmpty() ? placeWhy.isEmpty() : placeWhy.contains(place), qPrintable(placeWhy));
        QVERIFY2(removal.isEmpty() ? removalWhy.isEmpty() : removalWhy.contains(removal), qPrintable(removalWhy));
        QCOMPARE(readFile(base + "/me"), QByteArray("updater"));
    }

    // Before the updater's folders exist (a fresh installation) only their names can tell:
    // every spelling that names them is refused all the same.
    void updaterFilesThatDoNotExistYet_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("the working folder") << "Application/Updates/x";
        QTest::newRow("the settings") << "Application/Config/config.ini";
        QTest::newRow("the updater") << "me";
#ifdef Q_OS_WIN
        QTest::newRow("the working folder by its index") << "Application/Updates::$INDEX_ALLOCATION/x";
        QTest::newRow("the settings by their index by name") << "Application/Config:$I30:$INDEX_ALLOCATION/new.ini";
        QTest::newRow("the working folder with a trailing dot, in capitals") << "APPLICATION/UPDATES./x";
        QTest::newRow("the log by its main stream") << "Desktop-Updater.log::$DATA";
#endif
    }
    void updaterFilesThatDoNotExistYet()
    {
        QFETCH(QString, path);
        QTemporaryDir dir;
        const pathpolicy::UpdaterFiles files(dir.path(), "me");
        QVERIFY(!files.placeProblem(dir.path() + "/" + path).isEmpty());
        QVERIFY(!files.removalProblem(dir.path() + "/" + path).isEmpty() || path.startsWith("Application/Config"));
    }

    // A name longer than file systems take, or (on Windows) a path longer than the calls take,
    // could be downloaded but never moved into place.
    void unplaceable_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("refused");
#ifndef Q_OS_WIN
        // On Windows a name this long already passes the path's limit.
        QTest::newRow("255 characters") << QString(255, 'n') << false << false;
#endif
        QTest::newRow("256 characters") << QString(256, 'n') << false << true;
        QTest::newRow("256 characters on the way") << QString(256, 'n') + "/x" << false << true;
        QTest::newRow("short") << "a/b/c.dll" << true << false;
#ifdef Q_OS_WIN
        // Windows counts UTF-16 units: 200 two-byte letters are 200.
        QTest::newRow("200 letters of two bytes") << QString(200, QChar(0x00E9)) << false << false;
#else
        // Elsewhere names are counted in bytes: 200 two-byte letters are 400.
        QTest::newRow("200 letters of two bytes") << QString(200, QChar(0x00E9)) << false << true;
#endif
    }
    void unplaceable()
    {
        QFETCH(QString, relative);
        QFETCH(bool, folder);
        QFETCH(bool, refused);
        const QString why = pathpolicy::unplaceableProblem("/base/" + relative, folder);
        QVERIFY2(why.isEmpty() != refused, qPrintable(why));
    }

#ifdef Q_OS_WIN
    void windowsPathLength_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("refused");
        QTest::newRow("a file of 259") << 259 << false << false;
        QTest::newRow("a file of 260") << 260 << false << true;
        QTest::newRow("a folder of 247") << 247 << true << false;
        QTest::newRow("a folder of 248") << 248 << true << true;
    }
    void windowsPathLength()
    {
        QFETCH(int, length);
        QFETCH(bool, folder);
        QFETCH(bool, refused);
        QString path = "C:/d";
        while (path.size() < length) path += (path.size() % 100 == 0 ? "/" : "x");
        path.chop(path.size() - length);
        if (path.endsWith('/')) path[path.size() - 1] = 'y';
        QCOMPARE(path.size(), length);
        QCOMPARE(pathpolicy::unplaceableProblem(path, folder).isEmpty(), !refused);
    }
#endif

    // The commit asks the same policy before anything moves: a plan that names the settings
    // folder (as a list reader that let it through would) is refused and changes nothing.
    void theCommitRefusesTheUpdatersOwnFolders_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("path");
        QTest::newRow("a file into the settings") << "file" << "Application/Config/config.ini";
        QTest::newRow("a new file in the settings") << "file" << "Application/Config/new/x.ini";
        QTest::newRow("a folder inside the working folder") << "folder" << "Application/Updates/new";
        QTest::newRow("a removal of the settings") << "removal" << "Application/Config";
        QTest::newRow("a removal inside the working folder") << "removal" << "Application/Updates/applied-version";
    }
    void theCommitRefusesTheUpdatersOwnFolders()
    {
        QFETCH(QString, kind);
        QFETCH(QString, path);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/Application/Config/config.ini", "ini");
        UpdateTransaction tx(base);
        QString why;
        testcommit::Release release;
        if (kind == "file") release.files.append(qMakePair(base + "/" + path, QByteArray("evil")));
        if (kind == "folder") release.folders.append(base + "/" + path);
        if (kind == "removal") release.removals.append(base + "/" + path);
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, release, &plan, &why), qPrintable(why));
        QVERIFY2(tx.recordVersion("1", &why), qPrintable(why));
        QVERIFY(!tx.commit(plan, &why));
        QVERIFY2(why.contains("the updater's own folders"), qPrintable(why));
        QCOMPARE(readFile(base + "/Application/Config/config.ini"), QByteArray("ini"));
        QVERIFY(!QFileInfo::exists(base + "/Application/Config/new") && !QFileInfo::exists(base + "/Application/Updates/new"));
        QCOMPARE(tx.appliedVersion(), QString("1"));
    }
};

QTEST_GUILESS_MAIN(TestPathPolicy)
#include "test_pathpolicy.moc"

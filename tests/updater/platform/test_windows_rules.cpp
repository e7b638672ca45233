// What only the Windows program does: a file held open without sharing is retried and then
// left as it was, names compare as Windows compares them (also for the updater's own files and
// folders, which no spelling of a download reaches), and the single-instance name is private to
// the user and session.
#include "list/filelist.h"
#include "list/pathpolicy.h"
#include "transaction/updatetransaction.h"
#include "platform/file_replace.h"
#include "platform/instance_name.h"

#include "support/commit_release.h"
#include "support/files.h"
#include "support/links.h"

#include <QElapsedTimer>
#include <QtTest>

#include <windows.h>
#include <sddl.h>

using testfiles::readFile;
using testfiles::writeFile;

namespace {
std::wstring native(const QString& path) { return QDir::toNativeSeparators(path).toStdWString(); }

// The 8.3 short name of the existing `path`'s last part, or "" when the volume keeps none for it.
QString shortName(const QString& path)
{
    wchar_t shortPath[MAX_PATH];
    const DWORD n = GetShortPathNameW(native(path).c_str(), shortPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return QString();
    const QString name = QFileInfo(QString::fromWCharArray(shortPath, int(n))).fileName();
    return name.compare(QFileInfo(path).fileName(), Qt::CaseInsensitive) == 0 ? QString() : name;
}

HANDLE holdWithoutSharing(const QString& path)
{
    return CreateFileW(native(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An old core.dll that another program holds open without sharing, and its downloaded successor.
struct HeldReplacement {
    QTemporaryDir dir;
    const QString target = dir.path() + "/core.dll";
    const QString source = dir.path() + "/core.dll.download";
    HANDLE held = INVALID_HANDLE_VALUE;

    HeldReplacement()
    {
        writeFile(target, "old core");
        writeFile(source, "new core");
        held = holdWithoutSharing(target);
    }
};
}  // namespace

class TestWindowsRules : public QObject
{
    Q_OBJECT
private slots:
    void fileHeldOpenIsRetriedThenLeftAsItWas()
    {
        HeldReplacement r;
        const QString &target = r.target, &source = r.source;
        const HANDLE held = r.held;
        QVERIFY(held != INVALID_HANDLE_VALUE);
        QElapsedTimer clock;
        clock.start();
        QString error;
        QVERIFY(!replaceFileRetrying(source, target, &error));
        QVERIFY(clock.elapsed() >= kReplaceRetryMs - kReplaceRetryStepMs);
        CloseHandle(held);
        QCOMPARE(readFile(target), QByteArray("old core"));
        QCOMPARE(readFile(source), QByteArray("new core"));
        QVERIFY2(error.contains(QDir::toNativeSeparators(target)) && error.contains("Windows error "), qPrintable(error));
    }

    void fileLetGoWithinTheRetriesIsReplaced()
    {
        HeldReplacement r;
        const QString &target = r.target, &source = r.source;
        const HANDLE held = r.held;
        QVERIFY(held != INVALID_HANDLE_VALUE);
        QTimer::singleShot(1000, [held]() { CloseHandle(held); });  // a terminated program letting go
        QString error;
        QVERIFY2(replaceFileRetrying(source, target, &error), qPrintable(error));
        QCOMPARE(readFile(target), QByteArray("new core"));
        QVERIFY(!QFileInfo::exists(source));
    }

    void otherSpellingsOfAKeptFileAreNotRemoved_data()
    {
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("spelling");
        const QString dll = "domvista-core-library.dll";
        QTest::newRow("letter case") << dll << "DOMVISTA-CORE-LIBRARY.DLL";
        QTest::newRow("8.3 short name") << dll << "<short>";
        QTest::newRow("unnamed stream") << dll << "domvista-core-library.dll::$DATA";
        QTest::newRow("both") << dll << "Domvista-Core-Library.dll::$data";
        QTest::newRow("short name of the settings' parent") << "Application" << "<short>";
    }
    void otherSpellingsOfAKeptFileAreNotRemoved()
    {
        QFETCH(QString, kept);
        QFETCH(QString, spelling);
        QTemporaryDir dir;
        writeFile(dir.path() + "/domvista-core-library.dll", "old");
        writeFile(dir.path() + "/Application/Config/config.ini", "[Application]");
        writeFile(dir.path() + "/me", "updater");
        writeFile(dir.path() + "/obsolete.dll", "obsolete");
        if (spelling == "<short>") {
            wchar_t shortPath[MAX_PATH];
            const DWORD n = GetShortPathNameW(native(dir.path() + "/" + kept).c_str(), shortPath, MAX_PATH);
            if (n == 0 || n >= MAX_PATH) QSKIP("this volume keeps no 8.3 short names");
            spelling = QFileInfo(QString::fromWCharArray(shortPath, int(n))).fileName();
            QVERIFY(spelling.contains('~'));
        }
        const QString xml = QString("<files><file url='http://h/a' dist='domvista-core-library.dll'/>"
                                    "<remove dist='%1'/><remove dist='obsolete.dll'/></files>").arg(spelling);
        const FileListResult r = readFileList(xml.toUtf8(), dir.path(), "me");
        // Refused, or (the same name in another letter case) kept for its download.
        QCOMPARE(r.removals, QStringList{dir.path() + "/obsolete.dll"});
    }

    // Each row a spelling of a download's target that Windows resolves to the updater's own
    // files or folders: "<short:X>" stands for X's 8.3 short name, "<hard link>" for another
    // name of the updater's program. The list refuses each (some already for their characters),
    // and the path policy refuses each by itself, as the commit asks it too.
    void downloadsNeverReachTheUpdatersOwnFiles_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::newRow("settings, letter case") << "application/CONFIG/config.ini";
        QTest::newRow("settings, a new file") << "Application/Config/new.ini";
        QTest::newRow("settings, short name of its holder") << "<short:Application>/Config/config.ini";
        QTest::newRow("settings, its folder index") << "Application/Config::$INDEX_ALLOCATION/config.ini";
        QTest::newRow("settings, its holder's index by name") << "Application:$I30:$INDEX_ALLOCATION/Config/config.ini";
        QTest::newRow("settings, a trailing dot") << "Application./Config/config.ini";
        QTest::newRow("working folder, short name of its holder") << "<short:Application>/Updates/desktop-updater.exe";
        QTest::newRow("working folder, letter case") << "APPLICATION/updates/staging/0";
        QTest::newRow("holder, its short name") << "<short:Application>";
        QTest::newRow("updater, its short name") << "<short:desktop-updater.exe>";
        QTest::newRow("updater, letter case") << "Desktop-Updater.EXE";
        QTest::newRow("updater, ./") << "./desktop-updater.exe";
        QTest::newRow("updater, its main stream") << "desktop-updater.exe::$DATA";
        QTest::newRow("updater, short name and stream") << "<short:desktop-updater.exe>::$data";
        QTest::newRow("updater, a hard link") << "<hard link>";
        QTest::newRow("updater's log, short name") << "<short:desktop-updater.log>";
    }
    void downloadsNeverReachTheUpdatersOwnFiles()
    {
        QFETCH(QString, dist);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/desktop-updater.exe", "updater");
        writeFile(base + "/desktop-updater.log", "log");
        writeFile(base + "/Application/Config/config.ini", "[Application]");
        writeFile(base + "/Application/Updates/staging/0", "0");
        static const QRegularExpression shortOf(QStringLiteral("<short:([^>]+)>"));
        const QRegularExpressionMatch m = shortOf.match(dist);
        if (m.hasMatch()) {
            const QString name = shortName(base + "/" + m.captured(1));
            if (name.isEmpty()) QSKIP("this volume keeps no 8.3 short name here");
            dist.replace(m.capturedStart(), m.capturedLength(), name);
        }
        if (dist == "<hard link>") {
            if (!testlinks::makeHardLink(base + "/desktop-updater.exe", base + "/another-name.exe")) {
                QSKIP("no hard link could be made here");
            }
            dist = "another-name.exe";
        }
        const QString xml = QString("<files><file url='http://h/a' dist='%1'/><file url='' dist='%1/'/></files>").arg(dist);
        const FileListResult r = readFileList(xml.toUtf8(), base, "desktop-updater.exe");
        QVERIFY2(r.downloads.isEmpty() && r.folders.isEmpty(), qPrintable(r.notes.join('\n')));
        QCOMPARE(r.rejected, (QStringList{dist, dist + "/"}));
        const pathpolicy::UpdaterFiles files(base, "desktop-updater.exe");
        const QString why = files.placeProblem(QDir::cleanPath(base + "/" + dist));
        QVERIFY2(!why.isEmpty(), qPrintable(dist));
        QCOMPARE(readFile(base + "/Application/Config/config.ini"), QByteArray("[Application]"));
    }

    // The same spellings of a folder the list removes still guard the downloads inside it.
    void aRemovalInAnotherSpellingGuardsTheDownloadsInside_data()
    {
        QTest::addColumn<QString>("removal");
        QTest::newRow("letter case") << "PLUGINS-FOLDER";
        QTest::newRow("short name") << "<short>";
    }
    void aRemovalInAnotherSpellingGuardsTheDownloadsInside()
    {
        QFETCH(QString, removal);
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/plugins-folder/old.dll", "old");
        if (removal == "<short>") {
            removal = shortName(base + "/plugins-folder");
            if (removal.isEmpty()) QSKIP("this volume keeps no 8.3 short name here");
        }
        const FileListResult r = readFileList(
            QString("<files><file url='http://h/a' dist='plugins-folder/new.dll'/><remove dist='%1'/></files>").arg(removal).toUtf8(),
            base, "me");
        QCOMPARE(r.downloads.size(), 1);
        QCOMPARE(r.removals, QStringList{base + "/" + removal});
        const pathpolicy::Removals removals(base, r.removals);
        QCOMPARE(removals.holding(base + "/plugins-folder/new.dll").index, 0);
        // The commit removes the old folder and places the download in a new one.
        UpdateTransaction tx(base);
        QString why;
        QVERIFY2(testcommit::commit(tx, testcommit::releaseOf(r, {"new"}), &why), qPrintable(why));
        QCOMPARE(readFile(base + "/plugins-folder/new.dll"), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(base + "/plugins-folder/old.dll"));
    }

    // Two removals of one folder, by its name and by its short name: the second is refused when
    // the list is read, and the commit removes the folder once.
    void aFolderRemovedUnderTwoNamesIsRemovedOnce()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/plugins-folder/old.dll", "old");
        writeFile(base + "/domvista.exe", "app");
        const QString alias = shortName(base + "/plugins-folder");
        if (alias.isEmpty()) QSKIP("this volume keeps no 8.3 short name here");
        const FileListResult r = readFileList(
            QString("<files><remove dist='plugins-folder'/><remove dist='%1'/></files>").arg(alias).toUtf8(), base, "me");
        QCOMPARE(r.removals, QStringList{base + "/plugins-folder"});
        QCOMPARE(r.rejected, QStringList{alias});
        UpdateTransaction tx(base);
        QString why;
        QVERIFY2(testcommit::commit(tx, testcommit::releaseOf(r), &why), qPrintable(why));
        QVERIFY(!QFileInfo::exists(base + "/plugins-folder"));
        QCOMPARE(readFile(base + "/domvista.exe"), QByteArray("app"));
    }

    // A file deeper than the Windows calls reach (another program made it with the long-path
    // prefix) could not be moved aside at the commit: its removal is refused when the list is
    // read, as is a download to such a path.
    void pathsLongerThanTheCallsTakeAreRefusedWhenTheListIsRead()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        QString relative;
        while (base.size() + 1 + relative.size() < 280) relative += QString(40, 'd') + "/";
        relative += "deep.dll";
        QDir().mkpath(base + "/" + QFileInfo(relative).path());
        QFile deep(base + "/" + relative);
        if (!deep.open(QIODevice::WriteOnly)) QSKIP("no file this deep could be made here");
        deep.close();
        const FileListResult r = readFileList(
            QString("<files><remove dist='%1'/><file url='http://h/a' dist='%1.new'/></files>").arg(relative).toUtf8(), base, "me");
        QVERIFY(r.removals.isEmpty() && r.downloads.isEmpty());
        QCOMPARE(r.rejected, (QStringList{relative + ".new", relative}));
        QVERIFY2(r.notes.value(1).contains("more than the 259 Windows takes"), qPrintable(r.notes.value(1)));
    }

    void singleInstanceNameBelongsToThisUserAndSession()
    {
        HANDLE token = nullptr;
        QVERIFY(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        char buffer[256];
        DWORD size = 0;
        QVERIFY(GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size));
        CloseHandle(token);
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        wchar_t* sid = nullptr;
        QVERIFY(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
        const QString expected = QString("desktop-updater-%1-%2").arg(QString::fromWCharArray(sid)).arg(session);
        LocalFree(sid);
        QVERIFY(expected.contains("-S-1-5-"));
        QCOMPARE(singleInstanceName("desktop-updater"), expected);
    }
};

QTEST_GUILESS_MAIN(TestWindowsRules)
#include "test_windows_rules.moc"

// Finding, closing and ending the desktop application's processes on Linux: real processes,
// matched by the base name of their executable or the identity of their image.
#include "platform/process_close.h"
#include "platform/process_tools.h"
#include "app/update.h"
#include "log/updatelog.h"

#include "support/files.h"

#include <QtTest>
#include <algorithm>
#include <memory>

#include <unistd.h>

namespace {
struct Running {
    std::unique_ptr<QProcess> process;
    procutil::ProcessId pid() const { return static_cast<procutil::ProcessId>(process->processId()); }
};

// The pids a stand-in recorded in `file` beside itself (started.log, closed.log, asked.log).
QStringList recorded(const QString& folder, const char* file)
{
    if (!QFileInfo::exists(folder + "/" + file)) return QStringList();
    QStringList pids = QString::fromLatin1(testfiles::readFile(folder + "/" + file)).split('\n', Qt::SkipEmptyParts);
    pids.sort();
    return pids;
}

// A stand-in started from `folder` as `name`, returned once it recorded its start (by then it
// answers SIGTERM as its mode says).
Running startCopy(const QString& folder, const QString& name, const QStringList& args = QStringList())
{
    const QString path = folder + "/" + name;
    if (!QFileInfo::exists(path)) QFile::copy(QStringLiteral(FAKE_APP_PATH), path);
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    Running r{std::make_unique<QProcess>()};
    r.process->start(path, args);
    r.process->waitForStarted();
    const bool ready = QTest::qWaitFor([&] { return recorded(folder, "started.log").contains(QString::number(r.pid())); }, 5000);
    if (!ready) qWarning("%s did not record its start", qPrintable(path));
    return r;
}

// True once the process has ended (QProcess may have seen it end already, while a procedure waited).
bool ended(const Running& r)
{
    return r.process->state() == QProcess::NotRunning || r.process->waitForFinished(5000);
}

bool contains(const std::vector<procutil::ProcessId>& ids, procutil::ProcessId id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}
}  // namespace

class TestProcessTools : public QObject
{
    Q_OBJECT
private slots:
    void namesMatchWhole()
    {
        QVERIFY(procutil::exeNameMatches("domvista.exe", "domvista.exe"));
        QVERIFY(!procutil::exeNameMatches("xdomvista.exe", "domvista.exe"));
        QVERIFY(!procutil::exeNameMatches("domvista.exe.old", "domvista.exe"));
        QVERIFY(!procutil::exeNameMatches("DOMVISTA.EXE", "domvista.exe"));  // Linux names are exact
        QVERIFY(!procutil::exeNameMatches("", ""));
    }

    void findsEveryExactlyNamedProcessAndOnlyThose()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.path() + "/second");
        Running a = startCopy(dir.path(), "domvista.exe");
        Running b = startCopy(dir.path() + "/second", "domvista.exe");
        Running prefixed = startCopy(dir.path(), "xdomvista.exe");
        Running suffixed = startCopy(dir.path(), "domvista.exe.old");
        Running upper = startCopy(dir.path(), "DOMVISTA.EXE");
        // Longer than the 15 characters the kernel keeps as the command name.
        Running longName = startCopy(dir.path(), "domvista-desktop-application.exe");

        const auto ids = procutil::findProcessesByExeName("domvista.exe");
        QVERIFY(contains(ids, a.pid()));
        QVERIFY(contains(ids, b.pid()));
        for (const Running* r : {&prefixed, &suffixed, &upper, &longName}) QVERIFY(!contains(ids, r->pid()));
        QVERIFY(contains(procutil::findProcessesByExeName("domvista-desktop-application.exe"), longName.pid()));

        // Ending them (only this test's own, should another run of the tests be going on):
        // the matching processes go, the others keep running.
        QVERIFY(procutil::terminateProcesses({a.pid(), b.pid()}, 5000));
        QVERIFY(a.process->waitForFinished(5000));
        QVERIFY(b.process->waitForFinished(5000));
        for (const Running* r : {&prefixed, &suffixed, &upper, &longName}) {
            QCOMPARE(r->process->state(), QProcess::Running);
            r->process->kill();
            r->process->waitForFinished(5000);
        }
    }

    // Only this folder's application is closed: its file by identity and the name it was started
    // by, never a program of that name in another installation.
    void updateClosesOnlyThisFoldersApplication()
    {
        QTemporaryDir dir, otherInstallation;
        Running app1 = startCopy(dir.path(), "test-app-7a1.exe");
        Running app2 = startCopy(dir.path(), "test-app-7a1.exe");
        QVERIFY(::link(QFile::encodeName(dir.path() + "/test-app-7a1.exe").constData(),
                       QFile::encodeName(dir.path() + "/hard-7a1.exe").constData()) == 0);
        Running viaHardLink = startCopy(dir.path(), "hard-7a1.exe");
        Running elsewhere = startCopy(otherInstallation.path(), "test-app-7a1.exe");
        Running other = startCopy(dir.path(), "my-test-app-7a1.exe");
        Update update;
        update.setBaseFolderForTesting(dir.path());
        update.setApplicationExecutableForTesting(QStringLiteral("test-app-7a1.exe"));
        const unsigned long first = update.findProcessId(QStringLiteral("test-app-7a1.exe"));
        QVERIFY(first == app1.pid() || first == app2.pid() || first == elsewhere.pid());
        QVERIFY(update.closeApplication());
        // Gone already when closeApplication returns (at most zombies awaiting their parent).
        QCOMPARE(procutil::findProcessesByImage((dir.path() + "/test-app-7a1.exe").toStdString()), std::vector<procutil::ProcessId>{});
        QVERIFY(ended(app1));
        QVERIFY(ended(app2));
        // The same file started by another name is another program's process as far as its name goes.
        for (const Running* r : {&elsewhere, &other, &viaHardLink}) {
            QCOMPARE(r->process->state(), QProcess::Running);
            r->process->kill();
            r->process->waitForFinished(5000);
        }
    }

    // A link in the application's place leads to an unrelated program: its processes are never
    // this folder's application. A second name of such a program (a hard link) neither: the
    // name it was started by is compared too.
    void aLinkedApplicationEndsNoOtherProgram_data()
    {
        QTest::addColumn<bool>("hard");
        QTest::addColumn<QString>("program");
        QTest::newRow("a symbolic link") << false << "unrelated-7a2";
        QTest::newRow("a hard link") << true << "unrelated-7a2";
        QTest::newRow("a link to another installation's application") << false << "domvista-7a2.exe";
    }
    void aLinkedApplicationEndsNoOtherProgram()
    {
        QFETCH(bool, hard);
        QFETCH(QString, program);
        QTemporaryDir dir, elsewhere;
        Running unrelated = startCopy(elsewhere.path(), program);
        const QByteArray target = QFile::encodeName(elsewhere.path() + "/" + program);
        const QByteArray app = QFile::encodeName(dir.path() + "/domvista-7a2.exe");
        QCOMPARE(hard ? ::link(target.constData(), app.constData()) : ::symlink(target.constData(), app.constData()), 0);
        QCOMPARE(procutil::findProcessesByImage(app.toStdString()), std::vector<procutil::ProcessId>{});
        Update update;
        update.setBaseFolderForTesting(dir.path());
        update.setApplicationExecutableForTesting(QStringLiteral("domvista-7a2.exe"));
        QVERIFY(update.closeApplication());
        QCOMPARE(unrelated.process->state(), QProcess::Running);
        unrelated.process->kill();
        unrelated.process->waitForFinished(5000);
    }

    // The application is asked to close (SIGTERM) and given the deadline; only one that is still
    // running then is killed. The dialog's line says why the update waits.
    void closesWhenAskedAndEndsOnlyWhatIgnoresTheRequest_data()
    {
        QTest::addColumn<bool>("ignores");
        QTest::newRow("closes when asked") << false;
        QTest::newRow("ignores the request") << true;
    }

    void closesWhenAskedAndEndsOnlyWhatIgnoresTheRequest()
    {
        QFETCH(bool, ignores);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.path() + "/Application"));
        const QStringList mode = ignores ? QStringList{"--ignore-close"} : QStringList();
        Running first = startCopy(dir.path(), "domvista.exe", mode);
        Running second = startCopy(dir.path(), "domvista.exe", mode);
        Update update;
        update.setBaseFolderForTesting(dir.path());
        update.setCloseDeadlineMsForTesting(ignores ? 300 : 60000);
        QStringList pids{QString::number(first.pid()), QString::number(second.pid())};
        pids.sort();
        QStringList said;
        connect(update.procedure(), &UpdateProcedure::statusChanged, this, [&](const QString& text) { said << text; });
        QVERIFY(update.closeApplication());

        QCOMPARE(said, QStringList{"Domvista is being closed to finish the update"});
        for (Running* r : {&first, &second}) QVERIFY(ended(*r));
        const QString log = QString::fromUtf8(testfiles::readFile(dir.path() + "/" + kUpdateLogName));
        if (ignores) {
            // Asked, ran on, and killed once the deadline passed.
            QCOMPARE(recorded(dir.path(), "asked.log"), pids);
            QVERIFY(!QFileInfo::exists(dir.path() + "/closed.log"));
            for (Running* r : {&first, &second}) QCOMPARE(r->process->exitStatus(), QProcess::CrashExit);
            QVERIFY2(log.contains("domvista.exe did not close within 0.3 s of being asked (SIGTERM): it is ended"), qPrintable(log));
        } else {
            // Closed by themselves, with their own exit: nothing was killed.
            QCOMPARE(recorded(dir.path(), "closed.log"), pids);
            for (Running* r : {&first, &second}) {
                QCOMPARE(r->process->exitStatus(), QProcess::NormalExit);
                QCOMPARE(r->process->exitCode(), 0);
            }
            QVERIFY2(log.contains("domvista.exe closed when asked (SIGTERM)"), qPrintable(log));
            QVERIFY(!log.contains("it is ended"));
        }
    }

    void nothingRunningIsNotAsked()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.path() + "/Application"));
        Update update;
        update.setBaseFolderForTesting(dir.path());
        QStringList said;
        connect(update.procedure(), &UpdateProcedure::statusChanged, this, [&](const QString& text) { said << text; });
        QVERIFY(update.closeApplication());
        QVERIFY(said.isEmpty());
        QCOMPARE(procutil::askToClose({}), procutil::CloseRequest::None);
    }

    void startsOnlyByAFullPath()
    {
        QTemporaryDir dir;
        QTemporaryDir cwd;
        const QString app = dir.path() + "/domvista.exe";
        QVERIFY(QFile::copy(QStringLiteral(FAKE_APP_PATH), app));
        QVERIFY(QFile::copy(QStringLiteral(FAKE_APP_PATH), cwd.path() + "/domvista.exe"));
        const QString savedCwd = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        const bool bare = procutil::startDetached("domvista.exe");
        const bool relative = procutil::startDetached("./domvista.exe");
        const bool missing = procutil::startDetached((dir.path() + "/missing.exe").toStdString());
        const bool full = procutil::startDetached(app.toStdString());
        QDir::setCurrent(savedCwd);
        QVERIFY(!bare && !relative && !missing);
        QVERIFY(full);
        QTRY_VERIFY(QFileInfo::exists(dir.path() + "/started.log"));
        QVERIFY(!QFileInfo::exists(cwd.path() + "/started.log"));
        const QByteArray pid = testfiles::readFile(dir.path() + "/started.log").trimmed();
        QVERIFY(procutil::terminateProcesses({pid.toULong()}, 5000));
    }

    void nothingToKillIsFine()
    {
        QVERIFY(procutil::findProcessesByExeName("no-such-program-4f2.exe").empty());
        QVERIFY(procutil::terminateProcesses({}, 100));
    }
};

QTEST_MAIN(TestProcessTools)
#include "test_process_tools.moc"

// The update procedure in-process against a real server on loopback: when it updates, what the
// dialog shows while it works, and that a user close cannot cut an update short.
#include "download/transferguard.h"
#include "app/update.h"
#include "ui_uiupdatedialog.h"
#include "transaction/updatetransaction.h"
#include "platform/process_tools.h"
#include "platform/path_rules.h"
#include "list/pathpolicy.h"
#include "platform/regular_file.h"
#include "download/partialstore.h"

#include "support/files.h"
#include "support/links.h"
#include "support/testserver.h"

#include <QtTest>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace testfiles;

namespace {
// This test's pause points: at the n-th step of a commit, something happens to the folder.
int g_commitStep = 0;  // 0: never
int g_commitCalls = 0;
std::function<void()> g_atCommitStep;
}  // namespace

void testPause(const char*)
{
    if (++g_commitCalls == g_commitStep && g_atCommitStep) g_atCommitStep();
}

namespace {

// A Domvista folder with config.ini, and an Update dialog working on it.
struct Fixture {
    QTemporaryDir dir;
    TestServer server;
    QPointer<Update> update;

    QString base() const { return dir.path(); }

    void config(const QString& version, const std::string& checkPath = "/check")
    {
        writeFile(base() + "/Application/Config/config.ini",
                  ("[%General]\nupdate=" + server.url(checkPath) + "\nversion=").c_str() + version.toUtf8() + "\n");
    }
    void offer(const std::string& version, const std::string& list, const char* header = "Domvista-Version")
    {
        TestServer::Response r = TestServer::ok(list);
        r.headers.push_back({header, version});
        server.route("/check", r);
    }
    std::string fileUrl(const std::string& name) { return server.url("/f/" + name); }
    Update* make()
    {
        update = new Update;
        update->setBaseFolderForTesting(base());
        update->setApplicationExecutableForTesting(QStringLiteral("no-such-application-9c3.exe"));
        update->setExitWhenDoneForTesting(false);
        update->setNoticeHoldMsForTesting(0);
        return update;
    }
    // Runs the procedure and lets the dialog's deferred deletion happen.
    void run()
    {
        update->startUpdate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    ~Fixture() { delete update.data(); }
};
}  // namespace

// A killed run's commit of version 1.1: its journal and step record on disk, a.dll still old in
// its place and the new one staged.
bool leaveAKilledCommit(const QString& base)
{
    writeFile(base + "/a.dll", "old a");
    writeFile(base + "/Application/Updates/staging/0", "new a");
    if (!QDir().mkpath(base + "/Application/Updates/backup")) return false;
    UpdateJournal journal;
    journal.id = "killed-run";
    journal.version = "1.1";
    journal.stashes = {{"a.dll", "Application/Updates/backup/f0"}};
    journal.places = {{"Application/Updates/staging/0", "a.dll"}};
    QString why;
    JournalSteps steps;
    return steps.start(base + "/Application/Updates/update-journal.steps", journal.id, &why) &&
           writeUpdateJournal(base + "/Application/Updates/update-journal", journal, &why);
}

class TestUpdate : public QObject
{
    Q_OBJECT
private:
    QTranslator translator;

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(updater);
        QVERIFY(translator.load(QStringLiteral(":/zh_cn.qm")));
        QCoreApplication::installTranslator(&translator);
        QGuiApplication::setQuitOnLastWindowClosed(false);
    }
    void init()
    {
        TransferGuard::setStallTimeoutMsForTesting(kStallTimeoutMs);
        TransferGuard::setDeadlineMsForTesting(0);
    }

    void updatesOnlyWhenTheServerVersionIsNewer_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("offered");
        QTest::addColumn<bool>("updates");
        QTest::newRow("1.9 -> 1.10") << "1.9" << "1.10" << true;
        QTest::newRow("1.10 -> 1.9") << "1.10" << "1.9" << false;
        QTest::newRow("equal") << "2.4.1" << "2.4.1" << false;
        QTest::newRow("nothing installed") << "" << "0.1" << true;
        QTest::newRow("empty offer") << "1.0" << "" << false;
    }
    void updatesOnlyWhenTheServerVersionIsNewer()
    {
        QFETCH(QString, installed);
        QFETCH(QString, offered);
        QFETCH(bool, updates);
        Fixture fx;
        fx.config(installed);
        fx.offer(offered.toStdString(), "<files><file url='" + fx.fileUrl("a.dll") + "' dist='a.dll'/></files>");
        fx.server.route("/f/a.dll", TestServer::ok("new a"));
        writeFile(fx.base() + "/a.dll", "old a");
        bool shown = false;
        fx.make();
        connect(fx.update->ui()->totalProgressBar, &QProgressBar::valueChanged, [&]() { shown = fx.update->isVisible(); });
        fx.run();
        QCOMPARE(readFile(fx.base() + "/a.dll"), updates ? QByteArray("new a") : QByteArray("old a"));
        QCOMPARE(shown, updates);
        QCOMPARE(fx.update.isNull(), updates);  // the dialog closes (and goes) only after an update
        if (!updates) QVERIFY(!fx.update->isVisible());
    }

    void versionHeaderNameIgnoresLetterCase()
    {
        Fixture fx;
        fx.config("1");
        fx.offer("2", "<files><file url='" + fx.fileUrl("a") + "' dist='a'/></files>", "DOMVISTA-version");
        fx.server.route("/f/a", TestServer::ok("A"));
        fx.make();
        fx.run();
        QCOMPARE(readFile(fx.base() + "/a"), QByteArray("A"));
    }

    void failedOrSilentCheckMeansNoUpdate_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("mode");
        QTest::newRow("error status") << 500 << int(TestServer::Mode::Normal);
        QTest::newRow("never answers") << 200 << int(TestServer::Mode::Stall);
        QTest::newRow("list cut off") << 200 << int(TestServer::Mode::Drop);
        QTest::newRow("silent mid-list") << 200 << int(TestServer::Mode::StallBody);
        QTest::newRow("redirect carrying the version") << 302 << int(TestServer::Mode::Normal);
        QTest::newRow("interim-looking status") << 199 << int(TestServer::Mode::Normal);
        QTest::newRow("endless list") << 200 << int(TestServer::Mode::Endless);
    }
    void failedOrSilentCheckMeansNoUpdate()
    {
        QFETCH(int, status);
        QFETCH(int, mode);
        TransferGuard::setStallTimeoutMsForTesting(400);
        Fixture fx;
        fx.config("1.0");
        TestServer::Response r = TestServer::status(status,
            "<files><remove dist='keep.txt'/><file url='" + fx.fileUrl("a") + "' dist='a'/></files>");
        r.headers.push_back({"Domvista-Version", "2.0"});
        r.mode = TestServer::Mode(mode);
        r.dropAfter = 20;
        fx.server.route("/check", r);
        fx.server.route("/f/a", TestServer::ok("A"));
        writeFile(fx.base() + "/keep.txt", "keep");
        fx.make();
        fx.run();
        QVERIFY(!fx.update.isNull());
        QVERIFY(!fx.update->isVisible());
        QCOMPARE(readFile(fx.base() + "/keep.txt"), QByteArray("keep"));
        QCOMPARE(fx.server.requests(), std::vector<std::string>{"/check"});
    }

    void missingSettingsMeanNoUpdate()
    {
        Fixture fx;
        fx.make();
        fx.run();
        QVERIFY(!fx.update.isNull());
        QVERIFY(fx.server.requests().empty());
    }

    void showsTheFileCountLineInChineseAndBothBars()
    {
        Fixture fx;
        fx.config("1.0");
        std::string list = "<files>";
        for (int i = 1; i <= 5; ++i) {
            const std::string name = "file" + std::to_string(i) + ".bin";
            list += "<file url='" + fx.fileUrl(name) + "' dist='sub/" + name + "'/>";
            fx.server.route("/f/" + name, TestServer::ok(std::string(1000 * i, char('0' + i))));
        }
        fx.offer("1.1", list + "</files>");
        fx.make();
        QCOMPARE(fx.update->ui()->label_3->text(), QString());
        QCOMPARE(fx.update->ui()->label_4->text(), QString());
        QCOMPARE(fx.update->ui()->totalProgressBar->value(), 0);
        QCOMPARE(fx.update->ui()->curProgressBar->value(), 0);
        // By file number: label_4, maximum, label_3, bar value. The total bar counts the files
        // done: while the third downloads, it stands at two.
        std::map<int, QStringList> seen;
        connect(fx.update->ui()->curProgressBar, &QProgressBar::valueChanged, [&](int value) {
            Ui::UiUpdateDialog* ui = fx.update->ui();
            seen[ui->totalProgressBar->value() + 1] = QStringList{ui->label_4->text(),
                QString::number(ui->totalProgressBar->maximum()), ui->label_3->text(),
                QString::number(value) + "/" + QString::number(ui->curProgressBar->maximum())};
        });
        fx.run();
        QCOMPARE(int(seen.size()), 5);
        QCOMPARE(seen[3], (QStringList{QString::fromUtf8("总共5个文件，当前为第3个文件"), "5", "file3.bin", "3000/3000"}));
        QCOMPARE(seen[5].at(0), QString::fromUtf8("总共5个文件，当前为第5个文件"));
        for (int i = 1; i <= 5; ++i) {
            QCOMPARE(readFile(fx.base() + "/sub/file" + QString::number(i) + ".bin"), QByteArray(1000 * i, char('0' + i)));
        }
    }

    // While the files in place are hashed, before any download is asked for, the dialog says so
    // and counts the files checked on the lower bar; while the commit runs it says so with a
    // busy lower bar, the total bar full as every download is done by then.
    void showsTheHashingAndTheCommit()
    {
        Fixture fx;
        fx.config("1.0");
        std::string list = "<files>";
        for (int i = 1; i <= 3; ++i) {
            const QByteArray content(200000 * i, char('a' + i));
            const std::string name = "kept" + std::to_string(i) + ".dat";
            writeFile(fx.base() + "/" + QString::fromStdString(name), content);
            list += "<file url='" + fx.fileUrl(name) + "' dist='" + name + "' sha256='" + sha256Hex(content).toStdString() + "'/>";
        }
        fx.offer("1.1", list + "<file url='" + fx.fileUrl("new.dat") + "' dist='new.dat'/></files>");
        fx.server.route("/f/new.dat", TestServer::ok(std::string(1000, 'n')));
        fx.make();
        struct State {
            QString label;
            int cur, curMax, total, totalMax;
            size_t requests;
            bool visible;
        };
        std::vector<State> states;
        QTimer sampler;  // runs whenever the procedure lets the dialog paint
        connect(&sampler, &QTimer::timeout, [&] {
            if (fx.update.isNull()) return;  // the layout goes with the dialog
            Ui::UiUpdateDialog* ui = fx.update->ui();
            const State s{ui->label_3->text(), ui->curProgressBar->value(), ui->curProgressBar->maximum(),
                          ui->totalProgressBar->value(), ui->totalProgressBar->maximum(), fx.server.requests().size(),
                          fx.update->isVisible()};
            if (states.empty() || states.back().label != s.label || states.back().cur != s.cur || states.back().curMax != s.curMax) {
                states.push_back(s);
            }
        });
        sampler.start(0);
        fx.run();
        sampler.stop();
        const QString checking = QCoreApplication::translate("Update", "checking the files already in place");
        const QString installing = QCoreApplication::translate("Update", "installing the update");
        QStringList checked;
        int installingSeen = 0;
        for (const State& s : states) {
            if (s.label == checking) {
                QVERIFY(s.visible);
                QCOMPARE(s.requests, size_t(1));  // only the check: no download asked for yet
                checked << QString("%1/%2").arg(s.cur).arg(s.curMax);
            }
            if (s.label == installing) {
                ++installingSeen;
                QVERIFY(s.visible);
                QCOMPARE(s.curMax, 0);
                QCOMPARE(s.total, s.totalMax);
                QCOMPARE(s.requests, size_t(2));
            }
        }
        QCOMPARE(checked, (QStringList{"0/4", "1/4", "2/4", "3/4", "4/4"}));
        QCOMPARE(installingSeen, 1);
        QCOMPARE(readFile(fx.base() + "/new.dat"), QByteArray(1000, 'n'));
        QCOMPARE(fx.server.requests(), (std::vector<std::string>{"/check", "/f/new.dat"}));
    }

    // All or nothing: the third download fails, so no file changes, the removal is not done, the
    // rest is not even requested, nothing is left behind, and the notice says so.
    void aFailedThirdDownloadKeepsEverythingOld()
    {
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("a") + "' dist='domvista.exe'/>"
                        "<file url='" + fx.fileUrl("b") + "' dist='sub/b.dll'/>"
                        "<file url='" + fx.fileUrl("endless") + "' dist='big.dat' size='100000'/>"
                        "<file url='" + fx.fileUrl("c") + "' dist='c.dll'/><remove dist='old.dll'/></files>");
        fx.server.route("/f/a", TestServer::ok("new application"));
        fx.server.route("/f/b", TestServer::ok("new b"));
        fx.server.route("/f/c", TestServer::ok("new c"));
        TestServer::Response endless = TestServer::ok(std::string(65536, 'e'));
        endless.mode = TestServer::Mode::Endless;
        fx.server.route("/f/endless", endless);
        writeFile(fx.base() + "/domvista.exe", "old application");
        writeFile(fx.base() + "/big.dat", "old big");
        writeFile(fx.base() + "/old.dll", "old");
        fx.make();
        QString notice;
        connect(fx.update, &QDialog::finished, [&] { notice = fx.update->ui()->label_4->toolTip(); });
        fx.run();
        QCOMPARE(readFile(fx.base() + "/domvista.exe"), QByteArray("old application"));
        QCOMPARE(readFile(fx.base() + "/big.dat"), QByteArray("old big"));  // an endless body stops at its size
        QCOMPARE(readFile(fx.base() + "/old.dll"), QByteArray("old"));
        QCOMPARE(fx.server.requests(), (std::vector<std::string>{"/check", "/f/a", "/f/b", "/f/endless"}));
        QCOMPARE(QDir(fx.base()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"Application", "big.dat", "desktop-updater.log", "domvista.exe", "old.dll"}));
        QCOMPARE(QDir(fx.base() + "/Application/Updates").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"updater.lock"});
        QCOMPARE(notice, QString::fromUtf8("更新失败，未做任何更改，详见desktop-updater.log"));
        QVERIFY(readFile(fx.base() + "/desktop-updater.log").contains("download of \"big.dat\""));
    }

    // A folder on the way is replaced by a link while an earlier file downloads: the commit sees
    // it and refuses the whole update, so nothing is written through the link.
    void aLinkPlantedDuringTheDownloadsRefusesTheCommit()
    {
        QTemporaryDir outside;
        writeFile(outside.path() + "/x.dll", "outside");
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("slow") + "' dist='a.dll'/>"
                        "<file url='" + fx.fileUrl("x") + "' dist='sub/x.dll'/></files>");
        TestServer::Response slow = TestServer::ok("new a");
        slow.delayMs = 600;
        fx.server.route("/f/slow", slow);
        fx.server.route("/f/x", TestServer::ok("new x"));
        writeFile(fx.base() + "/sub/x.dll", "old x");
        writeFile(fx.base() + "/a.dll", "old a");
        fx.make();
        QTimer::singleShot(500, [&] {
            QDir(fx.base() + "/sub").removeRecursively();
            testlinks::makeLink(outside.path(), fx.base() + "/sub");
        });
        fx.run();
        QCOMPARE(readFile(outside.path() + "/x.dll"), QByteArray("outside"));
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("old a"));
        QVERIFY(readFile(fx.base() + "/desktop-updater.log").contains("\"sub\" is now a link"));
    }

    void refusedEntriesStayVisibleAndAreLoggedAndNothingOutsideIsTouched()
    {
        QTemporaryDir outside;
        writeFile(outside.path() + "/victim", "precious");
        writeFile(outside.path() + "/secret", "local secret");
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("x") + "' dist='../" +
                        QFileInfo(outside.path()).fileName().toStdString() + "/victim'/>"
                        "<file url='file://" + outside.path().toStdString() + "/secret' dist='copied.txt'/>"
                        "<file url='" + fx.fileUrl("x") + "' dist='&lt;b&gt;bold&lt;b&gt;.'/>"
                        "<file url='" + fx.fileUrl("good") + "' dist='good.dll'/>"
                        "<file url='ftp://user:pw9q@h/x' dist='ftp.dll'/>"
                        "<remove dist='../x&#10;2026-01-01T00:00:00Z forged line'/>"
                        "<remove dist='" + outside.path().toStdString() + "/victim'/></files>");
        fx.server.route("/f/x", TestServer::ok("evil"));
        fx.server.route("/f/good", TestServer::ok("good"));
        fx.make();
        fx.update->setNoticeHoldMsForTesting(400);
        QString label3;
        bool visibleWithNotice = false;
        QString label3Whole;
        connect(fx.update, &QDialog::finished, [&] {
            label3 = fx.update->ui()->label_3->text();
            label3Whole = fx.update->ui()->label_3->toolTip();
        });
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (fx.update && fx.update->ui() && fx.update->ui()->label_3->text().startsWith(QString::fromUtf8("已跳过："))) {
                visibleWithNotice = fx.update->isVisible();
            }
        });
        poll.start(20);
        QCOMPARE(fx.update->ui()->label_3->textFormat(), Qt::PlainText);  // names from the server are never markup
        fx.run();
        QCOMPARE(readFile(outside.path() + "/victim"), QByteArray("precious"));
        QVERIFY(!QFileInfo::exists(fx.base() + "/copied.txt"));
        QCOMPARE(readFile(fx.base() + "/good.dll"), QByteArray("good"));
        QCOMPARE(fx.server.requests(), (std::vector<std::string>{"/check", "/f/good"}));
        // The notice outlives the last file name and stays on screen for a moment.
        QVERIFY2(label3.startsWith(QString::fromUtf8("已跳过：")), qPrintable(label3));
        QVERIFY(label3Whole.startsWith(label3.chopped(1)));  // cut to the label's width ("...")
        QVERIFY(label3Whole.contains("copied.txt") && label3Whole.contains("<b>bold<b>."));
        QVERIFY(visibleWithNotice);
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QVERIFY2(log.contains("/victim\": unsafe path"), log.constData());
        QVERIFY(log.contains("copied.txt\" from \"file://"));
        QVERIFY(log.contains("<b>bold<b>.\": the name"));
        QCOMPARE(log.count("skipped "), 6);
        // One entry, one line: a newline in a name cannot start a line, credentials never show.
        QVERIFY(!log.contains("pw9q") && log.contains("ftp://h/x"));
        for (const QByteArray& line : log.trimmed().split('\n')) QVERIFY2(line.startsWith("20") && !line.startsWith("2026-01-01"), line.constData());
        QVERIFY(log.contains("../x\\n2026"));
    }

    // The log is written only as the updater's own file with one name: a link or a second name
    // of a file outside in its place is never written through (the URL of config.ini would go
    // there); that name goes, and the log starts afresh in the folder.
    void theLogIsNeverWrittenThroughALink_data()
    {
        QTest::addColumn<bool>("hard");
        QTest::newRow("a symbolic link") << false;
        QTest::newRow("a hard link") << true;
    }
    void theLogIsNeverWrittenThroughALink()
    {
        QFETCH(bool, hard);
        QTemporaryDir outside;
        writeFile(outside.path() + "/file", "precious");
        Fixture fx;
        fx.config("1.0", "/missing");
        const QString log = fx.base() + "/desktop-updater.log";
        if (hard) {
            if (!testlinks::makeHardLink(outside.path() + "/file", log)) QSKIP("no hard link could be made here");
        } else if (!testlinks::makeLink(outside.path() + "/file", log)) {
            QSKIP("Wine 8 shows a Unix link to a file as the file itself");
        }
        fx.make();
        fx.run();
        QCOMPARE(fx.server.requests(), std::vector<std::string>{"/missing"});
        QCOMPARE(readFile(outside.path() + "/file"), QByteArray("precious"));
        QVERIFY(!pathpolicy::isAnyLink(log) && !pathrules::sameFile(log, outside.path() + "/file"));
        QVERIFY2(readFile(log).contains("update check at"), readFile(log).constData());
    }

#ifndef Q_OS_WIN
    // A FIFO in the place of a file the updater reads or writes never holds it (nor the folder's
    // lock with it): each start ends. A watchdog opens the FIFO's other end when a start has not
    // ended after a while, so that a hanging start ends too and the test can say so.
    void aFifoNeverHoldsTheUpdater_data()
    {
        QTest::addColumn<QString>("place");
        QTest::newRow("a part's info") << "part info";
        QTest::newRow("the log") << "desktop-updater.log";
        QTest::newRow("the journal") << "Application/Updates/update-journal";
        QTest::newRow("the step record") << "Application/Updates/update-journal.steps";
        QTest::newRow("the applied version") << "Application/Updates/applied-version";
        QTest::newRow("the settings") << "Application/Config/config.ini";
        QTest::newRow("a file in place") << "a.dll";
    }
    void aFifoNeverHoldsTheUpdater()
    {
        QFETCH(QString, place);
        Fixture fx;
        fx.config("1.0");
        const QByteArray bytes = "new a";
        const QString url = QString::fromStdString(fx.fileUrl("a"));
        fx.offer("1.1", "<files><file url='" + url.toStdString() + "' dist='a.dll' sha256='" + sha256Hex(bytes).toStdString() +
                            "' size='5'/></files>");
        fx.server.route("/f/a", TestServer::ok("new a"));
        QString fifo = fx.base() + "/" + place;
        if (place == "part info") {
            fifo = fx.base() + "/Application/Updates/partial/" + partKey(sha256Hex(bytes), url) + ".info";
            writeFile(fifo + ".tmp", "");
            QFile::remove(fifo + ".tmp");
            writeFile(QFileInfo(fifo).path() + "/" + partKey(sha256Hex(bytes), url) + ".part", "ne");
        }
        if (place.contains("update-journal")) {
            QVERIFY(QDir().mkpath(fx.base() + "/Application/Updates"));
            UpdateJournal journal;  // a killed commit that placed nothing yet
            journal.id = "killed-run";
            journal.version = "1.1";
            QString why;
            QVERIFY(writeUpdateJournal(fx.base() + "/Application/Updates/update-journal", journal, &why));
        }
        QDir().mkpath(QFileInfo(fifo).path());
        QFile::remove(fifo);
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        std::atomic<bool> ended{false}, hung{false};
        std::thread watchdog([&] {
            for (int waited = 0; !ended; waited += 50) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (waited < 5000 || ended) continue;
                hung = true;  // opening both ends lets a blocked open go on
                const int fd = open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (fd >= 0) close(fd);
                waited = 4000;
            }
        });
        fx.make();
        fx.run();
        ended = true;
        watchdog.join();
        QVERIFY2(!hung, "a start waited on the FIFO");
    }
#endif

    // A list that names every file of the release, current ones included, and removes a folder
    // to clear out what the release no longer has: the current files in that folder stay.
    void aCurrentFileInsideARemovedFolderStays_data()
    {
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("removed");
        QTest::addColumn<bool>("withDownload");
        QTest::newRow("beside a download") << "plugins/render.dll" << "plugins/" << true;
        QTest::newRow("the only change is the removal") << "plugins/render.dll" << "plugins" << false;
        QTest::newRow("deeper inside") << "plugins/gl/x/render.dll" << "plugins" << true;
    }
    void aCurrentFileInsideARemovedFolderStays()
    {
        QFETCH(QString, kept);
        QFETCH(QString, removed);
        QFETCH(bool, withDownload);
        Fixture fx;
        fx.config("1.0");
        const QByteArray current = "current render";
        std::string list = "<files><file url='" + fx.fileUrl("render") + "' dist='" + kept.toStdString() + "' sha256='" +
                           sha256Hex(current).toStdString() + "' size='" + std::to_string(current.size()) + "'/>";
        if (withDownload) list += "<file url='" + fx.fileUrl("new") + "' dist='plugins/new.dll'/>";
        fx.offer("1.1", list + "<remove dist='" + removed.toStdString() + "'/></files>");
        fx.server.route("/f/new", TestServer::ok("new"));
        writeFile(fx.base() + "/" + kept, current);
        writeFile(fx.base() + "/plugins/obsolete.dll", "obsolete");
        writeFile(fx.base() + "/plugins/gl/old.dll", "old");
        fx.make();
        fx.run();
        QCOMPARE(readFile(fx.base() + "/" + kept), current);
        QVERIFY(!QFileInfo::exists(fx.base() + "/plugins/obsolete.dll"));
        QVERIFY(!QFileInfo::exists(fx.base() + "/plugins/gl/old.dll"));
        QCOMPARE(readFile(fx.base() + "/plugins/new.dll"), withDownload ? QByteArray("new") : QByteArray("<missing>"));
        QCOMPARE(fx.server.requests(), withDownload ? (std::vector<std::string>{"/check", "/f/new"})
                                                    : std::vector<std::string>{"/check"});
        QCOMPARE(readFile(fx.base() + "/Application/Updates/applied-version"), QByteArray("1.1\n"));
    }

    // Entries that the commit could not place are refused when the list is read; the rest of
    // the release is installed, and the next start has nothing left to fail on.
    void anEntryThatCannotBePlacedIsRefusedAndTheRestInstalled_data()
    {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("placed");    // the file that ends up with "inner"
        QTest::addColumn<bool>("refused");
        QTest::addColumn<bool>("oldGone");      // plugins/old.dll was removed
        QTest::newRow("a target below a file") << "<file url='URL' dist='afile.txt/inner.bin'/>" << "" << true << false;
        QTest::newRow("below a file the list removes") << "<file url='URL' dist='afile.txt/inner.bin'/><remove dist='afile.txt'/>"
                                                       << "afile.txt/inner.bin" << false << false;
        QTest::newRow("a removed folder that holds a download") << "<file url='URL' dist='plugins/inner.dll'/><remove dist='plugins'/>"
                                                                << "plugins/inner.dll" << false << true;
#ifdef Q_OS_WIN
        // Windows reaches one folder through every letter case of its name.
        QTest::newRow("removed in another letter case") << "<file url='URL' dist='plugins/inner.dll'/><remove dist='PlugIns'/>"
                                                        << "plugins/inner.dll" << false << true;
#endif
    }
    void anEntryThatCannotBePlacedIsRefusedAndTheRestInstalled()
    {
        QFETCH(QString, entries);
        QFETCH(QString, placed);
        QFETCH(bool, refused);
        QFETCH(bool, oldGone);
        for (int run = 1; run <= 2; ++run) {  // the second start has nothing to do
            Fixture fx;
            writeFile(fx.base() + "/afile.txt", "a file");
            writeFile(fx.base() + "/plugins/old.dll", "old");
            writeFile(fx.base() + "/good.dll", "old good");
            fx.config(run == 1 ? "1.0" : "1.1");
            const QString list = "<files>" + QString(entries).replace("URL", QString::fromStdString(fx.fileUrl("inner"))) +
                                 "<file url='" + QString::fromStdString(fx.fileUrl("good")) + "' dist='good.dll'/></files>";
            fx.offer("1.1", list.toStdString());
            fx.server.route("/f/inner", TestServer::ok("inner"));
            fx.server.route("/f/good", TestServer::ok("new good"));
            fx.make();
            fx.run();
            if (run == 2) {
                QCOMPARE(fx.server.requests(), std::vector<std::string>{"/check"});
                continue;
            }
            const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
            QCOMPARE(readFile(fx.base() + "/good.dll"), QByteArray("new good"));
            QVERIFY2(log.contains("installed version \"1.1\""), log.constData());
            QCOMPARE(log.contains("skipped download to \"afile.txt/inner.bin\""), refused);
            if (!placed.isEmpty()) QCOMPARE(readFile(fx.base() + "/" + placed), QByteArray("inner"));
            if (placed.isEmpty()) QCOMPARE(readFile(fx.base() + "/afile.txt"), QByteArray("a file"));
            QCOMPARE(QFileInfo::exists(fx.base() + "/plugins/old.dll"), !oldGone);
            QCOMPARE(readFile(fx.base() + "/Application/Updates/applied-version"), QByteArray("1.1\n"));
        }
    }

    // An empty folder is part of a release: a list that only names a missing one makes it.
    void aListThatOnlyNamesAMissingFolderMakesIt()
    {
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file dist='plugins/empty/'/></files>");
        fx.make();
        fx.run();
        QVERIFY(QFileInfo(fx.base() + "/plugins/empty").isDir());
        QCOMPARE(UpdateTransaction(fx.base()).appliedVersion(), QString("1.1"));
        QVERIFY2(readFile(fx.base() + "/desktop-updater.log").contains("installed version \"1.1\""), readFile(fx.base() + "/desktop-updater.log").constData());
    }

    // Two names of one old file (hard links): each name the release installs becomes a file of
    // its own with that name's bytes, and a name it removes goes, whatever the other names are.
    void everyNameOfAHardLinkedFileGetsItsOwnFile_data()
    {
        QTest::addColumn<QString>("entries");  // OLD: the digest and size of the old bytes
        QTest::addColumn<QString>("expected"); // name=bytes, ...; "<missing>" for a name removed
        QTest::newRow("both names updated") << "<file url='URL/a' dist='core.dll'/><file url='URL/b' dist='core-alias.dll'/>"
                                            << "core.dll=new a,core-alias.dll=new b";
        QTest::newRow("one updated, the other removed") << "<file url='URL/a' dist='core.dll'/><remove dist='core-alias.dll'/>"
                                                        << "core.dll=new a,core-alias.dll=<missing>";
        QTest::newRow("the other removed first") << "<remove dist='core-alias.dll'/><file url='URL/a' dist='core.dll'/>"
                                                 << "core.dll=new a,core-alias.dll=<missing>";
        QTest::newRow("both names kept as they are") << "<file url='URL/old' dist='core.dll' OLD/><file url='URL/old' dist='core-alias.dll' OLD/>"
                                                     << "core.dll=old,core-alias.dll=old";
        QTest::newRow("one name kept, one updated") << "<file url='URL/old' dist='core.dll' OLD/><file url='URL/b' dist='core-alias.dll'/>"
                                                    << "core.dll=old,core-alias.dll=new b";
    }
    void everyNameOfAHardLinkedFileGetsItsOwnFile()
    {
        QFETCH(QString, entries);
        QFETCH(QString, expected);
        Fixture fx;
        fx.config("1.0");
        writeFile(fx.base() + "/core.dll", "old");
        if (!testlinks::makeHardLink(fx.base() + "/core.dll", fx.base() + "/core-alias.dll")) QSKIP("no hard link could be made here");
        const QString old = QString("sha256='%1' size='3'").arg(sha256Hex("old"));
        fx.offer("1.1", ("<files>" + QString(entries).replace("URL", QString::fromStdString(fx.server.url("/f"))).replace("OLD", old) +
                         "</files>").toStdString());
        fx.server.route("/f/a", TestServer::ok("new a"));
        fx.server.route("/f/b", TestServer::ok("new b"));
        fx.server.route("/f/old", TestServer::ok("old"));
        fx.make();
        fx.run();
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QVERIFY2(log.contains("installed version \"1.1\"") && !log.contains("skipped"), log.constData());
        for (const QString& pair : expected.split(',')) {
            const QString name = pair.section('=', 0, 0);
            const QByteArray bytes = pair.section('=', 1).toUtf8();
            QCOMPARE(readFile(fx.base() + "/" + name), bytes);
            if (bytes != "<missing>") QVERIFY2(isSoleRegularFile(fx.base() + "/" + name), qPrintable(name + " has another name"));
        }
        QCOMPARE(UpdateTransaction(fx.base()).appliedVersion(), QString("1.1"));
    }

    // A file in place with the listed bytes that has a second name outside the folder is no file
    // of the release's own: it is replaced, and the other name keeps its file as it is.
    void aFileInPlaceWithANameOutsideIsReplacedByItsOwn()
    {
        Fixture fx;
        QTemporaryDir outside;
        fx.config("1.0");
        writeFile(outside.path() + "/theirs.dll", "core");
        if (!testlinks::makeHardLink(outside.path() + "/theirs.dll", fx.base() + "/core.dll")) QSKIP("no hard link could be made here");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("core") + "' dist='core.dll' sha256='" + sha256Hex("core").toStdString() +
                            "' size='4'/></files>");
        fx.server.route("/f/core", TestServer::ok("core"));
        fx.make();
        fx.run();
        QCOMPARE(fx.server.requests(), (std::vector<std::string>{"/check", "/f/core"}));
        QCOMPARE(readFile(fx.base() + "/core.dll"), QByteArray("core"));
        QVERIFY(isSoleRegularFile(fx.base() + "/core.dll"));
        QVERIFY(isSoleRegularFile(outside.path() + "/theirs.dll"));
        QCOMPARE(readFile(outside.path() + "/theirs.dll"), QByteArray("core"));
    }

    // Two updaters on one folder, started by anyone: the one that holds the folder's lock works,
    // the other changes nothing, not even the first one's staged files, and says so.
    void aSecondUpdaterOnTheSameFolderLeavesItAlone()
    {
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("a") + "' dist='a.dll'/></files>");
        fx.server.route("/f/a", TestServer::ok("new a"));
        writeFile(fx.base() + "/a.dll", "old a");
        Update first;
        first.setBaseFolderForTesting(fx.base());
        QString why;
        QCOMPARE(first.lockFolder(&why), FolderLock::Result::Held);
        writeFile(fx.base() + "/Application/Updates/staging/0", "the first one's download");
        fx.make();
        QCOMPARE(fx.update->lockFolder(&why), FolderLock::Result::Busy);
        fx.run();
        QVERIFY(fx.server.requests().empty());
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("old a"));
        QCOMPARE(readFile(fx.base() + "/Application/Updates/staging/0"), QByteArray("the first one's download"));
        QVERIFY(readFile(fx.base() + "/desktop-updater.log").contains("another updater is already updating this folder"));
        QVERIFY(!fx.update->isVisible());
    }

    // A link standing as the lock is no lock any updater holds: it goes itself (never what it
    // leads to), and a fresh lock is taken.
    void theFolderLockIsNeverTakenThroughALink()
    {
        QTemporaryDir outside;
        Fixture fx;
        fx.config("1.0");
        QVERIFY(QDir().mkpath(fx.base() + "/Application/Updates"));
        // A link to a folder: under Wine a host link to a file looks like the file itself.
        QVERIFY(QDir().mkpath(outside.path() + "/elsewhere"));
        QVERIFY(testlinks::makeLink(outside.path() + "/elsewhere", fx.base() + "/Application/Updates/updater.lock"));
        fx.make();
        QString why;
        const FolderLock::Result got = fx.update->lockFolder(&why);
#ifdef Q_OS_WIN
        if (got != FolderLock::Result::Held && pathpolicy::isAnyLink(fx.base() + "/Application/Updates/updater.lock")) {
            // Wine 8 cannot remove a host link itself: the lock stays refused, and nothing
            // behind the link was touched.
            QCOMPARE(QDir(outside.path() + "/elsewhere").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
            QSKIP("Wine 8 cannot remove a host link itself, so no fresh lock can be taken in its place");
        }
#endif
        QCOMPARE(got, FolderLock::Result::Held);
        QVERIFY(!pathpolicy::isAnyLink(fx.base() + "/Application/Updates/updater.lock"));
        QVERIFY(QFileInfo(fx.base() + "/Application/Updates/updater.lock").isFile());
        QVERIFY(QFileInfo(outside.path() + "/elsewhere").isDir());
        QCOMPARE(QDir(outside.path() + "/elsewhere").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // A damaged lock after a killed commit: the start still finishes the commit before the
    // application starts, never starts it on the mix with the journal still there.
    void aDamagedLockNeverSkipsRecovery_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("a dangling link") << "dangling link";
        QTest::newRow("a folder") << "folder";
#ifndef Q_OS_WIN
        QTest::newRow("a FIFO") << "fifo";
#endif
    }
    void aDamagedLockNeverSkipsRecovery()
    {
        QFETCH(QString, damage);
        Fixture fx;
        fx.config("1.0");  // the check then fails: only the recovery runs
        const QString lock = fx.base() + "/Application/Updates/updater.lock";
        QVERIFY(leaveAKilledCommit(fx.base()));
        if (damage == "dangling link") {
            if (!testlinks::makeLink(fx.base() + "/no-such-folder", lock)) {
#ifdef Q_OS_WIN
                QSKIP("no dangling link can be made here (a host link needs its target under Wine)");
#endif
                QFAIL("cannot make a dangling link");
            }
        } else if (damage == "folder") {
            writeFile(lock + "/inside", "x");
        } else {
#ifndef Q_OS_WIN
            QCOMPARE(mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
#endif
        }
        fx.make();
        fx.run();
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("new a"));
        QVERIFY(!QFileInfo::exists(fx.base() + "/Application/Updates/update-journal"));
        QVERIFY(readFile(fx.base() + "/desktop-updater.log").contains("completed the interrupted commit"));
        QVERIFY(QFileInfo(lock).isFile() && !pathpolicy::isAnyLink(lock));
    }

#ifndef Q_OS_WIN
    // The lock is private to the account that runs the updater: its file is the owner's alone,
    // another account can neither take it nor hold it, and a lock an earlier version left
    // readable by all that another account's process holds is said to be that, never "another
    // updater". (Another account is played by a child that becomes nobody: root only.)
    void theLockIsPrivateToTheAccount()
    {
        if (geteuid() != 0) QSKIP("another account is played by a child of root that becomes nobody");
        Fixture fx;
        fx.config("1.0");
        const QString updates = fx.base() + "/Application/Updates";
        QVERIFY(QDir().mkpath(updates));
        for (const QString& d : {fx.base(), fx.base() + "/Application", updates}) chmod(QFile::encodeName(d).constData(), 0755);
        const QString lock = updates + "/updater.lock";
        {
            Update first;
            first.setBaseFolderForTesting(fx.base());
            QString why;
            QCOMPARE(first.lockFolder(&why), FolderLock::Result::Held);
            struct stat st;
            QCOMPARE(lstat(QFile::encodeName(lock).constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0600);
        }
        // Another account tries to take it.
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
            FolderLock other;
            QString why;
            _exit(int(other.acquire(lock, &why)));
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), int(FolderLock::Result::OtherAccount));

        // A lock left readable by all, held by another account's process.
        QCOMPARE(chmod(QFile::encodeName(lock).constData(), 0644), 0);
        int ready[2], done[2];
        QCOMPARE(pipe(ready), 0);
        QCOMPARE(pipe(done), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
            const int fd = open(QFile::encodeName(lock).constData(), O_RDONLY);
            const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1) _exit(98);
            char end;
            if (read(done[0], &end, 1) < 0) _exit(97);
            _exit(0);
        }
        char held = 0;
        QCOMPARE(read(ready[0], &held, 1), ssize_t(1));
        QCOMPARE(held, char(1));
        fx.make();
        fx.run();
        const char end = 1;
        QCOMPARE(write(done[1], &end, 1), ssize_t(1));
        waitpid(holder, &status, 0);
        for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QVERIFY2(log.contains("another account (uid 65534)") && !log.contains("another updater"), log.constData());
        struct stat st;
        QCOMPARE(lstat(QFile::encodeName(lock).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);  // made private again
    }

    // A lock this updater cannot take (another account's file) with an unfinished commit in the
    // folder: nothing is recovered without the lock, so the application is not started on the mix.
    void withoutTheLockAnUnfinishedCommitKeepsTheApplicationStopped()
    {
        if (geteuid() != 0) QSKIP("the lock file is given to another account by chown, which needs root");
        Fixture fx;
        fx.config("1.0");
        QVERIFY(QFile::copy(FAKE_APP_PATH, fx.base() + "/app-lock-test.exe"));
        struct EndStarted {
            QString app;
            ~EndStarted()
            {
                QTest::qWait(300);
                procutil::terminateProcesses(procutil::findProcessesByImage(QDir::toNativeSeparators(app).toStdString()), 5000);
            }
        } endStarted{fx.base() + "/app-lock-test.exe"};
        writeFile(fx.base() + "/Application/Updates/update-journal", "{\"state\":\"comm");
        const QString lock = fx.base() + "/Application/Updates/updater.lock";
        writeFile(lock, "");
        QCOMPARE(chown(QFile::encodeName(lock).constData(), 65534, 65534), 0);
        fx.make();
        fx.update->setApplicationExecutableForTesting("app-lock-test.exe");
        fx.run();
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QVERIFY2(log.contains("belongs to another account") && log.contains("application is not started"), log.constData());
        QVERIFY(QFileInfo::exists(fx.base() + "/Application/Updates/update-journal"));
        QTest::qWait(300);
        QVERIFY(!QFileInfo::exists(fx.base() + "/started.log"));
    }
#endif

    // A commit that fails is undone; where undoing stops halfway, the notice says so instead of
    // "nothing was changed", and the application is not started on the mix. The file name line
    // names the file at which it stopped.
    void aCommitThatFailsSaysWhetherItWasUndone_data()
    {
        QTest::addColumn<bool>("obstacle");  // else the staged file is lost
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QByteArray>("b");
        QTest::newRow("undone") << false << QString::fromUtf8("更新失败，未做任何更改，详见desktop-updater.log") << QByteArray("old b");
        QTest::newRow("undoing stopped") << true << QString::fromUtf8("更新失败且尚未撤销，请再次启动更新程序；详见desktop-updater.log")
                                         << QByteArray("in the way");
    }
    void aCommitThatFailsSaysWhetherItWasUndone()
    {
        QFETCH(bool, obstacle);
        QFETCH(QString, notice);
        QFETCH(QByteArray, b);
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("a") + "' dist='a.dll'/><file url='" + fx.fileUrl("b") + "' dist='b.dll'/></files>");
        fx.server.route("/f/a", TestServer::ok("new a"));
        fx.server.route("/f/b", TestServer::ok("new b"));
        writeFile(fx.base() + "/a.dll", "old a");
        writeFile(fx.base() + "/b.dll", "old b");
        QVERIFY(QFile::copy(FAKE_APP_PATH, fx.base() + "/app-undo-test.exe"));
        struct EndStarted {  // whatever the checks say, no stand-in outlives the test
            QString log;
            ~EndStarted()
            {
                for (const QByteArray& pid : readFile(log).split('\n')) {
                    if (pid.toULong()) procutil::terminateProcesses({pid.toULong()}, 5000);
                }
            }
        } endStarted{fx.base() + "/started.log"};
        fx.make();
        fx.update->setApplicationExecutableForTesting("app-undo-test.exe");
        // Steps: before and after the journal, two old files into the backup, then a.dll is placed.
        g_commitCalls = 0;
        g_commitStep = 5;
        g_atCommitStep = [&] {
            if (obstacle) writeFile(fx.base() + "/b.dll", "in the way");  // b.dll cannot be placed, nor put back
            else QFile::remove(fx.base() + "/Application/Updates/staging/1");
        };
        QString label3, label4;
        connect(fx.update, &QDialog::finished, [&] {
            label3 = fx.update->ui()->label_3->toolTip();
            label4 = fx.update->ui()->label_4->toolTip();
        });
        fx.run();
        g_commitStep = 0;
        g_atCommitStep = nullptr;
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("old a"));
        QCOMPARE(readFile(fx.base() + "/b.dll"), b);
        QCOMPARE(label4, notice);
        QCOMPARE(label3, QString::fromUtf8("失败：b.dll"));
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QCOMPARE(log.contains("nothing was changed"), !obstacle);
        QCOMPARE(log.contains("undoing it stopped"), obstacle);
        QCOMPARE(QFileInfo::exists(fx.base() + "/Application/Updates/update-journal"), obstacle);
        if (!obstacle) {
            QTRY_VERIFY(readFile(fx.base() + "/started.log").endsWith('\n'));  // with its pid, for the end
        } else {
            QTest::qWait(300);
            QVERIFY(!QFileInfo::exists(fx.base() + "/started.log"));  // not started on a mix
        }
    }

    void failedDownloadOfARemovedFileKeepsTheOldFile()
    {
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><remove dist='a.dll'/><file url='" + fx.fileUrl("missing") + "' dist='a.dll'/></files>");
        writeFile(fx.base() + "/a.dll", "old a");
        fx.make();
        fx.run();
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("old a"));
        QVERIFY(readFile(fx.base() + "/desktop-updater.log").contains("download of \"a.dll\""));
    }

    void applicationIsStartedByItsFullPath()
    {
        // On Windows a bare name would be looked up in the current directory and on PATH first.
        Fixture fx;
        fx.make();
        fx.update->setApplicationExecutableForTesting("domvista.exe");
        QCOMPARE(fx.update->applicationProgramPath(), QDir::toNativeSeparators(fx.base() + "/domvista.exe"));
        QTemporaryDir elsewhere;
        QFile::copy(FAKE_APP_PATH, fx.base() + "/domvista.exe");
        QFile::copy(FAKE_APP_PATH, elsewhere.path() + "/domvista.exe");
        const QString savedCwd = QDir::currentPath();
        QDir::setCurrent(elsewhere.path());
        fx.run();  // no settings: no update, the application is started
        QDir::setCurrent(savedCwd);
        // The whole line: the file exists before its pid is written, and a pid read too early
        // would leave the stand-in running (and holding the test's output) for ever.
        QTRY_VERIFY(readFile(fx.base() + "/started.log").endsWith('\n'));
        QVERIFY(!QFileInfo::exists(elsewhere.path() + "/started.log"));
        QVERIFY(procutil::terminateProcesses({readFile(fx.base() + "/started.log").trimmed().toULong()}, 5000));
    }

    // While the procedure waits for the application to close, the dialog says why; one that
    // does not close is ended at the deadline and the update goes on.
    void theDialogSaysWhyItWaitsForTheApplication()
    {
        Fixture fx;
        fx.config("1.0");
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("a") + "' dist='a.dll'/></files>");
        fx.server.route("/f/a", TestServer::ok("new a"));
        writeFile(fx.base() + "/a.dll", "old a");
        QVERIFY(QFile::copy(FAKE_APP_PATH, fx.base() + "/domvista.exe"));
        QFile::setPermissions(fx.base() + "/domvista.exe", QFile::permissions(fx.base() + "/domvista.exe") | QFile::ExeOwner);
        qint64 pid = 0;
        QVERIFY(QProcess::startDetached(fx.base() + "/domvista.exe", {"--ignore-close"}, fx.base(), &pid));
        // Ended in any case, so that a failed check leaves no stand-in running (and holding the test's output).
        struct EndAtExit {
            qint64 pid;
            ~EndAtExit() { procutil::terminateProcesses({procutil::ProcessId(pid)}, 5000); }
        } endAtExit{pid};
        QTRY_VERIFY(readFile(fx.base() + "/started.log").endsWith('\n'));
        fx.make();
        fx.update->setApplicationExecutableForTesting("domvista.exe");
        fx.update->setCloseDeadlineMsForTesting(500);
        fx.update->procedure()->setApplicationStarter([](const QString&) { return true; });
        bool seenWhileRunning = false;
        QTimer sampler;  // runs whenever the procedure lets the dialog paint
        connect(&sampler, &QTimer::timeout, [&] {
            if (fx.update.isNull()) return;
            if (fx.update->isVisible() && fx.update->ui()->label_3->text() == QString::fromUtf8("正在关闭Domvista以完成更新") &&
                !procutil::processesGone({procutil::ProcessId(pid)})) {
                seenWhileRunning = true;
            }
        });
        sampler.start(0);
        fx.run();
        sampler.stop();
        QVERIFY(procutil::processesGone({procutil::ProcessId(pid)}));
        if (readFile(fx.base() + "/desktop-updater.log").contains("could not be asked to close")) {
            // Only a program with a window can be asked on Windows; Wine's offscreen test runs
            // give the stand-in none, so there nothing waits and the line is not shown.
            QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("new a"));
            QSKIP("the stand-in has no window to be asked through here (Wine without a display)");
        }
        QVERIFY(seenWhileRunning);
        QVERIFY(QFileInfo::exists(fx.base() + "/asked.log"));  // asked first, ended after the deadline
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("new a"));
    }

    void closeAndEscapeDuringTheUpdateAreIgnored()
    {
        Fixture fx;
        fx.config("1.0");
        std::string list = "<files>";
        for (const char* name : {"one", "two", "three"}) {
            list += std::string("<file url='") + fx.fileUrl(name) + "' dist='" + name + "'/>";
            TestServer::Response r = TestServer::ok(std::string(60000, name[0]));
            r.chunkDelayMs = 5;
            fx.server.route(std::string("/f/") + name, r);
        }
        fx.offer("2.0", list + "</files>");
        fx.make();
        int attempts = 0;
        bool stayedOpen = true;
        connect(fx.update->ui()->totalProgressBar, &QProgressBar::valueChanged, [&](int value) {
            if (value != 2) return;
            QTimer::singleShot(0, [&]() {
                ++attempts;
                fx.update->close();
                QTest::keyClick(fx.update, Qt::Key_Escape);
                fx.update->reject();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                stayedOpen = !fx.update.isNull() && fx.update->isVisible();
            });
        });
        fx.run();
        QCOMPARE(attempts, 1);
        QVERIFY(stayedOpen);
        QCOMPARE(readFile(fx.base() + "/three"), QByteArray(60000, 't'));
        QVERIFY(fx.update.isNull());  // closed by the procedure itself at the end
    }

    // An unfinished commit's files are about to move: this folder's application is ended before
    // the recovery moves them, and started again once they are whole.
    void theApplicationIsEndedBeforeRecoveryMovesItsFiles()
    {
        Fixture fx;
        fx.config("1.0");  // the check then fails: only the recovery runs
        const QString app = fx.base() + "/app-recover-test.exe";
        QVERIFY(QFile::copy(FAKE_APP_PATH, app));
        struct EndStarted {
            QString app;
            ~EndStarted()
            {
                QTest::qWait(300);
                procutil::terminateProcesses(procutil::findProcessesByImage(QDir::toNativeSeparators(app).toStdString()), 5000);
            }
        } endStarted{app};
        QVERIFY(procutil::startDetached(QDir::toNativeSeparators(app).toStdString()));
        QTRY_VERIFY(readFile(fx.base() + "/started.log").trimmed().toULong() != 0);
        const unsigned long running = readFile(fx.base() + "/started.log").trimmed().toULong();
        // A killed run's commit: its journal on disk, the new file still staged.
        QVERIFY(leaveAKilledCommit(fx.base()));
        fx.make();
        fx.update->setApplicationExecutableForTesting("app-recover-test.exe");
        fx.run();
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("new a"));
        QVERIFY(readFile(fx.base() + "/desktop-updater.log").contains("completed the interrupted commit"));
        QTRY_COMPARE(readFile(fx.base() + "/started.log").trimmed().split('\n').size(), 2);
        const std::vector<procutil::ProcessId> now = procutil::findProcessesByImage(QDir::toNativeSeparators(app).toStdString());
        QVERIFY2(std::find(now.begin(), now.end(), running) == now.end(), "the application ran on while its files moved");
    }

    // A journal that cannot be read leaves the folder in doubt: the application is not started,
    // the dialog and the log say so and never "nothing was changed", and the next start runs the
    // update again in full although its version is recorded as applied.
    // While a repair is pending, a run ends it only when it leaves every entry of the list in
    // place: an entry that the list skips while nothing is in its place (the commit whose
    // journal was lost may have taken the old file away) leaves the folder in doubt, and the
    // application stopped; what ends the repair is logged.
    // A newer list that finds the folder as it describes (every removal done, every file in
    // place: a commit got that far before it was cut short) records its version; a list that
    // skips every entry says nothing of the folder and records nothing. Nothing is stopped.
    void aListWithNothingLeftToDoRecordsItsVersion_data()
    {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<bool>("recorded");
        const QString inPlace = QString("<file url='URL/a' dist='a.dll' sha256='%1' size='5'/>").arg(sha256Hex("old a"));
        QTest::newRow("a removal done") << "<remove dist='gone.dll'/>" << true;
        QTest::newRow("every file in place") << inPlace << true;
        QTest::newRow("a removal done, an entry skipped") << "<remove dist='gone.dll'/><file url='ftp://h/b' dist='b.dll'/>" << true;
        QTest::newRow("every entry skipped") << "<file url='ftp://h/b' dist='b.dll'/>" << false;
        QTest::newRow("no entries") << "" << false;
    }
    void aListWithNothingLeftToDoRecordsItsVersion()
    {
        QFETCH(QString, entries);
        QFETCH(bool, recorded);
        Fixture fx;
        fx.config("1.0");
        writeFile(fx.base() + "/a.dll", "old a");
        fx.offer("1.2", ("<files>" + QString(entries).replace("URL", QString::fromStdString(fx.server.url("/f"))) + "</files>").toStdString());
        fx.make();
        fx.run();
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QCOMPARE(UpdateTransaction(fx.base()).appliedVersion(), recorded ? QString("1.2") : QString());
        QVERIFY2(log.contains("offers nothing to install") != recorded, log.constData());
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("old a"));
        QCOMPARE(fx.server.requests(), std::vector<std::string>{"/check"});
    }

    void aRepairEndsOnlyWithEveryEntryInPlace_data()
    {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<bool>("aInPlace");  // the skipped a.dll is there
        QTest::addColumn<bool>("ends");
        const QString skipped = "<file url='ftp://h/a' dist='a.dll'/>";
        const QString bInPlace = QString("<file url='URL/b' dist='b.dll' sha256='%1' size='5'/>").arg(sha256Hex("new b"));
        QTest::newRow("an absent removal beside it") << skipped + "<remove dist='c.dll'/>" << false << false;
        QTest::newRow("a file in place beside it") << skipped + bInPlace << false << false;
        QTest::newRow("a file to install beside it") << skipped + "<file url='URL/d' dist='d.dll'/>" << false << false;
        QTest::newRow("the skipped one there: an absent removal") << skipped + "<remove dist='c.dll'/>" << true << true;
        QTest::newRow("the skipped one there: a file in place") << skipped + bInPlace << true << true;
        QTest::newRow("the skipped one there: a file to install") << skipped + "<file url='URL/d' dist='d.dll'/>" << true << true;
        QTest::newRow("a file to install, nothing skipped") << "<file url='URL/d' dist='d.dll'/>" << false << true;
        QTest::newRow("the same name twice, missing") << "<file url='URL/d' dist='d.dll'/><file url='URL/d' dist='./d.dll'/>" << false << true;
        // Names that no commit ever writes: nothing of the release can be missing there.
        QTest::newRow("a Windows device name skipped") << "<file url='URL/d' dist='d.dll'/><file url='URL/d' dist='CON'/>" << false << true;
        QTest::newRow("a path outside skipped") << "<file url='URL/d' dist='d.dll'/><file url='URL/d' dist='../x.dll'/>" << false << true;
        QTest::newRow("the working folder skipped") << "<file url='URL/d' dist='d.dll'/><file url='URL/d' dist='Application/Updates/x.dll'/>" << false << true;
        QTest::newRow("a name too long skipped") << "<file url='URL/d' dist='d.dll'/><file url='URL/d' dist='" + QString(300, 'n') + "'/>" << false << true;
    }
    void aRepairEndsOnlyWithEveryEntryInPlace()
    {
        QFETCH(QString, entries);
        QFETCH(bool, aInPlace);
        QFETCH(bool, ends);
        Fixture fx;
        fx.config("1.0");
        // A commit whose journal was lost: b.dll placed, a.dll perhaps taken into the backup.
        writeFile(fx.base() + "/b.dll", "new b");
        if (aInPlace) writeFile(fx.base() + "/a.dll", "old a");
        writeFile(fx.base() + "/Application/Updates/backup/f0", "old a");
        writeFile(fx.base() + "/Application/Updates/repair-pending", "the journal was lost\n");
        fx.offer("1.2", ("<files>" + QString(entries).replace("URL", QString::fromStdString(fx.server.url("/f"))) + "</files>").toStdString());
        fx.server.route("/f/b", TestServer::ok("new b"));
        fx.server.route("/f/d", TestServer::ok("new d"));
        fx.make();
        fx.run();
        const QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QCOMPARE(UpdateTransaction(fx.base()).repairPending(), !ends);
        QVERIFY2(log.contains("cannot start") == ends, log.constData());  // the start of the (missing) application
        QVERIFY2(log.contains("the pending repair is done") == ends, log.constData());
        QCOMPARE(UpdateTransaction(fx.base()).appliedVersion(), ends ? QString("1.2") : QString());
        if (!ends) {
            QVERIFY2(log.contains("cannot end the pending repair") && log.contains("\"a.dll\""), log.constData());
            QCOMPARE(readFile(fx.base() + "/d.dll"), QByteArray("<missing>"));  // nothing installed
            QCOMPARE(readFile(fx.base() + "/Application/Updates/backup/f0"), QByteArray("old a"));
        }
        QCOMPARE(readFile(fx.base() + "/d.dll") == "new d", ends && entries.contains("d.dll"));
    }

    void aDamagedJournalKeepsTheApplicationStoppedUntilTheUpdateRanAgain()
    {
        Fixture fx;
        fx.config("1.0");
        QVERIFY(QFile::copy(FAKE_APP_PATH, fx.base() + "/app-repair-test.exe"));
        struct EndStarted {  // also one that a failing check let start late
            QString app;
            ~EndStarted()
            {
                QTest::qWait(300);
                procutil::terminateProcesses(procutil::findProcessesByImage(QDir::toNativeSeparators(app).toStdString()), 5000);
            }
        } endStarted{fx.base() + "/app-repair-test.exe"};
        writeFile(fx.base() + "/a.dll", "new a");  // placed by the killed commit
        writeFile(fx.base() + "/b.dll", "old b");  // not yet
        writeFile(fx.base() + "/Application/Updates/applied-version", "1.1\n");
        writeFile(fx.base() + "/Application/Updates/update-journal", "{\"state\":\"comm");
        QString label4;
        auto run = [&] {
            fx.make();
            fx.update->setApplicationExecutableForTesting("app-repair-test.exe");
            label4.clear();
            connect(fx.update, &QDialog::finished, [&] { label4 = fx.update->ui()->label_4->toolTip(); });
            fx.run();
        };
        run();  // the check fails
        QCOMPARE(label4, QString::fromUtf8("更新失败且尚未撤销，请再次启动更新程序；详见desktop-updater.log"));
        QByteArray log = readFile(fx.base() + "/desktop-updater.log");
        QVERIFY2(log.contains("may hold parts of two releases") && log.contains("is not started"), log.constData());
        QVERIFY(!log.contains("nothing was changed"));
        QTest::qWait(300);
        QVERIFY(!QFileInfo::exists(fx.base() + "/started.log"));  // not started on a mix
        QVERIFY(UpdateTransaction(fx.base()).repairPending());

        // A list that offers nothing acceptable changes nothing, but the folder is no whole release.
        fx.offer("1.1", "<files><file url='ftp://h/a' dist='a.dll'/></files>");
        run();
        QCOMPARE(label4, QString::fromUtf8("更新失败且尚未撤销，请再次启动更新程序；详见desktop-updater.log"));
        QVERIFY(!readFile(fx.base() + "/desktop-updater.log").contains("nothing was stopped or changed"));

        // A failed download says the same, and starts nothing either.
        fx.offer("1.1", "<files><file url='" + fx.fileUrl("a") + "' dist='a.dll'/><file url='" + fx.fileUrl("b") + "' dist='b.dll'/></files>");
        fx.server.route("/f/a", TestServer::ok("new a"));
        run();
        QCOMPARE(label4, QString::fromUtf8("更新失败且尚未撤销，请再次启动更新程序；详见desktop-updater.log"));
        QVERIFY(!readFile(fx.base() + "/desktop-updater.log").contains("nothing was changed"));
        QTest::qWait(300);
        QVERIFY(!QFileInfo::exists(fx.base() + "/started.log"));

        // Then the release is whole again: version 1.1 runs again although it is recorded as applied.
        fx.server.route("/f/b", TestServer::ok("new b"));
        run();
        QCOMPARE(readFile(fx.base() + "/a.dll"), QByteArray("new a"));
        QCOMPARE(readFile(fx.base() + "/b.dll"), QByteArray("new b"));
        QVERIFY(!UpdateTransaction(fx.base()).repairPending());
        QCOMPARE(UpdateTransaction(fx.base()).appliedVersion(), QString("1.1"));
        QTRY_VERIFY(QFileInfo::exists(fx.base() + "/started.log"));
    }
};

QTEST_MAIN(TestUpdate)
#include "test_update.moc"

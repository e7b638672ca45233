// The commit of a staged release: it is interrupted at every one of its steps (the pause point
// throws, leaving the files as a crash would), and the next start's recovery must leave exactly
// the old or the new release. A failure inside the commit undoes it.
#include "transaction/updatetransaction.h"

#include "list/pathpolicy.h"
#include "platform/path_rules.h"
#include "support/commit_release.h"
#include "support/files.h"
#include "support/links.h"

#include <QtTest>
#include <functional>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using namespace testfiles;

// A commit's id, as the transaction makes them (a UUID).
static const char kStepsId[] = "5c1d7e0e-8a4b-4f61-b2a7-3f0e9d6c1b28";

namespace {
struct Crash {};
int g_crashAt = 0;  // 0: never
int g_calls = 0;
std::function<void()> g_instead;  // done at that step instead of the crash
}  // namespace

// This test's pause points: the n-th one "crashes".
void testPause(const char*)
{
    if (++g_calls != g_crashAt) return;
    if (g_instead) return g_instead();
    throw Crash{};
}

namespace {

// Every entry below `base` but the updater's own record: path -> content, "<dir>" or "<link>".
// A link or junction is never entered.
void snapshotInto(const QString& base, const QString& folder, QMap<QString, QByteArray>& out)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& info : entries) {
        const QString p = info.filePath();
        const QString rel = QDir(base).relativeFilePath(p);
        if (rel == "Application/Updates/applied-version") continue;
        if (pathpolicy::isAnyLink(p)) {
            out[rel] = "<link>";
        } else if (info.isDir()) {
            out[rel] = "<dir>";
            snapshotInto(base, p, out);
        } else {
            out[rel] = readFile(p) + (info.permissions() & QFile::ExeOwner ? "+x" : "");
        }
    }
}

QMap<QString, QByteArray> snapshot(const QString& base)
{
    QMap<QString, QByteArray> out;
    snapshotInto(base, base, out);
    return out;
}

// The entries on which two snapshots differ, for a failure's message.
QString differences(const QMap<QString, QByteArray>& got, const QMap<QString, QByteArray>& want)
{
    QStringList out;
    QStringList keys = got.keys() + want.keys();
    keys.removeDuplicates();
    for (const QString& k : keys) {
        if (got.value(k, "<none>") != want.value(k, "<none>")) {
            out << QString("%1: %2 instead of %3").arg(k, QString(got.value(k, "<none>")), QString(want.value(k, "<none>")));
        }
    }
    return out.join("; ");
}

struct Release {
    QTemporaryDir dir;
    QTemporaryDir outside;
    bool linked = false;
    QString base() const { return dir.path(); }

    explicit Release(bool withLink)
    {
        writeFile(base() + "/core.dll", "old core");
        QFile::setPermissions(base() + "/core.dll", QFile::permissions(base() + "/core.dll") | QFile::ExeOwner);
        writeFile(base() + "/plugins/p.dll", "old p");
        writeFile(base() + "/olddir/sub/x", "x");
        writeFile(base() + "/gone.dll", "gone");
        writeFile(outside.path() + "/precious", "precious");
        if (withLink) linked = testlinks::makeLink(outside.path(), base() + "/link");
        QDir().mkpath(base() + "/Application/Updates");
    }
    // The new release: changed, new and moved files, removals (the link among them) and folders.
    testcommit::Release release() const
    {
        testcommit::Release release;
        release.version = "2.0";
        const QList<QPair<QString, QByteArray>> files = {
            {"core.dll", "new core"}, {"plugins/new/deep.dll", "deep"}, {"olddir/y", "y"},
            {"Application/Updates/me", "next updater"}};
        for (const auto& f : files) release.files.append(qMakePair(base() + "/" + f.first, f.second));
        release.removals = QStringList{base() + "/olddir", base() + "/link", base() + "/gone.dll"};
        release.folders = QStringList{base() + "/newdir", base() + "/plugins/empty"};
        return release;
    }
};

// Whether this system can remove a link to a folder itself (Wine 8 cannot remove a host link).
bool linksCanBeRemoved()
{
    QTemporaryDir dir, target;
    const QString link = dir.path() + "/probe";
    return testlinks::makeLink(target.path(), link) && pathrules::removeReparsePoint(link, nullptr) && !pathpolicy::isAnyLink(link);
}

// How many pause points a whole commit of the fixture passes, or -1 when it fails.
int commitSteps(bool withLink)
{
    Release full(withLink);
    UpdateTransaction tx(full.base());
    QString why;
    const int before = g_calls;
    if (!testcommit::commit(tx, full.release(), &why)) return -1;
    return g_calls - before;
}

// Runs the fixture's commit until its k-th pause point, where the run "is killed". Returns the plan.
CommitPlan killedAt(Release& r, int k)
{
    UpdateTransaction tx(r.base());
    QString why;
    CommitPlan plan;
    if (!testcommit::stage(tx, r.release(), &plan, &why)) qFatal("stage: %s", qPrintable(why));
    g_calls = 0;
    g_crashAt = k;
    try {
        tx.commit(plan, &why);
    } catch (const Crash&) {
    }
    g_crashAt = 0;
    return plan;
}

// The files outside the updater's folder, to see that nothing there changed.
QMap<QString, QByteArray> outsideOf(const Release& r) { return snapshot(r.outside.path()); }

const char kJournal[] = "/Application/Updates/update-journal";

}  // namespace

class TestUpdateTransaction : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        g_crashAt = 0;
        g_calls = 0;
        g_instead = nullptr;
    }

    void interruptedAtAnyStepRecoversToTheOldOrTheNewRelease()
    {
        // Where a link cannot be removed, the release removes none (the next case covers it).
        const bool withLink = linksCanBeRemoved();
        if (!withLink) qInfo("this system cannot remove a link to a folder itself: the release removes none");
        QMap<QString, QByteArray> oldState, newState;
        int steps = 0;
        {
            Release r(withLink);
            QCOMPARE(r.linked, withLink);
            oldState = snapshot(r.base());
            UpdateTransaction tx(r.base());
            QString why;
            QVERIFY2(testcommit::commit(tx, r.release(), &why), qPrintable(why));
            newState = snapshot(r.base());
            steps = g_calls;
            QCOMPARE(tx.appliedVersion(), QString("2.0"));
            QCOMPARE(readFile(r.outside.path() + "/precious"), QByteArray("precious"));  // the link went, not its target
        }
#ifndef Q_OS_WIN  // Windows has no execute bit: a file runs by its suffix
        QCOMPARE(newState.value("core.dll"), QByteArray("new core+x"));  // an executable stays executable
#endif
        QCOMPARE(newState.value("olddir/y"), QByteArray("y"));           // removed first, then placed
        QVERIFY(!newState.contains("olddir/sub") && !newState.contains("link") && !newState.contains("gone.dll"));
        QCOMPARE(newState.value("newdir"), QByteArray("<dir>"));
        QCOMPARE(newState.value("Application/Updates/me"), QByteArray("next updater"));
        QCOMPARE(newState.keys().filter("Application/Updates/"), QStringList{"Application/Updates/me"});
        QVERIFY(steps > 8);

        for (int k = 1; k <= steps; ++k) {
            init();
            Release r(withLink);
            UpdateTransaction tx(r.base());
            QString why;
            CommitPlan plan;
            QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
            g_crashAt = k;
            bool crashed = false;
            try {
                tx.commit(plan, &why);
            } catch (const Crash&) {
                crashed = true;
            }
            QVERIFY(crashed);
            g_crashAt = 0;
            UpdateTransaction next(r.base());
            QString detail;
            const UpdateTransaction::Recovery result = next.recover(&detail);
            // Before the journal is on disk nothing moved: the staged files just go. After it,
            // every file is staged, so the commit is completed.
            const QMap<QString, QByteArray> after = snapshot(r.base());
            QVERIFY2(after == (k == 1 ? oldState : newState),
                     qPrintable(QString("step %1: %2: %3").arg(k).arg(detail, differences(after, k == 1 ? oldState : newState))));
            QVERIFY(result == (k == 1 ? UpdateTransaction::Recovery::Nothing : UpdateTransaction::Recovery::Forward));
            QCOMPARE(next.appliedVersion(), QString(k == 1 ? "" : "2.0"));  // recorded once, by the commit or its recovery
            QCOMPARE(next.recover(&detail), UpdateTransaction::Recovery::Nothing);
            QCOMPARE(readFile(r.outside.path() + "/precious"), QByteArray("precious"));
        }
    }

    void aLinkIsRemovedItselfNeverWhatItLeadsTo()
    {
        Release r(true);
        QVERIFY(r.linked);
        QMap<QString, QByteArray> expected = snapshot(r.base());
        UpdateTransaction tx(r.base());
        QString why;
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        if (linksCanBeRemoved()) {
            // Right before the link goes, a folder takes its place: that folder is not removed.
            // Two steps to the journal, one per old file or removal moved into the backup (3), one per place.
            g_crashAt = 2 + 3 + plan.files.size();
            g_instead = [&] {
                QVERIFY(pathrules::removeReparsePoint(r.base() + "/link", nullptr));
                writeFile(r.base() + "/link/keep", "keep");
            };
            expected.insert("link", "<dir>");
            expected.insert("link/keep", "keep");
        }
        QVERIFY(!tx.commit(plan, &why));
        // Undone where the link turned into a folder at the last moment; refused before anything
        // moved where the link could never be removed itself.
        QVERIFY2(why.contains(linksCanBeRemoved() ? "undone" : "refused") && why.contains("\"link\""), qPrintable(why));
        tx.discard();  // as the update does after a failed commit
        QVERIFY2(snapshot(r.base()) == expected, qPrintable(differences(snapshot(r.base()), expected)));
        QCOMPARE(readFile(r.outside.path() + "/precious"), QByteArray("precious"));
        QCOMPARE(tx.appliedVersion(), QString());
        QCOMPARE(UpdateTransaction(r.base()).recover(&why), UpdateTransaction::Recovery::Nothing);
    }

    void aCommitUndoneAtItsEndRecordsNoVersion()
    {
        const bool withLink = linksCanBeRemoved();
        const int steps = commitSteps(withLink);
        QVERIFY(steps > 8);
        init();
        Release r(withLink);
        UpdateTransaction tx(r.base());
        QString why;
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        // Every file is in place; then the journal cannot be marked done (a folder took its name).
        g_crashAt = steps - 1;
        g_instead = [&] {
            const QString journal = r.base() + "/Application/Updates/update-journal";
            QVERIFY(QFile::remove(journal) && QDir().mkdir(journal));
        };
        QVERIFY(!tx.commit(plan, &why));
        QCOMPARE(tx.appliedVersion(), QString());  // else the next run would take 2.0 as applied
        QCOMPARE(readFile(r.base() + "/core.dll"), QByteArray("old core"));
    }

    void aBackupThatCouldNotBeRemovedDoesNotStopTheNextCommit()
    {
        Release r(linksCanBeRemoved());
        UpdateTransaction tx(r.base());
        QString why;
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        // What an earlier commit's backup kept, under the names this commit would use.
        for (const char* name : {"f0", "r0", "r2"}) writeFile(r.base() + "/Application/Updates/backup/" + QString(name) + "/left", "left");
        QVERIFY2(tx.commit(plan, &why), qPrintable(why));
        QCOMPARE(readFile(r.base() + "/core.dll"), QByteArray("new core"));
        QVERIFY(!QFileInfo::exists(r.base() + "/Application/Updates/backup"));
    }

    void aFailedMoveUndoesTheCommit()
    {
        Release r(linksCanBeRemoved());
        const QMap<QString, QByteArray> oldState = snapshot(r.base());
        UpdateTransaction tx(r.base());
        QString why;
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        // Once the old files are in the backup, a file appears where a new folder must go.
        g_crashAt = 5;
        g_instead = [&] { writeFile(r.base() + "/plugins/new", "in the way"); };
        QVERIFY(!tx.commit(plan, &why));
        QVERIFY2(why.contains("undone"), qPrintable(why));
        QMap<QString, QByteArray> expected = oldState;
        expected.insert("plugins/new", "in the way");
        QCOMPARE(snapshot(r.base()), expected);
        QCOMPARE(tx.appliedVersion(), QString());
    }

    // A commit that failed at a place and was killed while undoing it is undone by the next
    // start, never finished: its journal says rollback, although every staged file is back in
    // staging and the obstacle has gone by then.
    void aCommitKilledWhileUndoingIsUndoneNotFinished()
    {
        Release r(linksCanBeRemoved());
        const QMap<QString, QByteArray> oldState = snapshot(r.base());
        const QMap<QString, QByteArray> outside = outsideOf(r);
        UpdateTransaction tx(r.base());
        QString why;
        QVERIFY(tx.begin(&why));
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        // Right after the first file is placed, a file takes the second one's place; the undo
        // that follows is killed at its first step.
        bool planted = false;
        g_crashAt = 1;
        g_instead = [&] {
            if (!planted && readFile(r.base() + "/core.dll") == "new core") {
                planted = true;
                writeFile(r.base() + "/plugins/new/deep.dll", "in the way");
                g_instead = nullptr;
                g_crashAt = g_calls + 1;
                return;
            }
            ++g_crashAt;
        };
        bool killed = false;
        try {
            tx.commit(plan, &why);
        } catch (const Crash&) {
            killed = true;
        }
        g_crashAt = 0;
        QVERIFY(planted && killed);
        UpdateJournal journal;
        QVERIFY(readUpdateJournal(r.base() + kJournal, &journal, &why));
        QVERIFY(journal.state == UpdateJournal::State::Rollback);
        QFile::remove(r.base() + "/plugins/new/deep.dll");
        QString detail;
        QCOMPARE(UpdateTransaction(r.base()).recover(&detail), UpdateTransaction::Recovery::Back);
        QVERIFY2(snapshot(r.base()) == oldState, qPrintable(differences(snapshot(r.base()), oldState)));
        QCOMPARE(outsideOf(r), outside);
        QCOMPARE(UpdateTransaction(r.base()).appliedVersion(), QString());
    }

    // Each row: the step record as a kill left it, and the steps it says were done. Only whole
    // lines count: the last one cut short before its end of line is no step, whatever it reads.
    // A record whose first line is no commit's id holds another process's bytes: it is refused.
    void aStepRecordCountsOnlyWholeLines_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QList<int>>("done");
        const QByteArray id = kStepsId;
        const QByteArray other = "0b9f3a52-5d55-4c34-9c1e-61c1a8f7c2d4";
        QTest::newRow("whole lines") << id + "\n+0\n+1\n" << true << QList<int>{0, 1};
        QTest::newRow("the last line cut short") << id + "\n+0\n+1" << true << QList<int>{0};
        QTest::newRow("+13 cut to +1") << id + "\n+0\n+12\n+1" << true << QList<int>{0, 12};
        QTest::newRow("undone, whole") << id + "\n+0\n+1\n-0\n" << true << QList<int>{1};
        QTest::newRow("undone, then cut") << id + "\n+0\n-0" << true << QList<int>{0};
        QTest::newRow("a line not of the form") << id + "\n+0\nx1\n+2\n" << true << QList<int>{0, 2};
        QTest::newRow("empty: begun, nothing on disk yet") << QByteArray() << true << QList<int>{};
        QTest::newRow("the id cut short") << id.left(10) << true << QList<int>{};
        QTest::newRow("another commit's record") << other + "\n+0\n" << true << QList<int>{};
        QTest::newRow("another process's lines") << QByteArray("changing\n+0\n") << false << QList<int>{};
        QTest::newRow("another process's bytes, no line end") << QByteArray("changing") << false << QList<int>{};
    }
    void aStepRecordCountsOnlyWholeLines()
    {
        QFETCH(QByteArray, record);
        QFETCH(bool, loaded);
        QFETCH(QList<int>, done);
        QTemporaryDir dir;
        const QString path = dir.path() + "/update-journal.steps";
        writeFile(path, record);
        JournalSteps steps;
        QCOMPARE(steps.load(path, QString::fromLatin1(kStepsId)), loaded);
        QList<int> got;
        for (int n = 0; n < 20; ++n) {
            if (steps.done(n)) got.append(n);
        }
        QCOMPARE(got, done);
    }

    // A file the release keeps as it is lies inside a folder the release removes: it goes into
    // the backup with its folder and comes back out. Interrupted at every step, or failing at
    // every step (undone), the folder holds exactly the old or the new release.
    void aKeptFileInsideARemovedFolderSurvivesEveryInterruption()
    {
        struct Kept {
            QTemporaryDir dir;
            QString base() const { return dir.path(); }
            Kept()
            {
                writeFile(base() + "/plugins/render.dll", "render");
                writeFile(base() + "/plugins/gl/deep.dll", "deep");
                writeFile(base() + "/plugins/old.dll", "old");
                QDir().mkpath(base() + "/Application/Updates");
            }
            testcommit::Release release() const
            {
                testcommit::Release release;
                release.version = "2.0";
                release.files.append(qMakePair(base() + "/plugins/new.dll", QByteArray("new")));
                release.removals = QStringList{base() + "/plugins"};
                release.kept = QStringList{base() + "/plugins/render.dll", base() + "/plugins/gl/deep.dll", base() + "/elsewhere.dll"};
                return release;
            }
        };
        QMap<QString, QByteArray> oldState, newState;
        int steps = 0;
        {
            Kept r;
            oldState = snapshot(r.base());
            UpdateTransaction tx(r.base());
            QString why;
            QVERIFY2(testcommit::commit(tx, r.release(), &why), qPrintable(why));
            newState = snapshot(r.base());
            steps = g_calls;
        }
        QCOMPARE(newState.value("plugins/render.dll"), QByteArray("render"));
        QCOMPARE(newState.value("plugins/gl/deep.dll"), QByteArray("deep"));
        QCOMPARE(newState.value("plugins/new.dll"), QByteArray("new"));
        QVERIFY(!newState.contains("plugins/old.dll"));
        for (int k = 1; k <= steps; ++k) {
            for (const bool crash : {true, false}) {
                init();
                Kept r;
                UpdateTransaction tx(r.base());
                QString why;
                CommitPlan plan;
                QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
                g_crashAt = k;
                // Not a crash: the staged file is lost before it is placed, so the commit is undone.
                if (!crash) g_instead = [&] { QFile::remove(tx.stagedPath(0)); };
                bool crashed = false, committed = false;
                try {
                    committed = tx.commit(plan, &why);
                } catch (const Crash&) {
                    crashed = true;
                }
                g_crashAt = 0;
                g_instead = nullptr;
                QString detail;
                UpdateTransaction(r.base()).recover(&detail);
                const QMap<QString, QByteArray> after = snapshot(r.base());
                const bool isOld = after == oldState, isNew = after == newState;
                QVERIFY2(isOld || isNew, qPrintable(QString("step %1 (%2): %3 / %4 | %5").arg(k).arg(crash ? "crash" : "failure", detail,
                         differences(after, oldState), why)));
                QVERIFY(crashed || committed == isNew || !crash);
            }
        }
    }

    // The commit failed before the removed folder went into the backup (on Windows a file held
    // inside it), and the run was killed while undoing: the kept file is still where it always
    // was, and undoing leaves it there.
    void aKeptFileIsLeftAloneWhenItsFolderNeverMoved()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/plugins/render.dll", "render");
        writeFile(base + "/plugins/old.dll", "old");
        QDir().mkpath(base + "/Application/Updates");
        const QMap<QString, QByteArray> oldState = snapshot(base);
        UpdateTransaction tx(base);
        QString why;
        testcommit::Release release;
        release.version = "2.0";
        release.files.append(qMakePair(base + "/plugins/new.dll", QByteArray("new")));
        release.removals = QStringList{base + "/plugins"};
        release.kept = QStringList{base + "/plugins/render.dll"};
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, release, &plan, &why), qPrintable(why));
        g_crashAt = 2;  // the journal is written, nothing has moved
        try {
            tx.commit(plan, &why);
        } catch (const Crash&) {
        }
        g_crashAt = 0;
        const QString journalPath = base + "/Application/Updates/update-journal";
        UpdateJournal journal;
        QVERIFY(readUpdateJournal(journalPath, &journal, &why));
        QCOMPARE(journal.places.size(), 2);
        journal.state = UpdateJournal::State::Rollback;
        QVERIFY(writeUpdateJournal(journalPath, journal, &why));
        QString detail;
        QCOMPARE(UpdateTransaction(base).recover(&detail), UpdateTransaction::Recovery::Back);
        QVERIFY2(snapshot(base) == oldState, qPrintable(differences(snapshot(base), oldState)));
    }

    // The commit asks the same rule as the list: a file on the way to a target is refused before
    // anything moves, unless the release removes it.
    void aFileOnTheWayRefusesTheCommitBeforeAnythingMoves()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        writeFile(base + "/afile.txt", "a file");
        writeFile(base + "/b.dll", "old b");
        QDir().mkpath(base + "/Application/Updates");
        const QMap<QString, QByteArray> oldState = snapshot(base);
        UpdateTransaction tx(base);
        QString why;
        testcommit::Release release;
        release.version = "2.0";
        release.files = {qMakePair(base + "/b.dll", QByteArray("new b")), qMakePair(base + "/afile.txt/inner.bin", QByteArray("inner"))};
        QVERIFY(!testcommit::commit(tx, release, &why));
        QVERIFY2(why.contains("refused") && why.contains("\"afile.txt\" now stands on the way"), qPrintable(why));
        tx.discard();
        QCOMPARE(snapshot(base), oldState);
        release.removals = QStringList{base + "/afile.txt"};
        QVERIFY2(testcommit::commit(tx, release, &why), qPrintable(why));
        QCOMPARE(readFile(base + "/afile.txt/inner.bin"), QByteArray("inner"));
    }

    // A removal inside another removed folder goes with that folder: a commit that fails at any
    // step is undone whole.
    void nestedRemovalsAreUndoneWhole()
    {
        auto setUp = [](const QString& base) {
            writeFile(base + "/olddir/sub/x", "x");
            writeFile(base + "/olddir/y", "y");
            QDir().mkpath(base + "/Application/Updates");
        };
        auto nested = [](const QString& base) {
            testcommit::Release release;
            release.version = QString();
            release.files = {qMakePair(base + "/olddir/sub/new", QByteArray("new"))};
            release.removals = QStringList{base + "/olddir", base + "/olddir/sub"};
            return release;
        };
        int steps = 0;
        {
            QTemporaryDir dir;
            setUp(dir.path());
            UpdateTransaction tx(dir.path());
            QString why;
            QVERIFY2(testcommit::commit(tx, nested(dir.path()), &why), qPrintable(why));
            QCOMPARE(readFile(dir.path() + "/olddir/sub/new"), QByteArray("new"));
            QVERIFY(!QFileInfo::exists(dir.path() + "/olddir/y") && !QFileInfo::exists(dir.path() + "/olddir/sub/x"));
            steps = g_calls;
        }
        for (int k = 3; k <= steps; ++k) {
            init();
            QTemporaryDir dir;
            setUp(dir.path());
            const QMap<QString, QByteArray> oldState = snapshot(dir.path());
            UpdateTransaction tx(dir.path());
            QString why;
            CommitPlan plan;
            QVERIFY2(testcommit::stage(tx, nested(dir.path()), &plan, &why), qPrintable(why));
            g_crashAt = k;
            // The journal cannot be marked done: a folder stands where its temporary file goes.
            if (k == steps - 1) {
                g_instead = [&] {
                    const QString journal = dir.path() + "/Application/Updates/update-journal";
                    QVERIFY(QFile::remove(journal) && QDir().mkdir(journal));
                };
            } else {
                g_instead = [&] { QFile::remove(tx.stagedPath(0)); };  // lost before it is placed
            }
            const bool committed = tx.commit(plan, &why);
            tx.discard();
            QDir(dir.path() + "/Application/Updates/update-journal").removeRecursively();
            QString detail;
            UpdateTransaction(dir.path()).recover(&detail);
            const QMap<QString, QByteArray> after = snapshot(dir.path());
            if (!committed) QVERIFY2(after == oldState, qPrintable(QString("step %1: %2 | %3").arg(k).arg(differences(after, oldState), why)));
        }
    }

    void anInterruptedCommitWithAStagedFileLostGoesBack()
    {
        Release r(linksCanBeRemoved());
        const QMap<QString, QByteArray> oldState = snapshot(r.base());
        UpdateTransaction tx(r.base());
        QString why;
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        g_crashAt = 4;  // journal written, two old files in the backup
        try {
            tx.commit(plan, &why);
        } catch (const Crash&) {
        }
        g_crashAt = 0;
        QFile::remove(plan.files.at(1).first);
        QString detail;
        QCOMPARE(UpdateTransaction(r.base()).recover(&detail), UpdateTransaction::Recovery::Back);
        QCOMPARE(snapshot(r.base()), oldState);
    }

    // A staged copy lost (antivirus, a clean-up tool) after a kill at any step: the file it
    // would have replaced was either never moved, and stays where it is, or its copy was placed
    // already. Recovery never takes an old file for a placed one.
    void aLostStagedCopyNeverTakesTheOldFileWithIt()
    {
        const bool withLink = linksCanBeRemoved();
        const int steps = commitSteps(withLink);
        QVERIFY(steps > 8);
        QMap<QString, QByteArray> oldState, newState;
        {
            init();
            Release r(withLink);
            oldState = snapshot(r.base());
            killedAt(r, 0);
            newState = snapshot(r.base());
        }
        for (int k = 1; k <= steps; ++k) {
            for (int lost = 0; lost < 4; ++lost) {
                init();
                Release r(withLink);
                const CommitPlan plan = killedAt(r, k);
                const bool wasStaged = QFileInfo::exists(plan.files.at(lost).first);
                QFile::remove(plan.files.at(lost).first);
                QString detail;
                const UpdateTransaction::Recovery result = UpdateTransaction(r.base()).recover(&detail);
                // Before the journal nothing moved; a copy lost before its place leaves only the
                // way back; a copy placed already was not lost at all.
                const QMap<QString, QByteArray>& want = (k == 1 || wasStaged) ? oldState : newState;
                const QMap<QString, QByteArray> after = snapshot(r.base());
                QVERIFY2(after == want, qPrintable(QString("step %1, staged file %2 lost: %3: %4").arg(k).arg(lost).arg(detail, differences(after, want))));
                QVERIFY(result != UpdateTransaction::Recovery::Failed && result != UpdateTransaction::Recovery::Repair);
                QCOMPARE(readFile(r.outside.path() + "/precious"), QByteArray("precious"));
            }
        }
    }

    // A staged copy and the backup of an old file both lost while the commit runs: it can be
    // neither finished nor undone. Nothing is taken for undone: the new file in place stays
    // (never moved into staging to be thrown away), the update says that undoing stopped, and
    // the next start marks the folder for its repair, which a whole commit ends.
    void aLostBackupIsNeverTakenForAnUndoneStep()
    {
        const bool withLink = linksCanBeRemoved();
        Release r(withLink);
        UpdateTransaction tx(r.base());
        QString why;
        CommitPlan plan;
        QVERIFY2(testcommit::stage(tx, r.release(), &plan, &why), qPrintable(why));
        // Pause points: two for the journal, three stashes, then core.dll and deep.dll placed.
        g_crashAt = 2 + 3 + 2;
        g_instead = [&] {
            QVERIFY(QFile::remove(r.base() + "/Application/Updates/backup/f0"));  // old core.dll
            QVERIFY(QFile::remove(plan.files.at(2).first));                       // olddir/y
        };
        QVERIFY(!tx.commit(plan, &why));
        QVERIFY2(why.contains("undoing it stopped") && why.contains("backup of \"core.dll\" is missing"), qPrintable(why));
        QCOMPARE(readFile(r.base() + "/core.dll"), QByteArray("new core"));
        QVERIFY(tx.needsRecovery());
        QString detail;
        QCOMPARE(UpdateTransaction(r.base()).recover(&detail), UpdateTransaction::Recovery::Repair);
        QVERIFY2(detail.contains("can neither be finished nor undone"), qPrintable(detail));
        QCOMPARE(readFile(r.base() + "/core.dll"), QByteArray("new core"));
        QVERIFY(UpdateTransaction(r.base()).repairPending());
        QCOMPARE(readFile(r.outside.path() + "/precious"), QByteArray("precious"));
        // The update runs again in full: a whole commit ends the repair.
        UpdateTransaction again(r.base());
        QVERIFY2(testcommit::commit(again, r.release(), &why), qPrintable(why));
        QVERIFY(!again.repairPending());
        QCOMPARE(again.appliedVersion(), QString("2.0"));
        QVERIFY(!QFileInfo::exists(r.base() + "/Application/Updates/backup"));
    }

    // The journal damaged between two runs, at any step of the commit: it moves nothing, it is
    // never taken for a commit, and it stops nothing for good: the folder is marked for its
    // repair, and the next commit of the release (the update run again) ends on it whole.
    void aDamagedJournalMovesNothingAndTheUpdateRunsAgain_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char* d : {"truncated", "emptied", "a folder", "a dangling link", "a link to a whole journal",
                              "without a state", "with an unknown state", "without its id", "a list of another type"}) {
            QTest::newRow(d) << QString(d);
        }
    }
    void aDamagedJournalMovesNothingAndTheUpdateRunsAgain()
    {
        QFETCH(QString, damage);
        const bool withLink = linksCanBeRemoved();
        const int steps = commitSteps(withLink);
        for (int k = 2; k < steps; ++k) {
            init();
            Release r(withLink);
            killedAt(r, k);
            const QString journal = r.base() + kJournal;
            QByteArray bytes = readFile(journal);
            QVERIFY(bytes.startsWith("{"));
            QFile::remove(journal);
            if (damage == "truncated") {
                writeFile(journal, bytes.left(bytes.size() / 2));
            } else if (damage == "emptied") {
                writeFile(journal, "");
            } else if (damage == "a folder") {
                writeFile(journal + "/inside", "x");
            } else if (damage == "a dangling link") {
                if (!testlinks::makeLink(r.outside.path() + "/no-such-journal", journal)) {
                    QSKIP("no link that leads nowhere can be made here (Wine 8 shows a host one as no entry at all)");
                }
            } else if (damage == "a link to a whole journal") {
                writeFile(r.outside.path() + "/journal", bytes);
                if (!testlinks::makeLink(r.outside.path() + "/journal", journal)) {
                    QSKIP("no link to a file can be made here (Wine 8 shows a host one as the file itself)");
                }
            } else if (damage == "without a state") {
                writeFile(journal, bytes.replace("\"state\":\"commit\",", ""));
            } else if (damage == "with an unknown state") {
                writeFile(journal, bytes.replace("\"state\":\"commit\"", "\"state\":\"committed\""));
            } else if (damage == "without its id") {
                writeFile(journal, bytes.replace("\"id\":", "\"di\":"));
            } else if (damage == "a list of another type") {
                writeFile(journal, bytes.replace("\"unlinks\":[", "\"unlinks\":[1,"));
            }
            const QMap<QString, QByteArray> outside = outsideOf(r);
            QMap<QString, QByteArray> before = snapshot(r.base());
            for (const QString& k2 : before.keys()) {
                if (k2.startsWith("Application/Updates/update-journal")) before.remove(k2);
            }
            QString detail;
            QCOMPARE(UpdateTransaction(r.base()).recover(&detail), UpdateTransaction::Recovery::Repair);
            QVERIFY2(detail.contains("may hold parts of two releases") && !detail.contains("nothing was changed"), qPrintable(detail));
            QMap<QString, QByteArray> after = snapshot(r.base());
            QCOMPARE(after.take("Application/Updates/repair-pending").isEmpty(), false);
            QVERIFY2(after == before, qPrintable(QString("step %1: %2").arg(k).arg(differences(after, before))));  // nothing moved
            QCOMPARE(outsideOf(r), outside);
            // The next start says the same; then the update runs again, and a whole commit ends it.
            QCOMPARE(UpdateTransaction(r.base()).recover(&detail), UpdateTransaction::Recovery::Repair);
            UpdateTransaction again(r.base());
            QString why;
            QVERIFY2(testcommit::commit(again, r.release(), &why), qPrintable(QString("step %1: %2").arg(k).arg(why)));
            QVERIFY(!again.repairPending());
            QCOMPARE(again.recover(&detail), UpdateTransaction::Recovery::Nothing);
            QCOMPARE(readFile(r.base() + "/core.dll"), QByteArray("new core"));
            QCOMPARE(readFile(r.base() + "/olddir/y"), QByteArray("y"));
            QVERIFY(!QFileInfo::exists(r.base() + "/Application/Updates/backup"));
            QCOMPARE(outsideOf(r), outside);
        }
    }

    // A journal that a local user planted, or that names what this updater never writes:
    // refused whole before anything moves, and nothing outside the folder is read, written or
    // removed.
    void aJournalNamingWhatTheUpdaterDoesNotWriteIsRefused_data()
    {
        QTest::addColumn<QString>("stashFrom");
        QTest::addColumn<QString>("stashTo");
        QTest::addColumn<QString>("placeFrom");
        QTest::addColumn<QString>("placeTo");
        QTest::addColumn<QString>("link");  // made a link to the outside folder first, or ""
        const QString b = "Application/Updates/backup/", s = "Application/Updates/staging/";
        QTest::newRow("a backup through a link") << "a.dll" << b + "f0" << s + "0" << "a.dll" << "Application/Updates/backup";
        QTest::newRow("staging through a link") << "" << "" << s + "0" << "b.dll" << "Application/Updates/staging";
        QTest::newRow("a target through a link") << "" << "" << s + "0" << "sub/x.dll" << "sub";
        QTest::newRow("a stash through a link") << "sub/precious" << b + "f0" << s + "0" << "a.dll" << "sub";
        QTest::newRow("leads out") << "a.dll" << b + "../../../../outside/f0" << s + "0" << "a.dll" << "";
        QTest::newRow("absolute") << "a.dll" << b + "f0" << s + "0" << "/tmp/x.dll" << "";
        QTest::newRow("the settings") << "Application/Config/config.ini" << b + "f0" << s + "0" << "a.dll" << "";
        QTest::newRow("the settings folder") << "Application" << b + "r0" << s + "0" << "a.dll" << "";
        QTest::newRow("the updater's lock") << "Application/Updates/updater.lock" << b + "f0" << s + "0" << "a.dll" << "";
        QTest::newRow("the applied version") << "" << "" << s + "0" << "Application/Updates/applied-version" << "";
        QTest::newRow("below the working folder") << "" << "" << s + "0" << "Application/Updates/x/y" << "";
        QTest::newRow("no backup name") << "a.dll" << "Application/Updates/elsewhere/f0" << s + "0" << "a.dll" << "";
        QTest::newRow("not a staged file") << "" << "" << "b.dll" << "a.dll" << "";
        QTest::newRow("a kept file elsewhere") << "sub" << b + "r0" << b + "r0/x" << "a.dll" << "";
        QTest::newRow("a Windows device") << "" << "" << s + "0" << "nul.dll" << "";
    }
    void aJournalNamingWhatTheUpdaterDoesNotWriteIsRefused()
    {
        QFETCH(QString, stashFrom);
        QFETCH(QString, stashTo);
        QFETCH(QString, placeFrom);
        QFETCH(QString, placeTo);
        QFETCH(QString, link);
        QTemporaryDir dir, outside;
        const QString base = dir.path();
        writeFile(base + "/a.dll", "a");
        writeFile(base + "/b.dll", "b");
        writeFile(base + "/Application/Config/config.ini", "[%General]\n");
        writeFile(base + "/Application/Updates/updater.lock", "");
        writeFile(base + "/Application/Updates/staging/0", "staged");
        writeFile(outside.path() + "/precious", "precious");
        writeFile(outside.path() + "/0", "outside");
        writeFile(outside.path() + "/x.dll", "outside x");
        if (!link.isEmpty()) {
            QDir(base + "/" + link).removeRecursively();
            QVERIFY(testlinks::makeLink(outside.path(), base + "/" + link));
        }
        UpdateJournal journal;
        journal.id = "planted";
        journal.version = "9.9";
        if (!stashFrom.isEmpty()) journal.stashes.append({stashFrom, stashTo});
        journal.places.append({placeFrom, placeTo});
        QString why;
        QVERIFY(writeUpdateJournal(base + kJournal, journal, &why));
        writeFile(base + kJournal + ".steps", "planted\n+0\n+1\n");  // and it claims steps were done
        const QMap<QString, QByteArray> inside = snapshot(base);
        const QMap<QString, QByteArray> outsideBefore = snapshot(outside.path());
        QString detail;
        QCOMPARE(UpdateTransaction(base).recover(&detail), UpdateTransaction::Recovery::Repair);
        QVERIFY2(detail.contains("refused"), qPrintable(detail));
        QMap<QString, QByteArray> after = snapshot(base);
        QMap<QString, QByteArray> want = inside;
        for (const QString& k : want.keys()) {
            if (k.startsWith("Application/Updates/update-journal")) want.remove(k);
        }
        after.remove("Application/Updates/repair-pending");
        QVERIFY2(after == want, qPrintable(differences(after, want)));
        QCOMPARE(snapshot(outside.path()), outsideBefore);
    }

    // Clean-up removes a link or junction planted as the staging or backup folder itself, never
    // what it leads to: at a start without a journal, at the start of an update, and during a repair.
    void aCleanUpNeverFollowsALinkPlantedAsStagingOrBackup()
    {
        for (const char* when : {"recover", "begin", "repair"}) {
            QTemporaryDir dir, outside;
            const QString base = dir.path();
            writeFile(base + "/a.dll", "a");
            QDir().mkpath(base + "/Application/Updates");
            writeFile(outside.path() + "/staged-elsewhere/precious", "precious");
            writeFile(outside.path() + "/backup-elsewhere/precious", "precious");
            if (QString(when) == "repair") writeFile(base + "/Application/Updates/repair-pending", "");
            for (const char* name : {"staging", "backup"}) {
                const QString target = outside.path() + (QString(name) == "staging" ? "/staged-elsewhere" : "/backup-elsewhere");
                QVERIFY(testlinks::makeLink(target, base + "/Application/Updates/" + name));
            }
            const QMap<QString, QByteArray> outsideBefore = snapshot(outside.path());
            UpdateTransaction tx(base);
            QString why;
            if (QString(when) == "begin") {
                QVERIFY2(tx.begin(&why) == linksCanBeRemoved(), qPrintable(why));  // never downloads through one
            } else {
                tx.recover(&why);
            }
            QVERIFY2(snapshot(outside.path()) == outsideBefore, when);
            // Where links cannot be removed themselves (Wine 8 with a host link) they stay.
            QVERIFY2(pathpolicy::isAnyLink(base + "/Application/Updates/staging") == !linksCanBeRemoved(), when);
            QCOMPARE(readFile(base + "/a.dll"), QByteArray("a"));
        }
    }

    // A version is recorded whatever stands in the record's place: a folder holding a file, a
    // link to a folder outside (which keeps its file) or a FIFO goes itself, and the record
    // takes its place; otherwise every later version would stay unrecorded.
    void aVersionIsRecordedOverWhateverStandsInItsPlace_data()
    {
        QTest::addColumn<QString>("object");
        QTest::newRow("a folder holding a file") << "folder";
        QTest::newRow("a link to a folder outside") << "link";
        QTest::newRow("a FIFO") << "fifo";
        QTest::newRow("an old record") << "file";
    }
    void aVersionIsRecordedOverWhateverStandsInItsPlace()
    {
        QFETCH(QString, object);
        QTemporaryDir dir, outside;
        const QString record = dir.path() + "/Application/Updates/applied-version";
        QVERIFY(QDir().mkpath(dir.path() + "/Application/Updates"));
        // (A link to a folder: Wine shows a host link to a file as the file itself.)
        writeFile(outside.path() + "/kept/precious", "precious");
        if (object == "folder") writeFile(record + "/inside", "inside");
        if (object == "link") QVERIFY(testlinks::makeLink(outside.path() + "/kept", record));
        if (object == "file") writeFile(record, "1.1\n");
        if (object == "fifo") {
#ifdef Q_OS_WIN
            QSKIP("no FIFOs on Windows");
#else
            QCOMPARE(mkfifo(QFile::encodeName(record).constData(), 0600), 0);
#endif
        }
        UpdateTransaction tx(dir.path());
        QString why;
        const bool recorded = tx.recordVersion("1.2", &why);
        QCOMPARE(readFile(outside.path() + "/kept/precious"), QByteArray("precious"));
        if (object == "link" && !linksCanBeRemoved()) {
            // (Wine 8 cannot remove a host link itself: the record is refused, never written through it.)
            QVERIFY(!recorded);
            return;
        }
        QVERIFY2(recorded, qPrintable(why));
        QCOMPARE(tx.appliedVersion(), QString("1.2"));
        QVERIFY(!pathpolicy::isAnyLink(record));
    }

    // A version record with a second name (a hard link to a file elsewhere) is a record that
    // file's owner could write: it is read as none, and the next start's recovery removes that
    // name, never the file outside.
    void aVersionRecordWithASecondNameIsNoneOfOurs()
    {
        QTemporaryDir dir, outside;
        const QString record = dir.path() + "/Application/Updates/applied-version";
        QVERIFY(QDir().mkpath(dir.path() + "/Application/Updates"));
        writeFile(outside.path() + "/planted", "9.9\n");
        QVERIFY(testlinks::makeHardLink(outside.path() + "/planted", record));
        UpdateTransaction tx(dir.path());
        QCOMPARE(tx.appliedVersion(), QString());
        QString detail;
        QCOMPARE(tx.recover(&detail), UpdateTransaction::Recovery::Nothing);
        QVERIFY(!QFileInfo::exists(record));
        QCOMPARE(readFile(outside.path() + "/planted"), QByteArray("9.9\n"));
    }

    // begin() refuses while an unfinished commit waits for its recovery: the backup of the old
    // files is never thrown away for a new download.
    void beginRefusesWhileAnUnfinishedCommitWaits()
    {
        const bool withLink = linksCanBeRemoved();
        init();
        Release r(withLink);
        killedAt(r, 5);  // the three old files and removals are in the backup
        const QMap<QString, QByteArray> killed = snapshot(r.base());
        UpdateTransaction tx(r.base());
        QString why;
        QVERIFY(!tx.begin(&why));
        QVERIFY2(why.contains("waits for its recovery"), qPrintable(why));
        QCOMPARE(snapshot(r.base()), killed);
        QString detail;
        QCOMPARE(tx.recover(&detail), UpdateTransaction::Recovery::Forward);
        QCOMPARE(readFile(r.base() + "/core.dll"), QByteArray("new core"));
        QVERIFY(tx.begin(&why));
    }

    // A power cut loses what the step record had not flushed yet: every record before the
    // stashes were all done, and every place and unlink record after. Recovery tells those
    // steps from the files, and still ends on the new release.
    void aPowerCutThatLosesTheUnflushedRecordsRecoversTheSame()
    {
        const bool withLink = linksCanBeRemoved();
        const int steps = commitSteps(withLink);
        QMap<QString, QByteArray> newState;
        {
            init();
            Release r(withLink);
            killedAt(r, 0);
            newState = snapshot(r.base());
        }
        for (int k = 2; k <= steps; ++k) {
            init();
            Release r(withLink);
            killedAt(r, k);
            UpdateJournal journal;
            QString why;
            if (!readUpdateJournal(r.base() + kJournal, &journal, &why)) continue;  // marked done: nothing to tell
            const QString stepsPath = r.base() + kJournal + ".steps";
            const QList<QByteArray> lines = readFile(stepsPath).split('\n');
            // Pause points: two for the journal, one per stash; the record is flushed after them.
            const bool stashesFlushed = k > 2 + journal.stashes.size();
            QByteArray kept = lines.value(0) + '\n';
            for (int n = 0; stashesFlushed && n < journal.stashes.size(); ++n) kept += "+" + QByteArray::number(n) + '\n';
            QFile::remove(stepsPath);
            writeFile(stepsPath, kept);
            QString detail;
            const UpdateTransaction::Recovery result = UpdateTransaction(r.base()).recover(&detail);
            const QMap<QString, QByteArray> after = snapshot(r.base());
            QVERIFY2(after == newState && result == UpdateTransaction::Recovery::Forward,
                     qPrintable(QString("step %1: %2: %3").arg(k).arg(detail, differences(after, newState))));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdateTransaction)
#include "test_updatetransaction.moc"

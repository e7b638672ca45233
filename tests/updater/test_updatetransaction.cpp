// The commit of a staged release: it is interrupted at every one of its steps (the pause point
// throws, leaving the files as a crash would), and the next start's recovery must leave exactly
// the old or the new release. A failure inside the commit undoes it.
#include "updatetransaction.h"

#include "filelist.h"
#include "platform/path_rules.h"
#include "support/files.h"
#include "support/links.h"

#include <QtTest>
#include <functional>

using namespace testfiles;

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
        if (isLink(p)) {
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
    // Stages the new files and returns the plan.
    CommitPlan stage(UpdateTransaction& tx)
    {
        CommitPlan plan;
        plan.version = "2.0";
        const QList<QPair<QString, QByteArray>> files = {
            {"core.dll", "new core"}, {"plugins/new/deep.dll", "deep"}, {"olddir/y", "y"},
            {"Application/Updates/me", "next updater"}};
        for (int i = 0; i < files.size(); ++i) {
            writeFile(tx.stagedPath(i), files.at(i).second);
            plan.files.append(qMakePair(tx.stagedPath(i), base() + "/" + files.at(i).first));
        }
        plan.removals = QStringList{base() + "/olddir", base() + "/link", base() + "/gone.dll"};
        plan.folders = QStringList{base() + "/newdir", base() + "/plugins/empty"};
        return plan;
    }
};

// Whether this system can remove a link to a folder itself (Wine 8 cannot remove a host link).
bool linksCanBeRemoved()
{
    QTemporaryDir dir, target;
    const QString link = dir.path() + "/probe";
    return testlinks::makeLink(target.path(), link) && pathrules::removeReparsePoint(link, nullptr) && !isLink(link);
}

// How many pause points a whole commit of the fixture passes, or -1 when it fails.
int commitSteps(bool withLink)
{
    Release full(withLink);
    UpdateTransaction tx(full.base());
    QString why;
    const int before = g_calls;
    if (!tx.begin(&why) || !tx.commit(full.stage(tx), &why)) return -1;
    return g_calls - before;
}

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
            QVERIFY(tx.begin(&why));
            QVERIFY2(tx.commit(r.stage(tx), &why), qPrintable(why));
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
            QVERIFY(tx.begin(&why));
            const CommitPlan plan = r.stage(tx);
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
        QVERIFY(tx.begin(&why));
        const CommitPlan plan = r.stage(tx);
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
        QVERIFY(tx.begin(&why));
        const CommitPlan plan = r.stage(tx);
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
        QVERIFY(tx.begin(&why));
        const CommitPlan plan = r.stage(tx);
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
        QVERIFY(tx.begin(&why));
        const CommitPlan plan = r.stage(tx);
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
            CommitPlan stage(UpdateTransaction& tx)
            {
                CommitPlan plan;
                plan.version = "2.0";
                writeFile(tx.stagedPath(0), "new");
                plan.files.append(qMakePair(tx.stagedPath(0), base() + "/plugins/new.dll"));
                plan.removals = QStringList{base() + "/plugins"};
                plan.kept = QStringList{base() + "/plugins/render.dll", base() + "/plugins/gl/deep.dll", base() + "/elsewhere.dll"};
                return plan;
            }
        };
        QMap<QString, QByteArray> oldState, newState;
        int steps = 0;
        {
            Kept r;
            oldState = snapshot(r.base());
            UpdateTransaction tx(r.base());
            QString why;
            QVERIFY(tx.begin(&why));
            QVERIFY2(tx.commit(r.stage(tx), &why), qPrintable(why));
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
                QVERIFY(tx.begin(&why));
                const CommitPlan plan = r.stage(tx);
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
        QVERIFY(tx.begin(&why));
        CommitPlan plan;
        plan.version = "2.0";
        writeFile(tx.stagedPath(0), "new");
        plan.files.append(qMakePair(tx.stagedPath(0), base + "/plugins/new.dll"));
        plan.removals = QStringList{base + "/plugins"};
        plan.kept = QStringList{base + "/plugins/render.dll"};
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
        QVERIFY(tx.begin(&why));
        writeFile(tx.stagedPath(0), "new b");
        writeFile(tx.stagedPath(1), "inner");
        CommitPlan plan;
        plan.version = "2.0";
        plan.files = {qMakePair(tx.stagedPath(0), base + "/b.dll"), qMakePair(tx.stagedPath(1), base + "/afile.txt/inner.bin")};
        QVERIFY(!tx.commit(plan, &why));
        QVERIFY2(why.contains("refused") && why.contains("\"afile.txt\" now stands on the way"), qPrintable(why));
        tx.discard();
        QCOMPARE(snapshot(base), oldState);
        plan.removals = QStringList{base + "/afile.txt"};
        QVERIFY(tx.begin(&why));
        writeFile(tx.stagedPath(0), "new b");
        writeFile(tx.stagedPath(1), "inner");
        QVERIFY2(tx.commit(plan, &why), qPrintable(why));
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
        int steps = 0;
        {
            QTemporaryDir dir;
            setUp(dir.path());
            UpdateTransaction tx(dir.path());
            QString why;
            QVERIFY(tx.begin(&why));
            writeFile(tx.stagedPath(0), "new");
            CommitPlan plan;
            plan.files = {qMakePair(tx.stagedPath(0), dir.path() + "/olddir/sub/new")};
            plan.removals = QStringList{dir.path() + "/olddir", dir.path() + "/olddir/sub"};
            QVERIFY2(tx.commit(plan, &why), qPrintable(why));
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
            QVERIFY(tx.begin(&why));
            writeFile(tx.stagedPath(0), "new");
            CommitPlan plan;
            plan.files = {qMakePair(tx.stagedPath(0), dir.path() + "/olddir/sub/new")};
            plan.removals = QStringList{dir.path() + "/olddir", dir.path() + "/olddir/sub"};
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
        QVERIFY(tx.begin(&why));
        const CommitPlan plan = r.stage(tx);
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
};

QTEST_GUILESS_MAIN(TestUpdateTransaction)
#include "test_updatetransaction.moc"

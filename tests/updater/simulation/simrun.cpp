#include "simrun.h"

#include "download/partialstore.h"
#include "list/filelist.h"
#include "list/pathpolicy.h"
#include "support/testserver.h"
#include "transaction/testpause.h"
#include "log/updatelog.h"
#include "procedure/updateprocedure.h"
#include "transaction/updatetransaction.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <cstdio>
#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifndef Q_OS_WIN
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The pause points of this process: a start armed with g_killAtPause ends at that call of
// testPause (any commit or undo step), without running anything else.
int g_killAtPause = 0;
int g_pauseCalls = 0;

#ifndef Q_OS_WIN
// How long one start may take before it counts as hung.
const unsigned kStartSeconds = 30;
#endif

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

bool appendBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::Append) && f.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString xmlAttribute(const QString& s)
{
    return s.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

// One start of the updater as a child process. Returns how it ended: "finished", "killed", or
// what else happened.
struct Start {
    int killAtDownload = 0;
    int killAtPause = 0;
    // Held (until a byte arrives on holdFd) as the n-th download starts or at the n-th pause
    // point, after writing a byte to heldFd.
    int holdAtDownload = 0;
    int holdAtPause = 0;
    int heldFd = -1;
    int holdFd = -1;
    // Killed as soon as this part (a cut download's) holds bytes; empty: never.
    QString killAtPart;
};

// The hold of the running start, for testPause.
Start g_start;

#ifdef Q_OS_WIN
// Every start runs in this process (cases with kills or holds are not replayed here).
void holdHere() { qFatal("a start cannot be held in-process"); }
void killHere() { qFatal("a start cannot be killed in-process"); }
#else
void holdHere()
{
    const char held = 'h';
    if (write(g_start.heldFd, &held, 1) != 1) _exit(3);
    char go = 0;
    if (read(g_start.holdFd, &go, 1) != 1) _exit(3);
}

// A kill: the process ends here, and nothing of it runs any more (no destructor, no clean-up).
void killHere() { _exit(sim::kKilledExit); }
#endif

// One start of the updater in this process: the procedure on `base`, with the start's kills and
// holds armed, and the oracle's looks at the folder after the recovery and at the application's
// start (written to `mixReport`).
void runStart(const QString& base, const Start& s, const sim::Tree& oldTree, const sim::Tree& newTree,
              const QString& mixReport)
{
    g_killAtPause = s.killAtPause;
    g_pauseCalls = 0;
    g_start = s;
    UpdateProcedure procedure;
    procedure.setBaseFolder(base);
    procedure.setApplicationExecutable(QStringLiteral("domvista.exe"));
    int downloads = 0;
    QObject::connect(&procedure, &UpdateProcedure::countChanged, [&](int done, int, int current) {
        // A download starts when the count of finished files is one below the current file.
        if (done != current - 1) return;
        ++downloads;
        if (downloads == s.holdAtDownload) holdHere();
        if (downloads == s.killAtDownload) killHere();
    });
    // Qt tells a download's progress at most every 150 ms, and not at all for a body that
    // stops: the kept part itself shows that bytes arrived.
    QTimer partWatch;
    if (!s.killAtPart.isEmpty()) {
        QObject::connect(&partWatch, &QTimer::timeout, [&]() {
            if (QFileInfo(s.killAtPart).size() > 0) killHere();
        });
        partWatch.start(2);
    }
    // Right after the recovery of what an earlier start left, the folder holds a whole release,
    // unless the recovery could not tell what was moved (a damaged journal) and says so with the
    // repair mark: then the application is not started on it (the starter's look below) and the
    // update runs again in full (the last start's look).
    QObject::connect(&procedure, &UpdateProcedure::recovered, [&](bool) {
        if (UpdateTransaction(base).repairPending()) return;
        const sim::Tree now = sim::snapshot(base, false);
        if (now != oldTree && now != newTree) {
            appendBytes(mixReport, ("after a start's recovery the folder holds a mix of the releases; against the new one:\n" +
                                   sim::treeDifference(newTree, now) + "\nagainst the old one:\n" +
                                   sim::treeDifference(oldTree, now) + "\n").toUtf8());
        }
    });
    // No program is started: the folder is looked at as the application would find it.
    procedure.setApplicationStarter([&](const QString&) {
        const sim::Tree now = sim::snapshot(base, false);
        if (now != oldTree && now != newTree) {
            appendBytes(mixReport, ("the application was started on a mix of the releases:\n" +
                                   sim::treeDifference(newTree, now) + "\n").toUtf8());
        }
        return true;
    });
    procedure.run();
}

#ifndef Q_OS_WIN
pid_t forkStart(const QString& base, const Start& s, const sim::Tree& oldTree, const sim::Tree& newTree,
                const QString& mixReport)
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: one updater start. What it logs is in the folder's log; its stderr copy goes.
    alarm(kStartSeconds);
    if (std::FILE* quiet = std::freopen("/dev/null", "w", stderr)) (void)quiet;
    runStart(base, s, oldTree, newTree, mixReport);
    _exit(0);
}

QString waitFor(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return QStringLiteral("lost");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return QStringLiteral("finished");
    if (WIFEXITED(status) && WEXITSTATUS(status) == sim::kKilledExit) return QStringLiteral("killed");
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return QStringLiteral("hung");
    if (WIFSIGNALED(status)) return QStringLiteral("crashed with signal %1").arg(WTERMSIG(status));
    return QStringLiteral("ended with %1").arg(WEXITSTATUS(status));
}
#endif

[[maybe_unused]] void damage(const QString& base, const QString& outside, sim::Damage d, int param)
{
    const QString updates = base + QLatin1Char('/') + QLatin1String(kUpdatesFolder);
    const QString journal = updates + QStringLiteral("/update-journal");
    auto pickFile = [](const QString& folder, int n) {
        QStringList files;
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) files.append(it.next());
        std::sort(files.begin(), files.end());
        return files.isEmpty() ? QString() : files.at(n % files.size());
    };
    auto removeFile = [](const QString& path) {
        if (!path.isEmpty()) QFile::remove(path);
    };
    auto replaceByLink = [&](const QString& path, const QString& target) {
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink()) QDir(path).removeRecursively();
        else QFile::remove(path);
        QFile::link(target, path);
    };
    switch (d) {
    case sim::Damage::None: break;
    case sim::Damage::LoseStaged: removeFile(pickFile(updates + QStringLiteral("/staging"), param)); break;
    case sim::Damage::LoseBackup: removeFile(pickFile(updates + QStringLiteral("/backup"), param)); break;
    case sim::Damage::TruncateJournal:
        if (QFileInfo::exists(journal)) {
            const QByteArray bytes = readBytes(journal);
            writeBytes(journal, bytes.left(bytes.size() * (param % 100) / 100));
        }
        break;
    case sim::Damage::EmptyJournal:
        if (QFileInfo::exists(journal)) writeBytes(journal, QByteArray());
        break;
    case sim::Damage::JournalFolder:
        if (QFileInfo::exists(journal)) {
            QFile::remove(journal);
            QDir().mkpath(journal);
        }
        break;
    case sim::Damage::JournalLink:
        if (QFileInfo::exists(journal)) replaceByLink(journal, outside + QStringLiteral("/no-such-journal"));
        break;
    case sim::Damage::StagingLink:
        if (QFileInfo(updates).isDir()) replaceByLink(updates + QStringLiteral("/staging"), outside + QStringLiteral("/victim"));
        break;
    case sim::Damage::BackupLink:
        if (QFileInfo(updates).isDir()) replaceByLink(updates + QStringLiteral("/backup"), outside + QStringLiteral("/victim"));
        break;
    case sim::Damage::PartGarbage:
    case sim::Damage::PartLink:
        for (const QString& name : QDir(updates + QStringLiteral("/partial")).entryList({QStringLiteral("*.part")}, QDir::Files)) {
            const QString part = updates + QStringLiteral("/partial/") + name;
            if (d == sim::Damage::PartLink) replaceByLink(part, outside + QStringLiteral("/victim/keep.txt"));
            else writeBytes(part, QByteArray(int(QFileInfo(part).size()), '#'));
        }
        break;
    }
}

// `dist` with each "{short:PATH}" replaced by the 8.3 short name of the existing PATH's last
// part below `base` (its long name where the system gives none, and on other systems).
QString expandDist(const QString& base, QString dist)
{
    static const QRegularExpression shortName(QStringLiteral("\\{short:([^}]*)\\}"));
    for (QRegularExpressionMatch m = shortName.match(dist); m.hasMatch(); m = shortName.match(dist)) {
        const QString path = m.captured(1);
        QString name = QFileInfo(path).fileName();
#ifdef Q_OS_WIN
        wchar_t out[MAX_PATH] = {};
        const std::wstring in = QDir::toNativeSeparators(base + QLatin1Char('/') + path).toStdWString();
        const DWORD n = GetShortPathNameW(in.c_str(), out, MAX_PATH);
        if (n > 0 && n < MAX_PATH) name = QFileInfo(QString::fromWCharArray(out, int(n))).fileName();
#else
        (void)base;
#endif
        const QString parent = QFileInfo(path).path();
        dist.replace(m.capturedStart(), m.capturedLength(), parent == QLatin1String(".") ? name : parent + QLatin1Char('/') + name);
    }
    return dist;
}

}  // namespace

void testPause(const char*)
{
    ++g_pauseCalls;
    if (g_pauseCalls == g_start.holdAtPause) holdHere();
    if (g_pauseCalls == g_killAtPause) killHere();
}

namespace sim {

Tree snapshot(const QString& folder, bool bookkeeping)
{
    Tree t;
    const QString updates = QLatin1String(kUpdatesFolder);
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = path.mid(folder.size() + 1);
        if (!bookkeeping && (rel == updates || rel.startsWith(updates + QLatin1Char('/')) ||
                             rel.startsWith(QLatin1String(kUpdateLogName)))) {
            continue;
        }
        const QFileInfo info(path);
        if (info.isSymLink()) t.insert(rel, Node{Node::Link, info.symLinkTarget().toUtf8()});
        else if (info.isDir()) t.insert(rel, Node{Node::Folder, QByteArray()});
        else t.insert(rel, Node{Node::File, readBytes(path)});
    }
    return t;
}

Simulation::Simulation(const QString& workRoot)
    : m_root(workRoot)
{
}

Simulation::~Simulation() = default;

QString Simulation::ownFileName()
{
    return UpdateProcedure::ownFileName();
}

Verdict Simulation::run(const Case& c)
{
    Verdict v;
    const int id = m_next++;
    if (!m_server || id % 32 == 0) {
        m_server.reset();
        m_server.reset(new TestServer);
    }
    const QString dir = m_root + QStringLiteral("/c%1").arg(id);
    const QString base = dir + QStringLiteral("/base");
    const QString outside = dir + QStringLiteral("/outside");
    const std::string prefix = "/c" + std::to_string(id);
    QDir(dir).removeRecursively();

    // The old release, the settings and the updater's own file; a folder outside with files.
    QDir().mkpath(base + QStringLiteral("/Application/Config"));
    writeBytes(base + QStringLiteral("/Application/Config/config.ini"),
               QStringLiteral("[%General]\nupdate=%1\nversion=%2\n")
                   .arg(QString::fromStdString(m_server->url(prefix + "/check")), QLatin1String(kOldVersion)).toUtf8());
    writeBytes(base + QLatin1Char('/') + ownFileName(), "the running updater");
    for (auto it = c.oldRelease.cbegin(); it != c.oldRelease.cend(); ++it) {
        if (it->kind == Node::Folder) QDir().mkpath(base + QLatin1Char('/') + it.key());
        else if (it->kind == Node::File) writeBytes(base + QLatin1Char('/') + it.key(), it->bytes);
    }
    writeBytes(outside + QStringLiteral("/victim/keep.txt"), "outside the folder");
    writeBytes(outside + QStringLiteral("/victim/sub/deeper.txt"), "outside too");

    // The list, and the bytes behind it.
    QString xml = QStringLiteral("<files>\n");
    QMap<QString, QByteArray> served;  // url -> bytes
    std::string cutPath;                // the cut download's path on the server, or ""
    for (int i = 0; i < c.list.size(); ++i) {
        const ListEntry& e = c.list.at(i);
        if (e.kind == ListEntry::Remove) {
            xml += QStringLiteral("<remove dist='%1'/>\n").arg(xmlAttribute(expandDist(base, e.dist)));
        } else if (e.kind == ListEntry::FolderEntry) {
            xml += QStringLiteral("<file url='' dist='%1'/>\n").arg(xmlAttribute(expandDist(base, e.dist)));
        } else {
            const std::string path = prefix + "/f/" + std::to_string(i);
            const QString url = QString::fromStdString(m_server->url(path));
            TestServer::Response r = TestServer::ok(e.bytes.toStdString());
            r.headers.push_back({"ETag", "\"e" + std::to_string(i) + "\""});
            r.ranges = c.ranges == Ranges::Honour   ? TestServer::Response::Ranges::Honour
                     : c.ranges == Ranges::Refuse   ? TestServer::Response::Ranges::Refuse
                     : c.ranges == Ranges::FromStart ? TestServer::Response::Ranges::FromStart
                                                     : TestServer::Response::Ranges::Ignore;
            if (i == c.cutEntry && e.bytes.size() >= 2) {
                r.mode = c.cutByKill && e.digest ? TestServer::Mode::StallBody : TestServer::Mode::Drop;
                r.dropAfter = size_t(qBound(1, int(e.bytes.size()) * c.cutPercent / 100, int(e.bytes.size()) - 1));
                r.modeRequests = 1;
                cutPath = path;
            }
            m_server->route(path, r);
            served.insert(url, e.bytes);
            QString digest;
            if (e.digest) {
                digest = QStringLiteral(" sha256='%1' size='%2'")
                             .arg(QString::fromLatin1(QCryptographicHash::hash(e.bytes, QCryptographicHash::Sha256).toHex()))
                             .arg(e.bytes.size());
            }
            xml += QStringLiteral("<file url='%1' dist='%2'%3/>\n").arg(xmlAttribute(url), xmlAttribute(expandDist(base, e.dist)), digest);
        }
    }
    xml += QStringLiteral("</files>\n");
    TestServer::Response check = TestServer::ok(xml.toStdString());
    check.headers.push_back({"Domvista-Version", kNewVersion});
    m_server->route(prefix + "/check", check);

    // What the folder holds before, and after the list as the real reader accepts it.
    const Tree oldTree = snapshot(base, false);
    const FileListResult accepted = readFileList(xml.toUtf8(), base, ownFileName());
    Tree newTree = oldTree;
    if (!accepted.refused) {
        auto rel = [&](const QString& abs) { return abs.mid(base.size() + 1); };
        // Only the updater's own file goes there, by the reader's own redirection: a download
        // that reaches the folder under another spelling stays in the expected release, and
        // the oracle sees it missing.
        auto bookkeeping = [&](const QString& r) { return r.startsWith(QLatin1String(kUpdatesFolder) + QLatin1Char('/')); };
        QStringList removals, folders;
        QList<Placement> downloads;
        for (const QString& r : accepted.removals) removals.append(rel(r));
        for (const QString& f : accepted.folders) folders.append(rel(f));
        for (const FileEntry& d : accepted.downloads) {
            const QString r = rel(d.value(QStringLiteral("dist")));
            if (!bookkeeping(r)) {
                downloads.append(Placement{r, served.value(d.value(QStringLiteral("url"))), d.contains(QStringLiteral("sha256"))});
            }
        }
        newTree = applyList(oldTree, removals, folders, downloads, pathpolicy::nameCase());
    }
    const Tree outsideBefore = snapshot(outside, true);
    const QString mixReport = dir + QStringLiteral("/started-on-a-mix");

    QStringList starts;
    auto expect = [&](const QString& what, const QString& ended, bool mayBeKilled) {
        ++v.starts;
        starts.append(QStringLiteral("%1: %2").arg(what, ended));
        if (ended == QLatin1String("finished") || (mayBeKilled && ended == QLatin1String("killed"))) return;
        v.ok = false;
        v.report += QStringLiteral("the %1 %2\n").arg(what, ended);
    };

    // Where the cut download keeps its part ("" when it keeps none: no digest).
    QString cutPart;
    if (c.cutEntry >= 0 && c.cutEntry < c.list.size() && c.list.at(c.cutEntry).digest && !cutPath.empty()) {
        const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(c.list.at(c.cutEntry).bytes, QCryptographicHash::Sha256).toHex());
        cutPart = base + QLatin1Char('/') + QLatin1String(kUpdatesFolder) + QStringLiteral("/partial/") +
                  partKey(sha256, QString::fromStdString(m_server->url(cutPath))) + QStringLiteral(".part");
    }
    // The bytes of the cut download that the first start left for the next (0: none).
    auto heldOfCut = [&]() -> qint64 {
        return !cutPart.isEmpty() && QFileInfo(cutPart).isFile() && !QFileInfo(cutPart).isSymLink() ? QFileInfo(cutPart).size() : 0;
    };

#ifdef Q_OS_WIN
    // A faithful kill or hold needs a start of its own that ends without running anything more:
    // this build runs every start in-process, so such a case is replayed natively only.
    if (c.killAtDownload || c.killAtStep || c.concurrentAtDownload || c.concurrentAtStep || !c.recoveryKills.isEmpty() ||
        c.damage != Damage::None || c.cutByKill) {
        v.skipped = QStringLiteral("kills, holds and damage between starts are replayed by the native build only (each start there is a child process)");
        QDir(dir).removeRecursively();
        return v;
    }
    runStart(base, Start{}, oldTree, newTree, mixReport);
    expect(QStringLiteral("first start"), QStringLiteral("finished"), false);
    const qint64 held = heldOfCut();
    runStart(base, Start{}, oldTree, newTree, mixReport);
    expect(QStringLiteral("last start"), QStringLiteral("finished"), false);
#else
    // The first start (or two at once), its kill, the damage, the later starts and their kills.
    if (c.concurrentAtDownload || c.concurrentAtStep) {
        // The first start is held at its point; the second runs to its end; the first goes on.
        int held[2], hold[2];
        if (pipe(held) != 0 || pipe(hold) != 0) qFatal("no pipe");
        Start first{c.killAtDownload, c.killAtStep, c.concurrentAtDownload, c.concurrentAtStep, held[1], hold[0]};
        const pid_t a = forkStart(base, first, oldTree, newTree, mixReport);
        close(held[1]);
        close(hold[0]);
        char byte = 0;
        const bool reached = read(held[0], &byte, 1) == 1;  // end of file: it ended before the point
        expect(QStringLiteral("second start"), waitFor(forkStart(base, Start{}, oldTree, newTree, mixReport)), false);
        if (reached && write(hold[1], "g", 1) != 1) qFatal("cannot resume the first start");
        close(held[0]);
        close(hold[1]);
        expect(QStringLiteral("first start"), waitFor(a), true);
    } else {
        Start first{c.killAtDownload, c.killAtStep};
        // (A shrunk case may name a download without a digest: it keeps no part to watch.)
        if (c.cutByKill) first.killAtPart = cutPart;
        expect(QStringLiteral("first start"), waitFor(forkStart(base, first, oldTree, newTree, mixReport)), true);
    }
    const qint64 held = heldOfCut();
    damage(base, outside, c.damage, c.damageParam);
    for (int k : c.recoveryKills) {
        expect(QStringLiteral("start killed at step %1").arg(k), waitFor(forkStart(base, Start{0, k}, oldTree, newTree, mixReport)), true);
    }
    expect(QStringLiteral("last start"), waitFor(forkStart(base, Start{}, oldTree, newTree, mixReport)), false);
#endif

    // The oracle.
    const Tree now = snapshot(base, false);
    const bool isOld = now == oldTree, isNew = now == newTree;
    v.outcome = isOld && isNew ? QStringLiteral("the list changes nothing")
              : isNew          ? QStringLiteral("new release in place")
              : isOld          ? QStringLiteral("old release in place")
                               : QStringLiteral("a mix");
    if (isOld && !isNew) {
        // The last start ran without a kill on a server that still offers the release.
        v.ok = false;
        v.report += QStringLiteral("the last start did not install the new release: updates stop; against the new one:\n%1\n")
                        .arg(treeDifference(newTree, now));
    }
    if (!isOld && !isNew) {
        v.ok = false;
        v.report += QStringLiteral("the folder holds neither release; against the new one:\n%1\nagainst the old one:\n%2\n")
                        .arg(treeDifference(newTree, now), treeDifference(oldTree, now));
    }
    const Tree outsideAfter = snapshot(outside, true);
    if (outsideAfter != outsideBefore) {
        v.ok = false;
        v.report += QStringLiteral("something outside the folder changed:\n%1\n").arg(treeDifference(outsideBefore, outsideAfter));
    }
    const QString applied = QString::fromUtf8(readBytes(base + QLatin1Char('/') + QLatin1String(kUpdatesFolder) +
                                                        QStringLiteral("/applied-version"))).trimmed();
    if (isNew && !isOld && applied != QLatin1String(kNewVersion)) {
        v.ok = false;
        v.report += QStringLiteral("the new release is in place but the recorded version is '%1'\n").arg(applied);
    }
    if (isOld && !isNew && applied == QLatin1String(kNewVersion)) {
        v.ok = false;
        v.report += QStringLiteral("the old release is in place but the new version is recorded as applied\n");
    }
    // Continued, not fetched again: with a server that keeps ranges and the bytes held intact,
    // a later start asked for exactly the rest, and the server sent only that.
    const bool partDamaged = c.damage == Damage::PartGarbage || c.damage == Damage::PartLink;
    if (c.ranges == Ranges::Honour && !partDamaged && held > 0 && held < c.list.at(c.cutEntry).bytes.size()) {
        const QByteArray want = "Range: bytes=" + QByteArray::number(held) + "-\r\n";
        const std::vector<std::string> heads = m_server->rawRequests();
        int asked = -1;
        for (size_t i = 0; i < heads.size(); ++i) {
            if (QByteArray::fromStdString(heads[i]).startsWith("GET " + QByteArray::fromStdString(cutPath) + " ") &&
                QByteArray::fromStdString(heads[i]).contains(want)) {
                asked = int(i);
            }
        }
        const qint64 rest = c.list.at(c.cutEntry).bytes.size() - held;
        for (int wait = 0; asked >= 0 && qint64(m_server->bodyBytesOfRequest(size_t(asked))) < rest && wait < 100; ++wait) {
            QThread::msleep(10);  // the server counts once its send returned
        }
        if (asked < 0 && isNew && !isOld) {
            v.ok = false;
            v.report += QStringLiteral("%1 bytes of the cut download were kept, but no later start asked for the rest\n").arg(held);
        } else if (asked >= 0 && qint64(m_server->bodyBytesOfRequest(size_t(asked))) != rest) {
            v.ok = false;
            v.report += QStringLiteral("the rest of the cut download took %1 bytes instead of %2\n")
                            .arg(m_server->bodyBytesOfRequest(size_t(asked))).arg(rest);
        }
    }
    // A finished update leaves nothing of its downloads behind.
    const QString parts = base + QLatin1Char('/') + QLatin1String(kUpdatesFolder) + QStringLiteral("/partial");
    if (isNew && !isOld && QFileInfo::exists(parts)) {
        v.ok = false;
        v.report += QStringLiteral("the new release is in place but the kept downloads are still there: %1\n")
                        .arg(QDir(parts).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(QLatin1Char(' ')));
    }
    if (QFileInfo::exists(mixReport)) {
        v.ok = false;
        v.report += QString::fromUtf8(readBytes(mixReport));
    }
    if (!v.ok || qEnvironmentVariableIsSet("SIMULATION_VERBOSE")) {
        v.report += QStringLiteral("starts: %1\nlog:\n%2").arg(starts.join(QStringLiteral(", ")),
                                                              QString::fromUtf8(readBytes(base + QStringLiteral("/desktop-updater.log"))));
    } else {
        // Outside a failure the case's folders go at once: thousands of cases run in one go.
        QDir(dir).removeRecursively();
    }
    return v;
}

}  // namespace sim

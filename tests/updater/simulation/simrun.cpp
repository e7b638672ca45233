#include "simrun.h"

#include "download/partialstore.h"
#include "list/filelist.h"
#include "list/pathpolicy.h"
#include "list/updaterfolders.h"
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
#include "crashstates.h"
#include "fstrace.h"
#include "simhostile.h"

#include <csignal>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The pause points of this process: a start armed with g_killAtPause ends at that call of
// testPause (any commit or undo step), without running anything else.
int g_killAtPause = 0;
int g_pauseCalls = 0;

#ifndef Q_OS_WIN
// How long one start may take before it counts as hung: a start of these small releases takes
// well under a second, so one that meets another user's object, or runs after a power cut, and
// takes this long waits for something that never comes.
const unsigned kStartSeconds = 30;
const unsigned kHostileStartSeconds = 5;
// How many states a power cut may leave are tried after one recorded start (the cut after
// the last call always among them); SIMULATION_POWER_CUT_STATES sets it.
const int kPowerCutStates = 10;
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
    // Only a plain file: the simulation's own looks must not block on a FIFO someone put there.
    if (!QFileInfo(path).isFile()) return QByteArray();
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
    // The start's file-system calls are recorded into this file (empty: not recorded).
    QString trace;
    unsigned seconds = 0;  // its deadline (0: kStartSeconds)
    bool asOtherUser = false;  // runs as the unprivileged account
    bool noLooks = false;      // the looks at the folder during the start are left out
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
        // (The other account cannot read the unreadable file: the parent judges that case at its end.)
        if (s.noLooks || UpdateTransaction(base).repairPending()) return;
        const sim::Tree now = sim::snapshot(base, false);
        if (now != oldTree && now != newTree) {
            appendBytes(mixReport, ("after a start's recovery the folder holds a mix of the releases; against the new one:\n" +
                                   sim::treeDifference(newTree, now) + "\nagainst the old one:\n" +
                                   sim::treeDifference(oldTree, now) + "\n").toUtf8());
        }
    });
    // No program is started: the folder is looked at as the application would find it.
    procedure.setApplicationStarter([&](const QString&) {
        if (s.noLooks) return true;
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
    alarm(s.seconds ? s.seconds : kStartSeconds);
    if (std::FILE* quiet = std::freopen("/dev/null", "w", stderr)) (void)quiet;
    if (s.asOtherUser && (setgid(sim::kOtherUid) != 0 || setuid(sim::kOtherUid) != 0)) _exit(4);
    if (!s.trace.isEmpty()) sim::armFsTrace(s.trace);
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
        else if (info.isFile()) t.insert(rel, Node{Node::File, readBytes(path)});
        else t.insert(rel, Node{Node::File, QByteArrayLiteral("<a FIFO, socket or device>")});  // never opened: it could block
    }
    return t;
}

#ifndef Q_OS_WIN
namespace {

int chownOne(const char* path, const struct stat*, int, struct FTW*)
{
    return lchown(path, kOtherUid, kOtherUid) == 0 ? 0 : 1;
}

// The place of the case's hostile object, and what a planted part or info needs beside it.
bool hostileTarget(const Case& c, const QString& base, const QString& outside, const QString& dir, const QStringList& urls,
                   HostileTarget* t, QString* why)
{
    const QString updates = base + QLatin1Char('/') + QLatin1String(kUpdatesFolder);
    t->outsideFile = outside + QStringLiteral("/victim/keep.txt");
    t->scratch = dir;
    switch (c.hostilePlace) {
    case HostilePlace::None: return false;
    case HostilePlace::Journal: t->path = updates + QStringLiteral("/update-journal"); return true;
    case HostilePlace::Steps: t->path = updates + QStringLiteral("/update-journal.steps"); return true;
    case HostilePlace::AppliedVersion: t->path = updates + QStringLiteral("/applied-version"); return true;
    case HostilePlace::Log: t->path = base + QLatin1Char('/') + QLatin1String(kUpdateLogName); return true;
    case HostilePlace::Lock: t->path = updates + QStringLiteral("/updater.lock"); return true;
    case HostilePlace::Staging: t->path = updates + QStringLiteral("/staging"); return true;
    case HostilePlace::Backup: t->path = updates + QStringLiteral("/backup"); return true;
    case HostilePlace::InPlace:
        // Once the release is installed, a file changed in place is no update's business.
        if (readBytes(updates + QStringLiteral("/applied-version")).trimmed() == kNewVersion) {
            *why = QStringLiteral("the first start installed the release");
            return false;
        }
        for (const ListEntry& e : c.list) {
            if (e.kind == ListEntry::Download && c.oldRelease.value(e.dist).kind == Node::File && c.oldRelease.contains(e.dist)) {
                t->path = base + QLatin1Char('/') + e.dist;
                return true;
            }
        }
        *why = QStringLiteral("the list replaces no file of the old release");
        return false;
    case HostilePlace::Part:
    case HostilePlace::PartInfo:
        for (int i = 0; i < c.list.size(); ++i) {
            const ListEntry& e = c.list.at(i);
            if (e.kind != ListEntry::Download || !e.digest || e.bytes.isEmpty()) continue;
            const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(e.bytes, QCryptographicHash::Sha256).toHex());
            const QString stem = updates + QStringLiteral("/partial/") + partKey(sha256, urls.value(i));
            // The other half of a kept part, as a cut download leaves it: its info or its first bytes.
            QDir().mkpath(updates + QStringLiteral("/partial"));
            if (c.hostilePlace == HostilePlace::Part) {
                t->path = stem + QStringLiteral(".part");
                t->planted = e.bytes;
                t->plantedPath = outside + QStringLiteral("/planted.bin");
                if (!QFileInfo(stem + QStringLiteral(".info")).isFile()) {
                    writeBytes(stem + QStringLiteral(".info"), writePartInfo(urls.value(i), e.bytes.size(), "\"e" + QByteArray::number(i) + "\""));
                }
            } else {
                t->path = stem + QStringLiteral(".info");
                if (!QFileInfo(stem + QStringLiteral(".part")).isFile()) writeBytes(stem + QStringLiteral(".part"), e.bytes.left(e.bytes.size() / 2));
            }
            return true;
        }
        *why = QStringLiteral("the list has no download with a digest, which alone keeps a part");
        return false;
    }
    return false;
}

// A start whose file-system calls were recorded, and what the folder held before it.
struct RecordedStart {
    QString name;
    QString trace;
    DiskImage before;
};

bool placeHostile(const Case& c, const QString& base, const QString& outside, const QString& dir, const QStringList& urls,
                  HostileObjectInPlace* hostile, Verdict* v)
{
    HostileTarget t;
    QString why;
    if (!hostileTarget(c, base, outside, dir, urls, &t, &why)) {
        v->outcome = QStringLiteral("no place for the hostile object");
        return false;
    }
    if (c.hostileObject == HostileObject::Unreadable) {
        // The starts run as the other account (the superuser reads every file): the folder is its.
        nftw(QFile::encodeName(dir).constData(), chownOne, 16, FTW_PHYS);
        for (const QString& p : {outside, outside + QStringLiteral("/victim"), outside + QStringLiteral("/victim/keep.txt"),
                                 outside + QStringLiteral("/victim/sub"), outside + QStringLiteral("/victim/sub/deeper.txt"),
                                 outside + QStringLiteral("/planted.bin")}) {
            if (lchown(QFile::encodeName(p).constData(), 0, 0) != 0) continue;
        }
    }
    if (!hostile->place(c.hostileObject, t)) {
        v->ok = false;
        v->report += QStringLiteral("the simulation could not put its object at %1: %2\n").arg(t.path, hostile->note());
        return false;
    }
    return true;
}

// Files of the folder that are also names of a file outside it.
QString sharedWithOutside(const QString& base, const QString& outside)
{
    QSet<quint64> outsideInodes;
    QDirIterator out(outside, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (out.hasNext()) {
        struct stat st;
        if (lstat(QFile::encodeName(out.next()).constData(), &st) == 0 && S_ISREG(st.st_mode)) outsideInodes.insert(quint64(st.st_ino));
    }
    QString report;
    QDirIterator in(base, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (in.hasNext()) {
        const QString path = in.next();
        // A log left unwritten harms no one; one written through the link changes the file outside.
        if (path.mid(base.size() + 1) == QLatin1String(kUpdateLogName)) continue;
        struct stat st;
        if (lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && outsideInodes.contains(quint64(st.st_ino))) {
            report += QStringLiteral("%1 is a second name of a file outside the folder, whose owner can change it\n").arg(path.mid(base.size() + 1));
        }
    }
    return report;
}

// The states a power cut may leave after the last start, each followed by a start; the first
// that ends in a bad state is told with the cut that made it.
void explorePowerCuts(const Case& c, const QString& base, const QString& outside, const QString& dir,
                      const QList<RecordedStart>& recorded, const Tree& oldTree, const Tree& newTree, const Tree& outsideBefore,
                      Verdict* v)
{
    bool ok = false;
    const int env = qEnvironmentVariableIntValue("SIMULATION_POWER_CUT_STATES", &ok);
    const quint32 seed = quint32(qHash(writeCase(c)));
    QList<CrashState> states;
    for (const RecordedStart& r : recorded) {
        QList<FsEvent> trace;
        if (!readFsTrace(r.trace, &trace)) {
            v->ok = false;
            v->report += QStringLiteral("the trace of the %1 cannot be read\n").arg(r.name);
            return;
        }
        for (CrashState s : crashStates(base, r.before, trace, c.powerCut, ok ? env : kPowerCutStates, seed)) {
            s.how = r.name + QStringLiteral(", ") + s.how;
            states.append(s);
        }
    }
    const QString mixReport = dir + QStringLiteral("/after-a-power-cut");
    for (const CrashState& state : states) {
        ++v->starts;
        QFile::remove(mixReport);
        if (!writeDiskImage(base, state.image)) {
            v->ok = false;
            v->report += QStringLiteral("the simulation could not write the state of a power cut (%1)\n").arg(state.how);
            return;
        }
        Start s;
        s.seconds = kHostileStartSeconds;
        const QString ended = waitFor(forkStart(base, s, oldTree, newTree, mixReport));
        QString wrong;
        if (ended != QLatin1String("finished")) wrong += QStringLiteral("the start after the cut %1\n").arg(ended);
        const Tree now = snapshot(base, false);
        const bool isOld = now == oldTree, isNew = now == newTree;
        const QString applied = QString::fromUtf8(readBytes(base + QLatin1Char('/') + QLatin1String(kUpdatesFolder) +
                                                            QStringLiteral("/applied-version"))).trimmed();
        if (!isOld && !isNew) {
            wrong += QStringLiteral("the folder holds neither release (recorded version '%1'); against the new one:\n%2\nagainst the old one:\n%3\n")
                         .arg(applied, treeDifference(newTree, now), treeDifference(oldTree, now));
        } else if (isNew && !isOld && applied != QLatin1String(kNewVersion)) {
            wrong += QStringLiteral("the new release is in place but the recorded version is '%1'\n").arg(applied);
        } else if (isOld && !isNew && applied == QLatin1String(kNewVersion)) {
            wrong += QStringLiteral("the old release is in place but the new version is recorded as applied\n");
        }
        const Tree outsideAfter = snapshot(outside, true);
        if (outsideAfter != outsideBefore) wrong += QStringLiteral("something outside the folder changed:\n%1\n").arg(treeDifference(outsideBefore, outsideAfter));
        if (QFileInfo::exists(mixReport)) wrong += QString::fromUtf8(readBytes(mixReport));
        if (wrong.isEmpty()) continue;
        v->ok = false;
        v->report += QStringLiteral("after a power cut (%1 model), %2:\n%3").arg(fsModelName(c.powerCut), state.how, wrong);
        v->report += QStringLiteral("log of the start after the cut:\n%1\n").arg(QString::fromUtf8(readBytes(base + QStringLiteral("/desktop-updater.log"))).right(3000));
        return;
    }
}

}  // namespace
#endif

Simulation::Simulation(const QString& workRoot)
    : m_root(workRoot)
{
#ifndef Q_OS_WIN
    // The other account of the hostile cases runs starts in case folders below it.
    chmod(QFile::encodeName(workRoot).constData(), 0711);
#endif
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
    // Another user's copy of the first download with a digest, ready to be planted as its part.
    for (const ListEntry& e : c.list) {
        if (e.kind == ListEntry::Download && e.digest && !e.bytes.isEmpty()) {
            writeBytes(outside + QStringLiteral("/planted.bin"), e.bytes);
            break;
        }
    }
    writeBytes(outside + QStringLiteral("/victim/sub/deeper.txt"), "outside too");

    // The list, and the bytes behind it.
    QString xml = QStringLiteral("<files>\n");
    QMap<QString, QByteArray> served;  // url -> bytes
    QStringList urls;                   // by entry: a download's URL, else empty
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
            while (urls.size() < i) urls.append(QString());
            urls.append(url);
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
    Tree oldTree, newTree;
    // (Again once another user's object took the place of a file of the old release: the
    // release is then the folder with that object, and the list as read on it.)
    auto expectTrees = [&]() {
    oldTree = snapshot(base, false);
    const FileListResult accepted = readFileList(xml.toUtf8(), base, ownFileName());
    newTree = oldTree;
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
            const QString r = rel(d.dist);
            if (!bookkeeping(r)) {
                downloads.append(Placement{r, served.value(d.url), !d.sha256.isEmpty()});
            }
        }
        newTree = applyList(oldTree, removals, folders, downloads, pathpolicy::nameCase());
    }
    };
    expectTrees();
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
        c.damage != Damage::None || c.cutByKill || c.hostilePlace != HostilePlace::None || c.powerCut != FsModel::None) {
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
    QList<RecordedStart> recorded;  // the starts whose calls a power cut is tried after
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
        if (c.powerCut != FsModel::None) {
            recorded.append(RecordedStart{QStringLiteral("first start"), dir + QStringLiteral("/first-start.trace"), readDiskImage(base)});
            first.trace = recorded.last().trace;
        }
        expect(QStringLiteral("first start"), waitFor(forkStart(base, first, oldTree, newTree, mixReport)), true);
    }
    const qint64 held = heldOfCut();
    damage(base, outside, c.damage, c.damageParam);
    // Another user's object in its place, for every later start.
    HostileObjectInPlace hostile;
    const bool hostileHere = c.hostilePlace != HostilePlace::None && placeHostile(c, base, outside, dir, urls, &hostile, &v);
    if (hostileHere && c.hostilePlace == HostilePlace::InPlace) expectTrees();
    auto later = [&](int killAtPause) {
        Start s;
        s.killAtPause = killAtPause;
        if (hostileHere) s.seconds = kHostileStartSeconds;
        s.asOtherUser = hostileHere && c.hostileObject == HostileObject::Unreadable;
        // A file another process rewrites is no release at any moment: judged once it stopped.
        s.noLooks = s.asOtherUser || (hostileHere && c.hostileObject == HostileObject::Changing && c.hostilePlace == HostilePlace::InPlace);
        return s;
    };
    for (int k : c.recoveryKills) {
        expect(QStringLiteral("start killed at step %1").arg(k), waitFor(forkStart(base, later(k), oldTree, newTree, mixReport)), true);
    }
    Start last = later(0);
    // (SIMULATION_POWER_CUT_STARTS=first: the first start's cuts only, as the bounded test runs
    // while a cut during a recovery still finds a mix: cases/power-cut-ext4-recovery-mix.case.)
    if (c.powerCut != FsModel::None && qgetenv("SIMULATION_POWER_CUT_STARTS") != "first") {
        recorded.append(RecordedStart{QStringLiteral("last start"), dir + QStringLiteral("/last-start.trace"), readDiskImage(base)});
        last.trace = recorded.last().trace;
    }
    const qint64 logBefore = QFileInfo(base + QStringLiteral("/desktop-updater.log")).size();
    expect(QStringLiteral("last start"), waitFor(forkStart(base, last, oldTree, newTree, mixReport)), false);
    if (hostileHere && hostile.holdsLock()) {
        // The lock another account holds is that account's, never "another updater".
        const QByteArray said = readBytes(base + QStringLiteral("/desktop-updater.log")).mid(int(logBefore));
        if (c.hostileObject == HostileObject::LockedByOtherUser && said.contains("another updater is already updating")) {
            v.ok = false;
            v.report += QStringLiteral("a lock held by another account was called another updater:\n%1\n").arg(QString::fromUtf8(said));
        }
    }
    if (hostileHere && (hostile.holdsLock() || c.hostileObject == HostileObject::Changing)) {
        // Once the other process is gone, an update runs as ever.
        hostile.release();
        expect(QStringLiteral("start after the other process ended"), waitFor(forkStart(base, later(0), oldTree, newTree, mixReport)), false);
    }
    hostile.release();
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
    const bool partDamaged = c.damage == Damage::PartGarbage || c.damage == Damage::PartLink ||
                             c.hostilePlace == HostilePlace::Part || c.hostilePlace == HostilePlace::PartInfo;
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
#ifndef Q_OS_WIN
    // No file in the folder is a second name of a file outside it: its owner could change it.
    const QString shared = sharedWithOutside(base, outside);
    if (!shared.isEmpty()) {
        v.ok = false;
        v.report += shared;
    }
    if (v.ok && c.powerCut != FsModel::None) explorePowerCuts(c, base, outside, dir, recorded, oldTree, newTree, outsideBefore, &v);
#endif
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

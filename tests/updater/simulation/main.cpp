// The updater's simulation: draws releases, lists between them, kills, damage and a second updater,
// runs the real update procedure on them and checks that no start loses the user's files.
//
//   updater-simulation                  a rapidcheck run (RC_PARAMS as usual: seed=, max_success=,
//                                       reproduce=); SIMULATION_HEAVY=1 adds the damage between runs,
//                                       SIMULATION_DAMAGE=lose-staged,journal-link,... some of it;
//                                       SIMULATION_HOSTILE=1 puts other users' objects in the
//                                       updater's places; SIMULATION_POWER_CUTS=ext4,fat cuts the
//                                       power after the last start (SIMULATION_POWER_CUT_STATES:
//                                       how many states of each cut are tried, 0 all)
//   updater-simulation --replay FILE    runs the case written in FILE (as a failure prints it)
//   updater-simulation --replay-folder DIR   runs every DIR/*.case; one marked "# known failure:"
//                                       must fail, every other one must hold
//
// A failure prints rapidcheck's seed and reproduce string, and the shrunk case as text, which
// is also written to the file SIMULATION_CASE_OUT names (default: failed.case in the work folder).
#include "simcase.h"
#include "simgen.h"
#include "simrun.h"
#include "simreplay.h"
#include "simshrink.h"

#include <rapidcheck.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

QString caseOutPath(const QString& work)
{
    const QByteArray env = qgetenv("SIMULATION_CASE_OUT");
    return env.isEmpty() ? work + QStringLiteral("/failed.case") : QString::fromLocal8Bit(env);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // No plugins: each start would otherwise load the network bearer plugins (and ask D-Bus)
    // before its first request, which costs more than the rest of the start.
    QCoreApplication::setLibraryPaths(QStringList());
    // The work folder: on a RAM disk where there is one (thousands of small folders).
    QString parent = QString::fromLocal8Bit(qgetenv("SIMULATION_WORK"));
    if (parent.isEmpty()) parent = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    QTemporaryDir work(parent + QStringLiteral("/updater-simulation-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a work folder in %s\n", qPrintable(parent));
        return 2;
    }
    sim::Simulation simulation(work.path());

    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--replay")) {
        work.setAutoRemove(qEnvironmentVariableIsEmpty("SIMULATION_KEEP"));
        return sim::replayFile(simulation, args.at(2));
    }
    if (args.size() == 3 && args.at(1) == QLatin1String("--replay-folder")) {
        return sim::replayFolder(simulation, args.at(2));
    }

    sim::GenOptions options;
    // SIMULATION_HEAVY=1: every kind of damage; SIMULATION_DAMAGE=<name>,<name>: those.
    const bool heavy = qgetenv("SIMULATION_HEAVY") == "1";
    for (int d = static_cast<int>(sim::Damage::LoseStaged); d <= static_cast<int>(sim::Damage::PartLink); ++d) {
        if (heavy) options.damages.append(static_cast<sim::Damage>(d));
    }
    for (const QString& name : QString::fromLocal8Bit(qgetenv("SIMULATION_DAMAGE")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        sim::Damage d;
        if (!sim::damageFromName(name, &d)) {
            std::fprintf(stderr, "unknown damage %s\n", qPrintable(name));
            return 2;
        }
        if (!options.damages.contains(d)) options.damages.append(d);
    }
    options.hostile = qgetenv("SIMULATION_HOSTILE") == "1";
    for (const QString& name : QString::fromLocal8Bit(qgetenv("SIMULATION_POWER_CUTS")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        sim::FsModel m;
        if (!sim::fsModelFromName(name, &m) || m == sim::FsModel::None) {
            std::fprintf(stderr, "unknown file system model %s (ext4, fat)\n", qPrintable(name));
            return 2;
        }
        if (!options.powerCuts.contains(m)) options.powerCuts.append(m);
    }
    options.ownFileName = sim::Simulation::ownFileName();
    if (options.hostile) {
        for (int p = int(sim::HostilePlace::Part); p <= int(sim::HostilePlace::InPlace); ++p) {
            for (int o = 0; o <= int(sim::HostileObject::LockedByOtherUser); ++o) {
                const QString why = sim::notDrawnBecause(static_cast<sim::HostilePlace>(p), static_cast<sim::HostileObject>(o));
                if (!why.isEmpty()) {
                    std::printf("not drawn: %s as %s: %s\n", qPrintable(sim::hostileObjectName(static_cast<sim::HostileObject>(o))),
                                qPrintable(sim::hostilePlaceName(static_cast<sim::HostilePlace>(p))), qPrintable(why));
                }
            }
        }
    }
    const QString out = caseOutPath(work.path());
    int cases = 0;
    int updated = 0;
    int starts = 0;
    QElapsedTimer timer;
    timer.start();
    const std::string property = std::string("no start loses files") +
                                 (options.damages.isEmpty() ? "" : " (with damage between runs)") +
                                 (options.hostile ? " (with other users' objects in its places)" : "") +
                                 (options.powerCuts.isEmpty() ? "" : " (with a power cut after the last start)");
    const bool ok = rc::check(property,
                              [&] {
        const sim::Case c = sim::drawCase(options);
        ++cases;
        const sim::Verdict v = simulation.run(c);
        starts += v.starts;
        RC_TAG(v.outcome.toStdString());
        if (v.outcome == QLatin1String("new release in place")) ++updated;
        if (!v.ok) {
            // The first failure as it happened: a failure that does not come again while
            // rapidcheck shrinks (one that depends on timing) is still told.
            static bool told = false;
            if (!told) {
                told = true;
                std::fprintf(stderr, "--- the first failing case, as drawn ---\n%s--- what went wrong ---\n%s\n",
                             qPrintable(sim::writeCase(c)), qPrintable(v.report));
            }
            // The last failing case rapidcheck tries is the shrunk one: it stays in the file.
            QFile f(out);
            if (f.open(QIODevice::WriteOnly)) f.write(sim::writeCase(c).toUtf8());
            RC_FAIL("\n--- case (replay: updater-simulation --replay FILE) ---\n" + sim::writeCase(c).toStdString() +
                    "--- what went wrong ---\n" + v.report.toStdString());
        }
    });
    const double seconds = timer.elapsed() / 1000.0;
    std::printf("%d cases (%d starts of the updater) in %.1f s: %.0f cases per second\n", cases, starts, seconds,
                seconds > 0 ? cases / seconds : 0.0);
    // A simulation in which no update ever lands tests nothing: it fails.
    if (ok && cases >= 100 && updated < cases / 10) {
        std::printf("only %d of %d cases installed the new release: the simulation does not reach the commit\n", updated, cases);
        return 1;
    }
    if (!ok) {
        // rapidcheck's shrunk case, made smaller still by dropping its lines one at a time.
        QFile f(out);
        sim::Case shrunk;
        QString error;
        if (f.open(QIODevice::ReadOnly) && sim::parseCase(QString::fromUtf8(f.readAll()), &shrunk, &error)) {
            f.close();
            const sim::Case smallest = sim::minimize(simulation, shrunk);
            const sim::Verdict v = simulation.run(smallest);
            if (f.open(QIODevice::WriteOnly)) f.write(sim::writeCase(smallest).toUtf8());
            std::printf("--- the smallest case found (replay: updater-simulation --replay %s) ---\n%s--- what went wrong ---\n%s\n",
                        qPrintable(out), qPrintable(sim::writeCase(smallest)), qPrintable(v.report));
        }
        work.setAutoRemove(false);
    }
    return ok ? 0 : 1;
}

// The simulation's replay alone, for the builds without rapidcheck (the Windows program):
//   updater-simulation-replay --replay FILE | --replay-folder DIR
#include "simreplay.h"
#include "simrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setLibraryPaths(QStringList());
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/updater-simulation-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a work folder in %s\n", qPrintable(QDir::tempPath()));
        return 2;
    }
    sim::Simulation simulation(work.path());
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--replay")) return sim::replayFile(simulation, args.at(2));
    if (args.size() == 3 && args.at(1) == QLatin1String("--replay-folder")) return sim::replayFolder(simulation, args.at(2));
    std::fprintf(stderr, "usage: updater-simulation-replay --replay FILE | --replay-folder DIR\n");
    return 2;
}

// Runs one simulation case against the real update procedure and judges the outcome.
//
// Each start of the updater is a child process (fork) that runs UpdateProcedure on the case's
// folder; a kill is the child's _exit() at the chosen download or commit step, so that no
// destructor and no clean-up of the procedure runs, as with a real kill. The Windows build runs
// the starts in-process and replays only the cases without kills, holds or damage. The parent lays out
// the old release, serves the list and the new bytes from a loopback server, damages the
// bookkeeping between starts, holds the first start while a second updater runs on the same
// folder and, after the last start, checks:
//   - right after each start's recovery, and when the application is started, the folder holds
//     exactly the old release or the release the accepted list describes, byte for byte (the
//     updater's own Application/Updates and its log aside);
//   - after the last start, which runs without a kill, the new release is in place: a fault
//     that makes every later update fail is a failure too;
//   - nothing outside the folder changed;
//   - the recorded applied version matches what is in place;
//   - the application was started only on a whole release;
//   - every start ended (finished or killed where the case says), none crashed or hung.
#pragma once

#include "simcase.h"

#include <QString>

#include <memory>

class TestServer;

namespace sim {

// The version every case's server offers, and the one config.ini names as installed.
const char kNewVersion[] = "2.0";
const char kOldVersion[] = "1.0";
// The exit code of a child killed at its pause point.
const int kKilledExit = 86;

struct Verdict {
    bool ok = true;
    QString report;  // what failed, readable; empty when ok
    int starts = 0;  // how many starts of the updater the case took
    QString outcome; // which release the folder holds at the end, for the statistics
    QString skipped; // why this build did not run the case, or empty
};

class Simulation
{
public:
    // Cases run in folders below `workRoot`; a loopback server of the simulation's own serves
    // every case's list and files.
    explicit Simulation(const QString& workRoot);
    ~Simulation();

    Verdict run(const Case& c);

    // The updater's own file name in the simulated folder (lists may name it).
    static QString ownFileName();

private:
    // The test server keeps a thread per connection until it goes: a fresh one every so many
    // cases keeps this process (which every start forks) small.
    std::unique_ptr<TestServer> m_server;
    QString m_root;
    int m_next = 0;
};

// Reads `folder` into a tree without following links, leaving out the updater's own
// bookkeeping (Application/Updates and the log) when `bookkeeping` is false.
Tree snapshot(const QString& folder, bool bookkeeping);

}  // namespace sim

// Makes a failing simulation case smaller without rapidcheck: drops one line of the case at a
// time (an old path, a list entry, a kill, the damage, the second updater) and keeps the
// smaller case while it still fails the same way. rapidcheck's own shrinking changes the drawn
// numbers; this removes what the drawing derived from them.
#pragma once

#include "simcase.h"
#include "simrun.h"

namespace sim {

// The first line of a failure's report: what kind of failure it is.
QString failureKind(const Verdict& v);

// The smallest case reached from `c` (which fails) that still fails with the same kind.
Case minimize(Simulation& simulation, const Case& c, int maxRuns = 400);

}  // namespace sim

// Replays simulation cases written down as files (see simcase.h), without rapidcheck.
#pragma once

#include "simrun.h"

#include <QString>

namespace sim {

// Runs the case in `file` and prints how it went; 0 when it holds (or this build skips it).
int replayFile(Simulation& simulation, const QString& file);

// Runs every *.case of `folder`. A case whose text holds a line "# known failure: ..." (or, in
// the Windows build, "# known failure on windows: ...") must fail: it records a fault that is
// not mended yet, and once it holds the mark goes. Every other case must hold. A case this build
// cannot run, or whose "# needs: streams|short-names" this file system lacks, is skipped with
// the reason.
int replayFolder(Simulation& simulation, const QString& folder);

}  // namespace sim

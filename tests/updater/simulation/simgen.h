// Draws simulation cases with rapidcheck. Every choice shrinks towards the simplest case: fewer
// paths, files rather than folders, no odd entries, no kill, no damage, one updater, the list in order.
#pragma once

#include "simcase.h"

namespace sim {

struct GenOptions {
    // The damage drawn between runs (none: no damage at all).
    QList<Damage> damages;
    QString ownFileName;       // the updater's own file, which lists may name
    // Other users' objects in the updater's places after the first start.
    bool hostile = false;
    // A power cut after the last start, under one of these file system models (none: no cut).
    QList<FsModel> powerCuts;
};

// Why the hostile cases never draw this object in this place (a kept case holds it), or "".
QString notDrawnBecause(HostilePlace place, HostileObject object);

// Draws one case inside a rapidcheck property.
Case drawCase(const GenOptions& options);

}  // namespace sim

// Draws simulation cases with rapidcheck. Every choice shrinks towards the simplest case: fewer
// paths, files rather than folders, no odd entries, no kill, no damage, one updater, the list in order.
#pragma once

#include "simcase.h"

namespace sim {

struct GenOptions {
    // The damage drawn between runs (none: no damage at all).
    QList<Damage> damages;
    QString ownFileName;       // the updater's own file, which lists may name
};

// Draws one case inside a rapidcheck property.
Case drawCase(const GenOptions& options);

}  // namespace sim

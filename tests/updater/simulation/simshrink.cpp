#include "simshrink.h"

#include <functional>

namespace sim {

QString failureKind(const Verdict& v)
{
    const QString first = v.report.section(QLatin1Char('\n'), 0, 0);
    // The kind, without the numbers and names of this case.
    return first.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0);
}

Case minimize(Simulation& simulation, const Case& c, int maxRuns)
{
    const Verdict first = simulation.run(c);
    if (first.ok) return c;
    const QString kind = failureKind(first);
    Case best = c;
    int runs = 0;
    auto stillFails = [&](const Case& candidate) {
        if (runs++ >= maxRuns) return false;
        const Verdict v = simulation.run(candidate);
        return !v.ok && failureKind(v) == kind;
    };
    // Each way of making the case smaller, tried in turn until none helps.
    const QList<std::function<bool(Case&, int)>> cuts = {
        [](Case& x, int i) { if (i >= x.list.size()) return false; x.list.removeAt(i); return true; },
        [](Case& x, int i) {
            if (i >= x.oldRelease.size()) return false;
            const QString key = (x.oldRelease.cbegin() + i).key();
            for (auto it = x.oldRelease.begin(); it != x.oldRelease.end();) {
                if (it.key() == key || it.key().startsWith(key + QLatin1Char('/'))) it = x.oldRelease.erase(it);
                else ++it;
            }
            return true;
        },
        [](Case& x, int i) { if (i >= x.recoveryKills.size()) return false; x.recoveryKills.removeAt(i); return true; },
        [](Case& x, int i) { if (i > 0 || !x.concurrentAtDownload) return false; x.concurrentAtDownload = 0; return true; },
        [](Case& x, int i) { if (i > 0 || !x.concurrentAtStep) return false; x.concurrentAtStep = 0; return true; },
        [](Case& x, int i) { if (i > 0 || x.killAtDownload == 0) return false; x.killAtDownload = 0; return true; },
        [](Case& x, int i) { if (i > 0 || x.killAtStep <= 1) return false; --x.killAtStep; return true; },
        [](Case& x, int i) { if (i > 0 || x.damage == Damage::None) return false; x.damage = Damage::None; x.damageParam = 0; return true; },
        [](Case& x, int i) { if (i > 0 || x.damageParam == 0) return false; x.damageParam = 0; return true; },
        [](Case& x, int i) {
            if (i >= x.list.size() || x.list.at(i).kind != ListEntry::Download || !x.list.at(i).digest) return false;
            x.list[i].digest = false;
            return true;
        },
    };
    for (bool progress = true; progress && runs < maxRuns;) {
        progress = false;
        for (const auto& cut : cuts) {
            for (int i = 0;; ++i) {
                Case candidate = best;
                if (!cut(candidate, i)) break;
                if (stillFails(candidate)) {
                    best = candidate;
                    progress = true;
                    --i;  // the same position holds the next element now
                }
            }
        }
    }
    return best;
}

}  // namespace sim

#include "engine/targettracking.h"

#include "engine/cycle.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace trklib {

namespace {
constexpr double minTargetRcs = -5.0; // dB
} // namespace

QVector<Candidate> TargetTracking::createCandidates(const QVector<RadarDataMax>& maxima)
{
    QVector<Candidate> candidates;
    if (maxima.size() > maxMaximaPerCycle)
        return candidates;
    candidates.reserve(maxima.size());
    for (const RadarDataMax& max : maxima)
        candidates.append(Candidate(&radarConfig_, max, noiseLevel_));
    return candidates;
}

// A new target needs a detection in two consecutive packets: each leftover
// candidate of the previous cycle, moved on to now, takes the current
// candidates inside its gates (earlier ones first). A match with a cell
// index beyond +-1 and an RCS above -5 dB becomes a target. What is taken is
// consumed either way; the rest stays, strongest first, for the next cycle.
QVector<Target> TargetTracking::createTargets(QVector<Candidate>& previousCandidates,
                                              QVector<Candidate>& currentCandidates)
{
    QVector<Target> targets;
    if (currentCandidates.isEmpty() || previousCandidates.isEmpty())
        return targets;

    for (Candidate& p : previousCandidates) {
        p.predict(timeDelta_);
        const QVector<Candidate> selected = p.select(currentCandidates);
        if (!selected.isEmpty()) {
            p.refine(selected);
            const double rcs = p.calculateRcs();
            if (std::abs(p.index) > 1 && rcs > minTargetRcs)
                targets.append(Target(p));
        }
        if (currentCandidates.isEmpty())
            break;
    }
    std::sort(currentCandidates.begin(), currentCandidates.end(), std::greater<Candidate>());
    return targets;
}

} // namespace trklib

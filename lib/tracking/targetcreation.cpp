#include "engine/targettracking.h"

#include "engine/cycle.h"
#include "tracking/gating.h"

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
// Each leftover looks only at the current candidates near it (GatedPool),
// which is what select would find in the whole list.
QVector<Target> TargetTracking::createTargets(QVector<Candidate>& previousCandidates,
                                              QVector<Candidate>& currentCandidates)
{
    QVector<Target> targets;
    if (currentCandidates.isEmpty() || previousCandidates.isEmpty())
        return targets;

    CycleScratch& scratch = CycleScratch::local();
    GatedPool pool(currentCandidates, 0.0, scratch.gating);
    QVector<Candidate>& selected = scratch.selected;
    for (Candidate& p : previousCandidates) {
        p.predict(timeDelta_);
        selected.resize(0);
        pool.takeOut(
            p.distance,
            [&p](const Candidate& c, const GateErrors& e) { return insideCandidateGate(p, c, e); },
            [&selected](const Candidate& c) { selected.append(c); });
        if (!selected.isEmpty()) {
            p.refine(selected);
            const double rcs = p.calculateRcs();
            if (std::abs(p.index) > 1 && rcs > minTargetRcs) {
                // Room for as many targets as could be made, at the first.
                if (targets.isEmpty())
                    targets.reserve(std::min(previousCandidates.size(), currentCandidates.size()));
                targets.append(Target(p));
            }
        }
        if (pool.remaining() == 0)
            break;
    }
    pool.close();
    std::sort(currentCandidates.begin(), currentCandidates.end(), std::greater<Candidate>());
    return targets;
}

} // namespace trklib

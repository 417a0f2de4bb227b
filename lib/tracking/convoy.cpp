#include "engine/targettracking.h"

#include "engine/cycle.h"
#include "tracking/gating.h"

#include <algorithm>

namespace trklib {

// One tracking cycle. Candidates split by the sign of their axial velocity
// into two streams that never exchange candidates or targets; each stream
// updates its targets, makes new ones from its previous leftovers, merges
// them in, and keeps what nobody took for the next cycle.
void TargetTracking::algorithmConvoy(const QVector<RadarDataMax>& maxima)
{
    // The candidates go straight into their streams, without a list of all
    // of them first (createCandidates); the streams' lists are reused.
    CycleScratch& scratch = CycleScratch::local();
    QVector<Candidate>& negatives = scratch.negatives;
    QVector<Candidate>& positives = scratch.positives;
    negatives.resize(0);
    positives.resize(0);
    if (maxima.size() <= maxMaximaPerCycle) {
        for (const RadarDataMax& max : maxima) {
            const Candidate c(&radarConfig_, max, noiseLevel_);
            (c.absVelocity < 0.0 ? negatives : positives).append(c); // NaN goes to the positives
        }
    }

    struct Stream
    {
        QVector<Target>& targets;
        QVector<Candidate>& leftovers;
        QVector<Candidate>& current;
    };
    for (const Stream& s : {Stream{negativeTargets_, negativeCandidates_, negatives},
                            Stream{positiveTargets_, positiveCandidates_, positives}}) {
        matchCandidates(s.targets, s.current);
        const QVector<Target> newTargets = createTargets(s.leftovers, s.current);
        checkTargets(newTargets, s.targets);
        // The current candidates are the next leftovers; the old leftovers'
        // list is emptied and refilled in the next cycle.
        s.leftovers.swap(s.current);
    }
}

// Greedy, first-come assignment in list order (oldest targets first): a
// candidate goes to the first target whose position gate contains it. Each
// target looks only at the candidates near it (GatedPool), which is what
// select would find in the whole pool.
void TargetTracking::matchCandidates(QVector<Target>& targets, QVector<Candidate>& candidates)
{
    const Target::NumberScope numbering(lastTargetNumber_);
    if (targets.isEmpty())
        return;
    CycleScratch& scratch = CycleScratch::local();
    GatedPool pool(candidates, neighbourDistanceGateM, scratch.gating);
    QVector<Candidate>& selected = scratch.selected;
    for (Target& t : targets) {
        t.predict(timeDelta_);
        selected.resize(0);
        pool.takeOut(
            t.distance,
            [&t](const Candidate& c, const GateErrors& e) { return insideTargetGate(t, c, e); },
            [&t, &selected](const Candidate& c) {
                if (insideVelocityGate(t, c))
                    selected.append(c);
            });
        t.refine(selected);
    }
    pool.close();
    targets.erase(std::remove_if(targets.begin(), targets.end(),
                                 [](const Target& t) { return t.isInvalid(); }),
                  targets.end());
}

} // namespace trklib

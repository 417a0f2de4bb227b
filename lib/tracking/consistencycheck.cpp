#include "engine/targettracking.h"

#include "engine/cycle.h"
#include "util/util.h"

#include <cmath>
#include <cstdlib>

namespace trklib {

namespace {
constexpr double mergeAlongM = 4.0;
constexpr double mergeAcrossM = 2.5;
constexpr double velocityLimitKph = 1.0;
constexpr double sideBySideAlongM = 6.0;
constexpr double sideBySideAcrossM = 2.0;
constexpr double sameObjectVelocityKph = 0.2;
constexpr int sameObjectCells = 1;
constexpr double sameObjectAcrossM = 2.0;

// Horizontal-plane position: x along the boresight, y across it.
double alongM(const Target& t)
{
    return t.distance * util::cosd(t.azimuth) * util::cosd(t.elevation);
}

double acrossM(const Target& t)
{
    return t.distance * util::sind(t.azimuth) * util::cosd(t.elevation);
}

// A new target as the one measurement that refines an existing one, in a
// list that keeps its capacity.
QVector<Candidate>& asMeasurement(const Target& n)
{
    QVector<Candidate>& view = CycleScratch::local().singleView;
    view.resize(0);
    view.append(static_cast<const Candidate&>(n));
    return view;
}
} // namespace

// A new target close to an existing one is a second view of that object: it
// updates, confirms or hands its state to the existing target instead of
// being added. New targets are taken from the last to the first, and those
// appended earlier in this call are compared too.
void TargetTracking::checkTargets(const QVector<Target>& newTargets, QVector<Target>& targets)
{
    const Target::NumberScope numbering(lastTargetNumber_);
    for (int k = newTargets.size() - 1; k >= 0; --k) {
        const Target& n = newTargets[k];
        if (targets.isEmpty()) {
            targets.append(n);
            continue;
        }
        const double xN = alongM(n);
        const double yN = acrossM(n);
        const double vN = util::mpsToKph(n.absVelocity);
        bool consumed = false;
        for (int j = 0; j < targets.size() && !consumed; ++j) {
            Target& t = targets[j];
            const double xT = alongM(t);
            const double yT = acrossM(t);
            const double vT = util::mpsToKph(t.absVelocity);
            const double dx = std::fabs(xN - xT);
            const double dy = yN - yT;
            const double dv = std::fabs(vN - vT);

            if (dx < mergeAlongM && std::fabs(dy) < mergeAcrossM) {
                t.refine(asMeasurement(n));
                consumed = true;
                continue;
            }
            if (dv > velocityLimitKph)
                continue;
            if (dx < sideBySideAlongM && std::fabs(dy) > sideBySideAcrossM) {
                // The state that survives is the one with the larger |index|
                // and the smaller y.
                if (std::abs(t.index) > std::abs(n.index) && yN > yT) {
                    t.setStatus(Target::Confirmed);
                    consumed = true;
                    continue;
                }
                if (std::abs(t.index) < std::abs(n.index) && yT > yN) {
                    t.swap(n);
                    consumed = true;
                    continue;
                }
            }
            if (dv < sameObjectVelocityKph && std::abs(n.index - t.index) <= sameObjectCells &&
                std::fabs(dy) < sameObjectAcrossM) {
                // Give back the score the misses before this merge took.
                const qint32 misses = t.missCount_;
                t.refine(asMeasurement(n));
                t.score_ = t.score_ + misses;
                consumed = true;
            }
        }
        if (!consumed)
            targets.append(n);
    }
}

} // namespace trklib

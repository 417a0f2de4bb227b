#include "engine/targettracking.h"

#include "engine/cycle.h"
#include "util/util.h"

#include <cmath>
#include <cstdlib>
#include <vector>

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

// Horizontal-plane position, x along the boresight and y across it, and the
// velocity in km/h; the cosine of the elevation serves both coordinates.
GroundView groundView(const Target& t)
{
    const double cosElevation = util::cosd(t.elevation);
    return GroundView{t.distance * util::cosd(t.azimuth) * cosElevation,
                      t.distance * util::sind(t.azimuth) * cosElevation,
                      util::mpsToKph(t.absVelocity)};
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
//
// A target's place on the ground and its velocity are worked out once, when
// first compared, and again only after it changed: they are the same
// numbers the comparison of every pair would work out anew.
void TargetTracking::checkTargets(const QVector<Target>& newTargets, QVector<Target>& targets)
{
    if (newTargets.isEmpty())
        return;
    const Target::NumberScope numbering(lastTargetNumber_);
    CycleScratch& scratch = CycleScratch::local();
    std::vector<GroundView>& views = scratch.groundViews;
    std::vector<char>& known = scratch.groundViewKnown;
    views.resize(size_t(targets.size()));
    known.assign(size_t(targets.size()), 0);
    const auto addTarget = [&](const Target& n, const GroundView* view) {
        targets.append(n);
        views.push_back(view ? *view : GroundView{});
        known.push_back(view ? 1 : 0);
    };
    for (int k = newTargets.size() - 1; k >= 0; --k) {
        const Target& n = newTargets[k];
        if (targets.isEmpty()) {
            addTarget(n, nullptr);
            continue;
        }
        const GroundView viewN = groundView(n);
        const double xN = viewN.x;
        const double yN = viewN.y;
        const double vN = viewN.v;
        bool consumed = false;
        for (int j = 0; j < targets.size() && !consumed; ++j) {
            Target& t = targets[j];
            if (!known[size_t(j)]) {
                views[size_t(j)] = groundView(t);
                known[size_t(j)] = 1;
            }
            const double xT = views[size_t(j)].x;
            const double yT = views[size_t(j)].y;
            const double vT = views[size_t(j)].v;
            const double dx = std::fabs(xN - xT);
            const double dy = yN - yT;
            const double dv = std::fabs(vN - vT);

            if (dx < mergeAlongM && std::fabs(dy) < mergeAcrossM) {
                t.refine(asMeasurement(n));
                known[size_t(j)] = 0;
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
                    known[size_t(j)] = 0;
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
                known[size_t(j)] = 0;
                consumed = true;
            }
        }
        if (!consumed)
            addTarget(n, &viewN);
    }
}

} // namespace trklib

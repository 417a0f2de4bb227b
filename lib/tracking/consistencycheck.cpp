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
                      util::mpsToKph(t.absVelocity), true};
}

// Whether a rule of checkTargets can take the pair. Two targets more than
// velocityLimitKph apart can only merge, which needs them close on the
// ground; that answers most pairs of a scene full of targets in three
// comparisons. A NaN velocity difference is not "apart": it goes on to
// every rule, as in the rules themselves.
bool mayMeet(const GroundView& n, const GroundView& t)
{
    if (std::fabs(n.v - t.v) > velocityLimitKph)
        return std::fabs(n.x - t.x) < mergeAlongM && std::fabs(n.y - t.y) < mergeAcrossM;
    return true;
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
    std::vector<GroundView>& views = CycleScratch::local().groundViews;
    views.assign(size_t(targets.size()), GroundView{});
    // Room for every new target at once rather than growing one by one.
    targets.reserve(targets.size() + newTargets.size());
    views.reserve(views.size() + size_t(newTargets.size()));
    const auto addTarget = [&](const Target& n, const GroundView& view) {
        targets.append(n);
        views.push_back(view);
    };
    for (int k = newTargets.size() - 1; k >= 0; --k) {
        const Target& n = newTargets[k];
        if (targets.isEmpty()) {
            addTarget(n, GroundView{});
            continue;
        }
        const GroundView viewN = groundView(n);
        const double xN = viewN.x;
        const double yN = viewN.y;
        const double vN = viewN.v;
        Target* const all = targets.data();
        const size_t count = size_t(targets.size());
        bool consumed = false;
        for (size_t j = 0; j < count && !consumed; ++j) {
            GroundView& viewT = views[j];
            if (!viewT.known)
                viewT = groundView(all[j]);
            if (!mayMeet(viewN, viewT))
                continue;
            Target& t = all[j];
            const double xT = viewT.x;
            const double yT = viewT.y;
            const double vT = viewT.v;
            const double dx = std::fabs(xN - xT);
            const double dy = yN - yT;
            const double dv = std::fabs(vN - vT);

            if (dx < mergeAlongM && std::fabs(dy) < mergeAcrossM) {
                t.refine(asMeasurement(n));
                viewT.known = false;
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
                    viewT.known = false;
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
                viewT.known = false;
                consumed = true;
            }
        }
        if (!consumed)
            addTarget(n, viewN);
    }
}

} // namespace trklib

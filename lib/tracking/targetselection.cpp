#include "tracking/target.h"

#include "tracking/candidatepool.h"
#include "tracking/gating.h"
#include "util/util.h"

#include <cmath>
#include <cstdlib>

namespace trklib {

namespace {
constexpr double velocityGateMps = 0.4166666666666667;      // 1.5 km/h
constexpr double velocityAgreementMps = 0.1388888888888889; // 0.5 km/h, on half the difference
constexpr double largeAngleDeg = 10.0;
constexpr qint32 missesBeforeReinit = 2;
constexpr double azimuthCorrectionLimitDeg = 2.0;
constexpr double minHeightM = -0.5; // exclusive
constexpr double maxHeightM = 4.0;  // inclusive

// filterCandidates for one candidate: whether it stays, with its angle
// derived again where that applies.
bool passesFilter(Target& target, Candidate& c)
{
    const double e = std::fabs(c.elevation);
    const double a = std::fabs(c.azimuth);
    if (e >= largeAngleDeg && a < largeAngleDeg)
        return target.checkCorrected(c, Target::Elevation);
    if (a >= largeAngleDeg && e < largeAngleDeg)
        return target.checkCorrected(c, Target::Azimuth);
    if (e >= largeAngleDeg && a >= largeAngleDeg)
        return target.checkCorrected(c, Target::Both);
    return std::fabs(target.absVelocity - c.absVelocity) < velocityGateMps;
}
} // namespace

// A NaN difference fails.
bool insideTargetGate(const Target& t, const Candidate& c, const GateErrors& errors)
{
    bool distanceOk = errors.distance >= std::fabs(c.distance - t.distance);
    const bool azimuthOk = errors.azimuth >= std::fabs(c.azimuth - t.azimuth);
    if (std::abs(c.index - t.index) <= 1 && azimuthOk && !distanceOk)
        distanceOk = neighbourDistanceGateM >= std::fabs(c.distance - t.distance);
    return distanceOk && azimuthOk;
}

// Every candidate inside the position gate leaves the pool, so no later
// target can use it; those that also pass the velocity gate are returned.
// The pool is partitioned in place.
QVector<Candidate> Target::select(QVector<Candidate>& pool)
{
    QVector<Candidate> selected;
    const auto inside = [this](const Candidate& c) {
        GateErrors errors;
        c.getCoordErrors(errors.distance, errors.elevation, errors.azimuth);
        return insideTargetGate(*this, c, errors);
    };
    takeOut(pool, inside, [this, &selected](const Candidate& c) {
        if (insideVelocityGate(*this, c))
            selected.append(c);
    });
    return selected;
}

bool insideVelocityGate(const Target& t, const Candidate& c)
{
    return std::fabs(t.absVelocity - c.absVelocity) <= velocityGateMps;
}

// Ends in exactly one setStatus: an update with the chosen candidate, or a miss.
void Target::refine(QVector<Candidate>& selected)
{
    if (selected.isEmpty()) {
        setStatus(Missed);
        setRcsStat(calculateRcs());
        return;
    }
    Candidate main = selected[getMainIndex(selected)];
    double v;
    if (missCount_ > missesBeforeReinit) {
        // Lost track of the velocity for too long: start the filters afresh
        // from this measurement, without a velocity test.
        velocityGain_ = 0.5;
        azimuthGain_ = 0.5;
        distanceGain_ = 0.5;
        elevationGain_ = 0.5;
        absVelocity = main.absVelocity;
        v = main.absVelocity;
    } else {
        bool found = false;
        v = sortOut(selected, main, found);
        if (!found) {
            setStatus(Missed);
            setRcsStat(calculateRcs());
            return;
        }
    }
    setStatus(Confirmed);
    absVelocity = v;
    kalman(main);
    index = main.index;
    amplitude = main.amplitude;
    setRcsStat(main.calculateRcs());
}

// Tries the candidates in the order getMainIndex picks them and takes the
// first whose velocity agrees with the target's, or that survives the angle
// check. Tried candidates leave the list.
double Target::sortOut(QVector<Candidate>& candidates, Candidate& chosen, bool& found)
{
    found = false;
    const double vT = absVelocity;
    double result = 0.0;
    while (!candidates.isEmpty()) {
        const int k = getMainIndex(candidates);
        chosen = candidates[k];
        candidates.remove(k);
        const double vC = chosen.absVelocity;
        if (std::fabs((vT - vC) * 0.5) < velocityAgreementMps) {
            found = true;
            result = (vT + vC) * 0.5;
            break;
        }
        Candidate corrected = chosen;
        if (passesFilter(*this, corrected)) {
            chosen = corrected;
            found = true;
            result = vC;
            break;
        }
    }
    if (found)
        absVelocity = result;
    return result;
}

// A candidate seen at a large angle has that angle derived again from the
// target's velocity and stays only if the derived angle is plausible; one at
// small angles stays only if its velocity agrees with the target's.
void Target::filterCandidates(QVector<Candidate>& candidates)
{
    for (int i = candidates.size() - 1; i >= 0; --i) {
        if (!passesFilter(*this, candidates[i]))
            candidates.remove(i);
    }
}

// relVelocity = absVelocity * cosd(elevation) * cosd(azimuth): with the
// target's velocity and one angle, the other angle follows.
bool Target::checkCorrected(Candidate& candidate, const Angles& angles)
{
    const double vT = absVelocity;
    Candidate& c = candidate;
    switch (angles) {
    case Elevation: {
        const double ratio = c.relVelocity / util::cosd(c.azimuth) / vT;
        if (ratio > 1.0 || std::isnan(ratio))
            return false;
        double el = util::acosd(ratio);
        if (c.elevation < 0)
            el = -el;
        const double z = c.distance * util::sind(el) * util::cosd(c.azimuth) + config->height;
        if (!(minHeightM < z && z <= maxHeightM))
            return false;
        c.elevation = el;
        c.updateAbsVelocity();
        return true;
    }
    case Azimuth: {
        const double ratio = c.relVelocity / util::cosd(c.elevation) / vT;
        if (ratio > 1.0 || std::isnan(ratio))
            return false;
        double az = util::acosd(ratio);
        if (c.azimuth < 0)
            az = -az;
        if (!(std::fabs(c.azimuth - az) <= azimuthCorrectionLimitDeg))
            return false;
        c.azimuth = az;
        c.updateAbsVelocity();
        return true;
    }
    case Both: {
        const Angles first = std::fabs(c.elevation) > std::fabs(c.azimuth) ? Elevation : Azimuth;
        const Angles second = first == Elevation ? Azimuth : Elevation;
        Candidate firstCopy = c;
        Candidate secondCopy = c;
        const bool firstOk = checkCorrected(firstCopy, first);
        const bool secondOk = checkCorrected(secondCopy, second);
        if (firstOk) {
            c = firstCopy;
            return true;
        }
        if (secondOk) {
            c = secondCopy;
            return true;
        }
        return false;
    }
    }
    return false;
}

} // namespace trklib

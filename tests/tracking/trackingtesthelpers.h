#pragma once

#include "tracking/candidate.h"
#include "tracking/target.h"
#include "util/util.h"

#include <cmath>

namespace trklib::test {

constexpr double noiseLevelDb = -80.0;

// A candidate with every field set directly, without the mounting transform
// of the constructor. relVelocity follows from absVelocity and the angles.
inline Candidate makeCandidate(RadarConfig* config, qint32 index, qint32 amplitude,
                               double distanceM, double absVelocityMps, double azimuthDeg = 0.0,
                               double elevationDeg = 0.0)
{
    Candidate c;
    c.config = config;
    c.index = index;
    c.amplitude = amplitude;
    c.distance = distanceM;
    c.azimuth = azimuthDeg;
    c.elevation = elevationDeg;
    c.absVelocity = absVelocityMps;
    c.relVelocity = absVelocityMps * util::cosd(elevationDeg) * util::cosd(azimuthDeg);
    c.noiseLevel = noiseLevelDb;
    return c;
}

// A target at horizontal-plane position (x, y) metres, elevation 0, with a
// velocity given in km/h.
inline Target placedTarget(RadarConfig* config, double xM, double yM, qint32 index,
                           double velocityKph)
{
    const double distance = std::hypot(xM, yM);
    const double azimuth = util::atand(yM / xM);
    return Target(
        makeCandidate(config, index, -40, distance, util::kphToMps(velocityKph), azimuth));
}

// A numbered target in the given status, as if it had been tracked for a while.
inline Target numberedTarget(const Candidate& candidate, qint32 number, qint32 score,
                             Target::Status status = Target::Confirmed)
{
    Target t(candidate);
    t.number_ = number;
    t.score_ = score;
    t.status_ = status;
    return t;
}

// One scalar filter step written out independently of the library: the
// estimate moves with the gain held on entry, the gain follows from the
// residual of the moved estimate.
inline double filterStep(double measurement, double estimate, double measurementNoise,
                         double processNoise, double& gain)
{
    const double updated = (1 - gain) * estimate + gain * measurement;
    const double residual = updated - measurement;
    gain = (processNoise * processNoise + gain * residual * residual) /
           (measurementNoise * measurementNoise + processNoise * processNoise +
            gain * residual * residual);
    return updated;
}

} // namespace trklib::test

#pragma once

#include "tracking/candidate.h"
#include "tracking/target.h"
#include "util/util.h"

#include <cmath>

namespace trklib::test {

constexpr double noiseLevelDb = -80.0;

// A candidate with every field set directly, bypassing the mounting transform;
// relVelocity follows from absVelocity and the angles.
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
// estimate moves with the gain held on entry, then the gain is recomputed
// from the residual of the moved estimate.
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

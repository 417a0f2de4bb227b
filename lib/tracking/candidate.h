#pragma once

#include "detection/radardatamax.h"
#include "interface/targettrackinginterface.h"

#include <QVector>

namespace trklib {

// One detection of one packet, placed in the mounting frame: tilt and pan
// applied, a ground reflection mirrored above the ground line, and the
// velocity along the mounting axis derived from the radial one.
// Angles in degrees, distances in metres, velocities in m/s, levels in dB.
class Candidate
{
public:
    Candidate() = default;
    Candidate(RadarConfig* config, RadarDataMax max, double noiseLevel);

    void updateAbsVelocity();
    // Gate half-widths from this candidate's own signal-to-noise ratio and range.
    void getCoordErrors(double& distanceError, double& elevationError, double& azimuthError) const;
    // Moves the candidate on by elapsedMs at constant radial velocity.
    void predict(long elapsedMs);
    double calculateRcs() const;
    // Position of the measurement in list that should update this candidate.
    int getMainIndex(const QVector<Candidate>& list) const;
    // Fixed-gain blend of a measurement into distance and radial velocity.
    void kalman(const Candidate& measurement, int n);
    void refine(const QVector<Candidate>& list);
    // Takes out of pool, and returns, every entry inside its own gates around
    // this candidate.
    QVector<Candidate> select(QVector<Candidate>& pool) const;

    // Amplitude alone orders candidates.
    bool operator>(const Candidate& other) const { return amplitude > other.amplitude; }

    RadarConfig* config = nullptr; // the engine's configuration, not owned
    qint32 index = 0;
    qint32 amplitude = 0;
    double elevation = 0.0;
    double azimuth = 0.0;
    double distance = 0.0;
    double relVelocity = 0.0;
    double absVelocity = 0.0;
    double noiseLevel = 0.0;
};

} // namespace trklib

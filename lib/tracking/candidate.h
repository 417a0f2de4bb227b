#pragma once

#include "detection/radardatamax.h"
#include "interface/targettrackinginterface.h"

#include <QVector>

namespace trklib {

/// One detection of one packet, placed in the mounting frame: tilt and pan
/// applied, a ground reflection mirrored above the ground line, and the
/// velocity along the mounting axis derived from the radial one.
/// Angles in degrees, distances in metres, velocities in m/s, levels in dB.
class Candidate
{
public:
    /// An empty candidate without a configuration.
    Candidate() = default;
    /// The detection max placed in the mounting frame of config (which must
    /// outlive the candidate); noiseLevel in dB.
    Candidate(RadarConfig* config, RadarDataMax max, double noiseLevel);

    /// Derives absVelocity from relVelocity, the elevation and the azimuth.
    void updateAbsVelocity();
    /// Gate half-widths from this candidate's own signal-to-noise ratio and range.
    void getCoordErrors(double& distanceError, double& elevationError, double& azimuthError) const;
    /// Moves the candidate on by elapsedMs at constant radial velocity.
    void predict(long elapsedMs);
    /// Radar cross-section, dB, from range, amplitude and the antenna pattern.
    double calculateRcs() const;
    /// Position of the measurement in list that should update this candidate.
    int getMainIndex(const QVector<Candidate>& list) const;
    /// Fixed-gain blend of a measurement into distance and radial velocity.
    void kalman(const Candidate& measurement, int n);
    /// Updates this candidate with the measurement of list that
    /// getMainIndex picks, and takes its cell index.
    void refine(const QVector<Candidate>& list);
    /// Takes out of pool, and returns, every entry inside its own gates around
    /// this candidate.
    QVector<Candidate> select(QVector<Candidate>& pool) const;

    /// Amplitude alone orders candidates.
    bool operator>(const Candidate& other) const { return amplitude > other.amplitude; }

    RadarConfig* config = nullptr; ///< the engine's configuration, not owned
    qint32 index = 0;              ///< signed cell index
    qint32 amplitude = 0;          ///< dB
    double elevation = 0.0;        ///< degrees, tilt applied
    double azimuth = 0.0;          ///< degrees, pan applied
    double distance = 0.0;         ///< metres, slant range
    double relVelocity = 0.0;      ///< m/s, radial, positive when the distance grows
    double absVelocity = 0.0;      ///< m/s, along the mounting axis
    double noiseLevel = 0.0;       ///< dB
};

} // namespace trklib

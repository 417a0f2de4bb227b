#pragma once

#include "tools/common/sim/scene.h"
#include "tools/common/sim/simrandom.h"

#include "input/radarpacketdata.h"
#include "input/wireformat.h"
#include "interface/targettrackinginterface.h"

#include <QVector>

namespace trklib::sim {

// Where an object lies as the radar sees it, without measurement noise.
struct LineOfSight
{
    double distanceM = 0.0;       // slant range from the antenna
    double elevationDeg = 0.0;    // ground frame: above the horizontal
    double azimuthDeg = 0.0;      // ground frame: from +x towards +y
    double offElevationDeg = 0.0; // relative to the boresight: elevation - tilt
    double offAzimuthDeg = 0.0;   // relative to the boresight: azimuth - pan
    double radialMps = 0.0;       // positive when the distance grows
    bool inBeam = false;
};

// One object that the radar sees in one packet, as the truth file lists it.
struct Sighting
{
    ObjectState object;
    LineOfSight sight;
    int cell = 0;      // signed: negative for an approaching object
    int amplitude = 0; // dB, as written (before a stronger reflector may take the cell)
};

struct SensorFrame
{
    RadarPacketData packet;
    QVector<Sighting> sightings;
};

// The radar's view of a scene, one packet at a time.
//
// Every cell is a Doppler bin of cellWidthKph: an object whose radial speed
// is |v| km/h lands in cell round(|v| / 0.25) and writes into that cell its
// measured distance, angles (radar frame: tilt, pan and pan offset taken
// off, the arrays exchanged for vertical mounting) and radial velocity, the
// sign of the velocity telling the direction. Its amplitude is chosen so that
// the tracker's RCS estimate (20 log10 d + amplitude + 0.1 b^2 + 0.05 a^2 +
// 13, a and b the angles off the boresight, exchanged for vertical mounting)
// gives back the object's radar cross-section, within a decibel or so of
// fluctuation. The peak spills into its two neighbouring bins, 9 dB down,
// and a strong peak (from -29 dB, above cell 20) shows harmonics at 2 to 5
// times its cell. When two reflectors fall into one cell the stronger one
// is written. All other cells carry noise between -95 and -80 dB, but for
// a given number of false alarms per packet: noise cells raised to between
// -68 and -55 dB, above the tracker's detection threshold.
class SensorModel
{
public:
    static constexpr double cellWidthKph = 0.25;
    static constexpr double minRangeM = 12.0;
    static constexpr double maxRangeM = 300.0;
    // Beam half-widths off the boresight for horizontal mounting; vertical
    // mounting exchanges them, as it exchanges the antenna's axes.
    static constexpr double beamHalfWidthAzimuthDeg = 12.0;
    static constexpr double beamHalfWidthElevationDeg = 15.0;

    // The mounting means what it means to the library: tilt is added to the
    // radar's elevation and pan (after the pan offset) to its azimuth to
    // give angles in the ground frame; vertical mounting exchanges the
    // elevation and azimuth arrays.
    SensorModel(const RadarConfig& mounting, quint64 seed);

    // False alarms in every packet from now on; 0 at first.
    void setFalseAlarms(int perPacket) { falseAlarms_ = perPacket; }
    // Every distance reported this much longer than the true one, metres,
    // as by a radar whose range is off; 0 at first. The beam and the
    // amplitude keep to the true distance.
    void setRangeBias(double metres) { rangeBiasM_ = metres; }

    LineOfSight look(const ObjectState& object) const;
    // The amplitude at which the tracker's RCS estimate equals rcsDbsm.
    double amplitudeFor(double rcsDbsm, const LineOfSight& sight) const;
    SensorFrame observe(const QVector<ObjectState>& objects, qint64 timestampMs);
    // What an object of a fluctuating kind (swerlingDof > 0) adds to its
    // mean cross-section in one packet, dB: its aspect's gain, broadside
    // above head-on and zero on average over all sides, and a draw of the
    // chi-square fluctuation (of mean power 1) from the fluctuation's own
    // stream. 0 for the steady kinds of the single-radar scenes, without a
    // draw.
    double reflectivityDb(const ObjectState& object);
    // The aspect's gain alone: broadsideGainDb (sin^2 of the angle between
    // the heading and the line of sight - 1/2).
    static double aspectGainDb(const ObjectState& object);

private:
    struct Echo // one contribution to a cell
    {
        int cell = 0;
        int amplitude = 0;
        float velocityKph = 0.0f;
        float distanceM = 0.0f;
        float elevationDeg = 0.0f; // radar frame, before the exchange for vertical mounting
        float azimuthDeg = 0.0f;
    };

    RadarPacketData noisePacket(qint64 timestampMs);
    void write(RadarPacketData& packet, QVector<bool>& taken, const Echo& echo);

    RadarConfig mounting_;
    SimRandom random_;
    SimRandom fluctuation_; // apart from random_, whose draws the steady scenes keep
    int falseAlarms_ = 0;
    double rangeBiasM_ = 0.0; // metres
};

} // namespace trklib::sim

#include "tools/common/sim/sensormodel.h"

#include "input/packetencoder.h"
#include "util/units.h"
#include "util/util.h"

#include <cmath>
#include <utility>

namespace trklib::sim {

using util::kphPerMps;

namespace {

// Measurement noise, one standard deviation.
constexpr double distanceNoiseM = 0.1;
constexpr double angleNoiseDeg = 0.1;
constexpr double velocityNoiseKph = 0.05;
constexpr double amplitudeNoiseDb = 1.0;

// Noise floor of the cells that hold no reflector.
constexpr int noiseMinDb = -95;
constexpr int noiseMaxDb = -80;
// False alarms: noise cells above the detection threshold.
constexpr int falseAlarmMinDb = -68;
constexpr int falseAlarmMaxDb = -55;

// A peak spills into each neighbouring Doppler bin this much weaker.
constexpr int spillLossDb = 9;

// Harmonics: from this amplitude and above this cell, at orders 2 to 5,
// the second order this much weaker than the peak and every further order
// a few decibels weaker again.
constexpr int harmonicMinAmplitudeDb = -29;
constexpr int harmonicMinCell = 20;
constexpr int harmonicMaxOrder = 5;
constexpr int harmonicLossDb = 10;
constexpr int harmonicLossPerOrderDb = 5;

// The fluctuation's stream of the sensor's seed.
constexpr quint64 fluctuationStream = 77;

constexpr double rcsConstantDb = 13.0;
constexpr double narrowAxisLossDbPerDeg2 = 0.1; // azimuth for horizontal mounting
constexpr double wideAxisLossDbPerDeg2 = 0.05;  // elevation for horizontal mounting

// An angle difference brought into [-180, 180).
double wrapDeg(double deg)
{
    return deg - 360.0 * std::floor((deg + 180.0) / 360.0);
}

int clampAmplitude(double db)
{
    return int(qBound(-127.0, std::round(db), 127.0));
}

} // namespace

SensorModel::SensorModel(const RadarConfig& mounting, quint64 seed)
    : mounting_(mounting), random_(seed), fluctuation_(streamSeed(seed, fluctuationStream))
{}

double SensorModel::aspectGainDb(const ObjectState& o)
{
    const double rangeM = std::hypot(o.x, o.y);
    if (rangeM <= 0.0)
        return 0.0;
    const double cosAspect = (o.headingX * o.x + o.headingY * o.y) / rangeM;
    return o.broadsideGainDb * (1.0 - cosAspect * cosAspect - 0.5);
}

double SensorModel::reflectivityDb(const ObjectState& o)
{
    if (o.swerlingDof <= 0)
        return 0.0;
    // A chi-square of 2k degrees of freedom with mean 1: the mean of k
    // exponentials of mean 1.
    const int k = qMax(1, o.swerlingDof / 2);
    double power = 0.0;
    for (int i = 0; i < k; ++i)
        power += fluctuation_.exponential(1.0);
    power /= k;
    return aspectGainDb(o) + 10.0 * std::log10(qMax(power, 1e-12));
}

LineOfSight SensorModel::look(const ObjectState& o) const
{
    LineOfSight s;
    const double dz = o.z - mounting_.height;
    const double horizontalM = std::hypot(o.x, o.y);
    s.distanceM = std::hypot(horizontalM, dz);
    s.elevationDeg = util::radToDeg(std::atan2(dz, horizontalM));
    s.azimuthDeg = util::radToDeg(std::atan2(o.y, o.x));
    s.offElevationDeg = s.elevationDeg - mounting_.tilt;
    s.offAzimuthDeg = wrapDeg(s.azimuthDeg - mounting_.pan);
    s.radialMps = s.distanceM > 0.0 ? (o.x * o.vx + o.y * o.vy) / s.distanceM : 0.0;

    double halfAzimuth = beamHalfWidthAzimuthDeg;
    double halfElevation = beamHalfWidthElevationDeg;
    if (mounting_.orientation == 1)
        std::swap(halfAzimuth, halfElevation);
    s.inBeam = s.distanceM >= minRangeM && s.distanceM <= maxRangeM &&
               std::abs(s.offElevationDeg) <= halfElevation &&
               std::abs(s.offAzimuthDeg) <= halfAzimuth;
    return s;
}

double SensorModel::amplitudeFor(double rcsDbsm, const LineOfSight& sight) const
{
    double a = sight.offElevationDeg;
    double b = sight.offAzimuthDeg;
    if (mounting_.orientation == 1)
        std::swap(a, b);
    return rcsDbsm - 20.0 * std::log10(sight.distanceM) - narrowAxisLossDbPerDeg2 * b * b -
           wideAxisLossDbPerDeg2 * a * a - rcsConstantDb;
}

RadarPacketData SensorModel::noisePacket(qint64 timestampMs)
{
    RadarPacketData packet = PacketEncoder::emptyPacket(timestampMs);
    for (int i = 0; i < wire::cellCount; ++i) {
        packet.amplitude[i] = static_cast<signed char>(random_.uniformInt(noiseMinDb, noiseMaxDb));
        const double sign = random_.chance(0.5) ? 1.0 : -1.0;
        packet.relVelocity[i] = float(sign * i * cellWidthKph);
        packet.distance[i] = float(random_.uniform(0.0, maxRangeM));
        packet.elevation[i] =
            float(random_.uniform(-beamHalfWidthElevationDeg, beamHalfWidthElevationDeg));
        packet.azimuth[i] =
            float(random_.uniform(-beamHalfWidthAzimuthDeg, beamHalfWidthAzimuthDeg));
        packet.phaseDiff[i] = short(random_.uniformInt(-512, 511));
    }
    for (int n = 0; n < falseAlarms_; ++n) {
        const int cell = random_.uniformInt(1, wire::cellCount - 1);
        packet.amplitude[cell] =
            static_cast<signed char>(random_.uniformInt(falseAlarmMinDb, falseAlarmMaxDb));
    }
    return packet;
}

void SensorModel::write(RadarPacketData& packet, QVector<bool>& taken, const Echo& echo)
{
    if (taken[echo.cell] && packet.amplitude[echo.cell] >= echo.amplitude)
        return; // the stronger reflector keeps the cell
    taken[echo.cell] = true;
    packet.amplitude[echo.cell] = static_cast<signed char>(echo.amplitude);
    packet.relVelocity[echo.cell] = echo.velocityKph;
    packet.distance[echo.cell] = echo.distanceM;
    if (mounting_.orientation == 1) {
        packet.elevation[echo.cell] = echo.azimuthDeg;
        packet.azimuth[echo.cell] = echo.elevationDeg;
    } else {
        packet.elevation[echo.cell] = echo.elevationDeg;
        packet.azimuth[echo.cell] = echo.azimuthDeg;
    }
}

SensorFrame SensorModel::observe(const QVector<ObjectState>& objects, qint64 timestampMs)
{
    SensorFrame frame;
    frame.packet = noisePacket(timestampMs);
    QVector<Echo> peaks;
    QVector<Echo> echoes; // spill and harmonics
    for (const ObjectState& o : objects) {
        const LineOfSight sight = look(o);
        if (!sight.inBeam)
            continue;
        const double velocityKph =
            sight.radialMps * kphPerMps + random_.gaussian(0.0, velocityNoiseKph);
        const int cell = int(std::lround(std::abs(velocityKph) / cellWidthKph));
        const double distanceM =
            sight.distanceM + random_.gaussian(0.0, distanceNoiseM) + rangeBiasM_;
        const double elevationDeg = sight.elevationDeg + random_.gaussian(0.0, angleNoiseDeg);
        const double azimuthDeg = sight.azimuthDeg + random_.gaussian(0.0, angleNoiseDeg);
        const double amplitudeDb = amplitudeFor(o.rcsDbsm, sight) +
                                   random_.gaussian(0.0, amplitudeNoiseDb) + reflectivityDb(o);
        // Zero Doppler and speeds beyond the last bin are not seen.
        if (cell < 1 || cell >= wire::cellCount)
            continue;
        const int sign = velocityKph < 0.0 ? -1 : 1;

        Echo peak;
        peak.cell = cell;
        peak.amplitude = clampAmplitude(amplitudeDb);
        peak.velocityKph = float(velocityKph);
        peak.distanceM = float(distanceM);
        peak.elevationDeg = float(elevationDeg - mounting_.tilt);
        peak.azimuthDeg = float(wrapDeg(azimuthDeg - mounting_.pan - mounting_.panOffset));
        peaks.append(peak);
        frame.sightings.append({o, sight, sign * cell, peak.amplitude});

        for (int neighbour : {cell - 1, cell + 1}) {
            if (neighbour < 1 || neighbour >= wire::cellCount)
                continue;
            Echo spill = peak;
            spill.cell = neighbour;
            spill.amplitude = clampAmplitude(peak.amplitude - spillLossDb);
            spill.velocityKph = float(sign * neighbour * cellWidthKph);
            echoes.append(spill);
        }
        if (peak.amplitude >= harmonicMinAmplitudeDb && cell > harmonicMinCell) {
            for (int order = 2; order <= harmonicMaxOrder && order * cell < wire::cellCount;
                 ++order) {
                Echo harmonic = peak;
                harmonic.cell = order * cell;
                harmonic.amplitude = clampAmplitude(peak.amplitude - harmonicLossDb -
                                                    harmonicLossPerOrderDb * (order - 2));
                harmonic.velocityKph = float(order * velocityKph);
                echoes.append(harmonic);
            }
        }
    }
    // Peaks first, so that a peak keeps its cell against an equally strong echo.
    QVector<bool> taken(wire::cellCount, false);
    for (const Echo& e : qAsConst(peaks))
        write(frame.packet, taken, e);
    for (const Echo& e : qAsConst(echoes))
        write(frame.packet, taken, e);
    return frame;
}

} // namespace trklib::sim

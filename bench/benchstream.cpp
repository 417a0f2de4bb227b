#include "bench/benchstream.h"

#include "tools/common/packetencoder.h"
#include "util/util.h"

#include <cmath>
#include <random>

namespace trklib::bench {

namespace {

constexpr double cellSizeM = 0.3; // range covered by one cell
constexpr qint64 packetPeriodMs = 50;
constexpr qint64 firstTimestampMs = 1700000000000;
constexpr double nearestDistanceM = 15.0;
constexpr double farthestDistanceM = 300.0;
constexpr int stationaryReflectorCells[] = {95, 410, 780};
constexpr int harmonicDropDb = 18;  // a harmonic's level below its fundamental
constexpr int strongObjectDb = -29; // from here on an object shows harmonics

struct SceneObject
{
    double distanceM;
    double velocityMps; // radial, positive when receding
    double azimuthDeg;
    double elevationDeg;
    int amplitudeDb;
};

class Scene
{
public:
    explicit Scene(unsigned seed) : random_(seed) {}

    SceneObject spawn(bool anywhere)
    {
        SceneObject o;
        const double speed = uniform(2.0, 20.0);
        const bool approaching = uniform(0.0, 1.0) < 0.5;
        o.velocityMps = approaching ? -speed : speed;
        if (anywhere)
            o.distanceM = uniform(nearestDistanceM + 5.0, farthestDistanceM - 5.0);
        else // new objects enter at the edge they move away from
            o.distanceM = approaching ? farthestDistanceM - 1.0 : nearestDistanceM + 1.0;
        o.azimuthDeg = uniform(-14.0, 14.0);
        o.elevationDeg = uniform(-1.0, 6.0);
        o.amplitudeDb = int(std::lround(uniform(-55.0, -22.0)));
        return o;
    }

    double uniform(double low, double high)
    {
        return std::uniform_real_distribution<double>(low, high)(random_);
    }
    int cell(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

private:
    std::mt19937 random_;
};

void setCell(RadarPacketData& p, int cell, int amplitudeDb, double velocityMps, double distanceM,
             double elevationDeg, double azimuthDeg)
{
    p.amplitude[cell] = qint8(amplitudeDb);
    p.relVelocity[cell] = float(util::mpsToKph(velocityMps));
    p.distance[cell] = float(distanceM);
    p.elevation[cell] = float(elevationDeg);
    p.azimuth[cell] = float(azimuthDeg);
}

} // namespace

QVector<RadarPacketData> makeStream(const StreamOptions& options)
{
    Scene scene(options.seed);
    QVector<SceneObject> objects;
    for (int i = 0; i < options.objectCount; ++i)
        objects.append(scene.spawn(true));

    const double stepS = double(packetPeriodMs) / 1000;
    QVector<RadarPacketData> stream;
    stream.reserve(options.packetCount);
    for (int k = 0; k < options.packetCount; ++k) {
        RadarPacketData p = PacketEncoder::emptyPacket(firstTimestampMs + k * packetPeriodMs);
        for (int i = 0; i < PacketEncoder::cellCount; ++i) {
            p.amplitude[i] = qint8(scene.cell(-100, -72));
            p.relVelocity[i] = float(scene.uniform(-60.0, 60.0));
            p.distance[i] = float(i * cellSizeM);
            p.elevation[i] = float(scene.uniform(-20.0, 20.0));
            p.azimuth[i] = float(scene.uniform(-30.0, 30.0));
        }
        for (int cell : stationaryReflectorCells) {
            setCell(p, cell, -45, 0.0, cell * cellSizeM, 0.0, 5.0);
        }
        for (int i = 0; i < options.falseAlarmsPerPacket; ++i) {
            const int cell = scene.cell(30, PacketEncoder::cellCount - 1);
            setCell(p, cell, scene.cell(-68, -55), scene.uniform(-15.0, 15.0), cell * cellSizeM,
                    scene.uniform(-10.0, 10.0), scene.uniform(-20.0, 20.0));
        }
        for (SceneObject& o : objects) {
            o.distanceM += o.velocityMps * stepS;
            if (o.distanceM < nearestDistanceM || o.distanceM > farthestDistanceM)
                o = scene.spawn(false);
            const int cell = int(std::lround(o.distanceM / cellSizeM));
            setCell(p, cell, o.amplitudeDb, o.velocityMps, o.distanceM, o.elevationDeg,
                    o.azimuthDeg);
            const int harmonic = 2 * cell;
            if (o.amplitudeDb >= strongObjectDb && harmonic < PacketEncoder::cellCount) {
                setCell(p, harmonic, o.amplitudeDb - harmonicDropDb, 2 * o.velocityMps,
                        harmonic * cellSizeM, o.elevationDeg, o.azimuthDeg);
            }
        }
        stream.append(p);
    }
    return stream;
}

} // namespace trklib::bench

#include "bench/benchstream.h"

#include "tools/common/cli/mountingoptions.h"
#include "tools/common/sim/scene.h"
#include "tools/common/sim/sensormodel.h"
#include "tools/common/sim/simrandom.h"
#include "util/units.h"

#include <cmath>
#include <functional>

namespace trklib::bench {

namespace {

constexpr qint64 packetPeriodMs = 50;
constexpr qint64 firstTimestampMs = 1700000000000;
constexpr quint64 sensorStream = 1001; // the sensor's random stream of the seed
constexpr quint64 defaultSeed = StreamOptions{}.seed;
constexpr quint64 interferenceStream = 1002; // the dense scene's interference

// Interference is as strong as the reflectors whose harmonics are looked
// for (from -29 dB).
constexpr int interferenceMinDb = -28;
constexpr int interferenceMaxDb = -15;

// The object scene. Each object travels along a horizontal ray from the
// radar at the radar's own height, so that its radial speed, and with it its
// Doppler cell, stays the same however far it goes.
constexpr int firstCell = 40;  // 10 km/h
constexpr int cellSpacing = 5; // 1.25 km/h between any two objects
constexpr double rayAzimuthDeg[] = {-9.0, -3.0, 3.0, 9.0};
constexpr int rays = int(std::size(rayAzimuthDeg));
constexpr double rowSpacingM = 11.0; // between objects of one direction on one ray
constexpr double rayStaggerM = 2.75; // between neighbouring rays
constexpr double recedingStartM = 30.0;
constexpr double approachingStartM = 285.0;
// Strong enough to be seen at 300 m off the boresight, weak enough (below
// -29 dB at 30 m) to show no harmonics.
constexpr double objectRcsDbsm = 8.0;

// Object k of the scene at time t (s). Even k recede, odd k approach; within
// one direction the faster object is the farther one when receding and the
// nearer one when approaching, so objects of one direction only part.
sim::ObjectState objectAt(int k, double tS, double heightM)
{
    const bool receding = k % 2 == 0;
    const int rank = k / 2; // among the objects of its direction, slowest first
    const int ray = rank % rays;
    const int row = rank / rays;
    const double speedMps = (firstCell + cellSpacing * k) * sim::SensorModel::cellWidthKph *
                            util::mpsPerKph * (receding ? 1.0 : -1.0);
    const double offsetM = rowSpacingM * row + rayStaggerM * ray;
    const double startM = receding ? recedingStartM + offsetM : approachingStartM - offsetM;
    const double rangeM = startM + speedMps * tS;
    const double azimuthRad = rayAzimuthDeg[ray] * M_PI / 180.0;

    sim::ObjectState o;
    o.id = k + 1;
    o.kind = sim::ObjectKind::Car;
    o.x = rangeM * std::cos(azimuthRad);
    o.y = rangeM * std::sin(azimuthRad);
    o.z = heightM;
    o.vx = speedMps * std::cos(azimuthRad);
    o.vy = speedMps * std::sin(azimuthRad);
    o.rcsDbsm = objectRcsDbsm;
    return o;
}

using ObjectsAt = std::function<QVector<sim::ObjectState>(double timeS)>;
using FalseAlarmsAt = std::function<int(int packet)>;

QVector<RadarPacketData> observe(const ObjectsAt& objectsAt, int packetCount,
                                 const FalseAlarmsAt& falseAlarmsAt, quint64 seed,
                                 qint64 firstMs = firstTimestampMs)
{
    sim::SensorModel sensor(cli::defaultMounting(), sim::streamSeed(seed, sensorStream));
    QVector<RadarPacketData> stream;
    stream.reserve(packetCount);
    for (int k = 0; k < packetCount; ++k) {
        sensor.setFalseAlarms(falseAlarmsAt(k));
        const qint64 offsetMs = k * packetPeriodMs;
        stream.append(
            sensor.observe(objectsAt(double(offsetMs) / util::msPerS), firstMs + offsetMs).packet);
    }
    return stream;
}

ObjectsAt objectScene(int objectCount)
{
    const double heightM = cli::defaultMounting().height;
    return [objectCount, heightM](double tS) {
        QVector<sim::ObjectState> objects;
        for (int k = 0; k < objectCount; ++k)
            objects.append(objectAt(k, tS, heightM));
        return objects;
    };
}

FalseAlarmsAt always(int falseAlarms)
{
    return [falseAlarms](int) { return falseAlarms; };
}

QVector<RadarPacketData> highway(int packetCount, const FalseAlarmsAt& falseAlarmsAt, quint64 seed)
{
    auto scene = std::make_shared<sim::Scene>(sim::Scene::highway(seed));
    return observe([scene](double tS) { return scene->objectsAt(tS); }, packetCount, falseAlarmsAt,
                   seed);
}

} // namespace

QVector<RadarPacketData> makeStream(const StreamOptions& options)
{
    return highway(options.packetCount, always(options.falseAlarmsPerPacket), options.seed);
}

QVector<RadarPacketData> makeObjectStream(int objectCount)
{
    return observe(objectScene(qBound(0, objectCount, maxObjects)), objectStreamPackets, always(0),
                   defaultSeed);
}

QVector<RadarPacketData> makeFalseAlarmStream(int falseAlarms)
{
    return observe([](double) { return QVector<sim::ObjectState>(); }, objectStreamPackets,
                   always(falseAlarms), defaultSeed);
}

QVector<RadarPacketData> makeDenseStream()
{
    QVector<RadarPacketData> stream =
        highway(StreamOptions{}.packetCount, always(denseFalseAlarms), defaultSeed);
    sim::SimRandom random(sim::streamSeed(defaultSeed, interferenceStream));
    for (int k = denseInterferencePeriod - 1; k < stream.size(); k += denseInterferencePeriod) {
        RadarPacketData& p = stream[k];
        for (int n = 0; n < denseInterferenceCells; ++n) {
            const int cell = random.uniformInt(1, wire::cellCount - 1);
            p.amplitude[cell] =
                static_cast<signed char>(random.uniformInt(interferenceMinDb, interferenceMaxDb));
        }
    }
    return stream;
}

QVector<RadarPacketData> makeBurstStream()
{
    QVector<RadarPacketData> stream =
        observe([](double) { return QVector<sim::ObjectState>(); }, 1, always(0), defaultSeed,
                firstTimestampMs - packetPeriodMs);
    stream += observe(objectScene(maxObjects), burstPackets - 1, always(0), defaultSeed);
    return stream;
}

QStringList streamNames()
{
    QStringList names;
    for (int count : objectCounts)
        names << QStringLiteral("objects%1").arg(count);
    names << QStringLiteral("falsealarms100") << QStringLiteral("highway")
          << QStringLiteral("dense") << QStringLiteral("burst100");
    return names;
}

QVector<RadarPacketData> streamByName(const QString& name)
{
    for (int count : objectCounts) {
        if (name == QStringLiteral("objects%1").arg(count))
            return makeObjectStream(count);
    }
    if (name == QLatin1String("falsealarms100"))
        return makeFalseAlarmStream(100);
    if (name == QLatin1String("highway"))
        return makeStream();
    if (name == QLatin1String("dense"))
        return makeDenseStream();
    if (name == QLatin1String("burst100"))
        return makeBurstStream();
    return {};
}

} // namespace trklib::bench

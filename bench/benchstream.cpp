#include "bench/benchstream.h"

#include "tools/common/mountingoptions.h"
#include "tools/common/scene.h"
#include "tools/common/sensormodel.h"

namespace trklib::bench {

namespace {

constexpr qint64 packetPeriodMs = 50;
constexpr qint64 firstTimestampMs = 1700000000000;
constexpr quint64 sensorStream = 1001; // the sensor's random stream of the seed

} // namespace

QVector<RadarPacketData> makeStream(const StreamOptions& options)
{
    sim::Scene scene = sim::Scene::highway(options.seed);
    sim::SensorModel sensor(tools::defaultMounting(), sim::streamSeed(options.seed, sensorStream));
    sensor.setFalseAlarms(options.falseAlarmsPerPacket);

    QVector<RadarPacketData> stream;
    stream.reserve(options.packetCount);
    for (int k = 0; k < options.packetCount; ++k) {
        const qint64 offsetMs = k * packetPeriodMs;
        stream.append(
            sensor.observe(scene.objectsAt(double(offsetMs) / 1000.0), firstTimestampMs + offsetMs)
                .packet);
    }
    return stream;
}

} // namespace trklib::bench

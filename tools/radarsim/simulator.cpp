#include "simulator.h"

#include "input/packetencoder.h"

namespace trklib::sim {

namespace {
// Independent random streams of one seed.
constexpr quint64 sensorStream = 1001;
constexpr quint64 networkStream = 1002;
} // namespace

Simulator::Simulator(const SimOptions& options)
    : options_(options), scene_(Scene::byName(options.scene, options.seed)),
      sensor_(options.mounting, streamSeed(options.seed, sensorStream)),
      shaper_(options.lossProbability, options.reorderProbability,
              streamSeed(options.seed, networkStream))
{
    sensor_.setFalseAlarms(options.falseAlarms);
}

SimulatedPacket Simulator::packet(qint64 number)
{
    SimulatedPacket out;
    out.number = number;
    out.timestampMs = options_.timestampMs(number);
    const double timeS = double(out.timestampMs - options_.startMs) / 1000.0;
    SensorFrame frame = sensor_.observe(scene_.objectsAt(timeS), out.timestampMs);
    out.packet = frame.packet;
    out.sightings = frame.sightings;
    out.datagrams = shaper_.shape(PacketEncoder::datagrams(out.packet, options_.maxDatagramBytes));
    return out;
}

} // namespace trklib::sim

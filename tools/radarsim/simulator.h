#pragma once

#include "datagramshaper.h"
#include "simoptions.h"
#include "tools/common/sim/scene.h"
#include "tools/common/sim/sensormodel.h"

#include <QByteArray>
#include <QVector>

namespace trklib::sim {

// What the radar puts out for one packet.
struct SimulatedPacket
{
    qint64 number = 0;
    qint64 timestampMs = 0;
    RadarPacketData packet;
    QVector<QByteArray> datagrams; // after loss and reordering
    QVector<Sighting> sightings;   // the ground truth
};

// Scene, sensor and network put together: packet k shows the scene at
// k / rate seconds. Everything follows from the options and the seed.
class Simulator
{
public:
    explicit Simulator(const SimOptions& options);

    SimulatedPacket packet(qint64 number);

private:
    SimOptions options_;
    Scene scene_;
    SensorModel sensor_;
    DatagramShaper shaper_;
};

} // namespace trklib::sim

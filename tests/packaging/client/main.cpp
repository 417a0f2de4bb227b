// A client of an installed trklib: it uses the facade and the engine through
// the installed headers and the shared library only, and prints one line per
// check for the packaging test to compare.
#include <engine/targettracking.h>
#include <input/radarpacketdata.h>
#include <input/wireformat.h>
#include <interface/targettrackinginterface.h>

#include <iostream>
#include <vector>

namespace {

// A packet as the parser would hand it out: a valid header and every cell at
// the lowest amplitude, so that nothing is detected.
trklib::RadarPacketData emptyPacket(qint64 timestampMs)
{
    trklib::RadarPacketData packet;
    for (std::size_t i = 0; i < packet.sync.size(); ++i)
        packet.sync[i] = qint8(trklib::wire::syncPattern[i]);
    packet.version = trklib::wire::version;
    packet.headerSize = trklib::wire::headerBytes;
    packet.timestamp = timestampMs;
    constexpr signed char silentDb = -128;
    packet.amplitude.fill(silentDb, trklib::wire::cellCount);
    packet.relVelocity.fill(0.0f, trklib::wire::cellCount);
    packet.distance.fill(0.0f, trklib::wire::cellCount);
    packet.elevation.fill(0.0f, trklib::wire::cellCount);
    packet.azimuth.fill(0.0f, trklib::wire::cellCount);
    packet.phaseDiff.fill(0, trklib::wire::cellCount);
    return packet;
}

} // namespace

int main()
{
    // The facade reads nothing before connect(): a read error, at once.
    trklib::TargetTrackingInterface facade;
    long facadeTimestamp = -1;
    std::vector<trklib::TargetData> facadeTargets;
    std::cout << "facade read before connect: " << facade.getTargets(facadeTimestamp, facadeTargets)
              << "\n";

    // The engine fed by hand: the first packet sets the time base, the
    // second runs one whole tracking cycle.
    trklib::TargetTracking engine;
    engine.radarConfig() = trklib::RadarConfig{0.0, 0.0, 5.0, 0.0, 0};
    constexpr qint64 firstMs = 1700000000000;
    constexpr qint64 packetIntervalMs = 50;
    for (qint64 timestampMs : {firstMs, firstMs + packetIntervalMs}) {
        long timestamp = 0;
        QVector<trklib::TargetData> targets;
        engine.getTargetsFromData(emptyPacket(timestampMs), timestamp, targets);
        std::cout << "packet " << timestamp << ": " << targets.size() << " targets\n";
    }

    QVector<trklib::ValidationData> maxima;
    engine.getValidationFromData(emptyPacket(firstMs), maxima);
    std::cout << "maxima of an empty packet: " << maxima.size() << "\n";
    std::cout << "packet bytes on the wire: " << trklib::wire::packetBytes << "\n";
    return 0;
}

#include "support/packets.h"

#include "input/packetencoder.h"

namespace trklib::test {

RadarPacketData patternedPacket(qint64 timestamp, int seed)
{
    constexpr int amplitudeSpanDb = 50; // amplitudes run from -128 to -79 dB
    RadarPacketData p = PacketEncoder::emptyPacket(timestamp);
    p.info08 = qint16(-1000 - seed);
    p.info10 = qint8(seed);
    p.info11 = qint8(-seed);
    p.info20 = 100000 + seed;
    p.info24 = -200000 - seed;
    p.info28 = qint8(28 + seed);
    p.info29 = qint8(29 + seed);
    p.info30 = qint8(30 + seed);
    p.info31 = qint8(31 + seed);
    p.info32 = 320000 + seed;
    p.info36 = -360000 - seed;
    p.info40 = qint8(40 + seed);
    p.info41 = qint8(41 + seed);
    p.info42 = qint16(4200 + seed);
    p.info44 = 440000 + seed;
    for (int i = 0; i < wire::cellCount; ++i) {
        p.amplitude[i] = static_cast<signed char>(-128 + (i * 7 + seed) % amplitudeSpanDb);
        p.relVelocity[i] = float(seed) * 100.0f + float(i) * 0.25f - 128.0f;
        p.distance[i] = float(seed) * 10.0f + float(i) * 1.5f;
        p.elevation[i] = float(seed) - float(i) * 0.01f;
        p.azimuth[i] = float(-seed) + float(i) * 0.1f;
        p.phaseDiff[i] = short(i * 3 - seed);
    }
    return p;
}

RadarPacketData packetWithEchoes(qint64 timestamp, const QVector<Echo>& echoes)
{
    RadarPacketData p = PacketEncoder::emptyPacket(timestamp);
    for (const Echo& e : echoes) {
        p.amplitude[e.cell] = e.amplitudeDb;
        p.relVelocity[e.cell] = e.velocityKph;
        p.distance[e.cell] = e.distanceM;
        p.elevation[e.cell] = e.elevationDeg;
        p.azimuth[e.cell] = e.azimuthDeg;
    }
    return p;
}

RadarPacketData twoMoversPacket(qint64 timestamp, int cycle)
{
    const float t = float(cycle) * 0.1f; // seconds
    return packetWithEchoes(timestamp, {{100, -30, -36.0f, 150.0f - 10.0f * t, 2.0f, -5.0f},
                                        {400, -25, 18.0f, 80.0f + 5.0f * t, 1.0f, 12.0f}});
}

} // namespace trklib::test

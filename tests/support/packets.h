#pragma once

#include "input/radarpacketdata.h"

#include <QVector>

namespace trklib::test {

// A valid packet whose header fields and six arrays all depend on seed, so
// that a packet assembled from parts of two different packets never equals
// either of them. Every amplitude stays below -70 dB, so the packet holds
// no detection.
RadarPacketData patternedPacket(qint64 timestamp, int seed);

// One strong cell of a packet, as the radar reports it.
struct Echo
{
    int cell;                // 0 to 1023
    signed char amplitudeDb; // -70 or more to count as a detection
    float velocityKph;       // radial, positive when the distance grows
    float distanceM;
    float elevationDeg; // the packet's elevation array (radar frame)
    float azimuthDeg;   // the packet's azimuth array (radar frame)
};

// A valid packet that is empty (amplitude -128 dB, all else zero) except for
// the given cells. Echoes in non-adjacent cells are each a local maximum.
RadarPacketData packetWithEchoes(qint64 timestamp, const QVector<Echo>& echoes);

// Packet number `cycle` (0, 1, ...) of a scene with two reflectors at steady
// speed, one packet every 100 ms: cell 100 approaches at 36 km/h from 150 m,
// cell 400 recedes at 18 km/h from 80 m. Fed in order from cycle 0, the
// tracker numbers both within a few packets (negative stream and
// non-negative stream). The timestamp is the caller's.
RadarPacketData twoMoversPacket(qint64 timestamp, int cycle);

} // namespace trklib::test

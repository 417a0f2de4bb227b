#pragma once

#include "input/radarpacketdata.h"

#include <QVector>

namespace trklib::test {

// A valid packet whose header fields and arrays all depend on seed, so that
// a packet assembled from parts of two packets equals neither. Amplitudes
// stay below -70 dB: no detections.
RadarPacketData patternedPacket(qint64 timestamp, int seed);

// One strong cell of a packet, as the radar reports it (radar frame).
struct Echo
{
    int cell;                // 0 to 1023
    signed char amplitudeDb; // -70 or more to count as a detection
    float velocityKph;       // radial, positive when the distance grows
    float distanceM;
    float elevationDeg;
    float azimuthDeg;
};

// An empty packet (amplitude -128 dB, all else zero) except for the given
// cells. Echoes in non-adjacent cells are each a local maximum.
RadarPacketData packetWithEchoes(qint64 timestamp, const QVector<Echo>& echoes);

// Packet `cycle` of a scene, one packet every 100 ms: cell 100 approaches at
// 36 km/h from 150 m, cell 400 recedes at 18 km/h from 80 m. Fed in order
// from cycle 0, both are numbered and confirmed by cycle 7.
RadarPacketData twoMoversPacket(qint64 timestamp, int cycle);

} // namespace trklib::test

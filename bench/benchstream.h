#pragma once

#include "input/radarpacketdata.h"

#include <QString>
#include <QVector>

namespace trklib::bench {

// Reproducible packet streams made by the simulator's scene and sensor model
// (the sensor the README describes), one packet every 50 ms, radar 5 m
// above the road with the default mounting. Noise stays below the detection
// threshold; false alarms are noise cells raised above it.

// The busy scene: the highway, about twenty vehicles in the beam at a time,
// with harmonics of the strong reflectors and false alarms.
struct StreamOptions
{
    int packetCount = 1200;
    int falseAlarmsPerPacket = 8;
    quint64 seed = 20240611;
};

QVector<RadarPacketData> makeStream(const StreamOptions& options = {});

// A scene with a known number of objects, each one maximum of its own:
// objectCount cars (at most 100) on four lanes, half of them receding and
// half approaching, each at its own radial speed five Doppler cells from
// any other, placed so that no two of one direction ever come closer, weak
// enough to show no harmonics, and inside the beam for the whole stream
// (60 packets, 3 s). 0 objects gives packets of noise alone.
constexpr int maxObjects = 100;
constexpr int objectStreamPackets = 60;
QVector<RadarPacketData> makeObjectStream(int objectCount);

// Noise and falseAlarms false alarms per packet, no object: maxima that
// never form a track (60 packets).
QVector<RadarPacketData> makeFalseAlarmStream(int falseAlarms);

// A dense scene: the highway in heavy clutter (denseFalseAlarms false
// alarms per packet, about fifty maxima in all), and in one packet of
// denseInterferencePeriod interference: denseInterferenceCells cells raised
// to strong amplitudes, as strong as the reflectors whose harmonics are
// looked for. Such a packet holds more maxima than the hundred the tracker
// takes, even after harmonic suppression, and is discarded. 1200 packets.
constexpr int denseFalseAlarms = 30;
constexpr int denseInterferencePeriod = 25;
constexpr int denseInterferenceCells = 250;
QVector<RadarPacketData> makeDenseStream();

// A burst: a packet of noise that starts the time base, then the 100
// objects of makeObjectStream appearing all at once in the next packets
// (burstPackets in all).
constexpr int burstPackets = 5;
QVector<RadarPacketData> makeBurstStream();

// Every stream above by name, for the tools that replay them: objects0 ...
// objects100 (the counts of objectCounts), falsealarms100, highway, dense,
// burst100. An unknown name gives no packets.
constexpr int objectCounts[] = {0, 1, 5, 10, 20, 50, 100};
QStringList streamNames();
QVector<RadarPacketData> streamByName(const QString& name);

} // namespace trklib::bench

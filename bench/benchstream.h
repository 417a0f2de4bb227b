#pragma once

#include "input/radarpacketdata.h"

#include <QVector>

namespace trklib::bench {

// A reproducible packet stream of a busy scene, made by the simulator's
// scene and sensor model (the sensor the README describes): the highway
// scene, about twenty vehicles in the beam at a time, seen by a radar 5 m
// above the road, with noise below the detection threshold, harmonics of
// the strong reflectors and false alarms above the threshold. One packet
// every 50 ms.
struct StreamOptions
{
    int packetCount = 1200;
    int falseAlarmsPerPacket = 8;
    quint64 seed = 20240611;
};

QVector<RadarPacketData> makeStream(const StreamOptions& options = {});

} // namespace trklib::bench

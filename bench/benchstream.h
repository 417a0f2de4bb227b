#pragma once

#include "input/radarpacketdata.h"

#include <QVector>

namespace trklib::bench {

// A reproducible packet stream of a busy scene: about twenty objects moving
// radially at constant speed (replaced by a new one when they leave the
// range), a noise floor below the detection threshold, a few false alarms
// above it, stationary reflectors and harmonics of the strongest objects.
// One packet every 50 ms.
struct StreamOptions
{
    int packetCount = 1200;
    int objectCount = 20;
    int falseAlarmsPerPacket = 8;
    unsigned seed = 20240611;
};

QVector<RadarPacketData> makeStream(const StreamOptions& options = {});

} // namespace trklib::bench

#pragma once

#include "detection/radardatamax.h"
#include "input/radarpacketdata.h"
#include "interface/targettrackinginterface.h"
#include "util/util.h"

#include <QVector>

namespace trklib::detection {

// One maximum in tracker units from the values of its cell: the azimuth
// with the pan offset added, the velocity in m/s.
inline RadarDataMax toMaximum(qint32 index, qint32 amplitude, double distance, double elevation,
                              double azimuth, double relVelocityKph, double panOffset)
{
    RadarDataMax max;
    max.index = index;
    max.amplitude = amplitude;
    max.distance = distance;
    max.elevation = elevation;
    max.azimuth = azimuth + panOffset;
    max.relVelocity = util::kphToMps(relVelocityKph);
    return max;
}

// The maxima of a packet straight from its arrays, into maxima (emptied
// first, its capacity kept): bit for bit what
// rectifyData(getRadarData(packet)) gives with the same mounting and
// threshold, without a record per cell. The amplitude of every cell is
// read; the other arrays only at maxima.
void packetMaxima(const RadarPacketData& packet, const RadarConfig& config, int threshold,
                  QVector<RadarDataMax>& maxima);

} // namespace trklib::detection

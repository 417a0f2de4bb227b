#include "engine/targettracking.h"

#include <algorithm>

namespace trklib {

// One record per cell, in cell order. The sign of a negative radial velocity
// is folded into the cell's index. A vertically mounted radar (orientation
// 1) swaps the roles of the two angle arrays; every other value counts as
// horizontal.
//
// A packet from the parser has 1024 entries in every array. A packet handed
// in by a caller may not: the cell count is the shortest of the arrays read,
// so such a packet is cut, never read out of bounds.
QVector<RadarData> TargetTracking::getRadarData(const RadarPacketData& packet) const
{
    const int n =
        std::min({packet.amplitude.size(), packet.relVelocity.size(), packet.distance.size(),
                  packet.elevation.size(), packet.azimuth.size()});
    const bool vertical = radarConfig_.orientation == 1;
    const signed char* amplitudes = packet.amplitude.constData();
    const float* velocities = packet.relVelocity.constData();
    const float* distances = packet.distance.constData();
    const float* elevations = (vertical ? packet.azimuth : packet.elevation).constData();
    const float* azimuths = (vertical ? packet.elevation : packet.azimuth).constData();

    // Sized once and written in place: no growth checks per cell.
    QVector<RadarData> cells(n);
    RadarData* cell = cells.data();
    for (int i = 0; i < n; ++i, ++cell) {
        const double v = velocities[i];
        cell->index = v < 0.0 ? -i : i; // NaN is not below zero
        cell->amplitude = amplitudes[i];
        cell->distance = distances[i];
        cell->elevation = elevations[i];
        cell->azimuth = azimuths[i];
        cell->relVelocity = v;
    }
    return cells;
}

} // namespace trklib

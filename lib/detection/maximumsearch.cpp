#include "engine/targettracking.h"

#include "detection/packetmaxima.h"
#include "util/util.h"

#include <cmath>
#include <cstdlib>

namespace trklib {

namespace {

// A local amplitude maximum at or above threshold at position i of n cells.
// Neighbour comparisons are not strict, so every cell of a flat top counts,
// and a cell at either end is compared with its one neighbour.
bool isMaximum(const RadarData* cells, int n, int i, int threshold)
{
    const int a = cells[i].amplitude;
    return a >= threshold && (i == 0 || a >= cells[i - 1].amplitude) &&
           (i == n - 1 || a >= cells[i + 1].amplitude);
}

} // namespace

// Positions of the local amplitude maxima at or above threshold, in one pass.
QVector<int> TargetTracking::getMaxAmplitudeIndices(const QVector<RadarData>& cells,
                                                    int threshold) const
{
    QVector<int> positions;
    const RadarData* cell = cells.constData();
    const int n = cells.size();
    for (int i = 0; i < n; ++i) {
        if (isMaximum(cell, n, i, threshold))
            positions.append(i);
    }
    return positions;
}

// The maxima of one packet in tracker units, in ascending cell position.
// Cell 0 and zero-velocity cells carry no moving reflector and are dropped.
// One pass: the maximum search and the conversion go cell by cell.
QVector<RadarDataMax> TargetTracking::rectifyData(const QVector<RadarData>& cells) const
{
    const int threshold = detectionThreshold();
    QVector<RadarDataMax> maxima;
    const RadarData* cell = cells.constData();
    const int n = cells.size();
    for (int i = 1; i < n; ++i) {
        if (!isMaximum(cell, n, i, threshold) || cell[i].relVelocity == 0.0)
            continue;
        maxima.append(detection::toMaximum(cell[i].index, cell[i].amplitude, cell[i].distance,
                                           cell[i].elevation, cell[i].azimuth, cell[i].relVelocity,
                                           radarConfig_.panOffset));
    }
    return maxima;
}

// Sub-cell position of the maximum at cellPosition from its neighbours'
// amplitudes. Cells next to zero and the last cell have no two neighbours.
double TargetTracking::estimateByAmplitude(const QVector<RadarData>& cells, int cellPosition) const
{
    const int idx = cells[cellPosition].index;
    if (idx >= -1 && idx <= 1)
        return idx;
    if (std::abs(idx) == cells.size() - 1)
        return idx;
    const int centerLevel = int(cells[cellPosition].amplitude - noiseLevel_);
    const int leftLevel = int(cells[cellPosition - 1].amplitude - noiseLevel_);
    const int rightLevel = int(cells[cellPosition + 1].amplitude - noiseLevel_);
    return estimateByAmplitudeVessik(idx, centerLevel, leftLevel, rightLevel);
}

// A shift of up to half a cell towards the stronger neighbour. The levels are
// dB above the noise; 10^(dB/20) turns them into amplitude ratios. A shift
// towards a higher cell position moves away from zero for either sign.
double TargetTracking::estimateByAmplitudeVessik(int cellIndex, int centerLevel, int leftLevel,
                                                 int rightLevel) const
{
    const double s = cellIndex > 0 ? 0.5 : (cellIndex < 0 ? -0.5 : 0.0);
    const double index = cellIndex;
    if (leftLevel < 0 && rightLevel < 0)
        return index;
    if (leftLevel > 0 && rightLevel < 0)
        return index - s * std::pow(10.0, -leftLevel / 20.0);
    if (rightLevel > 0 && leftLevel < 0)
        return index + s * std::pow(10.0, -rightLevel / 20.0);
    if (centerLevel == leftLevel && centerLevel != rightLevel)
        return index - s;
    if (centerLevel != leftLevel && centerLevel == rightLevel)
        return index + s;
    return index + s * (std::pow(10.0, (rightLevel - centerLevel) / 20.0) -
                        std::pow(10.0, (leftLevel - centerLevel) / 20.0));
}

} // namespace trklib

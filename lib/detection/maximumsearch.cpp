#include "engine/targettracking.h"

#include "util/util.h"

#include <cmath>
#include <cstdlib>

namespace trklib {

// Positions of the local amplitude maxima at or above threshold. Neighbour
// comparisons are not strict, so every cell of a flat top counts, and a cell
// at either end is compared with its one neighbour.
QVector<int> TargetTracking::getMaxAmplitudeIndices(const QVector<RadarData>& cells,
                                                    int threshold) const
{
    QVector<int> positions;
    const int n = cells.size();
    if (n == 0)
        return positions;

    int strongest = cells[0].amplitude;
    for (const RadarData& cell : cells)
        strongest = qMax(strongest, cell.amplitude);
    if (strongest < threshold)
        return positions;

    for (int i = 0; i < n; ++i) {
        const int a = cells[i].amplitude;
        if (a >= threshold && (i == 0 || a >= cells[i - 1].amplitude) &&
            (i == n - 1 || a >= cells[i + 1].amplitude))
            positions.append(i);
    }
    return positions;
}

// The maxima of one packet in tracker units, in ascending cell position.
// Cell 0 and zero-velocity cells carry no moving reflector and are dropped.
QVector<RadarDataMax> TargetTracking::rectifyData(const QVector<RadarData>& cells) const
{
    const int threshold = int(snrThreshold_ + noiseLevel_); // truncated: -70 dB
    QVector<int> positions = getMaxAmplitudeIndices(cells, threshold);
    QVector<RadarDataMax> maxima;
    if (positions.isEmpty())
        return maxima;
    if (positions.first() == 0)
        positions.removeFirst();

    maxima.reserve(positions.size());
    for (int k : positions) {
        const RadarData& cell = cells[k];
        if (cell.relVelocity == 0.0)
            continue;
        RadarDataMax max;
        max.index = cell.index;
        max.amplitude = cell.amplitude;
        max.distance = cell.distance;
        max.elevation = cell.elevation;
        max.azimuth = cell.azimuth + radarConfig_.panOffset;
        max.relVelocity = util::kphToMps(cell.relVelocity);
        maxima.append(max);
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

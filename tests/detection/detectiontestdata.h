#pragma once

#include "detection/radardatamax.h"
#include "input/radardata.h"

#include <QVector>

namespace trklib::test {

// Cells with the given amplitudes at cell positions 0, 1, 2, ..., each at a
// distance of 10 m per cell and a radial velocity of 20 km/h, so that only
// the amplitudes decide the maximum search.
inline QVector<RadarData> cellsWithAmplitudes(const QVector<int>& amplitudes)
{
    QVector<RadarData> cells;
    for (int i = 0; i < amplitudes.size(); ++i)
        cells.append(RadarData{i, amplitudes[i], 10.0 * i, 1.5, -4.0, 20.0});
    return cells;
}

// A maximum for the suppression stages; only index, amplitude, distance and
// velocity matter there.
inline RadarDataMax maximum(int index, int amplitude, double distance = 50.0,
                            double relVelocity = 5.0)
{
    return RadarDataMax{index, amplitude, distance, 0.0, 0.0, relVelocity};
}

inline QVector<int> indicesOf(const QVector<RadarDataMax>& maxima)
{
    QVector<int> indices;
    for (const RadarDataMax& m : maxima)
        indices.append(m.index);
    return indices;
}

} // namespace trklib::test

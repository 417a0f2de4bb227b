#pragma once

#include <QtGlobal>

namespace trklib {

/// One cell of a packet, widened to the engine's working types.
struct RadarData
{
    qint32 index;       ///< cell position, negated when the radial velocity is negative
    qint32 amplitude;   ///< dB
    double distance;    ///< metres
    double elevation;   ///< degrees, after the mounting orientation
    double azimuth;     ///< degrees, after the mounting orientation
    double relVelocity; ///< km/h
};

} // namespace trklib

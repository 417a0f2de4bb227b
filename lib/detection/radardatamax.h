#pragma once

#include <QtGlobal>

namespace trklib {

/// One amplitude maximum in tracker units.
struct RadarDataMax
{
    qint32 index;       ///< signed cell index
    qint32 amplitude;   ///< dB
    double distance;    ///< metres
    double elevation;   ///< degrees, radar frame
    double azimuth;     ///< degrees, radar frame plus pan offset
    double relVelocity; ///< m/s, positive when the distance grows
};

} // namespace trklib

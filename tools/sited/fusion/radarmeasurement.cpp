#include "tools/sited/fusion/radarmeasurement.h"

#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::sited::fusion {

using util::kphPerMps;
using util::radPerDeg;

namespace {
// Closer than this on the ground the bearing means nothing.
constexpr double minRangeM = 0.5;
// Steeper than this (ground range below the vertical leg) a small radial
// speed is a large ground speed: the velocity is left out.
constexpr double minRangePerVertical = 1.0;
} // namespace

RadarMeasurement measureTrack(const RadarPlace& radar, const RadarTrack& track)
{
    RadarMeasurement m;
    const double dx = track.xM - radar.xM;
    const double dy = track.yM - radar.yM;
    const double reportedRangeM = std::hypot(dx, dy);
    const double verticalM = std::max(0.0, radar.heightM - reflectorHeightM);
    double rangeM = reportedRangeM;
    if (track.distanceM > verticalM && reportedRangeM >= minRangeM)
        rangeM = std::sqrt(track.distanceM * track.distanceM - verticalM * verticalM);
    if (reportedRangeM >= minRangeM) {
        m.losX = dx / reportedRangeM;
        m.losY = dy / reportedRangeM;
    }
    m.rangeM = rangeM;
    m.position.xM = radar.xM + rangeM * m.losX;
    m.position.yM = radar.yM + rangeM * m.losY;

    const double crossM = std::max(crossRangeFloorM, rangeM * bearingSigmaDeg * radPerDeg);
    const double along = rangeSigmaM * rangeSigmaM;
    const double across = crossM * crossM;
    // R = u u^T along + n n^T across, n = u turned a quarter.
    m.position.covXX = m.losX * m.losX * along + m.losY * m.losY * across;
    m.position.covYY = m.losY * m.losY * along + m.losX * m.losX * across;
    m.position.covXY = m.losX * m.losY * (along - across);

    if (reportedRangeM >= minRangeM && rangeM >= minRangePerVertical * verticalM) {
        // Slant radial speed = ground radial speed * ground range / slant range.
        const double slantM = std::hypot(rangeM, verticalM);
        const double scale = rangeM > 0.0 ? slantM / rangeM : 1.0;
        m.hasRadial = true;
        m.radialMps = track.velocityKph / kphPerMps * scale;
        const double sigmaMps = radialSigmaKph / kphPerMps * scale;
        m.radialVariance = sigmaMps * sigmaMps;
    }
    return m;
}

} // namespace trklib::sited::fusion

#include "util/groundposition.h"

#include "util/util.h"

#include <cmath>

namespace trklib::util {

namespace {
// Below this depression the ground point is too close to the horizon for
// height / tan(depression) to mean anything; the slant range takes over.
constexpr double minDepressionDeg = 0.01;
} // namespace

GroundPoint groundPosition(const TargetData& target, const RadarConfig& config)
{
    const double depressionDeg = -(target.elevation + config.tilt);
    double rangeM = target.distance;
    if (config.height > 0.0 && depressionDeg > minDepressionDeg)
        rangeM = config.height / tand(depressionDeg);
    else if (target.distance > config.height)
        rangeM = std::sqrt(target.distance * target.distance - config.height * config.height);
    // Reported azimuths are relative to the pan and mirrored for vertical
    // mounting; the pan offset cancels out.
    const double azimuthDeg =
        (config.orientation == 1 ? -target.azimuth : target.azimuth) + config.pan;
    return {rangeM * cosd(azimuthDeg), rangeM * sind(azimuthDeg)};
}

// Pan 0 looks along the heading; the frame's y axis points to its left.
GroundPoint sitePosition(const GroundPoint& p, const RadarPlacement& placement)
{
    const double s = sind(placement.headingDeg);
    const double c = cosd(placement.headingDeg);
    return {placement.x + p.x * s - p.y * c, placement.y + p.x * c + p.y * s};
}

} // namespace trklib::util

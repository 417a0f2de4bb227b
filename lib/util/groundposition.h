#pragma once

#include "interface/export.h"
#include "interface/targettrackinginterface.h"

/// Where a reported target stands on the ground: in the radar's own ground
/// frame, and on a site that has several radars. Everything that draws,
/// publishes or scores positions (the tools, the service, the Python module)
/// converts through these.
namespace trklib::util {

/// A point on the ground, metres.
struct GroundPoint
{
    double x; ///< metres
    double y; ///< metres
};

/// Where a radar stands on a site.
struct RadarPlacement
{
    double x = 0.0;          ///< metres east of the site's origin
    double y = 0.0;          ///< metres north of the site's origin
    double headingDeg = 0.0; ///< where pan 0 looks, degrees clockwise from north
};

/// The ground point under a reported target, in the radar's ground frame:
/// origin on the ground under the radar, x horizontal in the direction of
/// pan 0, y horizontal to the left (where azimuth grows), metres. config is
/// the mounting the target was tracked with. The horizontal range comes from
/// the reported elevation (the depression of the ground point under the
/// target): height / tan(depression); near the horizon, or with no height,
/// from the slant distance.
TRKLIB_EXPORT GroundPoint groundPosition(const TargetData& target, const RadarConfig& config);

/// A point of a radar's ground frame on the site: x east, y north of the
/// site's origin, metres.
TRKLIB_EXPORT GroundPoint sitePosition(const GroundPoint& radarFrame,
                                       const RadarPlacement& placement);

} // namespace trklib::util

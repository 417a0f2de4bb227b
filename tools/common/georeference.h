#pragma once

#include "tools/common/siteconfig.h"

#include <GeographicLib/LocalCartesian.hpp>

namespace trklib::site {

// A place on Earth, WGS-84 degrees.
struct GeoPoint
{
    double latitudeDeg = 0.0;
    double longitudeDeg = 0.0;
};

// Where the points of a site lie on Earth: site coordinates are the local
// east-north-up frame at the site's origin, on the WGS-84 ellipsoid, and a
// point of the site's ground (x, y) is the frame's point (x, y, 0), in the
// plane through the origin square to its ellipsoidal normal.
class GeoReference
{
public:
    explicit GeoReference(const Origin& origin);

    // The latitude and longitude of the point x metres east and y metres
    // north of the origin.
    GeoPoint toGeodetic(double xM, double yM) const;

private:
    GeographicLib::LocalCartesian frame_;
};

} // namespace trklib::site

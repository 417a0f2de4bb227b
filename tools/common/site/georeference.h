#pragma once

#include "tools/common/site/places.h"

#include <GeographicLib/LocalCartesian.hpp>

namespace trklib::site {

// A point of the site's local frame, metres: east, north and up from the
// origin.
struct SitePoint
{
    double xM = 0.0;
    double yM = 0.0;
    double zM = 0.0;
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

    // The frame's point of a place heightM above the ellipsoid: its x, y
    // are where it lies on the site's ground (seen square from above the
    // plane), its z how far above the plane it is.
    SitePoint toSite(double latitudeDeg, double longitudeDeg, double heightM) const;

    // The point of the site's plane (z = 0) at that latitude and longitude:
    // the one on the place's ellipsoidal normal, at the height where that
    // normal meets the plane, so that toGeodetic() of its x, y gives back
    // the same latitude and longitude.
    SitePoint toSitePlane(double latitudeDeg, double longitudeDeg) const;

private:
    GeographicLib::LocalCartesian frame_;
};

} // namespace trklib::site

#include "tools/common/georeference.h"

namespace trklib::site {

GeoReference::GeoReference(const Origin& origin)
    : frame_(origin.latitudeDeg, origin.longitudeDeg, origin.altitudeM)
{}

GeoPoint GeoReference::toGeodetic(double xM, double yM) const
{
    GeoPoint point;
    double heightM = 0.0; // of the point above the ellipsoid: not asked for
    frame_.Reverse(xM, yM, 0.0, point.latitudeDeg, point.longitudeDeg, heightM);
    return point;
}

} // namespace trklib::site

#include "tools/common/site/georeference.h"

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

SitePoint GeoReference::toSite(double latitudeDeg, double longitudeDeg, double heightM) const
{
    SitePoint point;
    frame_.Forward(latitudeDeg, longitudeDeg, heightM, point.xM, point.yM, point.zM);
    return point;
}

SitePoint GeoReference::toSitePlane(double latitudeDeg, double longitudeDeg) const
{
    // Along the normal the frame's coordinates change linearly with the
    // height (the geocentric point moves by the height times the unit
    // normal, and the frame is a rotation and a shift of those), so one
    // step from two heights lands on the plane.
    constexpr double stepM = 1.0;
    const SitePoint low = toSite(latitudeDeg, longitudeDeg, 0.0);
    const SitePoint high = toSite(latitudeDeg, longitudeDeg, stepM);
    const double perMetre = high.zM - low.zM; // about 1: the normal is nearly the plane's
    const double heightM = -low.zM / perMetre * stepM;
    SitePoint point;
    point.xM = low.xM + (high.xM - low.xM) * (heightM / stepM);
    point.yM = low.yM + (high.yM - low.yM) * (heightM / stepM);
    return point;
}

} // namespace trklib::site

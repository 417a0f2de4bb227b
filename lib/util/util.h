#pragma once

#include "interface/export.h"

// Angle and unit helpers. Every other file converts through these, so that
// each result comes out of one fixed order of operations.
namespace trklib::util {

TRKLIB_EXPORT double radToDeg(double rad);
TRKLIB_EXPORT double degToRad(double deg);
TRKLIB_EXPORT double wrapTo180(double deg);
TRKLIB_EXPORT double wrapTo360(double deg);
TRKLIB_EXPORT double mpsToKph(double v);
TRKLIB_EXPORT double kphToMps(double v);
TRKLIB_EXPORT double sind(double deg);
TRKLIB_EXPORT double cosd(double deg);
TRKLIB_EXPORT double tand(double deg);
TRKLIB_EXPORT double acosd(double x);
TRKLIB_EXPORT double atand(double x);

} // namespace trklib::util

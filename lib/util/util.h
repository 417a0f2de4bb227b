#pragma once

#include "interface/export.h"

/// Angle and unit helpers. Every other file converts through these, so that
/// each result comes out of one fixed order of operations.
namespace trklib::util {

/// Radians to degrees: (rad * 180) / pi, so that radToDeg(pi) is exactly 180.
TRKLIB_EXPORT double radToDeg(double rad);
/// Degrees to radians: (deg * pi) / 180.
TRKLIB_EXPORT double degToRad(double deg);
/// The angle in [-180, 180]: angles in that range and NaN unchanged, others
/// wrapped by whole turns (540 gives -180, -540 gives 180); infinities give NaN.
TRKLIB_EXPORT double wrapTo180(double deg);
/// A negative angle shifted by exactly one turn; others unchanged.
TRKLIB_EXPORT double wrapTo360(double deg);
/// Metres per second to km/h: v * 3.6.
TRKLIB_EXPORT double mpsToKph(double v);
/// km/h to metres per second: v / 3.6.
TRKLIB_EXPORT double kphToMps(double v);
/// The sine of an angle in degrees.
TRKLIB_EXPORT double sind(double deg);
/// The cosine of an angle in degrees.
TRKLIB_EXPORT double cosd(double deg);
/// The tangent of an angle in degrees.
TRKLIB_EXPORT double tand(double deg);
/// The arc cosine of x, in degrees.
TRKLIB_EXPORT double acosd(double x);
/// The arc tangent of x, in degrees.
TRKLIB_EXPORT double atand(double x);

} // namespace trklib::util

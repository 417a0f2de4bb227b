#include "util/util.h"

#include "util/units.h"

#include <cmath>

namespace trklib::util {

static_assert(pi == M_PI, "the double nearest to pi");

// Each conversion multiplies first and divides second, so that results are
// reproducible bit for bit: radToDeg(pi) is exactly 180.
double radToDeg(double rad)
{
    return (rad * halfTurnDeg) / pi;
}

double degToRad(double deg)
{
    return (deg * pi) / halfTurnDeg;
}

// Angles in [-180, 180] (both ends closed) and NaN come back unchanged.
// Others are wrapped by whole turns into that range: results above 180 fall
// into [-180, 180), results below -180 into (-180, 180]; 540 gives -180 and
// -540 gives 180. Infinities have no angle and give NaN.
double wrapTo180(double deg)
{
    if (!(deg < -halfTurnDeg || deg > halfTurnDeg))
        return deg;
    const double wrapped = std::remainder(deg, fullTurnDeg); // exact, in [-180, 180]
    if (deg > halfTurnDeg && wrapped == halfTurnDeg)
        return -halfTurnDeg;
    if (deg < -halfTurnDeg && wrapped == -halfTurnDeg)
        return halfTurnDeg;
    return wrapped;
}

// Shifts a negative angle by exactly one turn; no loop, no modulo.
double wrapTo360(double deg)
{
    if (deg < 0.0)
        return deg + fullTurnDeg;
    return deg;
}

double mpsToKph(double v)
{
    return v * kphPerMps;
}

// A true division: multiplying by a stored 1/3.6 differs in the last bit.
double kphToMps(double v)
{
    return v / kphPerMps;
}

double sind(double deg)
{
    return std::sin(degToRad(deg));
}

double cosd(double deg)
{
    return std::cos(degToRad(deg));
}

double tand(double deg)
{
    return std::tan(degToRad(deg));
}

double acosd(double x)
{
    return radToDeg(std::acos(x));
}

double atand(double x)
{
    return radToDeg(std::atan(x));
}

} // namespace trklib::util

#pragma once

// The units the library and its programs convert between, each defined
// once, and the quantities of a ground velocity the programs publish. An
// internal header: not installed, nothing here is exported.
//
// Each constant is a specific double, and x * kphPerMps, x / kphPerMps and
// x * mpsPerKph round differently: a computation keeps the form it has.

#include <cmath>
#include <cstdint>

namespace trklib::util {

// The double nearest to pi (M_PI).
constexpr double pi = 3.141592653589793;
constexpr double halfTurnDeg = 180.0;
constexpr double fullTurnDeg = 360.0;
constexpr double degPerRad = halfTurnDeg / pi; // 180.0 / M_PI
constexpr double radPerDeg = pi / halfTurnDeg; // M_PI / 180.0

constexpr double secondsPerHour = 3600.0;
constexpr double metresPerKm = 1000.0;
constexpr double kphPerMps = secondsPerHour / metresPerKm; // 3.6
// 1.0 / 3.6 rounded once: x * mpsPerKph is not always x / kphPerMps.
constexpr double mpsPerKph = 1.0 / kphPerMps;

constexpr double msPerS = 1000.0;
constexpr double sPerMs = 0.001;
constexpr double nsPerS = 1e9;
constexpr std::int64_t usPerMs = 1000;
constexpr std::int64_t usPerS = 1000000;
constexpr std::int64_t msPerDay = std::int64_t(24) * 3600 * 1000;

// The ground speed of a velocity (vxMps east, vyMps north), km/h.
inline double groundSpeedKph(double vxMps, double vyMps)
{
    return std::hypot(vxMps, vyMps) * kphPerMps;
}

// The compass heading of a velocity: degrees clockwise from north, 0 to 360
// (360 excluded). Meaningless for a velocity near zero.
inline double compassHeadingDeg(double vxMps, double vyMps)
{
    double heading = std::atan2(vxMps, vyMps) * degPerRad;
    if (heading < 0.0)
        heading += fullTurnDeg;
    return heading >= fullTurnDeg ? 0.0 : heading;
}

} // namespace trklib::util

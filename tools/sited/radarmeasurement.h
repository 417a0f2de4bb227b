#pragma once

#include "fusion.h"
#include "kalmanfilter.h"

#include "tools/common/siteconfig.h"

// One radar track as a measurement of a site object: its ground point with
// the radar's errors (along the line of sight and across it) and its radial
// velocity brought down to the ground.
namespace trklib::sited {

// The radar's errors after its own tracking, one standard deviation. The
// detections themselves are better (a tenth of a metre, a tenth of a
// degree, a twentieth of a km/h), but the point that reflects wanders over
// a vehicle's length and its height is not known.
constexpr double rangeSigmaM = 0.5;
constexpr double bearingSigmaDeg = 0.3;
constexpr double crossRangeFloorM = 0.2; // close in, the object's width
constexpr double radialSigmaKph = 0.5;
// Where a vehicle or a walker reflects, metres above the ground (a car's
// main reflector lies about 0.8 m up, a walker's 1 m, a truck's 1.5 m): the
// slant range's vertical leg is the mounting height less this.
constexpr double reflectorHeightM = 1.0;

struct RadarMeasurement
{
    GroundMeasurement position;
    double rangeM = 0.0; // on the ground, from the point under the radar
    double losX = 1.0;   // unit vector from the radar to the point, ground
    double losY = 0.0;
    bool hasRadial = false; // false where the ground speed cannot be told
    double radialMps = 0.0; // along (losX, losY), positive receding
    double radialVariance = 0.0;
};

// The ground range is taken from the slant distance and the mounting
// height when the track has one (a tenth of a metre or so, where the
// reported elevation gives metres far out), along the bearing of the
// reported ground point.
RadarMeasurement measureTrack(const site::RadarEntry& radar, const RadarTrack& track);

} // namespace trklib::sited

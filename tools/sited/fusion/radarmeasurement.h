#pragma once

#include "tools/sited/fusion/fusion.h"
#include "tools/sited/fusion/kalmanfilter.h"

// One radar track as a measurement of a site object: its ground point with
// the radar's errors (along the line of sight and across it) and its radial
// velocity brought down to the ground.
namespace trklib::sited::fusion {

// The radar's errors, one standard deviation: those of its detections (a
// tenth of a metre in range, a tenth of a degree in angle), which its
// tracked targets stay within (on the simulator's road, 0.03 to 0.05 m and
// 0.02 to 0.05 degrees from the truth at 0 to 300 m). The radial velocity
// is given more than its detections' twentieth of a km/h: the radial speed
// of an object passing close by turns quickly (its tracked value is off by
// about 1 km/h within 50 m, 0.2 km/h beyond).
constexpr double rangeSigmaM = 0.1;
constexpr double bearingSigmaDeg = 0.1;
constexpr double crossRangeFloorM = 0.05;
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
// height when the track has one, along the bearing of the reported ground
// point: it does not depend on the reported elevation, whose errors the
// ground range magnifies far out (height / tan(depression)).
RadarMeasurement measureTrack(const RadarPlace& radar, const RadarTrack& track);

} // namespace trklib::sited::fusion

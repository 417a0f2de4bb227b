#pragma once

#include "tools/sited/fusion/picture.h"

#include <QVector>

#include <array>
#include <cstdint>
#include <deque>

// What an object's track over time says of what it is: the features that
// the class model weighs, from the pictures' objects one after another.
namespace trklib::sited::classify {

// The features, in the order of a feature vector (docs/classification.md
// says why each).
enum class Feature : int
{
    SpeedMean,      // m/s, over the window
    SpeedMax,       // m/s, the window's largest
    SpeedSpread,    // m/s, standard deviation over the window
    AlongAccel,     // m/s^2, root mean square of the speed's change
    LateralAccel,   // m/s^2, root mean square of speed times turn rate
    StoppedShare,   // 0 to 1, the window's share of time below stoppedMps
    RcsMean,        // dBsm, mean of the radars' latest samples; 0 when none
    RcsFluctuation, // dB, root mean square of a track's sample-to-sample change
    RcsKnown,       // 1 when a radar gave reflectivity in the window, else 0
    Radars,         // mean count of the radars that see it
    SeenFor,        // s, since the object was made, at most maxSeenS
};
constexpr int featureCount = 11;

using FeatureVector = std::array<double, featureCount>;

// "speed_mean_mps", ...: a feature's name in model files and feature rows.
const char* featureName(Feature feature);

// The features are taken over the last windowMs of an object's pictures.
constexpr std::int64_t windowMs = 10000; // ms
// Accelerations and turns from velocities this far apart at least, so that
// the filter's noise from one picture to the next does not dominate.
constexpr std::int64_t derivativeStepMs = 1000; // ms
// Below this speed an object is stopped.
constexpr double stoppedMps = 0.5; // m/s
// Below this speed a heading is too noisy for a turn.
constexpr double turningMps = 1.0; // m/s
// How long an object has been seen counts up to this.
constexpr double maxSeenS = 30.0; // s

// One object's pictures over the window, and its features from them.
class TrackHistory
{
public:
    // The object as the picture of timeMs gives it; pictures come in time
    // order.
    void add(std::int64_t timeMs, const SiteObject& object);
    FeatureVector features() const;
    // Seconds from the object's making to its last picture.
    double seenS() const { return seenS_; }

private:
    struct Motion
    {
        std::int64_t timeMs;
        double vxMps;
        double vyMps;
        int radars;
    };
    // A radar's reflectivity sample, new in this picture: its level and
    // its change from the same track's previous sample (none for a first).
    struct Reflection
    {
        std::int64_t timeMs;
        double lastDbsm;
        bool hasChange;
        double changeDb;
    };

    void addReflections(std::int64_t timeMs, const QVector<ObjectRadar>& radars);

    std::deque<Motion> motion_;
    std::deque<Reflection> reflections_;
    QVector<ObjectRadar> lastRadars_; // the radar tracks of the previous picture
    double seenS_ = 0.0;
};

} // namespace trklib::sited::classify

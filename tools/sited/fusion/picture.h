#pragma once

#include <QVector>

#include <cstdint>

// The site's picture and what it is made from: the records that fusion
// writes and every other stage of sited reads. They are sited's own
// vocabulary, in its namespace, so that each stage's namespace sees them.
namespace trklib::sited {

// A radar track ends when its radar has sent nothing for this long, ms;
// a radar is offline from then on until its next tracks message.
constexpr std::int64_t radarSilenceMs = 1000;

// Below this speed, km/h, an object's heading is mostly noise: the picture
// gives it as null and the history records none.
constexpr double minHeadingSpeedKph = 1.0;

// One radar target as its radar's tracks message reports it.
struct RadarTrack
{
    int number = 0;           // the radar's own target number
    double xM = 0.0;          // ground point, metres east of the site's origin
    double yM = 0.0;          // ground point, metres north of the site's origin
    double distanceM = 0.0;   // slant range from the radar, metres
    double velocityKph = 0.0; // radial velocity, km/h, positive receding
    bool confirmed = false;   // a detection updated it in this packet
};

// One radar packet's targets.
struct TracksReport
{
    int radar = -1;               // index into SiteConfig::radars
    std::int64_t timestampMs = 0; // the radar's own stamp (its clock may jump)
    std::int64_t receivedMs = 0;  // host clock when the packet was complete: the
                                  // measurement time fusion uses
    QVector<RadarTrack> targets;
};

// A radar track joined in an object.
struct ObjectRadar
{
    int radar = -1; // index into SiteConfig::radars
    int number = 0;
};

// One site object, predicted to the picture's time.
struct SiteObject
{
    std::int64_t id = 0;         // from 1, never reused by one Fusion
    double xM = 0.0;             // metres east of the site's origin
    double yM = 0.0;             // metres north
    double vxMps = 0.0;          // m/s east
    double vyMps = 0.0;          // m/s north
    bool confirmed = false;      // one of its radar tracks is confirmed, and it is not
                                 // an older object seen twice, waiting to be merged,
                                 // nor younger than Fusion::mergeAfterMs within the
                                 // gate of an older object of other radars
    QVector<ObjectRadar> radars; // the radar tracks joined in it now, by radar then number
    std::int64_t sinceMs = 0;    // receivedMs of the report that made the object
    double positionErrorM = 0.0; // the filter's 1-sigma position error as a circle, metres
};

struct Picture
{
    std::int64_t timeMs = 0;     // ms since the epoch
    QVector<SiteObject> objects; // by id
};

} // namespace trklib::sited

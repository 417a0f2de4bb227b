#pragma once

#include <QString>
#include <QVector>

#include <array>
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
    // Its reflectivity as the radar's tracker keeps it: radar cross-section
    // samples in dBsm, one for each packet that updated it.
    double rcsMeanDbsm = 0.0; // mean of the samples
    double rcsMaxDbsm = 0.0;  // largest sample
    double rcsLastDbsm = 0.0; // the latest sample
    int rcsSamples = 0;       // 0: the tracks message said nothing of it
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
    // The track's reflectivity as its latest report gave it (RadarTrack's).
    double rcsMeanDbsm = 0.0;
    double rcsMaxDbsm = 0.0;
    double rcsLastDbsm = 0.0;
    int rcsSamples = 0;
};

// How a radar is truly mounted against what the site file says: the
// truth is the site file's mounting plus this. Its true heading is the
// file's heading plus headingDeg (clockwise, as the heading), its true
// place the file's x and y plus xM and yM, and it reports every distance
// rangeM too long. Fusion undoes it on the radar's tracks: each ground
// point turned clockwise by headingDeg about the radar's place, moved by
// (xM, yM), and its distance shortened by rangeM.
struct RadarAlignment
{
    double headingDeg = 0.0; // degrees, clockwise
    double xM = 0.0;         // metres east
    double yM = 0.0;         // metres north
    double rangeM = 0.0;     // metres along the line of sight
};

// One radar's view of an object, placed as the site file mounts the radar
// (its range_offset taken off, no alignment applied).
struct Sighting
{
    int radar = -1;            // index into SiteConfig::radars
    double xM = 0.0;           // ground point, metres east of the site's origin
    double yM = 0.0;           // metres north
    double groundRangeM = 0.0; // from the point under the radar, metres
    double slantRangeM = 0.0;  // the distance the radar reports, metres
    double covXX = 0.0;        // its errors, m^2
    double covXY = 0.0;
    double covYY = 0.0;
};

// Two radars' sightings of one object at one time: b's latest report
// brought to a's time along the object's velocity. Fusion gives one for
// each report of a radar track in an object that holds another radar's
// track reported at most coSightingSkewMs before.
struct CoSighting
{
    std::int64_t timeMs = 0; // a's report, ms since the epoch
    std::int64_t objectId = 0;
    Sighting a;
    Sighting b;
};
constexpr std::int64_t coSightingSkewMs = 200;

// What an object is. The order is that of the probabilities' array and of
// every list of classes the site writes.
enum class ObjectClass : int
{
    Person,
    TwoWheeler,
    Car,
    Truck, // trucks and buses
    Animal,
    Unknown
};
constexpr int objectClassCount = 6;

// The probability of each class, indexed by ObjectClass; they sum to 1.
using ClassProbabilities = std::array<double, objectClassCount>;

// "person", "two-wheeler", "car", "truck", "animal", "unknown".
inline const char* className(ObjectClass c)
{
    constexpr const char* names[objectClassCount] = {"person", "two-wheeler", "car",
                                                     "truck",  "animal",      "unknown"};
    return names[int(c)];
}

// The class of a name that className() gives; false for any other text.
inline bool classFromName(const QString& name, ObjectClass& out)
{
    for (int i = 0; i < objectClassCount; ++i) {
        if (name == QLatin1String(className(ObjectClass(i)))) {
            out = ObjectClass(i);
            return true;
        }
    }
    return false;
}
// The same of a name's UTF-8 bytes, without making a QString of them.
inline bool classFromName(const QByteArray& name, ObjectClass& out)
{
    for (int i = 0; i < objectClassCount; ++i) {
        if (name == className(ObjectClass(i))) {
            out = ObjectClass(i);
            return true;
        }
    }
    return false;
}

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
    double gappedS = 0.0;        // the latest gap in its radar tracks it was joined
                                 // across, seconds; 0: none
    // What it is: the most probable class once its probability has passed
    // the site's threshold, else Unknown; and every class's probability.
    ObjectClass objectClass = ObjectClass::Unknown;
    ClassProbabilities classes = {0.0, 0.0, 0.0, 0.0, 0.0, 1.0};
};

struct Picture
{
    std::int64_t timeMs = 0;     // ms since the epoch
    QVector<SiteObject> objects; // by id
};

} // namespace trklib::sited

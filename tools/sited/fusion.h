#pragma once

#include "tools/common/siteconfig.h"

#include <QVector>

#include <cstdint>
#include <memory>

// Track-to-track fusion: the tracks of every radar of a site joined into
// one set of site objects, one per thing that moves, whatever radars see
// it. The same code runs live (messages from the broker, the host's clock)
// and offline (a capture tracked here, the capture's clock).
namespace trklib::sited {

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

class Fusion
{
public:
    // A radar track ends when its radar has sent nothing for this long.
    static constexpr std::int64_t radarSilenceMs = 1000;
    // An object stays confirmed while one of its radar tracks was confirmed
    // in its latest report or in one at most this much older, so that it
    // does not flicker when its radars miss a detection now and then.
    static constexpr std::int64_t confirmedHoldMs = 500;
    // Two objects that hold no radar in common and stay within the gate
    // (and their errors) of each other this long are one: the younger is
    // merged into the older.
    static constexpr std::int64_t mergeAfterMs = 1000;

    explicit Fusion(const site::SiteConfig& config);
    ~Fusion();

    Fusion(const Fusion&) = delete;
    Fusion& operator=(const Fusion&) = delete;

    // Takes one radar packet's targets. Reports arrive late and out of
    // order across radars: one older than its radar's latest, or than the
    // state of an object it would update, is not applied backwards and is
    // counted once in lateMessages(); nothing jumps back in time. A radar
    // track ends when its radar's newer report no longer holds it or the
    // radar has been silent radarSilenceMs.
    void add(const TracksReport& report);
    // Every object's state predicted to timeMs (the picture clock: the
    // host's live, the capture's offline; an object whose state is newer
    // is shown as it is); drops objects whose radar tracks have all ended
    // more than coast seconds before, and merges duplicates.
    Picture picture(std::int64_t timeMs);

    std::uint64_t lateMessages() const;
    int objectCount() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace trklib::sited

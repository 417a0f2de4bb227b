#pragma once

#include "tools/sited/fusion/picture.h"

#include <QVector>

#include <cstdint>
#include <memory>

// Track-to-track fusion: the tracks of every radar of a site joined into
// one set of site objects, one per thing that moves, whatever radars see
// it. The same code runs live (messages from the broker, the host's clock)
// and offline (a capture tracked here, the capture's clock).
namespace trklib::sited::fusion {

// Where a radar stands, as fusion needs it: its place on the site's ground
// and its mounting height, metres.
struct RadarPlace
{
    double xM = 0.0;           // east of the site's origin
    double yM = 0.0;           // north of the site's origin
    double heightM = 0.0;      // of the antenna above the ground
    double rangeOffsetM = 0.0; // the site file's range_offset: taken off every distance
};

// What fusion is told of the site: its [fusion] settings and the radars.
struct Settings
{
    double gateM = 10.0;        // how far a radar track may lie from the object it joins
    double coastS = 3.0;        // how long an object outlives its last radar track
    QVector<RadarPlace> radars; // by index as TracksReport::radar counts them
    bool coSightings = false;   // gather co-sightings for takeCoSightings()
};

class Fusion
{
public:
    // A radar track ends when its radar has sent nothing for this long.
    static constexpr std::int64_t radarSilenceMs = sited::radarSilenceMs;
    // An object stays confirmed while one of its radar tracks was confirmed
    // in its latest report or in one at most this much older, so that it
    // does not flicker when its radars miss a detection now and then.
    static constexpr std::int64_t confirmedHoldMs = 500;
    // Two objects that hold no radar in common and stay within the gate
    // (and their errors) of each other this long are one: the younger is
    // merged into the older.
    static constexpr std::int64_t mergeAfterMs = 1000;
    // A new object that starts within reach of one without radar tracks
    // (coasting, or past its coast and not yet forgotten) stays out of the
    // picture this long, while its motion shows whether it is that one come
    // back; then it takes that one's number, or keeps its own.
    static constexpr std::int64_t probationMs = 1000;

    explicit Fusion(const Settings& settings);
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

    // Corrects every later report of the radar by its alignment (undone on
    // its tracks before they are measured); all zero is none.
    void setAlignment(int radar, const RadarAlignment& alignment);
    // The co-sightings gathered since the last call (none unless
    // Settings::coSightings): each report of a track in an object that holds
    // another radar's track, and, once a picture, the tracks of two objects
    // of different radars that lie within the gate of each other alone and
    // move alike (a radar off its entry whose tracks fusion does not join).
    QVector<CoSighting> takeCoSightings();

    std::uint64_t lateMessages() const;
    int objectCount() const;
    // How often fusion found its own books broken and mended them: a radar
    // track still joined to an object that is gone is forgotten and starts
    // over as a new track (it joins an object that holds no track of its
    // radar, or makes one with a new id). 0 unless fusion has a fault.
    std::uint64_t recoveries() const;

private:
    // The tests' way to break the books on purpose: drops an object
    // without ending its radar tracks. Nothing else calls it.
    friend struct FusionFaults;
    void dropObjectKeepingTracks(std::int64_t id);

    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace trklib::sited::fusion

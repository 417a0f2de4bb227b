#pragma once

#include "tools/sited/fusion/picture.h"

#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>

// Self-alignment: every object that two radars see at once measures how
// far their mountings disagree. From the co-sightings that fusion gathers,
// each radar's heading, place and range offset against the site file, with
// their uncertainties, and whether the geometry can tell them apart.
namespace trklib::sited::align {

// A radar's place as the site file gives it, metres.
struct RadarMount
{
    double xM = 0.0;      // east of the site's origin
    double yM = 0.0;      // north of the site's origin
    double heightM = 0.0; // of the antenna above the ground
};

struct Settings
{
    QVector<RadarMount> radars; // by index as Sighting::radar counts them
    int anchor = -1;            // a radar right by definition; -1: the radars' consensus
    double windowS = 300.0;     // how far back co-sightings count, seconds
};

// One radar's estimated error, in the sense of RadarAlignment: the truth is
// the site file's mounting plus estimate.
struct RadarEstimate
{
    int radar = -1;
    bool anchor = false;     // the frame's anchor: fixed, or chosen by the consensus
    bool observable = false; // false: the geometry cannot tell (why says what)
    QString why;             // empty when observable; else a short phrase
    // The error found, and one standard deviation of each. Where it is not
    // observable but shares objects, what the co-sightings tell is in it and
    // the rest stays near the site file: enough to bring the radars'
    // sightings together, not to mend the file.
    RadarAlignment estimate;
    RadarAlignment sigma;
    // Not observable along its beam alone (and sharing): the estimate with
    // its place along that weak direction moved into its range offset, a
    // move that changes none of its co-sightings. What the co-sightings do
    // tell: the heading, the place across the beam, and the range offset
    // together with the place along the beam. It mends the site file for
    // the objects along that beam, which are the ones the radar shares.
    bool folded = false;
    RadarAlignment foldedEstimate;
    RadarAlignment foldedSigma;   // one standard deviation of each of its figures
    bool foldedCertain = false;   // every one of them within the bounds below
    bool sharing = false;         // shares objects, directly or through others, with the anchor
    bool certain = false;         // every sigma within the bounds below
    std::int64_t coSightings = 0; // used, within the window

    // An estimate is certain, and may be applied, once its standard
    // deviations are within these.
    static constexpr double certainHeadingDeg = 0.05; // degrees
    static constexpr double certainPlaceM = 0.15;     // metres, x and y
    static constexpr double certainRangeM = 0.1;      // metres
};

// A radar the geometry cannot tell otherwise than along its beam (see
// appliedAlignment()) is corrected only from this many co-sightings on.
constexpr std::int64_t minApplyCoSightings = 1000;

// Until an estimate is certain, apply takes one that is already clearly
// better than the correction in force (none at first, or the one a knock
// has made wrong): every standard deviation within earlyBounds times the
// bounds of a certain one, and some figure more than earlySigmas of its own
// and earlyFigure times that bound away from the correction in force. On the
// junction a radar two degrees off is then corrected after 5 to 10 s of
// traffic instead of 15 to 20; one without an error is not, by noise; and a
// certain estimate replaces the early one.
constexpr double earlyBounds = 6.0;
constexpr double earlySigmas = 5.0;
constexpr double earlyFigure = 3.0;

// What [fusion] align = apply corrects a radar by, when anything, given the
// correction in force (zero for none): the anchor by nothing (a zero
// alignment); an observable radar by its estimate once certain; one that
// cannot tell its range offset from its place along its beam by its folded
// estimate once that is certain; either of them early, as above; one the
// geometry cannot tell otherwise, but that shares objects, by its estimate
// from minApplyCoSightings on: enough to bring its sightings together with
// the others', not to mend the site file.
std::optional<RadarAlignment> appliedAlignment(const RadarEstimate& estimate,
                                               const RadarAlignment& inForce);

class Aligner
{
public:
    explicit Aligner(const Settings& settings);
    ~Aligner();

    Aligner(const Aligner&) = delete;
    Aligner& operator=(const Aligner&) = delete;

    // Keeps the co-sighting (thinned) within the window.
    void add(const CoSighting& coSighting);
    // Every radar's estimate from the co-sightings within the window
    // before nowMs (ms since the epoch), by radar.
    QVector<RadarEstimate> estimate(std::int64_t nowMs);

    // A radar whose estimate jumped beyond its uncertainty while running:
    // knocked or moved. Its older co-sightings are dropped.
    struct Change
    {
        int radar = -1;
        RadarAlignment before;
        RadarAlignment after;
        std::int64_t timeMs = 0;
    };
    // The changes found by estimate() since the last call.
    QVector<Change> takeChanges();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace trklib::sited::align

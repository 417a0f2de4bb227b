#include "tools/sited/fusion/fusion.h"

#include "tools/sited/fusion/assignment.h"
#include "tools/sited/fusion/kalmanfilter.h"
#include "tools/sited/fusion/objectgrid.h"
#include "tools/sited/fusion/radarmeasurement.h"

#include "util/units.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>
#include <vector>

// Track-to-track fusion. Every site object is a constant-velocity Kalman
// filter; every radar track is joined to at most one object and feeds it
// its ground point and radial velocity. A track stays in its object while
// it stays within the gate and agrees with the other radars' tracks there;
// a new track joins the object that an optimal assignment over the gated,
// agreeing pairs gives it, or makes a new one. Objects
// are found through a bucket grid, so that the cost of a report grows with
// its own targets and the objects near them, not with the whole site.
namespace trklib::sited::fusion {

namespace {

constexpr std::int64_t never = std::numeric_limits<std::int64_t>::min();
// The site's radars disagree by this much on one object (placement and
// mounting errors), metres and m/s: the floor under the errors that two
// objects may differ by and still be one.
constexpr double radarBiasM = 0.7;
constexpr double radarBiasMps = 1.0;
// Chi-square, 2 degrees of freedom, 99 %.
constexpr double mergeChiSquare = 9.21;

// d^T (A + bias^2 I)^-1 d for a 2-vector and a 2 x 2 covariance.
double mahalanobis2(double dx, double dy, double aXX, double aXY, double aYY, double biasSq)
{
    aXX += biasSq;
    aYY += biasSq;
    const double det = aXX * aYY - aXY * aXY;
    if (!(det > 0.0))
        return std::numeric_limits<double>::infinity();
    return (dx * dx * aYY - 2.0 * dx * dy * aXY + dy * dy * aXX) / det;
}

// Two objects are one when their positions (b's at (x, y), a's at (ax, ay))
// and their velocities lie within their joint errors and the radars'
// disagreement of each other.
bool sameObject(const KalmanFilter& a, double ax, double ay, const KalmanFilter& b, double x,
                double y)
{
    const double position =
        mahalanobis2(ax - x, ay - y, a.cov(0, 0) + b.cov(0, 0), a.cov(0, 1) + b.cov(0, 1),
                     a.cov(1, 1) + b.cov(1, 1), radarBiasM * radarBiasM);
    const double velocity = mahalanobis2(a.vx() - b.vx(), a.vy() - b.vy(),
                                         a.cov(2, 2) + b.cov(2, 2), a.cov(2, 3) + b.cov(2, 3),
                                         a.cov(3, 3) + b.cov(3, 3), radarBiasMps * radarBiasMps);
    return position <= mergeChiSquare && velocity <= mergeChiSquare;
}

// A radar track agrees with an object while its ground point and radial
// speed lie within their errors (and the radars' disagreement) of the
// object's prediction: chi-square, 3 degrees of freedom, 99.9 %. Two lanes
// 3.5 m apart are within the gate but not within this of each other, and
// an object of the opposite lane or a walker is far off in radial speed.
constexpr double agreeChiSquare = 16.27;

// The statistical distance of measurement m from the object's state
// predicted to timeMs: position and, when it has one, radial speed.
double disagreement(const KalmanFilter& filter, const RadarMeasurement& m, std::int64_t timeMs)
{
    KalmanFilter f = filter;
    f.predict(timeMs);
    double d2 = mahalanobis2(m.position.xM - f.x(), m.position.yM - f.y(),
                             f.cov(0, 0) + m.position.covXX, f.cov(0, 1) + m.position.covXY,
                             f.cov(1, 1) + m.position.covYY, radarBiasM * radarBiasM);
    if (m.hasRadial) {
        const double ux = m.losX, uy = m.losY;
        const double predicted = f.vx() * ux + f.vy() * uy;
        const double variance = ux * ux * f.cov(2, 2) + 2.0 * ux * uy * f.cov(2, 3) +
                                uy * uy * f.cov(3, 3) + m.radialVariance +
                                radarBiasMps * radarBiasMps;
        const double innovation = m.radialMps - predicted;
        d2 += innovation * innovation / variance;
    }
    return d2;
}

// Where an object without radar tracks may be by now, T seconds after
// its latest measurement: anywhere from standing where it was (a walker
// that stopped, unseen by the radars' Doppler) to going on a quarter faster
// than it went, within a width that grows with T. A walker's width grows
// slower than a vehicle's, and a walker is waited for longer.
struct Reach
{
    double maxGapS;     // after this long it is no longer waited for
    double behindM;     // how far back of where it was
    double widthM;      // half the width at T = 0
    double widthPerS;   // and its growth
    double maxWidthM;   // its cap
    double speedFactor; // the reach ahead, times its speed and T
};
// Above this speed, m/s, an object is taken for a vehicle.
constexpr double vehicleSpeedMps = 4.0;
constexpr Reach walkerReach{30.0, 2.0, 2.0, 0.15, 5.0, 1.25};
constexpr Reach vehicleReach{10.0, 3.0, 3.0, 0.3, 6.0, 1.25};
// Below this speed, m/s, a heading means nothing for telling objects apart.
constexpr double headingSpeedMps = 1.0;
// What having stood unseen on the way costs a continuation, widths.
constexpr double stoodCost = 2.0;
// A rejoined object may have turned in its gap by less than this, degrees.
constexpr double maxTurnDeg = 100.0;

const Reach& reachOf(const KalmanFilter& f)
{
    return std::hypot(f.vx(), f.vy()) > vehicleSpeedMps ? vehicleReach : walkerReach;
}

// True when (x, y) at timeMs lies within the reach of the object whose
// latest state is f.
bool withinReach(const KalmanFilter& f, double x, double y, std::int64_t timeMs)
{
    const Reach& reach = reachOf(f);
    const double gapS = double(timeMs - f.timeMs()) / util::msPerS;
    if (gapS < 0.0 || gapS > reach.maxGapS)
        return false;
    const double dx = x - f.x(), dy = y - f.y();
    const double width = std::min(reach.maxWidthM, reach.widthM + reach.widthPerS * gapS);
    const double speed = std::hypot(f.vx(), f.vy());
    if (speed < headingSpeedMps)
        return std::hypot(dx, dy) <= width + reach.speedFactor * speed * gapS;
    const double ux = f.vx() / speed, uy = f.vy() / speed;
    const double along = dx * ux + dy * uy;
    const double across = std::abs(dy * ux - dx * uy);
    return along >= -reach.behindM && along <= reach.speedFactor * speed * gapS + width &&
           across <= width;
}

// True when a new object's velocity (from its first second) may be that of
// the one it would rejoin: not turned back, not far faster.
bool motionAgrees(const KalmanFilter& before, const KalmanFilter& after)
{
    const double s0 = std::hypot(before.vx(), before.vy());
    const double s1 = std::hypot(after.vx(), after.vy());
    if (s1 > std::max(2.0 * s0, s0 + 3.0))
        return false;
    if (s0 < headingSpeedMps || s1 < headingSpeedMps)
        return true;
    const double cosTurn = (before.vx() * after.vx() + before.vy() * after.vy()) / (s0 * s1);
    return cosTurn >= std::cos(maxTurnDeg * util::radPerDeg);
}

// How well a new object at (x, y) at its start, moving as after then,
// continues the object before, in widths of the reach plus its change of
// velocity in m/s, halved; 0 is a perfect continuation. Of the two ways it
// may have gone, the better: on as it went (its distance from where its
// velocity takes it), or having stood somewhere on the way for a while
// (its distance from the path between standing and going on), which costs
// stoodCost widths more: most that are seen again went on.
double continuation(const KalmanFilter& before, double x, double y, std::int64_t startMs,
                    const KalmanFilter& after)
{
    const Reach& reach = reachOf(before);
    const double gapS = std::max(0.0, double(startMs - before.timeMs()) / util::msPerS);
    const double width = std::min(reach.maxWidthM, reach.widthM + reach.widthPerS * gapS);
    const double ex = before.vx() * gapS, ey = before.vy() * gapS;
    const double length2 = ex * ex + ey * ey;
    const double dx = x - before.x(), dy = y - before.y();
    const double k = length2 > 0.0 ? std::clamp((dx * ex + dy * ey) / length2, 0.0, 1.0) : 0.0;
    const double stood = std::hypot(dx - k * ex, dy - k * ey) / width + stoodCost;
    const double wentOn = std::hypot(dx - ex, dy - ey) / width;
    const double turn = std::hypot(after.vx() - before.vx(), after.vy() - before.vy());
    return std::min(wentOn, stood) + 0.5 * turn;
}
// A candidate is taken over the next best only when it continues the
// object better by this much.
constexpr double continuationMargin = 1.0;
// Nor is one taken that continues it worse than this: within the reach,
// but far from where it went or far from how fast (a car lost, and someone
// walking where it was).
constexpr double maxContinuation = 3.0;

struct Track
{
    std::int64_t objectId = 0;
    std::int64_t lastSeenMs = never;
    std::int64_t lastConfirmedMs = never;
    Sighting sighting; // of its latest confirmed report, as the site file places it
    std::int64_t sightingMs = never;
};

struct RadarState
{
    RadarAlignment alignment; // undone on every report
    bool aligned = false;     // alignment is not all zero
    bool heard = false;
    std::int64_t lastReceivedMs = never;
    QHash<int, Track> tracks; // by the radar's target number
};

// How long an object has stayed within the gate of one other object, both
// consistent within their errors: for merging it into an older one, and
// for dropping it, coasting, as a copy of one with radar tracks.
struct MergeTimer
{
    std::int64_t other = 0; // the object it has stayed near, 0 for none
    std::int64_t sinceMs = 0;

    // Follows nearest (0 for none), the object it is near at timeMs: true
    // once it has stayed near that same one for Fusion::mergeAfterMs.
    bool elapsed(std::int64_t nearest, std::int64_t timeMs)
    {
        if (nearest == 0) {
            other = 0;
        } else if (nearest != other) {
            other = nearest;
            sinceMs = timeMs;
        } else if (timeMs - sinceMs >= Fusion::mergeAfterMs) {
            return true;
        }
        return false;
    }
};

struct Object
{
    KalmanFilter filter; // as of its latest measurement
    std::int64_t sinceMs = 0;
    QVector<ObjectRadar> radars;  // by radar then number
    std::int64_t endedMs = never; // when its last radar track ended
    MergeTimer mergeInto;         // the older object it has stayed near
    MergeTimer ghostOf;           // while coasting, the object with radar tracks it has stayed on
    bool nearOlder = false;       // within the gate of an older object of other radars
    // Past its coast and gone from the picture, kept while a new track may
    // still be this object come back (Fusion::rejoinWithinMs).
    bool dormant = false;
    // New and kept from the picture until probationEndMs: the objects
    // without radar tracks that its first report lay within reach of, one
    // of which it may be.
    QVector<std::int64_t> rejoinCandidates;
    std::int64_t probationEndMs = never;
    double startXM = 0.0, startYM = 0.0; // its first report's ground point
    double gappedS = 0.0;                // the latest gap it was joined across

    bool holds(int radar) const
    {
        return std::any_of(radars.cbegin(), radars.cend(),
                           [radar](const ObjectRadar& r) { return r.radar == radar; });
    }
    bool sharesRadar(const Object& other) const
    {
        return std::any_of(radars.cbegin(), radars.cend(),
                           [&other](const ObjectRadar& r) { return other.holds(r.radar); });
    }
};

// A new radar track waiting to be joined.
struct Fresh
{
    RadarTrack target;
    RadarMeasurement measurement;
    QVector<std::int64_t> candidates; // objects within the gate
};

// The radar's report as the site file places it: its range offset taken
// off the distance.
RadarTrack offsetTrack(const RadarPlace& place, RadarTrack track)
{
    track.distanceM -= place.rangeOffsetM;
    return track;
}

Sighting sightingOf(int radar, const RadarTrack& track, const RadarMeasurement& m)
{
    Sighting s;
    s.radar = radar;
    s.xM = m.position.xM;
    s.yM = m.position.yM;
    s.groundRangeM = m.rangeM;
    s.slantRangeM = track.distanceM;
    s.covXX = m.position.covXX;
    s.covXY = m.position.covXY;
    s.covYY = m.position.covYY;
    return s;
}

// The radar's place where its alignment says it truly stands.
RadarPlace alignedPlace(RadarPlace place, const RadarAlignment& a)
{
    place.xM += a.xM;
    place.yM += a.yM;
    return place;
}

// The report with its radar's alignment undone: the ground point turned
// clockwise about the radar's place and moved with it, the distance
// shortened.
RadarTrack alignedTrack(const RadarPlace& place, const RadarAlignment& a, RadarTrack track)
{
    const double turn = a.headingDeg * util::radPerDeg;
    const double c = std::cos(turn), s = std::sin(turn);
    const double dx = track.xM - place.xM, dy = track.yM - place.yM;
    track.xM = place.xM + a.xM + dx * c + dy * s;
    track.yM = place.yM + a.yM - dx * s + dy * c;
    track.distanceM -= a.rangeM;
    return track;
}

} // namespace

struct Fusion::Private
{
    explicit Private(const Settings& s)
        : places(s.radars), radars(s.radars.size()), gateM(s.gateM),
          coastMs(std::llround(s.coastS * util::msPerS)), grid(s.gateM),
          gatherCoSightings(s.coSightings)
    {}

    void advance(std::int64_t timeMs);
    void attach(int radar, const RadarTrack& target, std::int64_t objectId, std::int64_t timeMs);
    void detach(int radar, int number, std::int64_t objectId, std::int64_t endMs);
    bool apply(Object& object, const RadarMeasurement& m, std::int64_t timeMs);
    bool joinFresh(int radar, std::int64_t timeMs, QVector<Fresh>& fresh);
    void mergeDuplicates(std::int64_t timeMs);
    void noteSighting(int radar, Track& track, const Sighting& sighting, std::int64_t timeMs);
    void dropGhosts(std::int64_t timeMs);
    QVector<std::int64_t> rejoinCandidates(std::int64_t self, double x, double y,
                                           std::int64_t timeMs) const;
    void settleProbation(std::int64_t timeMs);
    void rekey(std::int64_t fromId, std::int64_t toId);
    bool confirmed(const Object& object) const;

    QVector<RadarPlace> places;
    QVector<RadarState> radars; // by index into places
    std::map<std::int64_t, Object> objects;
    double gateM;
    std::int64_t coastMs;
    ObjectGrid grid;
    std::int64_t nowMs = never; // the latest time seen: never goes back
    std::int64_t nextId = 1;
    std::uint64_t late = 0;
    std::uint64_t recoveries = 0;
    bool gatherCoSightings;
    QVector<CoSighting> coSightings;
    void pairTracks(const Object& a, std::int64_t aId, const Object& b);
    void pairNearObjects(std::int64_t timeMs);
};

// Each radar track of a paired with each of b's (of other radars) reported
// at most coSightingSkewMs before it, brought to its time along a's
// velocity.
void Fusion::Private::pairTracks(const Object& a, std::int64_t aId, const Object& b)
{
    for (const ObjectRadar& ra : a.radars) {
        const auto ta = radars[ra.radar].tracks.constFind(ra.number);
        if (ta == radars[ra.radar].tracks.cend() || ta->sightingMs == never)
            continue;
        for (const ObjectRadar& rb : b.radars) {
            if (rb.radar == ra.radar)
                continue;
            const auto tb = radars[rb.radar].tracks.constFind(rb.number);
            if (tb == radars[rb.radar].tracks.cend() || tb->sightingMs == never)
                continue;
            const std::int64_t skewMs = ta->sightingMs - tb->sightingMs;
            if (skewMs < 0 || skewMs > coSightingSkewMs)
                continue;
            CoSighting pair{ta->sightingMs, aId, ta->sighting, tb->sighting};
            const double dtS = double(skewMs) / util::msPerS;
            pair.b.xM += a.filter.vx() * dtS;
            pair.b.yM += a.filter.vy() * dtS;
            coSightings.append(pair);
        }
    }
}

// Two objects of different radars that fusion keeps apart but that lie
// within the gate of each other and of no other such object, moving alike
// (within pairSpeedMps), are most likely one thing that a radar off its
// entry places metres away: their tracks are co-sightings too, from which
// the alignment learns to bring them together.
void Fusion::Private::pairNearObjects(std::int64_t timeMs)
{
    constexpr double pairSpeedMps = 2.0;
    QVector<std::pair<std::int64_t, const Object*>> live;
    grid.clear();
    for (const auto& [id, object] : objects) {
        if (object.radars.isEmpty() || object.dormant)
            continue;
        grid.insert(live.size(), object.filter.xAt(timeMs), object.filter.yAt(timeMs));
        live.append({id, &object});
    }
    QVector<int> partner(live.size(), -1); // the one near it; -2: more than one
    for (int i = 0; i < live.size(); ++i) {
        const Object& a = *live[i].second;
        grid.forEachWithin(a.filter.xAt(timeMs), a.filter.yAt(timeMs), gateM,
                           [&](const ObjectGrid::Entry& e) {
                               const int j = int(e.id);
                               const Object& b = *live[j].second;
                               if (j == i || a.sharesRadar(b) ||
                                   std::hypot(a.filter.vx() - b.filter.vx(),
                                              a.filter.vy() - b.filter.vy()) > pairSpeedMps)
                                   return;
                               partner[i] = partner[i] == -1 ? j : -2;
                           });
    }
    for (int i = 0; i < live.size(); ++i) {
        const int j = partner[i];
        if (j > i && partner[j] == i) {
            // Whichever was reported later is brought the other's way.
            pairTracks(*live[i].second, live[i].first, *live[j].second);
            pairTracks(*live[j].second, live[j].first, *live[i].second);
        }
    }
}

// Keeps the track's sighting and pairs it with those of the object's other
// radars reported at most coSightingSkewMs before, brought to its time
// along the object's velocity.
void Fusion::Private::noteSighting(int radar, Track& track, const Sighting& sighting,
                                   std::int64_t timeMs)
{
    track.sighting = sighting;
    track.sightingMs = timeMs;
    if (!gatherCoSightings)
        return;
    const auto found = objects.find(track.objectId);
    if (found == objects.end())
        return;
    const KalmanFilter& filter = found->second.filter;
    for (const ObjectRadar& other : qAsConst(found->second.radars)) {
        if (other.radar == radar)
            continue;
        const auto it = radars[other.radar].tracks.constFind(other.number);
        if (it == radars[other.radar].tracks.cend() || it->sightingMs == never)
            continue;
        const std::int64_t skewMs = timeMs - it->sightingMs;
        if (skewMs < 0 || skewMs > coSightingSkewMs)
            continue;
        CoSighting pair{timeMs, track.objectId, sighting, it->sighting};
        const double dtS = double(skewMs) / util::msPerS;
        pair.b.xM += filter.vx() * dtS;
        pair.b.yM += filter.vy() * dtS;
        coSightings.append(pair);
    }
}

// Ends the tracks of radars silent too long and drops objects that have
// coasted their time.
void Fusion::Private::advance(std::int64_t timeMs)
{
    nowMs = std::max(nowMs, timeMs);
    for (int r = 0; r < radars.size(); ++r) {
        RadarState& radar = radars[r];
        if (radar.tracks.isEmpty() || nowMs - radar.lastReceivedMs <= radarSilenceMs)
            continue;
        for (auto it = radar.tracks.cbegin(); it != radar.tracks.cend(); ++it)
            detach(r, it.key(), it->objectId, radar.lastReceivedMs + radarSilenceMs);
        radar.tracks.clear();
    }
    for (auto it = objects.begin(); it != objects.end();) {
        Object& object = it->second;
        if (object.radars.isEmpty() && nowMs - object.endedMs > coastMs) {
            object.dormant = true;
            const double gapS = double(nowMs - object.filter.timeMs()) / util::msPerS;
            if (gapS > reachOf(object.filter).maxGapS) {
                it = objects.erase(it);
                continue;
            }
        }
        ++it;
    }
}

// The objects without radar tracks (coasting or dormant, not new ones on
// probation themselves) within whose reach (x, y) lies at timeMs.
QVector<std::int64_t> Fusion::Private::rejoinCandidates(std::int64_t self, double x, double y,
                                                        std::int64_t timeMs) const
{
    QVector<std::int64_t> found;
    for (const auto& [id, object] : objects) {
        if (id != self && object.radars.isEmpty() && object.probationEndMs == never &&
            withinReach(object.filter, x, y, timeMs))
            found.append(id);
    }
    return found;
}

// The new objects whose probation has ended: each takes the number of the
// one object without tracks it may be, when its motion agrees and no other
// new object may be that one too; else it keeps its own. A wrong join is
// worse than a new number, so anything unclear keeps the new one.
void Fusion::Private::settleProbation(std::int64_t timeMs)
{
    QVector<std::pair<std::int64_t, std::int64_t>> joins; // new, old
    for (auto& [id, object] : objects) {
        if (object.probationEndMs == never || timeMs < object.probationEndMs)
            continue;
        // The best continuation among the candidates still without tracks
        // whose motion agrees, taken when clearly better than the next.
        std::int64_t best = 0;
        double bestScore = std::numeric_limits<double>::infinity();
        double nextScore = std::numeric_limits<double>::infinity();
        for (std::int64_t c : qAsConst(object.rejoinCandidates)) {
            const auto old = objects.find(c);
            if (old == objects.end() || !old->second.radars.isEmpty() ||
                !motionAgrees(old->second.filter, object.filter))
                continue;
            const double score = continuation(old->second.filter, object.startXM, object.startYM,
                                              object.sinceMs, object.filter);
            if (score < bestScore) {
                nextScore = bestScore;
                bestScore = score;
                best = c;
            } else {
                nextScore = std::min(nextScore, score);
            }
        }
        object.rejoinCandidates.clear();
        object.probationEndMs = never;
        // One that agrees with an older object of other radars is that one
        // seen by another radar, to be merged into it, not one come back.
        if (best == 0 || bestScore > maxContinuation ||
            nextScore - bestScore < continuationMargin || object.radars.isEmpty() ||
            object.mergeInto.other != 0)
            continue;
        // Another new object that may be the same one, and is not this one
        // seen by another radar, makes it unclear.
        // (Structured bindings are not captured: C++17.)
        const std::int64_t selfId = id;
        const Object& self = object;
        const double x = self.filter.xAt(timeMs), y = self.filter.yAt(timeMs);
        const bool contested = std::any_of(objects.cbegin(), objects.cend(), [&](const auto& e) {
            const Object& other = e.second;
            return e.first != selfId && other.rejoinCandidates.contains(best) &&
                   (other.sharesRadar(self) ||
                    !sameObject(other.filter, other.filter.xAt(timeMs), other.filter.yAt(timeMs),
                                self.filter, x, y));
        });
        const bool taken = std::any_of(joins.cbegin(), joins.cend(),
                                       [&](const auto& j) { return j.second == best; });
        if (!contested && !taken)
            joins.append({id, best});
    }
    for (const auto& [fresh, old] : qAsConst(joins))
        rekey(fresh, old);
}

// The object fromId becomes toId, whose last state it continues: toId's
// start is kept, the gap between them recorded, and fromId is never given
// again.
void Fusion::Private::rekey(std::int64_t fromId, std::int64_t toId)
{
    auto from = objects.find(fromId);
    auto to = objects.find(toId);
    if (from == objects.end() || to == objects.end())
        return;
    Object joined = std::move(from->second);
    joined.gappedS = double(joined.sinceMs - to->second.filter.timeMs()) / util::msPerS;
    joined.sinceMs = to->second.sinceMs;
    objects.erase(from);
    to->second = std::move(joined);
    for (const ObjectRadar& r : qAsConst(to->second.radars))
        radars[r.radar].tracks[r.number].objectId = toId;
}

namespace {

// A joined track's reflectivity as its latest report gave it.
void copyReflectivity(const RadarTrack& from, ObjectRadar& to)
{
    to.rcsMeanDbsm = from.rcsMeanDbsm;
    to.rcsMaxDbsm = from.rcsMaxDbsm;
    to.rcsLastDbsm = from.rcsLastDbsm;
    to.rcsSamples = from.rcsSamples;
}

} // namespace

void Fusion::Private::attach(int radar, const RadarTrack& target, std::int64_t objectId,
                             std::int64_t timeMs)
{
    Track& track = radars[radar].tracks[target.number];
    track.objectId = objectId;
    track.lastSeenMs = timeMs;
    if (target.confirmed)
        track.lastConfirmedMs = timeMs;
    QVector<ObjectRadar>& list = objects[objectId].radars;
    ObjectRadar entry{radar, target.number};
    copyReflectivity(target, entry);
    const auto at = std::lower_bound(
        list.begin(), list.end(), entry, [](const ObjectRadar& a, const ObjectRadar& b) {
            return std::tie(a.radar, a.number) < std::tie(b.radar, b.number);
        });
    list.insert(at, entry);
}

void Fusion::Private::detach(int radar, int number, std::int64_t objectId, std::int64_t endMs)
{
    const auto it = objects.find(objectId);
    if (it == objects.end())
        return;
    Object& object = it->second;
    object.radars.erase(std::remove_if(object.radars.begin(), object.radars.end(),
                                       [&](const ObjectRadar& r) {
                                           return r.radar == radar && r.number == number;
                                       }),
                        object.radars.end());
    if (object.radars.isEmpty())
        object.endedMs = std::max(object.endedMs, endMs);
}

// False when the object's state is newer than the measurement: it is not
// applied backwards.
bool Fusion::Private::apply(Object& object, const RadarMeasurement& m, std::int64_t timeMs)
{
    if (object.filter.timeMs() > timeMs)
        return false;
    object.filter.predict(timeMs);
    object.filter.updatePosition(m.position);
    if (m.hasRadial)
        object.filter.updateAlong(m.losX, m.losY, m.radialMps, m.radialVariance);
    return true;
}

// Joins new radar tracks to the objects within the gate that hold no track
// of their radar and that they agree with, one to one at the least total
// statistical distance, solved per connected group of such pairs; a track
// left over makes a new object.
// True when a measurement was too old for the object it joined.
bool Fusion::Private::joinFresh(int radar, std::int64_t timeMs, QVector<Fresh>& fresh)
{
    // The grid holds indexes into open: objects free for this radar, by id.
    QVector<std::pair<std::int64_t, Object*>> open;
    grid.clear();
    for (auto& [id, object] : objects) {
        if (object.holds(radar) || object.dormant)
            continue;
        grid.insert(open.size(), object.filter.xAt(timeMs), object.filter.yAt(timeMs));
        open.append({id, &object});
    }
    QHash<std::int64_t, QVector<int>> byObject; // object id -> fresh tracks gating it
    for (int i = 0; i < fresh.size(); ++i) {
        const GroundMeasurement& p = fresh[i].measurement.position;
        grid.forEachWithin(p.xM, p.yM, gateM, [&](const ObjectGrid::Entry& e) {
            if (disagreement(open[int(e.id)].second->filter, fresh[i].measurement, timeMs) >
                agreeChiSquare)
                return;
            fresh[i].candidates.append(open[int(e.id)].first);
            byObject[open[int(e.id)].first].append(i);
        });
    }

    const double unjoinedCost = agreeChiSquare;
    const double forbiddenCost = 1e6 * (unjoinedCost + 1.0);
    QVector<std::int64_t> joinedTo(fresh.size(), 0);
    QVector<bool> done(fresh.size(), false);
    for (int seed = 0; seed < fresh.size(); ++seed) {
        if (done[seed])
            continue;
        // The connected group of tracks and objects around seed.
        QVector<int> rows{seed};
        QVector<std::int64_t> columns;
        QSet<std::int64_t> seenColumns;
        done[seed] = true;
        for (int k = 0; k < rows.size(); ++k) {
            for (std::int64_t id : qAsConst(fresh[rows[k]].candidates)) {
                if (seenColumns.contains(id))
                    continue;
                seenColumns.insert(id);
                columns.append(id);
                for (int other : qAsConst(byObject[id])) {
                    if (!done[other]) {
                        done[other] = true;
                        rows.append(other);
                    }
                }
            }
        }
        if (columns.isEmpty())
            continue;
        // Every row also has a column of its own: staying unjoined, at the
        // cost of a pair at the gate.
        const int n = rows.size();
        const int m = columns.size() + n;
        std::vector<double> cost(std::size_t(n) * m, forbiddenCost);
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < columns.size(); ++c) {
                if (!fresh[rows[r]].candidates.contains(columns[c]))
                    continue;
                cost[std::size_t(r) * m + c] =
                    disagreement(objects[columns[c]].filter, fresh[rows[r]].measurement, timeMs);
            }
            cost[std::size_t(r) * m + columns.size() + r] = unjoinedCost;
        }
        const std::vector<int> assigned = solveAssignment(cost, n, m);
        for (int r = 0; r < n && r < int(assigned.size()); ++r)
            if (assigned[r] >= 0 && assigned[r] < columns.size())
                joinedTo[rows[r]] = columns[assigned[r]];
    }

    bool tooOld = false;
    for (int i = 0; i < fresh.size(); ++i) {
        std::int64_t id = joinedTo[i];
        if (id == 0) {
            id = nextId++;
            Object& object = objects[id];
            object.filter = KalmanFilter(fresh[i].measurement.position, timeMs);
            object.sinceMs = timeMs;
            object.startXM = fresh[i].measurement.position.xM;
            object.startYM = fresh[i].measurement.position.yM;
            object.rejoinCandidates = rejoinCandidates(id, fresh[i].measurement.position.xM,
                                                       fresh[i].measurement.position.yM, timeMs);
            if (!object.rejoinCandidates.isEmpty())
                object.probationEndMs = timeMs + probationMs;
            if (fresh[i].measurement.hasRadial)
                object.filter.updateAlong(fresh[i].measurement.losX, fresh[i].measurement.losY,
                                          fresh[i].measurement.radialMps,
                                          fresh[i].measurement.radialVariance);
        } else {
            Object& object = objects[id];
            // A coasting object taken up again after a gap in its radars'
            // cover longer than a radar's silence shows the gap.
            const double gapS = double(timeMs - object.filter.timeMs()) / util::msPerS;
            if (object.radars.isEmpty() && gapS * util::msPerS > radarSilenceMs)
                object.gappedS = gapS;
            tooOld |= !apply(object, fresh[i].measurement, timeMs);
        }
        attach(radar, fresh[i].target, id, timeMs);
    }
    return tooOld;
}

// An object that has stayed near an older one, both consistent within
// their errors, holding no radar in common, for mergeAfterMs, is merged
// into it: its radar tracks move to the older id.
void Fusion::Private::mergeDuplicates(std::int64_t timeMs)
{
    // The grid holds indexes into live, objects with radar tracks by id.
    QVector<std::pair<std::int64_t, Object*>> live;
    live.reserve(int(objects.size()));
    grid.clear();
    for (auto& [id, object] : objects) {
        if (object.radars.isEmpty())
            continue;
        grid.insert(live.size(), object.filter.xAt(timeMs), object.filter.yAt(timeMs));
        live.append({id, &object});
    }
    QVector<std::pair<std::int64_t, std::int64_t>> merges; // younger, older
    for (int index = 0; index < live.size(); ++index) {
        const auto [id, youngPointer] = live[index];
        Object& young = *youngPointer;
        const double x = young.filter.xAt(timeMs);
        const double y = young.filter.yAt(timeMs);
        young.nearOlder = false;
        std::int64_t best = 0;
        double bestDistance = std::numeric_limits<double>::infinity();
        grid.forEachWithin(x, y, gateM, [&](const ObjectGrid::Entry& e) {
            if (e.id >= index) // ids grow with the index
                return;
            const Object& old = *live[int(e.id)].second;
            if (old.sharesRadar(young))
                return;
            young.nearOlder = true;
            const double distance = std::hypot(e.xM - x, e.yM - y);
            if (sameObject(old.filter, e.xM, e.yM, young.filter, x, y) && distance < bestDistance) {
                best = live[int(e.id)].first;
                bestDistance = distance;
            }
        });
        if (young.mergeInto.elapsed(best, timeMs))
            merges.append({id, best});
    }
    for (const auto& [youngId, oldId] : qAsConst(merges)) {
        const auto young = objects.find(youngId);
        const auto old = objects.find(oldId);
        // An earlier merge of this round may have taken either, or given
        // the older one a radar of the younger.
        if (young == objects.end() || old == objects.end() ||
            old->second.sharesRadar(young->second))
            continue;
        const QVector<ObjectRadar> moving = young->second.radars;
        objects.erase(young);
        for (const ObjectRadar& r : moving) {
            Track& track = radars[r.radar].tracks[r.number];
            track.objectId = oldId;
            old->second.radars.append(r);
        }
        std::sort(old->second.radars.begin(), old->second.radars.end(),
                  [](const ObjectRadar& a, const ObjectRadar& b) {
                      return std::tie(a.radar, a.number) < std::tie(b.radar, b.number);
                  });
        old->second.mergeInto.other = 0;
    }
}

// A coasting object that has stayed on one with radar tracks, both
// consistent within their errors, for mergeAfterMs, the other made no
// more than mergeAfterMs before the coasting one's last track ended, is
// that object as it was before a radar started a new track of it (its
// track renumbered, or a track started off it just before it was lost):
// it is dropped, so that the thing is not shown twice and the copy
// running on its last velocity raises no events of its own.
void Fusion::Private::dropGhosts(std::int64_t timeMs)
{
    QVector<std::int64_t> live; // ids of objects with radar tracks
    grid.clear();
    for (const auto& [id, object] : objects) {
        if (object.radars.isEmpty())
            continue;
        grid.insert(live.size(), object.filter.xAt(timeMs), object.filter.yAt(timeMs));
        live.append(id);
    }
    for (auto it = objects.begin(); it != objects.end();) {
        Object& ghost = it->second;
        if (!ghost.radars.isEmpty() || ghost.dormant) {
            ghost.ghostOf.other = 0;
            ++it;
            continue;
        }
        KalmanFilter b = ghost.filter;
        b.predict(timeMs);
        const double x = b.x();
        const double y = b.y();
        std::int64_t best = 0;
        double bestDistance = std::numeric_limits<double>::infinity();
        grid.forEachWithin(x, y, gateM, [&](const ObjectGrid::Entry& e) {
            const Object& successor = objects[live[int(e.id)]];
            if (successor.sinceMs + mergeAfterMs < ghost.endedMs)
                return;
            const double distance = std::hypot(e.xM - x, e.yM - y);
            if (sameObject(successor.filter, e.xM, e.yM, b, x, y) && distance < bestDistance) {
                best = live[int(e.id)];
                bestDistance = distance;
            }
        });
        if (ghost.ghostOf.elapsed(best, timeMs))
            it = objects.erase(it);
        else
            ++it;
    }
}

bool Fusion::Private::confirmed(const Object& object) const
{
    return std::any_of(object.radars.cbegin(), object.radars.cend(), [&](const ObjectRadar& r) {
        const Track t = radars[r.radar].tracks.value(r.number);
        return t.lastConfirmedMs != never && t.lastSeenMs - t.lastConfirmedMs <= confirmedHoldMs;
    });
}

Fusion::Fusion(const Settings& settings) : d(std::make_unique<Private>(settings)) {}

Fusion::~Fusion() = default;

void Fusion::add(const TracksReport& report)
{
    if (report.radar < 0 || report.radar >= d->radars.size())
        return;
    const int r = report.radar;
    const std::int64_t t = report.receivedMs;
    RadarState& radar = d->radars[r];
    // An older report of a radar than its latest is superseded by it.
    if (radar.heard && t < radar.lastReceivedMs) {
        ++d->late;
        return;
    }
    radar.heard = true;
    radar.lastReceivedMs = t;
    d->advance(t);

    QSet<int> held;
    for (const RadarTrack& target : report.targets)
        held.insert(target.number);
    for (auto it = radar.tracks.begin(); it != radar.tracks.end();) {
        if (held.contains(it.key())) {
            ++it;
            continue;
        }
        d->detach(r, it.key(), it->objectId, t);
        it = radar.tracks.erase(it);
    }

    const RadarPlace& entry = d->places[r];
    bool tooOld = false;
    QVector<Fresh> fresh;
    QSet<int> taken;
    for (const RadarTrack& target : report.targets) {
        if (taken.contains(target.number))
            continue; // a number twice in one report: the first counts
        taken.insert(target.number);
        const RadarTrack asFiled = offsetTrack(entry, target);
        const RadarMeasurement filed = measureTrack(entry, asFiled);
        const RadarMeasurement m = radar.aligned
                                       ? measureTrack(alignedPlace(entry, radar.alignment),
                                                      alignedTrack(entry, radar.alignment, asFiled))
                                       : filed;
        const auto known = radar.tracks.find(target.number);
        if (known != radar.tracks.end()) {
            const std::int64_t id = known->objectId;
            const auto found = d->objects.find(id);
            if (found == d->objects.end()) {
                // An object with tracks is never dropped; should one be,
                // its track is not left pointing at nothing: it starts
                // over as a new track, and the id of the lost object is
                // never given again.
                ++d->recoveries;
                radar.tracks.erase(known);
                fresh.append({target, m, {}});
                continue;
            }
            Object& object = found->second;
            const double dx = object.filter.xAt(t) - m.position.xM;
            const double dy = object.filter.yAt(t) - m.position.yM;
            // A track shared with other radars stays only while it agrees
            // with the object they hold (its radar may have moved it onto
            // another object within the gate). A report older than the
            // object's state is judged by nothing and changes nothing.
            const bool newer = object.filter.timeMs() > t;
            const bool agrees = newer || object.radars.size() < 2 ||
                                disagreement(object.filter, m, t) <= agreeChiSquare;
            if (std::hypot(dx, dy) <= d->gateM && agrees) {
                // A track its radar only predicted in this report keeps its
                // object but does not move it.
                if (newer)
                    tooOld = true;
                else if (target.confirmed)
                    d->apply(object, m, t);
                known->lastSeenMs = t;
                if (target.confirmed) {
                    known->lastConfirmedMs = t;
                    if (!newer)
                        d->noteSighting(r, *known, sightingOf(r, asFiled, filed), t);
                }
                for (ObjectRadar& joined : object.radars) {
                    if (joined.radar == r && joined.number == target.number)
                        copyReflectivity(target, joined);
                }
                continue;
            }
            // Left the gate, or no longer agrees with its object (its radar
            // moved it onto another): it starts over as a new track.
            radar.tracks.erase(known);
            d->detach(r, target.number, id, t);
        }
        fresh.append({target, m, {}});
    }
    if (!fresh.isEmpty())
        tooOld |= d->joinFresh(r, t, fresh);
    if (tooOld)
        ++d->late;
}

Picture Fusion::picture(std::int64_t timeMs)
{
    d->advance(timeMs);
    d->mergeDuplicates(timeMs);
    d->dropGhosts(timeMs);
    d->settleProbation(timeMs);
    if (d->gatherCoSightings)
        d->pairNearObjects(timeMs);
    Picture picture;
    picture.timeMs = timeMs;
    picture.objects.reserve(int(d->objects.size()));
    for (const auto& [id, object] : d->objects) {
        if (object.dormant)
            continue;
        KalmanFilter state = object.filter;
        state.predict(timeMs);
        SiteObject o;
        o.id = id;
        o.xM = state.x();
        o.yM = state.y();
        o.vxMps = state.vx();
        o.vyMps = state.vy();
        // One about to be merged into an older object is that object seen
        // twice: it is not shown as one of its own meanwhile; nor is a new
        // one within the gate of an older object of other radars before it
        // has lived apart from it as long as a merge takes (a radar's new
        // track starting off an object it has not yet come to agree with).
        o.confirmed = d->confirmed(object) && object.mergeInto.other == 0 &&
                      !(object.nearOlder && timeMs - object.sinceMs < mergeAfterMs) &&
                      object.probationEndMs == never;
        o.radars = object.radars;
        o.sinceMs = object.sinceMs;
        o.positionErrorM = state.positionErrorM();
        o.gappedS = object.gappedS;
        picture.objects.append(o);
    }
    return picture;
}

void Fusion::setAlignment(int radar, const RadarAlignment& alignment)
{
    if (radar < 0 || radar >= d->radars.size())
        return;
    RadarState& state = d->radars[radar];
    state.alignment = alignment;
    state.aligned = alignment.headingDeg != 0.0 || alignment.xM != 0.0 || alignment.yM != 0.0 ||
                    alignment.rangeM != 0.0;
}

QVector<CoSighting> Fusion::takeCoSightings()
{
    QVector<CoSighting> taken;
    taken.swap(d->coSightings);
    return taken;
}

std::uint64_t Fusion::lateMessages() const
{
    return d->late;
}

int Fusion::objectCount() const
{
    return int(std::count_if(d->objects.cbegin(), d->objects.cend(),
                             [](const auto& entry) { return !entry.second.dormant; }));
}

std::uint64_t Fusion::recoveries() const
{
    return d->recoveries;
}

void Fusion::dropObjectKeepingTracks(std::int64_t id)
{
    d->objects.erase(id);
}

} // namespace trklib::sited::fusion

// The fusion of a site's radar tracks, one group per way it can go wrong:
// one object seen twice, two objects seen close, an object passing between
// beams, radars falling silent, messages late and out of order, a radar's
// clock jumping, whether two radars together beat either alone, messages
// in disorder against the invariants, and fusion's own books broken.

#include "tools/sited/fusion/assignment.h"
#include "tools/sited/fusion/fusion.h"
#include "tools/sited/fusion/kalmanfilter.h"
#include "tools/sited/fusion/radarmeasurement.h"
#include "tools/sited/pipeline.h"

#include <QHash>
#include <QSet>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

using namespace trklib::sited::fusion;

namespace trklib::sited::fusion {

// Breaks fusion's books on purpose, as a fault of its own would.
struct FusionFaults
{
    static void dropObjectKeepingTracks(Fusion& f, std::int64_t id)
    {
        f.dropObjectKeepingTracks(id);
    }
};

} // namespace trklib::sited::fusion

namespace trklib::sited::test {
namespace {

constexpr double gateM = 10.0;
constexpr double coastS = 3.0;
constexpr std::int64_t coastMs = 3000;
constexpr std::int64_t startMs = 1'700'000'000'000;

// Two radars at right angles: A west of the origin looking east, B south
// of it looking north, both 5 m up.
const site::SiteConfig config = [] {
    site::SiteConfig c;
    c.fusion.gateM = gateM;
    c.fusion.coastS = coastS;
    for (const util::RadarPlacement& at :
         {util::RadarPlacement{-100.0, 0.0, 90.0}, util::RadarPlacement{0.0, -100.0, 0.0}}) {
        site::RadarEntry r;
        r.placement = at;
        r.mounting.height = 5.0;
        c.radars.append(r);
    }
    return c;
}();

// What radar `radar` reports of an object at (x, y) moving at (vx, vy):
// the ground point off by rangeErr along the line of sight and crossErr
// across it, the slant distance and radial velocity to match.
RadarTrack see(int radar, int number, double x, double y, double vx = 0.0, double vy = 0.0,
               double rangeErr = 0.0, double crossErr = 0.0, bool confirmed = true)
{
    const site::RadarEntry& r = config.radars[radar];
    const double dx = x - r.placement.x, dy = y - r.placement.y;
    const double range = std::hypot(dx, dy);
    const double ux = dx / range, uy = dy / range;
    const double measured = range + rangeErr;
    const double vertical = r.mounting.height - reflectorHeightM;
    RadarTrack t;
    t.number = number;
    t.xM = r.placement.x + ux * measured - uy * crossErr;
    t.yM = r.placement.y + uy * measured + ux * crossErr;
    t.distanceM = std::hypot(measured, vertical);
    t.velocityKph = (ux * vx + uy * vy) * range / std::hypot(range, vertical) * 3.6;
    t.confirmed = confirmed;
    return t;
}

TracksReport report(int radar, std::int64_t receivedMs, QVector<RadarTrack> targets)
{
    TracksReport r;
    r.radar = radar;
    r.timestampMs = receivedMs;
    r.receivedMs = receivedMs;
    r.targets = std::move(targets);
    return r;
}

QVector<std::int64_t> ids(const Picture& p)
{
    QVector<std::int64_t> out;
    for (const SiteObject& o : p.objects)
        out.append(o.id);
    return out;
}

// Both radars report every 100 ms, B 40 ms after A, each seeing what
// targets(radar, t) gives; a picture every 100 ms after B's report.
// Returns the pictures.
using Targets = std::function<QVector<RadarTrack>(int radar, std::int64_t ms)>;
QVector<Picture> run(Fusion& f, std::int64_t fromMs, std::int64_t toMs, const Targets& targets)
{
    QVector<Picture> pictures;
    for (std::int64_t t = fromMs; t < toMs; t += 100) {
        f.add(report(0, t, targets(0, t)));
        f.add(report(1, t + 40, targets(1, t + 40)));
        pictures.append(f.picture(t + 50));
    }
    return pictures;
}

double seconds(std::int64_t fromMs, std::int64_t ms)
{
    return double(ms - fromMs) / 1000.0;
}

TEST(Assignment, LeastCostAgainstEveryPermutation)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> cost(0.0, 100.0);
    for (int draw = 0; draw < 200; ++draw) {
        const int rows = 1 + draw % 4;
        const int columns = rows + (draw / 4) % 3;
        std::vector<double> c(std::size_t(rows * columns));
        for (double& v : c)
            v = std::round(cost(random)); // ties too
        const std::vector<int> got = solveAssignment(c, rows, columns);
        ASSERT_EQ(int(got.size()), rows);
        std::vector<int> sorted = got;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << draw;
        double total = 0.0;
        for (int r = 0; r < rows; ++r)
            total += c[std::size_t(r * columns + got[r])];
        std::vector<int> perm(columns);
        std::iota(perm.begin(), perm.end(), 0);
        double best = 1e300;
        do {
            double sum = 0.0;
            for (int r = 0; r < rows; ++r)
                sum += c[std::size_t(r * columns + perm[r])];
            best = std::min(best, sum);
        } while (std::next_permutation(perm.begin(), perm.end()));
        EXPECT_DOUBLE_EQ(total, best) << "draw " << draw;
    }
    EXPECT_TRUE(solveAssignment({1.0, 2.0}, 2, 1).empty());
}

// B reports a track at the origin; then A reports one (a second radar), or
// B the same one again (a jump), off along x. A's joins only within the
// errors of both and the radars' disagreement (about 2.9 m here), not
// anywhere within the gate; B's own track stays in its object within the
// gate. Otherwise it makes an object of its own and the first coasts.
TEST(OneObjectTwoRadars, JoinedWithinTheirErrorsAndTheGateOnly)
{
    struct Case
    {
        int second;
        double offsetM;
        bool joined;
    };
    for (const Case& c :
         {Case{0, 0.0, true}, Case{0, 2.5, true}, Case{0, 3.5, false}, Case{0, gateM - 0.05, false},
          Case{1, gateM - 0.05, true}, Case{1, gateM + 0.05, false}}) {
        Fusion f(fusionSettings(config));
        f.add(report(1, startMs, {see(1, 3, 0.0, 0.0)}));
        f.add(report(c.second, startMs + 1, {see(c.second, 7 - 4 * c.second, c.offsetM, 0.0)}));
        const Picture p = f.picture(startMs + 2);
        ASSERT_EQ(ids(p), (c.joined ? QVector<std::int64_t>{1} : QVector<std::int64_t>{1, 2}))
            << c.second << " " << c.offsetM;
        EXPECT_EQ(p.objects[0].sinceMs, startMs);
        EXPECT_EQ(p.objects.back().sinceMs, c.joined ? startMs : startMs + 1);
        // A's own object within the gate of B's may be B's seen twice: it
        // is shown once it has lived mergeAfterMs apart from it.
        const bool hidden = c.second == 0 && !c.joined && c.offsetM <= gateM;
        EXPECT_EQ(p.objects.back().confirmed, !hidden);
        // Radars in order, A first though it joined last.
        QVector<std::pair<int, int>> radars;
        for (const ObjectRadar& r : p.objects.back().radars)
            radars.append({r.radar, r.number});
        using List = QVector<std::pair<int, int>>;
        const List expected = c.second == 1 ? List{{1, 3}}
                              : c.joined    ? List{{0, 7}, {1, 3}}
                                            : List{{0, 7}};
        EXPECT_EQ(radars, expected);
        if (!hidden)
            continue;
        const std::int64_t shownMs = startMs + 1 + Fusion::mergeAfterMs;
        f.add(report(1, shownMs - 10, {see(1, 3, 0.0, 0.0)}));
        f.add(report(0, shownMs - 5, {see(0, 7, c.offsetM, 0.0)}));
        for (const std::int64_t atMs : {shownMs - 1, shownMs}) {
            const Picture q = f.picture(atMs);
            ASSERT_EQ(ids(q), (QVector<std::int64_t>{1, 2})) << c.offsetM;
            EXPECT_EQ(q.objects[1].confirmed, atMs == shownMs) << c.offsetM << " " << atMs;
        }
    }
}

// Each joined track's reflectivity as its latest report gave it, whether
// the report joined the track or followed it.
TEST(OneObjectTwoRadars, EachJoinedTrackCarriesItsLatestReflectivity)
{
    const auto reflecting = [](RadarTrack t, double meanDbsm, int samples) {
        t.rcsMeanDbsm = meanDbsm;
        t.rcsMaxDbsm = meanDbsm + 2.0;
        t.rcsLastDbsm = meanDbsm - 1.0;
        t.rcsSamples = samples;
        return t;
    };
    Fusion f(fusionSettings(config));
    f.add(report(1, startMs, {reflecting(see(1, 3, 0.0, 0.0), 5.0, 4)}));
    f.add(report(0, startMs + 1, {reflecting(see(0, 7, 0.0, 0.0), -2.0, 9)}));
    f.add(report(1, startMs + 2, {reflecting(see(1, 3, 0.0, 0.0), 6.0, 5)}));
    const Picture p = f.picture(startMs + 3);
    ASSERT_EQ(ids(p), QVector<std::int64_t>{1});
    using Entry = std::tuple<int, int, double, double, double, int>;
    QVector<Entry> radars;
    for (const ObjectRadar& r : p.objects[0].radars)
        radars.append(
            {r.radar, r.number, r.rcsMeanDbsm, r.rcsMaxDbsm, r.rcsLastDbsm, r.rcsSamples});
    EXPECT_EQ(radars, (QVector<Entry>{{0, 7, -2.0, 0.0, -3.0, 9}, {1, 3, 6.0, 8.0, 5.0, 5}}));
}

// A car A has tracked for a second, north-east of the origin where both
// radars see some of its speed: B's new track on it joins it at once,
// one of a car of the opposite lane at the same point does not; nor does
// A's track stay in a two-radar object once A moves it onto the other car.
TEST(OneObjectTwoRadars, RadialSpeedTellsOppositeLanesApart)
{
    for (const double sign : {1.0, -1.0}) {
        Fusion f(fusionSettings(config));
        const double v = 7.0; // m/s east and north
        std::int64_t t = startMs;
        for (; t <= startMs + 1000; t += 100) {
            const double s = seconds(startMs, t);
            f.add(report(0, t, {see(0, 1, 50.0 + v * s, 50.0 + v * s, v, v)}));
        }
        const double at = 50.0 + v * seconds(startMs, t);
        f.add(report(1, t, {see(1, 2, at, at, sign * v, sign * v)}));
        const Picture p = f.picture(t);
        ASSERT_EQ(p.objects.size(), sign > 0 ? 1 : 2) << sign;
        if (sign < 0)
            continue;
        // A's track swerves onto a car of the opposite lane 1 m off: it
        // leaves the object to B.
        f.add(report(0, t + 50, {see(0, 1, at + 1.0, at, -v, -v)}));
        const Picture q = f.picture(t + 50);
        ASSERT_EQ(q.objects.size(), 2);
        EXPECT_EQ(q.objects[0].radars.size(), 1);
        EXPECT_EQ(q.objects[0].radars[0].radar, 1);
    }
}

// A second radar whose track starts beyond the gate and then closes in
// leaves no duplicate: the younger object is merged into the older id.
// One that turns off the older object before it has stayed on it for
// mergeAfterMs is another thing: both stay, and both are shown again.
TEST(OneObjectTwoRadars, LateSecondRadarMergedIntoTheOlderId)
{
    for (const bool turnsOff : {false, true}) {
        Fusion f(fusionSettings(config));
        const std::int64_t turnMs = startMs + 1500;
        const auto pictures = run(f, startMs, startMs + 4000, [&](int radar, std::int64_t ms) {
            const double x = -30.0 + 5.0 * seconds(startMs, ms);
            if (radar == 0)
                return QVector<RadarTrack>{see(0, 1, x, 0.0, 5.0, 0.0)};
            if (ms < startMs + 300)
                return QVector<RadarTrack>{};
            if (turnsOff && ms >= turnMs) {
                // North at 3 m/s, off its course and out of the gate.
                const double y = 3.0 * seconds(turnMs, ms);
                return QVector<RadarTrack>{see(1, 1, x, y, 5.0, 3.0)};
            }
            // Starts 14 m off, on the object within half a second.
            const double off = std::max(0.0, 14.0 - 28.0 * seconds(startMs + 300, ms));
            return QVector<RadarTrack>{see(1, 1, x, 0.0, 5.0, 0.0, off)};
        });
        EXPECT_EQ(pictures[5].objects.size(), 2);
        // Once it agrees with the object (position and speed), the younger
        // is not shown while it waits to be merged: one confirmed object
        // in every picture.
        for (int i = 13; i < (turnsOff ? 15 : pictures.size()); ++i)
            EXPECT_EQ(std::count_if(pictures[i].objects.cbegin(), pictures[i].objects.cend(),
                                    [](const SiteObject& o) { return o.confirmed; }),
                      1)
                << i;
        const Picture& last = pictures.back();
        if (turnsOff) {
            ASSERT_EQ(ids(last), (QVector<std::int64_t>{1, 2}));
            EXPECT_TRUE(last.objects[0].confirmed);
            EXPECT_TRUE(last.objects[1].confirmed);
            continue;
        }
        // After mergeAfterMs near each other it is one object, the older.
        ASSERT_EQ(last.objects.size(), 1);
        EXPECT_EQ(last.objects[0].id, 1);
        EXPECT_EQ(last.objects[0].radars.size(), 2);
        EXPECT_EQ(f.objectCount(), 1);
    }
}

// B's track splits in two on one object: the second makes an object of
// its own while the first lives (one object never holds two tracks of one
// radar, nor are two objects that share a radar merged); once the first
// ends, the second's object is merged into the older id mergeAfterMs later.
TEST(OneObjectTwoRadars, SplitTrackMergedBackAfterTheFirstEnds)
{
    const std::int64_t splitMs = startMs + 1000;
    const std::int64_t endMs = startMs + 3000; // B's first track's last report before
    Fusion f(fusionSettings(config));
    const auto pictures = run(f, startMs, startMs + 5000, [&](int radar, std::int64_t ms) {
        const double x = 3.0 * seconds(startMs, ms);
        QVector<RadarTrack> out;
        if (radar == 0 || ms < endMs)
            out.append(see(radar, 1, x, 0.0, 3.0, 0.0));
        if (radar == 1 && ms >= splitMs)
            out.append(see(radar, 2, x, 0.0, 3.0, 0.0, 0.3));
        return out;
    });
    for (const Picture& p : pictures) {
        const std::int64_t ms = p.timeMs;
        const bool merged = ms >= endMs + Fusion::mergeAfterMs;
        ASSERT_EQ(ids(p),
                  (ms < splitMs || merged ? QVector<std::int64_t>{1} : QVector<std::int64_t>{1, 2}))
            << ms - startMs;
        if (merged) {
            ASSERT_EQ(p.objects[0].radars.size(), 2);
            EXPECT_EQ(p.objects[0].radars[1].radar, 1);
            EXPECT_EQ(p.objects[0].radars[1].number, 2);
        }
    }
}

// Two walkers side by side 3 m apart (and 1 m, still told apart by both
// radars), both seen by both radars, the second from a second on: two
// objects all along, each with one track of each radar, though the
// second's tracks start within the gate of the first.
TEST(CloseObjects, SideBySideStayTwo)
{
    for (const double apartM : {3.0, 1.0}) {
        std::mt19937 random(3);
        std::normal_distribution<double> noise(0.0, 0.3);
        Fusion f(fusionSettings(config));
        const auto pictures = run(f, startMs, startMs + 10000, [&](int radar, std::int64_t ms) {
            const double y = -20.0 + 1.5 * seconds(startMs, ms);
            QVector<RadarTrack> out;
            for (int k = 0; k < (ms < startMs + 1000 ? 1 : 2); ++k)
                out.append(
                    see(radar, 10 + k, apartM * k, y, 0.0, 1.5, noise(random), noise(random)));
            return out;
        });
        for (int i = 0; i < pictures.size(); ++i) {
            const Picture& p = pictures[i];
            ASSERT_EQ(ids(p), (i < 10 ? QVector<std::int64_t>{1} : QVector<std::int64_t>{1, 2}))
                << apartM << " m, picture " << i;
            for (const SiteObject& o : p.objects) {
                ASSERT_EQ(o.radars.size(), 2) << i;
                EXPECT_NE(o.radars[0].radar, o.radars[1].radar);
                EXPECT_EQ(o.radars[0].number, o.radars[1].number); // the same walker
            }
        }
    }
}

// A car driving north passes from A's beam into B's: with the beams
// overlapping, and with a gap shorter than the coast between them, it
// keeps its id.
TEST(Handover, KeepsTheId)
{
    for (const double gapS : {-1.0, 0.0, 1.0}) {
        Fusion f(fusionSettings(config));
        const double speed = 15.0;
        const double handoverY = 10.0; // A sees it below, B above (+-gap)
        const auto pictures = run(f, startMs, startMs + 6000, [&](int radar, std::int64_t ms) {
            const double y = -30.0 + speed * seconds(startMs, ms);
            const bool seen = radar == 0 ? y < handoverY + (gapS < 0 ? -gapS * speed : 0.0)
                                         : y > handoverY + std::max(0.0, gapS) * speed;
            if (!seen)
                return QVector<RadarTrack>{};
            return QVector<RadarTrack>{see(radar, 20 + radar, 1.75, y, 0.0, speed)};
        });
        for (const Picture& p : pictures)
            ASSERT_EQ(ids(p), QVector<std::int64_t>{1}) << "gap " << gapS;
        EXPECT_NEAR(pictures.back().objects[0].vyMps, speed, 0.5);
        EXPECT_EQ(pictures.back().objects[0].radars[0].radar, 1);
    }
}

// A radar silent for radarSilenceMs leaves its object to the other radar;
// once the other no longer holds it, the object coasts coast seconds,
// predicted and unconfirmed, then is dropped; its id is not given again.
TEST(SilentRadar, ObjectLeftToOthersThenCoastedThenDropped)
{
    // Both see it moving east at 4 m/s until lastA; B's reports hold it
    // until lastB, and from endB on hold nothing.
    const std::int64_t lastA = startMs + 1000, lastB = startMs + 2540, endB = lastB + 100;
    const std::int64_t silentA = lastA + Fusion::radarSilenceMs;
    struct Case
    {
        std::int64_t atMs;
        int radars; // in the object; -1: dropped
    };
    for (const Case& c : {Case{silentA, 2}, Case{silentA + 1, 1}, Case{endB + coastMs, 0},
                          Case{endB + coastMs + 1, -1}}) {
        Fusion f(fusionSettings(config));
        for (std::int64_t t = startMs; t <= c.atMs; t += 10) {
            const RadarTrack track = see(t % 100 ? 1 : 0, 4, 4.0 * seconds(startMs, t), 0.0, 4.0);
            if (t % 100 == 0 && t <= lastA)
                f.add(report(0, t, {track}));
            else if (t % 100 == 40)
                f.add(
                    report(1, t, t <= lastB ? QVector<RadarTrack>{track} : QVector<RadarTrack>{}));
        }
        const Picture p = f.picture(c.atMs);
        ASSERT_EQ(p.objects.size(), c.radars < 0 ? 0 : 1) << c.atMs - startMs;
        if (c.radars < 0) {
            f.add(report(0, c.atMs + 1, {see(0, 4, 0.0, 0.0)}));
            EXPECT_EQ(ids(f.picture(c.atMs + 2)), QVector<std::int64_t>{2});
            continue;
        }
        const SiteObject& o = p.objects[0];
        EXPECT_EQ(o.id, 1);
        ASSERT_EQ(o.radars.size(), c.radars) << c.atMs - startMs;
        EXPECT_EQ(o.radars.value(0, ObjectRadar{1, 4}).radar, c.radars == 2 ? 0 : 1);
        EXPECT_EQ(o.confirmed, c.radars > 0);
        EXPECT_NEAR(o.xM, 4.0 * seconds(startMs, c.atMs), 0.5);
    }
}

// Confirmed holds confirmedHoldMs past a track's last confirmed report;
// the reports between, its radar's predictions, do not move the object.
TEST(Confirmed, HeldAShortWhileByPredictedTracks)
{
    for (const auto& [afterMs, confirmed] : {std::pair{Fusion::confirmedHoldMs, true},
                                             std::pair{Fusion::confirmedHoldMs + 1, false}}) {
        Fusion f(fusionSettings(config));
        f.add(report(0, startMs, {see(0, 1, 0.0, 0.0)}));
        // Only predicted by its radar, 2 m off: it holds the object but
        // does not move it.
        f.add(report(0, startMs + afterMs, {see(0, 1, 0.0, 0.0, 0, 0, 2.0, 0, false)}));
        const Picture p = f.picture(startMs + afterMs);
        EXPECT_EQ(p.objects.at(0).confirmed, confirmed) << afterMs;
        EXPECT_EQ(p.objects.at(0).radars.size(), 1);
        EXPECT_NEAR(p.objects.at(0).xM, 0.0, 0.01);
    }
    Fusion f(fusionSettings(config));
    f.add(report(0, startMs, {see(0, 1, 0.0, 0.0, 0, 0, 0, 0, false)}));
    EXPECT_FALSE(f.picture(startMs).objects.at(0).confirmed);
}

// A report older than what it would update is counted once, applied to
// nothing and moves nothing back, whether its tracks are known or join an
// object anew; one of a radar older than that radar's latest ends none of
// its tracks.
TEST(LateMessages, CountedOnceNeverBackwards)
{
    Fusion f(fusionSettings(config));
    run(f, startMs, startMs + 2000, [](int radar, std::int64_t ms) {
        const double x = 10.0 * seconds(startMs, ms);
        return QVector<RadarTrack>{see(radar, 1, x, 0.0, 10.0, 0.0),
                                   see(radar, 2, x, 30.0, 10.0, 0.0)};
    });
    f.add(report(0, startMs + 1990, {see(0, 1, 19.9, 0.0, 10.0), see(0, 2, 19.9, 30.0, 10.0)}));
    const Picture before = f.picture(startMs + 2000);
    ASSERT_EQ(before.objects.size(), 2);
    EXPECT_EQ(f.lateMessages(), 0u);

    // B's next report, but from before A's latest and 5 m off where the
    // objects were then: both objects' states are newer, one late message.
    f.add(report(1, startMs + 1960, {see(1, 1, 14.6, 0.0), see(1, 2, 14.6, 30.0)}));
    EXPECT_EQ(f.lateMessages(), 1u);
    // A's own older report, that holds neither target: superseded.
    f.add(report(0, startMs + 1850, {}));
    EXPECT_EQ(f.lateMessages(), 2u);

    const Picture after = f.picture(startMs + 2000);
    ASSERT_EQ(ids(after), ids(before));
    for (int i = 0; i < 2; ++i) {
        EXPECT_DOUBLE_EQ(after.objects[i].xM, before.objects[i].xM);
        EXPECT_EQ(after.objects[i].radars.size(), 2);
    }
    // A picture asked for before the states' time shows them where they
    // are, not predicted backwards.
    const Picture earlier = f.picture(startMs + 1000);
    for (int i = 0; i < 2; ++i)
        EXPECT_GE(earlier.objects[i].xM, before.objects[i].xM - 1.0);

    // B's new track (its others ended), older than A's latest: it joins
    // object 1, which holds no track of B now, but is not applied to it.
    f.add(report(1, startMs + 1980, {see(1, 5, 19.8, 0.0, 10.0)}));
    EXPECT_EQ(f.lateMessages(), 3u);
    const Picture joined = f.picture(startMs + 2000);
    ASSERT_EQ(ids(joined), ids(before));
    EXPECT_DOUBLE_EQ(joined.objects[0].xM, before.objects[0].xM);
    ASSERT_EQ(joined.objects[0].radars.size(), 2);
    EXPECT_EQ(joined.objects[0].radars[1].number, 5);
}

// Four movers in lanes 40 m apart, each seen by both radars for a while,
// their tracks renumbered now and then (the new number starting before the
// old one ends, or after it), every message of both radars delayed (up to
// 1.5 s, past a radar's silence), repeated or dropped at random, and taken
// in the order they arrive, a picture every 100 ms. Whatever arrives when,
// every picture holds: no object with two tracks of one radar, no track in
// two objects, no id in two objects nor back once gone, each object's
// since kept, its state finite, on the site and, with its tracks, those of
// one mover and (once settled) near it; and every report older than its
// radar's latest is counted late once, one newer than all before never.
TEST(Disorder, EveryPictureKeepsTheInvariants)
{
    constexpr std::int64_t durationMs = 10000;
    // An object that has lived this long knows its speed: then its state
    // lies this near its mover.
    constexpr std::int64_t settledMs = 1000;
    constexpr double nearMoverM = 3.0;
    constexpr double siteHalfM = 2000.0; // this scene's objects stay well within
    constexpr double fastestMps = 100.0;
    struct Mover
    {
        double x0M, y0M, vxMps;
    };
    constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();
    struct Seen // one radar's view of one mover
    {
        std::int64_t fromMs, toMs; // in its beam
        std::int64_t oldToMs;      // its first number until then
        std::int64_t newFromMs;    // the next from then on
    };
    struct Message
    {
        std::int64_t arrivesMs;
        int order;
        TracksReport report;
    };
    for (const std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 random(seed);
        const auto uniform = [&](double a, double b) {
            return std::uniform_real_distribution<double>(a, b)(random);
        };
        const auto chance = [&](double p) { return std::bernoulli_distribution(p)(random); };
        const auto ms = [&](double a, double b) {
            return std::int64_t(std::llround(uniform(a, b)));
        };
        std::normal_distribution<double> noise(0.0, 0.3);

        QVector<Mover> movers;
        QVector<QVector<Seen>> seen(2); // by radar, then mover
        for (int k = 0; k < 4; ++k) {
            const double v = uniform(1.0, 15.0) * (chance(0.5) ? 1.0 : -1.0);
            movers.append(
                {-v * seconds(0, durationMs) / 2 + uniform(-5.0, 5.0), -60.0 + 40.0 * k, v});
            for (int r = 0; r < 2; ++r) {
                const bool whole = chance(0.5);
                const std::int64_t from = whole ? 0 : ms(0, durationMs / 2);
                const std::int64_t to = whole ? durationMs : ms(from + 1000, durationMs);
                // Renumbered: the new number starting up to 600 ms before
                // the old one ends, or after it.
                const std::int64_t renumberMs = chance(0.5) ? ms(0, durationMs) : never;
                const std::int64_t overlapMs = ms(-600, 600);
                seen[r].append(
                    {from, to, renumberMs == never ? never : renumberMs + overlapMs, renumberMs});
            }
        }
        const auto truth = [&](int k, std::int64_t atMs) {
            return std::pair{movers[k].x0M + movers[k].vxMps * seconds(startMs, atMs),
                             movers[k].y0M};
        };

        // What each radar reports every 100 ms (B 40 ms after A), and when
        // each copy of it arrives.
        QVector<Message> messages;
        for (std::int64_t t = 0; t < durationMs; t += 100) {
            for (int r = 0; r < 2; ++r) {
                const std::int64_t atMs = startMs + t + 40 * r;
                QVector<RadarTrack> targets;
                for (int k = 0; k < movers.size(); ++k) {
                    const Seen& v = seen[r][k];
                    if (t < v.fromMs || t > v.toMs)
                        continue;
                    const auto [x, y] = truth(k, atMs);
                    const bool confirmed = !chance(0.1);
                    const int number = 10 * k;
                    if (t < v.oldToMs)
                        targets.append(see(r, number, x, y, movers[k].vxMps, 0.0, noise(random),
                                           noise(random), confirmed));
                    if (t >= v.newFromMs)
                        targets.append(see(r, number + 1, x, y, movers[k].vxMps, 0.0, noise(random),
                                           noise(random), confirmed));
                }
                std::shuffle(targets.begin(), targets.end(), random);
                const int copies = chance(0.1) ? 0 : chance(0.1) ? 2 : 1;
                for (int c = 0; c < copies; ++c) {
                    const std::int64_t delay = chance(0.05) ? ms(0, 1500) : ms(0, 400);
                    messages.append({atMs + delay, int(messages.size()), report(r, atMs, targets)});
                }
            }
        }
        std::sort(messages.begin(), messages.end(), [](const Message& a, const Message& b) {
            return std::tie(a.arrivesMs, a.order) < std::tie(b.arrivesMs, b.order);
        });

        Fusion f(fusionSettings(config));
        int next = 0;
        std::int64_t newestMs = std::numeric_limits<std::int64_t>::min(); // of any taken
        std::int64_t radarNewestMs[2] = {newestMs, newestMs};
        std::uint64_t superseded = 0;
        QHash<std::int64_t, std::int64_t> sinceById; // every id shown so far
        QSet<std::int64_t> shownLast, gone;
        std::int64_t lastPictureMs = std::numeric_limits<std::int64_t>::min();
        for (std::int64_t p = startMs + 50; p < startMs + durationMs + 2000; p += 100) {
            for (; next < messages.size() && messages[next].arrivesMs <= p; ++next) {
                const TracksReport& r = messages[next].report;
                const std::uint64_t before = f.lateMessages();
                f.add(r);
                const std::uint64_t counted = f.lateMessages() - before;
                ASSERT_LE(counted, 1u) << "counted once";
                if (r.receivedMs < radarNewestMs[r.radar]) {
                    ++superseded;
                    ASSERT_EQ(counted, 1u) << "older than its radar's latest: late";
                }
                if (r.receivedMs >= newestMs) {
                    ASSERT_EQ(counted, 0u) << "nothing newer was taken: not late";
                }
                newestMs = std::max(newestMs, r.receivedMs);
                radarNewestMs[r.radar] = std::max(radarNewestMs[r.radar], r.receivedMs);
            }
            const Picture picture = f.picture(p);
            ASSERT_GE(picture.timeMs, lastPictureMs);
            lastPictureMs = picture.timeMs;
            ASSERT_EQ(picture.objects.size(), f.objectCount());
            QSet<std::int64_t> shown;
            QSet<std::pair<int, int>> tracks; // (radar, number) in some object
            for (const SiteObject& o : picture.objects) {
                SCOPED_TRACE("object " + std::to_string(o.id) + " at " +
                             std::to_string(p - startMs) + " ms");
                ASSERT_FALSE(shown.contains(o.id)) << "an id in two objects";
                ASSERT_FALSE(gone.contains(o.id)) << "an id back once gone";
                shown.insert(o.id);
                ASSERT_EQ(sinceById.value(o.id, o.sinceMs), o.sinceMs);
                sinceById.insert(o.id, o.sinceMs);
                ASSERT_LE(o.sinceMs, p);
                for (const double v : {o.xM, o.yM, o.vxMps, o.vyMps, o.positionErrorM})
                    ASSERT_TRUE(std::isfinite(v));
                ASSERT_LE(std::max(std::abs(o.xM), std::abs(o.yM)), siteHalfM);
                ASSERT_LE(std::hypot(o.vxMps, o.vyMps), fastestMps);
                QSet<int> radars, moversOf;
                for (const ObjectRadar& r : o.radars) {
                    ASSERT_FALSE(radars.contains(r.radar)) << "two tracks of radar " << r.radar;
                    radars.insert(r.radar);
                    ASSERT_FALSE(tracks.contains({r.radar, r.number})) << "a track in two objects";
                    tracks.insert({r.radar, r.number});
                    moversOf.insert(r.number / 10);
                }
                if (moversOf.isEmpty())
                    continue; // coasting
                ASSERT_EQ(moversOf.size(), 1) << "tracks of two movers joined";
                const auto [x, y] = truth(*moversOf.begin(), p);
                if (p - o.sinceMs >= settledMs) {
                    ASSERT_LE(std::hypot(o.xM - x, o.yM - y), nearMoverM);
                }
            }
            for (const std::int64_t id : qAsConst(shownLast))
                if (!shown.contains(id))
                    gone.insert(id);
            shownLast = shown;
        }
        ASSERT_EQ(next, messages.size());
        EXPECT_GE(f.lateMessages(), superseded);
        EXPECT_GT(superseded, 0u) << "the disorder reached fusion";
        EXPECT_EQ(f.recoveries(), 0u);
    }
}

// An object dropped while radar tracks are still joined to it (a fault of
// fusion's own books): each of its tracks is forgotten at its radar's next
// report and starts over as a new one, counted; the first makes an object
// with a new id, never the lost one's; the other radar's track joins it,
// and the radars' other objects are left as they were.
TEST(BrokenBooks, TrackOfALostObjectStartsOverAsNew)
{
    const struct
    {
        int radars;           // seeing the lost object
        int recoveries;       // counted
        int lostObjectRadars; // in the new object
    } cases[]{{1, 1, 1}, {2, 2, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.radars) + " radars");
        Fusion f(fusionSettings(config));
        // Object 1 (the one lost) seen by c.radars radars; object 2, 40 m
        // north, by A alone.
        const auto targets = [&](int radar, std::int64_t ms) {
            const double x = 5.0 * seconds(startMs, ms);
            QVector<RadarTrack> out;
            if (radar < c.radars)
                out.append(see(radar, 1, x, 0.0, 5.0, 0.0));
            if (radar == 0)
                out.append(see(radar, 2, x, 40.0, 5.0, 0.0));
            return out;
        };
        run(f, startMs, startMs + 1000, targets);
        ASSERT_EQ(ids(f.picture(startMs + 1000)), (QVector<std::int64_t>{1, 2}));
        FusionFaults::dropObjectKeepingTracks(f, 1);
        const QVector<Picture> after = run(f, startMs + 1000, startMs + 2000, targets);
        EXPECT_EQ(f.recoveries(), std::uint64_t(c.recoveries));
        EXPECT_EQ(f.lateMessages(), 0u);
        for (const Picture& p : after) {
            ASSERT_EQ(ids(p), (QVector<std::int64_t>{2, 3})) << p.timeMs - startMs;
            EXPECT_EQ(p.objects[0].radars.size(), 1);
            EXPECT_EQ(p.objects[1].radars.size(), c.lostObjectRadars);
        }
        EXPECT_NEAR(after.back().objects[1].xM, 5.0 * seconds(startMs, after.back().timeMs), 0.5);
    }
}

// The radar's own stamp jumping an hour either way changes nothing: fusion
// runs on the reception time.
TEST(RadarClock, JumpChangesNothing)
{
    auto positions = [](std::int64_t jumpMs) {
        Fusion f(fusionSettings(config));
        QVector<double> out;
        for (std::int64_t t = startMs; t < startMs + 3000; t += 100) {
            for (int radar = 0; radar < 2; ++radar) {
                TracksReport r = report(radar, t + 40 * radar,
                                        {see(radar, 1, 5.0 * seconds(startMs, t), 0.0, 5.0)});
                r.timestampMs += t >= startMs + 1500 ? jumpMs : 0;
                f.add(r);
            }
            const Picture p = f.picture(t + 50);
            out << double(p.objects.size()) << p.objects.value(0).xM << double(f.lateMessages());
        }
        return out;
    };
    const QVector<double> steady = positions(0);
    EXPECT_EQ(positions(3'600'000), steady);
    EXPECT_EQ(positions(-3'600'000), steady);
}

// The position error is the radius of the 1-sigma ellipse's longer axis,
// whichever way the ellipse lies, and grows while an object coasts.
TEST(PositionError, LongerAxisOfTheEllipseGrowingWhileCoasting)
{
    const struct
    {
        double covXX, covXY, covYY, errorM;
    } cases[]{
        {9.0, 0.0, 4.0, 3.0}, {4.0, 0.0, 9.0, 3.0},  // along an axis
        {5.0, 4.0, 5.0, 3.0}, {5.0, -4.0, 5.0, 3.0}, // diagonal: 5 +- 4
        {0.0, 0.0, 0.0, 0.0},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(KalmanFilter({1.0, 2.0, c.covXX, c.covXY, c.covYY}, startMs).positionErrorM(),
                    c.errorM, 1e-12)
            << c.covXX << " " << c.covXY << " " << c.covYY;

    Fusion f(fusionSettings(config));
    f.add(report(0, startMs, {see(0, 1, 10.0, 0.0)}));
    const double seen = f.picture(startMs).objects.at(0).positionErrorM;
    EXPECT_GT(seen, 0.0);
    EXPECT_GT(f.picture(startMs + 500).objects.at(0).positionErrorM, seen);
}

// The walker's acceleration noise drives only an object whose speed is
// known to be a walker's: up to 2.5 m/s, its error at most 1 m/s (both
// axes' variances together), at either limit and just past it; and not a
// new object, whose speed is not known.
TEST(WalkerNoise, OnlyAtAWalkersKnownSpeed)
{
    constexpr double priorVariance =
        KalmanFilter::initialSpeedSigmaMps * KalmanFilter::initialSpeedSigmaMps;
    // The measurement variance that leaves each axis's speed variance at v.
    const auto leaving = [](double v) { return v * priorVariance / (priorVariance - v); };
    const struct
    {
        double speedMps, axisVariance;
        bool walker;
    } cases[]{
        {2.5, 1e-9, true},           {2.51, 1e-9, false}, {1.0, leaving(0.49), true},
        {1.0, leaving(0.51), false}, {0.0, -1.0, false}, // no speed measured yet
    };
    for (const auto& c : cases) {
        KalmanFilter f({0.0, 0.0, 0.01, 0.0, 0.01}, startMs);
        if (c.axisVariance > 0.0) {
            // Both axes measured once, the speed split between them.
            const double scale = (priorVariance + c.axisVariance) / priorVariance;
            f.updateAlong(1.0, 0.0, c.speedMps * 0.6 * scale, c.axisVariance);
            f.updateAlong(0.0, 1.0, c.speedMps * 0.8 * scale, c.axisVariance);
        }
        EXPECT_EQ(f.processDensity(), c.walker ? KalmanFilter::walkerAccelerationDensity
                                               : KalmanFilter::accelerationDensity)
            << c.speedMps << " " << c.axisVariance;
    }
}

// A walker A tracked for 5 s then lost coasts on a walker's velocity and
// error: B's new track of someone crossing its way 6 m off 2 s later is
// another object, not the lost walker jumping (as a vehicle's error would
// let it); one 1 m off is the walker again.
TEST(WalkerNoise, CoastingWalkerNotJoinedByATrackMetresAway)
{
    constexpr double speedMps = 1.4;
    const std::int64_t lostMs = startMs + 5000, seenMs = lostMs + 2000;
    for (const auto& [offsetM, joined] : {std::pair{1.0, true}, std::pair{6.0, false}}) {
        Fusion f(fusionSettings(config));
        for (std::int64_t t = startMs; t < lostMs; t += 100)
            f.add(
                report(0, t, {see(0, 1, -40.0 + speedMps * seconds(startMs, t), 20.0, speedMps)}));
        for (std::int64_t t = lostMs; t < seenMs; t += 100)
            f.add(report(0, t, {}));
        const double x = -40.0 + speedMps * seconds(startMs, seenMs);
        f.add(report(1, seenMs, {see(1, 5, x, 20.0 - offsetM, 0.0, 1.0)}));
        EXPECT_EQ(ids(f.picture(seenMs)),
                  (joined ? QVector<std::int64_t>{1} : QVector<std::int64_t>{1, 2}))
            << offsetM;
    }
}

// An object unseen by every radar for longer than its coast (behind a
// building, or standing still where the radars' Doppler loses it) keeps
// its number when a new track starts where its motion explains, and only
// then: not one turned back, off to the side, too late, or far slower.
TEST(Gap, JoinedOnlyWhereItsMotionExplains)
{
    struct Case
    {
        const char* what;
        double speedMps; // east, before the gap
        double gapS;     // unseen
        double stopS;    // of the gap, stood still at its start
        double turnDeg;  // its course after the gap, counter-clockwise
        double offsetM;  // across its course, where it comes back
        bool joined;
        double backMps = -1.0; // its speed after the gap; -1: as before
    };
    const Case cases[] = {
        {"walker behind a building", 1.4, 8.0, 0.0, 0.0, 0.0, true},
        {"walker that stood still", 1.4, 10.0, 10.0, 0.0, 0.0, true},
        {"walker turned back", 1.4, 8.0, 8.0, 180.0, 0.0, false},
        {"someone off to the side", 1.4, 8.0, 0.0, 0.0, 6.0, false},
        {"walker after too long", 1.4, 31.0, 31.0, 0.0, 0.0, false},
        {"car turning in the gap", 12.0, 1.5, 0.0, 30.0, 0.0, true},
        {"car after too long", 12.0, 11.0, 11.0, 0.0, 0.0, false},
        {"someone slow where a car stood", 12.0, 5.0, 5.0, 0.0, 0.0, false, 0.8},
    };
    for (const Case& c : cases) {
        Fusion f(fusionSettings(config));
        const std::int64_t lostMs = startMs + 4000;
        const std::int64_t backMs = lostMs + std::llround(c.gapS * 1000.0);
        const double lostX = -40.0 + c.speedMps * 4.0;
        // Where it comes back: gone on for the gap less its stop, half of
        // that on its new course.
        const double movedM = c.speedMps * (c.gapS - c.stopS);
        const double turn = c.turnDeg * M_PI / 180.0;
        const double backX = lostX + movedM * (1.0 + std::cos(turn)) / 2.0;
        const double backY = 20.0 + movedM * std::sin(turn) / 2.0 + c.offsetM;
        const double backMps = c.backMps < 0.0 ? c.speedMps : c.backMps;
        const double vx = backMps * std::cos(turn), vy = backMps * std::sin(turn);
        const auto pictures = run(f, startMs, backMs + 3000, [&](int radar, std::int64_t ms) {
            if (ms < lostMs)
                return QVector<RadarTrack>{
                    see(radar, 1, -40.0 + c.speedMps * seconds(startMs, ms), 20.0, c.speedMps)};
            if (ms < backMs)
                return QVector<RadarTrack>{};
            const double t = seconds(backMs, ms);
            return QVector<RadarTrack>{see(radar, 2, backX + vx * t, backY + vy * t, vx, vy)};
        });
        const Picture& last = pictures.back();
        ASSERT_EQ(last.objects.size(), 1) << c.what;
        EXPECT_EQ(last.objects[0].id == 1, c.joined) << c.what;
        EXPECT_NEAR(last.objects[0].gappedS, c.joined ? c.gapS : 0.0, 0.2) << c.what;
        EXPECT_TRUE(last.objects[0].confirmed) << c.what;
    }
}

// Two walkers lost at once, A 6 m behind B: a track where A would be had it
// walked on is A, though B too may have come there had it stood for a
// while on the way; unseen, most walk on.
TEST(Gap, TheOneThatWalkedOnRatherThanTheOneThatStood)
{
    constexpr double speedMps = 1.4;
    const std::int64_t lostMs = startMs + 4000, backMs = lostMs + 8000;
    Fusion f(fusionSettings(config));
    const auto pictures = run(f, startMs, backMs + 3000, [&](int radar, std::int64_t ms) {
        const double x = -40.0 + speedMps * seconds(startMs, ms); // A's, on as it went
        if (ms < lostMs)
            return QVector<RadarTrack>{see(radar, 1, x, 20.0, speedMps),
                                       see(radar, 2, x + 6.0, 20.0, speedMps)};
        if (ms < backMs)
            return QVector<RadarTrack>{};
        return QVector<RadarTrack>{see(radar, 3, x, 20.0, speedMps)};
    });
    EXPECT_EQ(ids(pictures.back()), QVector<std::int64_t>{1});
}

// B's new track of a walker that A tracks, first 4 m off it (so that it
// starts an object of its own), lies where a walker lost 5 s before may
// be: it is the tracked walker seen by B, merged into it, not the lost
// one come back (which, older, would take the tracked walker's number).
TEST(Gap, ASecondRadarsTrackOfATrackedWalkerIsNotOneComeBack)
{
    constexpr double speedMps = 1.4;
    const std::int64_t lostMs = startMs + 4000, backMs = lostMs + 5000;
    Fusion f(fusionSettings(config));
    const auto pictures = run(f, startMs, backMs + 4000, [&](int radar, std::int64_t ms) {
        const double lost = -30.0 + speedMps * seconds(startMs, ms);
        const double tracked = lost + 3.0;
        QVector<RadarTrack> seen;
        if (radar == 0 && ms < lostMs)
            seen.append(see(0, 1, lost, 20.0, speedMps));
        if (radar == 0)
            seen.append(see(0, 2, tracked, 20.0, speedMps));
        if (radar == 1 && ms >= backMs)
            seen.append(
                see(1, 5, tracked, 20.0, speedMps, 0.0, 0.0, ms < backMs + 300 ? 4.0 : 0.0));
        return seen;
    });
    EXPECT_EQ(ids(pictures.back()), QVector<std::int64_t>{2});
}

// Two walkers who meet unseen and leave apart keep their own numbers, or
// get new ones; never each other's.
TEST(Gap, WalkersMeetingUnseenNeverSwapped)
{
    constexpr double speedMps = 1.4;
    const std::int64_t lostMs = startMs + 5000, backMs = lostMs + 8000;
    Fusion f(fusionSettings(config));
    // One walks east from x = -10, the other west from x = 10, 1 m apart;
    // they pass each other at x = 0 in the gap.
    const auto at = [&](int walker, std::int64_t ms) {
        return (walker == 0 ? -10.0 : 10.0) +
               (walker == 0 ? 1.0 : -1.0) * speedMps * seconds(startMs, ms) * 10.0 / 9.1;
    };
    const auto pictures = run(f, startMs, backMs + 3000, [&](int radar, std::int64_t ms) {
        if (ms >= lostMs && ms < backMs)
            return QVector<RadarTrack>{};
        const int first = ms < lostMs ? 1 : 3;
        return QVector<RadarTrack>{see(radar, first, at(0, ms), 20.0, speedMps * 10.0 / 9.1),
                                   see(radar, first + 1, at(1, ms), 21.0, -speedMps * 10.0 / 9.1)};
    });
    const Picture& last = pictures.back();
    ASSERT_EQ(last.objects.size(), 2);
    for (const SiteObject& o : last.objects) {
        const bool eastward = o.vxMps > 0.0;
        EXPECT_NE(o.id, eastward ? 2 : 1) << "swapped";
    }
}

// Co-sightings are gathered only when asked for: of the tracks joined in
// one object, and of two objects of different radars kept apart near each
// other (a radar off its entry). Undoing that radar's error joins them.
TEST(CoSightings, GatheredWhenAskedAndTheAlignmentUndone)
{
    // B's tracks turned 3 degrees counter-clockwise about B, as a radar
    // whose true heading is 3 degrees clockwise of its entry places them:
    // 5 m off at B's 100 m.
    const double turn = 3.0 * M_PI / 180.0;
    const auto offB = [&](double x, double y) {
        const double dx = x - 0.0, dy = y + 100.0;
        return std::pair{dx * std::cos(turn) - dy * std::sin(turn),
                         -100.0 + dx * std::sin(turn) + dy * std::cos(turn)};
    };
    const auto targets = [&](int radar, std::int64_t ms) {
        const double x = 5.0 * seconds(startMs, ms);
        if (radar == 0)
            return QVector<RadarTrack>{see(0, 1, x, 0.0, 5.0)};
        const auto [bx, by] = offB(x, 0.0);
        RadarTrack t = see(1, 1, x, 0.0, 5.0);
        t.xM = bx;
        t.yM = by;
        return QVector<RadarTrack>{t};
    };
    struct Case
    {
        bool asked;
        bool aligned;
        int objects; // at the end
    };
    for (const Case& c : {Case{false, false, 2}, Case{true, false, 2}, Case{true, true, 1}}) {
        Settings settings = fusionSettings(config);
        settings.coSightings = c.asked;
        Fusion f(settings);
        if (c.aligned)
            f.setAlignment(1, {3.0, 0.0, 0.0, 0.0});
        const auto pictures = run(f, startMs, startMs + 4000, targets);
        const QVector<CoSighting> pairs = f.takeCoSightings();
        EXPECT_EQ(pictures.back().objects.size(), c.objects) << c.asked << c.aligned;
        EXPECT_EQ(pairs.isEmpty(), !c.asked) << c.aligned;
        for (const CoSighting& p : pairs) {
            ASSERT_NE(p.a.radar, p.b.radar);
            // Placed as the site file mounts B: B's sighting 5 m off A's
            // whether or not fusion undoes the error.
            EXPECT_NEAR(std::hypot(p.a.xM - p.b.xM, p.a.yM - p.b.yM), 5.2, 0.5) << c.aligned;
        }
        EXPECT_TRUE(f.takeCoSightings().isEmpty());
    }
}

// A radar that starts a new track of a walker just before it loses the
// old one leaves the old object coasting beside the new: the copy is
// dropped once it has stayed on the new one mergeAfterMs, and only if the
// new one was made at most mergeAfterMs before the old track ended (else
// it is someone else walking along, and the copy coasts its time).
TEST(Ghost, CopyOfARenumberedTrackDropped)
{
    constexpr double speedMps = 1.2;
    const std::int64_t endMs = startMs + 3100; // the first report without track 1
    const auto at = [&](std::int64_t t) { return -1.0 + speedMps * seconds(startMs, t); };
    for (const auto& [newMs, dropped] : {std::pair{endMs - Fusion::mergeAfterMs, true},
                                         std::pair{endMs - Fusion::mergeAfterMs - 100, false}}) {
        Fusion f(fusionSettings(config));
        QVector<QVector<std::int64_t>> seen; // ids of every picture
        for (std::int64_t t = startMs; t < endMs + 3000; t += 100) {
            QVector<RadarTrack> tracks;
            if (t < endMs)
                tracks.append(see(0, 1, -50.0, at(t), 0.0, speedMps));
            if (t >= newMs)
                tracks.append(see(0, 2, -50.0, at(t), 0.0, speedMps));
            f.add(report(0, t, tracks));
            seen.append(ids(f.picture(t + 50)));
        }
        const auto shown = [&](std::int64_t t) { return seen.at(int((t - startMs) / 100)); };
        const QVector<std::int64_t> both{1, 2}, copyGone{2};
        EXPECT_EQ(shown(endMs + Fusion::mergeAfterMs - 100), both) << newMs - endMs;
        EXPECT_EQ(shown(endMs + Fusion::mergeAfterMs), dropped ? copyGone : both) << newMs - endMs;
    }
}

// Two radars at right angles see one object with their range and
// cross-range errors: the fused position is more precise than either
// radar's alone (root mean square over the pictures, every seed).
TEST(Precision, TwoRadarsAtRightAnglesBeatEither)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        auto rms = [seed](bool useA, bool useB) {
            std::mt19937 random(seed); // the same errors in every run
            std::normal_distribution<double> unit(0.0, 1.0);
            Fusion f(fusionSettings(config));
            double sum = 0.0;
            for (int k = 0; k < 100; ++k) {
                const std::int64_t t = startMs + 100 * k;
                const double x = 20.0 + 0.2 * k, y = 40.0 - 0.1 * k;
                for (int radar = 0; radar < 2; ++radar) {
                    const auto& at = config.radars[radar].placement;
                    const double cross =
                        std::max(crossRangeFloorM,
                                 std::hypot(x - at.x, y - at.y) * bearingSigmaDeg * M_PI / 180.0);
                    const RadarTrack track = see(radar, 1, x, y, 2.0, -1.0,
                                                 rangeSigmaM * unit(random), cross * unit(random));
                    if (radar == 0 ? useA : useB)
                        f.add(report(radar, t + 20 * radar, {track}));
                }
                const Picture p = f.picture(t + 50);
                if (k >= 20)
                    sum += std::pow(p.objects.at(0).xM - (x + 0.1), 2) +
                           std::pow(p.objects.at(0).yM - (y - 0.05), 2);
            }
            return std::sqrt(sum / 80);
        };
        const double both = rms(true, true);
        EXPECT_LT(both, rms(true, false)) << "seed " << seed;
        EXPECT_LT(both, rms(false, true)) << "seed " << seed;
    }
}

} // namespace
} // namespace trklib::sited::test

// The fusion of a site's radar tracks, one group per way it can go wrong:
// one object seen twice, two objects seen close, an object passing between
// beams, radars falling silent, messages late and out of order, a radar's
// clock jumping, and whether two radars together beat either alone.

#include "assignment.h"
#include "fusion.h"
#include "radarmeasurement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

namespace trklib::sited::test {
namespace {

constexpr double gateM = 10.0;
constexpr double coastS = 3.0;
constexpr std::int64_t coastMs = 3000;
constexpr std::int64_t startMs = 1'700'000'000'000;

// Two radars at right angles: A west of the origin looking east, B south
// of it looking north, both 5 m up.
site::SiteConfig twoRadars()
{
    site::SiteConfig c;
    c.name = QStringLiteral("test");
    c.fusion.gateM = gateM;
    c.fusion.coastS = coastS;
    for (const auto& [name, x, y, heading] :
         {std::make_tuple("a", -100.0, 0.0, 90.0), std::make_tuple("b", 0.0, -100.0, 0.0)}) {
        site::RadarEntry r;
        r.name = QString::fromLatin1(name);
        r.placement = {x, y, heading};
        r.mounting.height = 5.0;
        c.radars.append(r);
    }
    return c;
}

const site::SiteConfig config = twoRadars();

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

// A sees the object B sees, off by an offset along x: within the gate it
// joins B's object, beyond it makes its own.
TEST(OneObjectTwoRadars, JoinedWithinTheGateOnly)
{
    struct Case
    {
        double offsetM;
        int objects;
    };
    for (const Case& c : {Case{0.0, 1}, Case{gateM - 0.05, 1}, Case{gateM + 0.05, 2}}) {
        Fusion f(config);
        // B first: A's track, joined later, is listed first all the same.
        f.add(report(1, startMs, {see(1, 3, 0.0, 0.0)}));
        f.add(report(0, startMs + 1, {see(0, 7, c.offsetM, 0.0)}));
        const Picture p = f.picture(startMs + 2);
        ASSERT_EQ(p.objects.size(), c.objects) << c.offsetM;
        const SiteObject& o = p.objects[0];
        EXPECT_EQ(o.id, 1);
        EXPECT_EQ(o.sinceMs, startMs);
        EXPECT_TRUE(o.confirmed);
        if (c.objects == 1) {
            ASSERT_EQ(o.radars.size(), 2);
            EXPECT_EQ(o.radars[0].radar, 0);
            EXPECT_EQ(o.radars[0].number, 7);
            EXPECT_EQ(o.radars[1].radar, 1);
            EXPECT_EQ(o.radars[1].number, 3);
        } else {
            EXPECT_EQ(p.objects[1].sinceMs, startMs + 1);
        }
    }
}

// A radar track that jumps stays in its object within the gate; beyond
// it, it starts over as a new object and the old one coasts.
TEST(OneObjectTwoRadars, TrackThatJumpsBeyondTheGateLeaves)
{
    for (const double jumpM : {gateM - 0.05, gateM + 0.05}) {
        Fusion f(config);
        for (std::int64_t t = startMs; t < startMs + 1000; t += 100)
            f.add(report(0, t, {see(0, 5, 0.0, 0.0)}));
        f.add(report(0, startMs + 1000, {see(0, 5, jumpM, 0.0)}));
        const Picture p = f.picture(startMs + 1000);
        const bool left = jumpM > gateM;
        ASSERT_EQ(ids(p), (left ? QVector<std::int64_t>{1, 2} : QVector<std::int64_t>{1}));
        EXPECT_EQ(p.objects.back().radars.size(), 1);
        EXPECT_EQ(p.objects.front().radars.size(), left ? 0 : 1);
    }
}

// A second radar whose track starts beyond the gate and then closes in
// leaves no duplicate: the younger object is merged into the older id.
TEST(OneObjectTwoRadars, LateSecondRadarMergedIntoTheOlderId)
{
    Fusion f(config);
    const auto pictures = run(f, startMs, startMs + 4000, [](int radar, std::int64_t ms) {
        const double x = -30.0 + 5.0 * seconds(startMs, ms);
        if (radar == 0)
            return QVector<RadarTrack>{see(0, 1, x, 0.0, 5.0, 0.0)};
        if (ms < startMs + 300)
            return QVector<RadarTrack>{};
        // Starts 14 m off, on the object within half a second.
        const double off = std::max(0.0, 14.0 - 28.0 * seconds(startMs + 300, ms));
        return QVector<RadarTrack>{see(1, 1, x, 0.0, 5.0, 0.0, off)};
    });
    EXPECT_EQ(pictures[5].objects.size(), 2);
    // After mergeAfterMs near each other it is one object, the older.
    ASSERT_EQ(pictures.back().objects.size(), 1);
    EXPECT_EQ(pictures.back().objects[0].id, 1);
    EXPECT_EQ(pictures.back().objects[0].radars.size(), 2);
    EXPECT_EQ(f.objectCount(), 1);
}

// B's track splits in two on one object: the second makes an object of
// its own while the first lives (one object never holds two tracks of one
// radar, nor are two objects that share a radar merged); once the first
// ends, the second's object is merged into the older id mergeAfterMs later.
TEST(OneObjectTwoRadars, SplitTrackMergedBackAfterTheFirstEnds)
{
    const std::int64_t splitMs = startMs + 1000;
    const std::int64_t endMs = startMs + 3000; // B's first track's last report before
    Fusion f(config);
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
        Fusion f(config);
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
        Fusion f(config);
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
// predicted, then is dropped, and its id is not given again.
TEST(SilentRadar, ObjectLeftToOthersThenCoastedThenDropped)
{
    // Both radars see it moving east at 4 m/s until lastA; B alone until
    // lastB, then B's reports hold nothing.
    const std::int64_t lastA = startMs + 1000;
    const std::int64_t lastB = lastA + 1540; // one of B's report times
    auto feed = [&](Fusion& f, std::int64_t untilMs) {
        for (std::int64_t t = startMs; t <= untilMs; t += 100) {
            const double x = 4.0 * seconds(startMs, t);
            if (t <= lastA)
                f.add(report(0, t, {see(0, 4, x, 0.0, 4.0, 0.0)}));
            if (t + 40 <= untilMs)
                f.add(report(1, t + 40,
                             t + 40 <= lastB ? QVector<RadarTrack>{see(1, 9, x, 0.0, 4.0, 0.0)}
                                             : QVector<RadarTrack>{}));
        }
    };
    struct Case
    {
        std::int64_t atMs;
        int radars; // in the object
        bool kept;
    };
    // B's track ends at its first report that does not hold it.
    const std::int64_t endB = lastB + 100;
    for (const Case& c : {Case{lastA + Fusion::radarSilenceMs, 2, true},
                          Case{lastA + Fusion::radarSilenceMs + 1, 1, true},
                          Case{endB + coastMs, 0, true}, Case{endB + coastMs + 1, 0, false}}) {
        Fusion f(config);
        feed(f, c.atMs);
        const Picture p = f.picture(c.atMs);
        ASSERT_EQ(p.objects.size(), c.kept ? 1 : 0) << c.atMs - startMs;
        if (!c.kept) {
            f.add(report(0, c.atMs + 1, {see(0, 4, 0.0, 0.0)}));
            EXPECT_EQ(ids(f.picture(c.atMs + 2)), QVector<std::int64_t>{2});
            continue;
        }
        const SiteObject& o = p.objects[0];
        EXPECT_EQ(o.id, 1);
        ASSERT_EQ(o.radars.size(), c.radars) << c.atMs - startMs;
        if (c.radars == 1) {
            EXPECT_EQ(o.radars[0].radar, 1);
        }
        EXPECT_EQ(o.confirmed, c.radars > 0);
        EXPECT_NEAR(o.xM, 4.0 * seconds(startMs, c.atMs), 0.5);
    }
}

// Confirmed holds confirmedHoldMs past a track's last confirmed report.
TEST(Confirmed, HeldAShortWhile)
{
    for (const auto& [afterMs, confirmed] : {std::pair{Fusion::confirmedHoldMs, true},
                                             std::pair{Fusion::confirmedHoldMs + 1, false}}) {
        Fusion f(config);
        f.add(report(0, startMs, {see(0, 1, 0.0, 0.0)}));
        f.add(report(0, startMs + afterMs, {see(0, 1, 0.0, 0.0, 0, 0, 0, 0, false)}));
        EXPECT_EQ(f.picture(startMs + afterMs).objects.at(0).confirmed, confirmed) << afterMs;
    }
    Fusion f(config);
    f.add(report(0, startMs, {see(0, 1, 0.0, 0.0, 0, 0, 0, 0, false)}));
    EXPECT_FALSE(f.picture(startMs).objects.at(0).confirmed);
}

// A report older than what it would update is counted once, applied to
// nothing and moves nothing back; one of a radar older than that radar's
// latest ends none of its tracks.
TEST(LateMessages, CountedOnceNeverBackwards)
{
    Fusion f(config);
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
}

// The radar's own stamp jumping an hour either way changes nothing: fusion
// runs on the reception time.
TEST(RadarClock, JumpChangesNothing)
{
    auto pictures = [](std::int64_t jumpMs) {
        Fusion f(config);
        QVector<Picture> out;
        for (std::int64_t t = startMs; t < startMs + 3000; t += 100) {
            for (int radar = 0; radar < 2; ++radar) {
                TracksReport r = report(radar, t + 40 * radar,
                                        {see(radar, 1, 5.0 * seconds(startMs, t), 0.0, 5.0)});
                if (t >= startMs + 1500)
                    r.timestampMs += jumpMs;
                f.add(r);
            }
            out.append(f.picture(t + 50));
        }
        return std::make_pair(out, f.lateMessages());
    };
    const auto steady = pictures(0);
    for (const std::int64_t jumpMs : {3'600'000LL, -3'600'000LL}) {
        const auto jumped = pictures(jumpMs);
        EXPECT_EQ(jumped.second, steady.second);
        ASSERT_EQ(jumped.first.size(), steady.first.size());
        for (int i = 0; i < steady.first.size(); ++i) {
            ASSERT_EQ(ids(jumped.first[i]), ids(steady.first[i]));
            EXPECT_EQ(jumped.first[i].objects[0].xM, steady.first[i].objects[0].xM);
        }
    }
}

// Two radars at right angles see one object with their range and
// cross-range errors: the fused position is more precise than either
// radar's alone (root mean square over the pictures, every seed).
TEST(Precision, TwoRadarsAtRightAnglesBeatEither)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        std::normal_distribution<double> unit(0.0, 1.0);
        // Each radar's draws once, so that every run sees the same errors.
        QVector<QVector<std::pair<double, double>>> draws(2);
        for (auto& d : draws)
            for (int k = 0; k < 100; ++k)
                d.append({unit(random), unit(random)});
        auto rms = [&](bool useA, bool useB) {
            Fusion f(config);
            double sum = 0.0;
            int n = 0;
            for (int k = 0; k < 100; ++k) {
                const std::int64_t t = startMs + 100 * k;
                const double x = 20.0 + 2.0 * seconds(startMs, t);
                const double y = 40.0 - 1.0 * seconds(startMs, t);
                for (int radar = 0; radar < 2; ++radar) {
                    if ((radar == 0 && !useA) || (radar == 1 && !useB))
                        continue;
                    const double range = std::hypot(x - config.radars[radar].placement.x,
                                                    y - config.radars[radar].placement.y);
                    const double cross =
                        std::max(crossRangeFloorM, range * bearingSigmaDeg * M_PI / 180.0);
                    f.add(
                        report(radar, t + 20 * radar,
                               {see(radar, 1, x, y, 2.0, -1.0, rangeSigmaM * draws[radar][k].first,
                                    cross * draws[radar][k].second)}));
                }
                const Picture p = f.picture(t + 50);
                if (k < 20 || p.objects.size() != 1)
                    continue;
                const double ex = p.objects[0].xM - (x + 0.1);
                const double ey = p.objects[0].yM - (y - 0.05);
                sum += ex * ex + ey * ey;
                ++n;
            }
            return n == 80 ? std::sqrt(sum / n) : 1e9;
        };
        const double both = rms(true, true);
        EXPECT_LT(both, rms(true, false)) << "seed " << seed;
        EXPECT_LT(both, rms(false, true)) << "seed " << seed;
    }
}

} // namespace
} // namespace trklib::sited::test

// The self-alignment on co-sightings made from known mounting errors: a
// junction's four radars (tools/radarsim/sites/junction.conf), objects on
// its two crossing roads and some turning, each radar's report of them
// made the way a radar mounted off its site-file place would make it.

#include "tools/sited/align/aligner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <random>

namespace trklib::sited::test {
namespace {

using align::Aligner;
using align::RadarEstimate;

constexpr double pi = 3.14159265358979323846;
constexpr double rad = pi / 180.0;
constexpr std::int64_t startMs = 1'700'000'000'000;

struct Mount
{
    double x, y, height, heading;
};
// east, north, west, south
const Mount junction[] = {
    {160, -9, 6, 277.5}, {9, 160, 6, 187.5}, {-160, 9, 6, 97.5}, {-9, -160, 6, 7.5}};
constexpr int radarCount = 4;

align::Settings settingsOf(int anchor, int radars = radarCount)
{
    align::Settings s;
    for (int r = 0; r < radars; ++r)
        s.radars.append({junction[r].x, junction[r].y, junction[r].height});
    s.anchor = anchor;
    return s;
}

struct Point
{
    double x, y;
};

// Object i at time t (s): two lanes each way on both roads at 10 m/s, every
// fifth turning round the junction 25 m out.
Point objectAt(int i, double t)
{
    if (i % 5 == 4)
        return {25.0 * std::cos(0.3 * t + i), 25.0 * std::sin(0.3 * t + i)};
    const double along = std::fmod(10.0 * t + 37.0 * i, 300.0) - 150.0;
    switch (i % 4) {
    case 0:
        return {along, -2.0};
    case 1:
        return {-along, 2.0};
    case 2:
        return {2.0, along};
    default:
        return {-2.0, -along};
    }
}

// What radar r, truly mounted at its file place plus err, reports of p: its
// slant range err.rangeM too long, its bearing turned against its heading
// error, range and bearing noisy. False when p is outside its beam.
bool sight(int r, const RadarAlignment& err, Point p, std::mt19937& rng, Sighting& s)
{
    const Mount& m = junction[r];
    const double dx = p.x - (m.x + err.xM), dy = p.y - (m.y + err.yM);
    const double ground = std::hypot(dx, dy);
    double off = std::atan2(dx, dy) / rad - m.heading;
    off = std::remainder(off, 360.0);
    if (ground < 10.0 || ground > 250.0 || std::abs(off) > 60.0)
        return false;
    std::normal_distribution<double> unit(0.0, 1.0);
    constexpr double rangeSigma = 0.25, bearingSigmaDeg = 0.3;
    const double v = m.height - 1.0;
    const double slant = std::hypot(ground, v) + err.rangeM + rangeSigma * unit(rng);
    const double reported = std::sqrt(slant * slant - v * v);
    const double bearing =
        std::atan2(dx, dy) - (err.headingDeg + bearingSigmaDeg * unit(rng)) * rad;
    const double ux = std::sin(bearing), uy = std::cos(bearing);
    s.radar = r;
    s.xM = m.x + reported * ux;
    s.yM = m.y + reported * uy;
    s.groundRangeM = reported;
    s.slantRangeM = slant;
    const double along = rangeSigma * rangeSigma;
    const double across = std::pow(reported * bearingSigmaDeg * rad, 2);
    s.covXX = ux * ux * along + uy * uy * across;
    s.covYY = uy * uy * along + ux * ux * across;
    s.covXY = ux * uy * (along - across);
    return true;
}

using Errors = std::vector<RadarAlignment>;

// Every pair of radars that both see an object, every half second from
// fromS to toS; keep(i) picks the objects. With wrongEvery, every so many
// pairs is a wrong association: the second radar saw another object.
void feed(
    Aligner& aligner, const Errors& errors, double fromS, double toS, std::mt19937& rng,
    const std::function<bool(int)>& keep = [](int) { return true; },
    const std::function<Point(int, double)>& at = objectAt, int objects = 15, int wrongEvery = 0)
{
    int pairs = 0;
    for (double t = fromS; t < toS; t += 0.5) {
        for (int i = 0; i < objects; ++i) {
            if (!keep(i))
                continue;
            for (int a = 0; a < int(errors.size()); ++a) {
                for (int b = a + 1; b < int(errors.size()); ++b) {
                    CoSighting c;
                    c.timeMs = startMs + std::int64_t(t * 1000.0);
                    c.objectId = i + 1;
                    const bool wrong = wrongEvery > 0 && ++pairs % wrongEvery == 0;
                    if (sight(a, errors[a], at(i, t), rng, c.a) &&
                        sight(b, errors[b], at(wrong ? (i + 5) % objects : i, t), rng, c.b))
                        aligner.add(c);
                }
            }
        }
    }
}

std::int64_t at(double s)
{
    return startMs + std::int64_t(s * 1000.0);
}

void expectNear(const RadarEstimate& e, const RadarAlignment& truth, const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_TRUE(e.observable) << e.why.toStdString();
    EXPECT_NEAR(e.estimate.headingDeg, truth.headingDeg, 0.15);
    EXPECT_NEAR(e.estimate.xM, truth.xM, 0.5);
    EXPECT_NEAR(e.estimate.yM, truth.yM, 0.5);
    EXPECT_NEAR(e.estimate.rangeM, truth.rangeM, 0.3);
}

TEST(Aligner, FindsEachRadarsErrorAgainstTheAnchor)
{
    const RadarAlignment none;
    const RadarAlignment east{2.0, 1.5, -1.0, 0.5}, south{-1.5, -1.0, 0.8, -0.4};
    struct Row
    {
        const char* what;
        int anchor;
        Errors errors;
        int anchorIs;       // -1: north or west
        int wrongEvery = 0; // wrong associations among the pairs
    };
    const Row rows[] = {
        {"two radars off, the consensus", -1, {east, none, none, south}, -1},
        {"none off, the consensus", -1, {none, none, none, none}, -2},
        {"two radars off, west fixed", 2, {east, none, none, south}, 2},
        {"two radars off, wrong pairs among them", -1, {east, none, none, south}, -1, 50},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::mt19937 rng(7);
        Aligner aligner(settingsOf(row.anchor));
        feed(
            aligner, row.errors, 0.0, 200.0, rng, [](int) { return true; }, objectAt, 15,
            row.wrongEvery);
        const QVector<RadarEstimate> found = aligner.estimate(at(200.0));
        ASSERT_EQ(found.size(), radarCount);
        int anchors = 0;
        for (int r = 0; r < radarCount; ++r) {
            expectNear(found[r], row.errors[r], junction[r].x > 100 ? "east" : "other");
            EXPECT_GT(found[r].coSightings, 1000);
            anchors += found[r].anchor;
            if (found[r].anchor)
                EXPECT_TRUE(row.anchorIs == r || (row.anchorIs == -1 && (r == 1 || r == 2)) ||
                            row.anchorIs == -2)
                    << r;
            else
                EXPECT_TRUE(found[r].certain) << r;
        }
        EXPECT_EQ(anchors, 1);
        EXPECT_TRUE(aligner.takeChanges().isEmpty());
    }
}

TEST(Aligner, SaysWhatTheGeometryCannotTell)
{
    std::mt19937 rng(11);
    // A fifth radar far off that sees none of the junction.
    align::Settings settings = settingsOf(-1);
    settings.radars.append({5000.0, 0.0, 6.0});
    Aligner alone(settings);
    feed(alone, {{}, {}, {}, {}}, 0.0, 60.0, rng);
    const QVector<RadarEstimate> found = alone.estimate(at(60.0));
    ASSERT_EQ(found.size(), radarCount + 1);
    EXPECT_FALSE(found[4].observable);
    EXPECT_EQ(found[4].why.toStdString(), "shares no objects with the other radars");
    EXPECT_TRUE(found[0].observable);

    // East and north sharing only objects on one line through east.
    const auto all = [](int) { return true; };
    const auto onTheLine = [](int i, double t) {
        return Point{std::fmod(10.0 * t + 37.0 * i, 200.0) - 100.0, -9.0};
    };
    Aligner line(settingsOf(1, 2));
    feed(line, {{1.0, 0.5, 0.5, 0.3}, {}}, 0.0, 3.0, rng, all, onTheLine);
    const QVector<RadarEstimate> early = line.estimate(at(3.0));
    EXPECT_TRUE(early[0].folded);
    EXPECT_FALSE(early[0].foldedCertain) << "3 s of objects";
    feed(line, {{1.0, 0.5, 0.5, 0.3}, {}}, 3.0, 200.0, rng, all, onTheLine);
    const QVector<RadarEstimate> along = line.estimate(at(200.0));
    EXPECT_TRUE(along[1].anchor);
    EXPECT_FALSE(along[0].observable);
    EXPECT_EQ(along[0].why.toStdString(),
              "range offset and place along its beam cannot be told apart");
    // Folded: the place along the beam (east looks west, 0.5 m of x against
    // the beam) goes into the range offset, what is across it stays.
    ASSERT_TRUE(along[0].folded);
    const RadarAlignment& f = along[0].foldedEstimate;
    EXPECT_NEAR(f.headingDeg, 1.0, 0.15);
    EXPECT_NEAR(f.xM, 0.0, 0.1);
    EXPECT_NEAR(f.yM, 0.5, 0.3);
    EXPECT_NEAR(f.rangeM, 0.8, 0.1);
    // Its uncertainty is what the co-sightings leave of it, not the
    // survey's metres along the beam.
    const RadarAlignment& fs = along[0].foldedSigma;
    EXPECT_TRUE(along[0].foldedCertain);
    EXPECT_LT(fs.xM, 0.01) << "nothing left along the beam";
    EXPECT_LT(fs.rangeM, 0.1) << "the survey's " << along[0].sigma.rangeM << " m dropped out";
    EXPECT_FALSE(found[0].folded) << "observable: nothing to fold";
}

// What apply corrects a radar by: only what is certain, or what the
// geometry cannot tell only once enough co-sightings bring it together with
// the others; before its first correction, what is clearly better than none.
TEST(Aligner, AppliesOnlyWhatIsCertain)
{
    const RadarAlignment estimate{1.0, 2.0, 3.0, 4.0};
    const RadarAlignment folded{1.1, 0.0, 3.0, 6.0};
    const RadarAlignment wide{1.0, 1.0, 1.0, 1.0}; // sigmas: never early
    enum Kind
    {
        Anchor,
        Observable,
        Folded,
        Neither
    };
    const auto of = [&](Kind kind, bool certain, RadarAlignment sigma, std::int64_t coSightings,
                        RadarAlignment value) {
        RadarEstimate e;
        e.radar = 0;
        e.anchor = kind == Anchor;
        e.observable = kind == Anchor || kind == Observable;
        e.certain = certain && kind == Observable;
        e.sharing = true;
        e.estimate = kind == Folded ? estimate : value;
        e.sigma = e.foldedSigma = sigma;
        e.folded = kind == Folded;
        e.foldedEstimate = kind == Folded ? value : folded;
        e.foldedCertain = certain && kind == Folded;
        e.coSightings = coSightings;
        return e;
    };
    const RadarAlignment small{0.1, 0.3, 0.3, 0.2};
    // Each sigma at its bound for early (0.3 deg, 0.9 m, 0.9 m, 0.6 m).
    const RadarAlignment atBounds{align::earlyBounds * RadarEstimate::certainHeadingDeg,
                                  align::earlyBounds * RadarEstimate::certainPlaceM, 0.5,
                                  align::earlyBounds * RadarEstimate::certainRangeM};
    RadarAlignment headingWide = atBounds;
    headingWide.headingDeg += 0.01;
    const struct
    {
        const char* what;
        RadarEstimate e;
        RadarAlignment inForce;
        std::optional<RadarAlignment> applied;
    } rows[] = {
        {"the anchor: nothing", of(Anchor, true, wide, 0, estimate), estimate, RadarAlignment()},
        {"observable, certain", of(Observable, true, wide, 10, estimate), {}, estimate},
        {"observable, not certain", of(Observable, false, wide, 5000, estimate), {}, std::nullopt},
        {"folded, certain", of(Folded, true, wide, 10, folded), {}, folded},
        {"folded, not certain", of(Folded, false, wide, 5000, folded), {}, std::nullopt},
        {"not observable, enough co-sightings",
         of(Neither, false, wide, 1000, estimate),
         {},
         estimate},
        {"not observable, too few", of(Neither, false, wide, 999, estimate), {}, std::nullopt},
        // Early: every sigma within 0.3 deg, 0.9 m and 0.6 m, some figure
        // beyond 5 sigmas and 0.15 deg, 0.45 m or 0.3 m of the correction in
        // force.
        {"early, clearly better than none",
         of(Observable, false, atBounds, 10, estimate),
         {},
         estimate},
        {"early, folded", of(Folded, false, atBounds, 10, folded), {}, folded},
        {"early, near the correction in force",
         of(Observable, false, atBounds, 10, estimate),
         {1.1, 2.0, 3.0, 4.0},
         std::nullopt},
        {"early, after a knock of 5 deg",
         of(Observable, false, atBounds, 10, estimate),
         {-4.0, 2.0, 3.0, 4.0},
         estimate},
        {"early, a sigma too wide",
         of(Observable, false, headingWide, 10, estimate),
         {},
         std::nullopt},
        {"early, nothing 5 sigmas out",
         of(Observable, false, {0.3, 0.8, 0.8, 0.6}, 10, {1.0, 2.0, 3.0, 2.0}),
         {},
         std::nullopt},
        {"early, nothing beyond its bound",
         of(Observable, false, {0.01, 0.01, 0.01, 0.01}, 10, small),
         {},
         std::nullopt},
    };
    for (const auto& row : rows) {
        const std::optional<RadarAlignment> applied = align::appliedAlignment(row.e, row.inForce);
        ASSERT_EQ(applied.has_value(), row.applied.has_value()) << row.what;
        if (applied) {
            EXPECT_EQ(applied->headingDeg, row.applied->headingDeg) << row.what;
            EXPECT_EQ(applied->rangeM, row.applied->rangeM) << row.what;
        }
    }
    RadarEstimate alone = of(Neither, false, wide, 5000, estimate);
    alone.sharing = false;
    EXPECT_FALSE(align::appliedAlignment(alone, {})) << "shares nothing";
}

TEST(Aligner, KnockedRadarReportedOnceAndFollowed)
{
    std::mt19937 rng(5);
    Aligner aligner(settingsOf(-1));
    const Errors before{{}, {}, {}, {}};
    Errors after = before;
    after[0].headingDeg = 5.0;
    after[3].headingDeg = 0.2; // well beyond its sigma, within what counts as a change
    QVector<Aligner::Change> changes;
    for (int s = 0; s < 300; s += 2) {
        feed(aligner, s < 150 ? before : after, s, s + 2, rng);
        aligner.estimate(at(s + 2));
        changes += aligner.takeChanges();
    }
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes[0].radar, 0);
    EXPECT_NEAR(changes[0].after.headingDeg - changes[0].before.headingDeg, 5.0, 0.5);
    EXPECT_GT(changes[0].timeMs, at(150.0));
    EXPECT_LT(changes[0].timeMs, at(180.0));
    expectNear(aligner.estimate(at(300.0))[0], after[0], "east");
}

} // namespace
} // namespace trklib::sited::test

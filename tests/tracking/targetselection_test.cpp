#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace trklib {
namespace {

using test::makeCandidate;
using test::numberedTarget;

constexpr double velocityGateMps = 0.4166666666666667; // 1.5 km/h

// A target at 100 m in cell 50 moving at 10 m/s; candidates at amplitude 0 dB
// have a distance gate of exactly 3 m.
class TargetSelect : public ::testing::Test
{
protected:
    RadarConfig config{0.0, 0.0, 2.0, 0.0, 0};
    Target target = numberedTarget(makeCandidate(&config, 50, -40, 100.0, 10.0), 4, 6);

    Candidate at(qint32 index, double distance, double absVelocity, double azimuth = 0.0,
                 double elevation = 0.0)
    {
        return makeCandidate(&config, index, 0, distance, absVelocity, azimuth, elevation);
    }
};

TEST_F(TargetSelect, PositionGateWithRelaxedRangeForNeighbouringCells)
{
    const Candidate neighbourTenOff = at(51, 110.0, 10.4);
    const Candidate twoCellsTenOff = at(52, 110.0, 10.0);
    const Candidate insideTooFast = at(60, 102.0, 10.5);
    const Candidate neighbourTwelveOff = at(49, 112.0, 10.0);
    const Candidate sameCellBeyondTwelve = at(50, 112.5, 10.0);
    // Neither the index nor the elevation is gated when the range fits.
    const Candidate farCellHighUp = at(80, 101.0, 9.9, 0.0, 30.0);
    const Candidate neighbourAzimuthOff = at(51, 110.0, 10.0, 1.2);

    QVector<Candidate> pool = {neighbourTenOff,    twoCellsTenOff,       insideTooFast,
                               neighbourTwelveOff, sameCellBeyondTwelve, farCellHighUp,
                               neighbourAzimuthOff};
    const QVector<Candidate> selected = target.select(pool);

    ASSERT_EQ(selected.size(), 3);
    EXPECT_EQ(selected[0].distance, neighbourTenOff.distance);
    EXPECT_EQ(selected[1].distance, neighbourTwelveOff.distance);
    EXPECT_EQ(selected[2].index, farCellHighUp.index);
    // The too-fast candidate passed the position gate: it is gone from both.
    ASSERT_EQ(pool.size(), 3);
    EXPECT_EQ(pool[0].index, twoCellsTenOff.index);
    EXPECT_EQ(pool[1].distance, sameCellBeyondTwelve.distance);
    EXPECT_EQ(pool[2].azimuth, neighbourAzimuthOff.azimuth);
    EXPECT_EQ(target.distance, 100.0);
}

TEST_F(TargetSelect, VelocityGateIsInclusive)
{
    target.absVelocity = 0.0;
    QVector<Candidate> pool = {at(50, 100.0, velocityGateMps),
                               at(50, 100.0, std::nextafter(velocityGateMps, 1.0))};
    const QVector<Candidate> selected = target.select(pool);
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].absVelocity, velocityGateMps);
    EXPECT_TRUE(pool.isEmpty());
}

using TargetRefine = TargetSelect;

TEST_F(TargetRefine, EmptySelectionIsAMiss)
{
    QVector<Candidate> none;
    const double ownRcs = target.calculateRcs();
    target.refine(none);
    EXPECT_EQ(target.status(), Target::Missed);
    EXPECT_EQ(target.score_, 5);
    EXPECT_EQ(target.missCount_, 1);
    EXPECT_EQ(target.rcsSum_, ownRcs);

    Target unnumbered(makeCandidate(&config, 50, -40, 100.0, 10.0));
    unnumbered.refine(none);
    EXPECT_EQ(unnumbered.status(), Target::Lost);
}

TEST_F(TargetRefine, AgreeingVelocityIsAveragedThenFiltered)
{
    Candidate measurement = at(52, 101.0, 10.2, 0.5, 1.0);
    measurement.amplitude = -35;
    QVector<Candidate> selected = {measurement};

    Target expected = target;
    expected.setStatus(Target::Confirmed);
    expected.absVelocity = (10.0 + 10.2) * 0.5;
    expected.kalman(measurement);

    target.refine(selected);

    EXPECT_EQ(target.status(), Target::Confirmed);
    EXPECT_EQ(target.score_, 7);
    EXPECT_EQ(target.index, 52);
    EXPECT_EQ(target.amplitude, -35);
    EXPECT_EQ(target.distance, expected.distance);
    EXPECT_EQ(target.absVelocity, expected.absVelocity);
    EXPECT_EQ(target.rcsSum_, measurement.calculateRcs());
}

TEST_F(TargetRefine, MoreThanTwoMissesReinitialiseWithAnyVelocity)
{
    Candidate fast = at(53, 103.0, 25.0, 1.0, 0.5);
    target.status_ = Target::Missed;
    target.missCount_ = 2; // still tests the velocity: a miss
    QVector<Candidate> selected = {fast};
    target.refine(selected);
    EXPECT_EQ(target.status(), Target::Missed);
    EXPECT_EQ(target.missCount_, 3);
    EXPECT_EQ(target.index, 50);
    EXPECT_EQ(target.distance, 100.0);

    target.velocityGain_ = 0.9;
    target.azimuthGain_ = 0.8;
    target.distanceGain_ = 0.7;
    target.elevationGain_ = 0.6;
    Target expected = target;
    expected.velocityGain_ = expected.azimuthGain_ = 0.5;
    expected.distanceGain_ = expected.elevationGain_ = 0.5;
    expected.absVelocity = fast.absVelocity;
    expected.kalman(fast);

    selected = {fast};
    target.refine(selected);

    EXPECT_EQ(target.status(), Target::Confirmed);
    EXPECT_EQ(target.missCount_, 0);
    EXPECT_EQ(target.index, 53);
    EXPECT_EQ(target.distance, expected.distance);
    EXPECT_EQ(target.azimuth, expected.azimuth);
    EXPECT_EQ(target.elevation, expected.elevation);
    EXPECT_EQ(target.absVelocity, expected.absVelocity);
}

using TargetSortOut = TargetSelect;

TEST_F(TargetSortOut, AveragesCloseVelocityOrTakesOneThatPassesTheAngleCheck)
{
    struct Case
    {
        double velocity, azimuth, elevation;
        bool found;
        double result, chosenElevation;
    };
    // Seen at 20 degrees, really at 0.5: the corrected copy is chosen, the
    // velocity from before the correction returned.
    const double steep = 10.0 * util::cosd(0.5) / util::cosd(20.0);
    const Case cases[] = {
        {10.2, 0.0, 0.0, true, (10.0 + 10.2) * 0.5, 0.0},
        {10.3, 2.0, 3.0, true, 10.3, 3.0}, // small angles, within the velocity gate
        {10.5, 0.0, 0.0, false, 0.0, 0.0},
        {steep, 0.0, 20.0, true, steep, 0.5},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.velocity);
        Target t = target;
        QVector<Candidate> candidates = {at(50, 100.0, k.velocity, k.azimuth, k.elevation)};
        Candidate chosen;
        bool found = !k.found;
        EXPECT_EQ(t.sortOut(candidates, chosen, found), k.result);
        EXPECT_EQ(found, k.found);
        EXPECT_EQ(t.absVelocity, k.found ? k.result : 10.0);
        if (k.found) {
            EXPECT_NEAR(chosen.elevation, k.chosenElevation, 1e-9);
        }
        EXPECT_TRUE(candidates.isEmpty());
    }
}

TEST_F(TargetSortOut, TriesStrongestFirstAndStopsAtFirstAccepted)
{
    Candidate strongWrong = at(50, 100.0, 10.5);
    strongWrong.amplitude = -40;
    Candidate weakRight = at(51, 100.5, 10.1);
    weakRight.amplitude = -50;
    Candidate weakerSpare = at(52, 101.0, 10.0);
    weakerSpare.amplitude = -60;

    QVector<Candidate> candidates = {weakRight, strongWrong, weakerSpare};
    Candidate chosen;
    bool found = false;
    // weakRight is 10 dB above weakerSpare, so weakerSpare is never tried.
    EXPECT_EQ(target.sortOut(candidates, chosen, found), (10.0 + 10.1) * 0.5);
    EXPECT_TRUE(found);
    EXPECT_EQ(chosen.index, 51);
    ASSERT_EQ(candidates.size(), 1);
    EXPECT_EQ(candidates[0].index, 52);
}

// An approaching target at -10 m/s, radar 2 m above the ground. A candidate
// is seen at some angles, its radial velocity fitting the target's velocity
// at other (true) angles.
class TargetAngleCheck : public ::testing::Test
{
protected:
    RadarConfig config{0.0, 0.0, 2.0, 0.0, 0};
    Target target = numberedTarget(makeCandidate(&config, -40, -40, 10.0, -10.0), 2, 5);

    Candidate seen(double distance, double azimuth, double elevation, double trueAzimuth,
                   double trueElevation)
    {
        Candidate c = makeCandidate(&config, -41, -45, distance, 0.0, azimuth, elevation);
        c.relVelocity = target.absVelocity * util::cosd(trueElevation) * util::cosd(trueAzimuth);
        c.updateAbsVelocity();
        return c;
    }

    double derivedElevation(const Candidate& c) const
    {
        const double el = util::acosd(c.relVelocity / util::cosd(c.azimuth) / target.absVelocity);
        return c.elevation < 0 ? -el : el;
    }

    double derivedAzimuth(const Candidate& c) const
    {
        const double az = util::acosd(c.relVelocity / util::cosd(c.elevation) / target.absVelocity);
        return c.azimuth < 0 ? -az : az;
    }
};

TEST_F(TargetAngleCheck, CheckCorrectedPerAngleCase)
{
    constexpr auto El = Target::Elevation, Az = Target::Azimuth, Both = Target::Both;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    enum Outcome
    {
        Rejected,
        ElevationSet,
        AzimuthSet
    };
    struct Case
    {
        const char* name;
        Target::Angles angles;
        double distance, azimuth, elevation, trueAzimuth, trueElevation;
        double ratio; // if set: relVelocity = ratio * target velocity
        Outcome outcome;
        double correctedDeg;
    };
    const Case cases[] = {
        {"elevation up", El, 10.0, 3.0, 12.0, 3.0, 11.0, 0.0, ElevationSet, 11.0},
        {"elevation down", El, 10.0, 3.0, -12.0, 3.0, 11.0, 0.0, ElevationSet, -11.0},
        // At 13 m the object is 4.48 m above the ground, or 0.48 m below it
        // when seen downwards; at 14 m downwards it is below -0.5 m.
        {"above window", El, 13.0, 3.0, 12.0, 3.0, 11.0, 0.0, Rejected, 0.0},
        {"just above ground", El, 13.0, 3.0, -12.0, 3.0, 11.0, 0.0, ElevationSet, -11.0},
        {"below ground", El, 14.0, 3.0, -12.0, 3.0, 11.0, 0.0, Rejected, 0.0},
        {"elevation ratio above 1", El, 10.0, 3.0, 12.0, 0.0, 0.0, 1.01, Rejected, 0.0},
        {"elevation ratio NaN", El, 10.0, 3.0, 12.0, 0.0, 0.0, nan, Rejected, 0.0},
        {"elevation ratio below -1", El, 50.0, 2.0, 0.0, 0.0, 0.0, -2.0, Rejected, 0.0},
        {"azimuth", Az, 50.0, 12.0, 1.0, 11.0, 1.0, 0.0, AzimuthSet, 11.0},
        {"azimuth negative", Az, 50.0, -12.0, 1.0, 11.0, 1.0, 0.0, AzimuthSet, -11.0},
        {"azimuth 2.5 off, far", Az, 300.0, 12.0, 1.0, 14.5, 1.0, 0.0, Rejected, 0.0},
        {"azimuth ratio 1, 2 off", Az, 50.0, 2.0, 0.0, 0.0, 0.0, 1.0, AzimuthSet, 0.0},
        {"azimuth ratio 1, 2.5 off", Az, 50.0, 2.5, 0.0, 0.0, 0.0, 1.0, Rejected, 0.0},
        {"azimuth ratio below -1", Az, 50.0, 2.0, 0.0, 0.0, 0.0, -2.0, Rejected, 0.0},
        {"both, tie: azimuth first", Both, 10.0, 12.0, 12.0, 11.0, 12.0, 0.0, AzimuthSet, 11.0},
        {"both, steeper: elevation", Both, 8.0, 12.0, 13.0, 12.0, 12.5, 0.0, ElevationSet, 12.5},
        {"both, azimuth fallback", Both, 30.0, 12.0, 15.0, 11.5, 15.0, 0.0, AzimuthSet, 11.5},
        {"both failing", Both, 30.0, 12.0, 15.0, 16.0, 15.0, 0.0, Rejected, 0.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Candidate c = seen(k.distance, k.azimuth, k.elevation, k.trueAzimuth, k.trueElevation);
        if (k.ratio != 0.0)
            c.relVelocity = k.ratio * target.absVelocity;
        const Candidate before = c;
        EXPECT_EQ(target.checkCorrected(c, k.angles), k.outcome != Rejected);
        EXPECT_EQ(c.elevation, k.outcome == ElevationSet ? derivedElevation(before) : k.elevation);
        EXPECT_EQ(c.azimuth, k.outcome == AzimuthSet ? derivedAzimuth(before) : k.azimuth);
        if (k.outcome == Rejected) {
            EXPECT_EQ(c.absVelocity, before.absVelocity);
            continue;
        }
        EXPECT_NEAR(k.outcome == ElevationSet ? c.elevation : c.azimuth, k.correctedDeg, 1e-9);
        EXPECT_EQ(c.absVelocity, c.relVelocity / (util::cosd(c.elevation) * util::cosd(c.azimuth)));
        EXPECT_NEAR(c.absVelocity, target.absVelocity, 1e-9);
    }
}

TEST_F(TargetAngleCheck, FilterPicksCorrectionByAngleSizeAndWalksBackwards)
{
    const Candidate elevationCase = seen(10.0, 3.0, 12.0, 3.0, 11.0);
    const Candidate downwards = seen(10.0, 3.0, -12.0, 3.0, 11.0);
    const Candidate azimuthCase = seen(50.0, 12.0, 1.0, 11.0, 1.0);
    const Candidate bothFailing = seen(30.0, 12.0, 15.0, 16.0, 15.0);
    const Candidate smallInside = seen(50.0, 2.0, 1.0, 2.0, 1.0);
    Candidate smallOutside = smallInside;
    smallOutside.absVelocity = target.absVelocity + 0.5;

    QVector<Candidate> candidates = {elevationCase, bothFailing, smallInside,
                                     smallOutside,  azimuthCase, downwards};
    target.filterCandidates(candidates);

    ASSERT_EQ(candidates.size(), 4);
    EXPECT_EQ(candidates[0].elevation, derivedElevation(elevationCase));
    EXPECT_EQ(candidates[0].azimuth, 3.0);
    EXPECT_EQ(candidates[1].absVelocity, smallInside.absVelocity);
    EXPECT_EQ(candidates[1].azimuth, 2.0);
    EXPECT_EQ(candidates[2].azimuth, derivedAzimuth(azimuthCase));
    EXPECT_EQ(candidates[2].elevation, 1.0);
    EXPECT_NEAR(candidates[3].elevation, -11.0, 1e-9);
}

TEST_F(TargetAngleCheck, SmallAnglesUseStrictVelocityGate)
{
    target.absVelocity = 0.0;
    Candidate onGate = makeCandidate(&config, -41, -45, 50.0, velocityGateMps, 2.0, 1.0);
    Candidate inside = onGate;
    inside.absVelocity = std::nextafter(velocityGateMps, 0.0);
    QVector<Candidate> candidates = {onGate, inside};
    target.filterCandidates(candidates);
    ASSERT_EQ(candidates.size(), 1);
    EXPECT_EQ(candidates[0].absVelocity, inside.absVelocity);
}

} // namespace
} // namespace trklib

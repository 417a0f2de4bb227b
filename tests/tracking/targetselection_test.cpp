#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace trklib {
namespace {

using test::makeCandidate;
using test::numberedTarget;

constexpr double velocityGateMps = 0.4166666666666667; // 1.5 km/h

// A candidate at amplitude 0 dB has a distance gate of exactly 3 m.
constexpr qint32 threeMetreGateAmplitude = 0;

class TargetSelect : public ::testing::Test
{
protected:
    RadarConfig config{0.0, 0.0, 2.0, 0.0, 0};
    Target target = numberedTarget(makeCandidate(&config, 50, -40, 100.0, 10.0), 4, 6);

    Candidate at(qint32 index, double distance, double absVelocity, double azimuth = 0.0,
                 double elevation = 0.0)
    {
        return makeCandidate(&config, index, threeMetreGateAmplitude, distance, absVelocity,
                             azimuth, elevation);
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
    const Candidate onGate = at(50, 100.0, velocityGateMps);
    const Candidate pastGate = at(50, 100.0, std::nextafter(velocityGateMps, 1.0));
    QVector<Candidate> pool = {onGate, pastGate};
    const QVector<Candidate> selected = target.select(pool);
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].absVelocity, velocityGateMps);
    EXPECT_TRUE(pool.isEmpty());
}

TEST_F(TargetSelect, EmptyPool)
{
    QVector<Candidate> pool;
    EXPECT_TRUE(target.select(pool).isEmpty());
    EXPECT_TRUE(pool.isEmpty());
}

// --- refine ------------------------------------------------------------------------------

class TargetRefine : public TargetSelect
{
};

TEST_F(TargetRefine, EmptySelectionIsAMiss)
{
    QVector<Candidate> none;
    const double ownRcs = target.calculateRcs();
    target.refine(none);
    EXPECT_EQ(target.status(), Target::Missed);
    EXPECT_EQ(target.score_, 5);
    EXPECT_EQ(target.missCount_, 1);
    EXPECT_TRUE(target.rcsStarted_);
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
    EXPECT_EQ(target.azimuth, expected.azimuth);
    EXPECT_EQ(target.elevation, expected.elevation);
    EXPECT_EQ(target.absVelocity, expected.absVelocity);
    EXPECT_EQ(target.relVelocity, expected.relVelocity);
    EXPECT_EQ(target.rcsSum_, measurement.calculateRcs());
}

TEST_F(TargetRefine, MoreThanTwoMissesReinitialisesWithAnyVelocity)
{
    target.missCount_ = 3;
    target.status_ = Target::Missed;
    target.velocityGain_ = 0.9;
    target.azimuthGain_ = 0.8;
    target.distanceGain_ = 0.7;
    target.elevationGain_ = 0.6;
    Candidate measurement = at(53, 103.0, 25.0, 1.0, 0.5);
    QVector<Candidate> selected = {measurement};

    Target expected = target;
    expected.velocityGain_ = 0.5;
    expected.azimuthGain_ = 0.5;
    expected.distanceGain_ = 0.5;
    expected.elevationGain_ = 0.5;
    expected.absVelocity = measurement.absVelocity;
    expected.kalman(measurement);

    target.refine(selected);

    EXPECT_EQ(target.status(), Target::Confirmed);
    EXPECT_EQ(target.missCount_, 0);
    EXPECT_EQ(target.index, 53);
    EXPECT_EQ(target.distance, expected.distance);
    EXPECT_EQ(target.absVelocity, expected.absVelocity);
    EXPECT_EQ(target.velocityGain_, expected.velocityGain_);
    EXPECT_EQ(target.distanceGain_, expected.distanceGain_);
}

TEST_F(TargetRefine, TwoMissesStillTestTheVelocity)
{
    target.missCount_ = 2;
    target.status_ = Target::Missed;
    QVector<Candidate> selected = {at(53, 103.0, 25.0)};
    target.refine(selected);
    EXPECT_EQ(target.status(), Target::Missed);
    EXPECT_EQ(target.missCount_, 3);
    EXPECT_EQ(target.index, 50);
    EXPECT_EQ(target.distance, 100.0);
}

// --- sortOut -----------------------------------------------------------------------------

class TargetSortOut : public TargetSelect
{
};

TEST_F(TargetSortOut, CloseVelocityIsAveraged)
{
    QVector<Candidate> candidates = {at(50, 100.0, 10.2)};
    Candidate chosen;
    bool found = false;
    EXPECT_EQ(target.sortOut(candidates, chosen, found), (10.0 + 10.2) * 0.5);
    EXPECT_TRUE(found);
    EXPECT_EQ(chosen.absVelocity, 10.2);
    EXPECT_EQ(target.absVelocity, (10.0 + 10.2) * 0.5);
    EXPECT_TRUE(candidates.isEmpty());
}

TEST_F(TargetSortOut, SmallAngleCandidateWithinVelocityGateKeepsItsVelocity)
{
    QVector<Candidate> candidates = {at(50, 100.0, 10.3, 2.0, 3.0)};
    Candidate chosen;
    bool found = false;
    EXPECT_EQ(target.sortOut(candidates, chosen, found), 10.3);
    EXPECT_TRUE(found);
    EXPECT_EQ(target.absVelocity, 10.3);
}

TEST_F(TargetSortOut, NothingFound)
{
    QVector<Candidate> candidates = {at(50, 100.0, 10.5)};
    Candidate chosen;
    bool found = true;
    EXPECT_EQ(target.sortOut(candidates, chosen, found), 0.0);
    EXPECT_FALSE(found);
    EXPECT_TRUE(candidates.isEmpty());
    EXPECT_EQ(target.absVelocity, 10.0);
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
    // strongWrong is tried first and dropped; weakRight (10 dB above
    // weakerSpare) is accepted; weakerSpare is never tried.
    EXPECT_EQ(target.sortOut(candidates, chosen, found), (10.0 + 10.1) * 0.5);
    EXPECT_TRUE(found);
    EXPECT_EQ(chosen.index, 51);
    ASSERT_EQ(candidates.size(), 1);
    EXPECT_EQ(candidates[0].index, 52);
}

// --- filterCandidates and checkCorrected -------------------------------------------------

// An approaching target at -10 m/s, radar 2 m above the ground; the
// candidates are built so that their radial velocity fits the target's at a
// given corrected angle.
class TargetAngleCheck : public ::testing::Test
{
protected:
    RadarConfig config{0.0, 0.0, 2.0, 0.0, 0};
    Target target = numberedTarget(makeCandidate(&config, -40, -40, 10.0, -10.0), 2, 5);

    // A candidate seen at (azimuth, elevation) whose true angles would be
    // (trueAzimuth, trueElevation).
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
        const double ratio = c.relVelocity / util::cosd(c.azimuth) / target.absVelocity;
        const double el = util::acosd(ratio);
        return c.elevation < 0 ? -el : el;
    }

    double derivedAzimuth(const Candidate& c) const
    {
        const double ratio = c.relVelocity / util::cosd(c.elevation) / target.absVelocity;
        const double az = util::acosd(ratio);
        return c.azimuth < 0 ? -az : az;
    }
};

TEST_F(TargetAngleCheck, ElevationRederivedWithinHeightWindow)
{
    Candidate up = seen(10.0, 3.0, 12.0, 3.0, 11.0);
    const Candidate upBefore = up;
    ASSERT_TRUE(target.checkCorrected(up, Target::Elevation));
    EXPECT_EQ(up.elevation, derivedElevation(upBefore));
    EXPECT_NEAR(up.elevation, 11.0, 1e-9);
    EXPECT_EQ(up.azimuth, 3.0);
    EXPECT_EQ(up.absVelocity, up.relVelocity / (util::cosd(up.elevation) * util::cosd(3.0)));
    EXPECT_NEAR(up.absVelocity, target.absVelocity, 1e-9);

    Candidate down = seen(10.0, 3.0, -12.0, 3.0, 11.0);
    ASSERT_TRUE(target.checkCorrected(down, Target::Elevation));
    EXPECT_NEAR(down.elevation, -11.0, 1e-9);

    // At 13 m the derived elevation puts the object 4.48 m above the ground,
    // or 0.48 m below it when seen downwards: outside and inside the window.
    Candidate justTooHigh = seen(13.0, 3.0, 12.0, 3.0, 11.0);
    EXPECT_FALSE(target.checkCorrected(justTooHigh, Target::Elevation));
    EXPECT_EQ(justTooHigh.elevation, 12.0);
    Candidate justAboveGround = seen(13.0, 3.0, -12.0, 3.0, 11.0);
    EXPECT_TRUE(target.checkCorrected(justAboveGround, Target::Elevation));
    Candidate belowGround = seen(14.0, 3.0, -12.0, 3.0, 11.0);
    EXPECT_FALSE(target.checkCorrected(belowGround, Target::Elevation));

    // 30 m away the derived elevation puts the object 7.7 m above the ground.
    Candidate high = seen(30.0, 3.0, 12.0, 3.0, 11.0);
    const Candidate highBefore = high;
    EXPECT_FALSE(target.checkCorrected(high, Target::Elevation));
    EXPECT_EQ(high.elevation, highBefore.elevation);
    EXPECT_EQ(high.absVelocity, highBefore.absVelocity);
}

TEST_F(TargetAngleCheck, ElevationRejectsRatioAboveOneOrNotANumber)
{
    Candidate tooFast = seen(10.0, 3.0, 12.0, 0.0, 0.0);
    tooFast.relVelocity = target.absVelocity * 1.01;
    EXPECT_FALSE(target.checkCorrected(tooFast, Target::Elevation));
    EXPECT_EQ(tooFast.elevation, 12.0);

    target.absVelocity = 0.0;
    Candidate standing = seen(10.0, 3.0, 12.0, 3.0, 11.0);
    standing.relVelocity = 0.0;
    EXPECT_FALSE(target.checkCorrected(standing, Target::Elevation));
    EXPECT_EQ(standing.elevation, 12.0);
}

TEST_F(TargetAngleCheck, AzimuthWithinTwoDegrees)
{
    Candidate near = seen(50.0, 12.0, 1.0, 11.0, 1.0);
    const Candidate nearBefore = near;
    ASSERT_TRUE(target.checkCorrected(near, Target::Azimuth));
    EXPECT_EQ(near.azimuth, derivedAzimuth(nearBefore));
    EXPECT_NEAR(near.azimuth, 11.0, 1e-9);
    EXPECT_EQ(near.elevation, 1.0);

    Candidate negative = seen(50.0, -12.0, 1.0, 11.0, 1.0);
    ASSERT_TRUE(target.checkCorrected(negative, Target::Azimuth));
    EXPECT_NEAR(negative.azimuth, -11.0, 1e-9);

    // No height window for the azimuth: far away is fine, 2.5 degrees is not.
    Candidate off = seen(300.0, 12.0, 1.0, 14.5, 1.0);
    EXPECT_FALSE(target.checkCorrected(off, Target::Azimuth));
    EXPECT_EQ(off.azimuth, 12.0);
}

TEST_F(TargetAngleCheck, AzimuthRatioOfExactlyOne)
{
    Candidate edge = seen(50.0, 2.0, 0.0, 0.0, 0.0);
    edge.relVelocity = target.absVelocity; // ratio exactly 1: derived azimuth 0
    ASSERT_TRUE(target.checkCorrected(edge, Target::Azimuth));
    EXPECT_EQ(edge.azimuth, 0.0);

    Candidate beyond = seen(50.0, 2.5, 0.0, 0.0, 0.0);
    beyond.relVelocity = target.absVelocity;
    EXPECT_FALSE(target.checkCorrected(beyond, Target::Azimuth));
    EXPECT_EQ(beyond.azimuth, 2.5);

    // A ratio below -1 has no arc cosine.
    Candidate opposite = seen(50.0, 2.0, 0.0, 0.0, 0.0);
    opposite.relVelocity = -2.0 * target.absVelocity;
    EXPECT_FALSE(target.checkCorrected(opposite, Target::Azimuth));
    EXPECT_FALSE(target.checkCorrected(opposite, Target::Elevation));
    EXPECT_EQ(opposite.azimuth, 2.0);
    EXPECT_EQ(opposite.elevation, 0.0);
}

TEST_F(TargetAngleCheck, BothTriesLargerAngleFirstAzimuthOnTies)
{
    // Equal angles: both corrections would succeed; azimuth goes first.
    Candidate tie = seen(10.0, 12.0, 12.0, 11.0, 12.0);
    const Candidate tieBefore = tie;
    ASSERT_TRUE(target.checkCorrected(tie, Target::Both));
    EXPECT_EQ(tie.azimuth, derivedAzimuth(tieBefore));
    EXPECT_EQ(tie.elevation, 12.0);

    // Larger elevation: both would succeed; elevation goes first.
    Candidate steep = seen(8.0, 12.0, 13.0, 12.0, 12.5);
    const Candidate steepBefore = steep;
    ASSERT_TRUE(target.checkCorrected(steep, Target::Both));
    EXPECT_EQ(steep.elevation, derivedElevation(steepBefore));
    EXPECT_EQ(steep.azimuth, 12.0);

    // Elevation first fails the height window; the azimuth is taken instead,
    // derived from the candidate as it was on entry.
    Candidate fallback = seen(30.0, 12.0, 15.0, 11.5, 15.0);
    const Candidate fallbackBefore = fallback;
    ASSERT_TRUE(target.checkCorrected(fallback, Target::Both));
    EXPECT_EQ(fallback.azimuth, derivedAzimuth(fallbackBefore));
    EXPECT_EQ(fallback.elevation, 15.0);

    // Neither works: unchanged.
    Candidate hopeless = seen(30.0, 12.0, 15.0, 16.0, 15.0);
    EXPECT_FALSE(target.checkCorrected(hopeless, Target::Both));
    EXPECT_EQ(hopeless.azimuth, 12.0);
    EXPECT_EQ(hopeless.elevation, 15.0);
}

TEST_F(TargetAngleCheck, FilterPicksCorrectionByAngleSizeAndWalksBackwards)
{
    const Candidate elevationCase = seen(10.0, 3.0, 12.0, 3.0, 11.0);
    const Candidate azimuthCase = seen(50.0, 12.0, 1.0, 11.0, 1.0);
    const Candidate bothFailing = seen(30.0, 12.0, 15.0, 16.0, 15.0);
    const Candidate smallInside = seen(50.0, 2.0, 1.0, 2.0, 1.0);
    Candidate smallOutside = smallInside;
    smallOutside.absVelocity = target.absVelocity + 0.5;

    QVector<Candidate> candidates = {elevationCase, bothFailing, smallInside, smallOutside,
                                     azimuthCase};
    target.filterCandidates(candidates);

    ASSERT_EQ(candidates.size(), 3);
    EXPECT_EQ(candidates[0].elevation, derivedElevation(elevationCase));
    EXPECT_EQ(candidates[0].azimuth, 3.0);
    EXPECT_EQ(candidates[1].absVelocity, smallInside.absVelocity);
    EXPECT_EQ(candidates[1].azimuth, 2.0);
    EXPECT_EQ(candidates[2].azimuth, derivedAzimuth(azimuthCase));
    EXPECT_EQ(candidates[2].elevation, 1.0);
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

TEST_F(TargetAngleCheck, NegativeElevationGivesNegativeDerivedElevation)
{
    QVector<Candidate> candidates = {seen(10.0, 3.0, -12.0, 3.0, 11.0)};
    target.filterCandidates(candidates);
    ASSERT_EQ(candidates.size(), 1);
    EXPECT_LT(candidates[0].elevation, 0.0);
    EXPECT_NEAR(candidates[0].elevation, -11.0, 1e-9);
}

} // namespace
} // namespace trklib

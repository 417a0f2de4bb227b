#include "engine/targettracking.h"
#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

// Existing and new targets placed in the horizontal plane: x along the
// boresight, y across it, velocities in km/h. The existing target sits at
// (100, 0) in cell -333, approaching at 36 km/h, numbered 9 with score 5.
class CheckTargets : public ::testing::Test
{
protected:
    Target placed(double x, double y, qint32 index, double velocityKph)
    {
        return test::placedTarget(&engine.radarConfig(), x, y, index, velocityKph);
    }

    Target existing(Target::Status status = Target::Confirmed)
    {
        Target t = placed(100.0, 0.0, -333, -36.0);
        t.number_ = 9;
        t.score_ = 5;
        t.status_ = status;
        return t;
    }

    TargetTracking engine;
};

TEST_F(CheckTargets, NoNewTargetsChangeNothing)
{
    QVector<Target> targets = {existing()};
    engine.checkTargets({}, targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].score_, 5);
}

TEST_F(CheckTargets, NewTargetsAreTakenLastFirst)
{
    QVector<Target> targets;
    const Target nearer = placed(50.0, 0.0, -166, -36.0);
    const Target farther = placed(200.0, 0.0, -666, -36.0);
    engine.checkTargets({nearer, farther}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].index, farther.index);
    EXPECT_EQ(targets[1].index, nearer.index);
}

TEST_F(CheckTargets, NewTargetsOneMetreApartBecomeOne)
{
    // The last one is appended first; the other merges into it.
    QVector<Target> targets;
    const Target first = placed(100.0, 0.0, -333, -36.0);
    const Target last = placed(101.0, 0.0, -336, -36.0);
    engine.checkTargets({first, last}, targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].score_, 2);
    EXPECT_EQ(targets[0].index, first.index);
}

TEST_F(CheckTargets, MergeBoxIgnoresVelocity)
{
    QVector<Target> targets = {existing()};
    engine.checkTargets({placed(103.0, 2.0, -343, -60.0)}, targets);
    ASSERT_EQ(targets.size(), 1);
    // Merged through refine, which found the velocity too far off: a miss.
    EXPECT_EQ(targets[0].status(), Target::Missed);
    EXPECT_EQ(targets[0].missCount_, 1);

    targets = {existing()};
    const Target agreeing = placed(103.0, -2.0, -343, -36.0);
    engine.checkTargets({agreeing}, targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].status(), Target::Confirmed);
    EXPECT_EQ(targets[0].score_, 6);
    EXPECT_EQ(targets[0].index, agreeing.index);
}

TEST_F(CheckTargets, DifferentVelocityOutsideMergeBoxIsAppended)
{
    QVector<Target> targets = {existing()};
    const Target n = placed(105.0, 2.2, -300, -37.5);
    engine.checkTargets({n}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[1].index, n.index);
    EXPECT_EQ(targets[0].score_, 5);
}

TEST_F(CheckTargets, SideBySideConfirmsOrTakesOver)
{
    // Smaller |index| and larger y: the existing target counts an update.
    QVector<Target> targets = {existing(Target::Missed)};
    engine.checkTargets({placed(105.0, 2.2, -300, -36.5)}, targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].status(), Target::Confirmed);
    EXPECT_EQ(targets[0].score_, 6);
    EXPECT_EQ(targets[0].distance, 100.0);
    EXPECT_EQ(targets[0].index, -333);

    // Larger |index| and smaller y: the existing target takes the new state.
    targets = {existing(Target::Missed)};
    const Target taker = placed(105.0, -2.2, -350, -36.5);
    engine.checkTargets({taker}, targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].status(), Target::Missed);
    EXPECT_EQ(targets[0].number_, 9);
    EXPECT_EQ(targets[0].score_, 1);
    EXPECT_EQ(targets[0].index, taker.index);
    EXPECT_EQ(targets[0].distance, taker.distance);

    // Larger |index| and larger y: left to the same-object test, which only
    // the 2.2 m lateral offset fails.
    targets = {existing()};
    engine.checkTargets({placed(105.0, 2.2, -334, -36.1)}, targets);
    EXPECT_EQ(targets.size(), 2);
}

TEST_F(CheckTargets, SameObjectGivesBackScoreLostToMisses)
{
    QVector<Target> targets = {existing(Target::Missed)};
    targets[0].missCount_ = 2;
    const Target n = placed(140.0, 1.0, -334, -36.1);
    engine.checkTargets({n}, targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].status(), Target::Confirmed);
    EXPECT_EQ(targets[0].missCount_, 0);
    EXPECT_EQ(targets[0].score_, 5 + 1 + 2);
    EXPECT_EQ(targets[0].index, n.index);

    // Two cells apart it is another object.
    targets = {existing(Target::Missed)};
    engine.checkTargets({placed(140.0, 1.0, -335, -36.1)}, targets);
    EXPECT_EQ(targets.size(), 2);
}

TEST_F(CheckTargets, FirstExistingTargetMeetingAnyTestWins)
{
    // n is the same object as the first target and inside the merge box of
    // the second; the first one in list order takes it.
    const Target second = placed(141.0, 1.5, -500, -36.0);
    QVector<Target> targets = {existing(), second};
    engine.checkTargets({placed(140.0, 1.0, -334, -36.1)}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].score_, 6);
    EXPECT_EQ(targets[0].index, -334);
    EXPECT_EQ(targets[1].score_, second.score_);
    EXPECT_EQ(targets[1].status(), second.status());
    EXPECT_EQ(targets[1].distance, second.distance);
}

TEST_F(CheckTargets, VelocityLimitOnlySkipsThatExistingTarget)
{
    // The first target is 1.5 km/h off and not in the merge box; the second
    // is the same object.
    const Target faster = placed(60.0, 5.0, -200, -37.5);
    QVector<Target> targets = {faster, existing()};
    engine.checkTargets({placed(140.0, 1.0, -334, -36.1)}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].score_, faster.score_);
    EXPECT_EQ(targets[1].score_, 6);
    EXPECT_EQ(targets[1].index, -334);
}

} // namespace
} // namespace trklib

#include "engine/targettracking.h"
#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

using test::makeCandidate;
using test::numberedTarget;

// --- matchCandidates ---------------------------------------------------------------

class MatchCandidates : public ::testing::Test
{
protected:
    MatchCandidates() { engine.setTimes(2000, 2000); } // no motion between packets

    Candidate at(qint32 index, qint32 amplitude, double distance, double absVelocity)
    {
        return makeCandidate(&engine.radarConfig(), index, amplitude, distance, absVelocity);
    }

    TargetTracking engine;
};

TEST_F(MatchCandidates, FirstTargetInListOrderTakesSharedCandidate)
{
    QVector<Target> targets = {numberedTarget(at(-300, -40, 100.0, -10.0), 1, 5),
                               numberedTarget(at(-300, -40, 100.0, -10.0), 2, 5)};
    QVector<Candidate> candidates = {at(-301, -30, 100.5, -10.0)};

    engine.matchCandidates(targets, candidates);

    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].status(), Target::Confirmed);
    EXPECT_EQ(targets[0].index, -301);
    EXPECT_EQ(targets[1].status(), Target::Missed);
    EXPECT_TRUE(candidates.isEmpty());
}

TEST_F(MatchCandidates, CandidateFailingFirstVelocityGateIsStillConsumed)
{
    QVector<Target> targets = {numberedTarget(at(-300, -40, 100.0, -10.0), 1, 5),
                               numberedTarget(at(-300, -40, 100.0, -12.0), 2, 5)};
    QVector<Candidate> candidates = {at(-301, -30, 100.5, -12.0)};

    engine.matchCandidates(targets, candidates);

    EXPECT_EQ(targets[0].status(), Target::Missed);
    EXPECT_EQ(targets[1].status(), Target::Missed);
    EXPECT_TRUE(candidates.isEmpty());
}

TEST_F(MatchCandidates, RemovesInvalidTargetsKeepingOrder)
{
    QVector<Target> targets = {numberedTarget(at(-300, -40, 100.0, -10.0), 1, 5),
                               Target(at(-200, -40, 60.0, -10.0)), // unnumbered: lost at a miss
                               numberedTarget(at(-990, -40, 321.0, -1.0), 3, 5),
                               numberedTarget(at(-500, -40, 150.0, -10.0), 4, 5)};
    QVector<Candidate> candidates;

    engine.matchCandidates(targets, candidates);

    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].number_, 1);
    EXPECT_EQ(targets[1].number_, 4);
    EXPECT_EQ(targets[0].status(), Target::Missed);
}

TEST_F(MatchCandidates, PredictsByTimeDeltaBeforeGating)
{
    engine.setTimes(2000, 3000); // one second: 10 m nearer
    QVector<Target> targets = {numberedTarget(at(-300, -40, 100.0, -10.0), 1, 5)};
    QVector<Candidate> candidates = {at(-265, -30, 90.0, -10.0)};

    engine.matchCandidates(targets, candidates);

    EXPECT_EQ(targets[0].status(), Target::Confirmed);
    EXPECT_TRUE(candidates.isEmpty());
}

TEST_F(MatchCandidates, NoTargetsLeavesCandidatesAlone)
{
    QVector<Target> targets;
    QVector<Candidate> candidates = {at(-301, -30, 100.5, -12.0), at(-20, -50, 10.0, -1.0)};
    engine.matchCandidates(targets, candidates);
    EXPECT_EQ(candidates.size(), 2);
}

// --- algorithmConvoy: the two velocity streams ------------------------------------------

RadarDataMax maxAt(qint32 index, qint32 amplitude, double distance, double relVelocity)
{
    return RadarDataMax{index, amplitude, distance, 1.0, 2.0, relVelocity};
}

TEST(AlgorithmConvoy, SplitsBySignOfVelocityKeepingOrder)
{
    TargetTracking engine;
    engine.setTimes(0, 0);
    engine.algorithmConvoy({maxAt(-100, -50, 30.0, -5.0), maxAt(200, -40, 60.0, 5.0),
                            maxAt(300, -45, 90.0, 0.0), maxAt(-400, -40, 120.0, -0.001)});

    // First cycle: nothing to pair with, the leftovers keep the maxima's order.
    ASSERT_EQ(engine.negativeCandidates().size(), 2);
    EXPECT_EQ(engine.negativeCandidates()[0].index, -100);
    EXPECT_EQ(engine.negativeCandidates()[1].index, -400);
    ASSERT_EQ(engine.positiveCandidates().size(), 2);
    EXPECT_EQ(engine.positiveCandidates()[0].index, 200);
    EXPECT_EQ(engine.positiveCandidates()[1].index, 300);
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
    EXPECT_TRUE(engine.positiveTargets().isEmpty());
}

TEST(AlgorithmConvoy, StreamsMakeTheirOwnTargetsAndForgetThemWithoutDetections)
{
    TargetTracking engine;
    engine.setTimes(0, 0);
    engine.algorithmConvoy({maxAt(-100, -40, 30.0, -5.0), maxAt(200, -40, 60.0, 5.0)});
    engine.setTimes(0, 50);
    engine.algorithmConvoy({maxAt(-99, -40, 29.75, -5.0), maxAt(201, -40, 60.25, 5.0)});

    ASSERT_EQ(engine.negativeTargets().size(), 1);
    EXPECT_EQ(engine.negativeTargets()[0].index, -99);
    ASSERT_EQ(engine.positiveTargets().size(), 1);
    EXPECT_EQ(engine.positiveTargets()[0].index, 201);
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());

    // A packet without maxima: the unnumbered targets miss and are dropped.
    engine.setTimes(50, 100);
    engine.algorithmConvoy({});
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
    EXPECT_TRUE(engine.positiveTargets().isEmpty());
}

TEST(AlgorithmConvoy, TooManyMaximaForgetTheLeftovers)
{
    TargetTracking engine;
    engine.setTimes(0, 0);
    engine.algorithmConvoy({maxAt(-100, -40, 30.0, -5.0), maxAt(200, -40, 60.0, 5.0)});
    ASSERT_EQ(engine.negativeCandidates().size(), 1);

    QVector<RadarDataMax> flood;
    for (int i = 1; i <= 101; ++i)
        flood.append(maxAt(-i * 5, -50, 10.0 + i, -3.0));
    engine.setTimes(0, 50);
    engine.algorithmConvoy(flood);
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
}

} // namespace
} // namespace trklib

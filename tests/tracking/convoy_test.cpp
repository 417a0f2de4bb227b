#include "engine/targettracking.h"
#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

using test::numberedTarget;

constexpr int maxMaximaPerCycle = 100;
constexpr long packetPeriodMs = 50;

TEST(CreateCandidates, OnePerMaximumUpToOneHundred)
{
    TargetTracking engine;
    engine.radarConfig().tilt = 1.5;
    QVector<RadarDataMax> maxima;
    for (int i = 0; i < maxMaximaPerCycle; ++i)
        maxima.append(RadarDataMax{i + 1, -50 - i % 7, 10.0 + i, 1.0, 0.5, -2.0});

    const QVector<Candidate> candidates = engine.createCandidates(maxima);
    ASSERT_EQ(candidates.size(), maxMaximaPerCycle);
    for (int i = 0; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].index, maxima[i].index);
        EXPECT_EQ(candidates[i].config, &engine.radarConfig());
        EXPECT_EQ(candidates[i].noiseLevel, engine.noiseLevel());
        EXPECT_EQ(candidates[i].elevation, maxima[i].elevation + 1.5);
    }

    maxima.append(maxima.last());
    EXPECT_TRUE(engine.createCandidates(maxima).isEmpty());
}

// Candidates of one stream, 50 ms between packets.
class StreamStage : public ::testing::Test
{
protected:
    StreamStage() { engine.setTimes(1000, 1000 + packetPeriodMs); }

    Candidate at(qint32 index, qint32 amplitude, double distance, double absVelocity = -10.0)
    {
        return test::makeCandidate(&engine.radarConfig(), index, amplitude, distance, absVelocity);
    }

    TargetTracking engine;
};

using CreateTargets = StreamStage;

TEST_F(CreateTargets, EitherListEmptyReturnsAtOnceTouchingNothing)
{
    QVector<Candidate> previous;
    QVector<Candidate> current = {at(-100, -60, 30.0), at(-200, -40, 60.0)};
    EXPECT_TRUE(engine.createTargets(previous, current).isEmpty());
    EXPECT_EQ(current[0].amplitude, -60); // not sorted

    QVector<Candidate> none;
    previous = {at(-100, -60, 30.0)};
    EXPECT_TRUE(engine.createTargets(previous, none).isEmpty());
    EXPECT_EQ(previous[0].distance, 30.0); // not even predicted
}

TEST_F(CreateTargets, PredictsRefinesInOrderAndConsumesMatches)
{
    const Candidate p1 = at(-100, -40, 30.0);
    const Candidate p2 = at(-300, -45, 90.0);
    const Candidate c1 = at(-102, -45, 29.5);
    const Candidate c2 = at(-302, -50, 89.5);
    const Candidate weak = at(-600, -60, 180.0);
    const Candidate strong = at(-700, -50, 210.0);
    QVector<Candidate> previous = {p1, p2};
    QVector<Candidate> current = {weak, c2, c1, strong};

    const QVector<Target> targets = engine.createTargets(previous, current);

    ASSERT_EQ(targets.size(), 2);
    Candidate expected = p1;
    expected.predict(packetPeriodMs);
    expected.kalman(c1, 1);
    EXPECT_EQ(targets[0].index, c1.index);
    EXPECT_EQ(targets[0].amplitude, p1.amplitude);
    EXPECT_EQ(targets[0].distance, expected.distance);
    EXPECT_EQ(targets[0].elevation, expected.elevation);
    EXPECT_EQ(targets[0].relVelocity, expected.relVelocity);
    EXPECT_EQ(targets[0].status(), Target::New);
    EXPECT_EQ(targets[0].number_, 0);
    EXPECT_EQ(targets[1].index, c2.index);
    // What is left is sorted strongest first.
    ASSERT_EQ(current.size(), 2);
    EXPECT_EQ(current[0].index, strong.index);
    EXPECT_EQ(current[1].index, weak.index);
}

TEST_F(CreateTargets, EarlierPreviousCandidateTakesSharedMatchFirstAndLoopStopsWhenNoneLeft)
{
    // -103 is inside the gates of the first two previous candidates, -112
    // only of the second's; the third is never predicted.
    QVector<Candidate> previous = {at(-100, -40, 30.0), at(-106, -40, 30.0), at(-300, -40, 90.0)};
    QVector<Candidate> current = {at(-103, -35, 29.5), at(-112, -45, 29.5)};

    const QVector<Target> targets = engine.createTargets(previous, current);

    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].index, -103);
    EXPECT_EQ(targets[1].index, -112);
    EXPECT_TRUE(current.isEmpty());
    EXPECT_EQ(previous[2].distance, 90.0);
}

TEST_F(CreateTargets, CellIndexAndRcsMustExceedTheirLimits)
{
    // A match in cell 1 makes no target, and the match is gone all the same.
    QVector<Candidate> previous = {at(3, -40, 30.0, 10.0)};
    QVector<Candidate> current = {at(1, -45, 30.5, 10.0), at(400, -50, 120.0, 10.0)};
    EXPECT_TRUE(engine.createTargets(previous, current).isEmpty());
    ASSERT_EQ(current.size(), 1);
    EXPECT_EQ(current[0].index, 400);

    // Standing still at 10 m on boresight: the RCS is 20 + amplitude + 13,
    // exactly -5 dB for -38 dB, which is not enough.
    previous = {at(20, -38, 10.0, 0.0)};
    current = {at(22, -60, 10.0, 0.0)};
    ASSERT_EQ(previous[0].calculateRcs(), -5.0);
    EXPECT_TRUE(engine.createTargets(previous, current).isEmpty());
    EXPECT_TRUE(current.isEmpty());

    previous = {at(20, -37, 10.0, 0.0)};
    current = {at(22, -60, 10.0, 0.0)};
    EXPECT_EQ(engine.createTargets(previous, current).size(), 1);
}

using MatchCandidates = StreamStage;

TEST_F(MatchCandidates, FirstTargetInListOrderConsumesSharedCandidate)
{
    // Both targets' position gates hold the candidate; only the first sees it,
    // and it is consumed even when it fails the first target's velocity gate.
    struct Case
    {
        double secondVelocity, candidateVelocity;
        Target::Status first, second;
    };
    const Case cases[] = {{-10.0, -10.0, Target::Confirmed, Target::Missed},
                          {-12.0, -12.0, Target::Missed, Target::Missed}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.candidateVelocity);
        QVector<Target> targets = {numberedTarget(at(-300, -40, 100.0, -10.0), 1, 5),
                                   numberedTarget(at(-300, -40, 100.0, k.secondVelocity), 2, 5)};
        QVector<Candidate> candidates = {at(-301, -30, 100.5, k.candidateVelocity)};
        engine.matchCandidates(targets, candidates);
        ASSERT_EQ(targets.size(), 2);
        EXPECT_EQ(targets[0].status(), k.first);
        EXPECT_EQ(targets[0].index, k.first == Target::Confirmed ? -301 : -300);
        EXPECT_EQ(targets[1].status(), k.second);
        EXPECT_TRUE(candidates.isEmpty());
    }
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

RadarDataMax maxAt(qint32 index, qint32 amplitude, double distance, double relVelocity)
{
    return RadarDataMax{index, amplitude, distance, 1.0, 2.0, relVelocity};
}

TEST(AlgorithmConvoy, StreamsSplitBySignMakeTheirOwnTargetsAndForgetThem)
{
    TargetTracking engine;
    engine.setTimes(0, 0);
    engine.algorithmConvoy({maxAt(-100, -40, 30.0, -5.0), maxAt(200, -40, 60.0, 5.0),
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

    engine.setTimes(0, 50);
    engine.algorithmConvoy(
        {maxAt(-99, -40, 29.75, -5.0), maxAt(201, -40, 60.25, 5.0), maxAt(-500, -40, 200.0, -5.0)});
    ASSERT_EQ(engine.negativeTargets().size(), 1);
    EXPECT_EQ(engine.negativeTargets()[0].index, -99);
    ASSERT_EQ(engine.positiveTargets().size(), 1);
    EXPECT_EQ(engine.positiveTargets()[0].index, 201);
    ASSERT_EQ(engine.negativeCandidates().size(), 1);
    EXPECT_EQ(engine.negativeCandidates()[0].index, -500);
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());

    // A packet without maxima: the unnumbered targets miss and are dropped,
    // and the leftovers are forgotten.
    engine.setTimes(50, 100);
    engine.algorithmConvoy({});
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
    EXPECT_TRUE(engine.positiveTargets().isEmpty());
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
}

} // namespace
} // namespace trklib

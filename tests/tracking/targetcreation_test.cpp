#include "engine/targettracking.h"
#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

using test::makeCandidate;

constexpr int maxMaximaPerCycle = 100;
constexpr long packetPeriodMs = 50;

QVector<RadarDataMax> maximaOfCount(int count)
{
    QVector<RadarDataMax> maxima;
    for (int i = 0; i < count; ++i)
        maxima.append(RadarDataMax{i + 1, -50 - i % 7, 10.0 + i, 1.0, 0.5, -2.0});
    return maxima;
}

TEST(CreateCandidates, OnePerMaximumUpToOneHundred)
{
    TargetTracking engine;
    engine.radarConfig().tilt = 1.5;
    const QVector<RadarDataMax> maxima = maximaOfCount(maxMaximaPerCycle);
    const QVector<Candidate> candidates = engine.createCandidates(maxima);
    ASSERT_EQ(candidates.size(), maxMaximaPerCycle);
    for (int i = 0; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].index, maxima[i].index);
        EXPECT_EQ(candidates[i].config, &engine.radarConfig());
        EXPECT_EQ(candidates[i].noiseLevel, engine.noiseLevel());
        EXPECT_EQ(candidates[i].elevation, maxima[i].elevation + 1.5);
    }
}

TEST(CreateCandidates, MoreThanOneHundredGiveNone)
{
    TargetTracking engine;
    EXPECT_TRUE(engine.createCandidates(maximaOfCount(maxMaximaPerCycle + 1)).isEmpty());
    EXPECT_TRUE(engine.createCandidates({}).isEmpty());
}

// Candidates of an approaching stream: the engine's configuration is all
// zero (no tilt, pan or height), 50 ms between packets.
class CreateTargets : public ::testing::Test
{
protected:
    CreateTargets() { engine.setTimes(1000, 1000 + packetPeriodMs); }

    Candidate at(qint32 index, qint32 amplitude, double distance, double absVelocity = -10.0)
    {
        return makeCandidate(&engine.radarConfig(), index, amplitude, distance, absVelocity);
    }

    TargetTracking engine;
};

TEST_F(CreateTargets, EmptyListReturnsAtOnceWithoutSorting)
{
    QVector<Candidate> previous;
    QVector<Candidate> current = {at(-100, -60, 30.0), at(-200, -40, 60.0)};
    EXPECT_TRUE(engine.createTargets(previous, current).isEmpty());
    ASSERT_EQ(current.size(), 2);
    EXPECT_EQ(current[0].amplitude, -60);

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
    EXPECT_EQ(targets[0].score_, 1);
    EXPECT_EQ(targets[0].number_, 0);
    EXPECT_EQ(targets[1].index, c2.index);

    // What is left is sorted strongest first.
    ASSERT_EQ(current.size(), 2);
    EXPECT_EQ(current[0].index, strong.index);
    EXPECT_EQ(current[1].index, weak.index);
}

TEST_F(CreateTargets, EarlierPreviousCandidateTakesSharedMatchFirst)
{
    // c is inside the gates of both previous candidates, spare only of p2's.
    const Candidate p1 = at(-100, -40, 30.0);
    const Candidate p2 = at(-106, -40, 30.0);
    const Candidate c = at(-103, -35, 29.5);
    const Candidate spare = at(-112, -45, 29.5);
    QVector<Candidate> previous = {p1, p2};
    QVector<Candidate> current = {c, spare};

    const QVector<Target> targets = engine.createTargets(previous, current);

    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].index, c.index);
    EXPECT_EQ(targets[1].index, spare.index);
    EXPECT_TRUE(current.isEmpty());
}

TEST_F(CreateTargets, StopsOnceCurrentListIsUsedUp)
{
    QVector<Candidate> previous = {at(-100, -40, 30.0), at(-300, -40, 90.0)};
    QVector<Candidate> current = {at(-102, -45, 29.5)};
    EXPECT_EQ(engine.createTargets(previous, current).size(), 1);
    EXPECT_NE(previous[0].distance, 30.0);
    EXPECT_EQ(previous[1].distance, 90.0); // never predicted
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

} // namespace
} // namespace trklib

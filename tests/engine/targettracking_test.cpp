#include "engine/targettracking.h"
#include "support/packetassert.h"
#include "support/packets.h"

#include <gtest/gtest.h>

#include <QHash>

#include <algorithm>
#include <limits>
#include <memory>

using trklib::RadarConfig;
using trklib::Target;
using trklib::TargetData;
using trklib::TargetTracking;
using trklib::test::twoMoversPacket;

namespace {

constexpr long cycleMs = 100;

// The reports of `cycles` packets of the two-movers scene from cycle 0.
QVector<QVector<TargetData>> track(TargetTracking& engine, int cycles = 8)
{
    QVector<QVector<TargetData>> reports;
    long timestamp = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        QVector<TargetData> targets;
        engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
        EXPECT_EQ(timestamp, cycle * cycleMs);
        reports.append(targets);
    }
    return reports;
}

void expectSameReports(const QVector<QVector<TargetData>>& a, const QVector<QVector<TargetData>>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (int i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "packet " << i);
        trklib::test::expectSameTargets(a[i], b[i]);
    }
}

void expectFresh(const TargetTracking& engine)
{
    EXPECT_FALSE(engine.isInitialized());
    EXPECT_EQ(engine.previousTime(), 0);
    EXPECT_EQ(engine.currentTime(), 0);
    EXPECT_EQ(engine.timeDelta(), 0);
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
    EXPECT_TRUE(engine.positiveTargets().isEmpty());
}

} // namespace

TEST(TargetTrackingTest, FirstPacketOnlySetsTheTimeBase)
{
    TargetTracking engine;
    expectFresh(engine);
    QVector<TargetData> targets{TargetData{99, 1.0, 2.0, 3.0, 4.0, true}};
    long timestamp = -1;
    engine.getTargetsFromData(twoMoversPacket(5000, 0), timestamp, targets);
    EXPECT_EQ(timestamp, 5000);
    EXPECT_TRUE(targets.isEmpty());
    EXPECT_TRUE(engine.isInitialized());
    // The packet was not tracked: its detections left no candidates.
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());

    engine.getTargetsFromData(twoMoversPacket(5100, 1), timestamp, targets);
    EXPECT_EQ(engine.negativeCandidates().size(), 1);
    EXPECT_EQ(engine.positiveCandidates().size(), 1);
}

TEST(TargetTrackingTest, TimeDeltaIsTheDifferenceOfPacketTimestamps)
{
    struct Step
    {
        long packetTime;
        long expectedDelta;
    };
    // Equal timestamps give 0; time running backwards is taken as it is;
    // timestamps further apart than a long holds give its limits.
    constexpr long most = std::numeric_limits<long>::max();
    constexpr long least = std::numeric_limits<long>::min();
    const Step steps[] = {{1000, 0},       {1250, 250},    {1250, 0},      {1200, -50},
                          {100000, 98800}, {least, least}, {most, most},   {least, least},
                          {-1, most},      {most, most},   {most - 1, -1}, {least, least}};
    TargetTracking engine;
    QVector<TargetData> targets;
    long timestamp = 0;
    long previous = 1000;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << previous << " to " << s.packetTime);
        engine.getTargetsFromData(trklib::test::patternedPacket(s.packetTime, 1), timestamp,
                                  targets);
        EXPECT_EQ(timestamp, s.packetTime);
        EXPECT_EQ(engine.currentTime(), s.packetTime);
        EXPECT_EQ(engine.previousTime(), previous);
        EXPECT_EQ(engine.timeDelta(), s.expectedDelta);
        previous = s.packetTime;
    }
}

// After resetTracking the engine reports exactly what a fresh engine with the
// same configuration reports; the configuration stays.
TEST(TargetTrackingTest, ResetTrackingStartsAfresh)
{
    const RadarConfig config{1.0, 2.0, 3.0, 4.0, 1};
    TargetTracking engine;
    engine.radarConfig() = config;
    const QVector<QVector<TargetData>> first = track(engine);
    ASSERT_EQ(first.last().size(), 2); // both movers
    EXPECT_EQ(first.last()[0].number, 1);
    EXPECT_LT(first.last()[0].velocity, 0.0); // the negative stream first
    EXPECT_GT(first.last()[1].velocity, 0.0);
    EXPECT_TRUE(first.last()[0].confirmed && first.last()[1].confirmed);

    engine.resetTracking();
    expectFresh(engine);
    EXPECT_EQ(engine.radarConfig().height, 3.0);
    EXPECT_EQ(engine.radarConfig().orientation, 1);
    const QVector<QVector<TargetData>> again = track(engine);
    expectSameReports(again, first);

    TargetTracking fresh;
    fresh.radarConfig() = config;
    expectSameReports(track(fresh), first);
}

// Every engine numbers its own targets: engines fed interleaved, made and
// reset in between, each report what a lone engine reports for its stream,
// and the process-wide counter stays untouched.
TEST(TargetTrackingTest, EachEngineNumbersItsOwnTargets)
{
    const RadarConfig config{1.0, 2.0, 3.0, 4.0, 0};
    TargetTracking lone;
    lone.radarConfig() = config;
    const QVector<QVector<TargetData>> alone = track(lone);
    ASSERT_EQ(alone.last().size(), 2);

    Target::number_generator_ = 42;
    TargetTracking a;
    a.radarConfig() = config;
    QVector<QVector<TargetData>> fromA;
    QVector<QVector<TargetData>> fromB;
    std::unique_ptr<TargetTracking> b;
    long timestamp = 0;
    for (int cycle = 0; cycle < 8; ++cycle) {
        QVector<TargetData> targets;
        a.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
        fromA.append(targets);
        if (cycle == 3) {
            // A second engine made while the first has numbered targets,
            // and the first reset mid-stream in a third one's life.
            b = std::make_unique<TargetTracking>();
            b->radarConfig() = config;
            TargetTracking(); // made and gone
        }
        if (b) {
            b->getTargetsFromData(twoMoversPacket((cycle - 3) * cycleMs, cycle - 3), timestamp,
                                  targets);
            fromB.append(targets);
        }
    }
    expectSameReports(fromA, alone);
    expectSameReports(fromB, alone.mid(0, 5));
    EXPECT_EQ(Target::number_generator_, 42);
    b->resetTracking();
    a.getTargetsFromData(twoMoversPacket(8 * cycleMs, 8), timestamp, fromA.last());
    EXPECT_EQ(fromA.last().size(), 2);
    EXPECT_EQ(fromA.last()[0].number, 1) << "resetting one engine leaves the other's numbers";
}

// Orientation values other than 1 all mean horizontal mounting.
TEST(TargetTrackingTest, OtherOrientationsTrackLikeHorizontal)
{
    const auto run = [](qint32 orientation) {
        TargetTracking engine;
        engine.radarConfig() = RadarConfig{1.0, 10.0, 2.0, 0.5, orientation};
        return track(engine);
    };
    const QVector<QVector<TargetData>> horizontal = run(0);
    ASSERT_FALSE(horizontal.last().isEmpty());
    for (qint32 orientation : {7, -1, 2}) {
        SCOPED_TRACE(orientation);
        expectSameReports(run(orientation), horizontal);
    }
}

// The reflectivity follows the samples: one more each cycle, the latest the
// growth of the sum, the largest the running maximum of the latest ones.
TEST(TargetTrackingTest, ReflectivityFollowsTheSamples)
{
    using trklib::TargetReflectivity;
    TargetTracking engine;
    QHash<int, TargetReflectivity> previous;
    long timestamp = 0;
    bool followed = false;
    for (int cycle = 0; cycle < 12; ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        QVector<TargetData> targets;
        engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
        QVector<TargetReflectivity> reflectivity;
        engine.targetReflectivity(reflectivity);
        ASSERT_EQ(reflectivity.size(), targets.size());
        for (int i = 0; i < targets.size(); ++i) {
            const TargetReflectivity& r = reflectivity[i];
            EXPECT_EQ(r.number, targets[i].number);
            EXPECT_GE(r.maxDbsm, r.meanDbsm);
            EXPECT_GE(r.maxDbsm, r.lastDbsm);
            const auto before = previous.constFind(r.number);
            if (before != previous.cend()) {
                const TargetReflectivity& p = *before;
                EXPECT_EQ(r.samples, p.samples + 1);
                EXPECT_NEAR(r.meanDbsm * r.samples - p.meanDbsm * p.samples, r.lastDbsm, 1e-4);
                EXPECT_NEAR(r.maxDbsm, std::max(p.maxDbsm, r.lastDbsm), 1e-4);
                EXPECT_NE(r.lastDbsm, p.lastDbsm);
                followed = true;
            }
            previous[r.number] = r;
        }
    }
    EXPECT_TRUE(followed);
    engine.resetTracking();
    QVector<TargetReflectivity> reflectivity{TargetReflectivity{}};
    engine.targetReflectivity(reflectivity);
    EXPECT_TRUE(reflectivity.isEmpty());
}

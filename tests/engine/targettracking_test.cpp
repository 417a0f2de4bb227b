#include "engine/targettracking.h"
#include "support/packets.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <QVector>

#include <cmath>

using trklib::RadarConfig;
using trklib::RadarPacketData;
using trklib::Target;
using trklib::TargetData;
using trklib::TargetTracking;
using trklib::test::twoMoversPacket;
namespace util = trklib::util;

namespace {

constexpr long cycleMs = 100;

TargetData marker()
{
    return TargetData{99, 1.0, 2.0, 3.0, 4.0, true};
}

// What the engine reports for one numbered target under configuration c.
TargetData expectedRecord(const Target& t, const RadarConfig& c)
{
    TargetData d;
    d.number = t.number_;
    d.elevation = -util::atand(c.height / (util::cosd(t.elevation) * t.distance)) - c.tilt;
    d.azimuth = t.azimuth - c.pan;
    if (c.orientation == 1)
        d.azimuth = -d.azimuth;
    d.distance = t.distance;
    d.velocity = util::mpsToKph(t.absVelocity);
    d.confirmed = t.status() == Target::Confirmed;
    return d;
}

void expectSameRecord(const TargetData& a, const TargetData& b)
{
    EXPECT_EQ(a.number, b.number);
    EXPECT_EQ(a.elevation, b.elevation);
    EXPECT_EQ(a.azimuth, b.azimuth);
    EXPECT_EQ(a.distance, b.distance);
    EXPECT_EQ(a.velocity, b.velocity);
    EXPECT_EQ(a.confirmed, b.confirmed);
}

} // namespace

TEST(TargetTrackingTest, StartsEmptyWithZeroConfiguration)
{
    Target::number_generator_ = 42;
    TargetTracking engine;
    EXPECT_FALSE(engine.isInitialized());
    EXPECT_EQ(engine.previousTime(), 0);
    EXPECT_EQ(engine.currentTime(), 0);
    EXPECT_EQ(engine.timeDelta(), 0);
    const RadarConfig& c = engine.radarConfig();
    EXPECT_EQ(c.tilt, 0.0);
    EXPECT_EQ(c.pan, 0.0);
    EXPECT_EQ(c.height, 0.0);
    EXPECT_EQ(c.panOffset, 0.0);
    EXPECT_EQ(c.orientation, 0);
    EXPECT_EQ(engine.snrThreshold(), 10.0);
    EXPECT_EQ(engine.noiseLevel(), -80.0);
    EXPECT_EQ(Target::number_generator_, 0); // numbering restarts
}

TEST(TargetTrackingTest, FirstPacketOnlySetsTheTimeBase)
{
    TargetTracking engine;
    QVector<TargetData> targets{marker(), marker()};
    long timestamp = -1;
    engine.getTargetsFromData(twoMoversPacket(5000, 0), timestamp, targets);
    EXPECT_EQ(timestamp, 5000);
    EXPECT_TRUE(targets.isEmpty());
    EXPECT_TRUE(engine.isInitialized());
    EXPECT_EQ(engine.previousTime(), 5000);
    EXPECT_EQ(engine.currentTime(), 5000);
    EXPECT_EQ(engine.timeDelta(), 0);
    // The packet was not tracked: its detections left no candidates.
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());

    // The second packet is tracked.
    engine.getTargetsFromData(twoMoversPacket(5100, 1), timestamp, targets);
    EXPECT_EQ(timestamp, 5100);
    EXPECT_EQ(engine.negativeCandidates().size(), 1);
    EXPECT_EQ(engine.positiveCandidates().size(), 1);
}

TEST(TargetTrackingTest, TimeDeltaIsTheDifferenceOfPacketTimestamps)
{
    TargetTracking engine;
    QVector<TargetData> targets;
    long timestamp = 0;
    struct Step
    {
        long packetTime;
        long expectedDelta;
    };
    // Equal timestamps give 0; time running backwards is taken as it is.
    const Step steps[] = {{1000, 0}, {1250, 250}, {1250, 0}, {1200, -50}, {100000, 98800}};
    long previous = 1000;
    for (const Step& s : steps) {
        engine.getTargetsFromData(trklib::test::patternedPacket(s.packetTime, 1), timestamp,
                                  targets);
        EXPECT_EQ(timestamp, s.packetTime);
        EXPECT_EQ(engine.currentTime(), s.packetTime);
        EXPECT_EQ(engine.previousTime(), previous);
        EXPECT_EQ(engine.timeDelta(), s.expectedDelta);
        previous = s.packetTime;
    }
}

TEST(TargetTrackingTest, SetTimes)
{
    TargetTracking engine;
    engine.setTimes(5, 12);
    EXPECT_EQ(engine.previousTime(), 5);
    EXPECT_EQ(engine.currentTime(), 12);
    EXPECT_EQ(engine.timeDelta(), 7);
    engine.setTimes(20, 3);
    EXPECT_EQ(engine.timeDelta(), -17);
}

TEST(TargetTrackingTest, ResetTrackingStartsAfresh)
{
    TargetTracking engine;
    engine.radarConfig() = RadarConfig{1.0, 2.0, 3.0, 4.0, 1};
    QVector<TargetData> targets;
    long timestamp = 0;
    for (int cycle = 0; cycle < 6; ++cycle)
        engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
    ASSERT_FALSE(engine.negativeTargets().isEmpty() && engine.positiveTargets().isEmpty());

    engine.resetTracking();
    EXPECT_FALSE(engine.isInitialized());
    EXPECT_EQ(engine.previousTime(), 0);
    EXPECT_EQ(engine.currentTime(), 0);
    EXPECT_EQ(engine.timeDelta(), 0);
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
    EXPECT_TRUE(engine.positiveTargets().isEmpty());
    EXPECT_EQ(Target::number_generator_, 0);
    EXPECT_EQ(engine.radarConfig().height, 3.0);
    EXPECT_EQ(engine.radarConfig().orientation, 1);

    // The next packet only sets the time base again.
    targets = {marker()};
    engine.getTargetsFromData(twoMoversPacket(70000, 0), timestamp, targets);
    EXPECT_EQ(timestamp, 70000);
    EXPECT_TRUE(targets.isEmpty());
    EXPECT_EQ(engine.timeDelta(), 0);
    EXPECT_TRUE(engine.negativeCandidates().isEmpty());
}

// A tracking run gives the same reports as a fresh engine fed the same
// packets: the numbering restarts with every engine.
TEST(TargetTrackingTest, NumberingRestartsWithEachEngineAndReset)
{
    auto run = [](TargetTracking& engine) {
        QVector<QVector<TargetData>> reports;
        long timestamp = 0;
        for (int cycle = 0; cycle < 8; ++cycle) {
            QVector<TargetData> targets;
            engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
            reports.append(targets);
        }
        return reports;
    };
    TargetTracking first;
    const QVector<QVector<TargetData>> a = run(first);
    ASSERT_FALSE(a.last().isEmpty());
    first.resetTracking();
    const QVector<QVector<TargetData>> b = run(first);
    TargetTracking second;
    const QVector<QVector<TargetData>> c = run(second);
    ASSERT_EQ(a.size(), b.size());
    for (int i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].size(), b[i].size());
        ASSERT_EQ(a[i].size(), c[i].size());
        for (int k = 0; k < a[i].size(); ++k) {
            expectSameRecord(a[i][k], b[i][k]);
            expectSameRecord(a[i][k], c[i][k]);
        }
    }
    EXPECT_EQ(a.last().first().number, 1);
}

// Every numbered target of the negative stream, then of the non-negative
// one, becomes a record; the conversion reads the configuration afresh.
TEST(TargetTrackingTest, ReportsNumberedTargetsNegativeStreamFirst)
{
    const RadarConfig configs[] = {
        {0.0, 0.0, 0.0, 0.0, 0},
        {3.0, -20.0, 6.0, 1.5, 0},
        {-2.0, 45.0, 4.0, -3.0, 1},
        {1.0, 10.0, 2.0, 0.0, 7}, // neither 0 nor 1: treated like horizontal
    };
    for (const RadarConfig& config : configs) {
        SCOPED_TRACE(testing::Message()
                     << "orientation " << config.orientation << " pan " << config.pan);
        TargetTracking engine;
        engine.radarConfig() = config;
        long timestamp = 0;
        int reported = 0;
        for (int cycle = 0; cycle < 8; ++cycle) {
            QVector<TargetData> targets;
            engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
            QVector<TargetData> expected;
            for (const QVector<Target>* stream :
                 {&engine.negativeTargets(), &engine.positiveTargets()}) {
                for (const Target& t : *stream) {
                    if (t.number_ != 0)
                        expected.append(expectedRecord(t, config));
                }
            }
            ASSERT_EQ(targets.size(), expected.size()) << "cycle " << cycle;
            for (int k = 0; k < targets.size(); ++k)
                expectSameRecord(targets[k], expected[k]);
            reported += targets.size();
            if (cycle == 7) {
                // Both movers tracked and confirmed, the approaching one first.
                ASSERT_EQ(targets.size(), 2);
                EXPECT_LT(targets[0].velocity, 0.0);
                EXPECT_GT(targets[1].velocity, 0.0);
                EXPECT_TRUE(targets[0].confirmed);
                EXPECT_TRUE(targets[1].confirmed);
            }
        }
        EXPECT_GT(reported, 0);
    }
}

// Orientation values other than 1 all mean horizontal mounting.
TEST(TargetTrackingTest, OtherOrientationsTrackLikeHorizontal)
{
    auto run = [](qint32 orientation) {
        TargetTracking engine;
        engine.radarConfig() = RadarConfig{1.0, 10.0, 2.0, 0.5, orientation};
        QVector<TargetData> all;
        long timestamp = 0;
        for (int cycle = 0; cycle < 8; ++cycle) {
            QVector<TargetData> targets;
            engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
            all += targets;
        }
        return all;
    };
    const QVector<TargetData> horizontal = run(0);
    ASSERT_FALSE(horizontal.isEmpty());
    for (qint32 orientation : {7, -1, 2}) {
        const QVector<TargetData> other = run(orientation);
        ASSERT_EQ(other.size(), horizontal.size()) << orientation;
        for (int k = 0; k < other.size(); ++k)
            expectSameRecord(other[k], horizontal[k]);
    }
}

// Whole tracking cycles on packets of the simulator's sensor model: a few
// objects driving along the boresight at constant speed, seen by a radar
// 5 m above the road, a packet every 50 ms. One object is hidden for a
// while, one leaves the scene early.
#include "engine/targettracking.h"
#include "tools/common/cli/mountingoptions.h"
#include "tools/common/sim/sensormodel.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <cmath>

namespace trklib {
namespace {

constexpr qint64 packetPeriodMs = 50;
constexpr qint64 firstTimestampMs = 1700000000000;
constexpr quint64 sensorSeed = 7;
constexpr int lastPacket = 40;

struct MovingObject
{
    int id;
    double startX; // metres along the boresight
    double y;      // metres to the left
    double vx;     // m/s, negative when approaching
    double rcsDbsm;
    int lastSeenPacket = lastPacket;
    int hiddenFrom = -1; // not seen in packets hiddenFrom..hiddenTo
    int hiddenTo = -1;

    bool seenAt(int k) const { return k <= lastSeenPacket && (k < hiddenFrom || k > hiddenTo); }
    sim::ObjectState stateAt(int k) const
    {
        sim::ObjectState s;
        s.id = id;
        s.x = startX + vx * (double(k * packetPeriodMs) / 1000);
        s.y = y;
        s.z = 0.8;
        s.vx = vx;
        s.rcsDbsm = rcsDbsm;
        return s;
    }
};

// Approaching: a and the slower c (hidden for five packets). Receding: b
// and the slower d (gone after packet 5). Their speeds fall into Doppler
// cells far apart.
const MovingObject objectA{1, 150.0, 3.0, -12.0, 10.0};
const MovingObject objectB{2, 60.0, -4.0, 8.0, 5.0};
const MovingObject objectC{3, 220.0, -8.0, -6.0, 20.0, lastPacket, 10, 14};
const MovingObject objectD{4, 100.0, 6.0, 5.0, 15.0, 5};

RadarPacketData scenePacket(sim::SensorModel& sensor, int k, qint64 firstTimestamp)
{
    QVector<sim::ObjectState> seen;
    for (const MovingObject* o : {&objectA, &objectB, &objectC, &objectD}) {
        if (o->seenAt(k))
            seen.append(o->stateAt(k));
    }
    return sensor.observe(seen, firstTimestamp + k * packetPeriodMs).packet;
}

struct Expected
{
    const MovingObject* object;
    qint32 number;
    bool confirmed;
};

// Targets start from the first two tracked packets (1 and 2) and are
// numbered at their second update (packet 4). The negative stream is
// numbered and listed first. Within a stream the new targets were appended
// last first, so the one in the higher Doppler cell, the faster one, comes
// first: a precedes c and b precedes d.
QVector<Expected> expectedAt(int k)
{
    if (k < 4)
        return {};
    QVector<Expected> out;
    out.append({&objectA, 1, true});
    out.append({&objectC, 2, objectC.seenAt(k)});
    out.append({&objectB, 3, true});
    if (k <= objectD.lastSeenPacket + 3) // three misses, lost at the fourth
        out.append({&objectD, 4, objectD.seenAt(k)});
    return out;
}

class TrackingScenario : public ::testing::Test
{
protected:
    TrackingScenario() { engine.radarConfig() = cli::defaultMounting(); }

    void runAndCheck(int packets, qint64 firstTimestamp)
    {
        sim::SensorModel sensor(engine.radarConfig(), sensorSeed);
        const double heightM = engine.radarConfig().height;
        for (int k = 0; k <= packets; ++k) {
            SCOPED_TRACE(testing::Message() << "packet " << k);
            long timestamp = 0;
            QVector<TargetData> targets = {TargetData{99, 0, 0, 0, 0, true}};
            engine.getTargetsFromData(scenePacket(sensor, k, firstTimestamp), timestamp, targets);
            EXPECT_EQ(timestamp, firstTimestamp + k * packetPeriodMs);
            const QVector<Expected> expected = expectedAt(k);
            ASSERT_EQ(targets.size(), expected.size());
            for (int i = 0; i < targets.size(); ++i) {
                const TargetData& t = targets[i];
                const sim::ObjectState o = expected[i].object->stateAt(k);
                const double groundM = std::hypot(o.x, o.y);
                SCOPED_TRACE(testing::Message() << "target " << expected[i].number);
                EXPECT_EQ(t.number, expected[i].number);
                EXPECT_EQ(t.confirmed, expected[i].confirmed);
                EXPECT_NEAR(t.distance, std::hypot(groundM, o.z - heightM), 1.0);
                // Along the boresight the ground speed is the speed the
                // radial velocity gives back.
                EXPECT_NEAR(t.velocity, util::mpsToKph(o.vx), 0.5);
                EXPECT_NEAR(t.azimuth, util::atand(o.y / o.x), 0.3);
                // The depression of the ground point under the target.
                EXPECT_NEAR(t.elevation, -util::atand(heightM / groundM), 0.2);
            }
        }
    }

    TargetTracking engine;
};

TEST_F(TrackingScenario, TargetsAppearStayMissAndEnd)
{
    runAndCheck(lastPacket, firstTimestampMs);
    EXPECT_EQ(engine.negativeTargets().size(), 2);
    EXPECT_EQ(engine.positiveTargets().size(), 1);
}

TEST_F(TrackingScenario, ResetRestartsTimeBaseAndNumbering)
{
    runAndCheck(12, firstTimestampMs);
    engine.resetTracking();
    EXPECT_FALSE(engine.isInitialized());
    EXPECT_TRUE(engine.negativeTargets().isEmpty());
    EXPECT_TRUE(engine.positiveCandidates().isEmpty());
    // Numbers start at 1 again, in the same order as after construction.
    runAndCheck(6, firstTimestampMs + 60000);
}

} // namespace
} // namespace trklib

// Whole tracking cycles on synthetic packets: a few objects moving radially
// at constant speed, one range cell per 0.3 m, a packet every 50 ms.
#include "engine/targettracking.h"
#include "tools/common/packetencoder.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <cmath>

namespace trklib {
namespace {

constexpr double cellSizeM = 0.3;
constexpr qint64 packetPeriodMs = 50;
constexpr qint64 firstTimestampMs = 1700000000000;
constexpr double radarHeightM = 3.0;
constexpr int lastPacket = 40;

struct MovingObject
{
    double startDistanceM;
    double velocityMps; // radial, positive when receding
    double azimuthDeg;
    double elevationDeg;
    qint8 amplitudeDb;
    int lastSeenPacket = lastPacket;
    int hiddenFrom = -1; // not seen in packets hiddenFrom..hiddenTo
    int hiddenTo = -1;

    bool seenAt(int k) const { return k <= lastSeenPacket && (k < hiddenFrom || k > hiddenTo); }
    double distanceAt(int k) const
    {
        return startDistanceM + velocityMps * (double(k * packetPeriodMs) / 1000);
    }
};

// Approaching: a and c (c is hidden for five packets). Receding: b and d
// (d leaves after packet 5).
const MovingObject objectA{150.0, -12.0, 3.0, 1.0, -35};
const MovingObject objectB{60.0, 8.0, -4.0, 1.5, -38};
const MovingObject objectC{220.0, -6.0, 8.0, 0.5, -32, lastPacket, 10, 14};
const MovingObject objectD{100.0, 5.0, -6.0, 1.0, -36, 5};

RadarPacketData scenePacket(int k, qint64 firstTimestamp)
{
    RadarPacketData p = PacketEncoder::emptyPacket(firstTimestamp + k * packetPeriodMs);
    // A noise floor well below the detection threshold of -70 dB.
    for (int i = 0; i < PacketEncoder::cellCount; ++i) {
        p.amplitude[i] = qint8(-85 - (i * 7 + k) % 12);
        p.relVelocity[i] = float((i * 13 + k) % 21 - 10) * 0.5f;
        p.distance[i] = float(i * cellSizeM);
        p.elevation[i] = float(i % 9 - 4);
        p.azimuth[i] = float(i % 11 - 5);
    }
    for (const MovingObject* o : {&objectA, &objectB, &objectC, &objectD}) {
        if (!o->seenAt(k))
            continue;
        const double distance = o->distanceAt(k);
        const int cell = int(std::lround(distance / cellSizeM));
        p.amplitude[cell] = o->amplitudeDb;
        p.relVelocity[cell] = float(util::mpsToKph(o->velocityMps));
        p.distance[cell] = float(distance);
        p.elevation[cell] = float(o->elevationDeg);
        p.azimuth[cell] = float(o->azimuthDeg);
    }
    return p;
}

struct Expected
{
    const MovingObject* object;
    qint32 number;
    bool confirmed;
};

// Targets start from the first two tracked packets (1 and 2) and are
// numbered at their second update (packet 4). The negative stream is
// numbered and listed first; within a stream the new targets were appended
// last first, so c precedes a and d precedes b.
QVector<Expected> expectedAt(int k)
{
    if (k < 4)
        return {};
    QVector<Expected> out;
    out.append({&objectC, 1, objectC.seenAt(k)});
    out.append({&objectA, 2, true});
    if (k <= objectD.lastSeenPacket + 3) // three misses, lost at the fourth
        out.append({&objectD, 3, objectD.seenAt(k)});
    out.append({&objectB, 4, true});
    return out;
}

class TrackingScenario : public ::testing::Test
{
protected:
    TrackingScenario() { engine.radarConfig() = RadarConfig{0.0, 0.0, radarHeightM, 0.0, 0}; }

    void runAndCheck(int packets, qint64 firstTimestamp)
    {
        for (int k = 0; k <= packets; ++k) {
            SCOPED_TRACE(testing::Message() << "packet " << k);
            long timestamp = 0;
            QVector<TargetData> targets = {TargetData{99, 0, 0, 0, 0, true}};
            engine.getTargetsFromData(scenePacket(k, firstTimestamp), timestamp, targets);
            EXPECT_EQ(timestamp, firstTimestamp + k * packetPeriodMs);
            const QVector<Expected> expected = expectedAt(k);
            ASSERT_EQ(targets.size(), expected.size());
            for (int i = 0; i < targets.size(); ++i) {
                const TargetData& t = targets[i];
                const MovingObject& o = *expected[i].object;
                const double distance = o.distanceAt(k);
                SCOPED_TRACE(testing::Message() << "target " << expected[i].number);
                EXPECT_EQ(t.number, expected[i].number);
                EXPECT_EQ(t.confirmed, expected[i].confirmed);
                EXPECT_NEAR(t.distance, distance, 1.0);
                EXPECT_NEAR(t.velocity,
                            util::mpsToKph(o.velocityMps /
                                           (util::cosd(o.elevationDeg) * util::cosd(o.azimuthDeg))),
                            0.5);
                EXPECT_NEAR(t.azimuth, o.azimuthDeg, 0.3);
                EXPECT_NEAR(t.elevation,
                            -util::atand(radarHeightM / (util::cosd(o.elevationDeg) * distance)),
                            0.1);
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

#include "engine/targettracking.h"
#include "tools/common/packetencoder.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

struct Cell
{
    int position;
    signed char amplitude;
    float relVelocity; // km/h
    float distance;
    float elevation;
    float azimuth;
};

// A strong maximum at cell 30, its second harmonic at cell 60 (receding
// away from the radar, so index -60) and a weak maximum at cell 200.
const Cell cells[] = {{30, -20, 40.3f, 75.3f, 1.7f, -12.4f},
                      {60, -50, -80.6f, 150.6f, 0.3f, 5.1f},
                      {200, -60, 12.7f, 501.9f, -2.2f, 0.0f}};

RadarPacketData packetWithCells(qint64 timestamp)
{
    RadarPacketData packet = PacketEncoder::emptyPacket(timestamp);
    for (const Cell& c : cells) {
        packet.amplitude[c.position] = c.amplitude;
        packet.relVelocity[c.position] = c.relVelocity;
        packet.distance[c.position] = c.distance;
        packet.elevation[c.position] = c.elevation;
        packet.azimuth[c.position] = c.azimuth;
    }
    return packet;
}

// The record a cell must give, in the order of the conversions: widen, add
// the pan offset in double, narrow, negate for vertical mounting.
ValidationData expectedRecord(const Cell& c, const RadarConfig& config)
{
    const bool vertical = config.orientation == 1;
    const double elevation = vertical ? c.azimuth : c.elevation;
    const double azimuth = (vertical ? c.elevation : c.azimuth) + config.panOffset;
    const double velocityMps = double(c.relVelocity) / 3.6;
    ValidationData record;
    record.index = c.relVelocity < 0.0f ? -c.position : c.position;
    record.elevation = float(elevation);
    record.azimuth = vertical ? -float(azimuth) : float(azimuth);
    record.distance = c.distance;
    record.velocity = float(velocityMps * 3.6);
    return record;
}

void expectRecordsEqual(const QVector<ValidationData>& actual,
                        const QVector<ValidationData>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (int i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actual[i].index, expected[i].index);
        EXPECT_EQ(actual[i].elevation, expected[i].elevation);
        EXPECT_EQ(actual[i].azimuth, expected[i].azimuth);
        EXPECT_EQ(actual[i].distance, expected[i].distance);
        EXPECT_EQ(actual[i].velocity, expected[i].velocity);
    }
}

TEST(ValidationFromData, ListsEveryMaximumInRadarFrameWithPanOffset)
{
    // Tilt, pan and height are not applied; 0, 1 and values that count as
    // horizontal mounting.
    for (int orientation : {0, 1, 2, -1}) {
        SCOPED_TRACE(orientation);
        TargetTracking engine;
        engine.radarConfig() = RadarConfig{5.5, 30.0, 7.0, 1.37, orientation};
        QVector<ValidationData> data;
        engine.getValidationFromData(packetWithCells(1000), data);

        QVector<ValidationData> expected;
        for (const Cell& c : cells)
            expected.append(expectedRecord(c, engine.radarConfig()));
        expectRecordsEqual(data, expected);
    }
}

TEST(ValidationFromData, VerticalMountingReversesTheAzimuth)
{
    TargetTracking engine;
    engine.radarConfig() = RadarConfig{0.0, 0.0, 0.0, 2.5, 1};
    RadarPacketData packet = PacketEncoder::emptyPacket(1000);
    packet.amplitude[40] = -30;
    packet.relVelocity[40] = 36.0f;
    packet.elevation[40] = 10.0f;
    packet.azimuth[40] = -3.0f;

    QVector<ValidationData> data;
    engine.getValidationFromData(packet, data);

    ASSERT_EQ(data.size(), 1);
    EXPECT_EQ(data[0].elevation, -3.0f);
    EXPECT_EQ(data[0].azimuth, -12.5f);
    EXPECT_EQ(data[0].velocity, 36.0f);
}

TEST(ValidationFromData, PacketWithoutMaximaEmptiesTheList)
{
    TargetTracking engine;
    QVector<ValidationData> data{ValidationData{7, 1.0f, 2.0f, 3.0f, 4.0f}};
    engine.getValidationFromData(PacketEncoder::emptyPacket(1000), data);
    EXPECT_TRUE(data.isEmpty());
}

TEST(ValidationFromData, LeavesTheTrackingStateAlone)
{
    TargetTracking engine;
    QVector<ValidationData> data;
    engine.getValidationFromData(packetWithCells(1000), data);
    EXPECT_FALSE(engine.isInitialized());
    EXPECT_EQ(engine.currentTime(), 0);

    long timestamp = 0;
    QVector<TargetData> targets;
    engine.getTargetsFromData(packetWithCells(1000), timestamp, targets);
    engine.getTargetsFromData(packetWithCells(1100), timestamp, targets);
    const long previous = engine.previousTime();
    const long current = engine.currentTime();
    const long delta = engine.timeDelta();
    const int negativeCandidates = engine.negativeCandidates().size();
    const int positiveCandidates = engine.positiveCandidates().size();
    const int negativeTargets = engine.negativeTargets().size();
    const int positiveTargets = engine.positiveTargets().size();

    engine.getValidationFromData(packetWithCells(5000), data);

    EXPECT_EQ(data.size(), 3);
    EXPECT_TRUE(engine.isInitialized());
    EXPECT_EQ(engine.previousTime(), previous);
    EXPECT_EQ(engine.currentTime(), current);
    EXPECT_EQ(engine.timeDelta(), delta);
    EXPECT_EQ(engine.negativeCandidates().size(), negativeCandidates);
    EXPECT_EQ(engine.positiveCandidates().size(), positiveCandidates);
    EXPECT_EQ(engine.negativeTargets().size(), negativeTargets);
    EXPECT_EQ(engine.positiveTargets().size(), positiveTargets);
}

TEST(ValidationFromData, ShortArrayCutsThePacket)
{
    TargetTracking engine;
    RadarPacketData packet = packetWithCells(1000);
    packet.distance =
        QVector<float>(packet.distance.constBegin(), packet.distance.constBegin() + 100);

    QVector<ValidationData> data;
    engine.getValidationFromData(packet, data);
    ASSERT_EQ(data.size(), 2);
    EXPECT_EQ(data[0].index, 30);
    EXPECT_EQ(data[1].index, -60);

    // The cut packet goes through tracking without reading past the array.
    long timestamp = 0;
    QVector<TargetData> targets;
    engine.getTargetsFromData(packet, timestamp, targets);
    engine.getTargetsFromData(packet, timestamp, targets);
    EXPECT_EQ(timestamp, 1000);
}

} // namespace
} // namespace trklib

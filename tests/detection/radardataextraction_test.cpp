#include "engine/targettracking.h"
#include "tools/common/packetencoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace trklib {
namespace {

constexpr int cellCount = PacketEncoder::cellCount;

class RadarDataExtraction : public ::testing::Test
{
protected:
    RadarDataExtraction() : packet(PacketEncoder::emptyPacket(1000))
    {
        for (int i = 0; i < cellCount; ++i) {
            packet.distance[i] = 0.5f * float(i);
            packet.elevation[i] = 2.0f;
            packet.azimuth[i] = -30.0f;
            packet.relVelocity[i] = 12.0f;
        }
    }

    TargetTracking engine;
    RadarPacketData packet;
};

TEST_F(RadarDataExtraction, GivesOneRecordPerCellInCellOrder)
{
    packet.amplitude[7] = -100;
    packet.amplitude[8] = 127;
    packet.distance[9] = 0.1f;
    packet.relVelocity[9] = 33.3f;

    const QVector<RadarData> cells = engine.getRadarData(packet);

    ASSERT_EQ(cells.size(), cellCount);
    for (int i = 0; i < cellCount; ++i) {
        ASSERT_EQ(cells[i].index, i);
        if (i != 9) {
            ASSERT_EQ(cells[i].distance, 0.5 * i);
        }
    }
    EXPECT_EQ(cells[0].amplitude, -128);
    EXPECT_EQ(cells[7].amplitude, -100);
    EXPECT_EQ(cells[8].amplitude, 127);
    // Widened exactly, not rounded to the decimal the float stands for.
    EXPECT_EQ(cells[9].distance, double(0.1f));
    EXPECT_EQ(cells[9].relVelocity, double(33.3f));
}

TEST_F(RadarDataExtraction, NegativeVelocityNegatesTheIndexExceptInCellZero)
{
    packet.relVelocity[0] = -8.0f;
    packet.relVelocity[5] = -3.5f;
    packet.relVelocity[6] = 0.0f;
    packet.relVelocity[7] = -0.0f;
    packet.relVelocity[8] = std::numeric_limits<float>::quiet_NaN();
    packet.relVelocity[9] = -std::numeric_limits<float>::denorm_min();
    packet.relVelocity[1023] = -1.0f;

    const QVector<RadarData> cells = engine.getRadarData(packet);

    ASSERT_EQ(cells.size(), cellCount);
    EXPECT_EQ(cells[0].index, 0);
    EXPECT_EQ(cells[0].relVelocity, -8.0);
    EXPECT_EQ(cells[5].index, -5);
    EXPECT_EQ(cells[5].relVelocity, -3.5);
    EXPECT_EQ(cells[6].index, 6);
    EXPECT_EQ(cells[7].index, 7) << "negative zero is not below zero";
    EXPECT_TRUE(std::signbit(cells[7].relVelocity));
    EXPECT_EQ(cells[8].index, 8) << "a NaN velocity is not below zero";
    EXPECT_TRUE(std::isnan(cells[8].relVelocity));
    EXPECT_EQ(cells[9].index, -9);
    EXPECT_EQ(cells[1023].index, -1023);
}

TEST_F(RadarDataExtraction, OrientationDecidesWhichArrayGivesWhichAngle)
{
    struct Case
    {
        int orientation;
        double elevation;
        double azimuth;
    };
    // Only 1 means vertical mounting; every other value counts as horizontal.
    const Case cases[] = {
        {0, 2.0, -30.0}, {1, -30.0, 2.0}, {2, 2.0, -30.0}, {-1, 2.0, -30.0}, {255, 2.0, -30.0}};
    for (const Case& c : cases) {
        engine.radarConfig().orientation = c.orientation;
        const QVector<RadarData> cells = engine.getRadarData(packet);
        ASSERT_EQ(cells.size(), cellCount);
        EXPECT_EQ(cells[5].elevation, c.elevation) << "orientation " << c.orientation;
        EXPECT_EQ(cells[5].azimuth, c.azimuth) << "orientation " << c.orientation;
    }
}

TEST_F(RadarDataExtraction, ChangingOrientationSwapsOnlyTheAngles)
{
    packet.relVelocity[3] = -7.0f;
    packet.amplitude[3] = -20;
    packet.elevation[3] = 4.25f;
    packet.azimuth[3] = 11.75f;

    engine.radarConfig().orientation = 0;
    const QVector<RadarData> horizontal = engine.getRadarData(packet);
    engine.radarConfig().orientation = 1;
    const QVector<RadarData> vertical = engine.getRadarData(packet);

    ASSERT_EQ(horizontal.size(), vertical.size());
    for (int i = 0; i < horizontal.size(); ++i) {
        ASSERT_EQ(horizontal[i].index, vertical[i].index);
        ASSERT_EQ(horizontal[i].amplitude, vertical[i].amplitude);
        ASSERT_EQ(horizontal[i].distance, vertical[i].distance);
        ASSERT_EQ(horizontal[i].relVelocity, vertical[i].relVelocity);
        ASSERT_EQ(horizontal[i].elevation, vertical[i].azimuth);
        ASSERT_EQ(horizontal[i].azimuth, vertical[i].elevation);
    }
    EXPECT_EQ(vertical[3].elevation, 11.75);
    EXPECT_EQ(vertical[3].azimuth, 4.25);
}

TEST_F(RadarDataExtraction, EmptyPacketGivesNoRecords)
{
    EXPECT_TRUE(engine.getRadarData(RadarPacketData{}).isEmpty());
}

// A packet handed in by a caller may have arrays of different lengths. The
// stage reads only as many cells as the shortest of the five arrays it uses
// holds, so the packet is cut, never read past the end of an array. The
// arrays are allocated at their exact size so that the sanitizer build sees
// any read beyond them.
TEST_F(RadarDataExtraction, ShortArrayCutsThePacket)
{
    constexpr int shortCount = 100;
    const auto cut = [](auto array, int count) {
        using Array = decltype(array);
        return Array(array.constBegin(), array.constBegin() + count);
    };
    enum Field
    {
        RelVelocity,
        Distance,
        Elevation,
        Azimuth,
        Amplitude
    };
    for (Field field : {RelVelocity, Distance, Elevation, Azimuth, Amplitude}) {
        RadarPacketData shortPacket = packet;
        switch (field) {
        case RelVelocity:
            shortPacket.relVelocity = cut(packet.relVelocity, shortCount);
            break;
        case Distance:
            shortPacket.distance = cut(packet.distance, shortCount);
            break;
        case Elevation:
            shortPacket.elevation = cut(packet.elevation, shortCount);
            break;
        case Azimuth:
            shortPacket.azimuth = cut(packet.azimuth, shortCount);
            break;
        case Amplitude:
            shortPacket.amplitude = cut(packet.amplitude, shortCount);
            break;
        }
        for (int orientation : {0, 1}) {
            engine.radarConfig().orientation = orientation;
            const QVector<RadarData> cells = engine.getRadarData(shortPacket);
            ASSERT_EQ(cells.size(), shortCount) << "field " << field;
            EXPECT_EQ(cells.last().index, shortCount - 1);
            EXPECT_EQ(cells.last().distance, 0.5 * (shortCount - 1));
        }
    }
}

TEST_F(RadarDataExtraction, EmptyArrayGivesNoRecords)
{
    RadarPacketData noAzimuth = packet;
    noAzimuth.azimuth.clear();
    EXPECT_TRUE(engine.getRadarData(noAzimuth).isEmpty());

    // The phase difference is not used, so its length does not matter.
    RadarPacketData noPhase = packet;
    noPhase.phaseDiff.clear();
    EXPECT_EQ(engine.getRadarData(noPhase).size(), cellCount);
}

} // namespace
} // namespace trklib

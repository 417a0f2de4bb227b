#include "engine/targettracking.h"
#include "input/packetencoder.h"
#include "support/packets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace trklib {
namespace {

constexpr int cellCount = wire::cellCount;

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

// Only orientation 1 means vertical mounting; every other value counts as
// horizontal. Values are widened exactly, not rounded to the decimal the
// float stands for.
TEST_F(RadarDataExtraction, OneRecordPerCellWithTheAnglesOfTheOrientation)
{
    packet.amplitude[7] = -100;
    packet.amplitude[8] = 127;
    packet.distance[9] = 0.1f;
    packet.relVelocity[9] = 33.3f;

    for (int orientation : {0, 1, 2, -1, 255}) {
        SCOPED_TRACE(orientation);
        engine.radarConfig().orientation = orientation;
        const bool vertical = orientation == 1;
        const QVector<RadarData> cells = engine.getRadarData(packet);
        ASSERT_EQ(cells.size(), cellCount);
        for (int i = 0; i < cellCount; ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(cells[i].index, i);
            ASSERT_EQ(cells[i].amplitude, packet.amplitude[i]);
            ASSERT_EQ(cells[i].distance, double(packet.distance[i]));
            ASSERT_EQ(cells[i].relVelocity, double(packet.relVelocity[i]));
            ASSERT_EQ(cells[i].elevation, vertical ? packet.azimuth[i] : packet.elevation[i]);
            ASSERT_EQ(cells[i].azimuth, vertical ? packet.elevation[i] : packet.azimuth[i]);
        }
    }
}

TEST_F(RadarDataExtraction, NegativeVelocityNegatesTheIndexExceptInCellZero)
{
    const struct
    {
        int cell;
        float velocityKph;
        int index;
    } cases[] = {{0, -8.0f, 0},
                 {5, -3.5f, -5},
                 {6, 0.0f, 6},
                 {7, -0.0f, 7}, // negative zero is not below zero
                 {8, std::numeric_limits<float>::quiet_NaN(), 8},
                 {9, -std::numeric_limits<float>::denorm_min(), -9},
                 {1023, -1.0f, -1023}};
    for (const auto& c : cases)
        packet.relVelocity[c.cell] = c.velocityKph;

    const QVector<RadarData> cells = engine.getRadarData(packet);

    ASSERT_EQ(cells.size(), cellCount);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cell);
        EXPECT_EQ(cells[c.cell].index, c.index);
        if (std::isnan(c.velocityKph))
            EXPECT_TRUE(std::isnan(cells[c.cell].relVelocity));
        else
            EXPECT_EQ(cells[c.cell].relVelocity, double(c.velocityKph));
    }
    EXPECT_TRUE(std::signbit(cells[7].relVelocity));
}

// A packet handed in by a caller may have arrays of different lengths: the
// shortest of the five arrays used sets the cell count, so the packet is
// cut, never over-read, on its way through detection and tracking. The cut
// arrays are allocated at their exact size so that the sanitizer build sees
// any read beyond them.
TEST(ShortArray, CutsThePacket)
{
    constexpr int shortCount = 100;
    // Maxima in cell 99, the last of the cut packet, and beyond it.
    const RadarPacketData full =
        test::packetWithEchoes(1000, {{30, -20, 12.0f, 15.0f, 2.0f, 1.0f},
                                      {60, -50, 12.0f, 30.0f, 2.0f, 1.0f},
                                      {99, -40, 12.0f, 49.5f, 2.0f, 1.0f},
                                      {200, -20, 12.0f, 100.0f, 2.0f, 1.0f}});
    const auto cut = [](auto& array) {
        array = std::decay_t<decltype(array)>(array.constBegin(), array.constBegin() + shortCount);
    };
    const std::function<void(RadarPacketData&)> shorten[] = {
        [&](RadarPacketData& p) { cut(p.relVelocity); },
        [&](RadarPacketData& p) { cut(p.distance); },
        [&](RadarPacketData& p) { cut(p.elevation); },
        [&](RadarPacketData& p) { cut(p.azimuth); },
        [&](RadarPacketData& p) { cut(p.amplitude); },
    };
    for (int field = 0; field < 5; ++field) {
        RadarPacketData shortPacket = full;
        shorten[field](shortPacket);
        for (int orientation : {0, 1}) {
            SCOPED_TRACE(::testing::Message()
                         << "field " << field << " orientation " << orientation);
            TargetTracking engine;
            engine.radarConfig().orientation = orientation;
            const QVector<RadarData> cells = engine.getRadarData(shortPacket);
            ASSERT_EQ(cells.size(), shortCount);
            EXPECT_EQ(cells.last().index, shortCount - 1);
            EXPECT_EQ(cells.last().distance, 0.5 * (shortCount - 1));

            QVector<ValidationData> data;
            engine.getValidationFromData(shortPacket, data);
            ASSERT_EQ(data.size(), 3);
            EXPECT_EQ(data[2].index, shortCount - 1);
            long timestamp = 0;
            QVector<TargetData> targets;
            engine.getTargetsFromData(shortPacket, timestamp, targets);
            engine.getTargetsFromData(shortPacket, timestamp, targets);
            EXPECT_EQ(timestamp, 1000);
        }
    }
}

TEST_F(RadarDataExtraction, EmptyArrayGivesNoRecords)
{
    EXPECT_TRUE(engine.getRadarData(RadarPacketData{}).isEmpty());
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

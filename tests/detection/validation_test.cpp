#include "engine/targettracking.h"
#include "input/packetencoder.h"
#include "support/packets.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

using test::packetWithEchoes;

// The end-to-end tests check the records of a packet of known maxima for
// every orientation and pan offset; this is the vertical case spelled out:
// the angles swap, the pan offset is added and the azimuth changes sign.
// Stale records are replaced, and a packet without maxima leaves none.
TEST(ValidationFromData, VerticalMountingSwapsTheAnglesAndReversesTheAzimuth)
{
    TargetTracking engine;
    engine.radarConfig() = RadarConfig{0.0, 0.0, 0.0, 2.5, 1};
    QVector<ValidationData> data{ValidationData{7, 1.0f, 2.0f, 3.0f, 4.0f}};
    engine.getValidationFromData(packetWithEchoes(1000, {{40, -30, -36.0f, 9.0f, 10.0f, -3.0f}}),
                                 data);

    ASSERT_EQ(data.size(), 1);
    EXPECT_EQ(data[0].index, -40);
    EXPECT_EQ(data[0].elevation, -3.0f);
    EXPECT_EQ(data[0].azimuth, -12.5f);
    EXPECT_EQ(data[0].distance, 9.0f);
    EXPECT_EQ(data[0].velocity, -36.0f);

    engine.getValidationFromData(PacketEncoder::emptyPacket(1000), data);
    EXPECT_TRUE(data.isEmpty());
}

} // namespace
} // namespace trklib

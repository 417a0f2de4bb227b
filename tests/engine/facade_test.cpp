#include "interface/targettrackinginterface.h"
#include "support/qtmessages.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <vector>

using trklib::RadarConfig;
using trklib::TargetData;
using trklib::TargetTrackingInterface;
using trklib::ValidationData;

namespace {
constexpr qint64 immediateMs = 500; // "at once", with room for a busy machine
} // namespace

TEST(FacadeTest, ConfigurationThroughTheSetterAndTheReference)
{
    TargetTrackingInterface facade;
    const RadarConfig& initial = facade.radarConfig();
    EXPECT_EQ(initial.tilt, 0.0);
    EXPECT_EQ(initial.pan, 0.0);
    EXPECT_EQ(initial.height, 0.0);
    EXPECT_EQ(initial.panOffset, 0.0);
    EXPECT_EQ(initial.orientation, 0);

    // Any orientation value is kept as it is.
    facade.radarConfig(RadarConfig{-3.5, 120.25, 7.0, 0.125, 7});
    RadarConfig& config = facade.radarConfig();
    EXPECT_EQ(config.tilt, -3.5);
    EXPECT_EQ(config.pan, 120.25);
    EXPECT_EQ(config.height, 7.0);
    EXPECT_EQ(config.panOffset, 0.125);
    EXPECT_EQ(config.orientation, 7);

    // The reference is the engine's own record, for the facade's lifetime.
    config.height = 9.5;
    config.orientation = -1;
    EXPECT_EQ(&facade.radarConfig(), &config);
    EXPECT_EQ(facade.radarConfig().height, 9.5);
    EXPECT_EQ(facade.radarConfig().orientation, -1);

    // resetTracking leaves the configuration alone.
    facade.resetTracking();
    EXPECT_EQ(facade.radarConfig().height, 9.5);
}

TEST(FacadeTest, ReadErrorBeforeConnectLeavesArgumentsUntouched)
{
    trklib::test::QtMessageCatcher qtMessages;
    TargetTrackingInterface facade;
    long timestamp = 4242;
    std::vector<TargetData> targets{TargetData{3, 1.0, 2.0, 3.0, 4.0, true}};
    const TargetData* storage = targets.data();
    std::vector<ValidationData> data(2, ValidationData{5, 1.0f, 2.0f, 3.0f, 4.0f});

    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(facade.getTargets(timestamp, targets), 1);
    EXPECT_EQ(facade.getValidationData(data), 1);
    EXPECT_LT(timer.elapsed(), immediateMs);

    EXPECT_EQ(timestamp, 4242);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets.data(), storage);
    EXPECT_EQ(targets[0].number, 3);
    EXPECT_EQ(targets[0].distance, 3.0);
    EXPECT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1].index, 5);
    EXPECT_TRUE(qtMessages.messages().isEmpty());
}

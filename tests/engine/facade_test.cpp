#include "interface/targettrackinginterface.h"

#include <gtest/gtest.h>

using trklib::RadarConfig;
using trklib::TargetTrackingInterface;

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

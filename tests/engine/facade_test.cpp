#include "interface/targettrackinginterface.h"

#include <gtest/gtest.h>

#include <tuple>

using trklib::RadarConfig;
using trklib::TargetTrackingInterface;

TEST(FacadeTest, ConfigurationThroughTheSetterAndTheReference)
{
    const auto fields = [](const RadarConfig& c) {
        return std::make_tuple(c.tilt, c.pan, c.height, c.panOffset, c.orientation);
    };
    TargetTrackingInterface facade;
    EXPECT_EQ(fields(facade.radarConfig()), std::make_tuple(0.0, 0.0, 0.0, 0.0, 0));

    // Any orientation value is kept as it is.
    facade.radarConfig(RadarConfig{-3.5, 120.25, 7.0, 0.125, 7});
    RadarConfig& config = facade.radarConfig();
    EXPECT_EQ(fields(config), std::make_tuple(-3.5, 120.25, 7.0, 0.125, 7));

    // The reference is the engine's own record, for the facade's lifetime;
    // resetTracking leaves it alone.
    config.height = 9.5;
    EXPECT_EQ(&facade.radarConfig(), &config);
    facade.resetTracking();
    EXPECT_EQ(fields(facade.radarConfig()), std::make_tuple(-3.5, 120.25, 9.5, 0.125, 7));
}

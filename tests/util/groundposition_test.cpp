// The ground position of reported targets, against geometry worked out
// here: the report a target on the ground at a known place gets, turned
// back into that place.

#include "util/groundposition.h"

#include <gtest/gtest.h>

#include <cmath>

namespace trklib::util {
namespace {

constexpr double degPerRad = 180.0 / M_PI;
constexpr double toleranceM = 1e-9;

// What the engine reports for a target whose ground point is (x, y) in the
// radar's ground frame: the depression of that point relative to the tilt,
// the azimuth relative to the pan (mirrored for vertical mounting).
TargetData reportOf(double x, double y, const RadarConfig& c)
{
    const double rangeM = std::hypot(x, y);
    const double azimuthDeg = std::atan2(y, x) * degPerRad - c.pan;
    TargetData t{};
    t.elevation = -std::atan(c.height / rangeM) * degPerRad - c.tilt;
    t.azimuth = c.orientation == 1 ? -azimuthDeg : azimuthDeg;
    t.distance = std::hypot(rangeM, c.height);
    return t;
}

TEST(GroundPosition, GivesBackTheGroundPointOfAReport)
{
    const RadarConfig mountings[] = {{0.0, 0.0, 5.0, 0.0, 0},
                                     {-4.0, 6.0, 8.0, 2.0, 0},
                                     {-2.0, -30.0, 6.0, -1.5, 1},
                                     {10.0, 170.0, 40.0, 0.0, 1}};
    const double points[][2] = {{100.0, 10.0}, {20.0, -3.0}, {290.0, 40.0}, {-50.0, 60.0}};
    for (const RadarConfig& c : mountings) {
        for (const auto& p : points) {
            SCOPED_TRACE(testing::Message() << "pan " << c.pan << ", orientation " << c.orientation
                                            << ", point " << p[0] << ", " << p[1]);
            const GroundPoint g = groundPosition(reportOf(p[0], p[1], c), c);
            EXPECT_NEAR(g.x, p[0], toleranceM);
            EXPECT_NEAR(g.y, p[1], toleranceM);
        }
    }
}

// Without a height, or at the horizon, the elevation says nothing of the
// range: the slant distance gives it.
TEST(GroundPosition, SlantRangeWhereTheElevationTellsNothing)
{
    const struct
    {
        RadarConfig config;
        TargetData target;
        double x, y;
    } cases[] = {
        {{0.0, 0.0, 0.0, 0.0, 0}, {1, 0.0, 30.0, 50.0, 0.0, true}, 50 * std::cos(M_PI / 6), 25.0},
        {{0.0, 0.0, 5.0, 0.0, 0}, {1, -0.005, 0.0, 13.0, 0.0, true}, 12.0, 0.0},
        {{2.0, 0.0, 5.0, 0.0, 0}, {1, -1.0, 0.0, 13.0, 0.0, true}, 12.0, 0.0},
        {{0.0, 0.0, 5.0, 0.0, 0}, {1, 0.0, 0.0, 4.0, 0.0, true}, 4.0, 0.0},
    };
    for (const auto& c : cases) {
        const GroundPoint g = groundPosition(c.target, c.config);
        EXPECT_NEAR(g.x, c.x, toleranceM);
        EXPECT_NEAR(g.y, c.y, toleranceM);
    }
}

// Pan 0 looks along the heading, clockwise from north; the frame's y axis
// to its left.
TEST(GroundPosition, SitePositionTurnsAndMovesTheFrame)
{
    const struct
    {
        double headingDeg;
        double east, north; // of the point (10, 2) of the radar's frame
    } cases[] = {{0.0, -2.0, 10.0},
                 {90.0, 10.0, 2.0},
                 {180.0, 2.0, -10.0},
                 {270.0, -10.0, -2.0},
                 {30.0, 5.0 - 2.0 * std::cos(M_PI / 6), 10.0 * std::cos(M_PI / 6) + 1.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headingDeg);
        const GroundPoint g = sitePosition({10.0, 2.0}, RadarPlacement{100.0, -50.0, c.headingDeg});
        EXPECT_NEAR(g.x, 100.0 + c.east, 1e-12);
        EXPECT_NEAR(g.y, -50.0 + c.north, 1e-12);
    }
}

} // namespace
} // namespace trklib::util

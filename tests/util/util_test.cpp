#include "util/util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace trklib::util;

namespace {
constexpr double pi = 3.141592653589793;
constexpr double inf = std::numeric_limits<double>::infinity();
const double notANumber = std::numeric_limits<double>::quiet_NaN();
} // namespace

// The conversions multiply first and divide second; these results are exact
// only in that order.
TEST(UtilTest, AngleConversionsAreExactAtHalfATurn)
{
    EXPECT_EQ(radToDeg(pi), 180.0);
    EXPECT_EQ(degToRad(180.0), pi);
    EXPECT_EQ(radToDeg(-pi), -180.0);
    EXPECT_EQ(degToRad(90.0), (90.0 * pi) / 180.0);
    EXPECT_EQ(radToDeg(1.0), (1.0 * 180.0) / pi);
    EXPECT_EQ(radToDeg(0.0), 0.0);
}

TEST(UtilTest, SpeedConversions)
{
    EXPECT_EQ(mpsToKph(10.0), 36.0);
    EXPECT_EQ(kphToMps(36.0), 10.0);
    EXPECT_EQ(mpsToKph(-2.5), -9.0);
    // A true division by 3.6, not a product with a rounded reciprocal.
    for (double v : {1.0, 7.0, 0.1, 123.456, -50.0})
        EXPECT_EQ(kphToMps(v), v / 3.6) << v;
}

TEST(UtilTest, TrigonometryGoesThroughRadians)
{
    EXPECT_NE(cosd(90.0), 0.0);
    EXPECT_NEAR(cosd(90.0), 6.1e-17, 1e-18);
    EXPECT_EQ(cosd(90.0), std::cos(degToRad(90.0)));
    EXPECT_EQ(sind(30.0), std::sin(degToRad(30.0)));
    EXPECT_EQ(tand(45.0), std::tan(degToRad(45.0)));
    EXPECT_EQ(sind(0.0), 0.0);
    EXPECT_EQ(cosd(0.0), 1.0);
}

TEST(UtilTest, InverseTrigonometry)
{
    EXPECT_TRUE(std::isnan(acosd(1.5)));
    EXPECT_TRUE(std::isnan(acosd(-1.5)));
    EXPECT_EQ(acosd(-1.0), 180.0);
    EXPECT_EQ(acosd(1.0), 0.0);
    EXPECT_EQ(atand(inf), 90.0);
    EXPECT_EQ(atand(-inf), -90.0);
    EXPECT_EQ(atand(0.5), radToDeg(std::atan(0.5)));
}

TEST(UtilTest, WrapTo360ShiftsNegativeAnglesByOneTurnOnly)
{
    EXPECT_EQ(wrapTo360(-90.0), 270.0);
    EXPECT_EQ(wrapTo360(-400.0), -40.0);
    EXPECT_EQ(wrapTo360(400.0), 400.0);
    EXPECT_EQ(wrapTo360(360.0), 360.0);
    EXPECT_EQ(wrapTo360(0.0), 0.0);
    EXPECT_TRUE(std::signbit(wrapTo360(-0.0)));
    EXPECT_TRUE(std::isnan(wrapTo360(notANumber)));
}

TEST(UtilTest, WrapTo180KeepsTheClosedRange)
{
    for (double deg : {-180.0, 180.0, 0.0, 179.5, -179.5, 90.0, 1e-300})
        EXPECT_EQ(wrapTo180(deg), deg) << deg;
    EXPECT_TRUE(std::signbit(wrapTo180(-0.0)));
    EXPECT_TRUE(std::isnan(wrapTo180(notANumber)));
}

TEST(UtilTest, WrapTo180WrapsOtherAnglesByWholeTurns)
{
    EXPECT_EQ(wrapTo180(190.0), -170.0);
    EXPECT_EQ(wrapTo180(-190.0), 170.0);
    EXPECT_EQ(wrapTo180(360.0), 0.0);
    EXPECT_EQ(wrapTo180(-360.0), 0.0);
    EXPECT_EQ(wrapTo180(725.0), 5.0);
    EXPECT_EQ(wrapTo180(-725.0), -5.0);
    EXPECT_EQ(wrapTo180(180.5), -179.5);
    EXPECT_EQ(wrapTo180(-180.5), 179.5);
    // An odd number of half turns: above the range gives -180, below gives 180.
    EXPECT_EQ(wrapTo180(540.0), -180.0);
    EXPECT_EQ(wrapTo180(-540.0), 180.0);
    // Large angles land in range without drifting.
    EXPECT_EQ(wrapTo180(3600.0 + 45.0), 45.0);
    EXPECT_TRUE(std::isnan(wrapTo180(inf)));
    EXPECT_TRUE(std::isnan(wrapTo180(-inf)));
}

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

// Each helper pinned to its last bit on an input where another order of
// operations (a stored reciprocal, a folded constant, divide first) gives a
// different double: the second column is that other order's result, which
// the pinned one must not equal. A change of formula or of its order shows
// up here, not only as a drift in the tracking output.
TEST(UtilTest, EachHelperKeepsItsOrderOfOperations)
{
    const struct
    {
        const char* name;
        double (*helper)(double);
        double input;
        double pinned;
        double otherOrder;
    } cases[] = {
        // (x * 180) / pi, not x * (180 / pi) nor x / (pi / 180).
        {"radToDeg", radToDeg, 0.1, 5.7295779513082321, 0.1 * (180.0 / pi)},
        {"radToDeg", radToDeg, 1.1, 63.025357464390567, 1.1 / (pi / 180.0)},
        {"radToDeg", radToDeg, 17.0, 974.02825172239955, 17.0 / (pi / 180.0)},
        // (x * pi) / 180, not x * (pi / 180) nor x / (180 / pi).
        {"degToRad", degToRad, 57.0, 0.99483767363676778, 57.0 * (pi / 180.0)},
        {"degToRad", degToRad, 17.0, 0.29670597283903605, 17.0 / (180.0 / pi)},
        // v * 3.6, not (v * 3600) / 1000.
        {"mpsToKph", mpsToKph, 0.1, 0.36000000000000004, (0.1 * 3600.0) / 1000.0},
        // v / 3.6, not v * (1 / 3.6) nor (v * 1000) / 3600.
        {"kphToMps", kphToMps, 0.7, 0.19444444444444442, 0.7 * (1.0 / 3.6)},
        {"kphToMps", kphToMps, 0.7, 0.19444444444444442, (0.7 * 1000.0) / 3600.0},
        // The trigonometry goes through degToRad and radToDeg.
        {"sind", sind, 57.0, 0.83867056794542394, std::sin(57.0 * (pi / 180.0))},
        {"cosd", cosd, 57.0, 0.5446390350150272, std::cos(57.0 * (pi / 180.0))},
        {"tand", tand, 57.0, 1.5398649638145827, std::tan(57.0 * (pi / 180.0))},
        {"acosd", acosd, 0.6, 53.13010235415598, std::acos(0.6) * (180.0 / pi)},
        {"atand", atand, 0.7, 34.992020198558656, std::atan(0.7) * (180.0 / pi)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << "(" << c.input << ")");
        EXPECT_EQ(c.helper(c.input), c.pinned);
        EXPECT_NE(c.pinned, c.otherOrder) << "the input does not tell the two orders apart";
    }
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

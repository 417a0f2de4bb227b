#include "detectiontestdata.h"
#include "engine/targettracking.h"

#include <gtest/gtest.h>

namespace trklib {
namespace {

using test::indicesOf;
using test::maximum;

constexpr int strong = -20; // dB, qualifies as a fundamental
constexpr int weak = -50;   // dB, never a fundamental

// Maxima with the given indices, all weak except the first, which gets
// `fundamentalAmplitude`.
QVector<RadarDataMax> maximaAfter(int fundamentalAmplitude, const QVector<int>& indices)
{
    QVector<RadarDataMax> maxima;
    for (int i = 0; i < indices.size(); ++i)
        maxima.append(maximum(indices[i], i == 0 ? fundamentalAmplitude : weak));
    return maxima;
}

QVector<int> afterHarmonics(QVector<RadarDataMax> maxima)
{
    const TargetTracking engine;
    engine.checkHarmonics(maxima);
    return indicesOf(maxima);
}

TEST(Harmonics, WindowsOfOrdersTwoToFiveAroundTheFundamental)
{
    const QVector<int> list{30, 59, 61, 62, 63, 90, 121};
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, list)), (QVector<int>{30, 63}));

    // Window edges: 2 x 30 +- 2 is [58, 62].
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, {30, 57, 58, 62, 63})),
              (QVector<int>{30, 57, 63}));
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, {30, 57, 63, 87, 93})),
              (QVector<int>{30, 57, 63, 87, 93}));
    // The fifth order is the last: 6 x 30 stays.
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, {30, 148, 150, 180})), (QVector<int>{30, 180}));
}

TEST(Harmonics, FundamentalNeedsAmplitudeAndDistanceFromZero)
{
    const QVector<int> list{30, 59, 61, 62, 63, 90, 121};
    EXPECT_EQ(afterHarmonics(maximaAfter(-30, list)), list);
    EXPECT_EQ(afterHarmonics(maximaAfter(-29, list)), (QVector<int>{30, 63}));

    const QVector<int> low{20, 40, 60, 80, 100};
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, low)), low);
    const QVector<int> lowNegative{-20, 40, -60, 80, 100};
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, lowNegative)), lowNegative);
}

TEST(Harmonics, SignOfTheIndexPlaysNoPart)
{
    const QVector<int> list{-21, 39, 40, -42, 44, 45, -63, 64, 84, -105, 106};
    EXPECT_EQ(afterHarmonics(maximaAfter(-29, list)), (QVector<int>{-21, 39, 45}));
}

TEST(Harmonics, EachOrderIsRemovedBeforeTheNextIsSearched)
{
    // Removing 60 and 61 shifts 90 and 91 to lower positions; the third
    // order must find them there and leave 95 alone.
    EXPECT_EQ(afterHarmonics(maximaAfter(strong, {30, 60, 61, 90, 91, 95})),
              (QVector<int>{30, 95}));
}

TEST(Harmonics, RemovedMaximumNeverActsAsAFundamental)
{
    // 50 is the second harmonic of 25 and strong enough to be a fundamental
    // itself; 150 is its third harmonic but only the sixth of 25.
    QVector<RadarDataMax> maxima{maximum(25, strong), maximum(50, -10), maximum(150, weak)};
    EXPECT_EQ(afterHarmonics(maxima), (QVector<int>{25, 150}));
}

TEST(Harmonics, EveryRemainingMaximumIsExamined)
{
    QVector<RadarDataMax> maxima{maximum(25, strong), maximum(40, strong), maximum(80, weak),
                                 maximum(81, weak),   maximum(120, weak),  maximum(126, weak)};
    // 25 removes 126 (fifth order); 40 then removes 80, 81 and 120.
    EXPECT_EQ(afterHarmonics(maxima), (QVector<int>{25, 40}));
}

TEST(Harmonics, EmptyAndSingleListsStay)
{
    EXPECT_TRUE(afterHarmonics({}).isEmpty());
    EXPECT_EQ(afterHarmonics({maximum(30, strong)}), QVector<int>{30});
}

class DuplicateMaxima : public ::testing::Test
{
protected:
    TargetTracking engine;
    const double tolMps = 1.0 / 3.6; // 1 km/h
};

TEST_F(DuplicateMaxima, LowerIndexDuplicatesAreRemoved)
{
    QVector<RadarDataMax> maxima{maximum(3, weak, 50.0, 5.0), maximum(4, weak, 51.9, 5.27),
                                 maximum(20, weak, 80.0, 5.0), maximum(5, weak, 48.1, 4.73)};
    EXPECT_TRUE(engine.removeDupMaxs(maxima, maximum(9, weak, 50.0, 5.0)));
    EXPECT_EQ(indicesOf(maxima), QVector<int>{20});

    QVector<RadarDataMax> none;
    EXPECT_TRUE(engine.removeDupMaxs(none, maximum(9, weak)));
}

TEST_F(DuplicateMaxima, EqualOrHigherIndexDuplicateKeepsTheList)
{
    QVector<RadarDataMax> maxima{maximum(2, weak, 90.0), maximum(6, weak, 50.5)};
    EXPECT_FALSE(engine.removeDupMaxs(maxima, maximum(6, weak, 50.0)));
    EXPECT_EQ(indicesOf(maxima), (QVector<int>{2, 6}));

    // Removals made before the higher index is met stay made.
    maxima = {maximum(5, weak, 50.0), maximum(7, weak, 50.0), maximum(4, weak, 50.0)};
    EXPECT_FALSE(engine.removeDupMaxs(maxima, maximum(6, weak, 50.0)));
    EXPECT_EQ(indicesOf(maxima), (QVector<int>{7, 4}));

    // Indices compare as signed numbers.
    maxima = {maximum(-3, weak, 50.0), maximum(-1, weak, 50.0)};
    EXPECT_FALSE(engine.removeDupMaxs(maxima, maximum(-2, weak, 50.0)));
    EXPECT_EQ(indicesOf(maxima), QVector<int>{-1});
}

TEST_F(DuplicateMaxima, ToleranceBoundsAreExclusive)
{
    const RadarDataMax max = maximum(9, weak, 10.0, tolMps);
    QVector<RadarDataMax> maxima{maximum(1, weak, 10.0, 0.0), maximum(2, weak, 10.0, 2 * tolMps),
                                 maximum(3, weak, 12.0, tolMps), maximum(4, weak, 8.0, tolMps)};
    EXPECT_TRUE(engine.removeDupMaxs(maxima, max));
    EXPECT_EQ(indicesOf(maxima), (QVector<int>{1, 2, 3, 4}));

    maxima = {maximum(1, weak, 11.999, 0.001), maximum(2, weak, 8.001, 2 * tolMps - 0.001)};
    EXPECT_TRUE(engine.removeDupMaxs(maxima, max));
    EXPECT_TRUE(maxima.isEmpty());
}

} // namespace
} // namespace trklib

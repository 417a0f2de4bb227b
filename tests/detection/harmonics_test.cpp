#include "engine/targettracking.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace trklib {
namespace {

constexpr int strongDb = -20; // qualifies as a fundamental
constexpr int weakDb = -50;   // never a fundamental

// Only index, amplitude, distance and velocity matter to these stages.
RadarDataMax maximum(int index, int amplitude, double distance = 50.0, double relVelocity = 5.0)
{
    return RadarDataMax{index, amplitude, distance, 0.0, 0.0, relVelocity};
}

QVector<int> indicesOf(const QVector<RadarDataMax>& maxima)
{
    QVector<int> indices;
    for (const RadarDataMax& m : maxima)
        indices.append(m.index);
    return indices;
}

// Maxima at the given indices: the first with `firstDb`, the others weak.
QVector<RadarDataMax> chain(int firstDb, const QVector<int>& indices)
{
    QVector<RadarDataMax> maxima;
    for (int i = 0; i < indices.size(); ++i)
        maxima.append(maximum(indices[i], i == 0 ? firstDb : weakDb));
    return maxima;
}

TEST(Harmonics, RemovesTheHarmonicsOfEachFundamental)
{
    struct Case
    {
        const char* what;
        QVector<RadarDataMax> maxima;
        QVector<int> expected;
    };
    const QVector<int> list{30, 59, 61, 62, 63, 90, 121};
    const QVector<int> low{20, 40, 60, 80, 100};
    const QVector<int> lowNegative{-20, 40, -60, 80, 100};
    const Case cases[] = {
        {"orders two to five", chain(strongDb, list), {30, 63}},
        {"window 2 x 30 +- 2 is [58, 62]", chain(strongDb, {30, 57, 58, 62, 63}), {30, 57, 63}},
        {"window 3 x 30 +- 2", chain(strongDb, {30, 57, 63, 87, 93}), {30, 57, 63, 87, 93}},
        {"the fifth order is the last", chain(strongDb, {30, 148, 150, 180}), {30, 180}},
        {"-30 dB is too weak", chain(-30, list), list},
        {"-29 dB is strong enough", chain(-29, list), {30, 63}},
        {"index 20 is too close to zero", chain(strongDb, low), low},
        {"index -20 is too close to zero", chain(strongDb, lowNegative), lowNegative},
        {"the sign of an index plays no part",
         chain(-29, {-21, 39, 40, -42, 44, 45, -63, 64, 84, -105, 106}),
         {-21, 39, 45}},
        // Removing 60 and 61 moves 90 and 91 to lower positions; the third
        // order must still find them and leave 95.
        {"each order is removed before the next is searched",
         chain(strongDb, {30, 60, 61, 90, 91, 95}),
         {30, 95}},
        // 50 is strong, but as the second harmonic of 25 it is gone before
        // it could remove 150, its third harmonic (the sixth of 25).
        {"a removed maximum never acts as a fundamental",
         {maximum(25, strongDb), maximum(50, -10), maximum(150, weakDb)},
         {25, 150}},
        // 25 removes 126 (fifth order); 40 then removes 80, 81 and 120.
        {"every remaining maximum is examined",
         {maximum(25, strongDb), maximum(40, strongDb), maximum(80, weakDb), maximum(81, weakDb),
          maximum(120, weakDb), maximum(126, weakDb)},
         {25, 40}},
        {"empty list", {}, {}},
        {"single maximum", chain(strongDb, {30}), {30}},
    };
    const TargetTracking engine;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<RadarDataMax> maxima = c.maxima;
        engine.checkHarmonics(maxima);
        EXPECT_EQ(indicesOf(maxima), c.expected);
    }
}

// The rule written out as it reads: walk the list, and for each strong
// maximum still there remove every later one inside one of its windows.
QVector<int> byTheRule(QVector<RadarDataMax> maxima)
{
    for (int i = 0; i < maxima.size(); ++i) {
        const int k = std::abs(maxima[i].index);
        if (maxima[i].amplitude < -29 || k <= 20)
            continue;
        for (int h = 2; h <= 5; ++h) {
            for (int j = maxima.size() - 1; j > i; --j) {
                if (std::abs(std::abs(maxima[j].index) - h * k) <= 2)
                    maxima.remove(j);
            }
        }
    }
    return indicesOf(maxima);
}

// A packet's maxima (ascending cell, either sign) are thinned through a
// binary search for each window. That must remove what the rule removes, on
// lists crowded with fundamentals, harmonics of harmonics and windows that
// overlap. (A list in another order is walked as it always was.)
TEST(Harmonics, EveryPacketListAsTheRuleReads)
{
    std::mt19937 random(5);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        QVector<int> cells;
        for (int cell = 1; cell < 1024; ++cell) {
            if (random() % (2 + round % 10) == 0)
                cells.append(cell);
        }
        QVector<RadarDataMax> maxima;
        for (int cell : cells)
            maxima.append(
                maximum(random() % 2 ? cell : -cell, random() % 3 == 0 ? strongDb : weakDb));
        const QVector<int> expected = byTheRule(maxima);
        TargetTracking().checkHarmonics(maxima);
        EXPECT_EQ(indicesOf(maxima), expected);
    }
}

TEST(DuplicateMaxima, RemovesLowerIndexDuplicatesUntilAnEqualOrHigherIndex)
{
    constexpr double tolMps = 1.0 / 3.6; // 1 km/h
    const auto m = [](int index, double distance, double relVelocity = 5.0) {
        return maximum(index, weakDb, distance, relVelocity);
    };
    struct Case
    {
        const char* what;
        QVector<RadarDataMax> maxima;
        RadarDataMax max;
        bool keepsMax;
        QVector<int> expected;
    };
    const Case cases[] = {
        {"within 2 m and 1 km/h, lower index",
         {m(3, 50.0), m(4, 51.9, 5.27), m(20, 80.0), m(5, 48.1, 4.73)},
         m(9, 50.0),
         true,
         {20}},
        {"empty list", {}, m(9, 50.0), true, {}},
        {"equal index", {m(2, 90.0), m(6, 50.5)}, m(6, 50.0), false, {2, 6}},
        // Removals made before the higher index is met stay made.
        {"higher index", {m(5, 50.0), m(7, 50.0), m(4, 50.0)}, m(6, 50.0), false, {7, 4}},
        {"indices compare as signed numbers", {m(-3, 50.0), m(-1, 50.0)}, m(-2, 50.0), false, {-1}},
        {"tolerance bounds are exclusive",
         {m(1, 10.0, 0.0), m(2, 10.0, 2 * tolMps), m(3, 12.0, tolMps), m(4, 8.0, tolMps)},
         m(9, 10.0, tolMps),
         true,
         {1, 2, 3, 4}},
        {"just inside the bounds",
         {m(1, 11.999, 0.001), m(2, 8.001, 2 * tolMps - 0.001)},
         m(9, 10.0, tolMps),
         true,
         {}},
    };
    const TargetTracking engine;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<RadarDataMax> maxima = c.maxima;
        EXPECT_EQ(engine.removeDupMaxs(maxima, c.max), c.keepsMax);
        EXPECT_EQ(indicesOf(maxima), c.expected);
    }
}

} // namespace
} // namespace trklib

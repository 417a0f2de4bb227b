#include "detectiontestdata.h"
#include "engine/targettracking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace trklib {
namespace {

using test::cellsWithAmplitudes;
using test::indicesOf;

constexpr int noise = -128; // dB, far below the detection threshold

class MaximumSearch : public ::testing::Test
{
protected:
    QVector<int> maxima(const QVector<int>& amplitudes, int threshold) const
    {
        return engine.getMaxAmplitudeIndices(cellsWithAmplitudes(amplitudes), threshold);
    }

    TargetTracking engine;
};

TEST_F(MaximumSearch, FlatTopsAndBothEndsOfTheArray)
{
    EXPECT_EQ(maxima({-75, -60, -60, -80}, -70), (QVector<int>{1, 2}));
    EXPECT_EQ(maxima({-60, -65, -50}, -70), (QVector<int>{0, 2}));
    EXPECT_EQ(maxima({5, 5}, 0), (QVector<int>{0, 1}));
    EXPECT_EQ(maxima({-40}, -70), (QVector<int>{0}));
    EXPECT_EQ(maxima({-50, -50, -50, -50}, -70), (QVector<int>{0, 1, 2, 3}));
    // A slope has its maximum at the high end only.
    EXPECT_EQ(maxima({-69, -60, -50, -40}, -70), (QVector<int>{3}));
    EXPECT_EQ(maxima({-40, -50, -60, -69}, -70), (QVector<int>{0}));
}

TEST_F(MaximumSearch, ThresholdIsInclusive)
{
    EXPECT_EQ(maxima({-80, -70, -80, -71, -80}, -70), (QVector<int>{1}));
    EXPECT_TRUE(maxima({-80, -71, -80, -71, -80}, -70).isEmpty());
    // A flat top below the threshold next to a maximum above it.
    EXPECT_EQ(maxima({-75, -75, -60, -90}, -70), (QVector<int>{2}));
    EXPECT_TRUE(maxima({}, -70).isEmpty());
}

class Rectification : public ::testing::Test
{
protected:
    static QVector<RadarData> lowCells(int count)
    {
        return cellsWithAmplitudes(QVector<int>(count, noise));
    }

    TargetTracking engine;
};

TEST_F(Rectification, ThresholdIsSeventyBelowZero)
{
    ASSERT_EQ(engine.snrThreshold(), 10.0);
    ASSERT_EQ(engine.noiseLevel(), -80.0);
    QVector<RadarData> cells = lowCells(8);
    cells[2].amplitude = -70;
    cells[5].amplitude = -71;
    EXPECT_EQ(indicesOf(engine.rectifyData(cells)), QVector<int>{2});

    cells[2].amplitude = -71;
    EXPECT_TRUE(engine.rectifyData(cells).isEmpty());
    EXPECT_TRUE(engine.rectifyData({}).isEmpty());
}

TEST_F(Rectification, CopiesTheCellAndConvertsItsVelocity)
{
    QVector<RadarData> cells = lowCells(8);
    cells[3] = RadarData{-3, -20, double(123.4f), double(-1.7f), double(8.9f), -36.0};
    cells[6] = RadarData{6, -45, double(77.7f), 2.0, -3.0, double(50.3f)};

    const QVector<RadarDataMax> result = engine.rectifyData(cells);

    ASSERT_EQ(result.size(), 2);
    EXPECT_EQ(result[0].index, -3);
    EXPECT_EQ(result[0].amplitude, -20);
    EXPECT_EQ(result[0].distance, double(123.4f));
    EXPECT_EQ(result[0].elevation, double(-1.7f));
    EXPECT_EQ(result[0].azimuth, double(8.9f));
    EXPECT_EQ(result[0].relVelocity, -10.0);
    EXPECT_EQ(result[1].index, 6);
    EXPECT_EQ(result[1].relVelocity, double(50.3f) / 3.6);
}

TEST_F(Rectification, PanOffsetIsAddedToTheAzimuthOnly)
{
    engine.radarConfig() = RadarConfig{7.0, 20.0, 5.0, 2.5, 0};
    QVector<RadarData> cells = lowCells(8);
    cells[2] = RadarData{2, -30, 40.0, 1.25, 10.0, 30.0};
    cells[5] = RadarData{5, -30, 40.0, 1.25, double(0.1f), 30.0};

    const QVector<RadarDataMax> result = engine.rectifyData(cells);

    ASSERT_EQ(result.size(), 2);
    EXPECT_EQ(result[0].azimuth, 12.5);
    EXPECT_EQ(result[0].elevation, 1.25);
    EXPECT_EQ(result[0].distance, 40.0);
    EXPECT_EQ(result[1].azimuth, double(0.1f) + 2.5);
}

TEST_F(Rectification, MaximumInCellZeroNeverReachesTheOutput)
{
    QVector<RadarData> cells = cellsWithAmplitudes({-20, -50, -40, -60});
    EXPECT_EQ(indicesOf(engine.rectifyData(cells)), QVector<int>{2});

    // A flat top over cells 0 and 1 loses cell 0 only.
    cells = cellsWithAmplitudes({-20, -20, -60, noise});
    EXPECT_EQ(indicesOf(engine.rectifyData(cells)), QVector<int>{1});

    // Cell 0 keeps index 0 whatever its velocity, and is dropped all the same.
    cells = cellsWithAmplitudes({-20, -50, -60});
    cells[0].relVelocity = -30.0;
    EXPECT_TRUE(engine.rectifyData(cells).isEmpty());
}

TEST_F(Rectification, ZeroVelocityCellsAreDroppedAfterTheSearch)
{
    QVector<RadarData> cells = lowCells(12);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    cells[2] = RadarData{2, -30, 20.0, 0.0, 0.0, 0.0};
    cells[4] = RadarData{4, -30, 40.0, 0.0, 0.0, -0.0};
    cells[6] = RadarData{-6, -30, 60.0, 0.0, 0.0, double(-0.01f)};
    cells[8] = RadarData{8, -30, 80.0, 0.0, 0.0, nan};
    cells[10] = RadarData{10, -30, 100.0, 0.0, 0.0, 0.01};

    const QVector<RadarDataMax> result = engine.rectifyData(cells);

    ASSERT_EQ(indicesOf(result), (QVector<int>{-6, 8, 10}));
    EXPECT_EQ(result[0].relVelocity, double(-0.01f) / 3.6);
    EXPECT_NEAR(result[0].relVelocity, -0.00278, 1e-5);
    EXPECT_TRUE(std::isnan(result[1].relVelocity));

    // A higher zero-velocity neighbour still hides a maximum: the velocity
    // filter runs on the positions found, not on the cells searched.
    cells = lowCells(6);
    cells[2] = RadarData{2, -40, 20.0, 0.0, 0.0, 15.0};
    cells[3] = RadarData{3, -30, 30.0, 0.0, 0.0, 0.0};
    EXPECT_TRUE(engine.rectifyData(cells).isEmpty());
}

TEST(SubCellEstimate, InterpolationRules)
{
    const TargetTracking engine;
    const auto estimate = [&](int cell, int center, int left, int right) {
        return engine.estimateByAmplitudeVessik(cell, center, left, right);
    };
    EXPECT_EQ(estimate(10, 20, 14, 14), 10.0);
    EXPECT_EQ(estimate(10, 20, 20, 14), 9.5);
    EXPECT_EQ(estimate(10, 20, 14, 20), 10.5);
    EXPECT_EQ(estimate(-10, 20, 14, 20), -10.5);
    EXPECT_EQ(estimate(-10, 20, 20, 14), -9.5);
    EXPECT_EQ(estimate(10, 20, -3, -1), 10.0);
    EXPECT_DOUBLE_EQ(estimate(10, 20, 20, -1), 9.95);
    EXPECT_DOUBLE_EQ(estimate(10, 20, -1, 20), 10.05);
    EXPECT_DOUBLE_EQ(estimate(-10, 20, -1, 14), -10.0 + -0.5 * std::pow(10.0, -14.0 / 20.0));
    EXPECT_EQ(estimate(0, 20, 20, 14), 0.0);
    EXPECT_EQ(estimate(0, 20, 15, 17), 0.0);
    // Level differences are divided by 20 in floating point.
    EXPECT_DOUBLE_EQ(estimate(10, 20, 15, 17),
                     10.0 + 0.5 * (std::pow(10.0, -3.0 / 20.0) - std::pow(10.0, -5.0 / 20.0)));
    // A level of exactly 0 is neither above nor below the noise level.
    EXPECT_DOUBLE_EQ(estimate(10, 20, 0, -3),
                     10.0 + 0.5 * (std::pow(10.0, -23.0 / 20.0) - std::pow(10.0, -20.0 / 20.0)));
}

TEST(SubCellEstimate, UsesTheNeighboursAboveTheNoiseLevel)
{
    const TargetTracking engine;
    QVector<RadarData> cells = cellsWithAmplitudes(QVector<int>(16, noise));
    cells[9].amplitude = -50;
    cells[10].amplitude = -50;
    cells[11].amplitude = -60;
    // Levels 30, 30 (left, lower position) and 20 (right): half a cell down.
    EXPECT_EQ(engine.estimateByAmplitude(cells, 10), 9.5);
    cells[10].index = -10;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 10), -9.5);

    cells[9].amplitude = -90;
    cells[11].amplitude = -85;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 10), -10.0);

    cells[9].amplitude = -62;
    cells[11].amplitude = -55;
    EXPECT_DOUBLE_EQ(
        engine.estimateByAmplitude(cells, 10),
        -10.0 + -0.5 * (std::pow(10.0, (25 - 30) / 20.0) - std::pow(10.0, (18 - 30) / 20.0)));
}

TEST(SubCellEstimate, FirstCellsAndLastCellKeepTheirIndex)
{
    const TargetTracking engine;
    QVector<RadarData> cells = cellsWithAmplitudes(QVector<int>(16, -60));
    // Unequal neighbours, so that an interpolation would move the estimate.
    cells[0].amplitude = -20;
    cells[2].amplitude = -30;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 0), 0.0);
    EXPECT_EQ(engine.estimateByAmplitude(cells, 1), 1.0);
    cells[1].index = -1;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 1), -1.0);
    cells[14].amplitude = -20;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 15), 15.0);
    cells[15].index = -15;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 15), -15.0);
}

} // namespace
} // namespace trklib

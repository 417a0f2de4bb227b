#include "engine/targettracking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace trklib {
namespace {

constexpr int noiseDb = -128; // far below the detection threshold

// Cells 0, 1, 2, ... with the given amplitudes, 10 m apart and all at
// 20 km/h, so that only the amplitudes decide the maximum search.
QVector<RadarData> cellsWithAmplitudes(const QVector<int>& amplitudes)
{
    QVector<RadarData> cells;
    for (int i = 0; i < amplitudes.size(); ++i)
        cells.append(RadarData{i, amplitudes[i], 10.0 * i, 1.5, -4.0, 20.0});
    return cells;
}

QVector<int> indicesOf(const QVector<RadarDataMax>& maxima)
{
    QVector<int> indices;
    for (const RadarDataMax& m : maxima)
        indices.append(m.index);
    return indices;
}

QVector<RadarData> lowCells(int count)
{
    return cellsWithAmplitudes(QVector<int>(count, noiseDb));
}

TEST(MaximumSearch, FlatTopsEndsAndInclusiveThreshold)
{
    struct Case
    {
        QVector<int> amplitudes;
        int threshold;
        QVector<int> expected;
    };
    const Case cases[] = {
        {{-75, -60, -60, -80}, -70, {1, 2}},
        {{-60, -65, -50}, -70, {0, 2}},
        {{5, 5}, 0, {0, 1}},
        {{-40}, -70, {0}},
        {{-50, -50, -50, -50}, -70, {0, 1, 2, 3}},
        {{-69, -60, -50, -40}, -70, {3}}, // a slope peaks at its high end only
        {{-40, -50, -60, -69}, -70, {0}},
        {{-80, -70, -80, -71, -80}, -70, {1}},
        {{-80, -71, -80, -71, -80}, -70, {}},
        {{-75, -75, -60, -90}, -70, {2}}, // flat top below the threshold
        {{}, -70, {}},
    };
    const TargetTracking engine;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.amplitudes));
        EXPECT_EQ(engine.getMaxAmplitudeIndices(cellsWithAmplitudes(c.amplitudes), c.threshold),
                  c.expected);
    }
}

class Rectification : public ::testing::Test
{
protected:
    TargetTracking engine;
};

// The threshold is the noise level plus the signal-to-noise margin, -70 dB,
// and a maximum in cell 0 never reaches the output, whatever its velocity.
TEST_F(Rectification, KeepsMaximaFromSeventyBelowZeroExceptInCellZero)
{
    const struct
    {
        QVector<int> amplitudes;
        QVector<int> expected;
    } cases[] = {
        {{noiseDb, noiseDb, -70, noiseDb, noiseDb, -71, noiseDb}, {2}},
        {{noiseDb, noiseDb, -71, noiseDb, noiseDb, -71, noiseDb}, {}},
        {{}, {}},
        {{-20, -50, -40, -60}, {2}},
        {{-20, -20, -60, noiseDb}, {1}}, // a flat top over cells 0 and 1 loses cell 0 only
        {{-20, -50, -60}, {}},
    };
    for (const auto& c : cases) {
        for (double cellZeroKph : {20.0, -30.0}) {
            SCOPED_TRACE(::testing::PrintToString(c.amplitudes) + " at " +
                         std::to_string(cellZeroKph));
            QVector<RadarData> cells = cellsWithAmplitudes(c.amplitudes);
            if (!cells.isEmpty())
                cells[0].relVelocity = cellZeroKph;
            EXPECT_EQ(indicesOf(engine.rectifyData(cells)), c.expected);
        }
    }
}

TEST_F(Rectification, CopiesTheCellAddsThePanOffsetAndConvertsTheVelocity)
{
    engine.radarConfig() = RadarConfig{7.0, 20.0, 5.0, 2.5, 0};
    QVector<RadarData> cells = lowCells(8);
    cells[3] = RadarData{-3, -20, double(123.4f), double(-1.7f), double(8.9f), -36.0};
    cells[6] = RadarData{6, -45, double(77.7f), 1.25, 10.0, double(50.3f)};

    const QVector<RadarDataMax> result = engine.rectifyData(cells);

    ASSERT_EQ(result.size(), 2);
    EXPECT_EQ(result[0].index, -3);
    EXPECT_EQ(result[0].amplitude, -20);
    EXPECT_EQ(result[0].distance, double(123.4f));
    EXPECT_EQ(result[0].elevation, double(-1.7f));
    EXPECT_EQ(result[0].azimuth, double(8.9f) + 2.5);
    EXPECT_EQ(result[0].relVelocity, -10.0);
    EXPECT_EQ(result[1].index, 6);
    EXPECT_EQ(result[1].elevation, 1.25);
    EXPECT_EQ(result[1].azimuth, 12.5);
    EXPECT_EQ(result[1].relVelocity, double(50.3f) / 3.6);
}

TEST_F(Rectification, ZeroVelocityCellsAreDroppedAfterTheSearch)
{
    QVector<RadarData> cells = lowCells(12);
    cells[2] = RadarData{2, -30, 20.0, 0.0, 0.0, 0.0};
    cells[4] = RadarData{4, -30, 40.0, 0.0, 0.0, -0.0};
    cells[6] = RadarData{-6, -30, 60.0, 0.0, 0.0, double(-0.01f)};
    cells[8] = RadarData{8, -30, 80.0, 0.0, 0.0, std::numeric_limits<double>::quiet_NaN()};
    cells[10] = RadarData{10, -30, 100.0, 0.0, 0.0, 0.01};

    const QVector<RadarDataMax> result = engine.rectifyData(cells);

    ASSERT_EQ(indicesOf(result), (QVector<int>{-6, 8, 10}));
    EXPECT_EQ(result[0].relVelocity, double(-0.01f) / 3.6);
    EXPECT_TRUE(std::isnan(result[1].relVelocity));

    // The velocity filter runs on the maxima found, not on the cells
    // searched: a higher zero-velocity neighbour still hides a maximum.
    cells = lowCells(6);
    cells[2] = RadarData{2, -40, 20.0, 0.0, 0.0, 15.0};
    cells[3] = RadarData{3, -30, 30.0, 0.0, 0.0, 0.0};
    EXPECT_TRUE(engine.rectifyData(cells).isEmpty());
}

TEST(SubCellEstimate, InterpolationRules)
{
    struct Case
    {
        int cell, center, left, right;
        double expected;
        bool exact; // otherwise to four units in the last place
    };
    const auto level = [](int db) { return std::pow(10.0, db / 20.0); };
    const Case cases[] = {
        {10, 20, 14, 14, 10.0, true},
        {10, 20, 20, 14, 9.5, true},
        {10, 20, 14, 20, 10.5, true},
        {-10, 20, 14, 20, -10.5, true},
        {-10, 20, 20, 14, -9.5, true},
        {10, 20, -3, -1, 10.0, true},
        {10, 20, 20, -1, 9.95, false},
        {10, 20, -1, 20, 10.05, false},
        {-10, 20, -1, 14, -10.0 + -0.5 * level(-14), false},
        {0, 20, 20, 14, 0.0, true},
        {0, 20, 15, 17, 0.0, true},
        // Level differences are divided by 20 in floating point.
        {10, 20, 15, 17, 10.0 + 0.5 * (level(-3) - level(-5)), false},
        // A level of exactly 0 is neither above nor below the noise level.
        {10, 20, 0, -3, 10.0 + 0.5 * (level(-23) - level(-20)), false},
    };
    const TargetTracking engine;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "cell " << c.cell << " levels " << c.left << ' '
                                          << c.center << ' ' << c.right);
        const double estimate = engine.estimateByAmplitudeVessik(c.cell, c.center, c.left, c.right);
        if (c.exact)
            EXPECT_EQ(estimate, c.expected);
        else
            EXPECT_DOUBLE_EQ(estimate, c.expected);
    }
}

// Neighbours count with their level above the noise level; the first two
// cells and the last keep their index.
TEST(SubCellEstimate, FromTheCellsNeighbours)
{
    const TargetTracking engine;
    QVector<RadarData> cells = lowCells(16);
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

    // Unequal neighbours, so that an interpolation would move the estimate.
    cells = cellsWithAmplitudes(QVector<int>(16, -60));
    cells[0].amplitude = -20;
    cells[2].amplitude = -30;
    cells[14].amplitude = -20;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 0), 0.0);
    EXPECT_EQ(engine.estimateByAmplitude(cells, 1), 1.0);
    EXPECT_EQ(engine.estimateByAmplitude(cells, 15), 15.0);
    cells[1].index = -1;
    cells[15].index = -15;
    EXPECT_EQ(engine.estimateByAmplitude(cells, 1), -1.0);
    EXPECT_EQ(engine.estimateByAmplitude(cells, 15), -15.0);
}

} // namespace
} // namespace trklib

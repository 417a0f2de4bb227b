#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace trklib {
namespace {

using test::makeCandidate;
using test::noiseLevelDb;

TEST(CandidateConstruction, MirrorsDetectionBelowGroundLine)
{
    RadarConfig config{-4.0, 1.0, 5.0, 0.0, 0};
    const RadarDataMax max{-120, -50, 50.0, -6.0, 1.5, -3.0};
    const Candidate c(&config, max, noiseLevelDb);

    const double tilted = max.elevation + config.tilt; // -10
    const double ground = -util::atand(config.height / (max.distance * util::cosd(tilted)));
    EXPECT_EQ(c.elevation, (ground + ground) - tilted);
    EXPECT_NEAR(c.elevation, -1.596, 1e-3);
    EXPECT_EQ(c.azimuth, config.pan + max.azimuth);
    EXPECT_EQ(c.absVelocity, -3.0 / (util::cosd(c.elevation) * util::cosd(c.azimuth)));
}

TEST(CandidateConstruction, MirrorsOnlyStrictlyBelowGroundLine)
{
    struct Case
    {
        double tiltDeg, heightM, maxElevationDeg, expectedDeg;
    };
    const Case cases[] = {
        {2.0, 5.0, -7.0, -5.0}, // above the ground line at -5.71
        {0.0, 0.0, -3.0, 3.0},  // height 0: every negative elevation is mirrored
        {0.0, 0.0, 0.0, 0.0},
        {0.0, 0.0, 2.5, 2.5},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.maxElevationDeg);
        RadarConfig config{k.tiltDeg, 0.0, k.heightM, 0.0, 0};
        const Candidate c(&config, RadarDataMax{7, -50, 50.0, k.maxElevationDeg, 0.0, 1.0},
                          noiseLevelDb);
        EXPECT_EQ(c.elevation, k.expectedDeg);
    }
}

TEST(CandidateGates, ComeFromOwnSignalToNoiseRatioAndRange)
{
    Candidate c = makeCandidate(nullptr, 10, -70, 50.0, 0.0);
    double distanceError = 0, elevationError = 0, azimuthError = 0;
    c.getCoordErrors(distanceError, elevationError, azimuthError);
    EXPECT_EQ(distanceError, 10.0);
    EXPECT_EQ(elevationError, 4.0);
    EXPECT_EQ(azimuthError, 3.5);
}

TEST(CandidatePredict, MovesAtConstantRadialVelocityKeepingVelocities)
{
    RadarConfig config{0.0, 0.0, 5.0, 0.0, 0};
    Candidate c = makeCandidate(&config, -300, -40, 100.0, -10.0, 5.0, 1.0);
    c.relVelocity = -10.0;
    const Candidate before = c;

    c.predict(0);
    EXPECT_EQ(c.distance, before.distance);
    EXPECT_EQ(c.elevation, before.elevation);
    EXPECT_EQ(c.azimuth, before.azimuth);

    c.predict(100);
    const double ds = (double(100) / 1000) * before.relVelocity;
    const double d1 = before.distance + ds;
    EXPECT_EQ(c.distance, d1);
    EXPECT_EQ(c.elevation, util::radToDeg(((0.5 - config.height) * (before.distance - d1)) /
                                          (before.distance * d1)) +
                               before.elevation);
    EXPECT_EQ(c.azimuth, before.azimuth * (1.0 - ds / before.distance));
    EXPECT_NEAR(c.distance, 99.0, 1e-12);
    EXPECT_NEAR(c.azimuth, 5.05, 1e-12);
    EXPECT_NEAR(before.elevation - c.elevation, 0.02604, 1e-5);
    EXPECT_EQ(c.absVelocity, before.absVelocity);
    EXPECT_EQ(c.relVelocity, before.relVelocity);
}

TEST(CandidateRcs, WeightsAnglesByOrientation)
{
    RadarConfig config{3.0, -7.0, 2.0, 0.0, 0};
    EXPECT_EQ(makeCandidate(&config, 50, -50, 100.0, 1.0, -7.0, 3.0).calculateRcs(), 3.0);

    config = RadarConfig{1.0, 2.0, 2.0, 0.0, 0};
    // Elevation 4 degrees and azimuth 2 degrees off boresight.
    const Candidate c = makeCandidate(&config, 50, -50, 100.0, 1.0, 4.0, 5.0);
    const double a = c.elevation - config.tilt;
    const double b = c.azimuth - config.pan;
    const double range = 20 * std::log10(c.distance);
    const double horizontal = range + double(c.amplitude) + 0.1 * b * b + 0.05 * a * a + 13.0;
    const double vertical = range + double(c.amplitude) + 0.1 * a * a + 0.05 * b * b + 13.0;

    EXPECT_DOUBLE_EQ(c.calculateRcs(), horizontal);
    EXPECT_NEAR(c.calculateRcs(), 4.2, 1e-12);
    config.orientation = 1; // seen by the existing candidate through its pointer
    EXPECT_DOUBLE_EQ(c.calculateRcs(), vertical);
    EXPECT_NEAR(c.calculateRcs(), 4.8, 1e-12);
    config.orientation = 2; // anything but 1 is horizontal
    EXPECT_DOUBLE_EQ(c.calculateRcs(), horizontal);
}

TEST(CandidateMainIndex, ClosestVelocityWithinThreeDecibelsTiesToStrongestThenEarliest)
{
    struct Case
    {
        QVector<qint32> amplitudes;
        QVector<double> velocities; // own velocity is 10
        int expected;
    };
    const Case cases[] = {
        {{-40, -42, -44}, {13.0, 11.0, 10.5}, 1}, // -44 is 4 dB down: not considered
        {{-40, -43, -44}, {13.0, 9.0, 10.5}, 1},  // 3 dB down still counts
        {{-40, -43, -43}, {13.0, 11.0, 10.5}, 2},
        {{-41, -45, -40}, {11.0, 10.0, 9.0}, 2}, // equal difference: strongest stays
        {{-40, -40}, {11.0, 9.0}, 0},            // first of equally strong is strongest
        {{-40, -40}, {12.0, 9.0}, 1},
        {{-42, -40, -41}, {11.0, 12.0, 9.0}, 0}, // equal better ones: earlier wins
        {{-90}, {-50.0}, 0},
        {{}, {}, 0},
    };
    const Candidate self = makeCandidate(nullptr, 100, -40, 50.0, 10.0);
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        QVector<Candidate> list;
        for (int i = 0; i < k.amplitudes.size(); ++i)
            list.append(makeCandidate(nullptr, 100 + i, k.amplitudes[i], 50.0, k.velocities[i]));
        EXPECT_EQ(self.getMainIndex(list), k.expected);
    }
}

TEST(CandidateKalman, BlendsDistanceAndAveragesRadialVelocity)
{
    const Candidate measurement = makeCandidate(nullptr, 90, -30, 110.0, 0.0, 2.0, 3.0);
    for (int n : {0, 1, 2, 3}) {
        Candidate c = makeCandidate(nullptr, 100, -40, 100.0, 10.0, 1.0, 0.5);
        c.kalman(measurement, n);
        const double gain = (0.1 * n + 1) / (n + 1);
        EXPECT_EQ(c.distance, 100.0 + gain * (measurement.distance - 100.0)) << "n " << n;
    }

    Candidate c = makeCandidate(nullptr, 100, -40, 100.0, 0.0, 1.0, 0.5);
    c.relVelocity = 10.0;
    Candidate other = measurement;
    other.relVelocity = 12.0;
    c.kalman(other, 1);
    EXPECT_NEAR(c.distance, 105.5, 1e-12);
    EXPECT_EQ(c.relVelocity, 11.0);
    EXPECT_EQ(c.absVelocity, 11.0 / (util::cosd(0.5) * util::cosd(1.0)));
    EXPECT_EQ(c.elevation, 0.5);
    EXPECT_EQ(c.azimuth, 1.0);
    EXPECT_EQ(c.index, 100);
}

TEST(CandidateRefine, BlendsMainMeasurementAndTakesItsIndex)
{
    Candidate c = makeCandidate(nullptr, 100, -40, 100.0, 10.0);
    // Entry 1 is within 3 dB and closer in velocity.
    const QVector<Candidate> list = {makeCandidate(nullptr, 104, -40, 104.0, 12.0),
                                     makeCandidate(nullptr, 97, -42, 98.0, 10.5)};
    Candidate expected = c;
    expected.kalman(list[1], 1);
    c.refine(list);
    EXPECT_EQ(c.index, 97);
    EXPECT_EQ(c.distance, expected.distance);
}

TEST(CandidateSelect, GatesEachEntryWithItsOwnErrorsAtInclusiveBounds)
{
    // The selecting candidate is strong (its own distance gate would be 3.3 m);
    // the pool entries at -70 dB and 50 m have gates of 10 m, 4 deg and 3.5 deg.
    const Candidate self = makeCandidate(nullptr, 100, -20, 40.0, 1.0);
    const Candidate inside = makeCandidate(nullptr, 108, -70, 50.0, 1.0, 3.5, 4.0);
    const Candidate belowElevation = makeCandidate(nullptr, 92, -70, 50.0, 1.0, -3.5, -4.0);
    const Candidate indexOff = makeCandidate(nullptr, 109, -70, 50.0, 1.0);
    const Candidate distanceOff = makeCandidate(nullptr, 100, -70, 50.5, 1.0);
    const Candidate azimuthOff = makeCandidate(nullptr, 100, -70, 50.0, 1.0, 3.6);
    const Candidate elevationOff = makeCandidate(nullptr, 100, -70, 50.0, 1.0, 0.0, 4.5);
    const Candidate notANumber =
        makeCandidate(nullptr, 100, -70, std::numeric_limits<double>::quiet_NaN(), 1.0);

    QVector<Candidate> pool = {indexOff,       inside,       distanceOff, azimuthOff,
                               belowElevation, elevationOff, notANumber};
    const QVector<Candidate> selected = self.select(pool);

    ASSERT_EQ(selected.size(), 2);
    EXPECT_EQ(selected[0].index, inside.index);
    EXPECT_EQ(selected[1].index, belowElevation.index);
    ASSERT_EQ(pool.size(), 5);
    EXPECT_EQ(pool[0].index, indexOff.index);
    EXPECT_EQ(pool[1].distance, distanceOff.distance);
    EXPECT_EQ(pool[2].azimuth, azimuthOff.azimuth);
    EXPECT_EQ(pool[3].elevation, elevationOff.elevation);
    EXPECT_TRUE(std::isnan(pool[4].distance));
    EXPECT_EQ(self.distance, 40.0);
}

} // namespace
} // namespace trklib

// The sensor model checked against the library's own detection stages: what
// the simulator writes must come back out of getRadarData, rectifyData and
// the Candidate constructor as the object's place, speed and RCS.

#include "tools/common/cli/mountingoptions.h"
#include "tools/common/sim/sensormodel.h"

#include "engine/targettracking.h"

#include <gtest/gtest.h>

#include <cmath>

namespace trklib::sim::test {
namespace {

constexpr double kphPerMps = 3.6;

// The maxima that reach the tracker, after harmonic suppression.
QVector<RadarDataMax> maximaOf(TargetTracking& engine, const RadarPacketData& packet,
                               bool suppressHarmonics = true)
{
    QVector<RadarDataMax> maxima = engine.rectifyData(engine.getRadarData(packet));
    if (suppressHarmonics)
        engine.checkHarmonics(maxima);
    return maxima;
}

TEST(SensorModel, ADetectionComesBackAtTheObjectsPlaceSpeedAndRcs)
{
    for (const RadarConfig& mounting :
         {RadarConfig{0.0, 0.0, 5.0, 0.0, 0}, RadarConfig{-5.0, 4.0, 8.0, 2.0, 0},
          RadarConfig{-2.0, -3.0, 6.0, 1.5, 1}}) {
        SCOPED_TRACE(::testing::Message()
                     << "tilt " << mounting.tilt << ", orientation " << mounting.orientation);
        TargetTracking engine;
        engine.radarConfig() = mounting;
        for (const double vx : {-20.0, 15.0}) { // approaching and receding
            SCOPED_TRACE(vx);
            SensorModel sensor(mounting, 5);
            const ObjectState car{1, ObjectKind::Car, 80.0, 3.0, 0.8, vx, 0.0, 10.0};
            const LineOfSight sight = sensor.look(car);
            ASSERT_TRUE(sight.inBeam);
            double rcsSum = 0.0;
            constexpr int packets = 50;
            for (int k = 0; k < packets; ++k) {
                const SensorFrame frame = sensor.observe({car}, 1000 + k * 50);
                ASSERT_EQ(frame.sightings.size(), 1);
                const QVector<RadarDataMax> maxima = maximaOf(engine, frame.packet);
                ASSERT_EQ(maxima.size(), 1)
                    << "one object, one maximum: no noise or spill above -70 dB";
                EXPECT_EQ(maxima[0].index, frame.sightings[0].cell);
                EXPECT_EQ(maxima[0].index < 0, vx < 0.0);
                EXPECT_NEAR(std::abs(maxima[0].index) * SensorModel::cellWidthKph,
                            std::abs(sight.radialMps) * kphPerMps, 0.25);

                const Candidate c = engine.createCandidates(maxima).first();
                EXPECT_NEAR(c.elevation, sight.elevationDeg, 0.5);
                EXPECT_NEAR(c.azimuth, sight.azimuthDeg, 0.5);
                EXPECT_NEAR(c.distance, sight.distanceM, 0.5);
                // Along the road the tracker's axis velocity is the object's speed.
                EXPECT_NEAR(c.absVelocity * kphPerMps, vx * kphPerMps, 0.5);
                rcsSum += c.calculateRcs();
            }
            EXPECT_NEAR(rcsSum / packets, car.rcsDbsm, 0.5);
        }
    }
}

TEST(SensorModel, AStrongReflectorShowsHarmonicsThatTheTrackerRemoves)
{
    SensorModel sensor(cli::defaultMounting(), 2);
    TargetTracking engine;
    engine.radarConfig() = cli::defaultMounting();
    const ObjectState truck{1, ObjectKind::Truck, 25.0, 0.0, 1.5, -12.0, 0.0, 20.0};
    const SensorFrame frame = sensor.observe({truck}, 0);
    ASSERT_EQ(frame.sightings.size(), 1);
    const int cell = std::abs(frame.sightings[0].cell);
    ASSERT_GE(frame.sightings[0].amplitude, -29);
    ASSERT_LT(5 * cell, wire::cellCount);

    const QVector<RadarDataMax> raw = maximaOf(engine, frame.packet, false);
    ASSERT_EQ(raw.size(), 5);
    for (int order = 1; order <= 5; ++order)
        EXPECT_EQ(raw[order - 1].index, -order * cell);
    for (int i = 1; i < 5; ++i)
        EXPECT_LT(raw[i].amplitude, raw[0].amplitude) << "harmonic " << i + 1;
    const QVector<RadarDataMax> kept = maximaOf(engine, frame.packet);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(kept[0].index, -cell);
}

TEST(SensorModel, TwoReflectorsInOneCellTheStrongerOneIsWritten)
{
    const RadarConfig mounting = cli::defaultMounting();
    SensorModel sensor(mounting, 3);
    // Mirror images across the boresight have the same radial speed; pick it
    // in the middle of a cell so that noise cannot split them.
    ObjectState car{1, ObjectKind::Car, 60.0, 2.0, 0.8, 0.0, 0.0, 5.0};
    ObjectState truck{2, ObjectKind::Truck, 60.0, -2.0, 0.8, 0.0, 0.0, 20.0};
    const double cosine = 60.0 / sensor.look(car).distanceM;
    car.vx = truck.vx = -(288 * SensorModel::cellWidthKph / kphPerMps) / cosine;

    const SensorFrame frame = sensor.observe({car, truck}, 0);
    ASSERT_EQ(frame.sightings.size(), 2);
    EXPECT_EQ(frame.sightings[0].cell, -288);
    EXPECT_EQ(frame.sightings[1].cell, -288);
    EXPECT_EQ(frame.packet.amplitude[288], frame.sightings[1].amplitude);
    EXPECT_LT(frame.packet.azimuth[288], 0.0f) << "the truck, to the right, owns the cell";
}

TEST(SensorModel, ObjectsOutsideTheBeamOrWithoutDopplerLeaveOnlyNoiseWellBelowThreshold)
{
    SensorModel sensor(cli::defaultMounting(), 4);
    TargetTracking engine;
    // Behind the radar, beyond the range, 30 degrees to the side, too near,
    // standing still.
    const QVector<ObjectState> hidden{{1, ObjectKind::Car, -50.0, 0.0, 0.8, -20.0, 0.0, 10.0},
                                      {2, ObjectKind::Car, 400.0, 0.0, 0.8, -20.0, 0.0, 10.0},
                                      {3, ObjectKind::Car, 60.0, 35.0, 0.8, -20.0, 0.0, 10.0},
                                      {4, ObjectKind::Car, 5.0, 0.0, 0.8, -20.0, 0.0, 10.0},
                                      {5, ObjectKind::Car, 60.0, 0.0, 0.8, 0.0, 0.0, 10.0}};
    const SensorFrame frame = sensor.observe(hidden, 0);
    EXPECT_TRUE(frame.sightings.isEmpty());
    ASSERT_EQ(frame.packet.amplitude.size(), wire::cellCount);
    for (signed char a : frame.packet.amplitude)
        EXPECT_LE(a, -80);
    EXPECT_TRUE(maximaOf(engine, frame.packet).isEmpty());
}

} // namespace
} // namespace trklib::sim::test

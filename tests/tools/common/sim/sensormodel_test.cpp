// The sensor model checked against the library's own detection stages: what
// the simulator writes must come back out of getRadarData, rectifyData and
// the Candidate constructor as the object's place, speed and RCS.

#include "tools/common/cli/mountingoptions.h"
#include "tools/common/sim/sensormodel.h"
#include "tools/common/sim/siteworld.h"

#include <QMap>

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

// The site worlds' reflectivity: the fluctuation's power of mean 1 and the
// chi-square's variance 2 / dof, the aspect's gain broadside above head-on,
// drawn from a stream of its own so that the noise's draws stay as they
// were; and the spread between the objects of a kind as the model says.
TEST(SensorModel, FluctuatingKindsKeepTheirModelsStatistics)
{
    for (const int dof : {2, 4}) {
        SensorModel sensor(RadarConfig{}, 9);
        ObjectState o{1, ObjectKind::Car, 80.0, 0.0, 0.8, 0.0, 10.0, 10.0};
        o.swerlingDof = dof;
        o.headingX = 0.0;
        o.headingY = 1.0;
        double sum = 0.0;
        double squares = 0.0;
        constexpr int draws = 20000;
        for (int i = 0; i < draws; ++i) {
            const double power = std::pow(10.0, sensor.reflectivityDb(o) / 10.0);
            sum += power;
            squares += power * power;
        }
        const double mean = sum / draws;
        EXPECT_NEAR(mean, 1.0, 0.03) << dof;
        EXPECT_NEAR(squares / draws - mean * mean, 2.0 / dof, 0.08) << dof;
    }

    ObjectState car{1, ObjectKind::Car, 80.0, 0.0, 0.8, -20.0, 0.0, 10.0};
    car.broadsideGainDb = kindModel(ObjectKind::Car).broadsideGainDb;
    car.headingX = -1.0; // head-on
    const double headOnDb = SensorModel::aspectGainDb(car);
    car.headingX = 0.0;
    car.headingY = 1.0;
    EXPECT_NEAR(SensorModel::aspectGainDb(car) - headOnDb, car.broadsideGainDb, 1e-9);
    EXPECT_GE(car.broadsideGainDb, 4.0);
    EXPECT_LE(kindModel(ObjectKind::Pedestrian).broadsideGainDb, 1.5);

    SensorModel steady(RadarConfig{}, 3);
    SensorModel fluctuating(RadarConfig{}, 3);
    ObjectState swerling = car;
    swerling.swerlingDof = 2;
    for (int k = 0; k < 20; ++k) {
        const SensorFrame a = steady.observe({car}, k * 50);
        const SensorFrame b = fluctuating.observe({swerling}, k * 50);
        ASSERT_EQ(a.packet.distance, b.packet.distance);
        ASSERT_EQ(a.packet.phaseDiff, b.packet.phaseDiff);
    }

    // Over a long stretch of the perimeter, every kind's objects.
    QMap<ObjectKind, QMap<int, double>> rcsOf;
    Scene world = perimeterScene(11);
    for (double t = 0; t < 3600; t += 5) {
        for (const ObjectState& o : world.objectsAt(t))
            rcsOf[o.kind][o.id] = o.rcsDbsm;
    }
    for (auto it = rcsOf.cbegin(); it != rcsOf.cend(); ++it) {
        const KindModel& model = kindModel(it.key());
        double sum = 0.0;
        double squares = 0.0;
        for (const double db : it.value()) {
            sum += db;
            squares += db * db;
        }
        const int n = it.value().size();
        const double mean = sum / n;
        const double sd = std::sqrt(squares / n - mean * mean);
        const double se = model.rcsSpreadDb / std::sqrt(double(n));
        EXPECT_NEAR(mean, model.rcsMeanDbsm, 4 * se) << kindName(it.key()).toStdString() << n;
        EXPECT_NEAR(sd, model.rcsSpreadDb, 0.3 * model.rcsSpreadDb + 4 * se)
            << kindName(it.key()).toStdString() << n;
    }
    // The kinds overlap as in the field: a large dog and a small person, a
    // motorcycle and a small car.
    const auto overlap = [](ObjectKind small, ObjectKind large) {
        const KindModel& a = kindModel(small);
        const KindModel& b = kindModel(large);
        return a.rcsMeanDbsm + 2 * a.rcsSpreadDb > b.rcsMeanDbsm - 2 * b.rcsSpreadDb;
    };
    EXPECT_TRUE(overlap(ObjectKind::Dog, ObjectKind::Pedestrian));
    EXPECT_TRUE(overlap(ObjectKind::Motorcycle, ObjectKind::Car));
}

} // namespace
} // namespace trklib::sim::test

// The simulator's scenes fed straight into the tracking engine: every
// vehicle that the radar sees for a while must become a confirmed target
// at its true position, whatever the mounting.

#include "groundtruth.h"
#include "simulator.h"

#include "engine/targettracking.h"

#include <gtest/gtest.h>

namespace trklib::sim::test {
namespace {

constexpr qint64 packetCount = 600;        // 30 s at 20 packets per second
constexpr qint64 minPacketsInBeam = 40;    // 2 s
constexpr qint64 maxPacketsToConfirm = 30; // 1.5 s
// Share of the vehicles' packets in the beam with a confirmed target on them.
// Not all: far out, a target's position gate may take a neighbouring lane's
// detection from the target behind it in the list (first come, first served).
constexpr double minTrackedShare = 0.9;
constexpr double toleranceM = 3.0;

struct TrackingCase
{
    const char* name;
    const char* scene;
    double tiltDeg;
    double panDeg;
    double heightM;
    double panOffsetDeg;
    int orientation;
};

void PrintTo(const TrackingCase& c, std::ostream* os)
{
    *os << c.name;
}

class SimulatedTracking : public ::testing::TestWithParam<TrackingCase>
{
};

TEST_P(SimulatedTracking, EveryVehicleInTheBeamBecomesAConfirmedTargetAtItsPosition)
{
    const TrackingCase& c = GetParam();
    SimOptions options;
    options.scene = QString::fromLatin1(c.scene);
    options.tiltDeg = c.tiltDeg;
    options.panDeg = c.panDeg;
    options.heightM = c.heightM;
    options.panOffsetDeg = c.panOffsetDeg;
    options.orientation = c.orientation;
    Simulator simulator(options);
    TargetTracking engine;
    engine.radarConfig() =
        RadarConfig{c.tiltDeg, c.panDeg, c.heightM, c.panOffsetDeg, c.orientation};
    TrackScore score(Simulator::mountingOf(options), toleranceM);

    for (qint64 k = 0; k < packetCount; ++k) {
        const SimulatedPacket p = simulator.packet(k);
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(p.packet, timestamp, targets);
        ASSERT_EQ(timestamp, p.timestampMs);
        QVector<TruthRow> truth;
        for (const Sighting& s : p.sightings)
            truth.append(truthRow(k, p.timestampMs, s));
        score.add(truth, targets);
    }

    int vehicles = 0;
    qint64 inBeam = 0;
    qint64 tracked = 0;
    for (const ObjectScore& o : score.objects()) {
        if (o.kind == QLatin1String("pedestrian") || o.packetsInBeam < minPacketsInBeam)
            continue;
        ++vehicles;
        inBeam += o.packetsInBeam;
        tracked += o.packetsTracked;
        SCOPED_TRACE(::testing::Message()
                     << o.kind.toStdString() << " " << o.id << " from packet " << o.firstPacket
                     << ", " << o.packetsInBeam << " packets in the beam");
        ASSERT_GE(o.firstTrackedPacket, 0) << "never tracked";
        EXPECT_LE(o.firstTrackedPacket - o.firstPacket, maxPacketsToConfirm);
    }
    EXPECT_GE(vehicles, 3);
    EXPECT_GE(double(tracked), minTrackedShare * double(inBeam));
    EXPECT_GT(score.confirmedReports(), 0);
    EXPECT_LE(score.ghosts(), score.confirmedReports() / 100);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, SimulatedTracking,
    ::testing::Values(TrackingCase{"road", "road", 0.0, 0.0, 5.0, 0.0, 0},
                      TrackingCase{"roadTiltedAndPanned", "road", -4.0, 6.0, 8.0, 2.0, 0},
                      TrackingCase{"roadVertical", "road", -2.0, -3.0, 6.0, -1.5, 1},
                      TrackingCase{"crossing", "crossing", 0.0, 0.0, 5.0, 0.0, 0},
                      TrackingCase{"crossingVertical", "crossing", -1.0, 2.0, 5.0, 0.0, 1},
                      TrackingCase{"pedestrians", "pedestrians", 0.0, 0.0, 5.0, 0.0, 0}),
    [](const ::testing::TestParamInfo<TrackingCase>& info) {
        return std::string(info.param.name);
    });

} // namespace
} // namespace trklib::sim::test

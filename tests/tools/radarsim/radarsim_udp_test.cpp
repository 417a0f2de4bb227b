// radarsim sending over loopback UDP to the radar port while the library's
// facade reads and tracks: every packet must arrive, and the targets must
// follow the vehicles of the ground truth.

#include "groundtruth.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace trklib::sim::test {
namespace {

constexpr int packetCount = 60; // 3 s at 20 packets per second
constexpr qint64 minPacketsInBeam = 40;
constexpr double toleranceM = 3.0;
// The first packet only sets the time base, and a target is confirmed at its
// third detection: 56 of 60 packets at best.
constexpr double minTrackedShare = 0.8;

void runLive(const Mounting& m, const QStringList& extraArgs)
{
    QTemporaryDir dir;
    const QString truthPath = dir.filePath(QStringLiteral("truth.csv"));

    TargetTrackingInterface tracker;
    tracker.radarConfig(RadarConfig{m.tiltDeg, m.panDeg, m.heightM, m.panOffsetDeg, m.orientation});
    tracker.connect();

    QProcess sim;
    sim.start(QStringLiteral(RADARSIM_PATH),
              QStringList{"--quiet", "--packets", QString::number(packetCount), "--truth",
                          truthPath, "--tilt", QString::number(m.tiltDeg), "--pan",
                          QString::number(m.panDeg), "--height", QString::number(m.heightM),
                          "--pan-offset", QString::number(m.panOffsetDeg), "--orientation",
                          QString::number(m.orientation)} +
                  extraArgs);
    ASSERT_TRUE(sim.waitForStarted());

    QVector<QVector<TargetData>> reports;
    for (int k = 0; k < packetCount; ++k) {
        long timestamp = 0;
        std::vector<TargetData> targets;
        ASSERT_EQ(tracker.getTargets(timestamp, targets), 0) << "packet " << k;
        EXPECT_EQ(timestamp, 1700000000000 + k * 50);
        reports.append(QVector<TargetData>(targets.begin(), targets.end()));
    }
    tracker.disconnect();
    ASSERT_TRUE(sim.waitForFinished(5000));
    ASSERT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();

    const QVector<TruthRow> truth = readTruthCsv(truthPath);
    ASSERT_FALSE(truth.isEmpty());
    QVector<QVector<TruthRow>> truthByPacket(packetCount);
    for (const TruthRow& r : truth)
        truthByPacket[int(r.packet)].append(r);
    TrackScore score(m, toleranceM);
    for (int k = 0; k < packetCount; ++k)
        score.add(truthByPacket[k], reports[k]);

    int vehicles = 0;
    qint64 inBeam = 0;
    qint64 tracked = 0;
    for (const ObjectScore& o : score.objects()) {
        if (o.kind == QLatin1String("pedestrian") || o.packetsInBeam < minPacketsInBeam)
            continue;
        ++vehicles;
        inBeam += o.packetsInBeam;
        tracked += o.packetsTracked;
        EXPECT_GE(o.firstTrackedPacket, 0)
            << o.kind.toStdString() << " " << o.id << ": never a confirmed target near it";
    }
    EXPECT_GE(vehicles, 3);
    EXPECT_GE(double(tracked), minTrackedShare * double(inBeam));
    EXPECT_EQ(score.ghosts(), 0);
}

TEST(RadarsimLive, EveryPacketArrivesAndEveryVehicleBecomesAConfirmedTarget)
{
    runLive(Mounting{}, {});
}

TEST(RadarsimLive, TiltedVerticalMountingWithSmallDatagrams)
{
    runLive(Mounting{-3.0, 5.0, 7.0, 1.0, 1}, {"--max-datagram", "1024"});
}

} // namespace
} // namespace trklib::sim::test

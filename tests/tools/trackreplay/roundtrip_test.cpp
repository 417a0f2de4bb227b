// radarsim sends a scene over loopback UDP to a live engine and records what
// it sends as a pcap; trackreplay on that pcap must give exactly the targets
// of the live run.

#include "replayscene.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace trklib::test {
namespace {

constexpr int scenePackets = 60; // 3 s at 20 packets per second
constexpr int maxTimeoutsWhileRunning = 5;
constexpr int simulatorFinishMs = 30000;

struct RoundTrip
{
    QStringList simulatorArguments; // scene, datagram shaping
    QStringList mountingArguments;  // given to radarsim and trackreplay alike
    RadarConfig config;
};

// The live run: every packet that the engine reads completely, numbered as
// trackreplay numbers them, until the simulator has finished and the
// socket stays silent for one wait.
QVector<TargetRow> liveRun(const RoundTrip& trip, const QString& pcap)
{
    TargetTracking engine;
    engine.radarConfig() = trip.config;
    engine.connect();

    QProcess simulator;
    simulator.start(
        QStringLiteral(RADARSIM_PATH),
        QStringList{"--quiet", "--packets", QString::number(scenePackets), "--pcap", pcap} +
            trip.simulatorArguments + trip.mountingArguments);
    EXPECT_TRUE(simulator.waitForStarted());

    QVector<TargetRow> rows;
    int packet = 0;
    int timeouts = 0;
    while (true) {
        long timestamp = 0;
        QVector<TargetData> targets;
        const int status = engine.getTargets(timestamp, targets);
        if (status == 0) {
            for (const TargetData& t : qAsConst(targets))
                rows.append({packet, timestamp, t});
            ++packet;
        } else if (status == 1) {
            simulator.waitForFinished(0);
            if (simulator.state() == QProcess::NotRunning)
                break;
            if (++timeouts > maxTimeoutsWhileRunning) {
                ADD_FAILURE() << "no datagrams from radarsim";
                break;
            }
        }
    }
    engine.disconnect();
    if (simulator.state() != QProcess::NotRunning) {
        EXPECT_TRUE(simulator.waitForFinished(simulatorFinishMs));
    }
    EXPECT_EQ(simulator.exitCode(), 0) << simulator.readAllStandardError().constData();
    EXPECT_GT(packet, scenePackets / 2);
    return rows;
}

void expectSameAsLive(const RoundTrip& trip)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString pcap = dir.filePath("sent.pcap");
    const QVector<TargetRow> live = liveRun(trip, pcap);
    int confirmed = 0;
    for (const TargetRow& row : live)
        confirmed += row.target.confirmed ? 1 : 0;
    EXPECT_GT(confirmed, 0) << "the scene must give confirmed targets";

    const ReplayRun run = runTrackreplay(QStringList{pcap} + trip.mountingArguments);
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    const QVector<TargetRow> replayed = parseTargetCsv(run.out);
    ASSERT_EQ(replayed.size(), live.size());
    for (int i = 0; i < live.size(); ++i)
        EXPECT_TRUE(sameRows(replayed[i], live[i]))
            << "row " << i << ": packet " << replayed[i].packet << ", live packet "
            << live[i].packet;
}

TEST(RoundTrip, RoadSceneWithFragmentedBlocks)
{
    // 4096-byte blocks, each one IPv4 datagram in three fragments in the pcap.
    expectSameAsLive(
        {{"--scene", "road", "--seed", "5"},
         {"--tilt", "-3", "--pan", "2", "--height", "6", "--pan-offset", "1", "--orientation", "0"},
         RadarConfig{-3.0, 2.0, 6.0, 1.0, 0}});
}

TEST(RoundTrip, VerticalMountingWithLostAndReorderedDatagrams)
{
    // What radarsim drops or swaps it neither sends nor records, so the live
    // engine and the replay see the same damaged stream.
    expectSameAsLive(
        {{"--scene", "crossing", "--seed", "11", "--max-datagram", "1400", "--loss", "0.01",
          "--reorder", "0.01"},
         {"--tilt", "-5", "--pan", "0", "--height", "4", "--pan-offset", "0", "--orientation", "1"},
         RadarConfig{-5.0, 0.0, 4.0, 0.0, 1}});
}

} // namespace
} // namespace trklib::test

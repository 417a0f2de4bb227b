#include "e2e/udptest.h"
#include "engine/targettracking.h"
#include "interface/targettrackinginterface.h"
#include "support/packets.h"
#include "support/qtmessages.h"
#include "tools/common/packetencoder.h"

#include <QElapsedTimer>

#include <vector>

using trklib::PacketEncoder;
using trklib::TargetData;
using trklib::TargetTrackingInterface;
using trklib::ValidationData;
using namespace trklib::test;

namespace {

constexpr long cycleMs = 100;

class FacadeUdpTest : public UdpTest
{
protected:
    // Sends scene packets `from` to `to` - 1 and tracks each; returns the
    // last code.
    int trackScene(int from, int to, long& timestamp, std::vector<TargetData>& targets)
    {
        int status = -1;
        for (int cycle = from; cycle < to; ++cycle) {
            EXPECT_TRUE(sender_.sendPacket(twoMoversPacket(cycle * cycleMs, cycle)));
            status = facade_.getTargets(timestamp, targets);
        }
        return status;
    }

    TargetTrackingInterface facade_;
};

void expectSameTargets(const std::vector<TargetData>& a, const std::vector<TargetData>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].number, b[k].number);
        EXPECT_EQ(a[k].elevation, b[k].elevation);
        EXPECT_EQ(a[k].azimuth, b[k].azimuth);
        EXPECT_EQ(a[k].distance, b[k].distance);
        EXPECT_EQ(a[k].velocity, b[k].velocity);
        EXPECT_EQ(a[k].confirmed, b[k].confirmed);
    }
}

} // namespace

TEST_F(FacadeUdpTest, FirstPacketGivesItsTimestampAndNoTargets)
{
    facade_.connect();
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1234567890123, 0)));
    long timestamp = 0;
    std::vector<TargetData> targets{TargetData{1, 0, 0, 0, 0, false}};
    ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 1234567890123);
    EXPECT_TRUE(targets.empty());
}

TEST_F(FacadeUdpTest, TracksPacketsFromTheSocket)
{
    facade_.connect();
    long timestamp = 0;
    std::vector<TargetData> targets;
    ASSERT_EQ(trackScene(0, 7, timestamp, targets), 0);
    // The caller's vector gets new storage of exactly the reported size.
    targets.assign(40, TargetData{});
    ASSERT_EQ(trackScene(7, 8, timestamp, targets), 0);
    EXPECT_EQ(timestamp, 7 * cycleMs);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets.capacity(), 2u);
    EXPECT_LT(targets[0].velocity, 0.0);
    EXPECT_GT(targets[1].velocity, 0.0);

    // resetTracking: the next packet only sets the time base again.
    facade_.resetTracking();
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(50000, 8)));
    ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 50000);
    EXPECT_TRUE(targets.empty());
}

// On codes 2 and 1 the caller's timestamp and targets stay exactly as the
// last successful call left them; silence costs about one second.
TEST_F(FacadeUdpTest, ErrorsLeaveTheOutputsAlone)
{
    facade_.connect();
    long timestamp = 0;
    std::vector<TargetData> targets;
    ASSERT_EQ(trackScene(0, 8, timestamp, targets), 0);
    ASSERT_FALSE(targets.empty());
    const std::vector<TargetData> reported = targets;
    const long reportedTime = timestamp;

    QByteArray badHeader = PacketEncoder::header(twoMoversPacket(99999, 8));
    badHeader[0] = 0;
    ASSERT_TRUE(sender_.send(badHeader));
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 2);
    EXPECT_EQ(timestamp, reportedTime);
    expectSameTargets(targets, reported);

    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 1);
    EXPECT_GE(timer.elapsed(), waitLowMs);
    EXPECT_LT(timer.elapsed(), waitHighMs);
    EXPECT_EQ(timestamp, reportedTime);
    expectSameTargets(targets, reported);
}

TEST_F(FacadeUdpTest, ReadErrorAtOnceBeforeConnectAndAfterDisconnect)
{
    QtMessageCatcher qtMessages;
    long timestamp = 77;
    std::vector<TargetData> targets{TargetData{5, 1, 2, 3, 4, true}};
    const std::vector<TargetData> before = targets;
    // The radar is already sending, but nothing is bound yet.
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1, 0)));
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 1);
    EXPECT_LT(timer.elapsed(), immediateMs);
    EXPECT_EQ(timestamp, 77);
    expectSameTargets(targets, before);

    facade_.connect();
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(2, 0)));
    ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 2); // the packet sent before connect was never received

    facade_.disconnect();
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(3, 0)));
    timer.restart();
    EXPECT_EQ(facade_.getTargets(timestamp, targets), 1);
    std::vector<ValidationData> data(1, ValidationData{9, 0, 0, 0, 0});
    EXPECT_EQ(facade_.getValidationData(data), 1);
    EXPECT_LT(timer.elapsed(), immediateMs);
    EXPECT_EQ(timestamp, 2);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].index, 9);
    EXPECT_TRUE(qtMessages.messages().isEmpty()) << qPrintable(qtMessages.messages().join('\n'));
}

TEST_F(FacadeUdpTest, ConnectDisconnectConnect)
{
    facade_.connect();
    facade_.disconnect();
    facade_.connect();
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(4321, 0)));
    long timestamp = 0;
    std::vector<TargetData> targets;
    ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 4321);

    // Tracking goes on across a reconnection: the scene continues.
    long trackedTime = 0;
    ASSERT_EQ(trackScene(1, 4, trackedTime, targets), 0);
    facade_.disconnect();
    facade_.connect();
    ASSERT_EQ(trackScene(4, 8, trackedTime, targets), 0);
    EXPECT_EQ(targets.size(), 2u);
}

// The facade over UDP reports what the engine reports for the same packets.
TEST_F(FacadeUdpTest, SameTargetsAsFromData)
{
    facade_.connect();
    std::vector<std::vector<TargetData>> viaUdp;
    for (int cycle = 0; cycle < 8; ++cycle) {
        long timestamp = 0;
        std::vector<TargetData> targets;
        ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(cycle * cycleMs, cycle), 1000));
        ASSERT_EQ(facade_.getTargets(timestamp, targets), 0);
        viaUdp.push_back(targets);
    }
    trklib::TargetTracking engine; // restarts the numbering, as the facade did
    for (int cycle = 0; cycle < 8; ++cycle) {
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(twoMoversPacket(cycle * cycleMs, cycle), timestamp, targets);
        expectSameTargets(viaUdp[size_t(cycle)],
                          std::vector<TargetData>(targets.cbegin(), targets.cend()));
    }
}

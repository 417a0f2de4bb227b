#include "e2e/udptest.h"
#include "engine/targettracking.h"
#include "support/packets.h"

#include <QElapsedTimer>

using trklib::PacketEncoder;
using trklib::RadarPacketData;
using trklib::TargetTracking;
using namespace trklib::test;

namespace {

// The engine's packet reader on a bound socket.
class EngineUdpTest : public UdpTest
{
protected:
    void SetUp() override
    {
        UdpTest::SetUp();
        engine_.connect();
    }

    void expectPacket(const RadarPacketData& expected)
    {
        RadarPacketData packet;
        ASSERT_EQ(engine_.getRadarPacket(packet), 0);
        expectSamePacket(packet, expected);
    }

    TargetTracking engine_;
};

} // namespace

// The receive buffer holds a burst of 20 packets sent before the first read,
// more than the system's default buffer would; they come out in order.
TEST_F(EngineUdpTest, BufferHoldsABurstOfPackets)
{
    constexpr int packets = 20;
    for (int i = 0; i < packets; ++i)
        ASSERT_TRUE(sender_.sendPacket(patternedPacket(1700000000000 + i, i)));
    for (int i = 0; i < packets; ++i)
        expectPacket(patternedPacket(1700000000000 + i, i));
}

// Datagrams that cannot be a header are dropped until a header comes, among
// them the tail of a packet whose start was missed.
TEST_F(EngineUdpTest, SkipsStrayDatagramsBeforeAHeader)
{
    const QVector<QByteArray> missed = PacketEncoder::datagrams(patternedPacket(1, 1));
    ASSERT_TRUE(sender_.send(QVector<QByteArray>{QByteArray(100, 'x'), QByteArray(47, char(0xAA)),
                                                 QByteArray(49, char(0xAA)), QByteArray(),
                                                 QByteArray(1024, '\0')}));
    ASSERT_TRUE(sender_.send(missed.mid(3)));
    ASSERT_TRUE(sender_.sendPacket(patternedPacket(2, 2)));
    expectPacket(patternedPacket(2, 2));
}

// Whichever block of a packet goes missing, the reader never hands out a
// packet made of two: the broken one is dropped and the next one delivered.
TEST_F(EngineUdpTest, LostDatagramNeverMixesTwoPackets)
{
    for (int lost = 1; lost <= 6; ++lost) {
        SCOPED_TRACE(testing::Message() << "lost datagram " << lost);
        QVector<QByteArray> broken = PacketEncoder::datagrams(patternedPacket(100 + lost, lost));
        broken.remove(lost);
        const RadarPacketData next = patternedPacket(200 + lost, 10 + lost);
        ASSERT_TRUE(sender_.send(broken));
        ASSERT_TRUE(sender_.sendPacket(next));
        expectPacket(next);
    }
}

// A radar that stops in the middle of a packet: a read error one second
// after its last datagram, the caller's packet untouched, and the half
// packet does not spoil the next one.
TEST_F(EngineUdpTest, ReadErrorMidPacketThenNextPacket)
{
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(1, 1), 1024);
    ASSERT_TRUE(sender_.send(a.mid(0, 4))); // header, amplitude, half a velocity block
    RadarPacketData packet = patternedPacket(7, 7);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(engine_.getRadarPacket(packet), 1);
    EXPECT_GE(timer.elapsed(), waitLowMs);
    EXPECT_LT(timer.elapsed(), waitHighMs);
    expectSamePacket(packet, patternedPacket(7, 7));

    ASSERT_TRUE(sender_.sendPacket(patternedPacket(2, 2)));
    expectPacket(patternedPacket(2, 2));
}

TEST_F(EngineUdpTest, AcceptsAnIpv6Sender)
{
    UdpSender ipv6Sender{QHostAddress(QHostAddress::LocalHostIPv6)};
    if (!ipv6Sender.sendPacket(patternedPacket(6, 6)))
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    expectPacket(patternedPacket(6, 6));
}

// A packet read for validation is neither tracked nor moves the times: the
// next tracked packet's elapsed time counts from the last tracked one.
TEST_F(EngineUdpTest, ValidationBetweenTrackedPacketsLeavesTheTimes)
{
    QVector<trklib::TargetData> targets;
    QVector<trklib::ValidationData> data;
    long timestamp = 0;
    // Before any tracking: the first tracked packet still only sets the time base.
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(500, 0)));
    ASSERT_EQ(engine_.getValidationData(data), 0);
    EXPECT_FALSE(engine_.isInitialized());

    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1000, 0)));
    ASSERT_EQ(engine_.getTargets(timestamp, targets), 0);
    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1100, 1)));
    ASSERT_EQ(engine_.getTargets(timestamp, targets), 0);
    const auto negativeCandidates = engine_.negativeCandidates().size();

    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1200, 2)));
    ASSERT_EQ(engine_.getValidationData(data), 0);
    EXPECT_EQ(data.size(), 2);
    EXPECT_EQ(engine_.previousTime(), 1000);
    EXPECT_EQ(engine_.currentTime(), 1100);
    EXPECT_EQ(engine_.timeDelta(), 100);
    EXPECT_EQ(engine_.negativeCandidates().size(), negativeCandidates);

    ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(1300, 3)));
    ASSERT_EQ(engine_.getTargets(timestamp, targets), 0);
    EXPECT_EQ(timestamp, 1300);
    EXPECT_EQ(engine_.previousTime(), 1100);
    EXPECT_EQ(engine_.timeDelta(), 200);
}

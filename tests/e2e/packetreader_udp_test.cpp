#include "e2e/udptest.h"
#include "engine/targettracking.h"
#include "support/packetassert.h"
#include "support/packets.h"
#include "tools/common/packetencoder.h"

#include <QElapsedTimer>

using trklib::PacketEncoder;
using trklib::RadarPacketData;
using trklib::TargetTracking;
using trklib::test::expectSamePacket;
using trklib::test::patternedPacket;
using trklib::test::twoMoversPacket;
using namespace trklib::test;

namespace {

// The engine's packet reader on a bound socket.
class PacketReaderTest : public UdpTest
{
protected:
    void SetUp() override
    {
        UdpTest::SetUp();
        engine_.connect();
    }

    // Reads one packet and expects it to be `expected`.
    void expectPacket(const RadarPacketData& expected)
    {
        RadarPacketData packet;
        ASSERT_EQ(engine_.getRadarPacket(packet), 0);
        expectSamePacket(packet, expected);
    }

    TargetTracking engine_;
};

} // namespace

TEST_F(PacketReaderTest, ReadsAWholePacket)
{
    const RadarPacketData a = patternedPacket(1700000000123, 5);
    ASSERT_TRUE(sender_.sendPacket(a));
    expectPacket(a);
}

TEST_F(PacketReaderTest, QueuedPacketsComeOutInOrder)
{
    constexpr int packets = 5;
    for (int i = 0; i < packets; ++i)
        ASSERT_TRUE(sender_.sendPacket(patternedPacket(1000 + i, i)));
    for (int i = 0; i < packets; ++i)
        expectPacket(patternedPacket(1000 + i, i));
}

TEST_F(PacketReaderTest, BlocksSplitIntoSmallDatagrams)
{
    for (int partBytes : {512, 1000, 48}) {
        const RadarPacketData a = patternedPacket(partBytes, partBytes % 50);
        ASSERT_TRUE(sender_.sendPacket(a, partBytes));
        expectPacket(a);
    }
}

// Datagrams that cannot be a header are dropped until a header comes, among
// them the tail of a packet whose start was missed.
TEST_F(PacketReaderTest, SkipsStrayDatagramsBeforeAHeader)
{
    const QVector<QByteArray> missed = PacketEncoder::datagrams(patternedPacket(1, 1));
    ASSERT_TRUE(sender_.send(QVector<QByteArray>{QByteArray(100, 'x'), QByteArray(47, char(0xAA)),
                                                 QByteArray(49, char(0xAA)), QByteArray(),
                                                 QByteArray(1024, '\0')}));
    ASSERT_TRUE(sender_.send(missed.mid(3)));
    const RadarPacketData b = patternedPacket(2, 2);
    ASSERT_TRUE(sender_.sendPacket(b));
    expectPacket(b);
}

TEST_F(PacketReaderTest, EmptyDatagramsInsideAPacketAreHarmless)
{
    const RadarPacketData a = patternedPacket(3, 3);
    for (const QByteArray& d : PacketEncoder::datagrams(a))
        ASSERT_TRUE(sender_.send(QVector<QByteArray>{QByteArray(), d}));
    expectPacket(a);
}

// Whichever block of a packet goes missing, the reader never hands out a
// packet made of two: the broken one is dropped and the next one delivered.
TEST_F(PacketReaderTest, LostDatagramNeverMixesTwoPackets)
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

// A bad header ends the read at once with 2; the caller's packet stays as
// it was and the next read starts afresh.
TEST_F(PacketReaderTest, BadHeaderIsAParseError)
{
    const RadarPacketData kept = patternedPacket(1, 1);
    for (int byte : {5, 6, 7}) {
        QByteArray header = PacketEncoder::header(patternedPacket(2, 2));
        header[byte] = char(header[byte] + 1);
        ASSERT_TRUE(sender_.send(header));
        RadarPacketData packet = kept;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(engine_.getRadarPacket(packet), 2);
        EXPECT_LT(timer.elapsed(), immediateMs);
        expectSamePacket(packet, kept);
    }
    const RadarPacketData a = patternedPacket(3, 3);
    ASSERT_TRUE(sender_.sendPacket(a));
    expectPacket(a);
}

// A failed read changes nothing of the tracking: times, candidates, targets.
TEST_F(PacketReaderTest, ErrorsLeaveTheTrackingState)
{
    QVector<trklib::TargetData> targets;
    long timestamp = 0;
    for (int cycle = 0; cycle < 6; ++cycle) {
        ASSERT_TRUE(sender_.sendPacket(twoMoversPacket(cycle * 100, cycle)));
        ASSERT_EQ(engine_.getTargets(timestamp, targets), 0);
    }
    ASSERT_FALSE(targets.isEmpty());
    const auto targetCount = engine_.negativeTargets().size() + engine_.positiveTargets().size();
    const auto distance = engine_.negativeTargets().first().distance;

    QByteArray badHeader = PacketEncoder::header(patternedPacket(9000, 1));
    badHeader[6] = 1;
    ASSERT_TRUE(sender_.send(badHeader));
    EXPECT_EQ(engine_.getTargets(timestamp, targets), 2);
    engine_.disconnect();
    EXPECT_EQ(engine_.getTargets(timestamp, targets), 1);

    EXPECT_EQ(timestamp, 500);
    EXPECT_EQ(engine_.currentTime(), 500);
    EXPECT_EQ(engine_.previousTime(), 400);
    EXPECT_EQ(engine_.negativeTargets().size() + engine_.positiveTargets().size(), targetCount);
    EXPECT_EQ(engine_.negativeTargets().first().distance, distance);
    EXPECT_FALSE(targets.isEmpty());
}

// A radar that stops in the middle of a packet: a read error one second
// after its last datagram, and the half packet does not spoil the next one.
TEST_F(PacketReaderTest, ReadErrorMidPacketThenNextPacket)
{
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(1, 1), 1024);
    ASSERT_TRUE(sender_.send(a.mid(0, 4))); // header, amplitude, half a velocity block
    const RadarPacketData kept = patternedPacket(7, 7);
    RadarPacketData packet = kept;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(engine_.getRadarPacket(packet), 1);
    EXPECT_GE(timer.elapsed(), waitLowMs);
    EXPECT_LT(timer.elapsed(), waitHighMs);
    expectSamePacket(packet, kept);

    const RadarPacketData b = patternedPacket(2, 2);
    ASSERT_TRUE(sender_.sendPacket(b));
    expectPacket(b);
}

TEST_F(PacketReaderTest, AcceptsAnIpv6Sender)
{
    UdpSender ipv6Sender{QHostAddress(QHostAddress::LocalHostIPv6)};
    const RadarPacketData a = patternedPacket(6, 6);
    if (!ipv6Sender.sendPacket(a))
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    expectPacket(a);
}

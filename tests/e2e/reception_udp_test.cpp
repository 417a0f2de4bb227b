// Reception that knows its radar, over loopback UDP: one sender followed at
// a time, a radar address filter, a bind address, calls bounded in time
// whatever arrives, and the reception counters.

#include "e2e/udptest.h"
#include "engine/targettracking.h"
#include "support/packets.h"

#include <QElapsedTimer>

#include <atomic>
#include <thread>

namespace trklib::test {
namespace {

const QHostAddress radarA(QStringLiteral("127.0.0.2"));
const QHostAddress radarB(QStringLiteral("127.0.0.3"));
const QHostAddress localhost(QHostAddress::LocalHost);

class ReceptionUdpTest : public UdpTest
{
protected:
    // The next packet; fails the test unless it is one of `expected`, each
    // of which may come once.
    void expectOneOf(QVector<RadarPacketData>& expected)
    {
        RadarPacketData packet;
        ASSERT_EQ(engine_.getRadarPacket(packet), 0);
        for (int i = 0; i < expected.size(); ++i) {
            if (PacketEncoder::wire(packet) == PacketEncoder::wire(expected[i])) {
                expected.remove(i);
                return;
            }
        }
        ADD_FAILURE() << "a packet that no sender sent, timestamp " << packet.timestamp;
    }

    // How long the next read takes, and its status.
    qint64 timedRead(int expectedStatus)
    {
        RadarPacketData packet;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(engine_.getRadarPacket(packet), expectedStatus);
        return timer.elapsed();
    }

    TargetTracking engine_;
};

// Two senders on one port, their datagrams interleaved in every way a
// network may: the first one to complete a packet is followed and its
// packet comes through whole; every datagram of the other, from another
// address or from the radar's own address and another port, that arrives
// after that is counted as competing and dropped, with or without a radar
// address. Before it, the other's datagrams are assembled as the other's.
TEST_F(ReceptionUdpTest, FirstSenderToCompleteIsFollowedAndAnotherIsCountedAndDropped)
{
    UdpSender a(radarA, localhost);
    UdpSender b(radarB, localhost);
    UdpSender sameAddress(radarA, localhost);
    const RadarPacketData fromA = patternedPacket(1000, 1);
    const RadarPacketData marker = patternedPacket(3000, 3);
    const QVector<QByteArray> da = PacketEncoder::datagrams(fromA, 1024);
    const QVector<QByteArray> db = PacketEncoder::datagrams(patternedPacket(2000, 2), 1000);
    // Each sends A's packet and the other's datagrams: how many of the
    // other's, how many after A's packet completed, and how many of those
    // before that belonged to no packet.
    struct Sent
    {
        int all;
        int afterA;
        int stray;
    };
    const struct
    {
        const char* what;
        std::string radarAddress;
        std::function<Sent(UdpSender&)> send;
    } cases[] = {
        {"datagrams alternating", "",
         [&](UdpSender& other) {
             for (int i = 0; i < qMax(da.size(), db.size()); ++i) {
                 if (i < da.size())
                     a.send(da[i]);
                 if (i < db.size())
                     other.send(db[i]);
             }
             return Sent{db.size(), db.size() - da.size() + 1, 0}; // db is longer
         }},
        {"the other's header in the middle of a packet", "",
         [&](UdpSender& other) {
             a.send(da.mid(0, 5));
             other.send(db.mid(0, 1));
             a.send(da.mid(5));
             other.send(db.mid(1));
             return Sent{db.size(), db.size() - 1, 0};
         }},
        {"one datagram of the other inside a packet, radar address set", "127.0.0.2",
         [&](UdpSender& other) {
             a.send(da.mid(0, 9));
             other.send(db[3]);
             a.send(da.mid(9));
             other.send(db);
             return Sent{1 + db.size(), db.size(), 1};
         }},
    };
    for (const auto& c : cases) {
        for (UdpSender* other : {&b, &sameAddress}) {
            const bool foreign = other == &b && !c.radarAddress.empty();
            SCOPED_TRACE(std::string(c.what) +
                         (other == &b ? ", another address" : ", another port"));
            TargetTracking engine;
            ASSERT_TRUE(engine.connect(ReceiverConfig{"", wire::defaultPort, c.radarAddress}));
            const Sent sent = c.send(*other);
            ASSERT_TRUE(a.sendPacket(marker)); // read last: all of the other's were read
            for (const RadarPacketData& expected : {fromA, marker}) {
                RadarPacketData packet;
                ASSERT_EQ(engine.getRadarPacket(packet), 0);
                expectSamePacket(packet, expected);
            }
            EXPECT_EQ(engine.competingDatagrams(), foreign ? 0u : quint64(sent.afterA));
            EXPECT_EQ(engine.receptionStats().foreignDatagrams, foreign ? quint64(sent.all) : 0u);
            EXPECT_EQ(engine.receptionStats().strayDatagrams, foreign ? 0u : quint64(sent.stray));
        }
    }
}

// Distinct senders are counted up to 1024, foreign ones too: at 1024 and
// one past. None completes a packet, so none is followed and none competes:
// the radar address's two garbage datagrams are both stray.
TEST_F(ReceptionUdpTest, SendersAreCountedUpTo1024)
{
    constexpr quint32 rememberedSenders = 1024;
    for (const quint32 senders : {rememberedSenders, rememberedSenders + 1}) {
        SCOPED_TRACE(senders);
        TargetTracking engine;
        ASSERT_TRUE(engine.connect(ReceiverConfig{"", wire::defaultPort, "127.1.0.1"}));
        // From 127.1.x.y: the radar address first and last, from two ports;
        // the senders between are foreign.
        UdpSender radar(QHostAddress(QStringLiteral("127.1.0.1")), localhost);
        ASSERT_TRUE(radar.send(QByteArray(8, 'x')));
        for (quint32 k = 1; k < senders - 1; ++k)
            ASSERT_TRUE(
                UdpSender(QHostAddress(0x7f010001 + k), localhost).send(QByteArray(8, 'x')));
        ASSERT_TRUE(UdpSender(QHostAddress(QStringLiteral("127.1.0.1")), localhost)
                        .send(QByteArray(8, 'x')));
        RadarPacketData packet;
        EXPECT_EQ(engine.getRadarPacket(packet), 1);
        const ReceptionStats s = engine.receptionStats();
        EXPECT_EQ(s.senders, std::min(senders, rememberedSenders));
        EXPECT_EQ(s.foreignDatagrams, senders - 2);
        EXPECT_EQ(s.strayDatagrams, 2u);
        EXPECT_EQ(engine.competingDatagrams(), 0u);
    }
}

// With a radar address, only that radar's packets come through; the other
// sender's datagrams are counted and dropped, and do not make a silent
// radar's read wait longer.
TEST_F(ReceptionUdpTest, RadarAddressFiltersOtherSenders)
{
    ASSERT_TRUE(engine_.connect(ReceiverConfig{"", wire::defaultPort, "127.0.0.1"}));
    UdpSender a(localhost, localhost);
    UdpSender b(radarB, localhost);
    // ::1 is another address than 127.0.0.1, though both are this host.
    UdpSender ipv6(QHostAddress(QHostAddress::LocalHostIPv6),
                   QHostAddress(QHostAddress::LocalHostIPv6));
    const bool sentOverIpv6 = ipv6.sendPacket(patternedPacket(4, 4));
    ASSERT_TRUE(b.sendPacket(patternedPacket(1, 1)));
    ASSERT_TRUE(a.sendPacket(patternedPacket(2, 2)));
    ASSERT_TRUE(b.sendPacket(patternedPacket(3, 3)));
    QVector<RadarPacketData> expected{patternedPacket(2, 2)};
    expectOneOf(expected);
    const qint64 ms = timedRead(1);
    EXPECT_GE(ms, waitLowMs);
    EXPECT_LT(ms, waitHighMs);
    EXPECT_EQ(engine_.receptionStats().foreignDatagrams,
              (sentOverIpv6 ? 3u : 2u) * wire::blockCount);
}

// Bound to one address, the socket hears nothing sent to another.
TEST_F(ReceptionUdpTest, BindAddressHearsOnlyItsOwn)
{
    ASSERT_TRUE(engine_.connect(ReceiverConfig{"127.0.0.2", wire::defaultPort, ""}));
    UdpSender toOther(localhost, localhost);
    UdpSender toBound(localhost, radarA);
    ASSERT_TRUE(toOther.sendPacket(patternedPacket(1, 1)));
    ASSERT_TRUE(toBound.sendPacket(patternedPacket(2, 2)));
    QVector<RadarPacketData> expected{patternedPacket(2, 2)};
    expectOneOf(expected);
    EXPECT_EQ(engine_.receptionStats().datagrams, quint64(wire::blockCount));
}

// Datagrams that wait are taken many at a time but handed out one by one:
// the waiting packets come through in order, each datagram counted as it is
// handed out. Those not handed out when the engine binds anew go with the
// old socket, as the kernel's queue of a closed socket does.
TEST_F(ReceptionUdpTest, WaitingDatagramsComeOneByOneAndGoWithTheirSocket)
{
    ASSERT_TRUE(engine_.connect(ReceiverConfig{}));
    UdpSender a(radarA, localhost);
    for (int p = 1; p <= 3; ++p)
        ASSERT_TRUE(a.sendPacket(patternedPacket(p, p)));
    for (int p = 1; p <= 2; ++p) {
        QVector<RadarPacketData> expected{patternedPacket(p, p)};
        expectOneOf(expected);
        EXPECT_EQ(engine_.receptionStats().datagrams, quint64(p * wire::blockCount));
    }
    ASSERT_TRUE(engine_.connect(ReceiverConfig{}));
    const qint64 ms = timedRead(1);
    EXPECT_GE(ms, waitLowMs);
    EXPECT_EQ(engine_.receptionStats().datagrams, quint64(2 * wire::blockCount));
}

// A configuration that cannot be bound gives false and leaves the engine
// unbound: reads fail at once.
TEST_F(ReceptionUdpTest, BadConfigurationsAreRefused)
{
    QUdpSocket holder; // the port taken by a socket that shares it with no one
    ASSERT_TRUE(holder.bind(radarB, 40123, QAbstractSocket::DontShareAddress));
    const ReceiverConfig bad[] = {
        {"radar.local", wire::defaultPort, ""},
        {"300.1.2.3", wire::defaultPort, ""},
        {"", wire::defaultPort, "any"},
        {"", 0, ""},
        {"127.0.0.3", 40123, ""},
        {"192.0.2.1", wire::defaultPort, ""},
    };
    for (const ReceiverConfig& config : bad) {
        SCOPED_TRACE(config.bindAddress + ":" + std::to_string(config.port) + " radar " +
                     config.radarAddress);
        ASSERT_TRUE(engine_.connect(ReceiverConfig{}));
        TargetTrackingInterface facade;
        EXPECT_FALSE(facade.connect(config));
        EXPECT_FALSE(engine_.connect(config));
        EXPECT_LT(timedRead(1), immediateMs);
    }
    // An IPv6 literal binds where the host has IPv6.
    if (QUdpSocket().bind(QHostAddress(QHostAddress::LocalHostIPv6), 0)) {
        EXPECT_TRUE(engine_.connect(ReceiverConfig{"::1", wire::defaultPort, "::1"}));
    }
}

// Whatever arrives, a call returns within about two seconds: garbage and
// other strays do not keep a quiet radar's read waiting, a flood of
// headers that never lets a packet complete ends at the call's limit, and a
// slow packet goes on over that limit into the next call.
TEST_F(ReceptionUdpTest, FloodsCannotHoldACall)
{
    ASSERT_TRUE(engine_.connect(ReceiverConfig{}));
    const struct
    {
        const char* what;
        QByteArray datagram;
        qint64 leastMs;
    } floods[] = {
        {"garbage", QByteArray(100, 'x'), waitLowMs},
        {"headers", PacketEncoder::header(patternedPacket(5, 5)), 2 * waitLowMs},
    };
    // One sender for both floods; neither completes a packet, so no sender
    // is followed and every flood datagram is assembled.
    UdpSender sender(radarA, localhost);
    for (const auto& flood : floods) {
        SCOPED_TRACE(flood.what);
        std::atomic<bool> stop{false};
        std::thread flooder([&] {
            while (!stop)
                sender.send(flood.datagram);
        });
        const qint64 ms = timedRead(1);
        stop = true;
        flooder.join();
        EXPECT_GE(ms, flood.leastMs);
        EXPECT_LT(ms, waitHighMs);
        // Drain what the flood left in the buffer.
        while (engine_.getRadarPacket(*std::make_unique<RadarPacketData>()) != 1) {
        }
    }
    // A radar whose blocks come 0.4 s apart (each well inside the quiet
    // wait, all together past a call's limit): the call that ends at its
    // limit keeps the packet in progress, and the next one completes it.
    const RadarPacketData slow = patternedPacket(6, 6);
    std::thread slowSender([&] {
        for (const QByteArray& datagram : PacketEncoder::datagrams(slow)) {
            sender.send(datagram);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    const qint64 ms = timedRead(1);
    QVector<RadarPacketData> expected{slow};
    expectOneOf(expected);
    slowSender.join();
    EXPECT_GE(ms, 2 * waitLowMs);
}

// A read error gives up the half packet: the rest of its blocks without a
// header deliver nothing, and the counters tell what happened: once the
// radar has completed a packet, a second program on the radar's address
// competes, and the facade counts it.
TEST_F(ReceptionUdpTest, ReadErrorAbandonsAndCountersTell)
{
    TargetTrackingInterface facade;
    ASSERT_TRUE(facade.connect(ReceiverConfig{"", wire::defaultPort, "127.0.0.2"}));
    UdpSender a(radarA, localhost);
    UdpSender b(radarB, localhost);
    UdpSender competitor(radarA, localhost);
    const QVector<QByteArray> half = PacketEncoder::datagrams(patternedPacket(1, 1));
    std::vector<ValidationData> data;

    ASSERT_TRUE(a.send(half.mid(0, 3)));
    EXPECT_EQ(facade.getValidationData(data), 1);
    ASSERT_TRUE(a.send(half.mid(3)));                 // 4 strays
    ASSERT_TRUE(b.sendPacket(patternedPacket(2, 2))); // 7 foreign
    EXPECT_EQ(facade.getValidationData(data), 1);
    QByteArray badHeader = PacketEncoder::header(patternedPacket(3, 3));
    badHeader[6] = 1;
    ASSERT_TRUE(a.send(badHeader));
    EXPECT_EQ(facade.getValidationData(data), 2);
    ASSERT_TRUE(a.sendPacket(patternedPacket(4, 4)));
    ASSERT_TRUE(competitor.sendPacket(patternedPacket(5, 5))); // 7 competing
    EXPECT_EQ(facade.getValidationData(data), 0);
    EXPECT_EQ(facade.getValidationData(data), 1) << "nothing of the competitor's came through";

    EXPECT_EQ(facade.competingDatagrams(), 7u);
    const ReceptionStats s = facade.receptionStats();
    EXPECT_EQ(s.datagrams, 3u + 4 + 7 + 1 + 7 + 7);
    EXPECT_EQ(s.foreignDatagrams, 7u);
    EXPECT_EQ(s.strayDatagrams, 4u);
    EXPECT_EQ(s.packets, 1u);
    EXPECT_EQ(s.abandonedPackets, 1u);
    EXPECT_EQ(s.badHeaders, 1u);
    EXPECT_EQ(s.readErrors, 3u);
    EXPECT_EQ(s.senders, 3u);
    EXPECT_GT(s.receiveBufferBytes, 0);
}

} // namespace
} // namespace trklib::test

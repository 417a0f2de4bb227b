// The datagram assembler that the live reader and every replay share: whole
// packets out of datagrams, packets given up after a pause longer than a
// live read waits, and recordings cut back into their datagrams.

#include "input/datagramassembler.h"
#include "support/packetassert.h"
#include "support/packets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace trklib {
namespace {

using test::expectSamePacket;
using test::patternedPacket;

constexpr qint64 maxPauseUs = DatagramAssembler::maxPauseUs;
constexpr qint64 minUs = std::numeric_limits<qint64>::min();
constexpr qint64 maxUs = std::numeric_limits<qint64>::max();

// A packet's datagrams offered at the given arrival times, one per
// datagram; the status of the last offer.
DataParser::Status offerTimed(DatagramAssembler& assembler, const QVector<QByteArray>& datagrams,
                              const QVector<qint64>& timesUs)
{
    DataParser::Status status = DataParser::Incomplete;
    for (int i = 0; i < datagrams.size(); ++i)
        status = assembler.offer(datagrams[i], timesUs[i]);
    return status;
}

// Every datagram but one arrives 1 us after the one before; the datagram at
// `late` arrives after `pauseUs` (from a start time of firstUs).
QVector<qint64> timesWithPause(qint64 firstUs, int late, qint64 pauseUs)
{
    QVector<qint64> times;
    qint64 t = firstUs;
    for (int i = 0; i < wire::blockCount; ++i) {
        if (i > 0)
            t += i == late ? pauseUs : 1;
        times.append(t);
    }
    return times;
}

TEST(DatagramAssembler, PauseLongerThanALiveReadGivesUpThePacket)
{
    const RadarPacketData packet = patternedPacket(1700000000000, 3);
    const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet);
    const struct
    {
        const char* what;
        qint64 firstUs;
        int late;
        qint64 pauseUs;
        bool complete;
    } cases[] = {
        {"no pause", 0, 0, 0, true},
        {"a pause of exactly the wait", 0, 3, maxPauseUs, true},
        {"one microsecond longer", 0, 3, maxPauseUs + 1, false},
        {"before the last block", 5, 6, 10 * maxPauseUs, false},
        {"time going back", 5000000, 4, -4000000, true},
        {"a long step back", 5000000, 2, minUs / 2, true},
        {"negative times", minUs + 10, 1, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DatagramAssembler assembler;
        const DataParser::Status status =
            offerTimed(assembler, datagrams, timesWithPause(c.firstUs, c.late, c.pauseUs));
        EXPECT_EQ(status == DataParser::Complete, c.complete) << status;
        if (c.complete)
            expectSamePacket(assembler.packet(), packet);
    }
}

// Arrival times at the ends of the 64-bit range: the pause between them does
// not fit 64 bits, yet it is a pause (forwards) or none (backwards), and the
// next packet goes through.
TEST(DatagramAssembler, FarApartTimesNeitherOverflowNorStall)
{
    const QVector<QByteArray> first = PacketEncoder::datagrams(patternedPacket(1, 1));
    const QVector<QByteArray> second = PacketEncoder::datagrams(patternedPacket(2, 2));
    DatagramAssembler forwards;
    ASSERT_EQ(forwards.offer(first[0], minUs), DataParser::Incomplete);
    ASSERT_EQ(forwards.offer(first[1], minUs + 1), DataParser::Incomplete);
    // The rest of the packet, after the longest pause there is: given up,
    // so its remaining blocks fit no step.
    EXPECT_EQ(forwards.offer(first[2], maxUs), DataParser::BadSize);
    EXPECT_EQ(offerTimed(forwards, second, QVector<qint64>(second.size(), maxUs)),
              DataParser::Complete);
    expectSamePacket(forwards.packet(), patternedPacket(2, 2));

    DatagramAssembler backwards;
    QVector<qint64> times(first.size(), minUs);
    times[0] = maxUs;
    EXPECT_EQ(offerTimed(backwards, first, times), DataParser::Complete);
}

// Up to maxSenders senders each keep a packet in progress; one more takes
// the place of the one heard least recently (not the first one heard),
// whose half packet is given up and counted, and whose rest is stray.
TEST(DatagramAssembler, NinthSenderEvictsTheOneHeardLeastRecently)
{
    static_assert(DatagramAssembler::maxSenders == 8, "the documented limit");
    constexpr int begun = 4; // datagrams of each packet offered before the rest
    const struct
    {
        int senders;
        int evicted; // -1: none
    } cases[] = {{8, -1}, {9, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.senders);
        QVector<QVector<QByteArray>> datagrams;
        for (int k = 0; k < c.senders; ++k)
            datagrams.append(PacketEncoder::datagrams(patternedPacket(100 + k, k)));
        const auto sender = [](int k) { return QHostAddress(quint32(0x0a000001 + k)); };
        DatagramAssembler assembler;
        QVector<int> next(c.senders, 0);
        QVector<int> complete;
        const auto offer = [&](int k, int count) {
            for (int n = 0; n < count && next[k] < datagrams[k].size(); ++n) {
                if (assembler.offer(datagrams[k][next[k]++], sender(k), 9) ==
                    DataParser::Complete) {
                    expectSamePacket(assembler.packet(), patternedPacket(100 + k, k));
                    complete.append(k);
                }
            }
        };
        for (int k = 0; k < qMin(c.senders, 8); ++k)
            offer(k, begun);
        offer(0, 1); // sender 0 heard again: sender 1 is now the quietest
        for (int k = 8; k < c.senders; ++k)
            offer(k, begun);
        // The evicted one last, so that its strays evict no packet in
        // progress.
        for (int k = 0; k < c.senders; ++k) {
            if (k != c.evicted)
                offer(k, wire::blockCount);
        }
        if (c.evicted >= 0)
            offer(c.evicted, wire::blockCount);
        QVector<int> expected;
        for (int k = 0; k < c.senders; ++k) {
            if (k != c.evicted)
                expected.append(k);
        }
        EXPECT_EQ(complete, expected);
        const DatagramAssembler::Counts counts = assembler.counts();
        EXPECT_EQ(counts.abandonedPackets, c.evicted < 0 ? 0u : 1u);
        EXPECT_EQ(counts.strayDatagrams, c.evicted < 0 ? 0u : quint64(wire::blockCount - begun));
    }
}

// One sender at a time: a whole packet of radar A (its datagrams 1 us
// apart, from firstUs), then one of another sender, all of whose datagrams
// arrive gapUs after A's last one. It goes through when it is A again or
// takes over.
TEST(DatagramAssembler, OneSenderAtATimeTakesOverAfterTwoSecondsOfSilence)
{
    constexpr qint64 silenceUs = DatagramAssembler::takeoverSilenceUs;
    static_assert(silenceUs == 2000000, "the documented silence");
    const QHostAddress a(QStringLiteral("10.0.0.1"));
    const QHostAddress b(QStringLiteral("10.0.0.2"));
    const QVector<QByteArray> first = PacketEncoder::datagrams(patternedPacket(1, 1));
    const QVector<QByteArray> second = PacketEncoder::datagrams(patternedPacket(2, 2));
    const qint64 lastOffsetUs = first.size() - 1; // A's last datagram after its first
    const struct
    {
        const char* what;
        QHostAddress address;
        quint16 port;
        qint64 firstUs;
        qint64 otherUs; // when the other's datagrams arrive; unused when untimed
        bool timed;
        bool through;
    } cases[] = {
        {"the same sender at once", a, 5000, 0, lastOffsetUs + 1, true, true},
        {"the same sender without times", a, 5000, 0, 0, false, true},
        {"another port of its address", a, 5001, 0, lastOffsetUs + 1, true, false},
        {"another address, same port", b, 5000, 0, lastOffsetUs + 1, true, false},
        {"another sender just before the silence", a, 5001, 0, lastOffsetUs + silenceUs - 1, true,
         false},
        {"another sender at exactly the silence", a, 5001, 0, lastOffsetUs + silenceUs, true, true},
        {"another address after a long silence", b, 5000, 0, 100 * silenceUs, true, true},
        {"times going backwards", b, 5000, 10 * silenceUs, 0, true, false},
        {"a silence too long for 64 bits", b, 5000, minUs, maxUs, true, true},
        {"a step back too long for 64 bits", b, 5000, maxUs - lastOffsetUs, minUs, true, false},
        {"another sender without times", b, 5000, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DatagramAssembler assembler;
        assembler.setOneSender(true);
        for (int i = 0; i < first.size(); ++i)
            ASSERT_NE(assembler.offer(first[i], a, 5000, c.firstUs + i), DataParser::BadSize);
        DataParser::Status status = DataParser::Incomplete;
        for (const QByteArray& datagram : second)
            status = c.timed ? assembler.offer(datagram, c.address, c.port, c.otherUs)
                             : assembler.offer(datagram, c.address, c.port);
        EXPECT_EQ(status == DataParser::Complete, c.through) << status;
        EXPECT_EQ(assembler.competingDatagrams(), c.through ? 0u : quint64(second.size()));
        const DatagramAssembler::Counts counts = assembler.counts();
        EXPECT_EQ(counts.datagrams, quint64(first.size() + second.size()));
        EXPECT_EQ(counts.strayDatagrams, 0u);
        EXPECT_EQ(counts.packets, c.through ? 2u : 1u);
        QHostAddress followed;
        quint16 followedPort = 0;
        ASSERT_TRUE(assembler.followedSender(followed, followedPort));
        EXPECT_EQ(followed, c.through ? c.address : a);
        EXPECT_EQ(followedPort, c.through ? c.port : 5000);
    }
}

// A sender is followed once it completes a packet, not when first heard. A
// takeover gives up the old sender's half packet, and the old sender is
// then the competitor. The rule is off by default (the assembler of several
// senders above).
TEST(DatagramAssembler, TakeoverGivesUpTheOldPacketAndTurnsTheTables)
{
    constexpr qint64 silenceUs = DatagramAssembler::takeoverSilenceUs;
    const QHostAddress a(QStringLiteral("10.0.0.1"));
    const QHostAddress b(QStringLiteral("10.0.0.2"));
    const QVector<QByteArray> p1 = PacketEncoder::datagrams(patternedPacket(1, 1));
    const QVector<QByteArray> p2 = PacketEncoder::datagrams(patternedPacket(2, 2));
    const QVector<QByteArray> p3 = PacketEncoder::datagrams(patternedPacket(3, 3));

    DatagramAssembler assembler;
    EXPECT_FALSE(assembler.oneSender()) << "every sender by default";
    assembler.setOneSender(true);
    QHostAddress followed;
    quint16 port = 0;
    EXPECT_FALSE(assembler.followedSender(followed, port)) << "none before the first offer";
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(assembler.offer(p1[i], b, 7, i), DataParser::Incomplete);
    EXPECT_FALSE(assembler.followedSender(followed, port)) << "none before a packet completes";
    DataParser::Status status = DataParser::Incomplete;
    for (int i = 4; i < p1.size(); ++i)
        status = assembler.offer(p1[i], b, 7, i);
    EXPECT_EQ(status, DataParser::Complete);
    ASSERT_TRUE(assembler.followedSender(followed, port));
    EXPECT_EQ(followed, b) << "the first sender to complete a packet";
    // b falls silent halfway through its next packet; a's packet, all of it
    // the takeover time later, takes over.
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(assembler.offer(p3[i], b, 7, 10 + i), DataParser::Incomplete);
    for (const QByteArray& datagram : p2)
        status = assembler.offer(datagram, a, 7, 13 + silenceUs);
    EXPECT_EQ(status, DataParser::Complete);
    ASSERT_TRUE(assembler.followedSender(followed, port));
    EXPECT_EQ(followed, a);
    EXPECT_EQ(assembler.counts().abandonedPackets, 1u) << "b's half packet";
    // b, now the competitor, gets nothing through, however it sends.
    for (int i = 4; i < p3.size(); ++i)
        EXPECT_EQ(assembler.offer(p3[i], b, 7, 14 + silenceUs), DataParser::BadSize);
    EXPECT_EQ(assembler.offer(p1[0], b, 7), DataParser::BadSize);
    EXPECT_EQ(assembler.competingDatagrams(), quint64(p3.size() - 4 + 1));
    const DatagramAssembler::Counts counts = assembler.counts();
    EXPECT_EQ(counts.strayDatagrams, 0u);
    EXPECT_EQ(counts.abandonedPackets, 1u);
    EXPECT_EQ(counts.packets, 2u);
}

// One sender at a time, and a flood from another port of the radar's host,
// one datagram every 10 ms from floodUs to floodEndUs (exclusive), that
// completes no packet. The radar's ten packets (each datagram 2 ms after
// the one before) all come through, and the radar is the followed sender:
// the flood is assembled while no one is followed or the radar has been
// silent for the takeover time, and competes otherwise.
TEST(DatagramAssembler, ASenderThatCompletesNothingNeverMutesTheRadar)
{
    const QHostAddress host(QStringLiteral("10.0.0.1"));
    constexpr quint16 radarPort = 5000;
    constexpr quint16 floodPort = 5001;
    constexpr qint64 floodStepUs = 10000;
    constexpr qint64 datagramStepUs = 2000;
    const QByteArray garbage(100, 'x');
    const QByteArray header = PacketEncoder::header(patternedPacket(9, 9));
    QByteArray badHeader = header;
    badHeader[6] = 1;
    // When each radar packet begins: count of them 100 ms apart from firstUs.
    const auto packetsFrom = [](qint64 firstUs, int count) {
        QVector<qint64> times;
        for (int k = 0; k < count; ++k)
            times.append(firstUs + k * 100000);
        return times;
    };
    const struct
    {
        const char* what;
        QByteArray flood;
        qint64 floodUs;
        qint64 floodEndUs;
        QVector<qint64> radarUs;
        bool timed;
        quint64 competing;
        quint64 stray;
        quint64 badHeaders;
        quint64 abandoned;
    } cases[] = {
        {"a garbage flood, then the radar 0.3 s later", garbage, 0, 4000000,
         packetsFrom(4300000, 10), true, 0, 400, 0, 0},
        {"a flood of bad headers", badHeader, 0, 4000000, packetsFrom(4300000, 10), true, 0, 0, 400,
         0},
        {"a flood of headers that never complete", header, 0, 4000000, packetsFrom(4300000, 10),
         true, 0, 0, 0, 399},
        // Assembled until the radar's first packet completes at 1012.5 ms.
        {"garbage going on during the radar's packets", garbage, 0, 3000000,
         packetsFrom(1000500, 10), true, 198, 102, 0, 0},
        {"headers going on during the radar's packets", header, 0, 3000000,
         packetsFrom(1000500, 10), true, 198, 0, 0, 102},
        {"a garbage flood, then the radar, without times", garbage, 0, 4000000,
         packetsFrom(4300000, 10), false, 0, 400, 0, 0},
        {"garbage during the radar's packets, without times", garbage, 0, 3000000,
         packetsFrom(1000500, 10), false, 198, 102, 0, 0},
        // The radar's last datagram at 412 ms: the flood competes until
        // 2412 ms, is assembled from 2420 ms, competes again from 3010 ms.
        {"garbage while the radar is silent for longer than the takeover", garbage, 500000, 4000000,
         packetsFrom(0, 5) + packetsFrom(3000500, 5), true, 192 + 99, 59, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        struct Event
        {
            qint64 us;
            quint16 port;
            QByteArray datagram;
        };
        QVector<Event> events;
        QVector<RadarPacketData> sent;
        for (const qint64 firstUs : c.radarUs) {
            sent.append(patternedPacket(1000 + sent.size(), sent.size()));
            const QVector<QByteArray> datagrams = PacketEncoder::datagrams(sent.last());
            for (int i = 0; i < datagrams.size(); ++i)
                events.append({firstUs + i * datagramStepUs, radarPort, datagrams[i]});
        }
        const int flooded = int((c.floodEndUs - c.floodUs) / floodStepUs);
        for (int i = 0; i < flooded; ++i)
            events.append({c.floodUs + i * floodStepUs, floodPort, c.flood});
        std::stable_sort(events.begin(), events.end(),
                         [](const Event& x, const Event& y) { return x.us < y.us; });

        DatagramAssembler assembler;
        assembler.setOneSender(true);
        int delivered = 0;
        for (const Event& e : events) {
            const DataParser::Status status = c.timed
                                                  ? assembler.offer(e.datagram, host, e.port, e.us)
                                                  : assembler.offer(e.datagram, host, e.port);
            if (status == DataParser::Complete) {
                ASSERT_LT(delivered, sent.size());
                expectSamePacket(assembler.packet(), sent[delivered++]);
            }
        }
        EXPECT_EQ(delivered, sent.size());
        QHostAddress followed;
        quint16 followedPort = 0;
        ASSERT_TRUE(assembler.followedSender(followed, followedPort));
        EXPECT_EQ(followedPort, radarPort);
        EXPECT_EQ(assembler.competingDatagrams(), c.competing);
        const DatagramAssembler::Counts counts = assembler.counts();
        EXPECT_EQ(counts.datagrams, quint64(events.size()));
        EXPECT_EQ(counts.packets, quint64(sent.size()));
        EXPECT_EQ(counts.strayDatagrams, c.stray);
        EXPECT_EQ(counts.badHeaders, c.badHeaders);
        EXPECT_EQ(counts.abandonedPackets, c.abandoned);
    }
}

TEST(DatagramAssembler, AssembleRestartAndRecordings)
{
    const RadarPacketData a = patternedPacket(10, 1);
    const RadarPacketData b = patternedPacket(20, 2);
    QVector<QByteArray> both = PacketEncoder::datagrams(a) + PacketEncoder::datagrams(b, 1000);

    DatagramAssembler assembler;
    std::optional<RadarPacketData> last = assembler.assemble(both);
    ASSERT_TRUE(last);
    expectSamePacket(*last, b);
    EXPECT_FALSE(assembler.assemble(both.mid(0, 4))) << "half a packet completes nothing";

    // A restart gives up the half packet: its remaining blocks fit no step.
    assembler.restart();
    EXPECT_FALSE(assembler.assemble(PacketEncoder::datagrams(a).mid(4)));
    ASSERT_TRUE(assembler.assemble(PacketEncoder::datagrams(a)));
    expectSamePacket(assembler.packet(), a);

    // A recording of whole packets back to back is cut into the datagrams
    // the radar sent, one per block; a truncated tail gives what it holds.
    const QByteArray recording = PacketEncoder::wire(a) + PacketEncoder::wire(b);
    const QVector<QByteArray> cut = PacketEncoder::datagramsOfWire(recording + "\xAA\xAA");
    ASSERT_EQ(cut.size(), 2 * wire::blockCount + 1);
    EXPECT_EQ(cut.mid(0, wire::blockCount), PacketEncoder::datagrams(a));
    EXPECT_EQ(cut.mid(wire::blockCount, wire::blockCount), PacketEncoder::datagrams(b));
    EXPECT_EQ(cut.last(), QByteArray("\xAA\xAA"));
}

} // namespace
} // namespace trklib

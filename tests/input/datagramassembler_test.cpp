// The datagram assembler that the live reader and every replay share: whole
// packets out of datagrams, packets given up after a pause longer than a
// live read waits, and recordings cut back into their datagrams.

#include "input/datagramassembler.h"
#include "support/packetassert.h"
#include "support/packets.h"

#include <gtest/gtest.h>

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

#include "input/dataparser.h"
#include "support/packetassert.h"
#include "support/packets.h"

#include <gtest/gtest.h>

using trklib::DataParser;
using trklib::PacketEncoder;
using trklib::RadarPacketData;
using trklib::test::expectSamePacket;
using trklib::test::patternedPacket;

namespace {

// A whole packet goes through: Incomplete on every datagram but the last.
void expectWholePacket(DataParser& parser, const RadarPacketData& packet, int maxDatagramBytes = 0)
{
    const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet, maxDatagramBytes);
    for (int i = 0; i + 1 < datagrams.size(); ++i)
        ASSERT_EQ(parser.parseDatagram(datagrams[i]), DataParser::Incomplete) << "datagram " << i;
    ASSERT_EQ(parser.parseDatagram(datagrams.last()), DataParser::Complete);
    expectSamePacket(parser.radarPacketData(), packet);
}

QByteArray validHeader(qint64 timestamp)
{
    return PacketEncoder::header(PacketEncoder::emptyPacket(timestamp));
}

// A parser that has taken the header, the amplitude block and `partial`
// bytes of the velocity block of a packet.
void startPacket(DataParser& parser, int partial)
{
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(1, 1));
    ASSERT_EQ(parser.parseDatagram(a[0]), DataParser::Incomplete);
    ASSERT_EQ(parser.parseDatagram(a[1]), DataParser::Incomplete);
    if (partial > 0) {
        ASSERT_EQ(parser.parseDatagram(a[2].left(partial)), DataParser::Incomplete);
    }
}

} // namespace

// One parser, packet after packet: seven datagrams or blocks cut into parts,
// 48-byte parts being array bytes, not headers; 64-bit timestamps either sign.
TEST(DataParserTest, WholePacketsInAnySplit)
{
    struct Case
    {
        int partBytes; // 0: one datagram per block
        qint64 timestamp;
    };
    const Case cases[] = {{0, 123456789}, {1024, 5000},
                          {1000, -5},     {48, Q_INT64_C(0x7FFFFFFFFFFFFFFF)},
                          {1, 1},         {4095, 2}};
    DataParser parser;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.partBytes);
        expectWholePacket(parser, patternedPacket(c.timestamp, c.partBytes % 40), c.partBytes);
    }
}

// Little-endian header fields at their offsets, from hand-made bytes (the
// recorded scenes of the conformance test check the cell arrays).
TEST(DataParserTest, DecodesLittleEndianFields)
{
    const auto put = [](QByteArray& bytes, int offset, std::initializer_list<int> values) {
        for (int v : values)
            bytes[offset++] = char(v);
    };
    QByteArray header(DataParser::headerBytes, '\0');
    put(header, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAB, 2, 48, 0x01, 0x80, 0xFE});
    put(header, 12, {0x10, 0x27});             // timestamp 10000
    put(header, 20, {0x78, 0x56, 0x34, 0x12}); // info20
    put(header, 42, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    QByteArray phase(2048, '\0');
    put(phase, 2046, {0x34, 0x12});

    DataParser parser;
    ASSERT_EQ(parser.parseDatagram(header), DataParser::Incomplete);
    for (int bytes : {1024, 4096, 4096, 4096, 4096})
        ASSERT_EQ(parser.parseDatagram(QByteArray(bytes, '\0')), DataParser::Incomplete);
    ASSERT_EQ(parser.parseDatagram(phase), DataParser::Complete);
    const RadarPacketData p = parser.radarPacketData();
    EXPECT_EQ(p.sync[5], qint8(0xAB));
    EXPECT_EQ(p.version, 2);
    EXPECT_EQ(p.headerSize, 48);
    EXPECT_EQ(p.info08, qint16(0x8001));
    EXPECT_EQ(p.info10, -2);
    EXPECT_EQ(p.timestamp, 10000);
    EXPECT_EQ(p.info20, 0x12345678);
    EXPECT_EQ(p.info42, -1);
    EXPECT_EQ(p.info44, 0x7FFFFFFF);
    EXPECT_EQ(p.phaseDiff[1023], 0x1234);
}

// Rejected datagrams at the header step leave nothing behind: the next
// header is taken.
TEST(DataParserTest, HeaderStepRejectsOtherDatagrams)
{
    DataParser parser;
    const QByteArray header = validHeader(1);
    for (const QByteArray& d :
         {header.left(47), header + '\0', QByteArray(), QByteArray(1024, '\0'), header + header}) {
        EXPECT_EQ(parser.parseDatagram(d), DataParser::BadSize) << d.size();
    }
    struct Case
    {
        int byte;
        char value;
    };
    const Case badBytes[] = {{5, char(0xAA)}, {0, char(0xAB)}, {6, 1}, {6, 3}, {7, 47}, {7, 0}};
    for (const Case& c : badBytes) {
        SCOPED_TRACE(c.byte);
        QByteArray bad = header;
        bad[c.byte] = c.value;
        EXPECT_EQ(parser.parseDatagram(bad), DataParser::BadHeader);
        EXPECT_EQ(parser.parseDatagram(QByteArray(1024, '\0')), DataParser::BadSize);
        expectWholePacket(parser, patternedPacket(1000 + c.byte, c.byte));
    }
}

// A packet handed out keeps its contents while the parser fills the next.
TEST(DataParserTest, HandedOutPacketSurvivesTheNextOne)
{
    DataParser parser;
    expectWholePacket(parser, patternedPacket(1, 1));
    const RadarPacketData kept = parser.radarPacketData();
    expectWholePacket(parser, patternedPacket(2, 2));
    expectSamePacket(kept, patternedPacket(1, 1));
}

// Bytes of a block cut short by a read error must not cost the next packet
// its header: reset drops them and returns to the header step.
TEST(DataParserTest, ResetDropsBufferedBytes)
{
    for (int partial : {0, 1, 47, 48, 2000, 4095}) {
        SCOPED_TRACE(partial);
        DataParser parser;
        startPacket(parser, partial);
        parser.reset();
        EXPECT_EQ(parser.parseDatagram(QByteArray(4096, '\0')), DataParser::BadSize);
        expectWholePacket(parser, patternedPacket(2, 2));
    }
}

// A new header while a packet is being assembled means datagrams were lost:
// the half-assembled packet is abandoned, not completed with the next one's
// blocks. A header with the sync bytes but a bad version is a bad header.
TEST(DataParserTest, HeaderInAnArrayStepStartsANewPacket)
{
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(100, 1));
    for (int blocksDone = 1; blocksDone <= 6; ++blocksDone) {
        for (int partialBytes : {0, 1, 1000}) {
            SCOPED_TRACE(testing::Message() << "blocks " << blocksDone << " + " << partialBytes);
            DataParser parser;
            for (int i = 0; i < blocksDone; ++i)
                ASSERT_EQ(parser.parseDatagram(a[i]), DataParser::Incomplete);
            if (partialBytes > 0) {
                ASSERT_EQ(parser.parseDatagram(a[blocksDone].left(partialBytes)),
                          DataParser::Incomplete);
            }
            expectWholePacket(parser, patternedPacket(200, 2));
        }
    }
    DataParser parser;
    startPacket(parser, 100);
    QByteArray badVersion = validHeader(300);
    badVersion[6] = 3;
    EXPECT_EQ(parser.parseDatagram(badVersion), DataParser::BadHeader);
    expectWholePacket(parser, patternedPacket(400, 4));
}

// More bytes than a block holds means the stream lost its alignment: the
// packet is dropped and the parser waits for the next header.
TEST(DataParserTest, BlockOverrunBreaksThePacket)
{
    struct Case
    {
        const char* what;
        int blocksDone;      // whole blocks before the overrun
        QVector<int> pieces; // sizes of the datagrams of the overrunning block
    };
    const QVector<Case> cases{
        {"amplitude in one datagram", 1, {1025}},
        {"amplitude in two", 1, {1000, 100}},
        {"float block instead of amplitude", 1, {4096}},
        {"velocity in one datagram", 2, {4097}},
        {"velocity in two", 2, {3000, 2000}},
        {"azimuth", 5, {4096 + 48}},
        {"phase difference", 6, {2049}},
        {"phase difference in two", 6, {2000, 2000}},
    };
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(100, 1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DataParser parser;
        for (int i = 0; i < c.blocksDone; ++i)
            ASSERT_EQ(parser.parseDatagram(a[i]), DataParser::Incomplete);
        for (int i = 0; i < c.pieces.size(); ++i) {
            const DataParser::Status expected =
                i + 1 < c.pieces.size() ? DataParser::Incomplete : DataParser::BadSize;
            EXPECT_EQ(parser.parseDatagram(QByteArray(c.pieces[i], char(0x11))), expected);
        }
        // Back at the header step with nothing buffered.
        EXPECT_EQ(parser.parseDatagram(a[1]), DataParser::BadSize);
        expectWholePacket(parser, patternedPacket(200, 2));
    }
}

TEST(DataParserTest, EmptyDatagramsChangeNothingInsideAPacket)
{
    DataParser parser;
    const RadarPacketData packet = patternedPacket(9, 9);
    const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet);
    ASSERT_EQ(parser.parseDatagram(datagrams[0]), DataParser::Incomplete);
    for (int i = 1; i < datagrams.size(); ++i) {
        EXPECT_EQ(parser.parseDatagram(QByteArray()), DataParser::Incomplete) << i;
        parser.parseDatagram(datagrams[i]);
    }
    expectSamePacket(parser.radarPacketData(), packet);
}

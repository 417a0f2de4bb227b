#include "input/dataparser.h"
#include "support/packetassert.h"
#include "support/packets.h"
#include "tools/common/packetencoder.h"

#include <gtest/gtest.h>

#include <QVector>

using trklib::DataParser;
using trklib::PacketEncoder;
using trklib::RadarPacketData;
using trklib::test::expectSamePacket;
using trklib::test::patternedPacket;

namespace {

constexpr int headerBytes = 48;
constexpr int amplitudeBytes = 1024;
constexpr int floatBlockBytes = 4096;
constexpr int phaseBytes = 2048;

// Offers every datagram in turn and returns the statuses.
QVector<DataParser::Status> feed(DataParser& parser, const QVector<QByteArray>& datagrams)
{
    QVector<DataParser::Status> statuses;
    for (const QByteArray& d : datagrams)
        statuses.append(parser.parseDatagram(d));
    return statuses;
}

// A whole packet goes through: Incomplete on every datagram but the last.
void expectWholePacket(DataParser& parser, const RadarPacketData& packet, int maxDatagramBytes = 0)
{
    const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet, maxDatagramBytes);
    const QVector<DataParser::Status> statuses = feed(parser, datagrams);
    for (int i = 0; i + 1 < statuses.size(); ++i)
        ASSERT_EQ(statuses[i], DataParser::Incomplete) << "datagram " << i;
    ASSERT_EQ(statuses.last(), DataParser::Complete);
    expectSamePacket(parser.radarPacketData(), packet);
}

QByteArray validHeader(qint64 timestamp)
{
    return PacketEncoder::header(PacketEncoder::emptyPacket(timestamp));
}

} // namespace

TEST(DataParserTest, PacketInSevenDatagrams)
{
    DataParser parser;
    const RadarPacketData packet = patternedPacket(123456789, 3);
    const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet);
    ASSERT_EQ(datagrams.size(), 7);
    const QVector<int> sizes{headerBytes,     amplitudeBytes,  floatBlockBytes, floatBlockBytes,
                             floatBlockBytes, floatBlockBytes, phaseBytes};
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(datagrams[i].size(), sizes[i]);

    EXPECT_EQ(feed(parser, datagrams),
              (QVector<DataParser::Status>(6, DataParser::Incomplete) << DataParser::Complete));
    const RadarPacketData out = parser.radarPacketData();
    EXPECT_EQ(out.amplitude.size(), 1024);
    EXPECT_EQ(out.phaseDiff.size(), 1024);
    expectSamePacket(out, packet);

    // Back at the header step: the next packet follows at once.
    expectWholePacket(parser, patternedPacket(123457789, 4));
}

TEST(DataParserTest, BlocksSplitOverSeveralDatagrams)
{
    DataParser parser;
    const RadarPacketData packet = patternedPacket(5000, 1);

    // Each 4096-byte block in four parts: Incomplete until the fourth.
    const QVector<QByteArray> quarters = PacketEncoder::datagrams(packet, 1024);
    ASSERT_EQ(quarters.size(), 1 + 1 + 4 * 4 + 2);
    const QVector<DataParser::Status> statuses = feed(parser, quarters);
    EXPECT_EQ(statuses.count(DataParser::Complete), 1);
    EXPECT_EQ(statuses.last(), DataParser::Complete);
    expectSamePacket(parser.radarPacketData(), packet);

    // Uneven parts, and 48-byte parts that are array bytes, not headers.
    for (int partBytes : {1000, 48, 1, 4095})
        expectWholePacket(parser, patternedPacket(5000 + partBytes, partBytes % 40), partBytes);
}

TEST(DataParserTest, HeaderOfAnyOtherLengthIsBadSize)
{
    DataParser parser;
    const QByteArray header = validHeader(1);
    for (const QByteArray& d : {header.left(47), header + '\0', QByteArray(),
                                QByteArray(amplitudeBytes, '\0'), header + header}) {
        EXPECT_EQ(parser.parseDatagram(d), DataParser::BadSize) << d.size();
    }
    // Nothing of those bytes is left over: a header right after them is taken.
    expectWholePacket(parser, patternedPacket(77, 2));
}

TEST(DataParserTest, WrongSyncVersionOrSizeByteIsBadHeader)
{
    struct Case
    {
        int byte;
        char value;
    };
    const Case cases[] = {{5, char(0xAA)}, {0, char(0xAB)}, {6, 1}, {6, 3}, {7, 47}, {7, 0}};
    DataParser parser;
    for (const Case& c : cases) {
        QByteArray header = validHeader(1);
        header[c.byte] = c.value;
        EXPECT_EQ(parser.parseDatagram(header), DataParser::BadHeader) << c.byte;
        // Still at the header step, with an empty buffer.
        expectWholePacket(parser, patternedPacket(1000 + c.byte, c.byte));
    }
}

// Little-endian decoding of a hand-made packet, byte by byte.
TEST(DataParserTest, DecodesLittleEndianFields)
{
    QByteArray header(headerBytes, '\0');
    const char sync[] = {char(0xAA), char(0xAA), char(0xAA), char(0xAA), char(0xAA), char(0xAB)};
    for (int i = 0; i < 6; ++i)
        header[i] = sync[i];
    header[6] = 2;
    header[7] = 48;
    header[8] = char(0x01); // info08 0x8001
    header[9] = char(0x80);
    header[10] = char(0xFE); // info10 -2
    header[12] = char(0x10); // timestamp 10000
    header[13] = char(0x27);
    header[20] = char(0x78); // info20 0x12345678
    header[21] = char(0x56);
    header[22] = char(0x34);
    header[23] = char(0x12);
    header[42] = char(0xFF); // info42 -1
    header[43] = char(0xFF);
    header[44] = char(0xFF); // info44 0x7FFFFFFF
    header[45] = char(0xFF);
    header[46] = char(0xFF);
    header[47] = char(0x7F);

    QByteArray amplitude(amplitudeBytes, '\0');
    amplitude[0] = char(0xFF);
    amplitude[1023] = char(0x80);
    QByteArray floats(floatBlockBytes, '\0');
    floats[2] = char(0x80); // entry 0: 1.0f
    floats[3] = char(0x3F);
    floats[4092] = char(0x00); // entry 1023: -2.5f = 0xC0200000
    floats[4094] = char(0x20);
    floats[4095] = char(0xC0);
    QByteArray phase(phaseBytes, '\0');
    phase[0] = char(0x34);
    phase[1] = char(0x12);

    DataParser parser;
    EXPECT_EQ(feed(parser, {header, amplitude, floats, floats, floats, floats, phase}).last(),
              DataParser::Complete);
    const RadarPacketData p = parser.radarPacketData();
    EXPECT_EQ(p.version, 2);
    EXPECT_EQ(p.headerSize, 48);
    EXPECT_EQ(p.sync[5], qint8(0xAB));
    EXPECT_EQ(p.info08, qint16(0x8001));
    EXPECT_EQ(p.info10, -2);
    EXPECT_EQ(p.timestamp, 10000);
    EXPECT_EQ(p.info20, 0x12345678);
    EXPECT_EQ(p.info42, -1);
    EXPECT_EQ(p.info44, 0x7FFFFFFF);
    EXPECT_EQ(p.amplitude[0], -1);
    EXPECT_EQ(p.amplitude[1023], -128);
    for (const QVector<float>* a : {&p.relVelocity, &p.distance, &p.elevation, &p.azimuth}) {
        EXPECT_EQ((*a)[0], 1.0f);
        EXPECT_EQ((*a)[1], 0.0f);
        EXPECT_EQ((*a)[1023], -2.5f);
    }
    EXPECT_EQ(p.phaseDiff[0], 0x1234);
}

TEST(DataParserTest, NegativeTimestamp)
{
    DataParser parser;
    expectWholePacket(parser, patternedPacket(-5, 1));
    expectWholePacket(parser, patternedPacket(Q_INT64_C(0x7FFFFFFFFFFFFFFF), 2));
}

// A packet that was handed out keeps its contents while the parser fills
// the same arrays with the next packet.
TEST(DataParserTest, HandedOutPacketSurvivesTheNextOne)
{
    DataParser parser;
    const RadarPacketData first = patternedPacket(1, 1);
    expectWholePacket(parser, first);
    const RadarPacketData kept = parser.radarPacketData();

    const QVector<QByteArray> second = PacketEncoder::datagrams(patternedPacket(2, 2));
    for (const QByteArray& d : second)
        parser.parseDatagram(d);
    expectSamePacket(kept, first);
    expectSamePacket(parser.radarPacketData(), patternedPacket(2, 2));
}

TEST(DataParserTest, ResetReturnsToTheHeaderStep)
{
    DataParser parser;
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(1, 1));
    EXPECT_EQ(parser.parseDatagram(a[0]), DataParser::Incomplete);
    EXPECT_EQ(parser.parseDatagram(a[1]), DataParser::Incomplete);
    parser.reset();
    // An array block is not a header any more.
    EXPECT_EQ(parser.parseDatagram(a[2]), DataParser::BadSize);
    expectWholePacket(parser, patternedPacket(2, 2));
}

// Bytes of a block cut short by a read error must not cost the next packet
// its header.
TEST(DataParserTest, ResetDropsBufferedBytes)
{
    for (int partial : {1, 47, 48, 2000, 4095}) {
        DataParser parser;
        const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(1, 1));
        EXPECT_EQ(parser.parseDatagram(a[0]), DataParser::Incomplete);
        EXPECT_EQ(parser.parseDatagram(a[1]), DataParser::Incomplete);
        EXPECT_EQ(parser.parseDatagram(a[2].left(partial)), DataParser::Incomplete);
        parser.reset();
        expectWholePacket(parser, patternedPacket(2, 2));
    }
}

// A new header while a packet is being assembled means datagrams were lost:
// the half-assembled packet is abandoned instead of being completed with the
// next packet's blocks.
TEST(DataParserTest, HeaderInAnArrayStepStartsANewPacket)
{
    const RadarPacketData a = patternedPacket(100, 1);
    const RadarPacketData b = patternedPacket(200, 2);
    const QVector<QByteArray> aDatagrams = PacketEncoder::datagrams(a);
    for (int blocksDone = 1; blocksDone <= 6; ++blocksDone) {
        for (int partialBytes : {0, 1, 1000}) {
            SCOPED_TRACE(testing::Message() << "blocks " << blocksDone << " + " << partialBytes);
            DataParser parser;
            for (int i = 0; i < blocksDone; ++i)
                ASSERT_EQ(parser.parseDatagram(aDatagrams[i]), DataParser::Incomplete);
            if (partialBytes > 0) {
                ASSERT_EQ(parser.parseDatagram(aDatagrams[blocksDone].left(partialBytes)),
                          DataParser::Incomplete);
            }
            expectWholePacket(parser, b);
        }
    }
}

TEST(DataParserTest, BadHeaderInAnArrayStepIsABadHeader)
{
    DataParser parser;
    const QVector<QByteArray> a = PacketEncoder::datagrams(patternedPacket(100, 1));
    parser.parseDatagram(a[0]);
    parser.parseDatagram(a[1]);
    parser.parseDatagram(a[2].left(100));
    QByteArray header = validHeader(300);
    header[6] = 3;
    EXPECT_EQ(parser.parseDatagram(header), DataParser::BadHeader);
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
    for (int i = 0; i < datagrams.size(); ++i) {
        if (i > 0) {
            EXPECT_EQ(parser.parseDatagram(QByteArray()), DataParser::Incomplete) << i;
        }
        parser.parseDatagram(datagrams[i]);
    }
    expectSamePacket(parser.radarPacketData(), packet);
}

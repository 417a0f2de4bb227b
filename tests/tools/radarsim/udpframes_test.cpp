#include "pcapwriter.h"
#include "udpframes.h"

#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>
#include <pcap/pcap.h>

namespace trklib::sim::test {
namespace {

constexpr int eth = UdpFrameBuilder::ethernetHeaderBytes;

quint16 be16(const QByteArray& b, int at)
{
    return qFromBigEndian<quint16>(b.constData() + at);
}

QByteArray payload(int size)
{
    QByteArray p(size, '\0');
    for (int i = 0; i < size; ++i)
        p[i] = char(i * 7 + 3);
    return p;
}

// The UDP checksum over the pseudo-header and the reassembled datagram.
bool udpChecksumHolds(const QByteArray& udp, const QByteArray& addresses, bool ipv6)
{
    QByteArray pseudo = addresses;
    QByteArray tail(ipv6 ? 8 : 4, '\0');
    qToBigEndian<quint16>(quint16(udp.size()), tail.data() + 2);
    tail[ipv6 ? 7 : 1] = char(17);
    pseudo.append(tail);
    return internetChecksumSum(udp, internetChecksumSum(pseudo)) == 0xFFFF;
}

TEST(UdpFrames, AnArrayBlockIsCutIntoIpv4FragmentsOf1480Bytes)
{
    UdpFrameBuilder builder(QHostAddress(QHostAddress::LocalHost), 34567);
    const QByteArray data = payload(4096);
    const QVector<QByteArray> frames = builder.frames(data);
    ASSERT_EQ(frames.size(), 3);
    QByteArray udp;
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray& f = frames[i];
        const quint16 flags = be16(f, eth + 6);
        EXPECT_EQ(be16(f, eth + 4), be16(frames[0], eth + 4)) << "one identification";
        EXPECT_EQ((flags & 0x1FFF) * 8, udp.size()) << "offset of fragment " << i;
        EXPECT_EQ(bool(flags & 0x2000), i < 2) << "more fragments";
        EXPECT_EQ(internetChecksumSum(f.mid(eth, 20)), 0xFFFF);
        EXPECT_EQ(be16(f, eth + 2), f.size() - eth);
        EXPECT_LE(f.size() - eth, UdpFrameBuilder::mtuBytes);
        udp.append(f.mid(eth + 20));
    }
    EXPECT_EQ(frames[0].size() - eth - 20, 1480);
    EXPECT_EQ(frames[1].size() - eth - 20, 1480);
    ASSERT_EQ(udp.size(), 8 + 4096);
    EXPECT_EQ(udp.mid(8), data);
    EXPECT_TRUE(udpChecksumHolds(udp, frames[0].mid(eth + 12, 8), false));
    EXPECT_NE(be16(builder.frames(data)[0], eth + 4), be16(frames[0], eth + 4))
        << "the next datagram has the next identification";

    // The largest payload that fits one frame goes unfragmented, marked so.
    const QVector<QByteArray> whole =
        builder.frames(payload(UdpFrameBuilder::maxUnfragmentedIpv4Payload));
    ASSERT_EQ(whole.size(), 1);
    EXPECT_EQ(whole[0].size(), 1514);
    EXPECT_EQ(be16(whole[0], eth + 6), 0x4000);
    EXPECT_EQ(be16(whole[0], eth + 20), 40000);
    EXPECT_EQ(be16(whole[0], eth + 22), 34567);
    EXPECT_TRUE(udpChecksumHolds(whole[0].mid(eth + 20), whole[0].mid(eth + 12, 8), false));
    EXPECT_EQ(builder.frames(payload(UdpFrameBuilder::maxUnfragmentedIpv4Payload + 1)).size(), 2);
}

TEST(UdpFrames, Ipv6DestinationsGetIpv6FramesWithFragmentHeaders)
{
    UdpFrameBuilder builder(QHostAddress(QHostAddress::LocalHostIPv6), 34567);
    const QByteArray data = payload(4096);
    const QVector<QByteArray> frames = builder.frames(data);
    ASSERT_EQ(frames.size(), 3);
    QByteArray udp;
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray& f = frames[i];
        EXPECT_EQ(be16(f, 12), 0x86DD);
        EXPECT_EQ(quint8(f[eth + 6]), 44) << "next header: fragment";
        const quint16 offsetAndFlag = be16(f, eth + 40 + 2);
        EXPECT_EQ(offsetAndFlag & ~7, udp.size());
        EXPECT_EQ(bool(offsetAndFlag & 1), i < 2);
        EXPECT_LE(f.size() - eth, UdpFrameBuilder::mtuBytes);
        udp.append(f.mid(eth + 48));
    }
    EXPECT_EQ(udp.mid(8), data);
    EXPECT_TRUE(udpChecksumHolds(udp, frames[0].mid(eth + 8, 32), true));

    const QVector<QByteArray> single = builder.frames(payload(48));
    ASSERT_EQ(single.size(), 1);
    EXPECT_EQ(quint8(single[0][eth + 6]), 17);
}

TEST(PcapWriter, WritesAClassicEthernetCaptureThatLibpcapReadsBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.pcap"));
    UdpFrameBuilder builder(QHostAddress(QHostAddress::LocalHost), 34567);
    const QVector<QByteArray> frames = builder.frames(payload(4096));
    {
        PcapWriter writer;
        QString error;
        ASSERT_TRUE(writer.open(path, error)) << error.toStdString();
        for (const QByteArray& f : frames)
            writer.write(f, 1700000000123456);
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(path.toLocal8Bit().constData(), errbuf);
    ASSERT_NE(in, nullptr) << errbuf;
    EXPECT_EQ(pcap_datalink(in), DLT_EN10MB);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int count = 0;
    while (pcap_next_ex(in, &header, &data) == 1) {
        ASSERT_LT(count, frames.size());
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(data), int(header->caplen)),
                  frames[count]);
        EXPECT_EQ(header->ts.tv_sec, 1700000000);
        EXPECT_EQ(header->ts.tv_usec, 123456);
        ++count;
    }
    pcap_close(in);
    EXPECT_EQ(count, frames.size());

    PcapWriter writer;
    QString error;
    EXPECT_FALSE(writer.open(dir.filePath(QStringLiteral("no/such/dir/out.pcap")), error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
} // namespace trklib::sim::test

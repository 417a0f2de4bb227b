// The frames that radarsim writes to its capture, and the loss and
// reordering of datagrams that it can apply.

#include "datagramshaper.h"
#include "udpframes.h"

#include <QtEndian>

#include <gtest/gtest.h>

namespace trklib::sim::test {
namespace {

constexpr int eth = UdpFrameBuilder::ethernetHeaderBytes;

quint16 be16(const QByteArray& b, int at)
{
    return qFromBigEndian<quint16>(b.constData() + at);
}

QByteArray payload(int size)
{
    QByteArray p;
    for (int i = 0; i < size; ++i)
        p += char(i * 7 + 3);
    return p;
}

// The UDP checksum over the pseudo-header and the reassembled datagram.
bool udpChecksumHolds(const QByteArray& udp, const QByteArray& addresses, bool ipv6)
{
    QByteArray tail(ipv6 ? 8 : 4, '\0');
    qToBigEndian<quint16>(quint16(udp.size()), tail.data() + 2);
    tail[ipv6 ? 7 : 1] = char(17);
    return internetChecksumSum(udp, internetChecksumSum(addresses + tail)) == 0xFFFF;
}

TEST(UdpFrames, AnArrayBlockIsCutIntoIpFragmentsThatFitTheMtu)
{
    const QByteArray data = payload(4096);
    for (const bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "IPv6" : "IPv4");
        UdpFrameBuilder builder(
            QHostAddress(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost), 34567);
        const int ipHeader = ipv6 ? 48 : 20; // IPv6 with its fragment header
        const QVector<QByteArray> frames = builder.frames(data);
        ASSERT_EQ(frames.size(), 3);
        QByteArray udp;
        for (int i = 0; i < frames.size(); ++i) {
            const QByteArray& f = frames[i];
            EXPECT_EQ(be16(f, 12), ipv6 ? 0x86DD : 0x0800);
            EXPECT_LE(f.size() - eth, UdpFrameBuilder::mtuBytes);
            if (ipv6) {
                EXPECT_EQ(quint8(f[eth + 6]), 44) << "next header: fragment";
                EXPECT_EQ(be16(f, eth + 42) & ~7, udp.size()) << "offset of fragment " << i;
                EXPECT_EQ(bool(be16(f, eth + 42) & 1), i < 2) << "more fragments";
            } else {
                EXPECT_EQ(be16(f, eth + 4), be16(frames[0], eth + 4)) << "one identification";
                EXPECT_EQ((be16(f, eth + 6) & 0x1FFF) * 8, udp.size())
                    << "offset of fragment " << i;
                EXPECT_EQ(bool(be16(f, eth + 6) & 0x2000), i < 2) << "more fragments";
                EXPECT_EQ(internetChecksumSum(f.mid(eth, 20)), 0xFFFF);
                EXPECT_EQ(be16(f, eth + 2), f.size() - eth);
                EXPECT_EQ(f.size() - eth - 20, i < 2 ? 1480 : 8 + 4096 - 2 * 1480);
            }
            udp.append(f.mid(eth + ipHeader));
        }
        EXPECT_EQ(udp.mid(8), data);
        EXPECT_TRUE(
            udpChecksumHolds(udp, frames[0].mid(eth + (ipv6 ? 8 : 12), ipv6 ? 32 : 8), ipv6));
    }

    UdpFrameBuilder builder(QHostAddress(QHostAddress::LocalHost), 34567);
    const QVector<QByteArray> first = builder.frames(data);
    EXPECT_NE(be16(builder.frames(data)[0], eth + 4), be16(first[0], eth + 4))
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
    // A simulator sending from its own address (--source) shows it, and its
    // port, in the frames and their checksum.
    const QByteArray sent = UdpFrameBuilder(QHostAddress(QHostAddress::LocalHost), 34567, 41000,
                                            QHostAddress(QStringLiteral("127.0.0.3")))
                                .frames(payload(48))[0];
    EXPECT_EQ(sent.mid(eth + 12, 4), QByteArray::fromHex("7f000003"));
    EXPECT_EQ(be16(sent, eth + 20), 41000);
    EXPECT_TRUE(udpChecksumHolds(sent.mid(eth + 20), sent.mid(eth + 12, 8), false));
    EXPECT_EQ(builder.frames(payload(UdpFrameBuilder::maxUnfragmentedIpv4Payload + 1)).size(), 2);

    const QVector<QByteArray> single =
        UdpFrameBuilder(QHostAddress(QHostAddress::LocalHostIPv6), 34567).frames(payload(48));
    ASSERT_EQ(single.size(), 1);
    EXPECT_EQ(quint8(single[0][eth + 6]), 17) << "no fragment header";
}

TEST(DatagramShaper, LosesAndSwapsDatagramsReproducibly)
{
    QVector<QByteArray> datagrams;
    for (int i = 0; i < 200; ++i)
        datagrams.append(QByteArray::number(i));

    EXPECT_EQ(DatagramShaper(0.0, 0.0, 1).shape(datagrams), datagrams);
    EXPECT_TRUE(DatagramShaper(1.0, 0.0, 1).shape(datagrams).isEmpty());

    const QVector<QByteArray> swapped = DatagramShaper(0.0, 1.0, 1).shape(datagrams);
    ASSERT_EQ(swapped.size(), datagrams.size());
    EXPECT_EQ(swapped[0], datagrams[1]);
    EXPECT_EQ(swapped[1], datagrams[0]);

    const QVector<QByteArray> some = DatagramShaper(0.2, 0.0, 5).shape(datagrams);
    EXPECT_GT(some.size(), 120);
    EXPECT_LT(some.size(), 190);
    EXPECT_EQ(DatagramShaper(0.2, 0.0, 5).shape(datagrams), some);
}

} // namespace
} // namespace trklib::sim::test

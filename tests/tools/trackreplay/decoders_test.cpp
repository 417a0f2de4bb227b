#include "captureframes.h"
#include "datagramextractor.h"
#include "ipdecoder.h"
#include "linklayer.h"

#include <gtest/gtest.h>

#include <pcap/dlt.h>

namespace trklib::replay {
namespace {

using namespace trklib::test;

constexpr quint16 radarPort = 34567;
constexpr quint8 hopByHop = 0;
constexpr quint8 destinationOptions = 60;

QByteArray radarPayload(int bytes)
{
    QByteArray data(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        data[i] = char(i * 13 + 5);
    return data;
}

QByteArray udpIpv4(const QByteArray& payload, quint16 port = radarPort)
{
    return ipv4Packet({}, udpSegment(50000, port, payload));
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (8 * i));
    return bytes;
}

QByteArray be32(quint32 value)
{
    QByteArray bytes = le32(value);
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

void expectNetwork(int linkType, const QByteArray& frame, NetworkProtocol protocol,
                   const QByteArray& packet)
{
    const std::optional<NetworkPacket> decoded = decodeLinkLayer(linkType, frame);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->protocol, protocol);
    EXPECT_EQ(decoded->bytes, packet);
}

TEST(LinkLayer, EthernetWithAndWithoutVlanTags)
{
    const QByteArray v4 = udpIpv4(radarPayload(48));
    const QByteArray v6 = ipv6Packet({}, udpSegment(50000, radarPort, radarPayload(48)));
    expectNetwork(DLT_EN10MB, ethernetFrame(ethertypeIpv4, v4), NetworkProtocol::IPv4, v4);
    expectNetwork(DLT_EN10MB, ethernetFrame(ethertypeIpv6, v6), NetworkProtocol::IPv6, v6);
    expectNetwork(DLT_EN10MB, ethernetFrame(ethertypeIpv4, v4, {0x8100}), NetworkProtocol::IPv4,
                  v4);
    expectNetwork(DLT_EN10MB, ethernetFrame(ethertypeIpv6, v6, {0x88A8, 0x8100}),
                  NetworkProtocol::IPv6, v6);

    EXPECT_FALSE(decodeLinkLayer(DLT_EN10MB, ethernetFrame(0x0806, v4))); // ARP
    EXPECT_FALSE(decodeLinkLayer(DLT_EN10MB, ethernetFrame(ethertypeIpv4, v4).left(13)));
    EXPECT_FALSE(decodeLinkLayer(DLT_EN10MB, ethernetFrame(ethertypeIpv4, {}, {0x8100}).left(16)));
}

TEST(LinkLayer, CookedLoopbackAndRawCaptures)
{
    const QByteArray v4 = udpIpv4(radarPayload(48));
    const QByteArray v6 = ipv6Packet({}, udpSegment(50000, radarPort, radarPayload(48)));

    // Linux cooked v1: packet type, address type, address length, 8 address
    // bytes, protocol. v2: protocol first, then 18 more bytes.
    const QByteArray sll = QByteArray::fromHex("0000"
                                               "0001"
                                               "0006"
                                               "0200000000010000"
                                               "0800");
    const QByteArray sll2 = QByteArray::fromHex("86dd"
                                                "0000"
                                                "00000002"
                                                "0001"
                                                "04"
                                                "06"
                                                "0200000000010000");
    ASSERT_EQ(sll.size(), 16);
    ASSERT_EQ(sll2.size(), 20);
    expectNetwork(DLT_LINUX_SLL, sll + v4, NetworkProtocol::IPv4, v4);
    expectNetwork(DLT_LINUX_SLL2, sll2 + v6, NetworkProtocol::IPv6, v6);

    // BSD loopback: the family in the capturing host's byte order (either),
    // or always big-endian for DLT_LOOP; IPv6 has several family numbers.
    expectNetwork(DLT_NULL, le32(2) + v4, NetworkProtocol::IPv4, v4);
    expectNetwork(DLT_NULL, be32(2) + v4, NetworkProtocol::IPv4, v4);
    for (quint32 family : {10u, 24u, 28u, 30u})
        expectNetwork(DLT_NULL, le32(family) + v6, NetworkProtocol::IPv6, v6);
    expectNetwork(DLT_LOOP, be32(30) + v6, NetworkProtocol::IPv6, v6);
    EXPECT_FALSE(decodeLinkLayer(DLT_NULL, le32(7) + v4));

    expectNetwork(DLT_RAW, v4, NetworkProtocol::IPv4, v4);
    expectNetwork(DLT_RAW, v6, NetworkProtocol::IPv6, v6);
    expectNetwork(DLT_IPV4, v4, NetworkProtocol::IPv4, v4);

    EXPECT_FALSE(isSupportedLinkType(DLT_IEEE802_11));
    EXPECT_FALSE(decodeLinkLayer(DLT_IEEE802_11, v4));
}

TEST(IpDecoding, Ipv4HeaderOptionsPaddingAndTruncation)
{
    const QByteArray udp = udpSegment(50000, radarPort, radarPayload(20));
    Ipv4Fields fields;
    fields.optionBytes = 8;
    fields.id = 0xBEEF;
    fields.fragmentOffset = 1480;
    fields.moreFragments = true;
    const QByteArray packet = ipv4Packet(fields, udp);

    // Ethernet pads short frames; the total length field tells where the
    // packet ends.
    const std::optional<IpPacket> ip =
        decodeIp({NetworkProtocol::IPv4, packet + QByteArray(10, '\0')});
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->payload, udp);
    EXPECT_EQ(ip->protocol, protocolUdp);
    EXPECT_EQ(ip->source, fields.source);
    EXPECT_EQ(ip->destination, fields.destination);
    EXPECT_TRUE(ip->isFragment);
    EXPECT_EQ(ip->fragmentId, 0xBEEFu);
    EXPECT_EQ(ip->fragmentOffset, 1480);
    EXPECT_TRUE(ip->moreFragments);

    // Cut short by the capture's snapshot length.
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv4, packet.left(packet.size() - 1)}));
    QByteArray badHeaderLength = packet;
    badHeaderLength[0] = char(0x44);
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv4, badHeaderLength}));
}

TEST(IpDecoding, Ipv6ExtensionHeadersAndFragments)
{
    const QByteArray udp = udpSegment(50000, radarPort, radarPayload(20));
    Ipv6Fields fields;
    fields.nextHeader = hopByHop;
    fields.extensionHeaders =
        ipv6ExtensionHeader(destinationOptions, 8) + ipv6ExtensionHeader(protocolUdp, 16);
    std::optional<IpPacket> ip = decodeIp({NetworkProtocol::IPv6, ipv6Packet(fields, udp)});
    ASSERT_TRUE(ip);
    EXPECT_FALSE(ip->isFragment);
    EXPECT_EQ(ip->protocol, protocolUdp);
    EXPECT_EQ(ip->payload, udp);

    const QVector<QByteArray> fragments = ipv6Fragments({}, 0x12345678, udp, 16);
    ASSERT_EQ(fragments.size(), 2);
    ip = decodeIp({NetworkProtocol::IPv6, fragments[1]});
    ASSERT_TRUE(ip);
    EXPECT_TRUE(ip->isFragment);
    EXPECT_EQ(ip->fragmentId, 0x12345678u);
    EXPECT_EQ(ip->fragmentOffset, 16);
    EXPECT_FALSE(ip->moreFragments);
    EXPECT_EQ(ip->payload, udp.mid(16));

    // An atomic fragment (offset 0, no more fragments) is a whole datagram.
    ip = decodeIp({NetworkProtocol::IPv6, ipv6Fragments({}, 1, udp, 64).first()});
    ASSERT_TRUE(ip);
    EXPECT_FALSE(ip->isFragment);
    EXPECT_EQ(ip->payload, udp);

    QByteArray jumbogram = ipv6Packet({}, udp);
    jumbogram[4] = jumbogram[5] = 0;
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv6, jumbogram}));
    Ipv6Fields cutHeader;
    cutHeader.nextHeader = hopByHop;
    cutHeader.extensionHeaders = ipv6ExtensionHeader(protocolUdp, 8).left(4);
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv6, ipv6Packet(cutHeader, {})}));
}

TEST(UdpDecoding, LengthFieldBoundsThePayload)
{
    const QByteArray udp = udpSegment(1234, radarPort, radarPayload(30));
    std::optional<UdpDatagram> datagram = decodeUdp(udp + "tail");
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->sourcePort, 1234);
    EXPECT_EQ(datagram->destinationPort, radarPort);
    EXPECT_EQ(datagram->payload, radarPayload(30));
    EXPECT_FALSE(decodeUdp(udp.left(udp.size() - 1)));
    EXPECT_FALSE(decodeUdp(udp.left(7)));
}

TEST(DatagramExtractor, ReassemblesRadarDatagramsAndSkipsOtherTraffic)
{
    const QByteArray block = radarPayload(4096);
    DatagramExtractor extractor(DLT_EN10MB, radarPort);

    // IPv4 fragments, last one first.
    QVector<QByteArray> frames = udpFrames({block}, Network::IPv4, radarPort, true);
    ASSERT_EQ(frames.size(), 3);
    EXPECT_FALSE(extractor.offer(frames[2]));
    EXPECT_FALSE(extractor.offer(frames[0]));
    EXPECT_EQ(extractor.offer(frames[1]), block);

    // IPv6 fragments with a destination options header behind the fragment
    // header, so only the whole payload shows the UDP header.
    Ipv6Fields fields;
    fields.nextHeader = destinationOptions;
    const QByteArray payload =
        ipv6ExtensionHeader(protocolUdp, 8) + udpSegment(50000, radarPort, block);
    const QVector<QByteArray> v6 = ipv6Fragments(fields, 77, payload, 1448);
    ASSERT_EQ(v6.size(), 3);
    EXPECT_FALSE(extractor.offer(ethernetFrame(ethertypeIpv6, v6[0])));
    EXPECT_FALSE(extractor.offer(ethernetFrame(ethertypeIpv6, v6[1])));
    EXPECT_EQ(extractor.offer(ethernetFrame(ethertypeIpv6, v6[2])), block);

    // Another port, another protocol, a frame cut short: nothing.
    EXPECT_FALSE(extractor.offer(ethernetFrame(ethertypeIpv4, udpIpv4(block, 34568))));
    Ipv4Fields tcp;
    tcp.protocol = 6;
    EXPECT_FALSE(extractor.offer(
        ethernetFrame(ethertypeIpv4, ipv4Packet(tcp, udpSegment(50000, radarPort, block)))));
    EXPECT_FALSE(extractor.offer(ethernetFrame(ethertypeIpv4, udpIpv4(block)).left(1000)));

    EXPECT_EQ(extractor.datagrams(), 2);
    EXPECT_EQ(extractor.reassembler().pendingDatagrams(), 0);
}

} // namespace
} // namespace trklib::replay

#include "tools/common/capture/datagramextractor.h"
#include "tools/common/capture/ipdecoder.h"
#include "tools/common/capture/linklayer.h"

#include "input/wireformat.h"

#include <gtest/gtest.h>

#include <pcap/dlt.h>

#include <tuple>

namespace trklib::capture {
namespace {

constexpr quint16 radarPort = wire::defaultPort;
constexpr quint16 ethertypeIpv4 = 0x0800;
constexpr quint16 ethertypeIpv6 = 0x86DD;
constexpr quint8 hopByHop = 0;
constexpr quint8 ipv6Fragment = 44;
constexpr quint8 destinationOptions = 60;

// Packets built field by field in network byte order; checksums stay zero,
// which the decoders do not look at.
QByteArray be16(quint16 v)
{
    return QByteArray(1, char(v >> 8)) + char(v);
}

QByteArray payload(int bytes)
{
    QByteArray data;
    for (int i = 0; i < bytes; ++i)
        data += char(i * 13 + 5);
    return data;
}

QByteArray udp(const QByteArray& data, quint16 port = radarPort)
{
    return be16(50000) + be16(port) + be16(quint16(8 + data.size())) + be16(0) + data;
}

const QByteArray v4Source = QByteArray::fromHex("c0a80114");
const QByteArray v4Destination = QByteArray::fromHex("c0a8010a");

QByteArray ipv4(const QByteArray& transport, quint16 id = 0, int offset = 0, bool more = false,
                int optionBytes = 0, quint8 protocol = protocolUdp)
{
    const int headerBytes = 20 + optionBytes;
    return QByteArray(1, char(0x40 | headerBytes / 4)) + '\0' +
           be16(quint16(headerBytes + transport.size())) + be16(id) +
           be16(quint16((more ? 0x2000 : 0) | offset / 8)) + char(64) + char(protocol) + be16(0) +
           v4Source + v4Destination + QByteArray(optionBytes, '\0') + transport;
}

// The payload starts with the extension headers that next names.
QByteArray ipv6(quint8 next, const QByteArray& data)
{
    return QByteArray::fromHex("60000000") + be16(quint16(data.size())) + char(next) + char(64) +
           QByteArray::fromHex("fd000000000000000000000000000014fd00000000000000000000000000000a") +
           data;
}

QByteArray extension(quint8 next, int bytes)
{
    return QByteArray(1, char(next)) + char(bytes / 8 - 1) + QByteArray(bytes - 2, '\0');
}

// The payload cut into IPv6 fragments of at most partBytes each.
QVector<QByteArray> fragments(const QByteArray& data, int partBytes, quint32 id,
                              quint8 next = protocolUdp)
{
    QVector<QByteArray> out;
    for (int pos = 0; pos < data.size(); pos += partBytes) {
        const bool more = pos + partBytes < data.size();
        out.append(ipv6(ipv6Fragment, QByteArray(1, char(next)) + '\0' + be16(quint16(pos | more)) +
                                          be16(quint16(id >> 16)) + be16(quint16(id)) +
                                          data.mid(pos, partBytes)));
    }
    return out;
}

QByteArray ethernet(quint16 ethertype, const QByteArray& packet, const QByteArray& tags = {})
{
    return QByteArray(12, '\x02') + tags + be16(ethertype) + packet;
}

TEST(LinkLayer, StripsEveryKnownLinkHeaderAndRefusesTheRest)
{
    const QByteArray v4 = ipv4(udp(payload(48)));
    const QByteArray v6 = ipv6(protocolUdp, udp(payload(48)));
    const QByteArray vlan = QByteArray::fromHex("81000064");
    // Linux cooked v1: packet type, address type, address length, 8 address
    // bytes, protocol. v2: protocol, reserved, interface, address type,
    // packet type (here 4, sent), address length, 8 address bytes.
    const QByteArray sll = QByteArray::fromHex("00000001000602000000000100000800");
    const QByteArray sll2 = QByteArray::fromHex("86dd000000000002000104060200000000010000");
    struct Case
    {
        int linkType;
        QByteArray frame;
        int ipVersion; // 0: refused
    };
    const Case cases[] = {
        {DLT_EN10MB, ethernet(ethertypeIpv4, v4), 4},
        {DLT_EN10MB, ethernet(ethertypeIpv6, v6), 6},
        {DLT_EN10MB, ethernet(ethertypeIpv4, v4, vlan), 4},
        {DLT_EN10MB, ethernet(ethertypeIpv6, v6, QByteArray::fromHex("88a80064") + vlan), 6},
        {DLT_LINUX_SLL, sll + v4, 4},
        {DLT_LINUX_SLL2, sll2 + v6, 6},
        // BSD loopback: the family in the capturing host's byte order
        // (either), or big-endian for DLT_LOOP; IPv6 has several numbers.
        {DLT_NULL, QByteArray::fromHex("02000000") + v4, 4},
        {DLT_NULL, QByteArray::fromHex("00000002") + v4, 4},
        {DLT_NULL, QByteArray::fromHex("0a000000") + v6, 6},
        {DLT_NULL, QByteArray::fromHex("18000000") + v6, 6},
        {DLT_NULL, QByteArray::fromHex("1c000000") + v6, 6},
        {DLT_NULL, QByteArray::fromHex("1e000000") + v6, 6},
        {DLT_LOOP, QByteArray::fromHex("0000001e") + v6, 6},
        {DLT_RAW, v4, 4},
        {DLT_RAW, v6, 6},
        {DLT_IPV4, v4, 4},
        {DLT_EN10MB, ethernet(0x0806, v4), 0}, // ARP
        {DLT_EN10MB, ethernet(ethertypeIpv4, v4).left(13), 0},
        {DLT_EN10MB, ethernet(ethertypeIpv4, {}, vlan).left(16), 0},
        {DLT_NULL, QByteArray::fromHex("07000000") + v4, 0},
        {DLT_IEEE802_11, v4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "link type " << c.linkType << ", " << c.frame.size() << " bytes");
        const std::optional<NetworkPacket> decoded = decodeLinkLayer(c.linkType, c.frame);
        ASSERT_EQ(bool(decoded), c.ipVersion != 0);
        if (decoded) {
            EXPECT_EQ(decoded->protocol,
                      c.ipVersion == 6 ? NetworkProtocol::IPv6 : NetworkProtocol::IPv4);
            EXPECT_EQ(decoded->bytes, c.ipVersion == 6 ? v6 : v4);
        }
    }
    EXPECT_FALSE(isSupportedLinkType(DLT_IEEE802_11));

    // The packet type of Linux cooked captures: 4 for a frame the capturing
    // host sent, others for frames it received (0 to itself, 3 to another).
    const struct
    {
        int linkType;
        QByteArray frame;
        bool sent;
    } directions[] = {
        {DLT_LINUX_SLL, sll + v4, false},
        {DLT_LINUX_SLL, QByteArray::fromHex("0004") + sll.mid(2) + v4, true},
        {DLT_LINUX_SLL, QByteArray::fromHex("0400") + sll.mid(2) + v4, false},
        {DLT_LINUX_SLL2, sll2 + v6, true},
        {DLT_LINUX_SLL2, sll2.left(10) + char(3) + sll2.mid(11) + v6, false},
        {DLT_EN10MB, ethernet(ethertypeIpv4, v4), false},
    };
    for (const auto& d : directions) {
        SCOPED_TRACE(::testing::Message() << "link type " << d.linkType << ", sent " << d.sent);
        const std::optional<NetworkPacket> decoded = decodeLinkLayer(d.linkType, d.frame);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->sent, d.sent);
    }
}

TEST(IpDecoding, Ipv4HeaderOptionsPaddingAndTruncation)
{
    const QByteArray transport = udp(payload(20));
    const QByteArray packet = ipv4(transport, 0xBEEF, 1480, true, 8);
    // Ethernet pads short frames; the total length tells where the packet ends.
    const std::optional<IpPacket> ip =
        decodeIp({NetworkProtocol::IPv4, packet + QByteArray(10, 0)});
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->payload, transport);
    EXPECT_EQ(ip->protocol, protocolUdp);
    EXPECT_EQ(ip->source + ip->destination, v4Source + v4Destination);
    EXPECT_EQ(
        std::make_tuple(ip->isFragment, ip->fragmentId, ip->fragmentOffset, ip->moreFragments),
        std::make_tuple(true, 0xBEEFu, 1480, true));

    // Cut short by the capture's snapshot length, or a header length below 20.
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv4, packet.left(packet.size() - 1)}));
    QByteArray badHeaderLength = packet;
    badHeaderLength[0] = char(0x44);
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv4, badHeaderLength}));
}

TEST(IpDecoding, Ipv6ExtensionHeadersAndFragments)
{
    const QByteArray transport = udp(payload(20));
    std::optional<IpPacket> ip = decodeIp(
        {NetworkProtocol::IPv6, ipv6(hopByHop, extension(destinationOptions, 8) +
                                                   extension(protocolUdp, 16) + transport)});
    ASSERT_TRUE(ip);
    EXPECT_FALSE(ip->isFragment);
    EXPECT_EQ(ip->protocol, protocolUdp);
    EXPECT_EQ(ip->payload, transport);

    const QVector<QByteArray> parts = fragments(transport, 16, 0x12345678);
    ASSERT_EQ(parts.size(), 2);
    ip = decodeIp({NetworkProtocol::IPv6, parts[1]});
    ASSERT_TRUE(ip);
    EXPECT_EQ(
        std::make_tuple(ip->isFragment, ip->fragmentId, ip->fragmentOffset, ip->moreFragments),
        std::make_tuple(true, 0x12345678u, 16, false));
    EXPECT_EQ(ip->payload, transport.mid(16));

    // An atomic fragment (offset 0, no more fragments) is a whole datagram.
    ip = decodeIp({NetworkProtocol::IPv6, fragments(transport, 64, 1).first()});
    ASSERT_TRUE(ip);
    EXPECT_FALSE(ip->isFragment);
    EXPECT_EQ(ip->payload, transport);

    QByteArray jumbogram = ipv6(protocolUdp, transport);
    jumbogram[4] = jumbogram[5] = 0;
    EXPECT_FALSE(decodeIp({NetworkProtocol::IPv6, jumbogram}));
    EXPECT_FALSE(
        decodeIp({NetworkProtocol::IPv6, ipv6(hopByHop, extension(protocolUdp, 8).left(4))}));
}

TEST(UdpDecoding, LengthFieldBoundsThePayload)
{
    const QByteArray transport = udp(payload(30));
    const std::optional<UdpDatagram> datagram = decodeUdp(transport + "tail");
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->sourcePort, 50000);
    EXPECT_EQ(datagram->destinationPort, radarPort);
    EXPECT_EQ(datagram->payload, payload(30));
    EXPECT_FALSE(decodeUdp(transport.left(transport.size() - 1)));
    EXPECT_FALSE(decodeUdp(transport.left(7)));
}

TEST(DatagramExtractor, ReassemblesRadarDatagramsAndSkipsOtherTraffic)
{
    const QByteArray block = payload(4096);
    DatagramExtractor extractor(DLT_EN10MB, radarPort);

    // A destination options header behind the fragment header: only the
    // whole payload shows the UDP header.
    const QVector<QByteArray> v6 =
        fragments(extension(protocolUdp, 8) + udp(block), 1448, 77, destinationOptions);
    ASSERT_EQ(v6.size(), 3);
    EXPECT_FALSE(extractor.offer(ethernet(ethertypeIpv6, v6[0])));
    EXPECT_FALSE(extractor.offer(ethernet(ethertypeIpv6, v6[1])));
    const std::optional<CapturedDatagram> whole = extractor.offer(ethernet(ethertypeIpv6, v6[2]));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->payload, block);
    // The sender, by which the datagrams are assembled into packets, and
    // where they went, by which they are told to a radar.
    EXPECT_EQ(whole->source, QHostAddress(QStringLiteral("fd00::14")));
    EXPECT_EQ(whole->sourcePort, 50000);
    EXPECT_EQ(whole->destination, QHostAddress(QStringLiteral("fd00::a")));
    EXPECT_EQ(whole->destinationPort, radarPort);
    const std::optional<CapturedDatagram> v4 =
        extractor.offer(ethernet(ethertypeIpv4, ipv4(udp(payload(48)))));
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->source, QHostAddress(QStringLiteral("192.168.1.20")));
    EXPECT_EQ(v4->destination, QHostAddress(QStringLiteral("192.168.1.10")));

    // Another port, another protocol, a frame cut short: nothing.
    EXPECT_FALSE(extractor.offer(ethernet(ethertypeIpv4, ipv4(udp(block, 34568)))));
    EXPECT_FALSE(extractor.offer(ethernet(ethertypeIpv4, ipv4(udp(block), 0, 0, false, 0, 6))));
    EXPECT_FALSE(extractor.offer(ethernet(ethertypeIpv4, ipv4(udp(block))).left(1000)));

    EXPECT_EQ(extractor.datagrams(), 2);
    EXPECT_EQ(extractor.reassembler().pendingDatagrams(), 0);

    // A site's radars on several ports: each taken, with its port.
    DatagramExtractor site(DLT_EN10MB, QVector<quint16>{radarPort, 34568});
    for (const quint16 port : {radarPort, quint16(34568), quint16(34569)}) {
        const std::optional<CapturedDatagram> d =
            site.offer(ethernet(ethertypeIpv4, ipv4(udp(payload(48), port))));
        EXPECT_EQ(d ? d->destinationPort : 0, port == 34569 ? 0 : port);
    }
}

} // namespace
} // namespace trklib::capture

#include "tools/common/capture/ipdecoder.h"

#include "tools/common/capture/bytes.h"

namespace trklib::capture {

namespace {

constexpr int ipv4MinHeaderBytes = 20;
constexpr quint16 ipv4MoreFragments = 0x2000;
constexpr quint16 ipv4OffsetMask = 0x1FFF; // in units of 8 bytes
constexpr int fragmentUnitBytes = 8;

constexpr int ipv6HeaderBytes = 40;
constexpr int ipv6FragmentHeaderBytes = 8;
constexpr quint16 ipv6OffsetMask = 0xFFF8; // already in bytes
constexpr quint16 ipv6MoreFragments = 0x0001;

constexpr quint8 ipv6HopByHop = 0;
constexpr quint8 ipv6Routing = 43;
constexpr quint8 ipv6Fragment = 44;
constexpr quint8 ipv6Authentication = 51;
constexpr quint8 ipv6DestinationOptions = 60;

constexpr int udpHeaderBytes = 8;

// Length of the extension header at pos, or 0 when protocol is none of the
// headers we skip.
int extensionHeaderBytes(quint8 protocol, const QByteArray& bytes, int pos)
{
    switch (protocol) {
    case ipv6HopByHop:
    case ipv6Routing:
    case ipv6DestinationOptions:
        return (quint8(bytes[pos + 1]) + 1) * 8;
    case ipv6Authentication:
        return (quint8(bytes[pos + 1]) + 2) * 4;
    default:
        return 0;
    }
}

std::optional<IpPacket> decodeIpv4(const QByteArray& bytes)
{
    if (bytes.size() < ipv4MinHeaderBytes || quint8(bytes[0]) >> 4 != 4)
        return std::nullopt;
    const int headerBytes = (quint8(bytes[0]) & 0x0F) * 4;
    const int totalBytes = be16(bytes, 2);
    if (headerBytes < ipv4MinHeaderBytes || totalBytes < headerBytes || totalBytes > bytes.size())
        return std::nullopt;

    IpPacket packet;
    packet.version = 4;
    packet.fragmentId = be16(bytes, 4);
    const quint16 flags = be16(bytes, 6);
    packet.moreFragments = (flags & ipv4MoreFragments) != 0;
    packet.fragmentOffset = (flags & ipv4OffsetMask) * fragmentUnitBytes;
    packet.isFragment = packet.moreFragments || packet.fragmentOffset != 0;
    packet.protocol = quint8(bytes[9]);
    packet.source = bytes.mid(12, 4);
    packet.destination = bytes.mid(16, 4);
    packet.payload = bytes.mid(headerBytes, totalBytes - headerBytes);
    return packet;
}

std::optional<IpPacket> decodeIpv6(const QByteArray& bytes)
{
    if (bytes.size() < ipv6HeaderBytes || quint8(bytes[0]) >> 4 != 6)
        return std::nullopt;
    const int payloadBytes = be16(bytes, 4);
    const int end = ipv6HeaderBytes + payloadBytes;
    if (payloadBytes == 0 || end > bytes.size())
        return std::nullopt; // jumbogram, or cut short

    IpPacket packet;
    packet.version = 6;
    packet.source = bytes.mid(8, 16);
    packet.destination = bytes.mid(24, 16);
    quint8 next = quint8(bytes[6]);
    int pos = ipv6HeaderBytes;
    while (true) {
        if (isSkippedIpv6Extension(next)) {
            if (pos + 2 > end)
                return std::nullopt;
            const int length = extensionHeaderBytes(next, bytes, pos);
            if (pos + length > end)
                return std::nullopt;
            next = quint8(bytes[pos]);
            pos += length;
        } else if (next == ipv6Fragment) {
            if (pos + ipv6FragmentHeaderBytes > end)
                return std::nullopt;
            const quint16 field = be16(bytes, pos + 2);
            const int offset = field & ipv6OffsetMask;
            const bool more = (field & ipv6MoreFragments) != 0;
            const quint32 id = be32(bytes, pos + 4);
            next = quint8(bytes[pos]);
            pos += ipv6FragmentHeaderBytes;
            if (offset != 0 || more) {
                packet.isFragment = true;
                packet.fragmentId = id;
                packet.fragmentOffset = offset;
                packet.moreFragments = more;
                break; // what follows is this fragment's part of the payload
            }
            // An atomic fragment is a whole datagram: read on.
        } else {
            break;
        }
    }
    packet.protocol = next;
    packet.payload = bytes.mid(pos, end - pos);
    return packet;
}

} // namespace

bool isSkippedIpv6Extension(quint8 protocol)
{
    return protocol == ipv6HopByHop || protocol == ipv6Routing ||
           protocol == ipv6DestinationOptions || protocol == ipv6Authentication;
}

std::optional<IpPacket> decodeIp(const NetworkPacket& packet)
{
    return packet.protocol == NetworkProtocol::IPv4 ? decodeIpv4(packet.bytes)
                                                    : decodeIpv6(packet.bytes);
}

bool skipIpv6ExtensionHeaders(quint8& protocol, QByteArray& payload)
{
    int pos = 0;
    while (isSkippedIpv6Extension(protocol)) {
        if (pos + 2 > payload.size())
            return false;
        const int length = extensionHeaderBytes(protocol, payload, pos);
        if (pos + length > payload.size())
            return false;
        protocol = quint8(payload[pos]);
        pos += length;
    }
    payload.remove(0, pos);
    return true;
}

std::optional<UdpDatagram> decodeUdp(const QByteArray& transport)
{
    if (transport.size() < udpHeaderBytes)
        return std::nullopt;
    const int length = be16(transport, 4);
    if (length < udpHeaderBytes || length > transport.size())
        return std::nullopt;
    UdpDatagram datagram;
    datagram.sourcePort = be16(transport, 0);
    datagram.destinationPort = be16(transport, 2);
    datagram.payload = transport.mid(udpHeaderBytes, length - udpHeaderBytes);
    return datagram;
}

} // namespace trklib::capture

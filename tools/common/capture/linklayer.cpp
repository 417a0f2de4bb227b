#include "tools/common/capture/linklayer.h"

#include "tools/common/capture/bytes.h"

#include <pcap/dlt.h>

namespace trklib::capture {

namespace {

constexpr int ethernetHeaderBytes = 14;
constexpr int vlanTagBytes = 4;
constexpr int sllHeaderBytes = 16;
constexpr int sllPacketTypePos = 0; // 16 bits
constexpr int sllProtocolPos = 14;
constexpr int sll2HeaderBytes = 20;
constexpr int sll2ProtocolPos = 0;
constexpr int sll2PacketTypePos = 10; // 8 bits

// Linux cooked capture's packet type of a frame the host sent (the others
// say to whom a received frame was addressed).
constexpr quint16 packetTypeOutgoing = 4;
constexpr int loopbackHeaderBytes = 4;

constexpr quint16 ethertypeIpv4 = 0x0800;
constexpr quint16 ethertypeIpv6 = 0x86DD;
constexpr quint16 ethertypeVlan = 0x8100; // 802.1Q
constexpr quint16 ethertypeQinQ = 0x88A8; // 802.1ad service tag
constexpr quint16 ethertypeQinQLegacy = 0x9100;

// Address families in the loopback header. IPv6 differs between systems.
constexpr quint32 familyInet = 2;
constexpr quint32 familyInet6Linux = 10;
constexpr quint32 familyInet6NetBsd = 24;
constexpr quint32 familyInet6FreeBsd = 28;
constexpr quint32 familyInet6Darwin = 30;

bool isVlanTag(quint16 ethertype)
{
    return ethertype == ethertypeVlan || ethertype == ethertypeQinQ ||
           ethertype == ethertypeQinQLegacy;
}

// The packet behind an ethertype at pos, after any VLAN tags.
std::optional<NetworkPacket> fromEthertype(const QByteArray& frame, int typePos, int payloadPos)
{
    if (frame.size() < payloadPos)
        return std::nullopt;
    quint16 type = be16(frame, typePos);
    while (isVlanTag(type)) {
        if (frame.size() < payloadPos + vlanTagBytes)
            return std::nullopt;
        type = be16(frame, payloadPos + 2);
        payloadPos += vlanTagBytes;
    }
    if (type == ethertypeIpv4)
        return NetworkPacket{NetworkProtocol::IPv4, frame.mid(payloadPos)};
    if (type == ethertypeIpv6)
        return NetworkPacket{NetworkProtocol::IPv6, frame.mid(payloadPos)};
    return std::nullopt;
}

std::optional<NetworkPacket> fromFamily(quint32 family, const QByteArray& frame)
{
    const QByteArray bytes = frame.mid(loopbackHeaderBytes);
    if (family == familyInet)
        return NetworkPacket{NetworkProtocol::IPv4, bytes};
    if (family == familyInet6Linux || family == familyInet6NetBsd || family == familyInet6FreeBsd ||
        family == familyInet6Darwin)
        return NetworkPacket{NetworkProtocol::IPv6, bytes};
    return std::nullopt;
}

// Raw IP: the version nibble tells the protocol.
std::optional<NetworkPacket> fromVersion(const QByteArray& frame)
{
    if (frame.isEmpty())
        return std::nullopt;
    const int version = quint8(frame[0]) >> 4;
    if (version == 4)
        return NetworkPacket{NetworkProtocol::IPv4, frame};
    if (version == 6)
        return NetworkPacket{NetworkProtocol::IPv6, frame};
    return std::nullopt;
}

} // namespace

bool isSupportedLinkType(int linkType)
{
    switch (linkType) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

std::optional<NetworkPacket> decodeLinkLayer(int linkType, const QByteArray& frame)
{
    switch (linkType) {
    case DLT_EN10MB:
        return fromEthertype(frame, ethernetHeaderBytes - 2, ethernetHeaderBytes);
    case DLT_LINUX_SLL: {
        std::optional<NetworkPacket> packet = fromEthertype(frame, sllProtocolPos, sllHeaderBytes);
        if (packet)
            packet->sent = be16(frame, sllPacketTypePos) == packetTypeOutgoing;
        return packet;
    }
    case DLT_LINUX_SLL2: {
        std::optional<NetworkPacket> packet =
            fromEthertype(frame, sll2ProtocolPos, sll2HeaderBytes);
        if (packet)
            packet->sent = quint8(frame[sll2PacketTypePos]) == packetTypeOutgoing;
        return packet;
    }
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        return fromVersion(frame);
    case DLT_NULL: {
        if (frame.size() < loopbackHeaderBytes)
            return std::nullopt;
        // Written in the byte order of the capturing host: a family in the
        // upper half means the other byte order.
        quint32 family = le32(frame, 0);
        if ((family & 0xFFFF0000u) != 0 && (family & 0x0000FFFFu) == 0)
            family = be32(frame, 0);
        return fromFamily(family, frame);
    }
    case DLT_LOOP:
        if (frame.size() < loopbackHeaderBytes)
            return std::nullopt;
        return fromFamily(be32(frame, 0), frame);
    default:
        return std::nullopt;
    }
}

} // namespace trklib::capture

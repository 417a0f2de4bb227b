#pragma once

#include <QByteArray>

#include <optional>

namespace trklib::capture {

enum class NetworkProtocol
{
    IPv4,
    IPv6
};

// The network-layer part of one captured frame: from the first byte of the
// IP header to the end of the captured bytes (which may include link-layer
// padding; the IP decoder trims it by the IP length fields).
struct NetworkPacket
{
    NetworkProtocol protocol = NetworkProtocol::IPv4;
    QByteArray bytes;
    // Sent by the capturing host. Only Linux cooked captures say so; a
    // capture on all interfaces of a host (tcpdump -i any) holds what the host
    // sends to itself twice, once sent and once received.
    bool sent = false;
};

// Link types as libpcap reports them (DLT_ values): Ethernet with 802.1Q and
// 802.1ad VLAN tags, Linux cooked capture v1 and v2, raw IP (DLT_RAW,
// DLT_IPV4, DLT_IPV6), and BSD loopback (DLT_NULL in the capturing host's
// byte order, DLT_LOOP in network byte order).
bool isSupportedLinkType(int linkType);

// Strips the link-layer header of one frame. Empty when the frame carries
// neither IPv4 nor IPv6, is too short, or the link type is not supported.
std::optional<NetworkPacket> decodeLinkLayer(int linkType, const QByteArray& frame);

} // namespace trklib::capture

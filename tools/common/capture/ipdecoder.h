#pragma once

#include "tools/common/capture/linklayer.h"

#include <QByteArray>

#include <optional>

namespace trklib::capture {

constexpr quint8 protocolUdp = 17;

// One IPv4 or IPv6 packet, down to its transport payload or, for a fragment,
// to this fragment's part of the payload.
struct IpPacket
{
    int version = 4;
    QByteArray source;      // 4 or 16 bytes
    QByteArray destination; // 4 or 16 bytes
    // Transport protocol of the payload. For an IPv6 fragment it is the header
    // that follows the fragment header, possibly another extension header,
    // which is only known to be skipped once the datagram is whole.
    quint8 protocol = 0;
    bool isFragment = false;
    quint32 fragmentId = 0;
    int fragmentOffset = 0; // bytes
    bool moreFragments = false;
    QByteArray payload;
};

// Decodes the IP header and, for IPv6, the extension headers before the
// payload. Empty for malformed or truncated packets (a frame cut short by the
// capture's snapshot length, too) and for IPv6 jumbograms.
std::optional<IpPacket> decodeIp(const NetworkPacket& packet);

// Skips IPv6 extension headers (hop-by-hop, routing, destination options,
// authentication) at the start of a reassembled payload. False when one of
// them is cut short.
bool skipIpv6ExtensionHeaders(quint8& protocol, QByteArray& payload);
// True for the extension headers that skipIpv6ExtensionHeaders skips.
bool isSkippedIpv6Extension(quint8 protocol);

struct UdpDatagram
{
    quint16 sourcePort = 0;
    quint16 destinationPort = 0;
    QByteArray payload;
};

// Decodes a UDP header; the payload length comes from the header's length
// field. Empty when the datagram is shorter than that field says.
std::optional<UdpDatagram> decodeUdp(const QByteArray& transport);

} // namespace trklib::capture

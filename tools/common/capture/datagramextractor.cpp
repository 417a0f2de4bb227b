#include "tools/common/capture/datagramextractor.h"

#include "tools/common/capture/linklayer.h"

namespace trklib::capture {

namespace {

// 4 bytes for IPv4, 16 for IPv6, in network byte order.
QHostAddress ipAddress(const QByteArray& raw)
{
    const auto* bytes = reinterpret_cast<const quint8*>(raw.constData());
    QHostAddress address;
    if (raw.size() == 4)
        address.setAddress(quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 |
                           quint32(bytes[2]) << 8 | bytes[3]);
    else if (raw.size() == 16)
        address.setAddress(bytes);
    return address;
}

} // namespace

DatagramExtractor::DatagramExtractor(int linkType, quint16 port, Direction direction)
    : DatagramExtractor(linkType, QVector<quint16>{port}, direction)
{}

DatagramExtractor::DatagramExtractor(int linkType, const QVector<quint16>& ports,
                                     Direction direction)
    : linkType_(linkType), ports_(ports), takeSent_(direction == Direction::Sent)
{}

std::optional<CapturedDatagram> DatagramExtractor::offer(const QByteArray& frame)
{
    const std::optional<NetworkPacket> network = decodeLinkLayer(linkType_, frame);
    if (!network)
        return std::nullopt;
    if (network->sent != takeSent_) {
        ++skippedFrames_;
        return std::nullopt;
    }
    const std::optional<IpPacket> ip = decodeIp(*network);
    if (!ip)
        return std::nullopt;
    if (!ip->isFragment)
        return fromTransport(*ip, ip->protocol, ip->payload);

    // Only UDP is of interest; an IPv6 fragment may name an extension header
    // that only the reassembled payload lets us skip.
    if (ip->protocol != protocolUdp && !(ip->version == 6 && isSkippedIpv6Extension(ip->protocol)))
        return std::nullopt;
    const FragmentKey key{ip->source, ip->destination, ip->protocol, ip->fragmentId};
    std::optional<QByteArray> whole =
        reassembler_.add(key, ip->fragmentOffset, ip->moreFragments, ip->payload);
    if (!whole)
        return std::nullopt;
    return fromTransport(*ip, ip->protocol, *whole);
}

std::optional<CapturedDatagram>
DatagramExtractor::fromTransport(const IpPacket& ip, quint8 protocol, QByteArray transport)
{
    if (ip.version == 6 && !skipIpv6ExtensionHeaders(protocol, transport))
        return std::nullopt;
    if (protocol != protocolUdp)
        return std::nullopt;
    const std::optional<UdpDatagram> udp = decodeUdp(transport);
    if (!udp || !ports_.contains(udp->destinationPort))
        return std::nullopt;
    ++datagrams_;
    CapturedDatagram datagram;
    datagram.payload = udp->payload;
    datagram.source = ipAddress(ip.source);
    datagram.sourcePort = udp->sourcePort;
    datagram.destination = ipAddress(ip.destination);
    datagram.destinationPort = udp->destinationPort;
    return datagram;
}

} // namespace trklib::capture

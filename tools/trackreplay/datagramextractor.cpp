#include "datagramextractor.h"

#include "ipdecoder.h"
#include "linklayer.h"

namespace trklib::replay {

DatagramExtractor::DatagramExtractor(int linkType, quint16 port, Direction direction)
    : linkType_(linkType), port_(port), takeSent_(direction == Direction::Sent)
{}

std::optional<QByteArray> DatagramExtractor::offer(const QByteArray& frame)
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
        return fromTransport(ip->protocol, ip->version, ip->payload);

    // Only UDP is of interest; an IPv6 fragment may name an extension header
    // that only the reassembled payload lets us skip.
    if (ip->protocol != protocolUdp && !(ip->version == 6 && isSkippedIpv6Extension(ip->protocol)))
        return std::nullopt;
    const FragmentKey key{ip->source, ip->destination, ip->protocol, ip->fragmentId};
    std::optional<QByteArray> whole =
        reassembler_.add(key, ip->fragmentOffset, ip->moreFragments, ip->payload);
    if (!whole)
        return std::nullopt;
    return fromTransport(ip->protocol, ip->version, *whole);
}

std::optional<QByteArray> DatagramExtractor::fromTransport(quint8 protocol, int version,
                                                           QByteArray transport)
{
    if (version == 6 && !skipIpv6ExtensionHeaders(protocol, transport))
        return std::nullopt;
    if (protocol != protocolUdp)
        return std::nullopt;
    const std::optional<UdpDatagram> udp = decodeUdp(transport);
    if (!udp || udp->destinationPort != port_)
        return std::nullopt;
    ++datagrams_;
    return udp->payload;
}

} // namespace trklib::replay

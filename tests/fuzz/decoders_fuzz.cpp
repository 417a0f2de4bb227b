// Fuzz target: the capture decoders of trackreplay, fed any frames of any
// link type: the link layer, IPv4 and IPv6 with their extension headers,
// UDP, and the datagram extractor that puts them together with the fragment
// reassembler. Each decoder must hand out only bytes of its input, and the
// extractor's reassembler must stay within its bounds.
//
// The input: a link-type selector byte (below 128 one of the supported
// types, else 4 bytes as they stand), a port selector byte (below 128 the
// radar's port, else 2 bytes as they stand), a direction byte (lowest bit:
// sent), then frames, each a two-byte length and its bytes.

#include "fuzzinput.h"

#include "tools/common/capture/datagramextractor.h"
#include "tools/common/capture/ipdecoder.h"
#include "tools/common/capture/linklayer.h"

#include "input/wireformat.h"

#include <pcap/dlt.h>

namespace trklib::fuzz {
namespace {

using namespace trklib::capture;

constexpr int linkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                             DLT_IPV4,   DLT_IPV6,      DLT_NULL,       DLT_LOOP};
constexpr int linkTypeCount = int(sizeof linkTypes / sizeof linkTypes[0]);
constexpr int maxUdpPayloadBytes = 65535 - 8; // a 16-bit UDP length, header included

// The decoders one by one, each on what the one before handed out.
void decodeByHand(int linkType, const QByteArray& frame)
{
    const std::optional<NetworkPacket> network = decodeLinkLayer(linkType, frame);
    if (!network)
        return;
    check(frame.endsWith(network->bytes), "the network packet is the end of its frame");
    const std::optional<IpPacket> ip = decodeIp(*network);
    if (!ip)
        return;
    const int addressBytes = ip->version == 4 ? 4 : 16;
    check(ip->source.size() == addressBytes && ip->destination.size() == addressBytes,
          "addresses have their version's size");
    const int minHeaderBytes = ip->version == 4 ? 20 : 40;
    check(minHeaderBytes + ip->payload.size() <= network->bytes.size(),
          "the IP payload lies within the packet");
    check(ip->isFragment || (ip->fragmentOffset == 0 && !ip->moreFragments),
          "only fragments have fragment fields");
    if (ip->isFragment)
        return;
    quint8 protocol = ip->protocol;
    QByteArray transport = ip->payload;
    if (ip->version == 6 && !skipIpv6ExtensionHeaders(protocol, transport))
        return;
    check(ip->payload.endsWith(transport), "extension headers are skipped from the front");
    const std::optional<UdpDatagram> udp = decodeUdp(transport);
    if (!udp)
        return;
    check(transport.mid(8).startsWith(udp->payload), "the UDP payload follows its header");
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib;
    using namespace trklib::fuzz;

    FuzzInput in(data, size);
    const quint8 linkSelector = in.take<quint8>();
    const int linkType =
        linkSelector < 128 ? linkTypes[linkSelector % linkTypeCount] : in.take<qint32>();
    const quint8 portSelector = in.take<quint8>();
    const quint16 port = portSelector < 128 ? wire::defaultPort : in.take<quint16>();
    const bool sent = (in.take<quint8>() & 1) != 0;

    DatagramExtractor extractor(linkType, port,
                                sent ? DatagramExtractor::Direction::Sent
                                     : DatagramExtractor::Direction::Received);
    while (!in.atEnd()) {
        const QByteArray frame = in.bytes(in.take<quint16>());
        decodeByHand(linkType, frame);
        if (const std::optional<CapturedDatagram> datagram = extractor.offer(frame)) {
            check(datagram->payload.size() <= maxUdpPayloadBytes, "a datagram fits a UDP length");
            check(datagram->source.protocol() == QAbstractSocket::IPv4Protocol ||
                      datagram->source.protocol() == QAbstractSocket::IPv6Protocol,
                  "a datagram comes with its sender's address");
        }
        const FragmentReassembler& reassembler = extractor.reassembler();
        check(reassembler.pendingDatagrams() <= FragmentReassembler::defaultMaxPendingDatagrams &&
                  reassembler.pendingBytes() <= FragmentReassembler::defaultMaxPendingBytes,
              "pending fragments stay within the bounds");
    }
    return 0;
}

#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QVector>

namespace trklib::sim {

// Builds the Ethernet frames that carry UDP datagrams from one endpoint to
// another, as a capture on an Ethernet link with a 1500-byte MTU shows them:
// Ethernet II with zero MAC addresses (as on the loopback interface), IPv4 or
// IPv6 by the destination's protocol, UDP with a valid checksum. A datagram
// too large for one frame is fragmented the way the kernel fragments it:
// IPv4 fragments of 1480 bytes of IP payload, IPv6 fragments of 1448 bytes
// behind a fragment header, the first fragment carrying the UDP header.
class UdpFrameBuilder
{
public:
    static constexpr int mtuBytes = 1500;
    static constexpr int ethernetHeaderBytes = 14;
    static constexpr int ipv4HeaderBytes = 20;
    static constexpr int ipv6HeaderBytes = 40;
    static constexpr int ipv6FragmentHeaderBytes = 8;
    static constexpr int udpHeaderBytes = 8;
    // The largest UDP payload that still fits into one IPv4 frame.
    static constexpr int maxUnfragmentedIpv4Payload = mtuBytes - ipv4HeaderBytes - udpHeaderBytes;

    // The source port of the frames when the sending socket's is not known.
    static constexpr quint16 defaultSourcePort = 40000;

    // A null source stands for the loopback address of the destination's
    // protocol.
    UdpFrameBuilder(const QHostAddress& destination, quint16 destinationPort,
                    quint16 sourcePort = defaultSourcePort,
                    const QHostAddress& source = QHostAddress());

    // The frames of one datagram, in sending order. Every call uses the next
    // IP identification.
    QVector<QByteArray> frames(const QByteArray& payload);

private:
    QVector<QByteArray> ipv4Frames(const QByteArray& udp);
    QVector<QByteArray> ipv6Frames(const QByteArray& udp);
    QByteArray udpDatagram(const QByteArray& payload) const;

    QHostAddress source_;
    QHostAddress destination_;
    quint16 sourcePort_;
    quint16 destinationPort_;
    quint32 identification_ = 1;
};

// The ones' complement sum of the internet checksum, folded to 16 bits, not
// yet inverted; start carries a partial sum in.
quint16 internetChecksumSum(const QByteArray& bytes, quint32 start = 0);

} // namespace trklib::sim

#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

namespace trklib::test {

// Builders of captured frames and capture files for the replay tests.
// Addresses are raw bytes (4 for IPv4, 16 for IPv6); every header field is
// written in network byte order.

constexpr quint16 ethertypeIpv4 = 0x0800;
constexpr quint16 ethertypeIpv6 = 0x86DD;
constexpr quint8 protocolUdp = 17;
constexpr int ethernetMtuBytes = 1500;

QByteArray ipv4Address(quint8 a, quint8 b, quint8 c, quint8 d);
QByteArray ipv6Address(quint8 last); // fd00::last

QByteArray udpSegment(quint16 sourcePort, quint16 destinationPort, const QByteArray& payload);

struct Ipv4Fields
{
    QByteArray source = ipv4Address(192, 168, 1, 20);
    QByteArray destination = ipv4Address(192, 168, 1, 10);
    quint8 protocol = protocolUdp;
    quint16 id = 0;
    int fragmentOffset = 0; // bytes, a multiple of 8
    bool moreFragments = false;
    int optionBytes = 0; // zero-filled IP options, a multiple of 4
};
QByteArray ipv4Packet(const Ipv4Fields& fields, const QByteArray& payload);
// One transport payload cut into IPv4 packets that carry at most
// fragmentBytes of it each (a multiple of 8); one packet when it fits.
QVector<QByteArray> ipv4Fragments(Ipv4Fields fields, const QByteArray& transport,
                                  int fragmentBytes);

struct Ipv6Fields
{
    QByteArray source = ipv6Address(20);
    QByteArray destination = ipv6Address(10);
    quint8 nextHeader = protocolUdp;
    QByteArray extensionHeaders; // placed before the payload, chained by the caller
};
QByteArray ipv6Packet(const Ipv6Fields& fields, const QByteArray& payload);
// An 8-byte-aligned extension header (hop-by-hop, routing or destination
// options) naming next as the header that follows it.
QByteArray ipv6ExtensionHeader(quint8 next, int bytes);
// The payload cut into IPv6 fragments of at most fragmentBytes each. The
// fields' nextHeader names what the reassembled payload starts with.
QVector<QByteArray> ipv6Fragments(const Ipv6Fields& fields, quint32 id, const QByteArray& payload,
                                  int fragmentBytes);

QByteArray ethernetFrame(quint16 ethertype, const QByteArray& packet,
                         const QVector<quint16>& vlanTags = {});

// A whole stream of radar datagrams to the radar port as Ethernet frames.
enum class Network
{
    IPv4,
    IPv6
};
QVector<QByteArray> udpFrames(const QVector<QByteArray>& datagrams, Network network,
                              quint16 destinationPort, bool fragment);

// Capture files. The pcap writer goes through libpcap; libpcap cannot write
// pcapng, so that one is built block by block.
bool writePcap(const QString& path, int linkType, const QVector<QByteArray>& frames);
bool writePcapng(const QString& path, int linkType, const QVector<QByteArray>& frames);

} // namespace trklib::test

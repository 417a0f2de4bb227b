#include "udpframes.h"

#include <QtEndian>

namespace trklib::sim {

namespace {

constexpr quint16 etherTypeIpv4 = 0x0800;
constexpr quint16 etherTypeIpv6 = 0x86DD;
constexpr quint8 protocolUdp = 17;
constexpr quint8 ipv6NextFragment = 44;
constexpr quint8 hopLimit = 64;
constexpr quint16 ipv4DontFragment = 0x4000;
constexpr quint16 ipv4MoreFragments = 0x2000;
// Fragment payloads are multiples of 8 bytes.
constexpr int ipv4FragmentBytes =
    (UdpFrameBuilder::mtuBytes - UdpFrameBuilder::ipv4HeaderBytes) / 8 * 8;
constexpr int ipv6FragmentBytes = (UdpFrameBuilder::mtuBytes - UdpFrameBuilder::ipv6HeaderBytes -
                                   UdpFrameBuilder::ipv6FragmentHeaderBytes) /
                                  8 * 8;

void put16(QByteArray& b, int at, quint16 v)
{
    qToBigEndian(v, b.data() + at);
}

void put32(QByteArray& b, int at, quint32 v)
{
    qToBigEndian(v, b.data() + at);
}

QByteArray ethernetHeader(quint16 etherType)
{
    QByteArray h(UdpFrameBuilder::ethernetHeaderBytes, '\0'); // zero MAC addresses
    put16(h, 12, etherType);
    return h;
}

QByteArray addressBytes(const QHostAddress& a)
{
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        QByteArray b(4, '\0');
        put32(b, 0, a.toIPv4Address());
        return b;
    }
    const Q_IPV6ADDR v6 = a.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 16);
}

quint16 finish(quint16 sum)
{
    const quint16 checksum = quint16(~sum);
    return checksum == 0 ? 0xFFFF : checksum; // UDP sends a zero result as all ones
}

} // namespace

quint16 internetChecksumSum(const QByteArray& bytes, quint32 start)
{
    quint32 sum = start;
    const auto* p = reinterpret_cast<const quint8*>(bytes.constData());
    const int n = bytes.size();
    for (int i = 0; i + 1 < n; i += 2)
        sum += quint32(p[i]) << 8 | p[i + 1];
    if (n % 2)
        sum += quint32(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(sum);
}

UdpFrameBuilder::UdpFrameBuilder(const QHostAddress& destination, quint16 destinationPort,
                                 quint16 sourcePort, const QHostAddress& source)
    : source_(!source.isNull() ? source
              : destination.protocol() == QAbstractSocket::IPv6Protocol
                  ? QHostAddress(QHostAddress::LocalHostIPv6)
                  : QHostAddress(QHostAddress::LocalHost)),
      destination_(destination), sourcePort_(sourcePort), destinationPort_(destinationPort)
{}

QByteArray UdpFrameBuilder::udpDatagram(const QByteArray& payload) const
{
    QByteArray udp(udpHeaderBytes, '\0');
    const quint16 length = quint16(udpHeaderBytes + payload.size());
    put16(udp, 0, sourcePort_);
    put16(udp, 2, destinationPort_);
    put16(udp, 4, length);
    udp.append(payload);

    // Pseudo-header: addresses, protocol and UDP length.
    QByteArray pseudo = addressBytes(source_) + addressBytes(destination_);
    QByteArray tail(4, '\0');
    tail[1] = char(protocolUdp);
    put16(tail, 2, length);
    if (destination_.protocol() == QAbstractSocket::IPv6Protocol) {
        tail = QByteArray(8, '\0');
        put32(tail, 0, length);
        tail[7] = char(protocolUdp);
    }
    pseudo.append(tail);
    put16(udp, 6, finish(internetChecksumSum(udp, internetChecksumSum(pseudo))));
    return udp;
}

QVector<QByteArray> UdpFrameBuilder::frames(const QByteArray& payload)
{
    const QByteArray udp = udpDatagram(payload);
    QVector<QByteArray> out = destination_.protocol() == QAbstractSocket::IPv6Protocol
                                  ? ipv6Frames(udp)
                                  : ipv4Frames(udp);
    ++identification_;
    return out;
}

QVector<QByteArray> UdpFrameBuilder::ipv4Frames(const QByteArray& udp)
{
    const bool fragmented = ipv4HeaderBytes + udp.size() > mtuBytes;
    QVector<QByteArray> out;
    for (int offset = 0; offset < udp.size(); offset += ipv4FragmentBytes) {
        const QByteArray part = udp.mid(offset, ipv4FragmentBytes);
        const bool last = offset + part.size() >= udp.size();
        QByteArray ip(ipv4HeaderBytes, '\0');
        ip[0] = char(0x45); // version 4, five 32-bit words of header
        put16(ip, 2, quint16(ipv4HeaderBytes + part.size()));
        put16(ip, 4, quint16(identification_));
        quint16 flags = quint16(offset / 8);
        if (!fragmented)
            flags |= ipv4DontFragment;
        else if (!last)
            flags |= ipv4MoreFragments;
        put16(ip, 6, flags);
        ip[8] = char(hopLimit);
        ip[9] = char(protocolUdp);
        ip.replace(12, 4, addressBytes(source_));
        ip.replace(16, 4, addressBytes(destination_));
        put16(ip, 10, quint16(~internetChecksumSum(ip)));
        out.append(ethernetHeader(etherTypeIpv4) + ip + part);
    }
    return out;
}

QVector<QByteArray> UdpFrameBuilder::ipv6Frames(const QByteArray& udp)
{
    const bool fragmented = ipv6HeaderBytes + udp.size() > mtuBytes;
    const int step = fragmented ? ipv6FragmentBytes : udp.size();
    QVector<QByteArray> out;
    for (int offset = 0; offset < udp.size(); offset += step) {
        const QByteArray part = udp.mid(offset, step);
        const bool last = offset + part.size() >= udp.size();
        QByteArray ip(ipv6HeaderBytes, '\0');
        ip[0] = char(0x60); // version 6, traffic class and flow label 0
        ip[7] = char(hopLimit);
        ip.replace(8, 16, addressBytes(source_));
        ip.replace(24, 16, addressBytes(destination_));
        QByteArray fragmentHeader;
        if (fragmented) {
            ip[6] = char(ipv6NextFragment);
            fragmentHeader = QByteArray(ipv6FragmentHeaderBytes, '\0');
            fragmentHeader[0] = char(protocolUdp);
            put16(fragmentHeader, 2, quint16(offset | (last ? 0 : 1)));
            put32(fragmentHeader, 4, identification_);
        } else {
            ip[6] = char(protocolUdp);
        }
        put16(ip, 4, quint16(fragmentHeader.size() + part.size()));
        out.append(ethernetHeader(etherTypeIpv6) + ip + fragmentHeader + part);
    }
    return out;
}

} // namespace trklib::sim

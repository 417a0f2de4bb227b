#include "captureframes.h"

#include <QDataStream>
#include <QFile>

#include <pcap/pcap.h>

namespace trklib::test {

namespace {

constexpr int ipv4HeaderBytes = 20;
constexpr int ipv6HeaderBytes = 40;
constexpr int udpHeaderBytes = 8;
constexpr quint8 ipv6FragmentHeader = 44;
constexpr quint16 vlanEthertype = 0x8100;
constexpr quint16 udpSourcePort = 50000;
constexpr int snapshotBytes = 262144;

void put16(QByteArray& bytes, int pos, quint16 value)
{
    bytes[pos] = char(value >> 8);
    bytes[pos + 1] = char(value);
}

void put32(QByteArray& bytes, int pos, quint32 value)
{
    put16(bytes, pos, quint16(value >> 16));
    put16(bytes, pos + 2, quint16(value));
}

QByteArray be16(quint16 value)
{
    QByteArray bytes(2, '\0');
    put16(bytes, 0, value);
    return bytes;
}

quint16 headerChecksum(const QByteArray& header)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < header.size(); i += 2)
        sum += (quint32(quint8(header[i])) << 8) | quint8(header[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

} // namespace

QByteArray ipv4Address(quint8 a, quint8 b, quint8 c, quint8 d)
{
    return QByteArray{} + char(a) + char(b) + char(c) + char(d);
}

QByteArray ipv6Address(quint8 last)
{
    QByteArray bytes(16, '\0');
    bytes[0] = char(0xFD);
    bytes[15] = char(last);
    return bytes;
}

QByteArray udpSegment(quint16 sourcePort, quint16 destinationPort, const QByteArray& payload)
{
    QByteArray bytes(udpHeaderBytes, '\0');
    put16(bytes, 0, sourcePort);
    put16(bytes, 2, destinationPort);
    put16(bytes, 4, quint16(udpHeaderBytes + payload.size()));
    return bytes + payload; // checksum 0: not computed, allowed over IPv4
}

QByteArray ipv4Packet(const Ipv4Fields& f, const QByteArray& payload)
{
    const int headerBytes = ipv4HeaderBytes + f.optionBytes;
    QByteArray header(headerBytes, '\0');
    header[0] = char(0x40 | (headerBytes / 4));
    put16(header, 2, quint16(headerBytes + payload.size()));
    put16(header, 4, f.id);
    put16(header, 6, quint16((f.moreFragments ? 0x2000 : 0) | (f.fragmentOffset / 8)));
    header[8] = char(64); // time to live
    header[9] = char(f.protocol);
    header.replace(12, 4, f.source);
    header.replace(16, 4, f.destination);
    put16(header, 10, headerChecksum(header));
    return header + payload;
}

QVector<QByteArray> ipv4Fragments(Ipv4Fields fields, const QByteArray& transport, int fragmentBytes)
{
    QVector<QByteArray> packets;
    for (int pos = 0; pos == 0 || pos < transport.size(); pos += fragmentBytes) {
        fields.fragmentOffset = pos;
        fields.moreFragments = pos + fragmentBytes < transport.size();
        packets.append(ipv4Packet(fields, transport.mid(pos, fragmentBytes)));
    }
    return packets;
}

QByteArray ipv6Packet(const Ipv6Fields& f, const QByteArray& payload)
{
    QByteArray header(ipv6HeaderBytes, '\0');
    header[0] = char(0x60);
    put16(header, 4, quint16(f.extensionHeaders.size() + payload.size()));
    header[6] = char(f.nextHeader);
    header[7] = char(64); // hop limit
    header.replace(8, 16, f.source);
    header.replace(24, 16, f.destination);
    return header + f.extensionHeaders + payload;
}

QByteArray ipv6ExtensionHeader(quint8 next, int bytes)
{
    QByteArray header(bytes, '\0');
    header[0] = char(next);
    header[1] = char(bytes / 8 - 1);
    return header;
}

QVector<QByteArray> ipv6Fragments(const Ipv6Fields& fields, quint32 id, const QByteArray& payload,
                                  int fragmentBytes)
{
    QVector<QByteArray> packets;
    for (int pos = 0; pos < payload.size(); pos += fragmentBytes) {
        const bool more = pos + fragmentBytes < payload.size();
        QByteArray fragmentHeader(8, '\0');
        fragmentHeader[0] = char(fields.nextHeader);
        put16(fragmentHeader, 2, quint16(pos | (more ? 1 : 0)));
        put32(fragmentHeader, 4, id);
        Ipv6Fields outer = fields;
        outer.nextHeader = ipv6FragmentHeader;
        outer.extensionHeaders = fragmentHeader;
        packets.append(ipv6Packet(outer, payload.mid(pos, fragmentBytes)));
    }
    return packets;
}

QByteArray ethernetFrame(quint16 ethertype, const QByteArray& packet,
                         const QVector<quint16>& vlanTags)
{
    // Destination and source: locally administered addresses.
    QByteArray frame = QByteArray::fromHex("020000000001020000000002");
    for (quint16 tag : vlanTags)
        frame += be16(tag) + be16(0x0064); // tag type, then priority 0 and VLAN 100
    return frame + be16(ethertype) + packet;
}

QVector<QByteArray> udpFrames(const QVector<QByteArray>& datagrams, Network network,
                              quint16 destinationPort, bool fragment)
{
    QVector<QByteArray> frames;
    quint16 id = 1000;
    for (const QByteArray& datagram : datagrams) {
        const QByteArray udp = udpSegment(udpSourcePort, destinationPort, datagram);
        ++id;
        if (network == Network::IPv4) {
            Ipv4Fields fields;
            fields.id = id;
            const int fragmentBytes =
                fragment ? ethernetMtuBytes - ipv4HeaderBytes : int(udp.size());
            for (const QByteArray& packet : ipv4Fragments(fields, udp, fragmentBytes))
                frames.append(ethernetFrame(ethertypeIpv4, packet));
        } else {
            const Ipv6Fields fields;
            constexpr int fragmentBytes = (ethernetMtuBytes - ipv6HeaderBytes - 8) / 8 * 8;
            const QVector<QByteArray> packets = fragment && udp.size() > fragmentBytes
                                                    ? ipv6Fragments(fields, id, udp, fragmentBytes)
                                                    : QVector<QByteArray>{ipv6Packet(fields, udp)};
            for (const QByteArray& packet : packets)
                frames.append(ethernetFrame(ethertypeIpv6, packet));
        }
    }
    return frames;
}

bool writePcap(const QString& path, int linkType, const QVector<QByteArray>& frames)
{
    pcap_t* dead = pcap_open_dead(linkType, snapshotBytes);
    if (!dead)
        return false;
    pcap_dumper_t* dumper = pcap_dump_open(dead, QFile::encodeName(path).constData());
    if (!dumper) {
        pcap_close(dead);
        return false;
    }
    long micros = 0;
    for (const QByteArray& frame : frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = 1700000000 + micros / 1000000;
        header.ts.tv_usec = micros % 1000000;
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header,
                  reinterpret_cast<const u_char*>(frame.constData()));
        micros += 100;
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

bool writePcapng(const QString& path, int linkType, const QVector<QByteArray>& frames)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    // Section header: block type, length, byte-order magic, version 1.0,
    // section length unknown, no options, length again.
    out << quint32(0x0A0D0D0A) << quint32(28) << quint32(0x1A2B3C4D) << quint16(1) << quint16(0)
        << qint64(-1) << quint32(28);
    // Interface description: link type, reserved, snapshot length.
    out << quint32(1) << quint32(20) << quint16(linkType) << quint16(0) << quint32(snapshotBytes)
        << quint32(20);
    quint64 micros = 1700000000ull * 1000000;
    for (const QByteArray& frame : frames) {
        const int padded = (frame.size() + 3) / 4 * 4;
        const quint32 length = quint32(32 + padded);
        // Enhanced packet: interface 0, timestamp (microseconds, high word
        // first), captured and original length, data padded to 4 bytes.
        out << quint32(6) << length << quint32(0) << quint32(micros >> 32) << quint32(micros)
            << quint32(frame.size()) << quint32(frame.size());
        out.writeRawData(frame.constData(), frame.size());
        out.writeRawData("\0\0\0", padded - frame.size());
        out << length;
        micros += 100;
    }
    return out.status() == QDataStream::Ok && file.flush();
}

} // namespace trklib::test

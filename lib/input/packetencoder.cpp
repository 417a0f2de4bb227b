#include "input/packetencoder.h"

#include <QDataStream>

#include <cstring>

namespace trklib {

RadarPacketData PacketEncoder::emptyPacket(qint64 timestamp)
{
    RadarPacketData packet;
    for (int i = 0; i < wire::syncBytes; ++i)
        packet.sync[size_t(i)] = qint8(wire::syncPattern[size_t(i)]);
    packet.version = wire::version;
    packet.headerSize = wire::headerBytes;
    packet.timestamp = timestamp;
    packet.amplitude.fill(-128, wire::cellCount);
    packet.relVelocity.fill(0.0f, wire::cellCount);
    packet.distance.fill(0.0f, wire::cellCount);
    packet.elevation.fill(0.0f, wire::cellCount);
    packet.azimuth.fill(0.0f, wire::cellCount);
    packet.phaseDiff.fill(0, wire::cellCount);
    return packet;
}

QByteArray PacketEncoder::header(const RadarPacketData& p)
{
    QByteArray bytes;
    bytes.reserve(wire::headerBytes);
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    for (qint8 b : p.sync)
        out << b;
    out << p.version << p.headerSize << p.info08 << p.info10 << p.info11 << p.timestamp << p.info20
        << p.info24 << p.info28 << p.info29 << p.info30 << p.info31 << p.info32 << p.info36
        << p.info40 << p.info41 << p.info42 << p.info44;
    return bytes;
}

namespace {

// The block of one array: exactly 1024 little-endian entries (this host is
// little-endian, so the memory image is the wire image), zero-padded.
template <typename T> QByteArray block(const QVector<T>& array)
{
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "arrays are written as their memory image");
    QByteArray bytes(wire::cellCount * int(sizeof(T)), '\0');
    const int n = qMin(array.size(), wire::cellCount);
    if (n > 0)
        std::memcpy(bytes.data(), array.constData(), size_t(n) * sizeof(T));
    return bytes;
}

QVector<QByteArray> blocks(const RadarPacketData& p)
{
    return {PacketEncoder::header(p), block(p.amplitude), block(p.relVelocity), block(p.distance),
            block(p.elevation),       block(p.azimuth),   block(p.phaseDiff)};
}

} // namespace

QVector<QByteArray> PacketEncoder::datagrams(const RadarPacketData& packet, int maxDatagramBytes)
{
    const QVector<QByteArray> all = blocks(packet);
    if (maxDatagramBytes <= 0)
        return all;
    QVector<QByteArray> out{all.first()};
    for (int b = 1; b < all.size(); ++b) {
        const QByteArray& bytes = all[b];
        for (int pos = 0; pos < bytes.size(); pos += maxDatagramBytes)
            out.append(bytes.mid(pos, maxDatagramBytes));
    }
    return out;
}

QByteArray PacketEncoder::wire(const RadarPacketData& packet)
{
    QByteArray bytes;
    bytes.reserve(wire::packetBytes);
    for (const QByteArray& b : blocks(packet))
        bytes.append(b);
    return bytes;
}

QVector<QByteArray> PacketEncoder::datagramsOfWire(const QByteArray& recording)
{
    QVector<QByteArray> out;
    out.reserve((recording.size() / wire::packetBytes + 1) * wire::blockCount);
    for (int pos = 0, block = 0; pos < recording.size(); block = (block + 1) % wire::blockCount) {
        out.append(recording.mid(pos, wire::blockBytes[size_t(block)]));
        pos += wire::blockBytes[size_t(block)];
    }
    return out;
}

} // namespace trklib

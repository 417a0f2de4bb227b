#pragma once

#include "input/radarpacketdata.h"
#include "input/wireformat.h"

#include <QByteArray>
#include <QVector>

namespace trklib {

// Writes a RadarPacketData in the radar's wire format (input/wireformat.h):
// a 48-byte little-endian header and six array blocks, each block in its
// own datagram(s). The counterpart of the parser, for the simulator, the
// tests and the benchmarks; not exported by the shared library.
class PacketEncoder
{
public:
    // A packet with a valid header (sync, version 2, header size 48), the
    // given timestamp (ms), and 1024 cells of amplitude -128 dB and zero
    // elsewhere.
    static RadarPacketData emptyPacket(qint64 timestamp);

    static QByteArray header(const RadarPacketData& packet);
    // The seven datagrams of one packet. With maxDatagramBytes > 0 every array
    // block is cut into datagrams of at most that many bytes.
    static QVector<QByteArray> datagrams(const RadarPacketData& packet, int maxDatagramBytes = 0);
    // The whole packet back to back (19504 bytes), as recordings store it.
    // Arrays shorter than 1024 entries are padded with zeros.
    static QByteArray wire(const RadarPacketData& packet);
    // The datagrams that carried a recording of whole packets back to back:
    // seven per packet, one per block. A trailing part of a packet gives the
    // blocks it holds, the last one cut short.
    static QVector<QByteArray> datagramsOfWire(const QByteArray& recording);
};

} // namespace trklib

#pragma once

#include "input/radarpacketdata.h"

#include <QByteArray>
#include <QVector>

namespace trklib {

// Writes a RadarPacketData in the radar's wire format: a 48-byte
// little-endian header and six array blocks, each block in its own
// datagram(s). For tests and tools; not part of the library.
class PacketEncoder
{
public:
    static constexpr int headerBytes = 48;
    static constexpr int cellCount = 1024;
    static constexpr int packetBytes = 19504;

    // A packet with a valid header (sync, version 2, header size 48), the
    // given timestamp, and 1024 cells of amplitude -128 dB and zero elsewhere.
    static RadarPacketData emptyPacket(qint64 timestamp);

    static QByteArray header(const RadarPacketData& packet);
    // The seven datagrams of one packet. With maxDatagramBytes > 0 every array
    // block is cut into datagrams of at most that many bytes.
    static QVector<QByteArray> datagrams(const RadarPacketData& packet, int maxDatagramBytes = 0);
    // The whole packet back to back (19504 bytes), as the conformance
    // recordings store it. Arrays shorter than 1024 entries are padded with zeros.
    static QByteArray wire(const RadarPacketData& packet);
};

} // namespace trklib

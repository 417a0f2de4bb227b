#include "engine/targettracking.h"

#include "input/datagramassembler.h"
#include "input/radarsocket.h"

namespace trklib {

// Reads datagrams until one completes a packet (0), a wait for a datagram
// runs out or the socket is not bound (1), or a bad header arrives (2).
// Every read starts at a header: a packet left half-assembled by an earlier
// read is given up. Stray datagrams and broken blocks are skipped; the
// assembler then waits for the next header. The caller's packet is written
// only on success.
int TargetTracking::getRadarPacket(RadarPacketData& packet) const
{
    constexpr int readError = 1;
    constexpr int parseError = 2;

    assembler_->restart();
    for (;;) {
        QByteArray datagram;
        if (!socket_->readDatagram(datagram))
            return readError;
        switch (assembler_->offer(datagram)) {
        case DataParser::Complete:
            packet = assembler_->packet();
            return 0;
        case DataParser::BadHeader:
            return parseError;
        case DataParser::Incomplete:
        case DataParser::BadSize:
            break;
        }
    }
}

} // namespace trklib

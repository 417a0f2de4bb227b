#include "engine/targettracking.h"

#include "input/dataparser.h"
#include "input/radarsocket.h"

namespace trklib {

// Reads datagrams until the parser completes a packet (0), a wait for a
// datagram runs out or the socket is not bound (1), or a bad header arrives
// (2). Stray datagrams and broken blocks are skipped; the parser then waits
// for the next header. The caller's packet is written only on success.
int TargetTracking::getRadarPacket(RadarPacketData& packet) const
{
    constexpr int readError = 1;
    constexpr int parseError = 2;

    parser_->reset();
    for (;;) {
        QByteArray datagram;
        if (!socket_->readDatagram(datagram))
            return readError;
        const DataParser::Status status = parser_->parseDatagram(datagram);
        if (status == DataParser::BadHeader)
            return parseError;
        if (status == DataParser::Complete)
            break;
    }
    packet = parser_->radarPacketData();
    return 0;
}

} // namespace trklib

#include "engine/targettracking.h"

#include "input/datagramassembler.h"
#include "input/radarsocket.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace trklib {

// Reads datagrams until one completes a packet of its sender (0), a bad
// header arrives (2), or time runs out (1): after datagramWaitMs without a
// datagram that advanced a packet, when every packet in progress is given
// up (the radar went quiet), or after twice that in all, when packets in
// progress are kept for the next call (a flood of headers, say, that never
// lets a packet complete). Datagrams that advance no packet (of another
// sender, competing, stray, empty) do not extend the wait. The caller's packet is
// written only on success.
int TargetTracking::getRadarPacket(RadarPacketData& packet) const
{
    constexpr int readError = 1;
    constexpr int parseError = 2;
    constexpr int quietMs = RadarSocket::datagramWaitMs;
    constexpr int callMs = 2 * quietMs;

    const QDeadlineTimer callDeadline(callMs);
    QDeadlineTimer quietDeadline(quietMs);
    QByteArray datagram;
    QHostAddress sender;
    quint16 senderPort = 0;
    qint64 arrivalUs = 0; // as the kernel took the datagram in
    for (;;) {
        if (!socket_->readDatagram(datagram, sender, senderPort, arrivalUs,
                                   std::min(callDeadline, quietDeadline))) {
            if (!callDeadline.hasExpired() || quietDeadline.hasExpired())
                assembler_->restart();
            return readError;
        }
        switch (assembler_->offer(datagram, sender, senderPort, arrivalUs)) {
        case DataParser::Complete:
            packet = assembler_->packet();
            return 0;
        case DataParser::BadHeader:
            return parseError;
        case DataParser::Incomplete:
            // The datagram's bytes went into a packet.
            if (!datagram.isEmpty())
                quietDeadline.setRemainingTime(quietMs);
            break;
        case DataParser::BadSize:
            break;
        }
    }
}

} // namespace trklib

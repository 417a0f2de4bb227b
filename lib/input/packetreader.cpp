#include "engine/targettracking.h"

#include "input/datagramassembler.h"
#include "input/radarsocket.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <chrono>

namespace trklib {

namespace {

// When a datagram is handed to the assembler, microseconds on the steady
// clock: the pauses and silences of its sender are measured with it.
qint64 readTimeUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

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
    for (;;) {
        if (!socket_->readDatagram(datagram, sender, senderPort,
                                   std::min(callDeadline, quietDeadline))) {
            if (!callDeadline.hasExpired() || quietDeadline.hasExpired())
                assembler_->restart();
            return readError;
        }
        switch (assembler_->offer(datagram, sender, senderPort, readTimeUs())) {
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

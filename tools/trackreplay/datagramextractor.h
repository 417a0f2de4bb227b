#pragma once

#include "fragmentreassembler.h"
#include "ipdecoder.h"

#include <QByteArray>
#include <QHostAddress>

#include <optional>

namespace trklib::replay {

// One UDP datagram to the radar port and who sent it.
struct CapturedDatagram
{
    QByteArray payload;
    QHostAddress source;
    quint16 sourcePort = 0;
};

// Takes the UDP datagrams to one port out of captured frames: decodes the
// link layer, IPv4 or IPv6 and UDP, and reassembles fragmented datagrams.
// Frames are offered in capture order, and those of one direction are
// taken: what the capturing host received, or what it sent (see
// NetworkPacket::sent).
class DatagramExtractor
{
public:
    enum class Direction
    {
        Received,
        Sent
    };

    DatagramExtractor(int linkType, quint16 port, Direction direction = Direction::Received);

    // The UDP datagram to the port that this frame carries or completes;
    // empty for every other frame.
    std::optional<CapturedDatagram> offer(const QByteArray& frame);

    const FragmentReassembler& reassembler() const { return reassembler_; }
    // UDP datagrams to the port found so far.
    int datagrams() const { return datagrams_; }
    // Frames of the other direction, skipped without a look inside.
    int skippedFrames() const { return skippedFrames_; }

private:
    std::optional<CapturedDatagram> fromTransport(const IpPacket& ip, quint8 protocol,
                                                  QByteArray transport);

    int linkType_;
    quint16 port_;
    bool takeSent_;
    FragmentReassembler reassembler_;
    int datagrams_ = 0;
    int skippedFrames_ = 0;
};

} // namespace trklib::replay

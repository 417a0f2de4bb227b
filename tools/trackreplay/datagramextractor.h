#pragma once

#include "fragmentreassembler.h"

#include <QByteArray>

#include <optional>

namespace trklib::replay {

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

    // The payload of the UDP datagram to the port that this frame carries or
    // completes; empty for every other frame.
    std::optional<QByteArray> offer(const QByteArray& frame);

    const FragmentReassembler& reassembler() const { return reassembler_; }
    // UDP datagrams to the port found so far.
    int datagrams() const { return datagrams_; }
    // Frames of the other direction, skipped without a look inside.
    int skippedFrames() const { return skippedFrames_; }

private:
    std::optional<QByteArray> fromTransport(quint8 protocol, int version, QByteArray transport);

    int linkType_;
    quint16 port_;
    bool takeSent_;
    FragmentReassembler reassembler_;
    int datagrams_ = 0;
    int skippedFrames_ = 0;
};

} // namespace trklib::replay

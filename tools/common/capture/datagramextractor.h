#pragma once

#include "tools/common/capture/fragmentreassembler.h"
#include "tools/common/capture/ipdecoder.h"

#include <QByteArray>
#include <QHostAddress>
#include <QVector>

#include <optional>

namespace trklib::capture {

// One UDP datagram to a radar port, who sent it and where it went.
struct CapturedDatagram
{
    QByteArray payload;
    QHostAddress source;
    quint16 sourcePort = 0;
    QHostAddress destination;
    quint16 destinationPort = 0;
};

// Takes the UDP datagrams to one port, or to any of several, out of
// captured frames: decodes the link layer, IPv4 or IPv6 and UDP, and
// reassembles fragmented datagrams.
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
    DatagramExtractor(int linkType, const QVector<quint16>& ports,
                      Direction direction = Direction::Received);

    // The UDP datagram to one of the ports that this frame carries or
    // completes; empty for every other frame.
    std::optional<CapturedDatagram> offer(const QByteArray& frame);

    const FragmentReassembler& reassembler() const { return reassembler_; }
    // UDP datagrams to the ports found so far.
    int datagrams() const { return datagrams_; }
    // Frames of the other direction, skipped without a look inside.
    int skippedFrames() const { return skippedFrames_; }

private:
    std::optional<CapturedDatagram> fromTransport(const IpPacket& ip, quint8 protocol,
                                                  QByteArray transport);

    int linkType_;
    QVector<quint16> ports_;
    bool takeSent_;
    FragmentReassembler reassembler_;
    int datagrams_ = 0;
    int skippedFrames_ = 0;
};

} // namespace trklib::capture

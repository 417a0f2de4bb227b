#pragma once

#include "fragmentreassembler.h"

#include <QByteArray>

#include <optional>

namespace trklib::replay {

// Takes the UDP datagrams to one port out of captured frames: decodes the
// link layer, IPv4 or IPv6 and UDP, and reassembles fragmented datagrams.
// Frames are offered in capture order.
class DatagramExtractor
{
public:
    DatagramExtractor(int linkType, quint16 port);

    // The payload of the UDP datagram to the port that this frame carries or
    // completes; empty for every other frame.
    std::optional<QByteArray> offer(const QByteArray& frame);

    const FragmentReassembler& reassembler() const { return reassembler_; }
    // UDP datagrams to the port found so far.
    int datagrams() const { return datagrams_; }

private:
    std::optional<QByteArray> fromTransport(quint8 protocol, int version, QByteArray transport);

    int linkType_;
    quint16 port_;
    FragmentReassembler reassembler_;
    int datagrams_ = 0;
};

} // namespace trklib::replay

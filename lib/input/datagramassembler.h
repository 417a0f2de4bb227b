#pragma once

#include "input/dataparser.h"
#include "input/radarpacketdata.h"
#include "interface/export.h"

#include <QByteArray>
#include <QHostAddress>
#include <QVector>

#include <memory>
#include <optional>

namespace trklib {

// Turns radar datagrams into packets: every datagram, in arrival order, goes
// to the parser of its sender, and every packet a parser completes is handed
// out. The live packet reader uses it with the datagrams of its socket;
// replays of captures and recordings use it with theirs, so that all of them
// assemble packets the same way.
//
// Each sender (address and port) has a packet in progress of its own, so
// that a datagram of one sender never becomes part of a packet begun by
// another, and radars that share a port all get their packets through. At
// most maxSenders senders are followed at once: a new one takes the place
// of the one heard least recently, whose packet in progress is given up.
// Offers without a sender all count as one sender.
//
// A packet that loses a datagram is given up when its sender's next header
// arrives (the parser's rule). A live read also gives up on a packet whose
// next datagram takes longer than its wait of one second to arrive; offers
// with arrival times apply that rule to datagrams from elsewhere.
//
// Datagrams carry no sequence numbers: a sender's own pieces that arrive
// swapped or twice cannot be told from good ones.
class TRKLIB_EXPORT DatagramAssembler
{
public:
    // The longest pause between two datagrams of one packet, microseconds:
    // as long as a live read waits for a datagram.
    static constexpr qint64 maxPauseUs = 1000000;
    // Senders followed at once.
    static constexpr int maxSenders = 8;

    // What the assembler has seen since it was made.
    struct Counts
    {
        quint64 datagrams = 0;        // offered
        quint64 strayDatagrams = 0;   // belonged to no packet, or broke a block
        quint64 packets = 0;          // completed
        quint64 abandonedPackets = 0; // begun and given up
        quint64 badHeaders = 0;       // header-sized, with a bad sync, version or size
    };

    DatagramAssembler();
    ~DatagramAssembler();

    DatagramAssembler(const DatagramAssembler&) = delete;
    DatagramAssembler& operator=(const DatagramAssembler&) = delete;

    // Offers one datagram of a sender. Complete: it finished a packet, which
    // packet() now gives. Incomplete: more datagrams are needed. BadHeader
    // and BadSize: the datagram was dropped and the sender's next header is
    // awaited.
    DataParser::Status offer(const QByteArray& datagram, const QHostAddress& sender,
                             quint16 senderPort);
    // The same, for a datagram that arrived at arrivalUs (microseconds on a
    // clock of the caller's choice). After a pause of more than maxPauseUs
    // since the sender's previous datagram, its packet in progress is given
    // up first. Times that go backwards are no pause.
    DataParser::Status offer(const QByteArray& datagram, const QHostAddress& sender,
                             quint16 senderPort, qint64 arrivalUs);
    // Offers of the one sender without an address.
    DataParser::Status offer(const QByteArray& datagram);
    DataParser::Status offer(const QByteArray& datagram, qint64 arrivalUs);
    // Offers the datagrams in order, all of one sender; the last packet they
    // complete, if any.
    std::optional<RadarPacketData> assemble(const QVector<QByteArray>& datagrams);

    // The packet that the last Complete finished, to be taken before the
    // next offer (which may start the sender's next packet); its arrays are
    // shared, not copied.
    RadarPacketData packet() const;
    // Gives up every packet in progress: each sender's next datagram must be
    // a header.
    void restart();

    Counts counts() const;

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace trklib

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

/// Turns radar datagrams into packets: every datagram, in arrival order, goes
/// to the parser of its sender, and every packet a parser completes is handed
/// out. The live packet reader uses it with the datagrams of its socket;
/// replays of captures and recordings use it with theirs, so that all of them
/// assemble packets the same way.
///
/// Each sender (address and port) has a packet in progress of its own, so
/// that a datagram of one sender never becomes part of a packet begun by
/// another, and radars that share a port all get their packets through. At
/// most maxSenders senders are followed at once: a new one takes the place
/// of the one heard least recently, whose packet in progress is given up.
/// Offers without a sender all count as one sender.
///
/// An engine fed by two radars tracks neither, so an assembler that feeds
/// one engine follows one sender at a time (setOneSender). The first sender
/// offered becomes the followed one. Datagrams of any other sender are
/// dropped and counted as competing while the followed one is alive; a
/// datagram that arrives takeoverSilenceUs or more after the followed
/// sender's last one makes its sender the followed one, and the packet the
/// old one had in progress is given up. Only offers with arrival times can
/// take over: without times no silence can be told, and the followed
/// sender stays. Times that go backwards are no silence.
///
/// A packet that loses a datagram is given up when its sender's next header
/// arrives (the parser's rule). A live read also gives up on a packet whose
/// next datagram takes longer than its wait of one second to arrive; offers
/// with arrival times apply that rule to datagrams from elsewhere.
///
/// Datagrams carry no sequence numbers: a sender's own pieces that arrive
/// swapped or twice cannot be told from good ones.
class TRKLIB_EXPORT DatagramAssembler
{
public:
    /// The longest pause between two datagrams of one packet, microseconds:
    /// as long as a live read waits for a datagram.
    static constexpr qint64 maxPauseUs = 1000000;
    /// Senders followed at once.
    static constexpr int maxSenders = 8;
    /// With one sender at a time: how long the followed sender must have
    /// been silent before another takes over, microseconds. A datagram
    /// exactly this long after the followed sender's last one takes over.
    static constexpr qint64 takeoverSilenceUs = 2000000;

    /// What the assembler has seen since it was made.
    struct Counts
    {
        quint64 datagrams = 0;        ///< offered
        quint64 strayDatagrams = 0;   ///< belonged to no packet, or broke a block
        quint64 packets = 0;          ///< completed
        quint64 abandonedPackets = 0; ///< begun and given up
        quint64 badHeaders = 0;       ///< header-sized, with a bad sync, version or size
    };

    DatagramAssembler();
    ~DatagramAssembler();

    DatagramAssembler(const DatagramAssembler&) = delete;
    DatagramAssembler& operator=(const DatagramAssembler&) = delete;

    /// Offers one datagram of a sender. Complete: it finished a packet, which
    /// packet() now gives. Incomplete: more datagrams are needed. BadHeader
    /// and BadSize: the datagram was dropped and the sender's next header is
    /// awaited. With one sender at a time, a competing sender's datagram is
    /// dropped with BadSize too, and counted as competing only.
    DataParser::Status offer(const QByteArray& datagram, const QHostAddress& sender,
                             quint16 senderPort);
    /// The same, for a datagram that arrived at arrivalUs (microseconds on a
    /// clock of the caller's choice). After a pause of more than maxPauseUs
    /// since the sender's previous datagram, its packet in progress is given
    /// up first. Times that go backwards are no pause.
    DataParser::Status offer(const QByteArray& datagram, const QHostAddress& sender,
                             quint16 senderPort, qint64 arrivalUs);
    /// Offers a datagram of the one sender without an address.
    DataParser::Status offer(const QByteArray& datagram);
    /// The same, for a datagram that arrived at arrivalUs (see above).
    DataParser::Status offer(const QByteArray& datagram, qint64 arrivalUs);
    /// Offers the datagrams in order, all of one sender; the last packet they
    /// complete, if any.
    std::optional<RadarPacketData> assemble(const QVector<QByteArray>& datagrams);

    /// The packet that the last Complete finished, to be taken before the
    /// next offer (which may start the sender's next packet); its arrays are
    /// shared, not copied.
    RadarPacketData packet() const;
    /// Gives up every packet in progress: each sender's next datagram must be
    /// a header.
    void restart();

    /// What the assembler has seen since it was made.
    Counts counts() const;

    /// One sender at a time (see DatagramAssembler) when on; off, every
    /// sender gets its packets through. Off for a new assembler. Turning it
    /// on or off forgets the followed sender.
    void setOneSender(bool on);
    /// True when one sender at a time is followed.
    bool oneSender() const;
    /// The sender followed now, false when there is none (yet).
    bool followedSender(QHostAddress& address, quint16& port) const;
    /// Datagrams dropped since the assembler was made because another
    /// sender was followed.
    quint64 competingDatagrams() const;

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace trklib

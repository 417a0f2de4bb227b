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
/// one engine follows one sender at a time (setOneSender). A sender is
/// followed by the packets it completes, never merely by being heard:
/// while no sender has completed a packet, every sender's datagrams are
/// assembled, each in its own packet in progress, and the first sender to
/// complete a packet becomes the followed one. From then on a datagram of
/// any other sender is dropped unassembled and counted as competing
/// (competingDatagrams) while the followed one is alive, and the packet
/// that sender had in progress is given up. Once the followed sender has been silent for
/// takeoverSilenceUs or more (a datagram arriving exactly that long after
/// the followed sender's last one counts), the datagrams of others are
/// assembled again, and the first packet one of them completes is handed
/// out and makes its sender the followed one; the packet the old one had
/// in progress is given up. Datagrams that complete nothing, however many,
/// never take over: a sender that sends garbage or headers without their
/// arrays never mutes the one that completes packets. Should the followed
/// sender speak again before another completes a packet, the others'
/// datagrams compete again. Without arrival times no silence can be told:
/// once a sender is followed, an offer without a time from another one
/// competes, and so does every offer of another one while the followed
/// sender's last datagram came without a time. Times that go backwards are
/// no silence. Every packet completed is handed out.
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
        /// Offered, competing ones included.
        quint64 datagrams = 0;
        /// Assembled (not competing), yet belonged to no packet or broke a
        /// block: garbage from a sender that is not followed counts here
        /// while it is assembled, and as competing while it is dropped.
        quint64 strayDatagrams = 0;
        /// Completed, all handed out.
        quint64 packets = 0;
        /// Begun and given up: after a pause, a lost datagram or a restart,
        /// on the eviction of its sender, when its sender's datagram is
        /// dropped as competing, or when another sender takes over.
        quint64 abandonedPackets = 0;
        /// Assembled, header-sized, with a bad sync, version or size.
        quint64 badHeaders = 0;
    };

    DatagramAssembler();
    ~DatagramAssembler();

    DatagramAssembler(const DatagramAssembler&) = delete;
    DatagramAssembler& operator=(const DatagramAssembler&) = delete;

    /// Offers one datagram of a sender. Complete: it finished a packet, which
    /// packet() now gives. Incomplete: more datagrams are needed. BadHeader
    /// and BadSize: the datagram was dropped and the sender's next header is
    /// awaited. With one sender at a time, a competing sender's datagram is
    /// dropped with BadSize too, unassembled and counted as competing.
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
    /// The sender followed now: the last one to take over by completing a
    /// packet; false when none has completed a packet since one sender at a
    /// time was turned on.
    bool followedSender(QHostAddress& address, quint16& port) const;
    /// Datagrams dropped unassembled since the assembler was made because
    /// another sender, one that had completed a packet, was followed and
    /// alive. They count in Counts::datagrams, and in no other count but
    /// for the sender's packet in progress each leaves a hole in
    /// (Counts::abandonedPackets).
    quint64 competingDatagrams() const;

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace trklib

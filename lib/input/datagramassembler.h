#pragma once

#include "input/dataparser.h"
#include "input/radarpacketdata.h"
#include "interface/export.h"

#include <QByteArray>
#include <QVector>

#include <memory>
#include <optional>

namespace trklib {

// Turns radar datagrams into packets: every datagram, in arrival order, goes
// to one parser, and every packet the parser completes is handed out. The
// live packet reader uses it with the datagrams of its socket; replays of
// captures and recordings use it with theirs, so that all of them assemble
// packets the same way.
//
// A packet that loses a datagram is given up when the next header arrives
// (the parser's rule). A live read also gives up on a packet whose next
// datagram takes longer than its wait of one second to arrive; offers with
// arrival times apply that rule to datagrams from elsewhere.
class TRKLIB_EXPORT DatagramAssembler
{
public:
    // The longest pause between two datagrams of one packet, microseconds:
    // as long as a live read waits for a datagram.
    static constexpr qint64 maxPauseUs = 1000000;

    DatagramAssembler();
    ~DatagramAssembler();

    DatagramAssembler(const DatagramAssembler&) = delete;
    DatagramAssembler& operator=(const DatagramAssembler&) = delete;

    // Offers one datagram. Complete: it finished a packet, which packet()
    // now gives. Incomplete: more datagrams are needed. BadHeader and
    // BadSize: the datagram was dropped and a header is awaited.
    DataParser::Status offer(const QByteArray& datagram);
    // The same, for a datagram that arrived at arrivalUs (microseconds on a
    // clock of the caller's choice). After a pause of more than maxPauseUs
    // since the previous datagram, the packet in progress is given up first.
    // Times that go backwards are no pause.
    DataParser::Status offer(const QByteArray& datagram, qint64 arrivalUs);
    // Offers the datagrams in order; the last packet they complete, if any.
    std::optional<RadarPacketData> assemble(const QVector<QByteArray>& datagrams);

    // The packet the last Complete finished; its arrays are shared, not copied.
    RadarPacketData packet() const;
    // Gives up the packet in progress: the next datagram must be a header.
    void restart();

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace trklib

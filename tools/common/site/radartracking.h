#pragma once

#include "tools/common/site/siteconfig.h"

#include "engine/targettracking.h"
#include "input/datagramassembler.h"

#include <QByteArray>
#include <QHostAddress>
#include <QPair>
#include <QSet>
#include <QVector>

#include <cstdint>
#include <optional>

// Every radar of a site received and tracked by the same rules, whether
// its datagrams come from a socket (trackd) or from a capture (sited's
// offline run): which radar a datagram belongs to, and that radar's
// assembler, engine and counters.
namespace trklib::site {

// What a radar's reception has counted since it started.
struct RadarStatus
{
    std::uint64_t packets = 0;
    std::uint64_t datagrams = 0; // every one of the radar's, competing ones included
    std::uint64_t readErrors = 0;
    std::uint64_t badHeaders = 0;
    std::uint64_t foreignDatagrams = 0;
    std::uint64_t strayDatagrams = 0;
    std::uint64_t abandonedPackets = 0;
    std::uint64_t competingDatagrams = 0; // dropped: another sender was followed
    std::uint32_t senders = 0;
    std::int32_t receiveBufferBytes = 0;
    double ratePps = 0.0; // packets per second over the last 5 s
    std::optional<std::int64_t> lastTimestampMs;
    // trackd's ASTERIX output of the radar: values sent clamped to their
    // item's range, datagrams dropped (0 without the output).
    std::uint64_t asterixClamped = 0;
    std::uint64_t outputDropped = 0;

    // Everything but the packet and datagram counts, the rate, the last
    // timestamp and the output's counts, which may move with every packet:
    // a status is published at once when any of these changes, not only
    // once a second.
    bool sameCondition(const RadarStatus& other) const;
};

// IPv4 senders on a dual-stack socket arrive as ::ffff:a.b.c.d; they are
// kept as IPv4 addresses, as a capture shows them.
QHostAddress normalisedAddress(const QHostAddress& address);

// Which radar of the site a datagram goes to. Radars on one bind address
// and port share a socket and are told apart by sender (their
// radar_address); a radar alone on its socket takes any sender unless its
// radar_address is set. The site file's check guarantees that sockets of
// one port do not overlap and that radars sharing one have addresses.
class RadarRouting
{
public:
    explicit RadarRouting(const QVector<RadarEntry>& radars);

    int socketCount() const { return int(sockets_.size()); }
    // The radars that share the socket, in the file's order; the first
    // one's bind address and port are the socket's.
    const QVector<int>& socketRadars(int socket) const { return sockets_[socket].radars; }
    // The ports some radar listens on, each once.
    QVector<quint16> ports() const;

    // The socket a datagram to destination and port arrives on: the one
    // bound to that address, else the port's socket bound to every
    // interface (0.0.0.0 takes IPv4 only); -1 when none.
    int socketFor(const QHostAddress& destination, quint16 port) const;
    // The radar of the socket that takes a datagram from sender; -1 when
    // it is none of theirs (a foreign datagram).
    int radarFor(int socket, const QHostAddress& sender) const;

private:
    struct Socket
    {
        QHostAddress bindAddress;
        quint16 port = 0;
        QVector<int> radars;
        QVector<QHostAddress> senders; // senders[i] sends to radars[i]; null: any
    };
    QVector<Socket> sockets_;
};

// One radar's datagrams assembled into packets and tracked, and what its
// status counts. The radar follows one sender (address and port) at a
// time, as the library's engines do: datagrams of another are counted as
// competing and dropped until the followed one has been silent for 2 s.
// Times are microseconds on any clock that only moves forward (the host's
// steady clock live, the capture's offline).
class RadarTracker
{
public:
    // What a datagram changed that is worth a line in a log.
    enum class Event
    {
        None,
        Receiving,      // the first datagram since the start
        ReceivingAgain, // the first after a silence
        SenderChanged,  // another sender taken over from previousSender
        Competing       // dropped: the first of an episode of competing datagrams
    };

    struct Outcome
    {
        bool complete = false; // a packet was completed and tracked
        bool dropped = false;  // from a competing sender
        Event event = Event::None;
        QHostAddress previousSender; // the sender followed before, for the events
        quint16 previousPort = 0;
    };

    // A radar unheard for longer than a live read waits counts a read
    // error, once per such wait, and its half packets are given up.
    static constexpr std::int64_t silenceUs = DatagramAssembler::maxPauseUs;

    explicit RadarTracker(const RadarEntry& entry);

    const RadarEntry& entry() const { return entry_; }

    // Starts the silence clock: the radar counts as heard at nowUs.
    void start(std::int64_t nowUs) { lastHeardUs_ = nowUs; }
    // Takes one datagram of the radar from sender:port at nowUs.
    Outcome offer(const QByteArray& datagram, const QHostAddress& sender, quint16 port,
                  std::int64_t nowUs);
    // The last tracked packet: the radar's timestamp (ms) and its targets.
    std::int64_t timestampMs() const { return timestampMs_; }
    const QVector<TargetData>& targets() const { return targets_; }
    // The reflectivity of those targets, one for each and in their order.
    const QVector<TargetReflectivity>& reflectivity() const { return reflectivity_; }

    // True when the radar has just fallen silent: unheard for longer than
    // silenceUs, for the first time since it was last heard. Each such wait
    // counts a read error and gives up the packets in progress.
    enum class Silence
    {
        Heard,
        JustSilent,
        StillSilent
    };
    Silence checkSilence(std::int64_t nowUs);
    // When the next check may find the radar silent.
    std::int64_t silenceDueUs() const { return lastHeardUs_ + silenceUs + 1; }
    bool heard() const { return heard_; }

    void countForeignDatagram() { ++status_.foreignDatagrams; }
    void countReadError() { ++status_.readErrors; }
    void setReceiveBufferBytes(int bytes) { status_.receiveBufferBytes = bytes; }
    const RadarStatus& status() const { return status_; }

private:
    RadarEntry entry_;
    DatagramAssembler assembler_;
    TargetTracking engine_;
    QVector<TargetData> targets_;
    QVector<TargetReflectivity> reflectivity_;
    std::int64_t timestampMs_ = 0;
    QSet<QPair<QHostAddress, quint16>> senders_;
    RadarStatus status_;
    std::int64_t lastHeardUs_ = 0;
    bool heard_ = false;  // a datagram has come since the start
    bool silent_ = false; // the last datagram is more than silenceUs ago
    // Another sender competes with the one followed, its last datagram at
    // lastCompetingUs_: said once per such episode.
    bool competing_ = false;
    std::int64_t lastCompetingUs_ = 0;
};

} // namespace trklib::site

#pragma once

#include "messages.h"
#include "tools/common/site/radartracking.h"
#include "tools/common/site/siteconfig.h"

#include <QVector>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace trklib::trackd {

// The radars' sockets, assemblers and engines, run by one thread of their
// own.
//
// Radars on one bind address and port share one socket: each datagram goes
// to the radar whose address sent it, into that radar's assembler, and each
// packet it completes into that radar's engine, so that every radar is
// tracked and numbered as if it were alone (as trackreplay tracks its
// capture). A radar alone on its socket takes the same path. Each radar
// follows one sender (address and port) at a time, as the library's engines
// do: datagrams of another sender that pass its address are counted as
// competing and dropped until the followed one has been silent for 2 s,
// and that is logged once per episode, as is a change of sender. The
// routing and the per-radar part are tools/common's (RadarRouting,
// RadarTracker), which sited's offline run follows on a capture.
//
// One thread waits on all sockets at once (epoll). Tracking a packet takes
// about 10 us, so a single thread keeps up with hundreds of radars at 20
// packets per second, and it keeps every engine on one thread, which they
// need. The broker
// never holds this thread up: publishing only queues a message for the
// broker connection's own thread.
class Reception
{
public:
    // A tracked packet of radar (its index in the configuration): its
    // timestamp (ms), the host time when it was complete (ms since the
    // epoch), when its last datagram was read (steadyUs()), its targets and
    // their reflectivity. Called on the reception thread.
    using PacketSink = std::function<void(
        int radar, std::int64_t timestampMs, std::int64_t receivedMs, std::int64_t readUs,
        const QVector<TargetData>& targets, const QVector<TargetReflectivity>& reflectivity)>;

    // The clock of the reads: the host's steady clock, microseconds.
    static std::int64_t steadyUs();

    explicit Reception(const QVector<site::RadarEntry>& radars);
    ~Reception();

    Reception(const Reception&) = delete;
    Reception& operator=(const Reception&) = delete;

    // Binds every socket. False with one line that names the radar's
    // section and key and why, at the first that fails ("12: [radar.a]
    // port: ..."; a failure of no radar's starts with a space instead).
    bool bind(QString& error);
    // Starts the reception thread.
    void start(PacketSink sink);
    // Stops it and waits for it; packets in progress are dropped.
    void stop();

    // The radar's counters (its rate left at 0), from any thread.
    RadarStatus status(int radar) const;
    int socketCount() const;

private:
    struct Radar;
    struct Socket;

    void run();
    void readSocket(Socket& socket, std::int64_t nowUs);
    void handleDatagram(Socket& socket, const char* data, int size, const void* source,
                        std::int64_t nowUs);
    int checkSilence(std::int64_t nowUs);

    site::RadarRouting routing_;
    std::vector<std::unique_ptr<Radar>> radars_;
    std::vector<std::unique_ptr<Socket>> sockets_;
    PacketSink sink_;
    int wakeFd_ = -1;  // an eventfd that stop() writes to
    int epollFd_ = -1; // every socket's descriptor and wakeFd_
    // The epoll key of wakeFd_; a socket's is its index in sockets_.
    static constexpr std::uint64_t wakeKey = ~std::uint64_t(0);
    std::thread thread_;
    std::vector<char> buffer_;
};

} // namespace trklib::trackd

#include "reception.h"

#include "eventlog.h"

#include "input/datagramassembler.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trklib::trackd {

namespace {

// The receive buffer asked for, as the library's own socket asks: room for
// 53 whole packets.
constexpr int receiveBufferBytes = 1048576;
// Room for the largest UDP payload, so that no datagram is cut short.
constexpr int maxDatagramBytes = 65536;
// Datagrams read from one socket before the others get their turn.
constexpr int datagramsPerTurn = 64;
// A radar unheard for longer than a live read waits falls silent.
constexpr std::int64_t silenceUs = site::RadarTracker::silenceUs;
// How long the sender a radar follows must be silent before another takes
// over, microseconds, as the library's engines wait.
constexpr std::int64_t takeoverSilenceUs = DatagramAssembler::takeoverSilenceUs;

std::int64_t wallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

QString errnoText(int error)
{
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

// IPv4 senders on a dual-stack socket arrive as ::ffff:a.b.c.d; they are
// kept as IPv4 addresses, as a capture shows them.
QHostAddress senderAddress(const sockaddr* source)
{
    return site::normalisedAddress(QHostAddress(source));
}

quint16 senderPort(const sockaddr_storage& source)
{
    return source.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6&>(source).sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in&>(source).sin_port);
}

// A bound, non-blocking UDP socket, or -1 with errno set. Every interface
// means both protocols: an IPv6 socket that takes IPv4 too, or an IPv4
// one on a host without IPv6.
int openSocket(const QHostAddress& address, quint16 port)
{
    sockaddr_storage local{};
    socklen_t length = 0;
    int family = AF_INET6;
    if (address.isNull() || address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(local);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        if (!address.isNull()) {
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6.sin6_addr, bytes.c, sizeof bytes.c);
            if (!address.scopeId().isEmpty())
                in6.sin6_scope_id = if_nametoindex(address.scopeId().toLocal8Bit().constData());
        }
        length = sizeof in6;
    } else {
        family = AF_INET;
        auto& in4 = reinterpret_cast<sockaddr_in&>(local);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        in4.sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof in4;
    }
    int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && address.isNull() && errno == EAFNOSUPPORT) {
        local = {};
        auto& in4 = reinterpret_cast<sockaddr_in&>(local);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        in4.sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof in4;
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        family = AF_INET;
    }
    if (fd < 0)
        return -1;
    const int no = 0;
    if (family == AF_INET6 && address.isNull())
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), length) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    // A host may grant less (net.core.rmem_max); the status shows what it did.
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    return fd;
}

} // namespace

std::int64_t Reception::steadyUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// A radar's reception, tracking and counters (shared with sited's offline
// run), and a copy of its counters for the status thread.
struct Reception::Radar
{
    explicit Radar(const site::RadarEntry& entry) : tracker(entry) {}

    site::RadarTracker tracker;
    mutable std::mutex mutex;
    RadarStatus counts;

    // Hands the tracker's counters to the status thread.
    void publishCounts()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        counts = tracker.status();
    }
};

struct Reception::Socket
{
    int fd = -1;
    int index = 0;        // in the routing
    bool failing = false; // the last read failed (logged once)

    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

Reception::Reception(const QVector<site::RadarEntry>& radars)
    : routing_(radars), buffer_(maxDatagramBytes)
{
    for (const site::RadarEntry& entry : radars)
        radars_.push_back(std::make_unique<Radar>(entry));
    // Radars on one bind address and port share a socket.
    for (int i = 0; i < routing_.socketCount(); ++i) {
        sockets_.push_back(std::make_unique<Socket>());
        sockets_.back()->index = i;
    }
}

Reception::~Reception()
{
    stop();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    if (epollFd_ >= 0)
        ::close(epollFd_);
}

bool Reception::bind(QString& error)
{
    // Made first, so that stop() can always wake the thread: once the
    // sockets and broker connections have taken every descriptor, they
    // could not be made.
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = wakeKey;
    if (wakeFd_ < 0 || epollFd_ < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0) {
        error = QStringLiteral(" cannot make the reception's wake-up descriptors: %1")
                    .arg(errnoText(errno));
        return false;
    }
    for (const std::unique_ptr<Socket>& socket : sockets_) {
        const QVector<int>& socketRadars = routing_.socketRadars(socket->index);
        const site::RadarEntry& entry = radars_[socketRadars.front()]->tracker.entry();
        socket->fd = openSocket(entry.bindAddress, entry.port);
        if (socket->fd < 0) {
            const bool address = errno == EADDRNOTAVAIL;
            error = QStringLiteral("%1: [radar.%2] %3: cannot listen on %4: %5")
                        .arg(entry.line)
                        .arg(entry.name,
                             address ? QStringLiteral("bind_address") : QStringLiteral("port"),
                             site::describeSocket(entry), errnoText(errno));
            return false;
        }
        epoll_event readable{};
        readable.events = EPOLLIN;
        readable.data.u64 = std::uint64_t(&socket - sockets_.data());
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, socket->fd, &readable) != 0) {
            error = QStringLiteral("%1: [radar.%2] port: cannot watch %3: %4")
                        .arg(entry.line)
                        .arg(entry.name, site::describeSocket(entry), errnoText(errno));
            return false;
        }
        int granted = 0;
        socklen_t size = sizeof granted;
        ::getsockopt(socket->fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
        for (const int r : socketRadars) {
            radars_[r]->tracker.setReceiveBufferBytes(granted);
            radars_[r]->publishCounts();
        }
    }
    return true;
}

void Reception::start(PacketSink sink)
{
    sink_ = std::move(sink);
    const std::int64_t now = steadyUs();
    for (const std::unique_ptr<Radar>& radar : radars_)
        radar->tracker.start(now);
    thread_ = std::thread([this] { run(); });
}

void Reception::stop()
{
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
        // An eventfd write fails only when its counter would overflow: the
        // thread has been woken already.
    }
    thread_.join();
}

RadarStatus Reception::status(int radar) const
{
    const Radar& r = *radars_[radar];
    const std::lock_guard<std::mutex> lock(r.mutex);
    return r.counts;
}

int Reception::socketCount() const
{
    return int(sockets_.size());
}

// Waits on the epoll set of every socket, so that a wait costs the same
// with one socket as with a thousand, and reads the sockets that have
// datagrams; checks the radars' silence after every wake.
void Reception::run()
{
    constexpr int eventsPerWait = 64;
    epoll_event events[eventsPerWait];
    int timeoutMs = int(silenceUs / 1000);
    for (;;) {
        const int ready = ::epoll_wait(epollFd_, events, eventsPerWait, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            logEvent(Priority::Error,
                     QStringLiteral("cannot wait for datagrams: %1; reception ends")
                         .arg(errnoText(errno)));
            return;
        }
        const std::int64_t now = steadyUs();
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u64 == wakeKey)
                return;
            readSocket(*sockets_[std::size_t(events[i].data.u64)], now);
        }
        timeoutMs = checkSilence(steadyUs());
    }
}

void Reception::readSocket(Socket& socket, std::int64_t nowUs)
{
    for (int n = 0; n < datagramsPerTurn; ++n) {
        sockaddr_storage source{};
        socklen_t sourceLength = sizeof source;
        const ssize_t size = ::recvfrom(socket.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (size < 0) {
            // Counted as read errors of the socket's radars; said once until
            // a read succeeds again.
            const int error = errno;
            const QVector<int>& socketRadars = routing_.socketRadars(socket.index);
            for (const int r : socketRadars) {
                radars_[r]->tracker.countReadError();
                radars_[r]->publishCounts();
            }
            const site::RadarEntry& first = radars_[socketRadars.front()]->tracker.entry();
            if (!socket.failing)
                logEvent(Priority::Error,
                         QStringLiteral("radar %1: cannot read %2: %3")
                             .arg(first.name, site::describeSocket(first), errnoText(error)));
            socket.failing = true;
            return;
        }
        socket.failing = false;
        handleDatagram(socket, buffer_.data(), int(size), &source, nowUs);
    }
}

void Reception::handleDatagram(Socket& socket, const char* data, int size, const void* source,
                               std::int64_t nowUs)
{
    const auto& from = *static_cast<const sockaddr_storage*>(source);
    const QHostAddress sender = senderAddress(reinterpret_cast<const sockaddr*>(&from));
    const quint16 port = senderPort(from);
    const int index = routing_.radarFor(socket.index, sender);
    if (index < 0) {
        // From none of the socket's radars: every radar of the socket
        // shows it, as its own socket would.
        for (const int r : routing_.socketRadars(socket.index)) {
            radars_[r]->tracker.countForeignDatagram();
            radars_[r]->publishCounts();
        }
        return;
    }

    Radar& radar = *radars_[index];
    const QString& name = radar.tracker.entry().name;
    const site::RadarTracker::Outcome outcome =
        radar.tracker.offer(QByteArray::fromRawData(data, size), sender, port, nowUs);
    switch (outcome.event) {
    case site::RadarTracker::Event::None:
        break;
    case site::RadarTracker::Event::Competing:
        logEvent(Priority::Warning,
                 QStringLiteral("radar %1: datagrams from %2 port %3 compete with %4 port %5; "
                                "dropped")
                     .arg(name, sender.toString())
                     .arg(port)
                     .arg(outcome.previousSender.toString())
                     .arg(outcome.previousPort));
        break;
    case site::RadarTracker::Event::SenderChanged:
        logEvent(Priority::Warning,
                 QStringLiteral("radar %1: now tracking %2 port %3; %4 port %5 silent for %6 s")
                     .arg(name, sender.toString())
                     .arg(port)
                     .arg(outcome.previousSender.toString())
                     .arg(outcome.previousPort)
                     .arg(takeoverSilenceUs / 1000000));
        break;
    case site::RadarTracker::Event::Receiving:
    case site::RadarTracker::Event::ReceivingAgain:
        logEvent(Priority::Info, QStringLiteral("radar %1: %2 from %3 port %4")
                                     .arg(name,
                                          outcome.event == site::RadarTracker::Event::ReceivingAgain
                                              ? QStringLiteral("receiving again")
                                              : QStringLiteral("receiving"),
                                          sender.toString())
                                     .arg(port));
        break;
    }
    radar.publishCounts();
    if (outcome.complete)
        sink_(index, radar.tracker.timestampMs(), wallClockMs(), nowUs, radar.tracker.targets(),
              radar.tracker.reflectivity());
}

// Counts a read error for every radar unheard for longer than a read
// waits, gives up its half packets, and says so when it has just gone
// quiet. Returns how long the reception may wait before the next check, ms.
int Reception::checkSilence(std::int64_t nowUs)
{
    std::int64_t nextUs = nowUs + silenceUs;
    for (const std::unique_ptr<Radar>& radar : radars_) {
        const site::RadarTracker::Silence silence = radar->tracker.checkSilence(nowUs);
        if (silence != site::RadarTracker::Silence::Heard)
            radar->publishCounts();
        if (silence == site::RadarTracker::Silence::JustSilent) {
            const site::RadarEntry& entry = radar->tracker.entry();
            logEvent(Priority::Warning,
                     QStringLiteral("radar %1: %2 for a second on %3%4")
                         .arg(entry.name,
                              radar->tracker.heard() ? QStringLiteral("silent, no datagram")
                                                     : QStringLiteral("no datagram yet"),
                              site::describeSocket(entry),
                              entry.radarAddress.isNull()
                                  ? QString()
                                  : QStringLiteral(" from ") + entry.radarAddress.toString()));
        }
        nextUs = std::min(nextUs, radar->tracker.silenceDueUs());
    }
    // Rounded up, so that the next check finds the wait over.
    return int(std::max<std::int64_t>(1, (nextUs - nowUs + 999) / 1000));
}

} // namespace trklib::trackd

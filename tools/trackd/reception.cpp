#include "reception.h"

#include "eventlog.h"

#include "engine/targettracking.h"
#include "input/datagramassembler.h"

#include <QPair>
#include <QSet>

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
// A radar unheard for longer than a live read waits counts a read error,
// once per such wait, and its half packets are given up.
constexpr std::int64_t silenceUs = DatagramAssembler::maxPauseUs;
// Distinct senders counted at most, as the library counts them.
constexpr int rememberedSenders = 1024;
// How long the sender a radar follows must be silent before another takes
// over, microseconds, as the library's engines wait.
constexpr std::int64_t takeoverSilenceUs = DatagramAssembler::takeoverSilenceUs;

std::int64_t steadyUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

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
    QHostAddress address(source);
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped && address.protocol() == QAbstractSocket::IPv6Protocol)
        address.setAddress(ipv4);
    return address;
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

struct Reception::Radar
{
    site::RadarEntry entry;
    DatagramAssembler assembler;
    TargetTracking engine;
    QVector<TargetData> targets;
    QSet<QPair<QHostAddress, quint16>> senders;
    std::int64_t lastHeardUs = 0;
    bool heard = false;  // a datagram has come since the start
    bool silent = false; // the last datagram is more than silenceUs ago
    // Another sender competes with the one followed, its last datagram at
    // lastCompetingUs: said once per such episode.
    bool competing = false;
    std::int64_t lastCompetingUs = 0;

    // Read by the status thread.
    mutable std::mutex mutex;
    RadarStatus counts;
};

struct Reception::Socket
{
    int fd = -1;
    QVector<int> radars;                // indices into radars_
    QVector<QHostAddress> radarSenders; // radarSenders[i] sends to radars[i]; null: any
    bool failing = false;               // the last read failed (logged once)

    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

Reception::Reception(const QVector<site::RadarEntry>& radars) : buffer_(maxDatagramBytes)
{
    for (const site::RadarEntry& entry : radars) {
        auto radar = std::make_unique<Radar>();
        radar->entry = entry;
        radar->engine.radarConfig() = entry.mounting;
        // An engine fed by two radars tracks neither.
        radar->assembler.setOneSender(true);
        radars_.push_back(std::move(radar));
    }
    // Radars on one bind address and port share a socket.
    for (int i = 0; i < int(radars_.size()); ++i) {
        const site::RadarEntry& entry = radars_[i]->entry;
        const auto same = std::find_if(sockets_.begin(), sockets_.end(), [&](const auto& s) {
            const site::RadarEntry& first = radars_[s->radars.front()]->entry;
            return first.port == entry.port && first.bindAddress == entry.bindAddress;
        });
        Socket* socket = same != sockets_.end() ? same->get() : nullptr;
        if (!socket) {
            sockets_.push_back(std::make_unique<Socket>());
            socket = sockets_.back().get();
        }
        socket->radars.append(i);
        socket->radarSenders.append(entry.radarAddress);
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
        const site::RadarEntry& entry = radars_[socket->radars.front()]->entry;
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
        for (const int r : qAsConst(socket->radars))
            radars_[r]->counts.receiveBufferBytes = granted;
    }
    return true;
}

void Reception::start(PacketSink sink)
{
    sink_ = std::move(sink);
    const std::int64_t now = steadyUs();
    for (const std::unique_ptr<Radar>& radar : radars_)
        radar->lastHeardUs = now;
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
            for (const int r : qAsConst(socket.radars)) {
                const std::lock_guard<std::mutex> lock(radars_[r]->mutex);
                ++radars_[r]->counts.readErrors;
            }
            if (!socket.failing)
                logEvent(Priority::Error,
                         QStringLiteral("radar %1: cannot read %2: %3")
                             .arg(radars_[socket.radars.front()]->entry.name,
                                  site::describeSocket(radars_[socket.radars.front()]->entry),
                                  errnoText(error)));
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
    int index = -1;
    for (int i = 0; i < socket.radars.size() && index < 0; ++i) {
        const QHostAddress& wanted = socket.radarSenders[i];
        if (wanted.isNull() || wanted.isEqual(sender, QHostAddress::TolerantConversion))
            index = socket.radars[i];
    }
    if (index < 0) {
        // From none of the socket's radars: every radar of the socket
        // shows it, as its own socket would.
        for (const int r : qAsConst(socket.radars)) {
            const std::lock_guard<std::mutex> lock(radars_[r]->mutex);
            ++radars_[r]->counts.foreignDatagrams;
        }
        return;
    }

    Radar& radar = *radars_[index];
    if (radar.senders.size() < rememberedSenders)
        radar.senders.insert(qMakePair(sender, port));
    QHostAddress followed;
    quint16 followedPort = 0;
    const bool following = radar.assembler.followedSender(followed, followedPort);
    const quint64 competing = radar.assembler.competingDatagrams();
    const QByteArray datagram = QByteArray::fromRawData(data, size);
    const bool complete =
        radar.assembler.offer(datagram, sender, port, nowUs) == DataParser::Complete;
    if (radar.assembler.competingDatagrams() != competing) {
        // Dropped: the radar is not heard by it.
        if (!radar.competing || nowUs - radar.lastCompetingUs >= takeoverSilenceUs)
            logEvent(Priority::Warning,
                     QStringLiteral("radar %1: datagrams from %2 port %3 compete with %4 port %5; "
                                    "dropped")
                         .arg(radar.entry.name, sender.toString())
                         .arg(port)
                         .arg(followed.toString())
                         .arg(followedPort));
        radar.competing = true;
        radar.lastCompetingUs = nowUs;
        const std::lock_guard<std::mutex> lock(radar.mutex);
        radar.counts.competingDatagrams = radar.assembler.competingDatagrams();
        radar.counts.senders = std::uint32_t(radar.senders.size());
        return;
    }
    if (following && (port != followedPort || sender != followed)) {
        logEvent(Priority::Warning,
                 QStringLiteral("radar %1: now tracking %2 port %3; %4 port %5 silent for %6 s")
                     .arg(radar.entry.name, sender.toString())
                     .arg(port)
                     .arg(followed.toString())
                     .arg(followedPort)
                     .arg(takeoverSilenceUs / 1000000));
        radar.competing = false;
    } else if (!radar.heard || radar.silent) {
        logEvent(Priority::Info, QStringLiteral("radar %1: %2 from %3 port %4")
                                     .arg(radar.entry.name,
                                          radar.heard ? QStringLiteral("receiving again")
                                                      : QStringLiteral("receiving"),
                                          sender.toString())
                                     .arg(port));
    }
    radar.heard = true;
    radar.silent = false;
    radar.lastHeardUs = nowUs;
    long timestamp = 0;
    if (complete)
        radar.engine.getTargetsFromData(radar.assembler.packet(), timestamp, radar.targets);
    const DatagramAssembler::Counts counts = radar.assembler.counts();
    {
        const std::lock_guard<std::mutex> lock(radar.mutex);
        RadarStatus& s = radar.counts;
        s.packets = counts.packets;
        s.badHeaders = counts.badHeaders;
        s.strayDatagrams = counts.strayDatagrams;
        s.abandonedPackets = counts.abandonedPackets;
        s.senders = std::uint32_t(radar.senders.size());
        if (complete)
            s.lastTimestampMs = timestamp;
    }
    if (complete)
        sink_(index, timestamp, wallClockMs(), radar.targets);
}

// Counts a read error for every radar unheard for longer than a read
// waits, gives up its half packets, and says so when it has just gone
// quiet. Returns how long the reception may wait before the next check, ms.
int Reception::checkSilence(std::int64_t nowUs)
{
    std::int64_t nextUs = nowUs + silenceUs;
    for (const std::unique_ptr<Radar>& radar : radars_) {
        if (nowUs - radar->lastHeardUs > silenceUs) {
            radar->lastHeardUs = nowUs;
            radar->assembler.restart();
            const std::uint64_t abandoned = radar->assembler.counts().abandonedPackets;
            {
                const std::lock_guard<std::mutex> lock(radar->mutex);
                ++radar->counts.readErrors;
                radar->counts.abandonedPackets = abandoned;
            }
            if (!radar->silent)
                logEvent(Priority::Warning,
                         QStringLiteral("radar %1: %2 for a second on %3%4")
                             .arg(radar->entry.name,
                                  radar->heard ? QStringLiteral("silent, no datagram")
                                               : QStringLiteral("no datagram yet"),
                                  site::describeSocket(radar->entry),
                                  radar->entry.radarAddress.isNull()
                                      ? QString()
                                      : QStringLiteral(" from ") +
                                            radar->entry.radarAddress.toString()));
            radar->silent = true;
        }
        nextUs = std::min(nextUs, radar->lastHeardUs + silenceUs + 1);
    }
    // Rounded up, so that the next check finds the wait over.
    return int(std::max<std::int64_t>(1, (nextUs - nowUs + 999) / 1000));
}

} // namespace trklib::trackd

#include "brokerlink.h"

#include "eventlog.h"
#include "messages.h"

#include "tools/common/service/brokerclient.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trklib::trackd {

namespace {

using Clock = std::chrono::steady_clock;
using service::brokerKeepAliveS;
using service::brokerResultText;
using service::errnoText;

// How often every connection's keep-alive is looked after, and the longest
// the network thread waits when nothing happens; a publish wakes it at once.
constexpr std::chrono::milliseconds keepAlivePeriod{1000};
// How long leaving waits for the DISCONNECT to go out after the deadline
// for the offline status has passed.
constexpr std::chrono::milliseconds disconnectWait{1000};

constexpr int qosTracks = 0;
constexpr int qosStatus = 1; // acknowledged, so that leaving can wait for it
// Packets read or written per call; libmosquitto does as many as its queue
// holds anyway.
constexpr int packetsPerCall = 1;

// The error of a socket whose connection failed; 0 when there is none.
int socketError(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 ? error : errno;
}

} // namespace

// The network ------------------------------------------------------------

BrokerNetwork::BrokerNetwork()
    : epollFd_(::epoll_create1(EPOLL_CLOEXEC)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.ptr = nullptr; // every other event is a link's
    if (epollFd_ >= 0 && wakeFd_ >= 0 &&
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wakeEvent) == 0)
        thread_ = std::thread([this] { run(); });
}

BrokerNetwork::~BrokerNetwork()
{
    stop();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    if (epollFd_ >= 0)
        ::close(epollFd_);
}

bool BrokerNetwork::valid() const
{
    return thread_.joinable();
}

void BrokerNetwork::stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake();
    if (thread_.joinable())
        thread_.join();
}

void BrokerNetwork::add(BrokerLink* link)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        link->retryAt_ = Clock::now();
        links_.push_back(link);
        scanAt_ = Clock::time_point(); // long past: at once
    }
    wake();
}

void BrokerNetwork::remove(BrokerLink* link)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    unwatch(link);
    {
        const std::lock_guard<std::mutex> pendingLock(pendingMutex_);
        pending_.erase(std::remove(pending_.begin(), pending_.end(), link), pending_.end());
    }
    linksChanged_ = true;
}

void BrokerNetwork::markPending(BrokerLink* link)
{
    {
        const std::lock_guard<std::mutex> lock(pendingMutex_);
        pending_.push_back(link);
    }
    wake();
}

void BrokerNetwork::wake()
{
    // One write wakes the thread; the rest until it wakes would only add up.
    if (!wakePending_.exchange(true)) {
        const std::uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) {
            // Full only when a wake is already pending.
        }
    }
}

void BrokerNetwork::run()
{
    constexpr int eventsPerWait = 256;
    std::vector<epoll_event> events(eventsPerWait);
    std::vector<BrokerLink*> work;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        const Clock::time_point now = Clock::now();
        {
            const std::lock_guard<std::mutex> pendingLock(pendingMutex_);
            work.swap(pending_);
        }
        for (BrokerLink* link : work) {
            link->service(now);
            watch(link);
        }
        work.clear();
        if (now >= scanAt_)
            scan(now);
        linksChanged_ = false;
        using std::chrono::milliseconds;
        const milliseconds wait = std::clamp(std::chrono::ceil<milliseconds>(scanAt_ - now),
                                             milliseconds(0), milliseconds(keepAlivePeriod));

        lock.unlock();
        const int ready = ::epoll_wait(epollFd_, events.data(), eventsPerWait, int(wait.count()));
        lock.lock();
        // A link that left meanwhile may be among the events; the others
        // are reported again at once.
        if (linksChanged_)
            continue;
        for (int i = 0; i < ready; ++i) {
            auto* link = static_cast<BrokerLink*>(events[std::size_t(i)].data.ptr);
            if (!link) {
                std::uint64_t count = 0;
                if (::read(wakeFd_, &count, sizeof count) < 0) {
                    // Nothing to read: another wake was taken already.
                }
                // Cleared after the read and before the pending links are
                // looked at, so that a message queued from now on wakes the
                // next wait.
                wakePending_ = false;
                continue;
            }
            link->handle(events[std::size_t(i)].events);
            watch(link);
        }
    }
}

// Connects the links whose wait is over, stops those asked to and looks
// after keep-alives when due; then sleeps until the next of these.
void BrokerNetwork::scan(Clock::time_point now)
{
    const bool keepAliveDue = now >= nextKeepAlive_;
    if (keepAliveDue)
        nextKeepAlive_ = now + keepAlivePeriod;
    scanAt_ = nextKeepAlive_;
    for (BrokerLink* link : links_) {
        link->service(now);
        if (keepAliveDue)
            link->keepAlive();
        watch(link);
        if (!link->stopped_ && link->liveSocket() < 0)
            scanAt_ = std::min(scanAt_, link->retryAt_);
    }
}

// Watches the link's socket for what libmosquitto waits for: data in
// always, room to write while it has something to send.
void BrokerNetwork::watch(BrokerLink* link)
{
    const int fd = link->stopped_ ? -1 : link->liveSocket();
    if (fd != link->watchedFd_)
        unwatch(link);
    if (fd < 0)
        return;
    epoll_event event{};
    event.events = std::uint32_t(EPOLLIN) |
                   (mosquitto_want_write(link->client_) ? std::uint32_t(EPOLLOUT) : 0U);
    event.data.ptr = link;
    if (link->watchedFd_ < 0) {
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) == 0) {
            link->watchedFd_ = fd;
            link->watchedEvents_ = event.events;
        }
    } else if (event.events != link->watchedEvents_ &&
               ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0) {
        link->watchedEvents_ = event.events;
    }
}

// A socket that libmosquitto closed has left the epoll set by itself, and
// its number may be another's by now: only one it still holds is taken out.
void BrokerNetwork::unwatch(BrokerLink* link)
{
    if (link->watchedFd_ >= 0 && mosquitto_socket(link->client_) == link->watchedFd_)
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, link->watchedFd_, nullptr);
    link->watchedFd_ = -1;
    link->watchedEvents_ = 0;
}

// A link -----------------------------------------------------------------

BrokerLink::BrokerLink(BrokerNetwork& network, const site::BrokerConfig& broker,
                       const QString& radarName, QByteArray tracksTopic, QByteArray statusTopic,
                       QByteArray offlineStatus)
    : network_(network), broker_(broker), radar_(radarName), tracksTopic_(std::move(tracksTopic)),
      statusTopic_(std::move(statusTopic)), offlineStatus_(std::move(offlineStatus)),
      clientId_(QStringLiteral("%1-%2").arg(broker.clientId, radarName).toUtf8())
{}

BrokerLink::~BrokerLink()
{
    if (inNetwork_)
        finishStop(Clock::now());
    if (client_)
        mosquitto_destroy(client_);
}

QString BrokerLink::where() const
{
    return service::brokerAddress(broker_);
}

bool BrokerLink::start(QString& error)
{
    client_ = mosquitto_new(clientId_.constData(), true, this);
    if (!client_) {
        error = QStringLiteral("cannot make a broker client: %1").arg(errnoText(errno));
        return false;
    }
    // The network's thread runs the client; publishing from others only
    // queues the message.
    mosquitto_threaded_set(client_, true);
    if (!service::setUpBrokerClient(client_, broker_, statusTopic_, offlineStatus_, error))
        return false;
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_publish_callback_set(client_, onPublish);
    mosquitto_log_callback_set(client_, onLog);
    inNetwork_ = true;
    network_.add(this);
    return true;
}

void BrokerLink::queued()
{
    if (!queued_.exchange(true))
        network_.markPending(this);
}

void BrokerLink::publishTracks(const QByteArray& payload)
{
    if (!connected_ || mosquitto_publish(client_, nullptr, tracksTopic_.constData(), payload.size(),
                                         payload.constData(), qosTracks, false) != MOSQ_ERR_SUCCESS)
        ++unsentTracks_;
    else
        queued();
}

bool BrokerLink::publishStatus(const QByteArray& payload)
{
    if (!connected_ || mosquitto_publish(client_, nullptr, statusTopic_.constData(), payload.size(),
                                         payload.constData(), qosStatus, true) != MOSQ_ERR_SUCCESS)
        return false;
    queued();
    return true;
}

bool BrokerLink::takeConnected()
{
    return justConnected_.exchange(false);
}

void BrokerLink::beginStop()
{
    {
        // Held across the publish, so that the ack cannot be looked for
        // before its message id is known.
        const std::lock_guard<std::mutex> lock(mutex_);
        offlineAcked_ =
            !connected_ || mosquitto_publish(client_, &offlineMessageId_, statusTopic_.constData(),
                                             offlineStatus_.size(), offlineStatus_.constData(),
                                             qosStatus, true) != MOSQ_ERR_SUCCESS;
    }
    queued();
}

void BrokerLink::finishStop(Clock::time_point deadline)
{
    if (!inNetwork_)
        return;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, deadline, [this] { return offlineAcked_; });
        stopping_ = true;
    }
    // The network's thread sends the DISCONNECT, so that the broker drops
    // the will, and lets the link go.
    network_.markPending(this);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, std::max(deadline, Clock::now()) + disconnectWait,
                         [this] { return stopped_; });
    }
    network_.remove(this);
    inNetwork_ = false;
    if (outage_.inOutage())
        logEvent(Priority::Warning,
                 QStringLiteral("radar %1: stopping without the broker %2; %3 track messages "
                                "could not be sent since it went away")
                     .arg(radar_, where())
                     .arg(outage_.unsentSince(unsentTracks_)));
}

// On the network's thread ------------------------------------------------

int BrokerLink::liveSocket() const
{
    return abandoned_ ? -1 : mosquitto_socket(client_);
}

void BrokerLink::markStopped()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

void BrokerLink::service(Clock::time_point now)
{
    // Taken first: a link is marked pending again only once this is false.
    const bool queued = queued_.exchange(false);
    if (stopped_)
        return;
    bool stopping = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping = stopping_;
    }
    if (stopping && !disconnecting_) {
        disconnecting_ = true;
        if (liveSocket() < 0 || mosquitto_disconnect(client_) != MOSQ_ERR_SUCCESS) {
            markStopped();
            return;
        }
    }
    if (liveSocket() < 0) {
        if (now >= retryAt_)
            connect(now);
        return;
    }
    if (queued || disconnecting_)
        checkResult(mosquitto_loop_write(client_, packetsPerCall), errno);
    // Gone once the DISCONNECT is out.
    if (disconnecting_ && !stopped_ && (liveSocket() < 0 || !mosquitto_want_write(client_)))
        markStopped();
}

void BrokerLink::connect(Clock::time_point now)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lastError_.clear();
    }
    refusal_.clear();
    // The old socket, if libmosquitto still holds one, goes now.
    network_.unwatch(this);
    abandoned_ = false;
    retryAt_ = now;
    const int result = mosquitto_connect_async(client_, broker_.host.toUtf8().constData(),
                                               broker_.port, brokerKeepAliveS);
    const int error = errno;
    if (result != MOSQ_ERR_SUCCESS)
        ended(result, error);
}

void BrokerLink::handle(std::uint32_t events)
{
    if (stopped_)
        return;
    // A connection that failed before it was made: libmosquitto would try
    // its TLS handshake on it again and again, and never give up, since the
    // handshake's first write has taken the socket's error already.
    if ((events & (EPOLLERR | EPOLLHUP)) && !connected_) {
        const int error = socketError(mosquitto_socket(client_));
        if (error != 0 || (events & EPOLLHUP)) {
            abandoned_ = true;
            ended(error != 0 ? MOSQ_ERR_ERRNO : MOSQ_ERR_CONN_LOST, error);
            return;
        }
    }
    int result = MOSQ_ERR_SUCCESS;
    int error = 0;
    // Before the broker's CONNACK the TLS handshake may wait for the socket
    // to take data; libmosquitto goes on with it when asked to read.
    if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) || (!connected_ && (events & EPOLLOUT))) {
        result = mosquitto_loop_read(client_, packetsPerCall);
        error = errno;
    }
    if (result == MOSQ_ERR_SUCCESS && liveSocket() >= 0 && (events & EPOLLOUT)) {
        result = mosquitto_loop_write(client_, packetsPerCall);
        error = errno;
    }
    checkResult(result, error);
}

void BrokerLink::keepAlive()
{
    if (!stopped_ && liveSocket() >= 0)
        checkResult(mosquitto_loop_misc(client_), errno);
}

void BrokerLink::checkResult(int result, int error)
{
    if (result != MOSQ_ERR_SUCCESS || liveSocket() < 0)
        ended(result == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : result, error);
}

void BrokerLink::ended(int result, int error)
{
    const bool wasConnected = connected_.exchange(false);
    if (disconnecting_) {
        markStopped();
        return;
    }
    QString reason;
    bool answered = false; // the broker was reached, and turned us away
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        answered = !refusal_.isEmpty() || !lastError_.isEmpty();
        reason = !refusal_.isEmpty()     ? QStringLiteral("refused: %1").arg(refusal_)
                 : !lastError_.isEmpty() ? lastError_
                                         : brokerResultText(result, error);
    }
    if (wasConnected)
        retries_.connected();
    noteFailure(wasConnected
                    ? QStringLiteral("lost the broker %1 (%2)").arg(where(), reason)
                    : QStringLiteral("cannot connect to the broker %1: %2").arg(where(), reason),
                answered);
    retryAt_ = Clock::now() + retries_.failed();
}

void BrokerLink::noteFailure(const QString& reason, bool answered)
{
    // An outage is logged once; again only when a broker turns us away for
    // a new reason (it came back with other credentials, say), since that
    // is what an operator then has to fix.
    if (outage_.inOutage() && (!answered || reason == outageReason_))
        return;
    outage_.begin(unsentTracks_);
    outageReason_ = reason;
    logEvent(Priority::Warning,
             outage_.begunLine(QStringLiteral("radar %1: %2").arg(radar_, reason)));
}

void BrokerLink::onConnect(mosquitto*, void* self, int reasonCode)
{
    auto& link = *static_cast<BrokerLink*>(self);
    if (reasonCode != 0) {
        link.refusal_ = QString::fromUtf8(mosquitto_connack_string(reasonCode));
        if (link.refusal_.startsWith(QLatin1String("Connection Refused: ")))
            link.refusal_ = link.refusal_.mid(20);
        if (link.refusal_.endsWith(QLatin1Char('.')))
            link.refusal_.chop(1);
        return;
    }
    link.retries_.connected();
    const service::BrokerOutage::Ended ended = link.outage_.connected(link.unsentTracks_);
    if (ended.kind == service::BrokerOutage::Ended::Kind::Outage)
        logEvent(Priority::Info,
                 QStringLiteral("radar %1: connected to the broker %2 again after %3 s; %4 track "
                                "messages could not be sent meanwhile")
                     .arg(link.radar_, link.where())
                     .arg(ended.seconds, 0, 'f', 1)
                     .arg(ended.unsent));
    else if (ended.kind == service::BrokerOutage::Ended::Kind::First)
        logEvent(Priority::Info,
                 QStringLiteral("radar %1: connected to the broker %2 as %3")
                     .arg(link.radar_, link.where(), QString::fromUtf8(link.clientId_)));
    link.connected_ = true;
    link.justConnected_ = true;
}

void BrokerLink::onPublish(mosquitto*, void* self, int messageId)
{
    auto& link = *static_cast<BrokerLink*>(self);
    {
        const std::lock_guard<std::mutex> lock(link.mutex_);
        if (messageId != link.offlineMessageId_)
            return;
        link.offlineAcked_ = true;
    }
    link.wake_.notify_all();
}

// libmosquitto's errors (a certificate that fails, say) name the cause of
// a failed connection better than its result does. Publishing may log from
// another thread, hence the lock.
void BrokerLink::onLog(mosquitto*, void* self, int level, const char* text)
{
    if (!(level & MOSQ_LOG_ERR))
        return;
    auto& link = *static_cast<BrokerLink*>(self);
    const std::lock_guard<std::mutex> lock(link.mutex_);
    link.lastError_ = QString::fromUtf8(text);
}

} // namespace trklib::trackd

#include "input/radarsocket.h"

#include <QDeadlineTimer>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QVariant>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <ctime>
#include <vector>

namespace trklib {

namespace {

// Room for the kernel's receive time of one datagram (SCM_TIMESTAMPNS).
constexpr std::size_t stampBytes = CMSG_SPACE(sizeof(timespec));

qint64 microseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The system clock now, microseconds since the epoch: the clock of the
// kernel's receive times, for a datagram that came without one.
qint64 systemClockUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return microseconds(now);
}

// Asks the kernel to stamp every datagram with the time it arrived; a
// kernel that will not leaves the datagrams unstamped.
void stampDatagrams(qintptr descriptor)
{
    const int on = 1;
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

} // namespace

// Room for one batch of datagrams, each with its sender, and the sender last
// turned into a QHostAddress: the datagrams of a packet all come from one
// sender, whose address need not be made anew for each.
struct RadarSocket::Batch
{
    std::vector<char> buffer = std::vector<char>(size_t(batchDatagrams) * maxDatagramBytes);
    mmsghdr messages[batchDatagrams]{};
    iovec slices[batchDatagrams]{};
    sockaddr_storage senders[batchDatagrams]{};
    alignas(cmsghdr) char stamps[batchDatagrams][stampBytes]{};
    qint64 arrivalsUs[batchDatagrams]{}; // system clock, microseconds
    int received = 0;                    // datagrams in the batch
    int next = 0;                        // the next one to hand out
    // The last read took fewer datagrams than it had room for: none was
    // left waiting, so the next read waits before it reads.
    bool drained = false;

    sockaddr_storage lastSender{};
    socklen_t lastSenderLength = ~socklen_t(0); // none yet
    QHostAddress lastAddress;
    quint16 lastPort = 0;

    Batch()
    {
        for (int k = 0; k < batchDatagrams; ++k) {
            slices[k].iov_base = buffer.data() + size_t(k) * maxDatagramBytes;
            slices[k].iov_len = maxDatagramBytes;
        }
    }

    void clear()
    {
        received = 0;
        next = 0;
        drained = false;
    }

    // The sender of datagram k as QUdpSocket reports senders: an IPv6
    // address (an IPv4 sender of a dual-stack socket mapped into IPv6) with
    // the name of its interface as scope, or else an IPv4 address. True
    // when it differs from the last datagram's sender.
    bool senderOf(int k, QHostAddress& address, quint16& port)
    {
        const socklen_t length = messages[k].msg_hdr.msg_namelen;
        const bool changed =
            length != lastSenderLength || std::memcmp(&senders[k], &lastSender, length) != 0;
        if (changed) {
            std::memcpy(&lastSender, &senders[k], length);
            lastSenderLength = length;
            QHostAddress converted;
            if (senders[k].ss_family == AF_INET6) {
                const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&senders[k]);
                Q_IPV6ADDR bytes;
                std::memcpy(&bytes, &a6->sin6_addr, sizeof bytes);
                converted.setAddress(bytes);
                if (a6->sin6_scope_id)
                    converted.setScopeId(
                        QNetworkInterface::interfaceNameFromIndex(int(a6->sin6_scope_id)));
                lastPort = ntohs(a6->sin6_port);
            } else {
                const auto* a4 = reinterpret_cast<const sockaddr_in*>(&senders[k]);
                converted.setAddress(ntohl(a4->sin_addr.s_addr));
                lastPort = ntohs(a4->sin_port);
            }
            lastAddress = converted;
        }
        address = lastAddress;
        port = lastPort;
        return changed;
    }
};

RadarSocket::RadarSocket(quint32 port, QObject* parent) : QObject(parent), port_(port) {}

// The UDP socket goes (and is closed) before the QObject base.
RadarSocket::~RadarSocket()
{
    udpSocket_.reset();
}

// A failed bind is not reported here: every later read fails instead. A
// socket that is already bound stays as it is.
void RadarSocket::bind()
{
    if (!udpSocket_)
        udpSocket_ = std::make_unique<QUdpSocket>();
    radar_.clear();
    if (udpSocket_->state() == QAbstractSocket::UnconnectedState) {
        if (udpSocket_->bind(QHostAddress::Any, quint16(port_),
                             QAbstractSocket::DefaultForPlatform))
            stampDatagrams(udpSocket_->socketDescriptor());
        if (batch_)
            batch_->clear();
    }
    udpSocket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                QVariant(receiveBufferBytes));
}

// Each configured bind gets a fresh QUdpSocket (the old one closes first):
// a QUdpSocket whose bind failed cannot be bound again, and a failed bind
// leaves a fresh, unbound one for later calls. Datagrams of the old socket
// not handed out yet go with it.
bool RadarSocket::bind(const QHostAddress& address, quint16 port, const QHostAddress& radar)
{
    udpSocket_.reset();
    if (batch_)
        batch_->clear();
    udpSocket_ = std::make_unique<QUdpSocket>();
    radar_ = radar;
    const QHostAddress local = address.isNull() ? QHostAddress(QHostAddress::Any) : address;
    if (!udpSocket_->bind(local, port, QAbstractSocket::DefaultForPlatform)) {
        udpSocket_ = std::make_unique<QUdpSocket>();
        return false;
    }
    udpSocket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                QVariant(receiveBufferBytes));
    stampDatagrams(udpSocket_->socketDescriptor());
    return true;
}

void RadarSocket::unbind()
{
    if (udpSocket_)
        udpSocket_->close();
    if (batch_)
        batch_->clear();
}

bool RadarSocket::receiveBatch()
{
    Batch& b = *batch_;
    for (int k = 0; k < batchDatagrams; ++k) {
        msghdr& h = b.messages[k].msg_hdr;
        h = msghdr{};
        b.senders[k] = sockaddr_storage{};
        h.msg_name = &b.senders[k];
        h.msg_namelen = sizeof b.senders[k];
        h.msg_iov = &b.slices[k];
        h.msg_iovlen = 1;
        h.msg_control = b.stamps[k];
        h.msg_controllen = stampBytes;
    }
    const int n = ::recvmmsg(int(udpSocket_->socketDescriptor()), b.messages, batchDatagrams,
                             MSG_DONTWAIT, nullptr);
    b.next = 0;
    b.received = n > 0 ? n : 0;
    b.drained = b.received < batchDatagrams;
    stampArrivals();
    return b.received > 0;
}

// Each datagram of the batch gets the kernel's receive time, or the time
// of this read when it came without one.
void RadarSocket::stampArrivals()
{
    Batch& b = *batch_;
    const qint64 nowUs = b.received > 0 ? systemClockUs() : 0;
    for (int k = 0; k < b.received; ++k) {
        b.arrivalsUs[k] = nowUs;
        msghdr& h = b.messages[k].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                b.arrivalsUs[k] = microseconds(stamp);
            }
        }
    }
}

// Each datagram comes out of the batch; the batch is refilled by one read
// of whatever is waiting, and only when the last read left nothing waiting,
// or found nothing, does the socket wait first. A wake-up that finds nothing
// (nothing there after all) just waits again within the same deadline.
bool RadarSocket::readDatagram(QByteArray& datagram, QHostAddress& sender, quint16& senderPort,
                               const QDeadlineTimer& deadline)
{
    qint64 arrivalUs = 0;
    return readDatagram(datagram, sender, senderPort, arrivalUs, deadline);
}

bool RadarSocket::readDatagram(QByteArray& datagram, QHostAddress& sender, quint16& senderPort,
                               qint64& arrivalUs, const QDeadlineTimer& deadline)
{
    if (!udpSocket_ || udpSocket_->state() != QAbstractSocket::BoundState) {
        ++counts_.failedReads;
        return false;
    }
    if (!batch_)
        batch_ = std::make_unique<Batch>();
    Batch& b = *batch_;
    for (;;) {
        // Checked before every datagram, not only before a wait: a flood
        // that always has a datagram waiting must not keep the read going.
        if (deadline.hasExpired()) {
            ++counts_.failedReads;
            return false;
        }
        if (b.next < b.received) {
            const int k = b.next++;
            // A sender like the last one was noted with it.
            if (b.senderOf(k, sender, senderPort))
                noteSender(sender, senderPort);
            ++counts_.datagrams;
            // An IPv4 sender on a socket of every interface comes as an
            // IPv4-mapped IPv6 address; nothing else counts as the same
            // (not even 127.0.0.1 as ::1, which TolerantConversion allows).
            if (radar_.isNull() ||
                sender.isEqual(radar_, QHostAddress::ConvertV4MappedToIPv4 |
                                           QHostAddress::ConvertV4CompatToIPv4)) {
                datagram = QByteArray::fromRawData(static_cast<const char*>(b.slices[k].iov_base),
                                                   int(b.messages[k].msg_len));
                arrivalUs = b.arrivalsUs[k];
                return true;
            }
            ++counts_.foreignDatagrams;
            continue;
        }
        if (!b.drained && receiveBatch())
            continue;
        b.drained = false;
        if (!udpSocket_->waitForReadyRead(int(deadline.remainingTime()))) {
            ++counts_.failedReads;
            return false;
        }
    }
}

int RadarSocket::effectiveReceiveBufferBytes() const
{
    if (!udpSocket_ || udpSocket_->state() != QAbstractSocket::BoundState)
        return 0;
    return udpSocket_->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

// Counts a sender not heard before, up to rememberedSenders: a flood from
// many addresses leaves the count there (meaning "at least that many") and
// memory bounded.
void RadarSocket::noteSender(const QHostAddress& sender, quint16 senderPort)
{
    if (senders_.size() < rememberedSenders) {
        senders_.insert(qMakePair(sender, senderPort));
        counts_.senders = quint32(senders_.size());
    }
}

} // namespace trklib

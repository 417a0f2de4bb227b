#include "input/radarsocket.h"

#include <QDeadlineTimer>
#include <QUdpSocket>
#include <QVariant>

namespace trklib {

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
    if (udpSocket_->state() == QAbstractSocket::UnconnectedState)
        udpSocket_->bind(QHostAddress::Any, quint16(port_), QAbstractSocket::DefaultForPlatform);
    udpSocket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                QVariant(receiveBufferBytes));
}

// Each configured bind gets a fresh QUdpSocket (the old one closes first):
// a QUdpSocket whose bind failed cannot be bound again, and a failed bind
// leaves a fresh, unbound one for later calls.
bool RadarSocket::bind(const QHostAddress& address, quint16 port, const QHostAddress& radar)
{
    udpSocket_.reset();
    udpSocket_ = std::make_unique<QUdpSocket>();
    radar_ = radar;
    const QHostAddress local = address.isNull() ? QHostAddress(QHostAddress::Any) : address;
    if (!udpSocket_->bind(local, port, QAbstractSocket::DefaultForPlatform)) {
        udpSocket_ = std::make_unique<QUdpSocket>();
        return false;
    }
    udpSocket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                QVariant(receiveBufferBytes));
    return true;
}

void RadarSocket::unbind()
{
    if (udpSocket_)
        udpSocket_->close();
}

// One read per datagram, straight into the reused buffer; only when none is
// waiting does the socket wait for one. A read that fails after a wake-up
// (nothing there after all) just waits again within the same deadline.
bool RadarSocket::readDatagram(QByteArray& datagram, QHostAddress& sender, quint16& senderPort,
                               const QDeadlineTimer& deadline)
{
    if (!udpSocket_ || udpSocket_->state() != QAbstractSocket::BoundState) {
        ++counts_.failedReads;
        return false;
    }
    if (buffer_.size() != maxDatagramBytes)
        buffer_.resize(maxDatagramBytes);
    for (;;) {
        // Checked before every read, not only before a wait: a flood that
        // always has a datagram waiting must not keep the read going.
        if (deadline.hasExpired()) {
            ++counts_.failedReads;
            return false;
        }
        const qint64 size =
            udpSocket_->readDatagram(buffer_.data(), buffer_.size(), &sender, &senderPort);
        if (size >= 0) {
            ++counts_.datagrams;
            noteSender(sender, senderPort);
            // An IPv4 sender on a socket of every interface comes as an
            // IPv4-mapped IPv6 address; nothing else counts as the same
            // (not even 127.0.0.1 as ::1, which TolerantConversion allows).
            if (radar_.isNull() ||
                sender.isEqual(radar_, QHostAddress::ConvertV4MappedToIPv4 |
                                           QHostAddress::ConvertV4CompatToIPv4)) {
                datagram = QByteArray::fromRawData(buffer_.constData(), int(size));
                return true;
            }
            ++counts_.foreignDatagrams;
            continue;
        }
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

#include "input/radarsocket.h"

#include <QDeadlineTimer>
#include <QHostAddress>
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
    if (udpSocket_->state() == QAbstractSocket::UnconnectedState)
        udpSocket_->bind(QHostAddress::Any, quint16(port_), QAbstractSocket::DefaultForPlatform);
    udpSocket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                QVariant(receiveBufferBytes));
}

void RadarSocket::unbind()
{
    if (udpSocket_)
        udpSocket_->close();
}

// A datagram that was announced but cannot be read is skipped, not handed
// on as an empty or stale one; the wait for the next one goes on within the
// same time limit.
bool RadarSocket::readDatagram(QByteArray& datagram)
{
    if (!udpSocket_ || udpSocket_->state() != QAbstractSocket::BoundState)
        return false;
    const QDeadlineTimer deadline(datagramWaitMs);
    while (udpSocket_->hasPendingDatagrams() ||
           udpSocket_->waitForReadyRead(int(deadline.remainingTime()))) {
        const qint64 size = udpSocket_->pendingDatagramSize();
        QByteArray bytes(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
        const qint64 read = udpSocket_->readDatagram(bytes.data(), bytes.size());
        if (size >= 0 && read == size) {
            datagram = bytes;
            return true;
        }
        if (deadline.hasExpired())
            break;
    }
    return false;
}

} // namespace trklib

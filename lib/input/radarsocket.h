#pragma once

#include "input/datagramassembler.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QUdpSocket;

namespace trklib {

// The radar's UDP endpoint: bound on every interface, read one datagram at a
// time with a bounded wait. No event loop is involved.
class RadarSocket : public QObject
{
    Q_OBJECT

public:
    static constexpr int receiveBufferBytes = 1048576;
    // The wait for one datagram: the longest pause within a packet.
    static constexpr int datagramWaitMs = int(DatagramAssembler::maxPauseUs / 1000);

    explicit RadarSocket(quint32 port, QObject* parent = nullptr);
    ~RadarSocket() override;

    void bind();
    void unbind();
    // Waits for one datagram; false when none arrived in time or the socket
    // is not bound, and then the array is left unchanged.
    bool readDatagram(QByteArray& datagram);

private:
    quint32 port_;
    std::unique_ptr<QUdpSocket> udpSocket_;
};

} // namespace trklib

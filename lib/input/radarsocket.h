#pragma once

#include "input/datagramassembler.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPair>
#include <QSet>

#include <memory>

class QDeadlineTimer;
class QUdpSocket;

namespace trklib {

// The radar's UDP endpoint: bound on every interface (or on one address),
// read one datagram at a time with a bounded wait, each together with its
// sender. It can listen to one radar only, and counts what it reads. No
// event loop is involved.
//
// Datagrams are taken from the kernel in batches: one system call reads
// every datagram waiting, up to batchDatagrams, and the reads hand them out
// one by one, as if each were read on its own. Only when none is waiting
// does a read wait for one.
class RadarSocket : public QObject
{
    Q_OBJECT

public:
    static constexpr int receiveBufferBytes = 1048576;
    // The wait for one datagram: the longest pause within a packet.
    static constexpr int datagramWaitMs = int(DatagramAssembler::maxPauseUs / 1000);
    // Room for the largest UDP payload, so that no datagram is cut short.
    static constexpr int maxDatagramBytes = 65536;
    // Distinct senders counted at most; the count stops there.
    static constexpr int rememberedSenders = 1024;
    // Datagrams one system call takes at most: a whole packet, even one cut
    // into datagrams of Ethernet size.
    static constexpr int batchDatagrams = 16;

    // What the socket has read since it was made.
    struct Counts
    {
        quint64 datagrams = 0;        // read from the socket, foreign ones included
        quint64 foreignDatagrams = 0; // dropped: not from the radar listened to
        quint64 failedReads = 0;      // reads that found no datagram in time, or no socket
        quint32 senders = 0;          // distinct senders (address and port), up to 1024
    };

    explicit RadarSocket(quint32 port, QObject* parent = nullptr);
    ~RadarSocket() override;

    // Binds every interface at the constructor's port and listens to any
    // sender. A failure shows up as failing reads.
    void bind();
    // Binds address (every interface when null) at port and listens to
    // radar only (any sender when null). False, and the socket unbound,
    // when the bind fails.
    bool bind(const QHostAddress& address, quint16 port, const QHostAddress& radar);
    void unbind();

    // Waits until deadline for one datagram of the radar listened to; false
    // when none arrived in time or the socket is not bound. Datagrams of
    // other senders are read, counted and dropped within the same wait. The
    // datagram refers to the socket's buffer and holds until the next read.
    // A datagram is counted when a read takes it, so that datagrams taken
    // from the kernel and not handed out yet are counted by the read that
    // hands them out.
    bool readDatagram(QByteArray& datagram, QHostAddress& sender, quint16& senderPort,
                      const QDeadlineTimer& deadline);
    // The same, with the time the datagram arrived: microseconds since the
    // epoch on the system clock, as the kernel stamped it when it took the
    // datagram in (the time of the read where a kernel gives no stamp). A
    // reader that falls behind still sees the sender's own pauses.
    bool readDatagram(QByteArray& datagram, QHostAddress& sender, quint16& senderPort,
                      qint64& arrivalUs, const QDeadlineTimer& deadline);

    Counts counts() const { return counts_; }
    // The receive buffer as the kernel reports it (Linux reports twice what
    // it grants; a host may cap the request), 0 when not bound.
    int effectiveReceiveBufferBytes() const;

private:
    struct Batch;

    // Reads the datagrams waiting into the batch without waiting; false
    // when none was there.
    bool receiveBatch();
    void stampArrivals();
    void noteSender(const QHostAddress& sender, quint16 senderPort);

    quint32 port_;
    std::unique_ptr<QUdpSocket> udpSocket_;
    QHostAddress radar_; // null: any sender
    std::unique_ptr<Batch> batch_;
    Counts counts_;
    QSet<QPair<QHostAddress, quint16>> senders_;
};

} // namespace trklib

#pragma once

#include "input/packetencoder.h"

#include <QHostAddress>
#include <QUdpSocket>

namespace trklib::test {

// Plays the radar: sends datagrams from an ephemeral port to a loopback
// address. Datagrams sent after the receiver is bound wait in its receive
// buffer, so a test can send first and read afterwards on one thread. A send
// is false when a datagram was not handed to the system in full.
class UdpSender
{
public:
    static constexpr quint16 radarPort = wire::defaultPort;

    explicit UdpSender(const QHostAddress& to = QHostAddress(QHostAddress::LocalHost),
                       quint16 port = radarPort)
        : to_(to), port_(port)
    {}
    // A sender of its own source address (127.0.0.2, say: every 127.x.y.z
    // is the loopback interface), from an ephemeral port.
    UdpSender(const QHostAddress& from, const QHostAddress& to, quint16 port = radarPort)
        : to_(to), port_(port)
    {
        socket_.bind(from, 0);
    }

    quint16 localPort() const { return socket_.localPort(); }

    bool send(const QByteArray& datagram)
    {
        return socket_.writeDatagram(datagram, to_, port_) == datagram.size();
    }
    bool send(const QVector<QByteArray>& datagrams)
    {
        bool all = true;
        for (const QByteArray& d : datagrams)
            all = send(d) && all;
        return all;
    }
    // maxDatagramBytes > 0 cuts every array block into datagrams of at most that size.
    bool sendPacket(const RadarPacketData& packet, int maxDatagramBytes = 0)
    {
        return send(PacketEncoder::datagrams(packet, maxDatagramBytes));
    }

    // True when no other socket holds the radar port, so that tests can fail
    // with a clear message instead of read errors.
    static bool radarPortFree()
    {
        QUdpSocket probe;
        return probe.bind(QHostAddress::Any, radarPort);
    }

private:
    QHostAddress to_;
    quint16 port_;
    QUdpSocket socket_;
};

} // namespace trklib::test

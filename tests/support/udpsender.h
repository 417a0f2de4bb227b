#pragma once

#include "input/radarpacketdata.h"

#include <QByteArray>
#include <QHostAddress>
#include <QUdpSocket>
#include <QVector>

namespace trklib::test {

// Plays the radar in tests: sends datagrams from an ephemeral port to the
// radar port on a loopback address. Datagrams sent after the receiver is
// bound wait in its 1 MiB receive buffer, so a test can send a few packets
// first and then read them on the same thread.
//
// Every send returns false when the datagram could not be handed to the
// system in full (for example ::1 on a machine without IPv6).
class UdpSender
{
public:
    static constexpr quint16 radarPort = 34567;

    // 127.0.0.1 by default; pass QHostAddress::LocalHostIPv6 for ::1.
    explicit UdpSender(const QHostAddress& to = QHostAddress(QHostAddress::LocalHost),
                       quint16 port = radarPort);

    bool send(const QByteArray& datagram);
    bool send(const QVector<QByteArray>& datagrams);
    // The packet in the wire format; maxDatagramBytes > 0 cuts every array
    // block into datagrams of at most that many bytes.
    bool sendPacket(const RadarPacketData& packet, int maxDatagramBytes = 0);

    // True when nothing else on this machine holds the radar port, so that a
    // receiver bound next will get the datagrams sent to it. UDP tests check
    // it first to fail with a clear message instead of read errors.
    static bool radarPortFree();

private:
    QHostAddress to_;
    quint16 port_;
    QUdpSocket socket_;
};

} // namespace trklib::test

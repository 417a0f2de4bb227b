#include "support/udpsender.h"

#include "tools/common/packetencoder.h"

namespace trklib::test {

UdpSender::UdpSender(const QHostAddress& to, quint16 port) : to_(to), port_(port) {}

bool UdpSender::send(const QByteArray& datagram)
{
    return socket_.writeDatagram(datagram, to_, port_) == datagram.size();
}

bool UdpSender::send(const QVector<QByteArray>& datagrams)
{
    bool all = true;
    for (const QByteArray& d : datagrams)
        all = send(d) && all;
    return all;
}

bool UdpSender::sendPacket(const RadarPacketData& packet, int maxDatagramBytes)
{
    return send(PacketEncoder::datagrams(packet, maxDatagramBytes));
}

bool UdpSender::radarPortFree()
{
    QUdpSocket probe;
    const bool bound = probe.bind(QHostAddress::Any, radarPort);
    probe.close();
    return bound;
}

} // namespace trklib::test

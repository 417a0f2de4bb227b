#include "input/radarsocket.h"
#include "support/qtmessages.h"
#include "support/udpsender.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

using trklib::RadarSocket;
using trklib::test::QtMessageCatcher;
using trklib::test::UdpSender;

namespace {
constexpr quint32 radarPort = 34567;
constexpr qint64 immediateMs = 500; // "at once", with room for a busy machine
} // namespace

// Tests that bind the radar port: another process holding it would turn
// every read into a failure.
class RadarSocketTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UdpSender::radarPortFree()) << "UDP port 34567 is held by another process";
    }
};

TEST_F(RadarSocketTest, ReadsNothingBeforeBind)
{
    RadarSocket socket(radarPort);
    QByteArray datagram("kept");
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(socket.readDatagram(datagram));
    EXPECT_LT(timer.elapsed(), immediateMs);
    EXPECT_EQ(datagram, QByteArray("kept"));
}

TEST_F(RadarSocketTest, ReadsEachDatagramWhole)
{
    RadarSocket socket(radarPort);
    socket.bind();
    UdpSender sender;
    const QVector<QByteArray> sent{QByteArray(48, 'h'), QByteArray(4096, char(0xF0)),
                                   QByteArray("x"), QByteArray(1024, '\0')};
    ASSERT_TRUE(sender.send(sent));
    for (const QByteArray& expected : sent) {
        QByteArray datagram("previous contents are replaced");
        ASSERT_TRUE(socket.readDatagram(datagram));
        EXPECT_EQ(datagram, expected);
    }
}

// Datagrams wait in the receive buffer until read: a whole burst of packets
// sent before the first read arrives complete.
TEST_F(RadarSocketTest, BufferHoldsABurstOfPackets)
{
    constexpr int packets = 20;
    constexpr int packetDatagrams = 7;
    RadarSocket socket(radarPort);
    socket.bind();
    UdpSender sender;
    for (int i = 0; i < packets * packetDatagrams; ++i)
        ASSERT_TRUE(sender.send(QByteArray(i % packetDatagrams == 0 ? 48 : 4096, char(i))));
    for (int i = 0; i < packets * packetDatagrams; ++i) {
        QByteArray datagram;
        ASSERT_TRUE(socket.readDatagram(datagram)) << i;
        EXPECT_EQ(datagram.at(0), char(i));
    }
}

TEST_F(RadarSocketTest, UnbindAndBindAgain)
{
    QtMessageCatcher qtMessages;
    RadarSocket socket(radarPort);
    socket.bind();
    socket.unbind();
    QByteArray datagram("kept");
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(socket.readDatagram(datagram));
    EXPECT_LT(timer.elapsed(), immediateMs);
    EXPECT_EQ(datagram, QByteArray("kept"));

    socket.bind();
    UdpSender sender;
    ASSERT_TRUE(sender.send(QByteArray("again")));
    ASSERT_TRUE(socket.readDatagram(datagram));
    EXPECT_EQ(datagram, QByteArray("again"));

    socket.unbind();
    socket.unbind(); // twice is harmless
    EXPECT_FALSE(socket.readDatagram(datagram));
    // The library prints nothing, Qt's warnings included.
    EXPECT_TRUE(qtMessages.messages().isEmpty()) << qPrintable(qtMessages.messages().join('\n'));
}

TEST_F(RadarSocketTest, SecondBindKeepsReading)
{
    QtMessageCatcher qtMessages;
    RadarSocket socket(radarPort);
    socket.bind();
    socket.bind();
    UdpSender sender;
    ASSERT_TRUE(sender.send(QByteArray("once")));
    QByteArray datagram;
    ASSERT_TRUE(socket.readDatagram(datagram));
    EXPECT_EQ(datagram, QByteArray("once"));
    EXPECT_TRUE(qtMessages.messages().isEmpty()) << qPrintable(qtMessages.messages().join('\n'));
}

TEST_F(RadarSocketTest, UnbindWithoutSocketIsHarmless)
{
    QtMessageCatcher qtMessages;
    RadarSocket socket(radarPort);
    socket.unbind();
    QByteArray datagram;
    EXPECT_FALSE(socket.readDatagram(datagram));
    EXPECT_TRUE(qtMessages.messages().isEmpty());
}

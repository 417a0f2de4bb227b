// trackdemo as a process: scripted standard input, standard output compared
// character for character, radar packets sent over loopback UDP only after
// the demo has bound the radar port.

#include "support/udpsender.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryFile>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

using trklib::PacketEncoder;
using trklib::test::UdpSender;

namespace {

constexpr int bindTimeoutMs = 10000;
constexpr int pollMs = 20;
constexpr int settleMs = 200;
constexpr int socketWaitMs = 1000; // the library's wait for one datagram

const QByteArray prompts = "Set tilt (degrees): "
                           "Set pan (degrees): "
                           "Set height (meters): "
                           "Set pan offset (degrees): "
                           "Set radar orientation (0 - horizontal, 1 - vertical): "
                           "Set number of packets to receive: "
                           "\n";

// Zero mounting, then orientation and packet count as given.
QByteArray dialogue(const QByteArray& orientation, const QByteArray& packets)
{
    return "0\n0\n0\n0\n" + orientation + "\n" + packets + "\n";
}

// True when a UDP socket is bound to the radar port, as the kernel's tables
// list them ("sl local_address ...", the port in hex). The port was free
// when the run began, so the socket is the demo's.
bool radarPortBound()
{
    const QByteArray local = ':' + QByteArray::number(UdpSender::radarPort, 16).toUpper() + ' ';
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(table));
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(local))
            return true;
    }
    return false;
}

// Runs trackdemo on `input` and expects exit status 0 with exactly
// `expected` on standard output, standard error merged into it (it must
// stay empty). `radar` runs once the demo holds the radar port, so that the
// datagrams it sends wait in the demo's receive buffer.
void expectOutput(const QByteArray& input, const QByteArray& expected,
                  const std::function<void(UdpSender&)>& radar = {})
{
    ASSERT_TRUE(UdpSender::radarPortFree()) << "UDP port 34567 is held by another process";
    QTemporaryFile inputFile;
    ASSERT_TRUE(inputFile.open());
    inputFile.write(input);
    inputFile.flush();
    const QByteArray command =
        "'" TRACKDEMO_PATH "' <'" + inputFile.fileName().toLocal8Bit() + "' 2>&1";
    FILE* demo = ::popen(command.constData(), "r");
    ASSERT_NE(demo, nullptr);
    if (radar) {
        QElapsedTimer timer;
        timer.start();
        while (!radarPortBound() && !timer.hasExpired(bindTimeoutMs))
            QThread::msleep(pollMs);
        EXPECT_TRUE(radarPortBound()) << "trackdemo did not bind UDP port 34567";
        // The library enlarges its receive buffer right after the bind; a
        // burst sent in between would meet the system's smaller default
        // one, which a busy machine may let overflow.
        QThread::msleep(settleMs);
        UdpSender sender;
        radar(sender);
    }
    QByteArray output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), demo)) > 0;)
        output.append(buffer, int(n));
    EXPECT_EQ(::pclose(demo), 0);
    EXPECT_EQ(output.toStdString(), expected.toStdString());
}

// An entry that is no number fails every later read too, so the count stays
// 0; a count of 0 or below requests no packet either.
TEST(TrackDemo, NoPacketRequested)
{
    for (const QByteArray& input :
         {QByteArray("abc\n"), QByteArray("10\n20\nx\n1\n5\n"), QByteArray("0\n0\n0\n0\n1\nmany\n"),
          QByteArray(), dialogue("0", "0"), dialogue("0", "-3")}) {
        SCOPED_TRACE(input.toStdString());
        expectOutput(input, prompts);
    }
}

TEST(TrackDemo, SilentRadarGivesOneReadErrorPerPass)
{
    QElapsedTimer timer;
    timer.start();
    expectOutput(dialogue("0", "2"), prompts + "Read error\n\nRead error\n\n");
    EXPECT_GE(timer.elapsed(), 2 * socketWaitMs * 9 / 10);
}

// A parse error counts as a pass; the first packet only sets the time base;
// blocks cut into small datagrams are reassembled the same way.
TEST(TrackDemo, SenderOnLoopback)
{
    constexpr qint64 firstMs = 1700000000123; // beyond 32 bits
    expectOutput(dialogue("0", "3"),
                 prompts + "Parse error\n\n"
                           "Packet: 1\nTimestamp: 1700000000123\nNumber of targets: 0\n\n"
                           "Packet: 2\nTimestamp: 1700000000173\nNumber of targets: 0\n\n",
                 [](UdpSender& radar) {
                     QByteArray badHeader = PacketEncoder::header(PacketEncoder::emptyPacket(1));
                     badHeader[0] = 0x55;
                     ASSERT_TRUE(radar.send(badHeader));
                     ASSERT_TRUE(radar.sendPacket(PacketEncoder::emptyPacket(firstMs)));
                     ASSERT_TRUE(radar.sendPacket(PacketEncoder::emptyPacket(firstMs + 50), 1000));
                 });
}

QByteArray number(const QByteArray& value)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%g", value.toDouble()); // the streams' default format
    return text;
}

// The first packets of a recorded scene: the demo prints the recorded
// targets. Any orientation entry other than 0 selects the vertical mounting
// (the crossing scene's).
TEST(TrackDemo, PrintsTheTargetsOfARecordedScene)
{
    constexpr int packets = 6; // targets from the fifth packet on
    const char* const runs[][2] = {{"traffic", "0"}, {"crossing", "2"}, {"crossing", "-1"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string(run[0]) + " with orientation entry " + run[1]);
        const QString dir = QStringLiteral(SCENE_DIR "/") + run[0];
        QFile config(dir + "/config");
        QFile recorded(dir + "/packets.bin");
        QFile expected(dir + "/expected.txt");
        ASSERT_TRUE(config.open(QIODevice::ReadOnly) && recorded.open(QIODevice::ReadOnly) &&
                    expected.open(QIODevice::ReadOnly));
        const QList<QByteArray> mounting = config.readAll().trimmed().split(',');
        ASSERT_EQ(mounting.size(), 5);
        const QByteArray input = mounting.mid(0, 4).join('\n') + "\n" + run[1] + "\n" +
                                 QByteArray::number(packets) + "\n";

        // "P packet timestamp targets records", "T number el az dist vel confirmed"
        QByteArray text = prompts;
        for (int passes = 0; !expected.atEnd();) {
            const QList<QByteArray> f = expected.readLine().trimmed().split(' ');
            if (f[0] == "P") {
                if (passes > 0)
                    text += "\n"; // the empty line that ends a pass
                if (passes++ == packets)
                    break;
                text += "Packet: " + f[1] + "\nTimestamp: " + f[2] +
                        "\nNumber of targets: " + f[3] + "\n";
            } else if (f[0] == "T") {
                text += "Target " + f[1] + ":\n\televation (degrees) = " + number(f[2]) +
                        "\n\tazimuth (degrees)   = " + number(f[3]) +
                        "\n\tdistance (meters)   = " + number(f[4]) +
                        "\n\tvelocity (kph)      = " + number(f[5]) +
                        "\n\tconfirmed           = " + f[6] + "\n";
            }
        }
        const QVector<QByteArray> datagrams =
            PacketEncoder::datagramsOfWire(recorded.read(packets * trklib::wire::packetBytes));
        expectOutput(input, text,
                     [&datagrams](UdpSender& radar) { ASSERT_TRUE(radar.send(datagrams)); });
    }
}

} // namespace

// trackdemo as a process: scripted standard input, standard output compared
// character for character, radar packets sent over loopback UDP only after
// the demo has bound the radar port.

#include "demoprocess.h"
#include "support/udpsender.h"
#include "tools/common/packetencoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

using trklib::PacketEncoder;
using trklib::test::DemoProcess;
using trklib::test::UdpSender;

namespace {

constexpr int bindTimeoutMs = 10000;
constexpr int passTimeoutMs = 10000;
constexpr int exitTimeoutMs = 10000;
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

std::string str(const QByteArray& bytes)
{
    return bytes.toStdString();
}

// QProcess needs an application object for its notifiers; it lives while
// the tests run and goes before the process's static objects do.
class QtApplication : public ::testing::Environment
{
public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[15] = "trackdemo_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

const ::testing::Environment* const qtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

class TrackDemo : public ::testing::Test
{
protected:
    // True once the demo holds the radar port; packets sent after that wait
    // in its receive buffer.
    static ::testing::AssertionResult waitUntilListening(DemoProcess& demo)
    {
        if (demo.waitForBoundPort(UdpSender::radarPort, bindTimeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "trackdemo did not bind UDP port " << UdpSender::radarPort
               << " (is another process holding it?); output so far:\n"
               << str(demo.output());
    }

    // Lets the demo finish and checks it ended cleanly with exactly `expected`.
    static void expectFinishedWith(DemoProcess& demo, const QByteArray& expected)
    {
        ASSERT_TRUE(demo.finish(exitTimeoutMs)) << str(demo.output());
        EXPECT_EQ(str(demo.output()), str(expected));
        EXPECT_TRUE(demo.exitedNormally());
        EXPECT_EQ(demo.exitCode(), 0);
        EXPECT_EQ(str(demo.errorOutput()), "");
    }
};

TEST_F(TrackDemo, EntryThatIsNoNumberEndsTheDialogueWithoutPackets)
{
    // A failed entry fails every later read too: the count stays 0.
    for (const QByteArray& input : {QByteArray("abc\n"), QByteArray("10\n20\nx\n1\n5\n"),
                                    QByteArray("0\n0\n0\n0\n1\nmany\n"), QByteArray()}) {
        SCOPED_TRACE(str(input));
        DemoProcess demo(input);
        ASSERT_TRUE(demo.started());
        expectFinishedWith(demo, prompts);
    }
}

TEST_F(TrackDemo, PacketCountOfZeroOrBelowRequestsNoPacket)
{
    for (const QByteArray& count : {QByteArray("0"), QByteArray("-3")}) {
        SCOPED_TRACE(str(count));
        DemoProcess demo(dialogue("0", count));
        ASSERT_TRUE(demo.started());
        expectFinishedWith(demo, prompts);
    }
}

TEST_F(TrackDemo, SilentRadarGivesOneReadErrorPerPass)
{
    QElapsedTimer timer;
    timer.start();
    DemoProcess demo(dialogue("0", "2"));
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(waitUntilListening(demo));
    expectFinishedWith(demo, prompts + "Read error\n\n"
                                       "Read error\n\n");
    // Each pass waits out the library's datagram wait.
    EXPECT_GE(timer.elapsed(), 2 * socketWaitMs * 9 / 10);
}

TEST_F(TrackDemo, FirstPacketOnlySetsTheTimeBase)
{
    constexpr qint64 firstMs = 1700000000123; // beyond 32 bits
    constexpr qint64 secondMs = firstMs + 50;
    DemoProcess demo(dialogue("0", "2"));
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(waitUntilListening(demo));

    UdpSender radar;
    ASSERT_TRUE(radar.sendPacket(PacketEncoder::emptyPacket(firstMs)));
    // Blocks cut into small datagrams are reassembled the same way.
    ASSERT_TRUE(radar.sendPacket(PacketEncoder::emptyPacket(secondMs), 1000));
    expectFinishedWith(demo, prompts + "Packet: 0\n"
                                       "Timestamp: 1700000000123\n"
                                       "Number of targets: 0\n"
                                       "\n"
                                       "Packet: 1\n"
                                       "Timestamp: 1700000000173\n"
                                       "Number of targets: 0\n"
                                       "\n");
}

TEST_F(TrackDemo, ParseErrorCountsAsAPass)
{
    DemoProcess demo(dialogue("0", "2"));
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(waitUntilListening(demo));

    QByteArray badHeader = PacketEncoder::header(PacketEncoder::emptyPacket(1000));
    badHeader[0] = 0x55;
    UdpSender radar;
    ASSERT_TRUE(radar.send(badHeader));
    ASSERT_TRUE(radar.sendPacket(PacketEncoder::emptyPacket(2000)));
    expectFinishedWith(demo, prompts + "Parse error\n"
                                       "\n"
                                       "Packet: 1\n"
                                       "Timestamp: 2000\n"
                                       "Number of targets: 0\n"
                                       "\n");
}

// ---- Recorded scenes: the demo prints the targets recorded for them. ----

struct Scene
{
    QByteArray mounting;           // the dialogue's entries, without the packet count
    QByteArray packets;            // wire-format packets back to back
    QVector<QByteArray> passTexts; // the demo's text for each packet
};

QByteArray number(double value)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%g", value); // the streams' default format
    return text;
}

// Reads the scene's recording; the orientation entry replaces the recorded one.
bool loadScene(const QString& name, const QByteArray& orientation, Scene& scene)
{
    const QString dir = QStringLiteral(SCENE_DIR "/") + name;
    QFile config(dir + "/config");
    QFile packets(dir + "/packets.bin");
    QFile expected(dir + "/expected.txt");
    if (!config.open(QIODevice::ReadOnly) || !packets.open(QIODevice::ReadOnly) ||
        !expected.open(QIODevice::ReadOnly))
        return false;

    const QList<QByteArray> fields = config.readAll().trimmed().split(',');
    if (fields.size() != 5)
        return false;
    scene.mounting = fields[0] + "\n" + fields[1] + "\n" + fields[2] + "\n" + fields[3] + "\n" +
                     orientation + "\n";
    scene.packets = packets.readAll();

    // "P packet timestamp targets records" and "T number el az dist vel confirmed"
    while (!expected.atEnd()) {
        const QList<QByteArray> f = expected.readLine().trimmed().split(' ');
        if (f[0] == "P" && f.size() == 5) {
            scene.passTexts.append("Packet: " + f[1] + "\nTimestamp: " + f[2] +
                                   "\nNumber of targets: " + f[3] + "\n");
        } else if (f[0] == "T" && f.size() == 7 && !scene.passTexts.isEmpty()) {
            scene.passTexts.last() += "Target " + f[1] + ":" +
                                      "\n\televation (degrees) = " + number(f[2].toDouble()) +
                                      "\n\tazimuth (degrees)   = " + number(f[3].toDouble()) +
                                      "\n\tdistance (meters)   = " + number(f[4].toDouble()) +
                                      "\n\tvelocity (kph)      = " + number(f[5].toDouble()) +
                                      "\n\tconfirmed           = " + f[6] + "\n";
        }
    }
    for (QByteArray& text : scene.passTexts)
        text += "\n";
    return scene.packets.size() == scene.passTexts.size() * PacketEncoder::packetBytes;
}

// The seven datagrams of recorded packet `index`, cut at the block borders.
QVector<QByteArray> packetDatagrams(const QByteArray& packets, int index)
{
    constexpr int cells = PacketEncoder::cellCount;
    const int blockBytes[] = {
        PacketEncoder::headerBytes, cells, 4 * cells, 4 * cells, 4 * cells, 4 * cells, 2 * cells};
    QVector<QByteArray> datagrams;
    int offset = index * PacketEncoder::packetBytes;
    for (int bytes : blockBytes) {
        datagrams.append(packets.mid(offset, bytes));
        offset += bytes;
    }
    return datagrams;
}

// The text of pass `pass` in the demo's output (each pass ends in "\n\n").
QByteArray passText(const QByteArray& output, int pass)
{
    int begin = prompts.size();
    for (int i = 0; i < pass; ++i)
        begin = output.indexOf("\n\n", begin) + 2;
    const int end = output.indexOf("\n\n", begin);
    return end < 0 ? output.mid(begin) : output.mid(begin, end + 2 - begin);
}

struct SceneRun
{
    const char* scene;
    const char* orientation; // as typed into the dialogue
};

void PrintTo(const SceneRun& run, std::ostream* out)
{
    *out << run.scene << " with orientation entry " << run.orientation;
}

class TrackDemoScene : public TrackDemo, public ::testing::WithParamInterface<SceneRun>
{
};

// Packets are sent one at a time, each after the demo has printed the pass
// before it, so none can be lost to a full receive buffer.
TEST_P(TrackDemoScene, PrintsTheRecordedTargetsOfEveryPacket)
{
    Scene scene;
    ASSERT_TRUE(loadScene(GetParam().scene, GetParam().orientation, scene));
    const int passes = scene.passTexts.size();

    DemoProcess demo(scene.mounting + QByteArray::number(passes) + "\n");
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(waitUntilListening(demo));
    ASSERT_TRUE(demo.output().startsWith(prompts)) << str(demo.output());

    UdpSender radar;
    for (int pass = 0; pass < passes; ++pass) {
        SCOPED_TRACE(pass);
        ASSERT_TRUE(radar.send(packetDatagrams(scene.packets, pass)));
        ASSERT_TRUE(demo.waitForPasses(pass + 1, passTimeoutMs)) << str(demo.output());
        ASSERT_EQ(str(passText(demo.output(), pass)), str(scene.passTexts[pass]));
    }
    QByteArray expected = prompts;
    for (const QByteArray& text : scene.passTexts)
        expected += text;
    expectFinishedWith(demo, expected);
}

// Any orientation entry other than 0 selects the vertical mounting.
INSTANTIATE_TEST_SUITE_P(Mountings, TrackDemoScene,
                         ::testing::Values(SceneRun{"traffic", "0"}, SceneRun{"crossing", "1"},
                                           SceneRun{"crossing", "2"}, SceneRun{"crossing", "-1"}),
                         [](const ::testing::TestParamInfo<SceneRun>& info) {
                             const std::string o = info.param.orientation;
                             return std::string(info.param.scene) + "_orientation_" +
                                    (o[0] == '-' ? "minus" + o.substr(1) : o);
                         });

} // namespace

// trackreplay run as a child process on captures written by the test.

#include "captureframes.h"
#include "replayscene.h"

#include "tools/common/packetencoder.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pcap/dlt.h>

namespace trklib::test {
namespace {

constexpr int scenePackets = 60;
constexpr quint16 radarPort = 34567;
constexpr int datagramsPerPacket = 7;
constexpr int distanceDatagram = 3; // header, amplitude, velocity, distance, ...

// A mounting in which every field has its own value, so that an option
// read into the wrong field changes the output.
RadarConfig mounting()
{
    RadarConfig config{};
    config.tilt = -2.5;
    config.pan = 3.0;
    config.height = 6.0;
    config.panOffset = 1.25;
    config.orientation = 0;
    return config;
}

const QStringList mountingArguments{"--tilt",       "-2.5", "--pan",         "3", "--height", "6",
                                    "--pan-offset", "1.25", "--orientation", "0"};

QVector<QByteArray> datagramsOf(const QVector<RadarPacketData>& packets)
{
    QVector<QByteArray> datagrams;
    for (const RadarPacketData& packet : packets)
        datagrams += PacketEncoder::datagrams(packet);
    return datagrams;
}

void expectSameTargets(const QVector<TargetRow>& actual, const QVector<TargetRow>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (int i = 0; i < actual.size(); ++i)
        EXPECT_TRUE(sameRows(actual[i], expected[i]))
            << "row " << i << ": packet " << actual[i].packet << " target "
            << actual[i].target.number << ", expected packet " << expected[i].packet << " target "
            << expected[i].target.number;
}

void expectOneErrorLine(const ReplayRun& run)
{
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.startsWith("trackreplay: ")) << run.err.constData();
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.constData();
    EXPECT_TRUE(run.err.endsWith('\n'));
}

class TrackreplayTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        scene_ = movingScene(scenePackets);
        expected_ = engineOutput(scene_, mounting());
    }

    QString path(const QString& name) const { return dir_.filePath(name); }

    QString writeCapture(const QString& name, const QVector<QByteArray>& frames,
                         int linkType = DLT_EN10MB)
    {
        const QString file = path(name);
        EXPECT_TRUE(writePcap(file, linkType, frames));
        return file;
    }

    ReplayRun replay(const QString& capture, QStringList extra = {})
    {
        return runTrackreplay(QStringList{capture} + mountingArguments + extra);
    }

    QTemporaryDir dir_;
    QVector<RadarPacketData> scene_;
    EngineOutput expected_;
};

TEST_F(TrackreplayTest, CaptureGivesTheEngineTargetsAndValidation)
{
    int confirmed = 0;
    for (const TargetRow& row : qAsConst(expected_.targets))
        confirmed += row.target.confirmed ? 1 : 0;
    ASSERT_GT(confirmed, scenePackets) << "the scene must produce confirmed targets";

    const QString capture =
        writeCapture("plain.pcap", udpFrames(datagramsOf(scene_), Network::IPv4, radarPort, false));
    const ReplayRun run =
        replay(capture, {"--validation", path("validation.csv"), "-o", path("targets.csv")});
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.isEmpty());

    QFile targets(path("targets.csv"));
    ASSERT_TRUE(targets.open(QIODevice::ReadOnly));
    expectSameTargets(parseTargetCsv(targets.readAll()), expected_.targets);

    QFile validation(path("validation.csv"));
    ASSERT_TRUE(validation.open(QIODevice::ReadOnly));
    const QVector<ValidationRow> records = parseValidationCsv(validation.readAll());
    ASSERT_EQ(records.size(), expected_.validation.size());
    for (int i = 0; i < records.size(); ++i)
        EXPECT_TRUE(sameRows(records[i], expected_.validation[i])) << "row " << i;
}

TEST_F(TrackreplayTest, FragmentedIpv4AndIpv6AndPcapngGiveTheSameOutput)
{
    const QVector<QByteArray> datagrams = datagramsOf(scene_);
    const QVector<QByteArray> fragmented = udpFrames(datagrams, Network::IPv4, radarPort, true);
    ASSERT_GT(fragmented.size(), datagrams.size() * 2) << "blocks must arrive in fragments";

    const ReplayRun reference =
        replay(writeCapture("plain.pcap", udpFrames(datagrams, Network::IPv4, radarPort, false)));
    ASSERT_EQ(reference.exitCode, 0) << reference.err.constData();
    expectSameTargets(parseTargetCsv(reference.out), expected_.targets);

    const QString pcapng = path("fragmented.pcapng");
    ASSERT_TRUE(writePcapng(pcapng, DLT_EN10MB, fragmented));
    const QVector<QString> captures{
        writeCapture("fragmented.pcap", fragmented),
        pcapng,
        writeCapture("ipv6.pcap", udpFrames(datagrams, Network::IPv6, radarPort, false)),
        writeCapture("ipv6-fragmented.pcap", udpFrames(datagrams, Network::IPv6, radarPort, true)),
    };
    for (const QString& capture : captures) {
        const ReplayRun run = replay(capture);
        EXPECT_EQ(run.exitCode, 0) << qPrintable(capture) << ": " << run.err.constData();
        EXPECT_EQ(run.out, reference.out) << qPrintable(capture);
    }
}

TEST_F(TrackreplayTest, MissingFragmentDropsOnlyItsPacket)
{
    constexpr int damagedPacket = 20;
    const QVector<QByteArray> datagrams = datagramsOf(scene_);
    QVector<QByteArray> frames;
    for (int i = 0; i < datagrams.size(); ++i) {
        QVector<QByteArray> parts = udpFrames({datagrams[i]}, Network::IPv4, radarPort, true);
        if (i == damagedPacket * datagramsPerPacket + distanceDatagram) {
            ASSERT_GT(parts.size(), 2);
            parts.remove(1);
        }
        frames += parts;
    }

    QVector<RadarPacketData> survivors = scene_;
    survivors.remove(damagedPacket);
    const EngineOutput expected = engineOutput(survivors, mounting());
    const ReplayRun run = replay(writeCapture("lost-fragment.pcap", frames));
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    expectSameTargets(parseTargetCsv(run.out), expected.targets);
}

TEST_F(TrackreplayTest, RadarTrafficIsTakenFromTheGivenPortOnly)
{
    const QVector<QByteArray> datagrams = datagramsOf(scene_);
    const QString capture =
        writeCapture("other-port.pcap", udpFrames(datagrams, Network::IPv4, 40000, true));

    expectOneErrorLine(replay(capture));

    const ReplayRun run = replay(capture, {"--port", "40000"});
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    expectSameTargets(parseTargetCsv(run.out), expected_.targets);
}

TEST_F(TrackreplayTest, BadCapturesGiveOneErrorLine)
{
    const QVector<QByteArray> frames =
        udpFrames(datagramsOf(scene_), Network::IPv4, radarPort, true);
    const QString whole = writeCapture("whole.pcap", frames);
    QFile file(whole);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();

    auto writeFile = [this](const QString& name, const QByteArray& content) {
        QFile out(path(name));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(content);
        return path(name);
    };
    const QString empty = writeFile("empty.pcap", {});
    const QString text =
        writeFile("notes.pcap", "these are not the packets\nyou are looking for\n");
    const QString headerOnly = writeFile("header-only.pcap", bytes.left(24));
    const QString cutFileHeader = writeFile("cut-file-header.pcap", bytes.left(10));

    for (const QString& capture : {path("missing.pcap"), empty, text, headerOnly, cutFileHeader}) {
        SCOPED_TRACE(qPrintable(capture));
        expectOneErrorLine(replay(capture));
    }

    // Cut in the middle of the last record: the packets before the cut
    // are reported, and the damage too.
    const QString truncated = writeFile("truncated.pcap", bytes.left(bytes.size() - 700));
    const ReplayRun run = replay(truncated);
    expectOneErrorLine(run);
    const QVector<TargetRow> rows = parseTargetCsv(run.out);
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows.last().packet, scenePackets - 2);
    for (int i = 0; i < rows.size(); ++i)
        EXPECT_TRUE(sameRows(rows[i], expected_.targets[i])) << "row " << i;
}

TEST_F(TrackreplayTest, BadOptionsGiveUsageAndExitCode2)
{
    const QString capture =
        writeCapture("plain.pcap", udpFrames(datagramsOf(scene_), Network::IPv4, radarPort, false));
    const QVector<QStringList> bad{
        {},
        {capture, "--tilt"},
        {capture, "--tilt", "steep"},
        {capture, "--height", "nan"},
        {capture, "--orientation", "1.5"},
        {capture, "--port", "0"},
        {capture, "--port", "65536"},
        {capture, "--speed", "3"},
        {capture, capture},
    };
    for (const QStringList& arguments : bad) {
        SCOPED_TRACE(qPrintable(arguments.join(' ')));
        const ReplayRun run = runTrackreplay(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.startsWith("trackreplay: "));
        EXPECT_TRUE(run.err.contains("usage: trackreplay CAPTURE"));
    }

    const ReplayRun help = runTrackreplay({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--pan-offset"));
}

} // namespace
} // namespace trklib::test

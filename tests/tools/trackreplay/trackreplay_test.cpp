// trackreplay run as a child process on captures written by the test, and on
// the pcap that radarsim writes while a live engine reads its datagrams over
// loopback UDP: its CSV output, read back as rows of numbers, must equal the
// engine's output on the same packets exactly.

#include "pcapwriter.h"
#include "simulator.h"
#include "udpframes.h"

#include "engine/targettracking.h"
#include "input/packetencoder.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace trklib::test {
namespace {

constexpr int scenePackets = 60; // 3 s at 20 packets per second
constexpr quint16 radarPort = 34567;
constexpr int frameSizedDatagramBytes = 1400; // one datagram, one frame, IPv4 or IPv6
constexpr int wholeBlocks = 0;                // 4096-byte blocks: IPv4 or IPv6 fragments
constexpr qint64 captureStartUs = 1700000000000000;
constexpr qint64 frameSpacingUs = 100;
constexpr int pcapngSnapBytes = 262144;

using Row = QVector<double>;

constexpr char targetHeader[] =
    "packet,timestamp,number,elevation,azimuth,distance,velocity,confirmed";
constexpr char validationHeader[] = "packet,timestamp,index,elevation,azimuth,distance,velocity";

Row targetRow(int packet, long timestamp, const TargetData& t)
{
    return {double(packet), double(timestamp), double(t.number), t.elevation,
            t.azimuth,      t.distance,        t.velocity,       t.confirmed ? 1.0 : 0.0};
}

QVector<Row> csvRows(const QByteArray& csv, const char* header)
{
    QList<QByteArray> lines = csv.split('\n');
    EXPECT_EQ(lines.takeFirst(), header);
    QVector<Row> rows;
    for (const QByteArray& line : qAsConst(lines)) {
        if (line.isEmpty())
            continue;
        Row row;
        for (const QByteArray& field : line.split(','))
            row.append(std::strtod(field.constData(), nullptr));
        rows.append(row);
    }
    return rows;
}

// Exact equality, NaN equal to NaN.
::testing::AssertionResult sameRows(const QVector<Row>& actual, const QVector<Row>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << actual.size() << " rows, " << expected.size() << " expected";
    for (int i = 0; i < actual.size(); ++i) {
        bool same = actual[i].size() == expected[i].size();
        for (int c = 0; same && c < actual[i].size(); ++c)
            same = actual[i][c] == expected[i][c] ||
                   (std::isnan(actual[i][c]) && std::isnan(expected[i][c]));
        if (!same)
            return ::testing::AssertionFailure()
                   << "row " << i << " (packet " << actual[i].value(0) << ") differs";
    }
    return ::testing::AssertionSuccess();
}

struct ReplayRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ReplayRun runTrackreplay(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(TRACKREPLAY_PATH), arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << "trackreplay did not finish";
    ReplayRun run;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

// Every field has its own value, so that an option read into the wrong field
// changes the output.
const RadarConfig mounting{-2.5, 3.0, 6.0, 1.25, 0};
const QStringList mountingArguments{"--tilt",       "-2.5", "--pan",         "3", "--height", "6",
                                    "--pan-offset", "1.25", "--orientation", "0"};

// The engine's output, as trackreplay computes it: validation first when
// asked for, then the targets of each packet.
QVector<Row> engineTargets(const QVector<RadarPacketData>& packets,
                           QVector<Row>* validation = nullptr)
{
    TargetTracking engine;
    engine.radarConfig() = mounting;
    QVector<Row> rows;
    for (int i = 0; i < packets.size(); ++i) {
        QVector<ValidationData> records;
        if (validation)
            engine.getValidationFromData(packets[i], records);
        for (const ValidationData& v : records)
            validation->append({double(i), double(packets[i].timestamp), double(v.index),
                                v.elevation, v.azimuth, v.distance, v.velocity});
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(packets[i], timestamp, targets);
        for (const TargetData& t : targets)
            rows.append(targetRow(i, timestamp, t));
    }
    return rows;
}

// libpcap writes no pcapng: section header, one Ethernet interface and an
// enhanced packet block per frame, little-endian; frames longer than
// snapBytes are cut to it.
bool writePcapng(const QString& path, const QVector<QByteArray>& frames,
                 int snapBytes = pcapngSnapBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(0x0A0D0D0A) << quint32(28) << quint32(0x1A2B3C4D) << quint16(1) << quint16(0)
        << qint64(-1) << quint32(28);
    out << quint32(1) << quint32(20) << quint16(1) << quint16(0) << quint32(snapBytes)
        << quint32(20);
    for (const QByteArray& frame : frames) {
        const int captured = std::min(int(frame.size()), snapBytes);
        const int padded = (captured + 3) / 4 * 4;
        const quint32 length = quint32(32 + padded);
        out << quint32(6) << length << quint32(0) << quint32(captureStartUs >> 32)
            << quint32(captureStartUs) << quint32(captured) << quint32(frame.size());
        out.writeRawData(frame.constData(), captured);
        out.writeRawData("\0\0\0", padded - captured);
        out << length;
    }
    return out.status() == QDataStream::Ok && file.flush();
}

void expectOneErrorLine(const ReplayRun& run)
{
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.startsWith("trackreplay: ")) << run.err.constData();
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.constData();
    EXPECT_TRUE(run.err.endsWith('\n'));
}

// What befalls the datagrams on their way into the capture, by their number
// in sending order.
struct Damage
{
    int lostFragmentOf = -1; // this datagram loses its second fragment
    int pauseBefore = -1;    // the sender pauses before this datagram ...
    qint64 pauseUs = 0;      // ... for this long
};

class Trackreplay : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim::Simulator simulator{sim::SimOptions{}};
        for (int k = 0; k < scenePackets; ++k)
            packets_.append(simulator.packet(k).packet);
        expected_ = engineTargets(packets_);
    }

    QString path(const QString& name) const { return dir_.filePath(name); }

    // The frames of the packets' datagrams as radarsim frames them, and the
    // time each is captured at.
    QVector<QByteArray> frames(QHostAddress::SpecialAddress to, int maxDatagramBytes,
                               quint16 port = radarPort, const Damage& damage = {},
                               QVector<qint64>* timesUs = nullptr) const
    {
        sim::UdpFrameBuilder builder{QHostAddress(to), port};
        QVector<QByteArray> frames;
        int number = 0;
        for (const RadarPacketData& p : qAsConst(packets_)) {
            for (const QByteArray& datagram : PacketEncoder::datagrams(p, maxDatagramBytes)) {
                const QVector<QByteArray> parts = builder.frames(datagram);
                const qint64 pauseUs = number >= damage.pauseBefore ? damage.pauseUs : 0;
                frames +=
                    number++ == damage.lostFragmentOf ? parts.mid(0, 1) + parts.mid(2) : parts;
                while (timesUs && timesUs->size() < frames.size())
                    timesUs->append(captureStartUs + timesUs->size() * frameSpacingUs + pauseUs);
            }
        }
        return frames;
    }

    // A capture of those frames, pcapng when the name says so.
    QString capture(const QString& name, QHostAddress::SpecialAddress to, int maxDatagramBytes,
                    quint16 port = radarPort, const Damage& damage = {})
    {
        QVector<qint64> timesUs;
        const QVector<QByteArray> bytes = frames(to, maxDatagramBytes, port, damage, &timesUs);
        if (name.endsWith(QLatin1String(".pcapng"))) {
            EXPECT_TRUE(writePcapng(path(name), bytes));
            return path(name);
        }
        sim::PcapWriter writer;
        QString error;
        EXPECT_TRUE(writer.open(path(name), error)) << qPrintable(error);
        for (int i = 0; i < bytes.size(); ++i)
            writer.write(bytes[i], timesUs[i]);
        return path(name);
    }

    QString writeFile(const QString& name, const QByteArray& content)
    {
        QFile out(path(name));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(content);
        return path(name);
    }

    ReplayRun replay(const QString& capture, const QStringList& extra = {})
    {
        return runTrackreplay(QStringList{capture} + mountingArguments + extra);
    }

    QTemporaryDir dir_;
    QVector<RadarPacketData> packets_;
    QVector<Row> expected_;
};

TEST_F(Trackreplay, CaptureGivesTheEngineTargetsAndValidation)
{
    QVector<Row> validation;
    ASSERT_TRUE(sameRows(engineTargets(packets_, &validation), expected_));
    ASSERT_FALSE(validation.isEmpty());
    ASSERT_GT(std::count_if(expected_.begin(), expected_.end(), [](const Row& r) { return r[7]; }),
              scenePackets)
        << "the scene must give confirmed targets";

    const ReplayRun run =
        replay(capture("plain.pcap", QHostAddress::LocalHost, frameSizedDatagramBytes),
               {"--validation", path("validation.csv"), "-o", path("targets.csv")});
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.isEmpty());
    QFile targets(path("targets.csv"));
    QFile records(path("validation.csv"));
    ASSERT_TRUE(targets.open(QIODevice::ReadOnly) && records.open(QIODevice::ReadOnly));
    EXPECT_TRUE(sameRows(csvRows(targets.readAll(), targetHeader), expected_));
    EXPECT_TRUE(sameRows(csvRows(records.readAll(), validationHeader), validation));
}

TEST_F(Trackreplay, FragmentedIpv4AndIpv6AndPcapngGiveTheSameTargets)
{
    for (const QString& file :
         {capture("fragmented.pcapng", QHostAddress::LocalHost, wholeBlocks),
          capture("ipv6.pcap", QHostAddress::LocalHostIPv6, frameSizedDatagramBytes),
          capture("ipv6-fragmented.pcap", QHostAddress::LocalHostIPv6, wholeBlocks)}) {
        SCOPED_TRACE(qPrintable(file));
        const ReplayRun run = replay(file);
        EXPECT_EQ(run.exitCode, 0) << run.err.constData();
        EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), expected_));
    }
}

TEST_F(Trackreplay, MissingFragmentOrLongPauseDropsOnlyItsPacket)
{
    constexpr int damagedPacket = 20;
    constexpr int datagramsPerPacket = 7;
    constexpr int distanceDatagram = 3; // header, amplitude, velocity, distance, ...
    constexpr int header = damagedPacket * datagramsPerPacket;
    constexpr int distance = header + distanceDatagram;
    // A live read gives up after one second without a datagram.
    const struct
    {
        const char* what;
        Damage damage;
        bool dropped;
    } cases[] = {
        {"lost fragment", {distance, -1, 0}, true},
        {"1.5 s pause inside the packet", {-1, distance, 1500000}, true},
        {"0.9 s pause inside the packet", {-1, distance, 900000}, false},
        {"5 s pause before the packet", {-1, header, 5000000}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<RadarPacketData> survivors = packets_;
        if (c.dropped)
            survivors.remove(damagedPacket);
        const ReplayRun run = replay(
            capture("damaged.pcap", QHostAddress::LocalHost, wholeBlocks, radarPort, c.damage));
        ASSERT_EQ(run.exitCode, 0) << run.err.constData();
        EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), engineTargets(survivors)));
    }
}

TEST_F(Trackreplay, RadarTrafficIsTakenFromTheGivenPortOnly)
{
    const QString file = capture("other-port.pcap", QHostAddress::LocalHost, wholeBlocks, 40000);
    expectOneErrorLine(replay(file));
    const ReplayRun run = replay(file, {"--port", "40000"});
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), expected_));
}

TEST_F(Trackreplay, BadCapturesGiveOneErrorLine)
{
    QFile file(capture("whole.pcap", QHostAddress::LocalHost, wholeBlocks));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();

    for (const QString& capture :
         {path("missing.pcap"), writeFile("empty.pcap", {}),
          writeFile("notes.pcap", "these are not the packets\nyou are looking for\n"),
          writeFile("header-only.pcap", bytes.left(24)),
          writeFile("cut-file-header.pcap", bytes.left(10))}) {
        SCOPED_TRACE(qPrintable(capture));
        expectOneErrorLine(replay(capture));
    }

    // Cut in the middle of the last-but-one frame: the packets before the
    // cut are reported, and the damage too.
    const ReplayRun run = replay(writeFile("truncated.pcap", bytes.left(bytes.size() - 700)));
    expectOneErrorLine(run);
    const QVector<Row> rows = csvRows(run.out, targetHeader);
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows.last()[0], scenePackets - 2);
    EXPECT_TRUE(sameRows(rows, expected_.mid(0, rows.size())));
}

TEST_F(Trackreplay, ErrorLineCountsWhatWasFound)
{
    packets_.resize(2);
    QFile file(capture("two.pcap", QHostAddress::LocalHost, wholeBlocks));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QVector<QByteArray> all = frames(QHostAddress::LocalHost, wholeBlocks);
    // Keeps the 90-byte header frames whole and cuts every fragment of a block.
    constexpr int snapBytes = 200;
    ASSERT_TRUE(writePcapng(path("header.pcapng"), all.mid(0, 1)));
    ASSERT_TRUE(writePcapng(path("snapped.pcapng"), all, snapBytes));

    const struct
    {
        QString capture;
        QString says;
    } cases[] = {
        {writeFile("cut.pcap", bytes.left(bytes.size() - 700)), "after 1 radar packet ("},
        {path("header.pcapng"), "no radar packet found in 1 UDP datagram to port 34567\n"},
        {path("snapped.pcapng"),
         QStringLiteral("no radar packet found in 2 UDP datagrams to port 34567 (%1 frames cut "
                        "short by the capture's snapshot length)\n")
             .arg(all.size() - packets_.size())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.capture));
        const ReplayRun run = replay(c.capture);
        expectOneErrorLine(run);
        EXPECT_TRUE(run.err.contains(c.says.toUtf8())) << run.err.constData();
    }
}

TEST_F(Trackreplay, OutputsThatNameTheCaptureOrEachOtherAreRefused)
{
    const QString file = capture("keep.pcap", QHostAddress::LocalHost, wholeBlocks);
    QFile in(file);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    ASSERT_TRUE(QFile::link(file, path("link.pcap")));
    ASSERT_TRUE(QDir(dir_.path()).mkdir("sub"));
    const QString targets = path("targets.csv");

    for (const QStringList& outputs :
         {QStringList{"-o", file}, QStringList{"-o", path("link.pcap")},
          QStringList{"--validation", path("sub/../keep.pcap"), "-o", targets},
          QStringList{"-o", targets, "--validation", targets},
          QStringList{"-o", targets, "--validation", path("sub/../targets.csv")}}) {
        SCOPED_TRACE(qPrintable(outputs.join(' ')));
        const ReplayRun run = replay(file, outputs);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.err.contains("usage: trackreplay CAPTURE")) << run.err.constData();
        EXPECT_FALSE(QFile::exists(targets));
        ASSERT_TRUE(in.seek(0));
        EXPECT_EQ(in.readAll(), bytes) << "the capture was changed";
    }
    // The same name in another directory is another file.
    const ReplayRun run = replay(file, {"-o", path("sub/keep.pcap")});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
}

TEST_F(Trackreplay, BadOptionsGiveUsageAndExitCode2)
{
    // The capture need not exist: the command line is read first.
    for (const char* arguments :
         {"", "any.pcap --tilt", "any.pcap --tilt steep", "any.pcap --height nan",
          "any.pcap --orientation 1.5", "any.pcap --orientation 2", "any.pcap --orientation -1",
          "any.pcap --port 0", "any.pcap --port 65536", "any.pcap --speed 3",
          "any.pcap any.pcap"}) {
        SCOPED_TRACE(arguments);
        const QString line = QString::fromLatin1(arguments);
        const ReplayRun run = runTrackreplay(line.isEmpty() ? QStringList() : line.split(' '));
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.startsWith("trackreplay: "));
        EXPECT_TRUE(run.err.contains("usage: trackreplay CAPTURE"));
    }
    const ReplayRun help = runTrackreplay({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--pan-offset"));
}

constexpr int maxTimeoutsWhileRunning = 5;

struct RoundTrip
{
    QStringList simulatorArguments; // scene, datagram shaping
    QStringList mountingArguments;  // given to radarsim and trackreplay alike
    RadarConfig config;
};

// Every packet that the engine reads completely, numbered as trackreplay
// numbers them, until the simulator has finished and the socket stays
// silent for one wait.
QVector<Row> liveRun(const RoundTrip& trip, const QString& pcap)
{
    TargetTracking engine;
    engine.radarConfig() = trip.config;
    engine.connect();
    QProcess simulator;
    simulator.start(
        QStringLiteral(RADARSIM_PATH),
        QStringList{"--quiet", "--packets", QString::number(scenePackets), "--pcap", pcap} +
            trip.simulatorArguments + trip.mountingArguments);
    EXPECT_TRUE(simulator.waitForStarted());

    QVector<Row> rows;
    int packet = 0;
    for (int timeouts = 0; timeouts <= maxTimeoutsWhileRunning;) {
        long timestamp = 0;
        QVector<TargetData> targets;
        const int status = engine.getTargets(timestamp, targets);
        if (status == 0) {
            for (const TargetData& t : qAsConst(targets))
                rows.append(targetRow(packet, timestamp, t));
            ++packet;
        } else if (status == 1) {
            if (simulator.waitForFinished(0) || simulator.state() == QProcess::NotRunning)
                break;
            if (++timeouts > maxTimeoutsWhileRunning)
                ADD_FAILURE() << "no datagrams from radarsim";
        }
    }
    engine.disconnect();
    EXPECT_TRUE(simulator.state() == QProcess::NotRunning || simulator.waitForFinished(30000));
    EXPECT_EQ(simulator.exitCode(), 0) << simulator.readAllStandardError().constData();
    EXPECT_GT(packet, scenePackets / 2);
    return rows;
}

void expectSameAsLive(const RoundTrip& trip)
{
    QTemporaryDir dir;
    const QString pcap = dir.filePath("sent.pcap");
    const QVector<Row> live = liveRun(trip, pcap);
    EXPECT_TRUE(std::any_of(live.begin(), live.end(), [](const Row& r) { return r[7] == 1.0; }))
        << "the scene must give confirmed targets";

    const ReplayRun run = runTrackreplay(QStringList{pcap} + trip.mountingArguments);
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), live));
}

TEST(RoundTrip, RoadSceneWithFragmentedBlocks)
{
    // 4096-byte blocks, each one IPv4 datagram in three fragments in the pcap.
    expectSameAsLive(
        {{"--scene", "road", "--seed", "5"},
         {"--tilt", "-3", "--pan", "2", "--height", "6", "--pan-offset", "1", "--orientation", "0"},
         RadarConfig{-3.0, 2.0, 6.0, 1.0, 0}});
}

TEST(RoundTrip, VerticalMountingWithLostAndReorderedDatagrams)
{
    // What radarsim drops or swaps it neither sends nor records, so the live
    // engine and the replay see the same damaged stream.
    expectSameAsLive(
        {{"--scene", "crossing", "--seed", "11", "--max-datagram", "1400", "--loss", "0.01",
          "--reorder", "0.01"},
         {"--tilt", "-5", "--pan", "0", "--height", "4", "--pan-offset", "0", "--orientation", "1"},
         RadarConfig{-5.0, 0.0, 4.0, 0.0, 1}});
}

} // namespace
} // namespace trklib::test

// trackreplay run as a child process on captures written by the test, and on
// the pcap that radarsim writes while a live engine reads its datagrams over
// loopback UDP: its CSV output, read back as rows of numbers, must equal the
// engine's output on the same packets exactly.

#include "pcapwriter.h"
#include "simulator.h"
#include "udpframes.h"

#include "engine/targettracking.h"
#include "input/packetencoder.h"
#include "support/programrun.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <unistd.h>

namespace trklib::test {
namespace {

constexpr int scenePackets = 60; // 3 s at 20 packets per second
constexpr quint16 radarPort = wire::defaultPort;
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

ProgramRun runTrackreplay(const QStringList& arguments)
{
    return runProgram(QStringLiteral(TRACKREPLAY_PATH), arguments);
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

// How writePcapng() writes its one interface and the frames' times.
struct Pcapng
{
    int snapBytes = pcapngSnapBytes; // longer frames are cut to it
    QByteArray interfaceOptions;     // pcapngOption()s, ending with option 0
    QVector<quint64> times;          // per frame, in the interface's units; empty: all at
                                     // captureStartUs
};

// One option of a pcapng block, little-endian, padded to 32 bits.
QByteArray pcapngOption(quint16 code, const QByteArray& value = {})
{
    QByteArray option;
    QDataStream out(&option, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << code << quint16(value.size());
    out.writeRawData(value.constData(), value.size());
    out.writeRawData("\0\0\0", (4 - value.size() % 4) % 4);
    return option;
}

// libpcap writes no pcapng: section header, one Ethernet interface and an
// enhanced packet block per frame, little-endian.
bool writePcapng(const QString& path, const QVector<QByteArray>& frames, const Pcapng& format = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(0x0A0D0D0A) << quint32(28) << quint32(0x1A2B3C4D) << quint16(1) << quint16(0)
        << qint64(-1) << quint32(28);
    const quint32 interfaceLength = quint32(20 + format.interfaceOptions.size());
    out << quint32(1) << interfaceLength << quint16(1) << quint16(0) << quint32(format.snapBytes);
    out.writeRawData(format.interfaceOptions.constData(), format.interfaceOptions.size());
    out << interfaceLength;
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray& frame = frames[i];
        const quint64 time = format.times.isEmpty() ? quint64(captureStartUs) : format.times[i];
        const int captured = std::min(int(frame.size()), format.snapBytes);
        const int padded = (captured + 3) / 4 * 4;
        const quint32 length = quint32(32 + padded);
        out << quint32(6) << length << quint32(0) << quint32(time >> 32) << quint32(time)
            << quint32(captured) << quint32(frame.size());
        out.writeRawData(frame.constData(), captured);
        out.writeRawData("\0\0\0", padded - captured);
        out << length;
    }
    return out.status() == QDataStream::Ok && file.flush();
}

// A frame as a capture on all interfaces of a Linux host (tcpdump -i any)
// shows it: the Ethernet header replaced by a Linux cooked one, whose
// packet type says whether the host sent the frame (4) or received it (0).
QByteArray cookedFrame(int linkType, const QByteArray& ethernetFrame, quint8 packetType)
{
    const QByteArray protocol = ethernetFrame.mid(12, 2);
    const QByteArray loopbackAddress = QByteArray::fromHex("0304") + char(0) + char(6);
    const QByteArray address(8, '\0');
    const QByteArray ip = ethernetFrame.mid(sim::UdpFrameBuilder::ethernetHeaderBytes);
    if (linkType == DLT_LINUX_SLL) // type, address type and length, address, protocol
        return QByteArray(1, '\0') + char(packetType) + loopbackAddress + address + protocol + ip;
    // Protocol, reserved, interface, address type, type, address length, address.
    return protocol + QByteArray::fromHex("000000000001") + loopbackAddress.left(2) +
           char(packetType) + char(6) + address + ip;
}

void expectOneErrorLine(const ProgramRun& run)
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
        return writePcap(name, bytes, timesUs);
    }

    QString writePcap(const QString& name, const QVector<QByteArray>& frames,
                      const QVector<qint64>& timesUs, int linkType = DLT_EN10MB)
    {
        sim::PcapWriter writer;
        QString error;
        EXPECT_TRUE(writer.open(path(name), error, linkType)) << qPrintable(error);
        for (int i = 0; i < frames.size(); ++i)
            writer.write(frames[i], timesUs[i]);
        EXPECT_TRUE(writer.commit()) << qPrintable(writer.errorString());
        return path(name);
    }

    QString writeFile(const QString& name, const QByteArray& content)
    {
        EXPECT_TRUE(test::writeFile(path(name), content)) << qPrintable(name);
        return path(name);
    }

    ProgramRun replay(const QString& capture, const QStringList& extra = {})
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

    const ProgramRun run =
        replay(capture("plain.pcap", QHostAddress::LocalHost, frameSizedDatagramBytes),
               {"--validation", path("validation.csv"), "-o", path("targets.csv")});
    ASSERT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.isEmpty());
    EXPECT_TRUE(sameRows(csvRows(fileContents(path("targets.csv")), targetHeader), expected_));
    EXPECT_TRUE(
        sameRows(csvRows(fileContents(path("validation.csv")), validationHeader), validation));

    // The validation records on standard output, the targets in a file.
    const ProgramRun piped = replay(path("plain.pcap"), {"--validation", "-", "-o", path("t.csv")});
    ASSERT_EQ(piped.exitCode, 0) << piped.err.constData();
    EXPECT_TRUE(sameRows(csvRows(piped.out, validationHeader), validation));
    EXPECT_TRUE(sameRows(csvRows(fileContents(path("t.csv")), targetHeader), expected_));
}

TEST_F(Trackreplay, FragmentedIpv4AndIpv6AndPcapngGiveTheSameTargets)
{
    for (const QString& file :
         {capture("fragmented.pcapng", QHostAddress::LocalHost, wholeBlocks),
          capture("ipv6.pcap", QHostAddress::LocalHostIPv6, frameSizedDatagramBytes),
          capture("ipv6-fragmented.pcap", QHostAddress::LocalHostIPv6, wholeBlocks)}) {
        SCOPED_TRACE(qPrintable(file));
        const ProgramRun run = replay(file);
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
        const ProgramRun run = replay(
            capture("damaged.pcap", QHostAddress::LocalHost, wholeBlocks, radarPort, c.damage));
        ASSERT_EQ(run.exitCode, 0) << run.err.constData();
        EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), engineTargets(survivors)));
    }
}

// A capture of two senders: the first one to complete a packet is tracked
// alone, the other's datagrams from then on dropped and counted while it
// sends; the other takes over once the first has been silent for 2 s: its
// packet whose first datagram comes exactly then does, one whose first
// datagram comes a microsecond earlier loses it and is not tracked.
TEST_F(Trackreplay, OneSenderIsTrackedAtATime)
{
    constexpr qint64 silenceUs = 2000000;
    QVector<RadarPacketData> others = packets_.mid(0, 10);
    for (RadarPacketData& p : others)
        p.timestamp += 3600000;
    const auto otherFrames = [&] {
        sim::UdpFrameBuilder builder{QHostAddress(QHostAddress::LocalHost), radarPort, 40001};
        QVector<QByteArray> frames;
        for (const RadarPacketData& p : qAsConst(others)) {
            for (const QByteArray& d : PacketEncoder::datagrams(p, frameSizedDatagramBytes))
                frames += builder.frames(d);
        }
        return frames;
    }();
    QVector<qint64> timesUs;
    const QVector<QByteArray> radarFrames =
        frames(QHostAddress::LocalHost, frameSizedDatagramBytes, radarPort, {}, &timesUs);
    ASSERT_GT(radarFrames.size(), otherFrames.size());
    const struct
    {
        const char* what;
        qint64 gapUs; // of the other's first frame after the radar's last; -1: interleaved
        QVector<RadarPacketData> tracked;
    } cases[] = {
        {"interleaved", -1, packets_},
        {"silent for exactly 2 s", silenceUs, packets_ + others},
        {"silent 1 us less", silenceUs - 1, packets_ + others.mid(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<QByteArray> all;
        QVector<qint64> allTimesUs;
        for (int i = 0; i < radarFrames.size(); ++i) {
            all << radarFrames[i];
            allTimesUs << timesUs[i];
            if (c.gapUs < 0 && i < otherFrames.size()) {
                all << otherFrames[i];
                allTimesUs << timesUs[i];
            }
        }
        for (int i = 0; c.gapUs >= 0 && i < otherFrames.size(); ++i) {
            all << otherFrames[i];
            allTimesUs << timesUs.last() + c.gapUs + i * frameSpacingUs;
        }
        const ProgramRun run = replay(writePcap("two.pcap", all, allTimesUs));
        ASSERT_EQ(run.exitCode, 0) << run.err.constData();
        EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), engineTargets(c.tracked)));
        // Interleaved, the other's frames before the radar's first packet
        // completes are assembled, not dropped.
        const int perPacket = PacketEncoder::datagrams(others[0], frameSizedDatagramBytes).size();
        const int dropped = c.gapUs < 0           ? otherFrames.size() - (perPacket - 1)
                            : c.gapUs < silenceUs ? 1
                                                  : 0;
        EXPECT_EQ(run.err.isEmpty(), dropped == 0) << run.err.constData();
        if (dropped > 0) {
            EXPECT_TRUE(run.err.contains(QByteArray::number(dropped) + " UDP datagrams dropped"))
                << run.err.constData();
        }
    }
}

TEST_F(Trackreplay, RadarTrafficIsTakenFromTheGivenPortOnly)
{
    const QString file = capture("other-port.pcap", QHostAddress::LocalHost, wholeBlocks, 40000);
    expectOneErrorLine(replay(file));
    const ProgramRun run = replay(file, {"--port", "40000"});
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
    const ProgramRun run = replay(writeFile("truncated.pcap", bytes.left(bytes.size() - 700)));
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
    ASSERT_TRUE(writePcapng(path("snapped.pcapng"), all, {snapBytes, {}, {}}));

    const struct
    {
        QString capture;
        QString says;
    } cases[] = {
        {writeFile("cut.pcap", bytes.left(bytes.size() - 700)), "after 1 radar packet ("},
        {path("header.pcapng"), "1 UDP datagram to port 34567 formed no radar packet\n"},
        {path("snapped.pcapng"),
         QStringLiteral("2 UDP datagrams to port 34567 formed no radar packet (%1 frames cut "
                        "short by the capture's snapshot length)\n")
             .arg(all.size() - packets_.size())},
        {path("two.pcap") + "\n--port\n40000", "no UDP datagram to port 40000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.capture));
        const QStringList arguments = c.capture.split('\n');
        const ProgramRun run = replay(arguments.first(), arguments.mid(1));
        expectOneErrorLine(run);
        EXPECT_TRUE(run.err.contains(c.says.toUtf8())) << run.err.constData();
    }
}

TEST_F(Trackreplay, OutputsThatAreTheCaptureOrEachOtherAreRefused)
{
    const QString file = capture("keep.pcap", QHostAddress::LocalHost, wholeBlocks);
    const QByteArray bytes = fileContents(file);
    ASSERT_TRUE(QFile::link(file, path("link.pcap")));
    ASSERT_EQ(::link(qPrintable(file), qPrintable(path("hard.pcap"))), 0);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("sub"));
    const QString targets = writeFile("targets.csv", "old targets\n");
    const QString fresh = path("fresh.csv"); // not there yet

    const struct
    {
        QStringList outputs;
        const char* names; // the two arguments the message names
    } cases[] = {
        {{"-o", file}, "--output and the capture"},
        {{"-o", path("link.pcap")}, "--output '"},
        {{"-o", path("hard.pcap")}, "--output '"},
        {{"--validation", path("sub/../keep.pcap"), "-o", targets}, "--validation '"},
        {{"-o", targets, "--validation", targets}, "--output and --validation"},
        {{"-o", targets, "--validation", path("sub/../targets.csv")}, "--output '"},
        {{"-o", fresh, "--validation", path("sub/../fresh.csv")}, "--output '"},
        {{"--validation", "-"}, "--output (default -) and --validation"},
        {{"-o", "-", "--validation", "-"}, "--output and --validation"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.outputs.join(' ')));
        const ProgramRun run = replay(file, c.outputs);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.err.startsWith(QByteArray("trackreplay: ") + c.names))
            << run.err.constData();
        EXPECT_TRUE(run.err.contains("\nUsage: trackreplay "));
        EXPECT_EQ(fileContents(file), bytes) << "the capture was changed";
        EXPECT_EQ(fileContents(targets), "old targets\n");
        EXPECT_FALSE(QFile::exists(fresh));
    }
    // The same name in another directory is another file.
    const ProgramRun run = replay(file, {"-o", path("sub/keep.pcap")});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
}

TEST_F(Trackreplay, FailedRunsLeaveTheOutputsAsTheyWere)
{
    const QString good = capture("good.pcap", QHostAddress::LocalHost, wholeBlocks);
    const QByteArray bytes = fileContents(good);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("out"));
    const QString targets = path("out/targets.csv");
    const QString validation = path("out/validation.csv");
    const QString linked = path("out/linked.csv"); // a link to the targets

    const struct
    {
        const char* what;
        QString capture;
        QStringList outputs;
    } cases[] = {
        {"truncated",
         writeFile("cut.pcap", bytes.left(bytes.size() - 700)),
         {"-o", targets, "--validation", validation}},
        {"no radar traffic", good, {"--port", "40000", "-o", targets, "--validation", validation}},
        {"no frames", writeFile("header-only.pcap", bytes.left(24)), {"-o", targets}},
        {"targets written through a link",
         writeFile("cut2.pcap", bytes.left(bytes.size() - 700)),
         {"-o", linked}},
        {"full disk", good, {"-o", "/dev/full", "--validation", validation}},
    };
    for (const bool existing : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.what << (existing ? ", existing" : ", new"));
            QDir out(path("out"));
            ASSERT_TRUE(out.removeRecursively() && QDir(dir_.path()).mkdir("out"));
            if (existing) {
                writeFile("out/targets.csv", "old targets\n");
                writeFile("out/validation.csv", "old validation\n");
                ASSERT_TRUE(QFile::link(targets, linked));
            }
            const QStringList before = out.entryList(QDir::Files | QDir::System);

            const ProgramRun run = replay(c.capture, c.outputs);
            expectOneErrorLine(run);
            EXPECT_TRUE(run.err.endsWith("; no output file written\n")) << run.err.constData();
            EXPECT_EQ(out.entryList(QDir::Files | QDir::System), before);
            EXPECT_EQ(fileContents(targets), existing ? "old targets\n" : "");
            EXPECT_EQ(fileContents(validation), existing ? "old validation\n" : "");
        }
    }
}

TEST_F(Trackreplay, UnwritableOutputsAreRefusedBeforeReading)
{
    const QString file = capture("good.pcap", QHostAddress::LocalHost, wholeBlocks);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("folder"));
    const QString validation = path("validation.csv");
    const struct
    {
        QStringList outputs;
        const char* says;
    } cases[] = {
        {{"-o", path("folder"), "--validation", validation}, "folder: is a directory\n"},
        {{"--validation", path("folder"), "-o", path("t.csv")}, "folder: is a directory\n"},
        {{"--validation", validation, "-o", path("none/t.csv")}, "t.csv: no directory '"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.outputs.join(' ')));
        const ProgramRun run = replay(file, c.outputs);
        expectOneErrorLine(run);
        EXPECT_TRUE(run.err.contains(c.says)) << run.err.constData();
        EXPECT_FALSE(QFile::exists(validation));
        EXPECT_FALSE(QFile::exists(path("t.csv")));
    }
}

TEST_F(Trackreplay, CapturesOnAllInterfacesGiveEachDatagramOnce)
{
    constexpr quint8 sent = 4;
    constexpr quint8 received = 0;
    const struct
    {
        const char* what;
        int linkType;
        int maxDatagramBytes;
        QVector<quint8> copies; // of every frame, in this order
    } cases[] = {
        {"cooked v1, sent and received", DLT_LINUX_SLL, frameSizedDatagramBytes, {sent, received}},
        {"cooked v2, sent and received, fragments", DLT_LINUX_SLL2, wholeBlocks, {sent, received}},
        {"cooked v1, sent only", DLT_LINUX_SLL, wholeBlocks, {sent}},
        {"cooked v2, sent only", DLT_LINUX_SLL2, frameSizedDatagramBytes, {sent}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<qint64> timesUs;
        const QVector<QByteArray> plain =
            frames(QHostAddress::LocalHost, c.maxDatagramBytes, radarPort, {}, &timesUs);
        QVector<QByteArray> cooked;
        QVector<qint64> cookedTimesUs;
        for (int i = 0; i < plain.size(); ++i) {
            for (const quint8 type : c.copies) {
                cooked.append(cookedFrame(c.linkType, plain[i], type));
                cookedTimesUs.append(timesUs[i]);
            }
        }
        const ProgramRun run = replay(writePcap("any.pcap", cooked, cookedTimesUs, c.linkType));
        ASSERT_EQ(run.exitCode, 0) << run.err.constData();
        EXPECT_TRUE(run.err.isEmpty()) << run.err.constData();
        EXPECT_TRUE(sameRows(csvRows(run.out, targetHeader), expected_));
    }
}

TEST_F(Trackreplay, CaptureTimesBeyond64BitMicrosecondsAreRefused)
{
    packets_.resize(2);
    expected_ = engineTargets(packets_);
    const QVector<QByteArray> all = frames(QHostAddress::LocalHost, frameSizedDatagramBytes);
    const QByteArray inSeconds = pcapngOption(9, QByteArray(1, '\0')); // if_tsresol 10^0
    const auto offsetSeconds = [](qint64 seconds) {                    // if_tsoffset
        QByteArray value;
        for (int byte = 0; byte < 8; ++byte)
            value += char(quint64(seconds) >> (8 * byte));
        return pcapngOption(14, value);
    };
    constexpr quint64 farSeconds = 10000000000000; // 10^13 s: 10^19 us
    constexpr qint64 halfRangeSeconds = 9000000000000;
    const QByteArray end = pcapngOption(0);
    const struct
    {
        const char* what;
        QByteArray options;
        quint64 firstTime;
        quint64 laterTimes;
        const char* says; // empty: replays
    } cases[] = {
        {"seconds resolution, near times", inSeconds + end, 1700000000, 1700000000, ""},
        {"seconds resolution, 10^13 s", inSeconds + end, 1700000000, farSeconds,
         "capture time of frame 2 (10000000000000 s) does not fit 64-bit microseconds"},
        {"offset of 2^62 s", offsetSeconds(qint64(1) << 62) + end, captureStartUs, captureStartUs,
         "capture time of frame 1 ("},
        {"-9e12 s, then +9e12 s", inSeconds + offsetSeconds(-halfRangeSeconds) + end, 0,
         2 * halfRangeSeconds, "capture times of frames 1 and 2 lie more than 2^63 us apart"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<quint64> times(all.size(), c.laterTimes);
        times[0] = c.firstTime;
        ASSERT_TRUE(writePcapng(path("times.pcapng"), all, {pcapngSnapBytes, c.options, times}));
        QFile::remove(path("t.csv"));
        const ProgramRun run = replay(path("times.pcapng"), {"-o", path("t.csv")});
        if (*c.says == '\0') {
            ASSERT_EQ(run.exitCode, 0) << run.err.constData();
            EXPECT_TRUE(sameRows(csvRows(fileContents(path("t.csv")), targetHeader), expected_));
            continue;
        }
        expectOneErrorLine(run);
        EXPECT_TRUE(run.err.contains(c.says)) << run.err.constData();
        EXPECT_FALSE(QFile::exists(path("t.csv")));
    }
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
        const ProgramRun run = runTrackreplay(line.isEmpty() ? QStringList() : line.split(' '));
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.startsWith("trackreplay: "));
        EXPECT_TRUE(run.err.contains("\nUsage: trackreplay "));
    }
    const ProgramRun help = runTrackreplay({"--help"});
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

    const ProgramRun run = runTrackreplay(QStringList{pcap} + trip.mountingArguments);
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

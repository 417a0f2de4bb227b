// The Wireshark dissector tools/wireshark/trklib.lua, run by tshark over
// radarsim's capture and over a capture of hand-made datagrams: every header
// field as the packets hold it, every datagram named by its size, bad
// headers flagged.

#include "pcapwriter.h"
#include "simoptions.h"
#include "simulator.h"
#include "udpframes.h"

#include "input/packetencoder.h"
#include "support/packets.h"
#include "support/programrun.h"

#include <QHash>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Failures show strings as text (found by argument-dependent lookup).
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace trklib::sim::test {
namespace {

using trklib::test::ProgramRun;
using trklib::test::runProgram;

// The header fields after the sync pattern, with their values in a packet.
struct HeaderField
{
    const char* name;
    qint64 (*value)(const RadarPacketData&);
};

const HeaderField headerFields[] = {
    {"trklib.version", [](const RadarPacketData& p) -> qint64 { return p.version; }},
    {"trklib.header_size", [](const RadarPacketData& p) -> qint64 { return p.headerSize; }},
    {"trklib.info08", [](const RadarPacketData& p) -> qint64 { return p.info08; }},
    {"trklib.info10", [](const RadarPacketData& p) -> qint64 { return p.info10; }},
    {"trklib.info11", [](const RadarPacketData& p) -> qint64 { return p.info11; }},
    {"trklib.timestamp", [](const RadarPacketData& p) -> qint64 { return p.timestamp; }},
    {"trklib.info20", [](const RadarPacketData& p) -> qint64 { return p.info20; }},
    {"trklib.info24", [](const RadarPacketData& p) -> qint64 { return p.info24; }},
    {"trklib.info28", [](const RadarPacketData& p) -> qint64 { return p.info28; }},
    {"trklib.info29", [](const RadarPacketData& p) -> qint64 { return p.info29; }},
    {"trklib.info30", [](const RadarPacketData& p) -> qint64 { return p.info30; }},
    {"trklib.info31", [](const RadarPacketData& p) -> qint64 { return p.info31; }},
    {"trklib.info32", [](const RadarPacketData& p) -> qint64 { return p.info32; }},
    {"trklib.info36", [](const RadarPacketData& p) -> qint64 { return p.info36; }},
    {"trklib.info40", [](const RadarPacketData& p) -> qint64 { return p.info40; }},
    {"trklib.info41", [](const RadarPacketData& p) -> qint64 { return p.info41; }},
    {"trklib.info42", [](const RadarPacketData& p) -> qint64 { return p.info42; }},
    {"trklib.info44", [](const RadarPacketData& p) -> qint64 { return p.info44; }},
};

// One dissected datagram: field name to the value tshark prints.
using Row = QHash<QString, QString>;

struct Dissection
{
    bool ran = false;
    QString error;
    QVector<Row> rows;
};

QStringList printedFields()
{
    QStringList names{"trklib.length", "trklib.block",     "trklib.header_error",
                      "trklib.sync",   "trklib.amplitude", "_ws.col.Info"};
    for (const HeaderField& f : headerFields)
        names << QLatin1String(f.name);
    return names;
}

QProcessEnvironment tsharkEnvironment(const QTemporaryDir& home)
{
    // A throwaway home: tshark keeps its personal configuration there.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    return env;
}

// Runs tshark with the dissector over a capture; out gets its standard output.
bool tshark(const QString& pcap, const QStringList& options, QString& out, QString& error)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (program.isEmpty()) {
        error = QStringLiteral("tshark not found: install the Debian package tshark "
                               "(scripts/lib/deps.sh does)");
        return false;
    }
    QTemporaryDir home;
    const ProgramRun run =
        runProgram(program,
                   QStringList{"-n", "-r", pcap, "-X",
                               QStringLiteral("lua_script:" TRKLIB_LUA_PATH), "-Y", "trklib"} +
                       options,
                   tsharkEnvironment(home));
    out = QString::fromUtf8(run.out);
    error = QString::fromLocal8Bit(run.err);
    if (run.exitCode != 0) {
        error.prepend(QStringLiteral("tshark failed: "));
        return false;
    }
    return true;
}

// The trklib datagrams of a capture, one row each, in capture order.
Dissection dissect(const QString& pcap)
{
    const QStringList names = printedFields();
    QStringList options{"-T", "fields"};
    for (const QString& name : names)
        options << QStringLiteral("-e") << name;
    Dissection d;
    QString out;
    d.ran = tshark(pcap, options, out, d.error);
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList values = line.split(QLatin1Char('\t'));
        Row row;
        for (int i = 0; i < names.size(); ++i)
            row.insert(names[i], values.value(i));
        d.rows << row;
    }
    return d;
}

void expectHeader(const Row& row, const RadarPacketData& p)
{
    QByteArray sync;
    for (qint8 b : p.sync)
        sync.append(char(b));
    EXPECT_EQ(row["trklib.block"], QStringLiteral("header"));
    EXPECT_EQ(row["trklib.sync"], QString::fromLatin1(sync.toHex()));
    for (const HeaderField& f : headerFields)
        EXPECT_EQ(row[f.name], QString::number(f.value(p))) << f.name;
}

std::string describe(const Row& row)
{
    return row.value(QStringLiteral("_ws.col.Info")).toStdString();
}

TEST(WiresharkDissector, ShowsEveryDatagramOfARadarsimCapture)
{
    QTemporaryDir dir;
    const QString pcap = dir.filePath(QStringLiteral("radarsim.pcap"));
    const QStringList args{"--no-send", "--quiet", "--packets", "5", "--pcap", pcap};
    const ProgramRun radarsim = runProgram(QStringLiteral(RADARSIM_PATH), args);
    ASSERT_EQ(radarsim.exitCode, 0) << radarsim.err.toStdString();

    // The same packets, from the simulator with the same options.
    SimOptions options;
    QString error;
    ASSERT_EQ(parseOptions(args, options, error), ParseResult::Run);
    Simulator simulator(options);

    const Dissection d = dissect(pcap);
    ASSERT_TRUE(d.ran) << d.error.toStdString();
    constexpr int packets = 5;
    constexpr int arraysPerPacket = 6; // one datagram per block
    ASSERT_EQ(d.rows.size(), packets * (1 + arraysPerPacket));
    int index = 0;
    for (int k = 0; k < packets; ++k) {
        const SimulatedPacket expected = simulator.packet(k);
        for (const QByteArray& datagram : expected.datagrams) {
            const Row& row = d.rows[index++];
            SCOPED_TRACE(describe(row));
            EXPECT_EQ(row["trklib.length"], QString::number(datagram.size()));
            if (datagram.size() == wire::headerBytes) {
                expectHeader(row, expected.packet);
                EXPECT_EQ(row["_ws.col.Info"],
                          QStringLiteral("Header, timestamp %1").arg(expected.timestampMs));
            } else {
                EXPECT_NE(row["trklib.block"], QStringLiteral("header"));
                EXPECT_TRUE(row["_ws.col.Info"].startsWith(QLatin1String("Array block, ")));
            }
        }
    }
}

// Writes datagrams to the radar port into a capture, 1 ms apart.
void writeCapture(const QString& path, const QVector<QByteArray>& datagrams)
{
    PcapWriter writer;
    QString error;
    ASSERT_TRUE(writer.open(path, error)) << error.toStdString();
    UdpFrameBuilder frames(QHostAddress(QHostAddress::LocalHost), wire::defaultPort);
    constexpr qint64 startUs = 1700000000000000;
    constexpr qint64 gapUs = 1000;
    qint64 timeUs = startUs;
    for (const QByteArray& datagram : datagrams) {
        for (const QByteArray& frame : frames.frames(datagram))
            writer.write(frame, timeUs);
        timeUs += gapUs;
    }
    ASSERT_TRUE(writer.commit()) << writer.errorString().toStdString();
}

TEST(WiresharkDissector, NamesDatagramsBySizeAndFlagsBadHeaders)
{
    // Every header field distinct, and some negative: a field read from the
    // wrong bytes, in the wrong order or unsigned shows.
    constexpr qint64 timestampMs = 1700000000123;
    const RadarPacketData packet = trklib::test::patternedPacket(timestampMs, 5);
    const QVector<QByteArray> blocks = PacketEncoder::datagrams(packet);
    const QByteArray& header = blocks[0];
    QByteArray badSync = header;
    badSync[5] = char(0xAC);
    QByteArray badVersion = header;
    badVersion[6] = 3;
    QByteArray badSize = header;
    badSize[7] = 40;
    const QByteArray& distance = blocks[3];

    struct Case
    {
        QByteArray datagram;
        const char* block;
        const char* headerError;
        const char* info;
    };
    constexpr int partBytes = 1000;
    const QVector<Case> cases{
        {header, "header", "", "Header, timestamp 1700000000123"},
        {blocks[1], "amplitude block (or part of a larger block)", "",
         "Array block, 1024 bytes: amplitude (or part of a larger block)"},
        {blocks[2], "relative velocity, distance, elevation or azimuth block", "",
         "Array block, 4096 bytes: relative velocity, distance, elevation or azimuth"},
        {distance.mid(0 * partBytes, partBytes), "part of an array block", "",
         "Array block, 1000 bytes: part of an array block"},
        {distance.mid(1 * partBytes, partBytes), "part of an array block", "",
         "Array block, 1000 bytes: part of an array block"},
        {distance.mid(2 * partBytes, partBytes), "part of an array block", "",
         "Array block, 1000 bytes: part of an array block"},
        {distance.mid(3 * partBytes, partBytes), "part of an array block", "",
         "Array block, 1000 bytes: part of an array block"},
        {distance.mid(4 * partBytes), "part of an array block", "",
         "Array block, 96 bytes: part of an array block"},
        {blocks[6], "phase difference block (or part of a larger block)", "",
         "Array block, 2048 bytes: phase difference (or part of a larger block)"},
        {badSync, "header", "wrong sync pattern",
         "Bad header (wrong sync pattern), timestamp 1700000000123"},
        {badVersion, "header", "version 3, not 2",
         "Bad header (version 3, not 2), timestamp 1700000000123"},
        {badSize, "header", "header size 40, not 48",
         "Bad header (header size 40, not 48), timestamp 1700000000123"},
    };
    QVector<QByteArray> datagrams;
    for (const Case& c : cases)
        datagrams << c.datagram;
    QTemporaryDir dir;
    const QString pcap = dir.filePath(QStringLiteral("patterned.pcap"));
    writeCapture(pcap, datagrams);

    const Dissection d = dissect(pcap);
    ASSERT_TRUE(d.ran) << d.error.toStdString();
    ASSERT_EQ(d.rows.size(), cases.size());
    for (int i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Row& row = d.rows[i];
        SCOPED_TRACE(c.info);
        EXPECT_EQ(row["trklib.length"], QString::number(c.datagram.size()));
        EXPECT_EQ(row["trklib.block"], QString::fromLatin1(c.block));
        EXPECT_EQ(row["trklib.header_error"], QString::fromLatin1(c.headerError));
        EXPECT_EQ(row["_ws.col.Info"], QString::fromLatin1(c.info));
    }
    expectHeader(d.rows[0], packet);
    QStringList amplitudes;
    for (int cell = 0; cell < 8; ++cell)
        amplitudes << QString::number(packet.amplitude[cell]);
    EXPECT_EQ(d.rows[1]["trklib.amplitude"], amplitudes.join(QLatin1Char(',')));

    // The tree shows the timestamp as a date and raises an expert error for
    // each bad header.
    QString tree;
    QString error;
    ASSERT_TRUE(tshark(pcap, {"-O", "trklib"}, tree, error)) << error.toStdString();
    EXPECT_EQ(tree.count(QLatin1String("Timestamp (ms): 1700000000123 "
                                       "(2023-11-14 22:13:20.123 UTC)")),
              4);
    for (const char* problem : {"wrong sync pattern", "version 3, not 2", "header size 40, not 48"})
        EXPECT_TRUE(tree.contains(QStringLiteral("Expert Info (Error/Malformed): Bad header: %1")
                                      .arg(QLatin1String(problem))))
            << problem;
}

} // namespace
} // namespace trklib::sim::test

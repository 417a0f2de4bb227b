// radarsim's command line, and the program run as a child process without
// sending: its errors and the files it writes.

#include "simoptions.h"

#include "support/programrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

#include <unistd.h>

namespace trklib::sim::test {
namespace {

using trklib::test::fileContents;
using trklib::test::ProgramRun;
using trklib::test::runProgram;
using trklib::test::writeFile;

ParseResult parse(const QStringList& args, SimOptions& options)
{
    QString error;
    const ParseResult result = parseOptions(args, options, error);
    EXPECT_EQ(error.isEmpty(), result != ParseResult::Error) << args.join(' ').toStdString();
    return result;
}

TEST(SimOptions, DefaultsAndValuesInBothSpellings)
{
    SimOptions o;
    ASSERT_EQ(parse({}, o), ParseResult::Run);
    EXPECT_EQ(o.host, QLatin1String("127.0.0.1"));
    EXPECT_EQ(o.port, 34567);
    EXPECT_EQ(o.mounting.height, 5.0);
    EXPECT_EQ(o.scene, QLatin1String("road"));
    EXPECT_EQ(o.timestampMs(0), 1700000000000);
    EXPECT_EQ(o.timestampMs(3), 1700000000150) << "20 packets per second";

    ASSERT_EQ(parse({"--host", "::1", "--port=40001", "--rate", "8", "--start-ms", "5000",
                     "--orientation=1", "--no-send", "--packets", "12"},
                    o),
              ParseResult::Run);
    EXPECT_EQ(o.host, QLatin1String("::1"));
    EXPECT_EQ(o.port, 40001);
    EXPECT_EQ(o.mounting.orientation, 1);
    EXPECT_TRUE(o.noSend);
    EXPECT_EQ(o.timestampMs(1), 5125) << "8 packets per second: 125 ms apart";
    SimOptions sourced;
    ASSERT_EQ(parse({"--source", "127.0.0.3"}, sourced), ParseResult::Run);
    EXPECT_EQ(sourced.source, QLatin1String("127.0.0.3"));

    // The ends of the ranges; the last packet's timestamp fits as well.
    ASSERT_EQ(parse({"--rate", "0.1", "--start-ms", "0", "--packets", "2"}, o), ParseResult::Run);
    EXPECT_EQ(o.timestampMs(1), 10000);
    ASSERT_EQ(parse({"--rate=1000", "--start-ms=4294967294998", "--packets=3"}, o),
              ParseResult::Run);
    EXPECT_EQ(o.timestampMs(2), SimOptions::maxTimestampMs);
    EXPECT_EQ(o.packetLimit(), 3);
}

TEST(SimOptions, RejectsBadOptionsAndValues)
{
    for (const char* args :
         {"--bogus", "--port", "--port 0", "--port 70000", "--rate 0", "--rate x", "--packets -1",
          "--scene harbour", "--seed -1", "--tilt nan", "--height -1", "--orientation 2",
          "--loss 1.5", "--reorder -0.1", "--max-datagram 70000", "--host 10.0.0.1", "--host radar",
          "--source 10.0.0.1", "--source ::1", "--host ::1 --source 127.0.0.2", "--no-send",
          "--quiet=1", "packets",
          // Rates and timestamps that would not fit their arithmetic, or
          // pass the 32-bit seconds of a pcap file.
          "--rate 0.09", "--rate 1e-300", "--rate 1001", "--start-ms -1",
          "--start-ms 4294967295001", "--start-ms 4611686018427387903",
          "--start-ms 4294967294998 --rate 1000 --packets 4", "--rate 0.1 --packets 429496730",
          "--packets 9223372036854775807",
          // Site scenes go with a site file, which gives every radar's
          // addresses, port and mounting; a site's phases move the last
          // timestamp by up to a period less a millisecond.
          "--site x", "--scene junction", "--site x --scene road", "--site=",
          "--site x --scene junction --port 5000", "--site x --scene perimeter --host 127.0.0.1",
          "--site x --scene junction --source 127.0.0.2", "--site x --scene junction --tilt=-2",
          "--site x --scene junction --height 5",
          "--site x --scene junction --start-ms 4294967294952 --packets 1",
          "--site x --scene junction --start-ms 4294967294951 --packets 2",
          // Mounting errors are a site's; the truth's companion is an output.
          "--mounting-errors e", "--site x --scene junction --truth t --pcap t.mounting",
          "--site x --scene junction --truth t --mounting-errors t.mounting"}) {
        SimOptions o;
        EXPECT_EQ(parse(QString::fromLatin1(args).split(' '), o), ParseResult::Error) << args;
    }
    SimOptions o;
    EXPECT_EQ(parse({"--packets", "3", "--help"}, o), ParseResult::Help);
    for (const char* args : {"--site x --scene junction --start-ms 4294967294951 --packets 1",
                             "--site x --scene perimeter --rate 1000 --start-ms 4294967295000 "
                             "--packets 1 --false-alarms 3 --loss 0.1"}) {
        SimOptions site;
        EXPECT_EQ(parse(QString::fromLatin1(args).split(' '), site), ParseResult::Run) << args;
    }
}

ProgramRun radarsim(const QStringList& args)
{
    return runProgram(QStringLiteral(RADARSIM_PATH), args);
}

TEST(RadarsimProgram, BadOptionsPrintTheUsageAndExitWithTwo)
{
    for (const QStringList& args : QList<QStringList>{{"--bogus"}, {"--rate", "0"}, {"--port"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const ProgramRun r = radarsim(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("radarsim: "));
        EXPECT_TRUE(r.err.contains("Usage: radarsim"));
        EXPECT_TRUE(r.out.isEmpty());
    }
    const ProgramRun help = radarsim({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--max-datagram"));
}

TEST(RadarsimProgram, AFailedRunIsReportedOnOneLineAndWritesNoFile)
{
    QTemporaryDir dir;
    const QString kept = dir.filePath(QStringLiteral("kept"));   // exists before the run
    const QString fresh = dir.filePath(QStringLiteral("fresh")); // does not
    // A file that cannot be made, a folder, and one whose writes fail (a
    // full disk): the other output keeps its contents or is not made.
    for (const char* option : {"--pcap", "--truth"}) {
        const char* other = QLatin1String(option) == QLatin1String("--pcap") ? "--truth" : "--pcap";
        for (const QString& path :
             {QStringLiteral("/nonexistent/dir/x"), QStringLiteral("/dev/full"), dir.path()}) {
            for (const QString& otherPath : {kept, fresh}) {
                SCOPED_TRACE(QStringLiteral("%1 %2 %3 %4")
                                 .arg(option, path, other, otherPath)
                                 .toStdString());
                ASSERT_TRUE(writeFile(kept, "old\n"));
                const ProgramRun r =
                    radarsim({"--no-send", "--packets", "20", option, path, other, otherPath});
                EXPECT_EQ(r.exitCode, 1);
                EXPECT_EQ(r.err.count(path.toLocal8Bit()), 1) << r.err.toStdString();
                EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
                EXPECT_EQ(fileContents(kept), "old\n");
                EXPECT_FALSE(QFile::exists(fresh));
            }
        }
    }
}

TEST(RadarsimProgram, PcapAndTruthInOneFileAreRefused)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("one"));
    const QString fresh = dir.filePath(QStringLiteral("fresh"));
    ASSERT_TRUE(writeFile(file, "old\n"));
    ASSERT_TRUE(QFile::link(file, dir.filePath(QStringLiteral("link"))));
    ASSERT_EQ(::link(qPrintable(file), qPrintable(dir.filePath(QStringLiteral("hard")))), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));

    const struct
    {
        QString pcap;
        QString truth;
    } cases[] = {
        {file, file},
        {dir.filePath(QStringLiteral("sub/../one")), file},
        {dir.filePath(QStringLiteral("link")), file},
        {file, dir.filePath(QStringLiteral("hard"))},
        {fresh, dir.filePath(QStringLiteral("sub/../fresh"))},
        {QStringLiteral("-"), QStringLiteral("-")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("--pcap %1 --truth %2").arg(c.pcap, c.truth).toStdString());
        const ProgramRun r =
            radarsim({"--no-send", "--packets", "20", "--pcap", c.pcap, "--truth", c.truth});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("radarsim: --pcap ") &&
                    r.err.split('\n').value(0).contains("--truth"))
            << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(fileContents(file), "old\n");
        EXPECT_FALSE(QFile::exists(fresh));
    }
}

TEST(RadarsimProgram, StoppedByCtrlCKeepsWhatWasMade)
{
    QTemporaryDir dir;
    const QString pcap = dir.filePath(QStringLiteral("live.pcap"));
    const QString truth = dir.filePath(QStringLiteral("live.csv"));
    ASSERT_TRUE(writeFile(pcap, "old\n"));
    // Until stopped, to a port nobody listens on.
    QProcess p;
    p.start(QStringLiteral(RADARSIM_PATH),
            {"--quiet", "--port", "40123", "--rate", "50", "--pcap", pcap, "--truth", truth});
    ASSERT_TRUE(p.waitForStarted());
    QThread::msleep(1000);
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    constexpr int pcapFileHeaderBytes = 24;
    const QByteArray frames = fileContents(pcap);
    EXPECT_TRUE(frames.startsWith(QByteArray::fromHex("d4c3b2a1")));
    EXPECT_GT(frames.size(), pcapFileHeaderBytes);
    EXPECT_GT(fileContents(truth).count('\n'), 1);
}

TEST(RadarsimProgram, TheSameSeedWritesTheSameCaptureAndTruth)
{
    QTemporaryDir dir;
    // b's files are links, to an older file and to one not there yet:
    // written through, links kept.
    ASSERT_TRUE(writeFile(dir.filePath("b-target.pcap"), "old\n"));
    for (const QString suffix : {".pcap", ".csv"})
        ASSERT_TRUE(QFile::link("b-target" + suffix, dir.filePath("b" + suffix)));
    for (const char* name : {"a", "b", "c"}) {
        const ProgramRun r = radarsim({"--no-send", "--quiet", "--packets", "40", "--seed",
                                       name[0] == 'c' ? "4" : "3", "--pcap",
                                       dir.filePath(name + QStringLiteral(".pcap")), "--truth",
                                       dir.filePath(name + QStringLiteral(".csv"))});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << "--quiet";
    }
    const QByteArray a = fileContents(dir.filePath("a.pcap"));
    ASSERT_FALSE(a.isEmpty());
    EXPECT_EQ(a, fileContents(dir.filePath("b.pcap")));
    EXPECT_NE(a, fileContents(dir.filePath("c.pcap")));
    const QByteArray truth = fileContents(dir.filePath("a.csv"));
    EXPECT_EQ(truth, fileContents(dir.filePath("b.csv")));
    EXPECT_TRUE(truth.trimmed().split('\n').last().startsWith("39,1700000001950,"));
    for (const char* link : {"b.pcap", "b.csv"})
        EXPECT_TRUE(QFileInfo(dir.filePath(QLatin1String(link))).isSymLink()) << link;
    EXPECT_EQ(fileContents(dir.filePath("b-target.pcap")), a);
    EXPECT_EQ(fileContents(dir.filePath("b-target.csv")), truth);
}

} // namespace
} // namespace trklib::sim::test

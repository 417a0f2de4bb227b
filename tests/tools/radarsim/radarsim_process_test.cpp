// The radarsim program run as a child process, without sending: its command
// line and the files it writes.

#include "groundtruth.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>

#include <algorithm>

namespace trklib::sim::test {
namespace {

struct ProgramRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

ProgramRun radarsim(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(RADARSIM_PATH), args);
    ProgramRun r;
    if (!p.waitForFinished(30000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Frame sizes and time stamps (microseconds) of a capture.
void readCapture(const QString& path, QVector<int>& sizes, QVector<qint64>& timesUs)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(path.toLocal8Bit().constData(), errbuf);
    ASSERT_NE(in, nullptr) << errbuf;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(in, &header, &data) == 1) {
        sizes.append(int(header->caplen));
        timesUs.append(qint64(header->ts.tv_sec) * 1000000 + header->ts.tv_usec);
    }
    pcap_close(in);
}

TEST(RadarsimProgram, BadOptionsPrintTheUsageAndExitWithTwo)
{
    const QList<QStringList> bad{
        {"--bogus"},   {"--rate", "0"}, {"--scene", "harbour"}, {"--orientation", "2"},
        {"--no-send"}, {"--port"}};
    for (const QStringList& args : bad) {
        const ProgramRun r = radarsim(args);
        SCOPED_TRACE(args.join(' ').toStdString());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith(QLatin1String("radarsim: ")));
        EXPECT_TRUE(r.err.contains(QLatin1String("Usage: radarsim")));
        EXPECT_TRUE(r.out.isEmpty());
    }
    const ProgramRun help = radarsim({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QLatin1String("--max-datagram")));
}

TEST(RadarsimProgram, AnUnwritableOutputFileIsReportedOnOneLine)
{
    const ProgramRun r =
        radarsim({"--no-send", "--packets", "2", "--pcap", "/nonexistent/dir/x.pcap"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QLatin1String("/nonexistent/dir/x.pcap")));
    EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1);
}

TEST(RadarsimProgram, TheSameSeedWritesTheSameCaptureAndTruth)
{
    QTemporaryDir dir;
    auto write = [&](const QString& name, const QString& seed) {
        const ProgramRun r =
            radarsim({"--no-send", "--quiet", "--packets", "40", "--seed", seed, "--pcap",
                      dir.filePath(name + ".pcap"), "--truth", dir.filePath(name + ".csv")});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << "--quiet";
    };
    write("a", "3");
    write("b", "3");
    write("c", "4");
    const QByteArray a = contents(dir.filePath("a.pcap"));
    ASSERT_FALSE(a.isEmpty());
    EXPECT_EQ(a, contents(dir.filePath("b.pcap")));
    EXPECT_NE(a, contents(dir.filePath("c.pcap")));
    EXPECT_EQ(contents(dir.filePath("a.csv")), contents(dir.filePath("b.csv")));

    // One packet is 16 frames: the header, the amplitude block, four 4096-byte
    // blocks in three fragments each, the phase block in two. Without sending,
    // the frames carry the packets' own timestamps.
    QVector<int> sizes;
    QVector<qint64> timesUs;
    readCapture(dir.filePath("a.pcap"), sizes, timesUs);
    ASSERT_EQ(sizes.size(), 40 * 16);
    for (int k = 0; k < 40; ++k)
        EXPECT_EQ(timesUs[k * 16], (1700000000000 + k * 50) * 1000);
    EXPECT_EQ(*std::max_element(sizes.begin(), sizes.end()), 1514);

    const QVector<TruthRow> truth = readTruthCsv(dir.filePath("a.csv"));
    ASSERT_FALSE(truth.isEmpty());
    EXPECT_EQ(truth.last().packet, 39);
    EXPECT_EQ(truth.last().timestampMs, 1700000000000 + 39 * 50);
}

} // namespace
} // namespace trklib::sim::test

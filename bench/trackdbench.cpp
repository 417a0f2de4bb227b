// trackd_bench: trackd under the load of a site, on this host's loopback.
//
// Starts a mosquitto broker and trackd with eight radars (four sharing one
// port, told apart by sender, and the others on ports of their own), plays
// the radars itself at 20 packets per second each, and subscribes to the
// tracks and the statuses. Each packet's datagrams leave back to back; the
// time after the last one is the packet's completion (an upper bound of
// when trackd can have it), and the latency runs from there to the
// subscriber's receipt. Prints the radars online before the first packet,
// trackd's CPU time, memory and open files, the latencies (p50, p99, max)
// and the packets whose tracks never arrived.
//
// Past eight radars, radar r replays the packets of radar r % 8 (its own
// source address, port and timestamps in the messages' topics): the load
// of a thousand radars without a thousand simulations in memory.
//
// --ports N spreads the radars over N ports instead, told apart by sender.
//
//   trackd_bench [--seconds N] [--radars N] [--rate PACKETS_PER_SECOND] [--ports N]

#include "processfigures.h"
#include "simoptions.h"
#include "simulator.h"
#include "support/mosquittobroker.h"
#include "support/mqttsubscriber.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace trklib;
using Clock = std::chrono::steady_clock;

namespace {

using bench::cpuSeconds;
using bench::percentile;
using bench::procStatus;

constexpr double siteRatePps = 20.0;   // a radar's own rate
constexpr double largeSiteRatePps = 1; // past largeSite radars: all a 2-core host runs
constexpr int largeSite = 200;
constexpr int maxRadars = 5000;
constexpr int sharingRadars = 4; // the first four share one port
constexpr int simulations = 8;   // the others replay these
constexpr int waitMs = 15000;
constexpr int onlineWaitMs = 60000; // for every radar's first status

struct Packet
{
    qint64 timestampMs = 0;
    QVector<QByteArray> datagrams;
};

struct Radar
{
    QString name;
    QString source; // 127.0.x.y
    quint16 port = 0;
    const QVector<Packet>* packets = nullptr;
    int socket = -1;
    sockaddr_in destination{};
};

// A UDP port free on every interface, not handed out before.
quint16 freeUdpPort()
{
    static QSet<quint16> handedOut;
    for (;;) {
        const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        socklen_t length = sizeof any;
        ::bind(fd, reinterpret_cast<sockaddr*>(&any), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length);
        ::close(fd);
        const quint16 port = ntohs(any.sin6_port);
        if (!handedOut.contains(port)) {
            handedOut.insert(port);
            return port;
        }
    }
}

int openFiles(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot).size());
}

// The radars whose last status says online.
int radarsOnline(const test::MqttSubscriber& statuses)
{
    QHash<QByteArray, bool> online;
    for (const test::MqttSubscriber::Message& m : statuses.messages())
        online[m.topic] = m.payload.contains("\"online\":true");
    return int(std::count(online.begin(), online.end(), true));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 60;
    int radarCount = 8;
    double ratePps = 0.0; // by the number of radars
    int portCount = 0;    // 0: the first four radars share one, the others have their own
    const QStringList arguments = app.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--seconds"))
            seconds = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--radars"))
            radarCount = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--rate"))
            ratePps = arguments[i + 1].toDouble();
        else if (arguments[i] == QLatin1String("--ports"))
            portCount = arguments[i + 1].toInt();
    }
    if (ratePps == 0.0)
        ratePps = radarCount > largeSite ? largeSiteRatePps : siteRatePps;
    if (seconds < 1 || radarCount < 1 || radarCount > maxRadars || !(ratePps > 0.0) ||
        ratePps > 1000.0 || portCount < 0 || portCount > radarCount) {
        std::fprintf(stderr,
                     "usage: trackd_bench [--seconds N] [--radars 1..%d] [--rate "
                     "PACKETS_PER_SECOND (20, or 1 past %d radars)] [--ports N]\n",
                     maxRadars, largeSite);
        return 2;
    }
    const int packetCount = std::max(1, int(seconds * ratePps));

    // The broker takes a descriptor per radar, trackd three: both start
    // from this process's limit, raised to the hard one (this process
    // holds a socket per radar too).
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    QTemporaryDir dir;
    // Without set_tcp_nodelay the broker holds small messages back until
    // the subscriber acknowledges the previous ones (Nagle's algorithm
    // against delayed acks): up to 40 ms more on loopback.
    test::MosquittoBroker broker(dir.path(), QStringLiteral("broker"),
                                 QStringLiteral("set_tcp_nodelay true\nmax_connections -1\n"));
    if (!broker.start()) {
        std::fprintf(stderr, "trackd_bench: mosquitto did not start: %s\n",
                     broker.log().constData());
        return 1;
    }
    // Before the radars' sockets: libmosquitto's own loop (select) takes
    // descriptors below 1024 only.
    test::MqttSubscriber subscriber(broker.port(), "trklib/bench/+/tracks");
    test::MqttSubscriber statuses(broker.port(), "trklib/bench/+/status");
    subscriber.waitSubscribed(waitMs);
    statuses.waitSubscribed(waitMs);

    std::printf("Simulating %d radars for %d s...\n", std::min(radarCount, simulations), seconds);
    const QStringList scenes = sim::Scene::names();
    std::vector<QVector<Packet>> simulated(std::size_t(std::min(radarCount, simulations)));
    for (std::size_t s = 0; s < simulated.size(); ++s) {
        sim::SimOptions options;
        options.scene = scenes[int(s) % scenes.size()];
        options.seed = quint64(s + 1);
        options.falseAlarms = 8;
        sim::Simulator simulator(options);
        for (int k = 0; k < packetCount; ++k) {
            const sim::SimulatedPacket p = simulator.packet(k);
            simulated[s].append({p.timestampMs, p.datagrams});
        }
    }
    const quint16 sharedPort = freeUdpPort();
    QVector<quint16> ports;
    for (int i = 0; i < portCount; ++i)
        ports.append(freeUdpPort());
    std::vector<Radar> radars{std::size_t(radarCount)};
    for (int r = 0; r < radarCount; ++r) {
        Radar& radar = radars[std::size_t(r)];
        radar.name = QStringLiteral("r%1").arg(r);
        radar.source = QStringLiteral("127.0.%1.%2").arg(r / 250).arg(2 + r % 250);
        radar.port = portCount > 0       ? ports[r % portCount]
                     : r < sharingRadars ? sharedPort
                                         : freeUdpPort();
        radar.packets = &simulated[std::size_t(r) % simulated.size()];
    }

    QString config =
        QStringLiteral("[site]\nname = bench\n[broker]\nport = %1\nclient_id = bench\n")
            .arg(broker.port());
    for (const Radar& radar : radars)
        config += QStringLiteral("[radar.%1]\nport = %2\nradar_address = %3\nheight = 5\n")
                      .arg(radar.name)
                      .arg(radar.port)
                      .arg(radar.source);
    const QString configPath = QDir(dir.path()).filePath(QStringLiteral("trackd.conf"));
    QFile file(configPath);
    file.open(QIODevice::WriteOnly);
    file.write(config.toUtf8());
    file.close();

    QProcess trackd;
    const QString logPath = QDir(dir.path()).filePath(QStringLiteral("trackd.log"));
    trackd.setStandardErrorFile(logPath);
    const Clock::time_point started = Clock::now();
    trackd.start(QStringLiteral(TRACKD_PATH), {QStringLiteral("--config"), configPath});
    trackd.waitForStarted();
    int online = 0;
    for (int waited = 0; waited < onlineWaitMs && online < radarCount; waited += 100) {
        QThread::msleep(100);
        online = radarsOnline(statuses);
    }
    const double onlineAfter = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%d of %d radars online after %.1f s\n", online, radarCount, onlineAfter);
    if (trackd.state() != QProcess::Running) {
        QFile log(logPath);
        log.open(QIODevice::ReadOnly);
        std::fprintf(stderr, "trackd_bench: trackd ended: %s\n", log.readAll().constData());
        return 1;
    }
    // The radars' own sockets, from ports the system hands out now that
    // trackd holds its own.
    for (Radar& radar : radars) {
        radar.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, radar.source.toLatin1().constData(), &from.sin_addr);
        ::bind(radar.socket, reinterpret_cast<sockaddr*>(&from), sizeof from);
        radar.destination.sin_family = AF_INET;
        radar.destination.sin_port = htons(radar.port);
        radar.destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    // Packets of radar r leave at start + k * 50 ms + r * 50 ms / radars:
    // independent radars, spread over the period.
    std::printf("Sending %d packets...\n", radarCount * packetCount);
    const double cpuBefore = cpuSeconds(trackd.processId());
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(100);
    QHash<QPair<int, qint64>, Clock::time_point> completed; // (radar, timestamp) -> sent
    completed.reserve(radarCount * packetCount);
    const std::chrono::microseconds period(qint64(1e6 / ratePps));
    const qint64 logBefore = QFileInfo(logPath).size();
    for (int k = 0; k < packetCount; ++k) {
        for (int r = 0; r < radarCount; ++r) {
            std::this_thread::sleep_until(start + period * k + period * r / radarCount);
            const Radar& radar = radars[std::size_t(r)];
            const Packet& p = (*radar.packets)[k];
            for (const QByteArray& d : p.datagrams)
                ::sendto(radar.socket, d.constData(), std::size_t(d.size()), 0,
                         reinterpret_cast<const sockaddr*>(&radar.destination),
                         sizeof radar.destination);
            completed.insert(qMakePair(r, p.timestampMs), Clock::now());
        }
    }
    // The last messages arrive within milliseconds; a second is plenty.
    QThread::sleep(1);
    const double cpuAfter = cpuSeconds(trackd.processId());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const qint64 rssKb = procStatus(trackd.processId(), "VmRSS");
    const qint64 threads = procStatus(trackd.processId(), "Threads");
    const int files = openFiles(trackd.processId());
    QFile log(logPath);
    log.open(QIODevice::ReadOnly);
    log.seek(logBefore);
    const int logLines = log.readAll().count('\n');
    trackd.terminate();
    trackd.waitForFinished();

    std::vector<double> latenciesMs;
    int unmatched = 0;
    for (const test::MqttSubscriber::Message& m : subscriber.messages()) {
        const int radar = m.topic.split('/').value(2).mid(1).toInt();
        const qint64 timestamp = qint64(
            QJsonDocument::fromJson(m.payload).object()[QLatin1String("timestamp")].toDouble());
        const auto sent = completed.constFind(qMakePair(radar, timestamp));
        if (sent == completed.constEnd()) {
            ++unmatched;
            continue;
        }
        latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(m.received - *sent).count());
    }
    const int sentPackets = radarCount * packetCount;
    std::printf("\n%d radars x %.0f packets/s for %d s (%d packets), on loopback:\n", radarCount,
                ratePps, seconds, sentPackets);
    std::printf("  radars online before the first packet %d of %d (after %.1f s)\n", online,
                radarCount, onlineAfter);
    std::printf("  trackd CPU time       %.2f s in %.1f s = %.1f %% of one core\n",
                cpuAfter - cpuBefore, elapsed, 100.0 * (cpuAfter - cpuBefore) / elapsed);
    std::printf("  trackd memory (RSS) %.1f MB, %lld threads, %d open files; %d log lines "
                "while sending\n",
                double(rssKb) / 1024.0, threads, files, logLines);
    std::printf("  latency, packet complete to subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                percentile(latenciesMs, 0.5), percentile(latenciesMs, 0.99),
                latenciesMs.empty() ? 0.0
                                    : *std::max_element(latenciesMs.begin(), latenciesMs.end()));
    std::printf("  tracks messages received %zu, lost %d, unmatched %d\n", latenciesMs.size(),
                sentPackets - int(latenciesMs.size()), unmatched);
    return 0;
}

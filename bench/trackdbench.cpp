// trackd_bench: trackd under the load of a site, on this host's loopback.
//
// Starts a mosquitto broker and trackd with eight radars (four sharing one
// port, told apart by sender, and four on ports of their own), plays the
// radars itself at 20 packets per second each, and subscribes to the
// tracks. Each packet's datagrams leave back to back; the time after the
// last one is the packet's completion (an upper bound of when trackd can
// have it), and the latency runs from there to the subscriber's receipt.
// Prints trackd's CPU time, the latencies (p50, p99, max) and the packets
// whose tracks never arrived.
//
//   trackd_bench [--seconds N] [--radars N]

#include "simoptions.h"
#include "simulator.h"
#include "support/mosquittobroker.h"
#include "support/mqttsubscriber.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
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
#include <sys/socket.h>
#include <unistd.h>

using namespace trklib;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double ratePps = 20.0;
constexpr int sharingRadars = 4; // the first four share one port
constexpr int waitMs = 15000;

struct Radar
{
    QString name;
    QString source; // 127.0.0.x
    quint16 port = 0;
    QVector<sim::SimulatedPacket> packets;
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

// trackd's user and system CPU time so far, seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0.0;
    // After the command's closing parenthesis: fields 3 on; utime and
    // stime are fields 14 and 15.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 60;
    int radarCount = 8;
    const QStringList arguments = app.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--seconds"))
            seconds = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--radars"))
            radarCount = arguments[i + 1].toInt();
    }
    if (seconds < 1 || radarCount < 1 || radarCount > 200) {
        std::fprintf(stderr, "usage: trackd_bench [--seconds N] [--radars 1..200]\n");
        return 2;
    }
    const int packetCount = int(seconds * ratePps);

    std::printf("Simulating %d radars for %d s...\n", radarCount, seconds);
    const QStringList scenes = sim::Scene::names();
    const quint16 sharedPort = freeUdpPort();
    std::vector<Radar> radars{std::size_t(radarCount)};
    for (int r = 0; r < radarCount; ++r) {
        Radar& radar = radars[std::size_t(r)];
        radar.name = QStringLiteral("r%1").arg(r);
        radar.source = QStringLiteral("127.0.%1.%2").arg(r / 250).arg(2 + r % 250);
        radar.port = r < sharingRadars ? sharedPort : freeUdpPort();
        sim::SimOptions options;
        options.scene = scenes[r % scenes.size()];
        options.seed = quint64(r + 1);
        options.falseAlarms = 8;
        sim::Simulator simulator(options);
        for (int k = 0; k < packetCount; ++k)
            radar.packets.append(simulator.packet(k));
        radar.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, radar.source.toLatin1().constData(), &from.sin_addr);
        ::bind(radar.socket, reinterpret_cast<sockaddr*>(&from), sizeof from);
        radar.destination.sin_family = AF_INET;
        radar.destination.sin_port = htons(radar.port);
        radar.destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    QTemporaryDir dir;
    // Without set_tcp_nodelay the broker holds small messages back until
    // the subscriber acknowledges the previous ones (Nagle's algorithm
    // against delayed acks): up to 40 ms more on loopback.
    test::MosquittoBroker broker(dir.path(), QStringLiteral("broker"),
                                 QStringLiteral("set_tcp_nodelay true\n"));
    if (!broker.start()) {
        std::fprintf(stderr, "trackd_bench: mosquitto did not start: %s\n",
                     broker.log().constData());
        return 1;
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

    test::MqttSubscriber subscriber(broker.port(), "trklib/bench/+/tracks");
    subscriber.waitSubscribed(waitMs);
    QProcess trackd;
    trackd.setStandardErrorFile(QDir(dir.path()).filePath(QStringLiteral("trackd.log")));
    trackd.start(QStringLiteral(TRACKD_PATH), {QStringLiteral("--config"), configPath});
    trackd.waitForStarted();
    QThread::sleep(1); // connected to the broker

    // Packets of radar r leave at start + k * 50 ms + r * 50 ms / radars:
    // independent radars, spread over the period.
    std::printf("Sending %d packets...\n", radarCount * packetCount);
    const double cpuBefore = cpuSeconds(trackd.processId());
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(100);
    QHash<QPair<int, qint64>, Clock::time_point> completed; // (radar, timestamp) -> sent
    completed.reserve(radarCount * packetCount);
    const std::chrono::microseconds period(qint64(1e6 / ratePps));
    for (int k = 0; k < packetCount; ++k) {
        for (int r = 0; r < radarCount; ++r) {
            std::this_thread::sleep_until(start + period * k + period * r / radarCount);
            const Radar& radar = radars[std::size_t(r)];
            const sim::SimulatedPacket& p = radar.packets[k];
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
    std::printf("  trackd CPU time       %.2f s in %.1f s = %.1f %% of one core\n",
                cpuAfter - cpuBefore, elapsed, 100.0 * (cpuAfter - cpuBefore) / elapsed);
    std::printf("  latency, packet complete to subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                percentile(latenciesMs, 0.5), percentile(latenciesMs, 0.99),
                latenciesMs.empty() ? 0.0
                                    : *std::max_element(latenciesMs.begin(), latenciesMs.end()));
    std::printf("  tracks messages received %zu, lost %d, unmatched %d\n", latenciesMs.size(),
                sentPackets - int(latenciesMs.size()), unmatched);
    return 0;
}

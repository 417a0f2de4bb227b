// sited_bench: sited under the load of a large site, on this host's loopback.
//
// Starts a mosquitto broker and sited with 16 radars, plays trackd itself:
// every radar publishes a tracks message of 50 targets 20 times a second
// (radars in pairs at right angles, each pair seeing the same 50 moving
// objects, so that fusion joins two radar tracks into every object), and
// subscribes to the site's pictures. Prints sited's CPU time per second of
// load, its memory, the pictures received, the objects in them, and the
// picture latency: from a picture's time (sited's clock when it made the
// picture) to the subscriber's receipt (p50, p99, max); both clocks are
// this host's.
//
//   sited_bench [--seconds N] [--radars N (even)] [--targets N] [--rate MESSAGES_PER_SECOND]

#include "processfigures.h"
#include "support/mosquittobroker.h"
#include "support/mqttsubscriber.h"
#include "util/units.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using bench::cpuSeconds;
using bench::percentile;
using bench::procStatus;

using Clock = std::chrono::steady_clock;

constexpr double radarHeightM = 5.0;
constexpr double pairSpacingM = 400.0;  // between the groups of objects
constexpr double radarStandoffM = 80.0; // from its group's centre
constexpr double groupRadiusM = 40.0;   // where a group's objects start
using trklib::util::kphPerMps;
constexpr double noiseM = 0.3;
constexpr int waitMs = 15000;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Object
{
    double x, y, vx, vy; // metres, m/s
};

struct Radar
{
    QString name;
    double x, y, headingDeg;
    int group;
};

// One radar's tracks message at time t (ms), as trackd writes it.
QByteArray tracksMessage(const Radar& radar, const std::vector<Object>& objects, int first,
                         int count, qint64 t, std::mt19937_64& random)
{
    std::normal_distribution<double> noise(0.0, noiseM);
    QByteArray out = "{\"site\":\"bench\",\"radar\":\"" + radar.name.toUtf8() +
                     "\",\"timestamp\":" + QByteArray::number(t) +
                     ",\"received\":" + QByteArray::number(t) + ",\"targets\":[";
    for (int i = 0; i < count; ++i) {
        const Object& o = objects[std::size_t(first + i)];
        const double dx = o.x - radar.x, dy = o.y - radar.y;
        const double ground = std::hypot(dx, dy);
        const double slant = std::hypot(ground, radarHeightM);
        const double radialKph = (o.vx * dx + o.vy * dy) / ground * (ground / slant) * kphPerMps;
        if (i > 0)
            out += ',';
        out += "{\"number\":" + QByteArray::number(i + 1) +
               ",\"elevation\":0,\"azimuth\":0,\"distance\":" + QByteArray::number(slant, 'g', 10) +
               ",\"velocity\":" + QByteArray::number(radialKph, 'g', 10) +
               ",\"confirmed\":true,\"x\":" + QByteArray::number(o.x + noise(random), 'g', 10) +
               ",\"y\":" + QByteArray::number(o.y + noise(random), 'g', 10) + "}";
    }
    out += "]}";
    return out;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 30;
    int radarCount = 16;
    int targets = 50;
    double ratePps = 20.0;
    const QStringList arguments = app.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--seconds"))
            seconds = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--radars"))
            radarCount = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--targets"))
            targets = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--rate"))
            ratePps = arguments[i + 1].toDouble();
    }
    if (seconds < 1 || radarCount < 2 || radarCount % 2 != 0 || radarCount > 1000 || targets < 1 ||
        targets > 255 || !(ratePps > 0.0) || ratePps > 100.0) {
        std::fprintf(stderr, "usage: sited_bench [--seconds N] [--radars 2..1000, even] "
                             "[--targets 1..255] [--rate MESSAGES_PER_SECOND (0-100]]\n");
        return 2;
    }

    QTemporaryDir dir;
    trklib::test::MosquittoBroker broker(dir.path(), QStringLiteral("broker"),
                                         QStringLiteral("set_tcp_nodelay true\n"));
    if (!broker.start()) {
        std::fprintf(stderr, "sited_bench: mosquitto did not start: %s\n",
                     broker.log().constData());
        return 1;
    }
    trklib::test::MqttSubscriber pictures(broker.port(), "trklib/bench/site/tracks");
    pictures.waitSubscribed(waitMs);

    // Pairs of radars: one south of its group looking north, one west of it
    // looking east.
    std::vector<Radar> radars;
    const int groups = radarCount / 2;
    QString config = QStringLiteral("[site]\nname = bench\n[broker]\nport = %1\nclient_id = "
                                    "bench\n")
                         .arg(broker.port());
    for (int g = 0; g < groups; ++g) {
        const double cx = pairSpacingM * (g % 4), cy = pairSpacingM * (g / 4);
        radars.push_back({QStringLiteral("s%1").arg(g), cx, cy - radarStandoffM, 0.0, g});
        radars.push_back({QStringLiteral("w%1").arg(g), cx - radarStandoffM, cy, 90.0, g});
    }
    for (const Radar& r : radars)
        config += QStringLiteral("[radar.%1]\nport = %2\nheight = %3\nx = %4\ny = %5\n"
                                 "heading = %6\n")
                      .arg(r.name)
                      .arg(40000 + (&r - radars.data()))
                      .arg(radarHeightM)
                      .arg(r.x)
                      .arg(r.y)
                      .arg(r.headingDeg);
    const QString configPath = QDir(dir.path()).filePath(QStringLiteral("site.conf"));
    QFile file(configPath);
    file.open(QIODevice::WriteOnly);
    file.write(config.toUtf8());
    file.close();

    QProcess sited;
    const QString logPath = QDir(dir.path()).filePath(QStringLiteral("sited.log"));
    sited.setStandardErrorFile(logPath);
    sited.start(QStringLiteral(SITED_PATH), {QStringLiteral("--config"), configPath});
    if (!sited.waitForStarted() ||
        !pictures.waitFor([](const auto& m) { return !m.isEmpty(); }, waitMs)) {
        std::fprintf(stderr, "sited_bench: no picture from sited\n");
        return 1;
    }

    mosquitto_lib_init();
    mosquitto* publisher = mosquitto_new("sited-bench-radars", true, nullptr);
    mosquitto_int_option(publisher, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect(publisher, "127.0.0.1", broker.port(), 10);
    mosquitto_loop_start(publisher);

    // Objects of a group walk and drive about its centre at 1 to 15 m/s.
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<Object> objects;
    for (int g = 0; g < groups; ++g) {
        const double cx = pairSpacingM * (g % 4), cy = pairSpacingM * (g / 4);
        for (int i = 0; i < targets; ++i) {
            const double speed = 1.0 + 7.0 * (unit(random) + 1.0);
            const double angle = M_PI * unit(random);
            objects.push_back({cx + groupRadiusM * unit(random), cy + groupRadiusM * unit(random),
                               speed * std::cos(angle), speed * std::sin(angle)});
        }
    }

    std::printf("Publishing %d radars x %d targets at %.0f messages/s for %d s...\n", radarCount,
                targets, ratePps, seconds);
    const std::size_t picturesBefore = pictures.messages().size();
    const double cpuBefore = cpuSeconds(sited.processId());
    const Clock::time_point start = Clock::now();
    const std::chrono::microseconds period(qint64(1e6 / ratePps));
    const int steps = int(seconds * ratePps);
    for (int k = 0; k < steps; ++k) {
        for (int r = 0; r < radarCount; ++r) {
            std::this_thread::sleep_until(start + period * k + period * r / radarCount);
            const Radar& radar = radars[std::size_t(r)];
            const QByteArray payload =
                tracksMessage(radar, objects, radar.group * targets, targets, nowMs(), random);
            const QByteArray topic = "trklib/bench/" + radar.name.toUtf8() + "/tracks";
            mosquitto_publish(publisher, nullptr, topic.constData(), payload.size(),
                              payload.constData(), 0, false);
        }
        // Straight on: the radars are played, not simulated, so every
        // object stays in both radars' view.
        const double dt = 1.0 / ratePps;
        for (Object& o : objects) {
            o.x += o.vx * dt;
            o.y += o.vy * dt;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds(sited.processId()) - cpuBefore;
    const qint64 rssKb = procStatus(sited.processId(), "VmRSS");
    sited.terminate();
    sited.waitForFinished();
    mosquitto_disconnect(publisher);
    mosquitto_loop_stop(publisher, false);
    mosquitto_destroy(publisher);

    std::vector<double> latencies;
    std::vector<double> objectCounts;
    const QVector<trklib::test::MqttSubscriber::Message> all = pictures.messages();
    const auto receivedMs = [&](const trklib::test::MqttSubscriber::Message& m) {
        // The subscriber stamps with the steady clock; the wall clock of
        // now, less how long ago that was.
        return double(nowMs()) -
               std::chrono::duration<double, std::milli>(Clock::now() - m.received).count();
    };
    for (std::size_t i = picturesBefore; i < std::size_t(all.size()); ++i) {
        const QJsonObject picture = QJsonDocument::fromJson(all[int(i)].payload).object();
        latencies.push_back(receivedMs(all[int(i)]) - picture[QLatin1String("time")].toDouble());
        objectCounts.push_back(picture[QLatin1String("objects")].toArray().size());
    }
    std::printf("\n%d radars x %d targets x %.0f messages/s for %.1f s, on loopback:\n", radarCount,
                targets, ratePps, elapsed);
    std::printf("  sited CPU time   %.2f s = %.1f %% of one core; memory (RSS) %.1f MB\n", cpu,
                100.0 * cpu / elapsed, double(rssKb) / 1024.0);
    std::printf("  pictures         %zu (%.1f per second), objects per picture p50 %.0f "
                "(%d moving objects)\n",
                latencies.size(), double(latencies.size()) / elapsed, percentile(objectCounts, 0.5),
                groups * targets);
    std::printf("  picture latency, its time to the subscriber: p50 %.2f ms, p99 %.2f ms, "
                "max %.2f ms\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99),
                latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
    return 0;
}

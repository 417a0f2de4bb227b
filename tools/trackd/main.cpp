// trackd: tracks the radars of a site and publishes their tracks and status
// over MQTT, as configured by one file.

#include "asterixout.h"
#include "brokerlink.h"
#include "eventlog.h"
#include "messages.h"
#include "radarmetrics.h"
#include "reception.h"
#include "statusschedule.h"

#include "tools/common/cli/prologue.h"
#include "tools/common/cli/text.h"
#include "tools/common/service/stopsignals.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"
#include "util/units.h"

#include <mosquitto.h>
#include <prometheus/exposer.h>

#include <QStringList>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace trklib::site;
using namespace trklib::trackd;
using trklib::cli::Ask;
using trklib::cli::counted;
using trklib::service::blockStopSignals;
using trklib::util::usPerS;

namespace {

constexpr int exitFailure = 1; // the service could not run
constexpr int exitUsage = 2;   // a bad command line or configuration
// How long leaving waits for the broker to take the offline status.
constexpr std::chrono::seconds offlineWait{2};

const char usage[] = "Usage: trackd --config FILE\n"
                     "   or: trackd --check-config FILE\n"
                     "Tracks the radars of a site and publishes their tracks and status over "
                     "MQTT.\n"
                     "\n"
                     "  --config FILE        run as FILE configures the site, until SIGTERM "
                     "or SIGINT\n"
                     "  --check-config FILE  check FILE and exit: 0 when good, 2 with the "
                     "reason\n"
                     "  --help               show this text\n"
                     "  --version            show the version\n";

// --help or --version alone, or one of --config and --check-config with
// its file; anything else is an error, and why.
Ask readCommandLine(const QStringList& arguments, QString& error)
{
    if (arguments == QStringList{QStringLiteral("--help")})
        return Ask::Help;
    if (arguments == QStringList{QStringLiteral("--version")})
        return Ask::Version;
    if (arguments.size() != 2 || (arguments[0] != QLatin1String("--check-config") &&
                                  arguments[0] != QLatin1String("--config"))) {
        error = arguments.isEmpty()
                    ? QStringLiteral("--config FILE is needed")
                    : QStringLiteral("bad command line: %1").arg(arguments.join(' '));
        return Ask::Error;
    }
    return Ask::Run;
}

// Open files each radar takes: its broker connection, and the socket pair
// by which libmosquitto wakes a loop of its own (made with every client,
// though unused here). The radar sockets come on top, and those of the
// process itself (standard streams, signals, wakes, certificates).
constexpr rlim_t filesPerRadar = 3;
constexpr rlim_t filesOfTheProcess = 64;

// Raises the soft limit of open files to the hard one, so that a thousand
// radars fit under a default soft limit of 1024; says so when the hard one
// is still too low for the site.
void raiseOpenFileLimit(int radars, int sockets)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t needed = filesPerRadar * rlim_t(radars) + rlim_t(sockets) + filesOfTheProcess;
    if (limit.rlim_cur < needed)
        logEvent(Priority::Warning,
                 QStringLiteral("open files: the limit is %1, too low for %2 (about %3 are "
                                "needed); radars past it cannot reach the broker: raise "
                                "LimitNOFILE or ulimit -n")
                     .arg(qulonglong(limit.rlim_cur))
                     .arg(counted(radars, "radar"))
                     .arg(qulonglong(needed)));
}

// A radar's counters: its reception's and its ASTERIX output's.
RadarStatus radarStatus(const Reception& reception, const AsterixOut* asterix, int radar)
{
    RadarStatus status = reception.status(radar);
    if (asterix) {
        status.asterixClamped = asterix->clamped(radar);
        status.outputDropped = asterix->dropped(radar);
    }
    return status;
}

// Publishes every radar's status when due until a stop signal arrives;
// returns its name.
const char* publishStatusUntilStopped(int signalFd, const Reception& reception,
                                      const AsterixOut* asterix,
                                      std::vector<std::unique_ptr<BrokerLink>>& links,
                                      const std::vector<QByteArray>& places)
{
    std::vector<StatusSchedule> schedules(links.size());
    pollfd wait{signalFd, POLLIN, 0};
    for (;;) {
        if (::poll(&wait, 1, int(StatusSchedule::tick.count())) > 0) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == sizeof info)
                return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
        }
        const StatusSchedule::Clock::time_point now = StatusSchedule::Clock::now();
        for (std::size_t i = 0; i < links.size(); ++i) {
            RadarStatus status = radarStatus(reception, asterix, int(i));
            if (schedules[i].update(status, now, links[i]->takeConnected()) &&
                links[i]->publishStatus(statusMessage(status, places[i])))
                schedules[i].published(status, now);
        }
    }
}

int run(const QString& path, const SiteConfig& site)
{
    const int signalFd = blockStopSignals();
    if (signalFd < 0) {
        logEvent(Priority::Error, QStringLiteral("cannot take signals: %1")
                                      .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return exitFailure;
    }
    Reception reception(site.radars);
    // Before the sockets are opened: a thousand radars of their own need
    // more than the usual soft limit for their sockets alone.
    raiseOpenFileLimit(site.radars.size(), reception.socketCount());
    QString error;
    if (!reception.bind(error)) {
        logEvent(Priority::Error, QStringLiteral("%1:%2").arg(path, error));
        return exitUsage;
    }

    mosquitto_lib_init();
    // The network's thread serves every link; it ends after them.
    BrokerNetwork network;
    if (!network.valid()) {
        logEvent(Priority::Error, QStringLiteral("cannot watch the broker connections: %1")
                                      .arg(QString::fromLocal8Bit(std::strerror(errno))));
        mosquitto_lib_cleanup();
        return exitFailure;
    }
    // With an origin, every place and target says where it lies on Earth too.
    const std::optional<GeoReference> geo =
        site.origin ? std::make_optional<GeoReference>(*site.origin) : std::nullopt;
    const GeoReference* const geoOrNone = geo ? &*geo : nullptr;
    std::vector<std::unique_ptr<BrokerLink>> links;
    std::vector<QByteArray> places; // every status says where its radar stands
    for (const RadarEntry& radar : site.radars) {
        places.push_back(placeFields(radar.mounting, radar.placement, geoOrNone));
        links.push_back(std::make_unique<BrokerLink>(
            network, site.broker, radar.name, site.topic(radar, "tracks"),
            site.topic(radar, "status"), offlineMessage(places.back())));
        if (!links.back()->start(error)) {
            logEvent(Priority::Error, QStringLiteral("%1: %2").arg(path, error));
            links.clear();
            network.stop();
            mosquitto_lib_cleanup();
            return exitUsage;
        }
    }
    logEvent(Priority::Info, QStringLiteral("site %1: %2 on %3, publishing to %4:%5 under %6/%1")
                                 .arg(site.name)
                                 .arg(counted(site.radars.size(), "radar"))
                                 .arg(counted(reception.socketCount(), "socket"))
                                 .arg(site.broker.host)
                                 .arg(site.broker.port)
                                 .arg(site.prefix));

    // ASTERIX: the confirmed targets of every packet, when configured.
    std::unique_ptr<AsterixOut> asterix;
    if (site.asterix.cat010.isSet()) {
        asterix = std::make_unique<AsterixOut>(site, geoOrNone);
        if (!asterix->open(error)) {
            logEvent(Priority::Error, QStringLiteral("%1: %2").arg(path, error));
            links.clear();
            network.stop();
            mosquitto_lib_cleanup();
            return exitFailure;
        }
        logEvent(Priority::Info, QStringLiteral("ASTERIX category 010 to %1 as SAC %2")
                                     .arg(site.asterix.cat010.toString())
                                     .arg(site.asterix.sac));
    }

    // The figures for monitoring on [trackd] metrics_listen, when given.
    std::unique_ptr<RadarMetrics> metrics;
    std::unique_ptr<prometheus::Exposer> exposer;
    if (site.trackd.metricsListen.isSet()) {
        metrics = std::make_unique<RadarMetrics>(
            site.radars, [&](int radar) { return radarStatus(reception, asterix.get(), radar); });
        exposer = metrics->serve(site.trackd.metricsListen, error);
        if (!exposer) {
            logEvent(Priority::Error, QStringLiteral("%1: %2").arg(path, error));
            links.clear();
            network.stop();
            mosquitto_lib_cleanup();
            return exitUsage;
        }
        logEvent(Priority::Info, QStringLiteral("metrics on http://%1/metrics")
                                     .arg(site.trackd.metricsListen.toString()));
    }

    reception.start([&](int radar, std::int64_t timestampMs, std::int64_t receivedMs,
                        std::int64_t readUs, const QVector<trklib::TargetData>& targets,
                        const QVector<trklib::TargetReflectivity>& reflectivity) {
        const RadarEntry& entry = site.radars[radar];
        links[std::size_t(radar)]->publishTracks(
            tracksMessage(site.name, entry.name, timestampMs, receivedMs, targets, reflectivity,
                          entry.mounting, entry.placement, geoOrNone));
        if (metrics)
            metrics->packetPublished(radar, double(Reception::steadyUs() - readUs) / usPerS);
        if (asterix)
            asterix->send(radar, receivedMs, targets);
    });
    const char* signalName =
        publishStatusUntilStopped(signalFd, reception, asterix.get(), links, places);
    logEvent(Priority::Info, QStringLiteral("%1: stopping").arg(QLatin1String(signalName)));

    reception.stop();
    // Every radar goes offline at once; then each link waits for its ack.
    for (const std::unique_ptr<BrokerLink>& link : links)
        link->beginStop();
    const auto deadline = std::chrono::steady_clock::now() + offlineWait;
    for (const std::unique_ptr<BrokerLink>& link : links)
        link->finishStop(deadline);
    links.clear();
    network.stop();
    mosquitto_lib_cleanup();
    ::close(signalFd);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const QStringList arguments = trklib::cli::commandLine(argc, argv);
    QString error;
    const auto usageText = [] { return QString::fromUtf8(usage); };
    if (const std::optional<int> exitCode = trklib::cli::answer(
            readCommandLine(arguments, error), {"trackd", usageText, usageText}, error))
        return *exitCode;

    const bool check = arguments[0] == QLatin1String("--check-config");
    const QString& path = arguments[1];
    SiteConfig site;
    if (!loadSiteConfig(path, site, error)) {
        logEvent(Priority::Error, error);
        return exitUsage;
    }
    for (const QString& warning : qAsConst(site.warnings))
        logEvent(Priority::Warning, warning);
    if (check) {
        std::printf("trackd: %s: site %s, %s, broker %s:%d\n", qUtf8Printable(path),
                    qUtf8Printable(site.name), qUtf8Printable(counted(site.radars.size(), "radar")),
                    qUtf8Printable(site.broker.host), int(site.broker.port));
        return 0;
    }
    return run(path, site);
}

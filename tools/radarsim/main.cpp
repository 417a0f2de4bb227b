// radarsim: plays a radar watching a traffic scene, or every radar of a site
// watching one world. It sends the radars' packets over UDP at a fixed rate
// and can record what it sends as a pcap capture and what there was to see
// as a ground-truth CSV file.

#include "mountingerrors.h"
#include "pcapwriter.h"
#include "simoptions.h"
#include "simulator.h"
#include "sitesimulator.h"
#include "truthwriter.h"
#include "udpframes.h"

#include "tools/common/cli/outputfiles.h"
#include "tools/common/cli/prologue.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QUdpSocket>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

using namespace trklib::sim;
namespace site = trklib::site;

namespace {

using Clock = std::chrono::steady_clock;

// Longest single sleep, so that a stop request is noticed soon.
constexpr std::chrono::milliseconds sleepSlice{100};

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

void sleepUntil(Clock::time_point deadline)
{
    while (!stopRequested) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return;
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, sleepSlice));
    }
}

qint64 wallClockUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void say(const QString& text)
{
    std::fprintf(stderr, "radarsim: %s\n", qPrintable(text));
}

// Stopping early (Ctrl-C) is how a run without --packets ends: what was
// made is kept. A file that failed keeps the others out of place too, so
// that the capture, its truth and the truth's mounting errors always
// belong together.
bool finish(PcapWriter& pcap, TruthWriter& truth, trklib::cli::OutputFile& mounting)
{
    if (!pcap.flush() || !truth.flush() || !mounting.flush() || (pcap.isOpen() && !pcap.commit()) ||
        (truth.isOpen() && !truth.commit()) || (mounting.isOpen() && !mounting.commit())) {
        if (!pcap.errorString().isEmpty())
            say(pcap.errorString());
        else if (!truth.errorString().isEmpty())
            say(truth.errorString());
        else
            say(QStringLiteral("cannot write %1: %2")
                    .arg(mounting.displayName(), mounting.errorString()));
        return false;
    }
    return true;
}

// The companion of a truth file: every radar's mounting error, written
// whole when the run ends well.
bool openMounting(trklib::cli::OutputFile& file, const QString& path, const QByteArray& text)
{
    if (file.open(path) && file.write(text.constData(), text.size()))
        return true;
    say(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return false;
}

int run(const SimOptions& options)
{
    PcapWriter pcap;
    TruthWriter truth;
    QString error;
    if (!options.pcapPath.isEmpty() && !pcap.open(options.pcapPath, error)) {
        say(error);
        return 1;
    }
    if (!options.truthPath.isEmpty() && !truth.open(options.truthPath, error)) {
        say(error);
        return 1;
    }

    const QHostAddress destination(options.host);
    const QHostAddress source(options.source);
    QUdpSocket socket;
    // Bound to the source address, the socket's port is known before the
    // first datagram, and the capture shows both as the receiver sees them.
    if (!options.source.isEmpty() && !options.noSend && !socket.bind(source, 0)) {
        say(QStringLiteral("cannot send from %1: %2").arg(options.source, socket.errorString()));
        return 1;
    }
    UdpFrameBuilder frames(
        destination, options.port,
        socket.localPort() != 0 ? socket.localPort() : UdpFrameBuilder::defaultSourcePort, source);
    Simulator simulator(options);

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    if (!options.quiet && !options.noSend) {
        say(QStringLiteral("%1 scene, seed %2: sending to %3 port %4 at %5 packets/s")
                .arg(options.scene)
                .arg(options.seed)
                .arg(options.host)
                .arg(options.port)
                .arg(options.ratePps));
    }

    // "Until stopped" ends, at the latest, where the timestamps run out.
    const qint64 packets = options.packets > 0 ? options.packets : options.packetLimit();
    const Clock::time_point start = Clock::now();
    qint64 sent = 0;
    qint64 failed = 0;
    qint64 number = 0;
    for (; !stopRequested && number < packets; ++number) {
        const SimulatedPacket p = simulator.packet(number);
        // Timestamps stay within SimOptions::maxTimestampMs: no overflow
        // below, in microseconds or in the clock's nanoseconds.
        qint64 timeUs = p.timestampMs * 1000;
        if (!options.noSend) {
            // Each packet leaves at its timestamp's offset from the first.
            sleepUntil(start + std::chrono::milliseconds(p.timestampMs - options.startMs));
            if (stopRequested)
                break;
            timeUs = wallClockUs();
            for (const QByteArray& d : p.datagrams) {
                if (socket.writeDatagram(d, destination, options.port) == d.size())
                    ++sent;
                else if (failed++ == 0)
                    say(QStringLiteral("cannot send: %1").arg(socket.errorString()));
            }
        }
        if (pcap.isOpen()) {
            for (const QByteArray& d : p.datagrams) {
                for (const QByteArray& frame : frames.frames(d))
                    pcap.write(frame, timeUs);
            }
        }
        truth.write(p.number, p.timestampMs, p.sightings);
    }
    trklib::cli::OutputFile noMounting;
    if (!finish(pcap, truth, noMounting))
        return 1;
    if (!options.quiet && options.noSend) {
        say(QStringLiteral("%1 packets written").arg(number));
    } else if (!options.quiet) {
        say(QStringLiteral("%1 packets, %2 datagrams sent%3")
                .arg(number)
                .arg(sent)
                .arg(failed ? QStringLiteral(", %1 failed").arg(failed) : QString()));
    }
    return 0;
}

int runSite(const SimOptions& options)
{
    site::SiteConfig config;
    QString error;
    if (!site::loadSiteConfig(options.sitePath, config, error)) {
        say(error);
        return 1;
    }
    QStringList names;
    for (const site::RadarEntry& radar : qAsConst(config.radars)) {
        SiteRadar endpoints;
        if (!siteRadarEndpoints(radar, endpoints, error)) {
            say(QStringLiteral("%1: %2").arg(options.sitePath, error));
            return 1;
        }
        names.append(radar.name);
    }
    MountingErrors errors;
    if (!options.mountingErrorsPath.isEmpty() &&
        !loadMountingErrors(options.mountingErrorsPath, names, errors, error)) {
        say(error);
        return trklib::cli::exitUsage;
    }
    PcapWriter pcap;
    TruthWriter truth;
    if (!options.pcapPath.isEmpty() && !pcap.open(options.pcapPath, error)) {
        say(error);
        return 1;
    }
    if (!options.truthPath.isEmpty() &&
        !truth.open(options.truthPath, error, SiteSimulator::truthHeader())) {
        say(error);
        return 1;
    }
    trklib::cli::OutputFile mounting;
    if (truth.isOpen() && !truth.writesDirectly() &&
        !openMounting(mounting, options.truthMountingPath(),
                      mountingErrorsText(config.name, names, errors)))
        return 1;

    SiteSimulator simulator(config, options, errors);
    const QVector<SiteRadar>& radars = simulator.radars();
    // One socket per radar, bound to its address, so that the receiver
    // tells the radars apart as it would tell real ones.
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    std::vector<UdpFrameBuilder> frames;
    for (const SiteRadar& radar : radars) {
        sockets.push_back(std::make_unique<QUdpSocket>());
        QUdpSocket& socket = *sockets.back();
        if (!options.noSend && !socket.bind(radar.source, 0)) {
            say(QStringLiteral("radar %1: cannot send from %2: %3")
                    .arg(radar.name, radar.source.toString(), socket.errorString()));
            return 1;
        }
        frames.emplace_back(radar.destination, radar.port,
                            socket.localPort() != 0 ? socket.localPort()
                                                    : UdpFrameBuilder::defaultSourcePort,
                            radar.source);
    }

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    if (!options.quiet && !options.noSend) {
        say(QStringLiteral("%1 scene, seed %2: %3 radars of site %4 at %5 packets/s each")
                .arg(options.scene)
                .arg(options.seed)
                .arg(radars.size())
                .arg(config.name)
                .arg(options.ratePps));
    }

    const qint64 periods = options.packets > 0 ? options.packets : options.packetLimit();
    const Clock::time_point start = Clock::now();
    qint64 sent = 0;
    qint64 failed = 0;
    qint64 number = 0;
    for (; !stopRequested && number < periods; ++number) {
        const SitePeriod period = simulator.period(number);
        bool cut = false; // stopped before the period's last packet
        for (const SitePacket& p : period.packets) {
            // Timestamps stay within SimOptions::maxTimestampMs, phases
            // included: no overflow in microseconds.
            qint64 timeUs = p.timestampMs * 1000;
            if (!options.noSend) {
                sleepUntil(start + std::chrono::milliseconds(p.timestampMs - options.startMs));
                cut = stopRequested;
                if (cut)
                    break;
                timeUs = wallClockUs();
                const SiteRadar& radar = radars[p.radar];
                for (const QByteArray& d : p.datagrams) {
                    if (sockets[p.radar]->writeDatagram(d, radar.destination, radar.port) ==
                        d.size())
                        ++sent;
                    else if (failed++ == 0)
                        say(QStringLiteral("radar %1: cannot send: %2")
                                .arg(radar.name, sockets[p.radar]->errorString()));
                }
            }
            if (pcap.isOpen()) {
                for (const QByteArray& d : p.datagrams) {
                    for (const QByteArray& frame : frames[p.radar].frames(d))
                        pcap.write(frame, timeUs);
                }
            }
        }
        if (cut)
            break; // a period cut short leaves no truth
        for (const SiteSighting& s : period.world)
            truth.writeRow(simulator.truthRow(period.timeMs, s));
    }
    if (!finish(pcap, truth, mounting))
        return 1;
    if (!options.quiet && options.noSend) {
        say(QStringLiteral("%1 packets per radar written").arg(number));
    } else if (!options.quiet) {
        say(QStringLiteral("%1 packets per radar, %2 datagrams sent%3")
                .arg(number)
                .arg(sent)
                .arg(failed ? QStringLiteral(", %1 failed").arg(failed) : QString()));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SimOptions options;
    QString error;
    // Qt's arguments; radarsim writes its lines in the locale's encoding.
    if (const std::optional<int> exitCode = trklib::cli::answer(
            trklib::cli::askOf(parseOptions(app.arguments().mid(1), options, error)),
            {"radarsim", usageText, usageText, true}, error))
        return *exitCode;
    return options.sitePath.isEmpty() ? run(options) : runSite(options);
}

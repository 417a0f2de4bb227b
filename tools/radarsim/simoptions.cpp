#include "simoptions.h"

#include "tools/common/cli/outputfiles.h"
#include "tools/common/sim/scene.h"
#include "tools/common/sim/siteworld.h"

#include <QHostAddress>

#include <cmath>
#include <functional>
#include <limits>
#include <map>

namespace trklib::sim {

namespace {

constexpr double minRatePps = 0.1;
constexpr double maxRatePps = 1000.0;
constexpr int maxUdpPayloadBytes = 65507;

bool toDouble(const QString& text, double lo, double hi, double& value)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

bool toInteger(const QString& text, qint64 lo, qint64 hi, qint64& value)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

constexpr double maxRcsOffsetDb = 40.0;
constexpr double minSpeedScale = 0.25;
constexpr double maxSpeedScale = 4.0;

// DB or KIND=DB (F or KIND=F) into the map under KIND or the empty name,
// KIND a site kind or class.
bool toKindValue(const QString& text, double lo, double hi, QMap<QString, double>& values)
{
    const int equals = text.indexOf(QLatin1Char('='));
    const QString kind = equals < 0 ? QString() : text.left(equals);
    if (equals >= 0 && !siteKindNames().contains(kind) && !siteClassNames().contains(kind))
        return false;
    double value = 0.0;
    if (!toDouble(text.mid(equals + 1), lo, hi, value))
        return false;
    values.insert(kind, value);
    return true;
}

bool isLoopback(const QString& text)
{
    const QHostAddress address(text);
    return !address.isNull() && address.isLoopback();
}

} // namespace

qint64 SimOptions::timestampMs(qint64 packet) const
{
    return startMs + qint64(std::llround(double(packet) * 1000.0 / ratePps));
}

qint64 SimOptions::maxPhaseMs() const
{
    // Consecutive timestamps lie at least floor(1000 / rate) ms apart.
    return qMax<qint64>(0, qint64(std::floor(1000.0 / ratePps)) - 1);
}

qint64 SimOptions::packetLimit() const
{
    // The estimate is off by at most a packet through rounding; the
    // timestamps themselves decide. All values stay below 2^53 (rates of
    // at most 1000 per second, spans of at most maxTimestampMs).
    const qint64 latestMs = maxTimestampMs - (sitePath.isEmpty() ? 0 : maxPhaseMs());
    if (startMs > latestMs)
        return 0;
    const qint64 spanMs = latestMs - startMs;
    qint64 last = qint64(double(spanMs) * ratePps / 1000.0);
    while (last > 0 && timestampMs(last) > latestMs)
        --last;
    while (timestampMs(last + 1) <= latestMs)
        ++last;
    return last + 1;
}

QString SimOptions::truthMountingPath() const
{
    if (sitePath.isEmpty() || truthPath.isEmpty() || cli::isStandardStream(truthPath))
        return {};
    return truthPath + QStringLiteral(".mounting");
}

QString usageText()
{
    constexpr int helpColumn = 23; // where the options' meanings start
    return QStringLiteral(
               "Usage: radarsim [options]\n"
               "Simulates a radar scene, or every radar of a site, and sends the packets\n"
               "over UDP.\n"
               "\n"
               "  --host ADDR          destination, a loopback address (default 127.0.0.1)\n"
               "  --source ADDR        send from this loopback address, of the destination's\n"
               "                       protocol (default: the kernel's choice)\n"
               "  --port N             destination port (default %1)\n"
               "  --rate PPS           packets per second, 0.1 to 1000 (default 20)\n"
               "  --packets N          packets to produce (per radar with --site),\n"
               "                       0 = until stopped (default 0)\n"
               "  --scene NAME         road, crossing, pedestrians or highway (default road);\n"
               "                       with --site, junction or perimeter\n"
               "  --seed N             seed of the scene and the noise (default 1)\n"
               "  --site FILE          play every radar of this site file, each at its place,\n"
               "                       heading and mounting, sending from its radar_address\n"
               "                       (default 127.0.0.1) to its bind_address (default\n"
               "                       127.0.0.1) and port, with a phase of its own drawn\n"
               "                       from the seed; --packets counts per radar, and the\n"
               "                       truth is one row per object per period in site\n"
               "                       coordinates; --host, --source, --port and the\n"
               "                       mounting options are refused with it\n"
               "  --mounting-errors FILE  with --site: play the radars where they truly are,\n"
               "                       each [radar.NAME] of FILE giving how far its heading,\n"
               "                       pan, tilt (degrees), x and y (metres) lie from the\n"
               "                       site file's and how much too long it reports every\n"
               "                       distance (range, metres); with --truth FILE.csv,\n"
               "                       every radar's errors go to FILE.csv.mounting\n")
               .arg(wire::defaultPort) +
           cli::mountingHelp(helpColumn) +
           QStringLiteral(
               "  --rcs-offset [KIND=]DB  with --site: every kind's radar cross-section\n"
               "                       shifted by DB dB (-40 to 40), or one kind's (person,\n"
               "                       cyclist, motorcycle, car, truck, bus, dog, deer) or\n"
               "                       class's (person, two-wheeler, car, truck, animal);\n"
               "                       repeatable, a kind's offset adds to the global one\n"
               "  --speed-scale [KIND=]F  with --site: speeds of every kind, or of one kind or\n"
               "                       class, times F (0.25 to 4); repeatable, the factors\n"
               "                       multiply\n"
               "  --false-alarms N     cells above the detection threshold with nothing in\n"
               "                       them, per packet, 0 to 1023 (default 0)\n"
               "  --max-datagram BYTES cut array blocks into datagrams of at most BYTES,\n"
               "                       0 = one datagram per block (default 0)\n"
               "  --loss P             probability of dropping a datagram (default 0)\n"
               "  --reorder P          probability of swapping two datagrams (default 0)\n"
               "  --start-ms MS        timestamp of packet 0; packet k has MS + k*1000/PPS\n"
               "                       (default 1700000000000); timestamps stay within\n"
               "                       0 to 4294967295000, the seconds a pcap file holds\n"
               "  --pcap FILE          also write the sent frames to a pcap file\n"
               "  --truth FILE         write the ground truth per packet as CSV\n"
               "                       (- for standard output; a file is replaced only\n"
               "                       when the run ends well, Ctrl-C included)\n"
               "  --no-send            send nothing, write the files as fast as possible\n"
               "                       (needs --packets N > 0)\n"
               "  --quiet              no progress messages\n"
               "  --help               show this text\n"
               "  --version            show the version\n");
}

ParseResult parseOptions(const QStringList& arguments, SimOptions& o, QString& error)
{
    // Options with a value: each parser returns false for a bad value.
    using ValueParser = std::function<bool(const QString&)>;
    const std::map<QString, ValueParser> valued{
        {QStringLiteral("--host"),
         [&](const QString& v) {
             o.host = v;
             return isLoopback(v);
         }},
        {QStringLiteral("--source"),
         [&](const QString& v) {
             o.source = v;
             return isLoopback(v);
         }},
        {QStringLiteral("--port"),
         [&](const QString& v) {
             qint64 n = 0;
             const bool ok = toInteger(v, 1, 65535, n);
             o.port = quint16(n);
             return ok;
         }},
        {QStringLiteral("--rate"),
         [&](const QString& v) { return toDouble(v, minRatePps, maxRatePps, o.ratePps); }},
        {QStringLiteral("--packets"),
         [&](const QString& v) {
             return toInteger(v, 0, std::numeric_limits<qint64>::max(), o.packets);
         }},
        {QStringLiteral("--scene"),
         [&](const QString& v) {
             o.scene = v;
             return Scene::names().contains(v) || siteSceneNames().contains(v);
         }},
        {QStringLiteral("--site"),
         [&](const QString& v) {
             o.sitePath = v;
             return !v.isEmpty();
         }},
        {QStringLiteral("--mounting-errors"),
         [&](const QString& v) {
             o.mountingErrorsPath = v;
             return !v.isEmpty();
         }},
        {QStringLiteral("--seed"),
         [&](const QString& v) {
             bool ok = false;
             o.seed = v.toULongLong(&ok);
             return ok;
         }},
        {QStringLiteral("--rcs-offset"),
         [&](const QString& v) {
             return toKindValue(v, -maxRcsOffsetDb, maxRcsOffsetDb, o.tuning.rcsOffsetDb);
         }},
        {QStringLiteral("--speed-scale"),
         [&](const QString& v) {
             return toKindValue(v, minSpeedScale, maxSpeedScale, o.tuning.speedScale);
         }},
        {QStringLiteral("--false-alarms"),
         [&](const QString& v) {
             qint64 n = 0;
             const bool ok = toInteger(v, 0, wire::cellCount - 1, n);
             o.falseAlarms = int(n);
             return ok;
         }},
        {QStringLiteral("--max-datagram"),
         [&](const QString& v) {
             qint64 n = 0;
             const bool ok = toInteger(v, 0, maxUdpPayloadBytes, n);
             o.maxDatagramBytes = int(n);
             return ok;
         }},
        {QStringLiteral("--loss"),
         [&](const QString& v) { return toDouble(v, 0.0, 1.0, o.lossProbability); }},
        {QStringLiteral("--reorder"),
         [&](const QString& v) { return toDouble(v, 0.0, 1.0, o.reorderProbability); }},
        {QStringLiteral("--start-ms"),
         [&](const QString& v) { return toInteger(v, 0, SimOptions::maxTimestampMs, o.startMs); }},
        {QStringLiteral("--pcap"),
         [&](const QString& v) {
             o.pcapPath = v;
             return !v.isEmpty();
         }},
        {QStringLiteral("--truth"),
         [&](const QString& v) {
             o.truthPath = v;
             return !v.isEmpty();
         }},
    };

    QStringList given; // options with a value, as named
    for (int i = 0; i < arguments.size(); ++i) {
        QString name = arguments[i];
        QString value;
        bool hasValue = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && equals > 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
            hasValue = true;
        }
        if (name == QLatin1String("--help") && !hasValue)
            return ParseResult::Help;
        if (name == QLatin1String("--version") && !hasValue)
            return ParseResult::Version;
        if (name == QLatin1String("--no-send") && !hasValue) {
            o.noSend = true;
            continue;
        }
        if (name == QLatin1String("--quiet") && !hasValue) {
            o.quiet = true;
            continue;
        }
        const bool mounting =
            name.startsWith(QLatin1String("--")) && cli::isMountingOption(name.mid(2));
        const auto parser = valued.find(name);
        if (!mounting && parser == valued.end()) {
            error = QStringLiteral("unknown option %1").arg(arguments[i]);
            return ParseResult::Error;
        }
        given.append(name);
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                error = QStringLiteral("%1 needs a value").arg(name);
                return ParseResult::Error;
            }
            value = arguments[++i];
        }
        if (mounting) {
            if (!cli::setMountingOption(o.mounting, name.mid(2), value, error))
                return ParseResult::Error;
            continue;
        }
        if (!parser->second(value)) {
            error = QStringLiteral("bad value for %1: %2").arg(name, value);
            return ParseResult::Error;
        }
    }
    if (!o.sitePath.isEmpty()) {
        // Each radar's addresses, port and mounting come from the site file.
        for (const QString& name : qAsConst(given)) {
            const bool perRadar =
                name == QLatin1String("--host") || name == QLatin1String("--source") ||
                name == QLatin1String("--port") || cli::isMountingOption(name.mid(2));
            if (perRadar) {
                error = QStringLiteral("%1 does not go with --site: the site file gives each "
                                       "radar's addresses, port and mounting")
                            .arg(name);
                return ParseResult::Error;
            }
        }
        if (!siteSceneNames().contains(o.scene)) {
            error = QStringLiteral("--site needs --scene %1").arg(siteSceneNames().join(" or "));
            return ParseResult::Error;
        }
    } else if (siteSceneNames().contains(o.scene)) {
        error = QStringLiteral("--scene %1 needs --site FILE").arg(o.scene);
        return ParseResult::Error;
    } else {
        // The single-radar scenes keep their steady kinds, and their radar
        // is mounted as the options say.
        for (const char* name : {"--rcs-offset", "--speed-scale", "--mounting-errors"}) {
            if (given.contains(QLatin1String(name))) {
                error = QStringLiteral("%1 needs --site FILE").arg(QLatin1String(name));
                return ParseResult::Error;
            }
        }
    }
    QVector<cli::FileArgument> outputs;
    if (!o.pcapPath.isEmpty())
        outputs.append({QStringLiteral("--pcap"), o.pcapPath});
    if (!o.truthPath.isEmpty())
        outputs.append({QStringLiteral("--truth"), o.truthPath});
    if (!o.truthMountingPath().isEmpty())
        outputs.append({QStringLiteral("--truth's mounting errors"), o.truthMountingPath()});
    QVector<cli::FileArgument> inputs;
    if (!o.sitePath.isEmpty())
        inputs.append({QStringLiteral("--site"), o.sitePath});
    if (!o.mountingErrorsPath.isEmpty())
        inputs.append({QStringLiteral("--mounting-errors"), o.mountingErrorsPath});
    error = cli::findSharedFile(inputs, outputs);
    if (!error.isEmpty())
        return ParseResult::Error;
    if (!o.source.isEmpty() &&
        QHostAddress(o.source).protocol() != QHostAddress(o.host).protocol()) {
        error = QStringLiteral("--source %1 and --host %2 are not of one protocol")
                    .arg(o.source, o.host);
        return ParseResult::Error;
    }
    if (o.noSend && o.packets == 0) {
        error = QStringLiteral("--no-send needs --packets N with N > 0");
        return ParseResult::Error;
    }
    if (o.packets > o.packetLimit()) {
        error = QStringLiteral("bad value for --packets: %1 (timestamps from --start-ms %2 at %3 "
                               "packets/s would pass %4)")
                    .arg(o.packets)
                    .arg(o.startMs)
                    .arg(o.ratePps)
                    .arg(SimOptions::maxTimestampMs);
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace trklib::sim

#include "tools/sited/offline.h"

#include "tools/sited/classify/classifier.h"
#include "tools/sited/pipeline.h"
#include "tools/sited/zones/zoneoutput.h"

#include "tools/common/capture/capturereader.h"
#include "tools/common/capture/datagramextractor.h"
#include "tools/common/capture/linklayer.h"
#include "tools/common/cli/outputfiles.h"
#include "tools/common/cli/text.h"
#include "tools/common/service/tracksmessage.h"
#include "tools/common/site/radartracking.h"

#include "util/units.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace trklib::sited {

using capture::CapturedDatagram;
using capture::CaptureReader;
using capture::DatagramExtractor;
using cli::counted;

namespace {

using util::usPerMs;

// Milliseconds of a capture time in microseconds, rounded down, so that a
// frame belongs to the millisecond it happened in, before the epoch too.
std::int64_t floorMs(std::int64_t timeUs)
{
    return timeUs >= 0 ? timeUs / usPerMs : -((-timeUs + usPerMs - 1) / usPerMs);
}

// "port 5000", "ports 5000, 5001".
QString describePorts(const QVector<quint16>& ports)
{
    QStringList numbers;
    for (const quint16 port : ports)
        numbers << QString::number(port);
    return (ports.size() == 1 ? QStringLiteral("port ") : QStringLiteral("ports ")) +
           numbers.join(QStringLiteral(", "));
}

// The offline pipeline's messages, written one a line: the pictures to
// their file (when asked for), the events (when asked for) to theirs, the
// log's lines to stderr; the zones' states are not written.
class FileSink : public PictureSink
{
public:
    FileSink(cli::OutputFile* pictures, cli::OutputFile* events)
        : pictures_(pictures), events_(events)
    {}

    void picture(const QByteArray& message) override
    {
        if (pictures_)
            writeLine(*pictures_, message);
    }
    void event(const QByteArray&, const QByteArray& message) override
    {
        if (events_)
            writeLine(*events_, message);
    }
    void zoneState(const service::TopicMessage&) override {}
    void log(const QString& line) override
    {
        std::fprintf(stderr, "sited: %s\n", qUtf8Printable(line));
    }

private:
    static void writeLine(cli::OutputFile& file, QByteArray line)
    {
        line.append('\n');
        file.write(line.constData(), line.size());
    }

    cli::OutputFile* pictures_;
    cli::OutputFile* events_;
};

// The features of classes' rows: their header, and a row for each object of
// a picture.
class FeatureRows
{
public:
    FeatureRows(cli::OutputFile& file, double picturesPerS)
        : file_(file), every_(std::max(1, int(std::lround(picturesPerS / featureRowsPerS))))
    {}

    void picture(const Picture& picture, const classify::Classifier& classifier)
    {
        if (made_++ == 0)
            write(header());
        if ((made_ - 1) % every_ != 0)
            return;
        for (const SiteObject& o : picture.objects) {
            const classify::FeatureVector* features = classifier.features(o.id);
            if (!features)
                continue;
            QByteArray row = QByteArray::number(qint64(picture.timeMs)) + ',' +
                             QByteArray::number(qint64(o.id)) + ',' + (o.confirmed ? "1" : "0");
            for (const double f : *features)
                row += ',' + QByteArray::number(f, 'g', 6);
            row += ',' + QByteArray(className(o.objectClass));
            for (const double p : o.classes)
                row += ',' + QByteArray::number(p, 'f', 4);
            write(row);
        }
    }

private:
    static QByteArray header()
    {
        QByteArray line = "time,id,confirmed";
        for (int f = 0; f < classify::featureCount; ++f)
            line += ',' + QByteArray(classify::featureName(classify::Feature(f)));
        line += ",class";
        for (int c = 0; c < objectClassCount; ++c)
            line += ",p_" + QByteArray(className(ObjectClass(c)));
        return line;
    }

    void write(QByteArray line)
    {
        line.append('\n');
        file_.write(line.constData(), line.size());
    }

    cli::OutputFile& file_;
    int every_;
    std::int64_t made_ = 0;
};

// One reading of the capture in one direction: every radar's datagrams
// routed and tracked as trackd would, each packet's targets fused at the
// capture time of the frame that completed it, and a picture made each
// time the capture clock passes the next picture time.
class Pass
{
public:
    // The rules start afresh with each reading of the capture: they run
    // on a copy of the zones (none when events is null).
    Pass(const site::SiteConfig& config, cli::OutputFile* pictures, cli::OutputFile* tracks,
         const zones::ZoneOutput* zones, cli::OutputFile* events, const classify::Model* classModel,
         cli::OutputFile* features)
        : config_(config), routing_(config.radars), tracks_(tracks),
          zones_(zones && events ? std::make_unique<zones::ZoneOutput>(config, zones->zones())
                                 : nullptr),
          sink_(pictures, events),
          pipeline_(config, {zones_.get(), nullptr, nullptr, nullptr, classModel}, sink_),
          clock_(config.fusion.ratePerS)
    {
        if (features)
            features_.emplace(*features, config.fusion.ratePerS);
        for (const site::RadarEntry& entry : config.radars)
            trackers_.push_back(std::make_unique<site::RadarTracker>(entry));
    }

    QVector<quint16> ports() const { return routing_.ports(); }

    // The capture clock reads timeUs (a frame's time): pictures it has
    // passed are made, and silent radars give up their half packets.
    void advance(std::int64_t timeUs)
    {
        if (!clockStarted_) {
            for (const auto& tracker : trackers_)
                tracker->start(timeUs);
            clockStarted_ = true;
        }
        const std::int64_t nowMs = floorMs(timeUs);
        lastMs_ = std::max(lastMs_, nowMs);
        while (clock_.passed(nowMs))
            makePicture();
        for (const auto& tracker : trackers_)
            tracker->checkSilence(timeUs);
    }

    void take(const CapturedDatagram& datagram, std::int64_t timeUs)
    {
        const int socket = routing_.socketFor(datagram.destination, datagram.destinationPort);
        if (socket < 0)
            return; // to an address no radar listens on
        const int radar = routing_.radarFor(socket, datagram.source);
        if (radar < 0) {
            for (const int r : routing_.socketRadars(socket))
                trackers_[std::size_t(r)]->countForeignDatagram();
            return;
        }
        ++routed_;
        site::RadarTracker& tracker = *trackers_[std::size_t(radar)];
        if (tracker.offer(datagram.payload, datagram.source, datagram.sourcePort, timeUs).complete)
            report(radar, tracker, floorMs(timeUs));
    }

    // The capture has ended: the pictures up to its last frame's time are
    // made, since no report can come before them any more.
    void finish()
    {
        while (clock_.passed(lastMs_ + 1))
            makePicture();
    }

    std::int64_t packets() const { return packets_; }
    std::int64_t pictures() const { return pipeline_.pictures(); }
    std::int64_t routedDatagrams() const { return routed_; }
    std::uint64_t lateMessages() const { return pipeline_.lateMessages(); }
    std::int64_t events() const { return pipeline_.events(); }
    std::optional<link::AlignmentStatus> alignment() const { return pipeline_.alignment(); }

private:
    void report(int radar, const site::RadarTracker& tracker, std::int64_t receivedMs)
    {
        const site::RadarEntry& entry = tracker.entry();
        TracksReport report;
        report.radar = radar;
        report.timestampMs = tracker.timestampMs();
        report.receivedMs = receivedMs;
        report.targets.reserve(tracker.targets().size());
        for (int i = 0; i < tracker.targets().size(); ++i) {
            const TargetData& t = tracker.targets()[i];
            const util::GroundPoint onSite =
                service::siteGroundPoint(t, entry.mounting, entry.placement);
            RadarTrack track;
            track.number = t.number;
            track.xM = onSite.x;
            track.yM = onSite.y;
            track.distanceM = t.distance;
            track.velocityKph = t.velocity;
            track.confirmed = t.confirmed;
            if (i < tracker.reflectivity().size()) {
                const TargetReflectivity& r = tracker.reflectivity()[i];
                track.rcsMeanDbsm = r.meanDbsm;
                track.rcsMaxDbsm = r.maxDbsm;
                track.rcsLastDbsm = r.lastDbsm;
                track.rcsSamples = int(r.samples);
            }
            report.targets.append(track);
        }
        if (tracks_) {
            QByteArray line = service::tracksMessage(
                config_.name, entry.name, report.timestampMs, receivedMs, tracker.targets(),
                tracker.reflectivity(), entry.mounting, entry.placement, pipeline_.geo());
            line.append('\n');
            tracks_->write(line.constData(), line.size());
        }
        pipeline_.add(report);
        if (packets_++ == 0)
            clock_.start(receivedMs);
    }

    void makePicture()
    {
        const Picture picture = pipeline_.make(*clock_.next());
        if (features_)
            features_->picture(picture, pipeline_.classifier());
        clock_.advance();
    }

    const site::SiteConfig& config_;
    site::RadarRouting routing_;
    std::vector<std::unique_ptr<site::RadarTracker>> trackers_;
    cli::OutputFile* tracks_;
    std::unique_ptr<zones::ZoneOutput> zones_;
    FileSink sink_;
    PicturePipeline pipeline_;
    std::optional<FeatureRows> features_;
    bool clockStarted_ = false;
    std::int64_t lastMs_ = std::numeric_limits<std::int64_t>::min();
    CapturePictureClock clock_;
    std::int64_t packets_ = 0;
    std::int64_t routed_ = 0;
};

// What one reading of the capture ended with.
struct PassEnd
{
    CaptureReader::Result end = CaptureReader::Result::End;
    int datagrams = 0;     // to a radar port
    int skippedFrames = 0; // of the other direction
};

// value with decimals and its sign, +0.00 for what rounds to zero.
QString signedFigure(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    return (rounded < 0 ? QStringLiteral("-") : QStringLiteral("+")) +
           QString::number(std::abs(rounded), 'f', decimals);
}

// A heading within the site file's range, -360 to 360 degrees.
double withinTurn(double headingDeg)
{
    constexpr double turnDeg = 360.0;
    return headingDeg > turnDeg    ? headingDeg - turnDeg
           : headingDeg < -turnDeg ? headingDeg + turnDeg
                                   : headingDeg;
}

// Decimals of sited --align's figures: degrees, metres.
constexpr int degreeDecimals = 3;
constexpr int metreDecimals = 2;

PassEnd read(CaptureReader& reader, Pass& pass, DatagramExtractor::Direction direction)
{
    DatagramExtractor extractor(reader.linkType(), pass.ports(), direction);
    QByteArray frame;
    PassEnd result;
    while ((result.end = reader.next(frame)) == CaptureReader::Result::Frame) {
        pass.advance(reader.frameTimeUs());
        if (const std::optional<CapturedDatagram> datagram = extractor.offer(frame))
            pass.take(*datagram, reader.frameTimeUs());
    }
    if (result.end == CaptureReader::Result::End)
        pass.finish();
    result.datagrams = extractor.datagrams();
    result.skippedFrames = extractor.skippedFrames();
    return result;
}

} // namespace

QString alignmentKeys(const site::SiteConfig& config, const link::AlignmentStatus& alignment)
{
    QString out;
    for (const align::RadarEstimate& e : alignment.radars) {
        const site::RadarEntry& radar = config.radars.at(e.radar);
        const QString head = QStringLiteral("# radar %1: ").arg(radar.name);
        if (e.anchor) {
            out += head + QStringLiteral("anchor\n");
            continue;
        }
        const QString sightings = counted(e.coSightings, QStringLiteral("co-sighting"));
        const auto figure = [](double value, double sigma, int decimals, const char* unit) {
            return QStringLiteral("%1 \u00b1 %2 %3")
                .arg(signedFigure(value, decimals), QString::number(sigma, 'f', decimals),
                     QLatin1String(unit));
        };
        const auto figures = [&](const RadarAlignment& value, const RadarAlignment& sigma,
                                 bool certain) {
            return QStringLiteral("heading %1, x %2, y %3, range %4%5")
                .arg(figure(value.headingDeg, sigma.headingDeg, degreeDecimals, "deg"),
                     figure(value.xM, sigma.xM, metreDecimals, "m"),
                     figure(value.yM, sigma.yM, metreDecimals, "m"),
                     figure(value.rangeM, sigma.rangeM, metreDecimals, "m"),
                     certain ? QString() : QStringLiteral("; not certain yet"));
        };
        const auto key = [](const char* name, double value, int decimals) {
            const double scale = std::pow(10.0, decimals);
            const double rounded = std::round(value * scale) / scale + 0.0; // no -0
            return QStringLiteral("%1 = %2\n")
                .arg(QLatin1String(name), QString::number(rounded, 'f', decimals));
        };
        const auto keys = [&](const RadarAlignment& by) {
            return QStringLiteral("[radar.%1]\n").arg(radar.name) +
                   key("heading", withinTurn(radar.placement.headingDeg + by.headingDeg),
                       degreeDecimals) +
                   key("x", radar.placement.x + by.xM, metreDecimals) +
                   key("y", radar.placement.y + by.yM, metreDecimals) +
                   key("range_offset", radar.rangeOffsetM + by.rangeM, metreDecimals);
        };
        if (!e.observable) {
            out += head + QStringLiteral("%1; not observable: %2\n").arg(sightings, e.why);
            // What its co-sightings tell, the rest taken from the site file:
            // no keys to copy, but what apply would correct it by.
            if (e.sharing)
                out += QStringLiteral("#   with the site file as a survey: %1\n")
                           .arg(figures(e.estimate, e.sigma, true));
            // Along its beam the two are one: the keys with all of it as
            // range offset put its objects where the others see them.
            if (e.sharing && e.folded)
                out += QStringLiteral("#   its place along the beam taken as range offset: %1\n")
                           .arg(figures(e.foldedEstimate, e.foldedSigma, e.foldedCertain)) +
                       keys(e.foldedEstimate);
            continue;
        }
        out += head +
               QStringLiteral("%1; %2\n").arg(sightings, figures(e.estimate, e.sigma, e.certain));
        out += keys(e.estimate);
    }
    return out;
}

void CapturePictureClock::start(std::int64_t firstMs)
{
    firstMs_ = firstMs;
    made_ = 0;
    next_ = firstMs;
}

void CapturePictureClock::advance()
{
    ++made_;
    next_ = firstMs_ + std::llround(double(made_) * periodMs_);
}

bool runOffline(const site::SiteConfig& config, const QString& capturePath, const QString& output,
                const QString& tracksOutput, const OfflineEvents& events, OfflineRun& run,
                QString& error, const OfflineClasses& classes)
{
    run = OfflineRun();
    const auto fail = [&](const QString& file, const QString& what) {
        error = file + QStringLiteral(": ") + what;
        return false;
    };

    QVector<cli::FileArgument> outputs;
    if (!output.isEmpty())
        outputs.append({QStringLiteral("--output"), output});
    if (!tracksOutput.isEmpty())
        outputs.append({QStringLiteral("--tracks-output"), tracksOutput});
    if (!events.output.isEmpty())
        outputs.append({QStringLiteral("--events"), events.output});
    if (!classes.featuresOutput.isEmpty())
        outputs.append({QStringLiteral("--features-output"), classes.featuresOutput});
    error = cli::findSharedFile({{QStringLiteral("--capture"), capturePath}}, outputs);
    if (!error.isEmpty())
        return false;
    if (!events.output.isEmpty() && !events.zones) {
        error = QStringLiteral("--events: the site file names no [zones] file");
        return false;
    }

    const QString reason = capture::unreadableReason(capturePath);
    if (!reason.isEmpty())
        return fail(capturePath, reason);
    CaptureReader reader;
    if (!reader.open(capturePath))
        return fail(capturePath,
                    QStringLiteral("not a capture file (%1)").arg(reader.errorString()));
    if (!capture::isSupportedLinkType(reader.linkType()))
        return fail(capturePath, QStringLiteral("unsupported link type %1").arg(reader.linkType()));

    cli::OutputFile pictures;
    cli::OutputFile* picturesOut = output.isEmpty() ? nullptr : &pictures;
    if (picturesOut && !pictures.open(output))
        return fail(pictures.displayName(), pictures.errorString());
    cli::OutputFile tracks;
    cli::OutputFile* tracksOut = tracksOutput.isEmpty() ? nullptr : &tracks;
    if (tracksOut && !tracks.open(tracksOutput))
        return fail(tracks.displayName(), tracks.errorString());
    cli::OutputFile eventLines;
    if (!events.output.isEmpty() && !eventLines.open(events.output))
        return fail(eventLines.displayName(), eventLines.errorString());
    cli::OutputFile* eventsOut = events.output.isEmpty() ? nullptr : &eventLines;
    cli::OutputFile featureLines;
    if (!classes.featuresOutput.isEmpty() && !featureLines.open(classes.featuresOutput))
        return fail(featureLines.displayName(), featureLines.errorString());
    cli::OutputFile* featuresOut = classes.featuresOutput.isEmpty() ? nullptr : &featureLines;
    const QString notWritten = QStringLiteral("; no output file written");

    auto pass = std::make_unique<Pass>(config, picturesOut, tracksOut, events.zones, eventsOut,
                                       classes.model, featuresOut);
    PassEnd end = read(reader, *pass, DatagramExtractor::Direction::Received);
    int datagrams = end.datagrams;
    // On a capture of all interfaces of the radars' host, what the host
    // received is taken, as trackreplay takes it; a host that only sent
    // received nothing: its sent frames are read instead. Nothing was
    // written by the first reading, which found no packet.
    if (end.end == CaptureReader::Result::End && pass->packets() == 0 && end.skippedFrames > 0) {
        if (!reader.open(capturePath))
            return fail(
                capturePath,
                QStringLiteral("cannot read again (%1)%2").arg(reader.errorString(), notWritten));
        pass = std::make_unique<Pass>(config, picturesOut, tracksOut, events.zones, eventsOut,
                                      classes.model, featuresOut);
        end = read(reader, *pass, DatagramExtractor::Direction::Sent);
        datagrams += end.datagrams;
    }

    if (end.end == CaptureReader::Result::Error)
        return fail(capturePath, QStringLiteral("damaged or truncated capture after %1 (%2)%3")
                                     .arg(counted(pass->packets(), QStringLiteral("radar packet")),
                                          reader.errorString(), notWritten));
    if (end.end == CaptureReader::Result::BadTime)
        return fail(capturePath, reader.errorString() + notWritten);
    if (pass->packets() == 0) {
        const QString ports = describePorts(pass->ports());
        QString what = datagrams == 0 ? QStringLiteral("no UDP datagram to %1").arg(ports)
                       : pass->routedDatagrams() == 0
                           ? QStringLiteral("%1 to %2, none from or to a radar of the site")
                                 .arg(counted(datagrams, QStringLiteral("UDP datagram")), ports)
                           : QStringLiteral("%1 to %2 formed no radar packet")
                                 .arg(counted(datagrams, QStringLiteral("UDP datagram")), ports);
        if (reader.cutFrames() > 0)
            what += QStringLiteral(" (%1 cut short by the capture's snapshot length)")
                        .arg(counted(reader.cutFrames(), QStringLiteral("frame")));
        return fail(capturePath, what + notWritten);
    }

    // Both outputs are flushed before either takes its place, so that a
    // full disk keeps both as they were; only the renames come after.
    if (picturesOut && !pictures.flush())
        return fail(pictures.displayName(), pictures.errorString() + notWritten);
    if (tracksOut && !tracks.flush())
        return fail(tracks.displayName(), tracks.errorString() + notWritten);
    if (eventLines.isOpen() && !eventLines.flush())
        return fail(eventLines.displayName(), eventLines.errorString() + notWritten);
    if (featureLines.isOpen() && !featureLines.flush())
        return fail(featureLines.displayName(), featureLines.errorString() + notWritten);
    if (picturesOut && !pictures.commit())
        return fail(pictures.displayName(), pictures.errorString() + notWritten);
    if (tracksOut && !tracks.commit())
        return fail(tracks.displayName(), tracks.errorString());
    if (eventLines.isOpen() && !eventLines.commit())
        return fail(eventLines.displayName(), eventLines.errorString());
    if (featureLines.isOpen() && !featureLines.commit())
        return fail(featureLines.displayName(), featureLines.errorString());
    run.packets = pass->packets();
    run.pictures = pass->pictures();
    run.lateMessages = pass->lateMessages();
    run.events = pass->events();
    run.alignment = pass->alignment();
    return true;
}

} // namespace trklib::sited

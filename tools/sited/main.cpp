// sited: the site service. Fuses the tracks of every radar of a site into
// one picture of its objects, live over MQTT or offline from a capture.

#include "tools/sited/camerasurvey.h"
#include "tools/sited/classify/model.h"
#include "tools/sited/cue/camerarig.h"
#include "tools/sited/cue/cueing.h"
#include "tools/sited/history/sitehistory.h"
#include "tools/sited/link/sitelink.h"
#include "tools/sited/link/sitestatus.h"
#include "tools/sited/link/tracksreader.h"
#include "tools/sited/offline.h"
#include "tools/sited/options.h"
#include "tools/sited/outputs/trackoutputs.h"
#include "tools/sited/pipeline.h"
#include "tools/sited/sitemetrics.h"
#include "tools/sited/users.h"
#include "tools/sited/zones/alarms.h"
#include "tools/sited/zones/zoneoutput.h"

#include "tools/common/cli/prologue.h"
#include "tools/common/cli/text.h"
#include "tools/common/service/brokerclient.h"
#include "tools/common/service/eventlog.h"
#include "tools/common/service/stopsignals.h"
#include "tools/common/site/siteconfig.h"

#include <mosquitto.h>

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace trklib::sited;
using trklib::cli::counted;
using trklib::service::logEvent;
using trklib::service::Priority;
using trklib::service::TopicMessage;
using trklib::site::SiteConfig;
using trklib::sited::classify::Model;
using trklib::sited::history::BaseMap;
using trklib::sited::history::SiteHistory;
using trklib::sited::link::PictureClock;
using trklib::sited::link::SiteLink;
using trklib::sited::link::SiteStatus;
using trklib::sited::link::TracksReader;
using trklib::sited::outputs::TrackOutputs;
using trklib::sited::zones::ZoneOutput;

namespace {

using trklib::sited::history::LiveStream;

constexpr int exitFailure = 1; // the service or the offline run could not run
constexpr int exitUsage = 2;   // a bad command line or site file
// How long stopping waits for the broker to take the offline status.
constexpr std::chrono::seconds offlineWait{2};
// Dropped tracks messages (and fusion's recoveries) are logged at most this
// often, with their count.
constexpr std::chrono::seconds dropLogPeriod{60};

using SteadyClock = std::chrono::steady_clock;

// "<prefix>/<site>/<rest>".
QByteArray siteTopic(const SiteConfig& site, const char* rest)
{
    return QStringLiteral("%1/%2/%3").arg(site.prefix, site.name, QLatin1String(rest)).toUtf8();
}

std::int64_t wallClockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The stop signals from a descriptor, and a write past the file size
// limit failing (EFBIG) rather than killing sited: the history reports its
// database full and the pictures go on.
int blockStopSignals()
{
    std::signal(SIGXFSZ, SIG_IGN);
    return trklib::service::blockStopSignals();
}

// The tracks messages of the link's thread, read and kept for the main
// loop, which fuses them when the next picture is due.
class Inbox
{
public:
    Inbox(const SiteConfig& config, LiveStream& live)
        : reader_(config), live_(live), lastTracksMs_(config.radars.size())
    {}

    const TracksReader& reader() const { return reader_; }

    void take(const QByteArray& topic, const QByteArray& payload)
    {
        TracksReport report;
        QString why;
        const TracksReader::Verdict verdict = reader_.read(topic, payload, report, why);
        const std::lock_guard<std::mutex> lock(mutex_);
        switch (verdict) {
        case TracksReader::Verdict::Report:
            lastTracksMs_[report.radar] = wallClockMs();
            reports_.append(std::move(report));
            live_.publish(topic, payload, false);
            break;
        case TracksReader::Verdict::OwnPicture:
            break;
        case TracksReader::Verdict::UnknownRadar:
        case TracksReader::Verdict::Bad:
            ++dropped_;
            lastDrop_ = why;
            break;
        }
    }

    // The reports since the last call, in the order they were measured.
    QVector<TracksReport> takeReports()
    {
        QVector<TracksReport> reports;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            reports.swap(reports_);
        }
        std::stable_sort(reports.begin(), reports.end(),
                         [](const TracksReport& a, const TracksReport& b) {
                             return a.receivedMs < b.receivedMs;
                         });
        return reports;
    }

    QVector<std::optional<std::int64_t>> lastTracksMs() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lastTracksMs_;
    }

    // Messages dropped so far, and why the last one was.
    std::uint64_t dropped(QString& lastWhy) const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lastWhy = lastDrop_;
        return dropped_;
    }

private:
    TracksReader reader_;
    LiveStream& live_;
    mutable std::mutex mutex_;
    QVector<TracksReport> reports_;
    QVector<std::optional<std::int64_t>> lastTracksMs_;
    std::uint64_t dropped_ = 0;
    QString lastDrop_;
};

// The live pipeline's messages, published through the broker link and
// streamed to the pages sited serves.
class LinkSink : public PictureSink
{
public:
    LinkSink(SiteLink& link, LiveStream& live, const SiteConfig& site)
        : link_(link), live_(live), pictureTopic_(siteTopic(site, "site/tracks"))
    {}

    void picture(const QByteArray& message) override
    {
        link_.publishPicture(message);
        published_ = SteadyClock::now();
        live_.publish(pictureTopic_, message, false);
    }
    // When the last picture was handed to the link.
    SteadyClock::time_point published() const { return published_; }
    void event(const QByteArray& topic, const QByteArray& message) override
    {
        link_.publishEvent(topic, message);
        live_.publish(topic, message, false);
    }
    void zoneState(const TopicMessage& state) override
    {
        link_.keep(state.topic, state.payload);
        live_.publish(state.topic, state.payload, true);
    }
    void log(const QString& line) override { logEvent(Priority::Warning, line); }

private:
    SiteLink& link_;
    LiveStream& live_;
    const QByteArray pictureTopic_;
    SteadyClock::time_point published_;
};

// The site's cameras at work: none without [camera.NAME] sections.
struct Cameras
{
    trklib::sited::cue::CameraDesk* desk = nullptr;
    trklib::sited::cue::CameraRig* rig = nullptr;
    trklib::sited::cue::Cueing* cueing = nullptr;
};

// The open alarms as cueing takes them.
QVector<trklib::sited::cue::CueAlarm> cueAlarms(SiteHistory& history)
{
    QVector<trklib::sited::cue::CueAlarm> out;
    if (const trklib::sited::zones::AlarmBook* alarms = history.alarms()) {
        for (const trklib::sited::zones::Alarm& a : alarms->open())
            out.append({a.id, a.object, a.timeMs, a.acknowledged.has_value()});
    }
    return out;
}

// What changed of each camera since the status before, for the history:
// online or offline with a new failure's line (a camera not heard from yet
// is neither), and what cueing points it at and why (an operator's own
// actions are recorded as the API takes them).
QVector<trklib::sited::history::CameraRow>
cameraChanges(const QVector<trklib::sited::cue::CameraStatus>& before,
              const QVector<trklib::sited::cue::CameraStatus>& now, std::int64_t nowMs)
{
    QVector<trklib::sited::history::CameraRow> changes;
    for (int i = 0; i < now.size(); ++i) {
        const trklib::sited::cue::CameraStatus& c = now[i];
        const trklib::sited::cue::CameraStatus* b = i < before.size() ? &before[i] : nullptr;
        const auto heard = [](const trklib::sited::cue::CameraStatus& s) {
            return s.live.online || !s.live.problem.isEmpty();
        };
        if (heard(c) && (!b || !heard(*b) || b->live.online != c.live.online ||
                         b->live.problem != c.live.problem))
            changes.append({nowMs,
                            c.name,
                            c.live.online ? QStringLiteral("online") : QStringLiteral("offline"),
                            {},
                            0,
                            c.live.online ? QString() : c.live.problem});
        if (!b || b->following != c.following || b->why != c.why)
            changes.append({nowMs, c.name, QStringLiteral("cue"), {}, c.following, c.why});
    }
    return changes;
}

// Publishes a picture whenever one is due and the status once a second
// until a stop signal arrives; returns its name.
const char* publishUntilStopped(int signalFd, const SiteConfig& site, Inbox& inbox, SiteLink& link,
                                TrackOutputs& outputs, ZoneOutput* zones, SiteHistory& history,
                                SiteMetrics& metrics, const Model& classModel,
                                const Cameras& cameras)
{
    LinkSink sink(link, history.live(), site);
    const QByteArray statusTopic = siteTopic(site, "site/status");
    PicturePipeline pipeline(site, {zones, &outputs, &history, history.zoneMailbox(), &classModel},
                             sink);

    const SteadyClock::time_point start = SteadyClock::now();
    PictureClock pictureClock(site.fusion.ratePerS, start);
    PictureClock statusClock(1.0, start);
    SiteStatus status;
    QVector<trklib::sited::cue::CameraStatus> camerasBefore;
    std::uint64_t droppedLogged = 0;
    std::optional<SteadyClock::time_point> dropLoggedAt;
    std::uint64_t recoveriesLogged = 0;
    std::optional<SteadyClock::time_point> recoveryLoggedAt;
    pollfd wait{signalFd, POLLIN, 0};
    for (;;) {
        const SteadyClock::time_point next = std::min(pictureClock.due(), statusClock.due());
        const auto timeout =
            std::chrono::ceil<std::chrono::milliseconds>(next - SteadyClock::now());
        if (::poll(&wait, 1, int(std::max<std::int64_t>(0, timeout.count()))) > 0) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == sizeof info)
                return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
        }
        const SteadyClock::time_point now = SteadyClock::now();
        if (now >= pictureClock.due()) {
            for (const TracksReport& report : inbox.takeReports())
                pipeline.add(report);
            // The picture is stamped with the host's time now: its latency
            // runs from here to its message handed to the link.
            const SteadyClock::time_point made = SteadyClock::now();
            const Picture picture = pipeline.make(wallClockMs(), inbox.lastTracksMs());
            metrics.picturePublished(
                std::chrono::duration<double>(sink.published() - made).count());
            // The cameras move on the picture that raised an alarm.
            if (cameras.cueing)
                cameras.cueing->picture(picture, cueAlarms(history),
                                        zones ? zones->watchedOccupants() : QSet<std::int64_t>(),
                                        cameras.desk->choices(), cameras.rig->live(),
                                        wallClockMs());
            ++status.pictures;
            pictureClock.advance(now);
        }
        if (now >= statusClock.due()) {
            // A save or an arming waits for its answer at most 2 s, pictures
            // may come 10 s apart.
            pipeline.takeMail(wallClockMs());
            status.lastTracksMs = inbox.lastTracksMs();
            status.objects = pipeline.objectCount();
            status.lateMessages = pipeline.lateMessages();
            status.fusionRecoveries = pipeline.fusionRecoveries();
            status.droppedEvents = link.droppedEvents();
            status.droppedRecords = std::uint64_t(history.dropped());
            const trklib::sited::history::Usage usage = history.usage();
            status.historyBytes = usage.bytes;
            status.historyOldestMs = usage.oldestMs;
            status.historyNewestMs = usage.newestMs;
            status.asterixClamped = outputs.clamped();
            status.outputDropped = outputs.dropped();
            status.alignment = pipeline.alignment();
            SiteFigures figures{status.objects,    status.lateMessages, pipeline.events(),
                                history.waiting(), usage.bytes,         {}};
            if (cameras.cueing) {
                const QVector<trklib::sited::cue::CameraStatus> states =
                    cameras.cueing->status(cameras.rig->live(), wallClockMs());
                status.cameras = trklib::sited::cue::camerasJson(states);
                for (const trklib::sited::cue::CameraStatus& c : states)
                    figures.cameras.push_back(
                        {c.name.toStdString(), c.live.online, c.live.commands, c.live.errors});
                for (const trklib::sited::history::CameraRow& change :
                     cameraChanges(camerasBefore, states, wallClockMs()))
                    history.cameraChange(change);
                camerasBefore = states;
            }
            metrics.update(figures);
            const QByteArray statusMessage =
                link::siteStatusMessage(pipeline.radarNames(), status, wallClockMs());
            link.publishStatus(statusMessage);
            history.live().publish(statusTopic, statusMessage, true);
            statusClock.advance(now);

            QString why;
            const std::uint64_t dropped = inbox.dropped(why);
            if (dropped > droppedLogged &&
                (!dropLoggedAt || now - *dropLoggedAt >= dropLogPeriod)) {
                logEvent(Priority::Warning,
                         QStringLiteral("%1 dropped (the last: %2)")
                             .arg(counted(qint64(dropped - droppedLogged), "tracks message"), why));
                droppedLogged = dropped;
                dropLoggedAt = now;
            }
            // Fusion mending its own books is a fault of sited's: said the
            // first time, then at most as often as the drops.
            const std::uint64_t recoveries = status.fusionRecoveries;
            if (recoveries > recoveriesLogged &&
                (!recoveryLoggedAt || now - *recoveryLoggedAt >= dropLogPeriod)) {
                logEvent(Priority::Error,
                         QStringLiteral("fusion: %1 joined to an object that was gone, started "
                                        "over as new (a fault of fusion's)")
                             .arg(counted(qint64(recoveries - recoveriesLogged), "radar track")));
                recoveriesLogged = recoveries;
                recoveryLoggedAt = now;
            }
        }
    }
}

int run(const QString& path, const SiteConfig& site, ZoneOutput* zones, const Model& classModel)
{
    const int signalFd = blockStopSignals();
    if (signalFd < 0) {
        logEvent(Priority::Error,
                 QStringLiteral("cannot take signals: %1").arg(trklib::service::errnoText(errno)));
        return exitFailure;
    }
    TrackOutputs outputs(site);
    QString error;
    if (!outputs.open(error)) {
        logEvent(Priority::Error, QStringLiteral("%1: %2").arg(path, error));
        ::close(signalFd);
        return exitFailure;
    }
    SiteMetrics metrics; // on /metrics of the history's API, which ends first
    // The cameras' thread needs an application object, which nothing runs.
    static int argc = 1;
    static char name[] = "sited";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> application;
    std::unique_ptr<trklib::sited::cue::CameraDesk> desk;
    trklib::sited::history::CameraAction cameraAction;
    std::atomic<SiteHistory*> recordCameras{nullptr}; // once the history has started
    if (!site.cameras.isEmpty()) {
        application = std::make_unique<QCoreApplication>(argc, argv);
        desk = std::make_unique<trklib::sited::cue::CameraDesk>(site.cameras);
        cameraAction = [desk = desk.get(),
                        &recordCameras](const QString& camera, const QString& action,
                                        std::optional<std::int64_t> object, const QString& user,
                                        int& status, QString& why) {
            using Action = trklib::sited::cue::CameraDesk::Action;
            const Action a = action == QLatin1String("take")   ? Action::TakeOver
                             : action == QLatin1String("give") ? Action::GiveBack
                                                               : Action::Follow;
            if (!desk->act(camera, a, object, status, why))
                return false;
            const QString what = a == Action::TakeOver   ? QStringLiteral("taken over")
                                 : a == Action::GiveBack ? QStringLiteral("given back to cueing")
                                 : object ? QStringLiteral("to follow object %1").arg(*object)
                                          : QStringLiteral("to follow nothing");
            if (SiteHistory* history = recordCameras.load())
                history->cameraChange(
                    {wallClockMs(), camera, action, user, object.value_or(0), {}});
            logEvent(Priority::Info,
                     QStringLiteral("camera %1: %2%3")
                         .arg(camera, what,
                              user.isEmpty() ? QString() : QStringLiteral(" by %1").arg(user)));
            return true;
        };
    }
    const std::unique_ptr<SiteHistory> history = SiteHistory::start(
        site, zones, [](const QString& line) { logEvent(Priority::Warning, line); },
        [&metrics] { return metrics.text(); }, error,
        [](const QString& line) { logEvent(Priority::Info, line); }, cameraAction);
    recordCameras = history.get();
    if (!history) {
        logEvent(Priority::Error, QStringLiteral("%1: %2").arg(path, error));
        ::close(signalFd);
        return exitFailure;
    }
    mosquitto_lib_init();
    LiveStream& live = history->live();
    Inbox inbox(site, live);
    // The radars' statuses are for the pages alone; sited's own comes to
    // them straight.
    const QByteArray ownStatus = siteTopic(site, "site/status");
    SiteLink link(site, inbox.reader().subscription(),
                  [&inbox, &live, &ownStatus](const QByteArray& topic, const QByteArray& payload) {
                      if (!topic.endsWith("/status"))
                          inbox.take(topic, payload);
                      else if (topic != ownStatus)
                          live.publish(topic, payload, true);
                  });
    link.alsoSubscribe(siteTopic(site, "+/status"));
    logEvent(Priority::Info, QStringLiteral("site %1: %2, %3 pictures a second to %4/%1/site")
                                 .arg(site.name, counted(site.radars.size(), "radar"))
                                 .arg(site.fusion.ratePerS)
                                 .arg(site.prefix));
    logEvent(
        Priority::Info,
        QStringLiteral("history in %1, its API on %2://%3:%4/api/%5")
            .arg(trklib::sited::history::databaseName(site.history),
                 site.http.certFile.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"),
                 site.http.listen.address.toString())
            .arg(history->port())
            .arg(site.http.usersFile.isEmpty() ? QStringLiteral(", open to all (no users_file)")
                                               : QString()));
    if (zones) {
        // Retained from the first connection on, every zone's state too.
        const TopicMessage all = zones->zonesMessage();
        link.keep(all.topic, all.payload);
        live.publish(all.topic, all.payload, true);
        for (const TopicMessage& state : zones->states()) {
            link.keep(state.topic, state.payload);
            live.publish(state.topic, state.payload, true);
        }
    }
    // The open alarms retained, each change at QoS 1, until the link stops.
    int alarmListener = -1;
    if (trklib::sited::zones::AlarmBook* alarms = history->alarms()) {
        const TopicMessage open = history->alarmsMessage();
        link.keep(open.topic, open.payload);
        alarmListener = alarms->addListener(
            [&link, &site, topic = open.topic, changesTopic = history->alarmChangesTopic()](
                const QVector<trklib::sited::zones::AlarmChange>& changes,
                const QVector<trklib::sited::zones::Alarm>& alarms,
                const QVector<trklib::sited::zones::Shelving>& shelvings) {
                link.keep(topic, trklib::sited::zones::alarmsMessage(
                                     site.name, changes.last().timeMs, alarms, shelvings));
                for (const trklib::sited::zones::AlarmChange& change : changes)
                    link.publishEvent(changesTopic,
                                      trklib::sited::zones::alarmChangeMessage(site.name, change));
            });
    }
    const auto forgetAlarms = [&history, alarmListener] {
        if (trklib::sited::zones::AlarmBook* alarms = history->alarms())
            alarms->removeListener(alarmListener);
    };
    if (!link.start(error)) {
        logEvent(Priority::Error, QStringLiteral("%1: %2").arg(path, error));
        forgetAlarms();
        mosquitto_lib_cleanup();
        ::close(signalFd);
        return exitUsage;
    }
    // Each camera says once when it is online and once when it fails.
    std::unique_ptr<trklib::sited::cue::CameraRig> rig;
    std::unique_ptr<trklib::sited::cue::Cueing> cueing;
    if (desk) {
        rig = std::make_unique<trklib::sited::cue::CameraRig>(
            site.cameras, [](bool failed, const QString& line) {
                logEvent(failed ? Priority::Warning : Priority::Info, line);
            });
        cueing = std::make_unique<trklib::sited::cue::Cueing>(site.cameras, rig->ports());
    }
    const char* signalName =
        publishUntilStopped(signalFd, site, inbox, link, outputs, zones, *history, metrics,
                            classModel, {desk.get(), rig.get(), cueing.get()});
    cueing.reset();
    rig.reset();
    logEvent(Priority::Info, QStringLiteral("%1: stopping").arg(QLatin1String(signalName)));
    link.stop(SteadyClock::now() + offlineWait);
    forgetAlarms();
    mosquitto_lib_cleanup();
    ::close(signalFd);
    return 0;
}

// "person, car, truck": the classes a model tells apart.
QString classNames(const Model& model)
{
    QStringList names;
    for (const trklib::sited::ObjectClass c : model.classes())
        names << QLatin1String(trklib::sited::className(c));
    return names.join(QStringLiteral(", "));
}

int runOfflineAndSay(const Options& options, const SiteConfig& site, ZoneOutput* zones,
                     const Model& classModel)
{
    OfflineRun run;
    QString error;
    if (!runOffline(site, options.capture, options.output, options.tracksOutput,
                    {zones, options.eventsOutput}, run, error,
                    {&classModel, options.featuresOutput})) {
        std::fprintf(stderr, "sited: %s\n", qUtf8Printable(error));
        return exitFailure;
    }
    // An offline run records nothing: its pictures go to the output file.
    std::fprintf(stderr, "sited: %s: %s, %s, %s to %s\n", qUtf8Printable(options.capture),
                 qUtf8Printable(counted(run.packets, "radar packet")),
                 qUtf8Printable(counted(qint64(run.lateMessages), "late message")),
                 qUtf8Printable(counted(run.pictures, "picture")), qUtf8Printable(options.output));
    if (!options.eventsOutput.isEmpty())
        std::fprintf(stderr, "sited: %s to %s\n", qUtf8Printable(counted(run.events, "event")),
                     qUtf8Printable(options.eventsOutput));
    return 0;
}

// sited --align: the offline run without outputs, and each radar's
// corrected keys on stdout. It runs as [fusion] align = apply whatever the
// file says: the aligner learns from the radars' own sightings, which no
// correction touches, but fusion pairs them by where they land; a radar
// off by more than the gate would pair only where its error happens to
// look small, and its estimate would come out too small with it.
int runAlignAndSay(const Options& options, const SiteConfig& site, const Model& classModel)
{
    SiteConfig aligned = site;
    aligned.fusion.align = trklib::site::AlignMode::Apply;
    OfflineRun run;
    QString error;
    if (!runOffline(aligned, options.capture, QString(), QString(), {}, run, error,
                    {&classModel, QString()})) {
        std::fprintf(stderr, "sited: %s\n", qUtf8Printable(error));
        return exitFailure; // as the offline run's
    }
    std::fputs(qUtf8Printable(alignmentKeys(aligned, *run.alignment)), stdout);
    return 0;
}

// The site file's camera, its points, and the keys their offsets correct.
int runAlignCameraAndSay(const Options& options, const SiteConfig& site)
{
    const auto camera = std::find_if(
        site.cameras.begin(), site.cameras.end(),
        [&](const trklib::site::CameraEntry& c) { return c.name == options.cameraName; });
    if (camera == site.cameras.end()) {
        std::fprintf(stderr, "sited: --align-camera: %s is no camera of %s\n",
                     qUtf8Printable(options.cameraName), qUtf8Printable(options.config));
        return exitUsage;
    }
    QVector<trklib::sited::cue::SurveyPoint> points;
    trklib::sited::cue::CameraAlignment found;
    QString error;
    if (!trklib::sited::readSurveyPoints(options.points, points, error)) {
        std::fprintf(stderr, "sited: %s\n", qUtf8Printable(error));
        return exitUsage;
    }
    if (!trklib::sited::cue::alignCamera(*camera, points, found, error)) {
        std::fprintf(stderr, "sited: %s: %s\n", qUtf8Printable(options.points),
                     qUtf8Printable(error));
        return exitUsage;
    }
    std::fputs(qUtf8Printable(trklib::sited::cameraAlignmentKeys(*camera, found)), stdout);
    return 0;
}

// "reported, against the radars' consensus": what --check-config says of
// [fusion] align and align_anchor.
QString alignmentSummary(const SiteConfig& site)
{
    using trklib::site::AlignMode;
    if (site.fusion.align == AlignMode::Off)
        return QStringLiteral("off");
    return QStringLiteral("%1, against %2")
        .arg(site.fusion.align == AlignMode::Apply ? QStringLiteral("applied once certain")
                                                   : QStringLiteral("reported"),
             site.fusion.alignAnchor < 0
                 ? QStringLiteral("the radars' consensus")
                 : QStringLiteral("radar %1").arg(site.radars[site.fusion.alignAnchor].name));
}

} // namespace

int main(int argc, char* argv[])
{
    using trklib::cli::Ask;
    Options options;
    QString error;
    const bool parsed = parseOptions(trklib::cli::commandLine(argc, argv), options, error);
    const Ask ask = !parsed                                  ? Ask::Error
                    : options.mode == Options::Mode::Help    ? Ask::Help
                    : options.mode == Options::Mode::Version ? Ask::Version
                                                             : Ask::Run;
    if (const std::optional<int> exitCode =
            trklib::cli::answer(ask, {"sited", helpText, usageText}, error))
        return *exitCode;

    SiteConfig site;
    if (!trklib::site::loadSiteConfig(options.config, site, error)) {
        logEvent(Priority::Error, error);
        return exitUsage;
    }
    for (const QString& warning : qAsConst(site.warnings))
        logEvent(Priority::Warning, warning);
    trklib::sited::history::placeInStateDirectory(site, qEnvironmentVariable("STATE_DIRECTORY"));
    // What the service writes must be writable by the user it runs as: a
    // bad folder is the site's to mend, not one a restart would.
    if (options.mode == Options::Mode::Run || options.mode == Options::Mode::Check) {
        const QString unwritable = trklib::sited::history::unwritableHistory(site.history);
        if (!unwritable.isEmpty()) {
            logEvent(Priority::Error, unwritable);
            return exitUsage;
        }
    }
    std::unique_ptr<ZoneOutput> zones;
    if (!ZoneOutput::load(options.config, site, zones, error)) {
        logEvent(Priority::Error, error);
        return exitUsage;
    }
    Model classModel = Model::builtin();
    if (!site.classes.model.isEmpty() && !Model::load(site.classes.model, classModel, error)) {
        logEvent(Priority::Error,
                 QStringLiteral("%1: [classes] model: %2").arg(options.config, error));
        return exitUsage;
    }
    switch (options.mode) {
    case Options::Mode::Check: {
        const trklib::site::BrokerConfig broker = trklib::site::sitedBroker(site.broker);
        std::printf("sited: %s: site %s, %s, broker %s:%d%s, %s pictures a second\n",
                    qUtf8Printable(options.config), qUtf8Printable(site.name),
                    qUtf8Printable(counted(site.radars.size(), "radar")),
                    qUtf8Printable(broker.host), int(broker.port),
                    qUtf8Printable(broker.username.isEmpty()
                                       ? QString()
                                       : QStringLiteral(" as %1").arg(broker.username)),
                    qUtf8Printable(QString::number(site.fusion.ratePerS)));
        std::printf("sited: classes by %s (%s), given from probability %s\n",
                    qUtf8Printable(site.classes.model.isEmpty()
                                       ? QStringLiteral("the built-in model")
                                       : site.classes.model),
                    qUtf8Printable(classNames(classModel)),
                    qUtf8Printable(QString::number(site.classes.threshold)));
        std::printf("sited: alignment %s\n", qUtf8Printable(alignmentSummary(site)));
        if (!site.cameras.isEmpty()) {
            QStringList cameras;
            for (const trklib::site::CameraEntry& camera : qAsConst(site.cameras))
                cameras << QStringLiteral("%1 at %2").arg(camera.name, camera.address);
            std::printf("sited: %s: %s\n", qUtf8Printable(counted(site.cameras.size(), "camera")),
                        qUtf8Printable(cameras.join(QStringLiteral(", "))));
        }
        std::printf("sited: history in %s, its API on %s://%s/api/\n",
                    qUtf8Printable(trklib::sited::history::databaseName(site.history)),
                    site.http.certFile.isEmpty() ? "http" : "https",
                    qUtf8Printable(site.http.listen.toString()));
        if (!site.http.usersFile.isEmpty()) {
            QVector<trklib::sited::history::User> users;
            if (!trklib::sited::history::readUsers(site.http.usersFile, users, error)) {
                std::fprintf(stderr, "sited: %s\n", qUtf8Printable(error));
                return exitUsage;
            }
            std::printf("sited: %s: %s\n", qUtf8Printable(site.http.usersFile),
                        qUtf8Printable(counted(users.size(), "user")));
        }
        if (zones) {
            qint64 lines = 0;
            for (const trklib::sited::zones::Zone& zone : zones->zones())
                lines += zone.kind == trklib::sited::zones::Zone::Kind::Line;
            std::printf("sited: %s: %s, %s\n", qUtf8Printable(site.zonesFile),
                        qUtf8Printable(counted(zones->zones().size() - lines, "zone")),
                        qUtf8Printable(counted(lines, "line")));
        }
        // At its start sited goes on without a map it cannot read; asked,
        // it says so as a fault of the site file.
        if (site.map.isSet()) {
            const std::unique_ptr<BaseMap> map = BaseMap::open(site.map, *site.origin, error);
            if (!map) {
                std::fprintf(stderr, "sited: %s:%s\n", qUtf8Printable(options.config),
                             qUtf8Printable(error));
                return exitUsage;
            }
            std::printf("sited: %s: %s\n",
                        qUtf8Printable(map->isPlan() ? site.map.plan : site.map.mbtiles),
                        qUtf8Printable(map->summary()));
        }
        return 0;
    }
    case Options::Mode::Export: {
        bool usage = false;
        if (!trklib::sited::history::exportHistory(site, options.from, options.to, options.format,
                                                   options.exportOutput, usage, error)) {
            std::fprintf(stderr, "sited: %s\n", qUtf8Printable(error));
            return usage ? exitUsage : exitFailure;
        }
        return 0;
    }
    case Options::Mode::Offline:
        return runOfflineAndSay(options, site, zones.get(), classModel);
    case Options::Mode::Align:
        return runAlignAndSay(options, site, classModel);
    case Options::Mode::AlignCamera:
        return runAlignCameraAndSay(options, site);
    case Options::Mode::AddUser:
    case Options::Mode::RemoveUser:
        return runUserCommand(options, site);
    default:
        return run(options.config, site, zones.get(), classModel);
    }
}

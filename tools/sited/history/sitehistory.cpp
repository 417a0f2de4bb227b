#include "tools/sited/history/sitehistory.h"

#include "tools/sited/history/historyexport.h"

#include "tools/common/cli/outputfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <unistd.h>

namespace trklib::sited::history {

QVector<StatusRow> RadarPresence::update(const QVector<std::optional<std::int64_t>>& lastTracksMs,
                                         std::int64_t nowMs)
{
    online_.resize(names_.size());
    QVector<StatusRow> changes;
    for (int r = 0; r < names_.size() && r < lastTracksMs.size(); ++r) {
        const std::optional<std::int64_t>& last = lastTracksMs[r];
        if (!last)
            continue;
        const bool online = nowMs - *last <= radarSilenceMs;
        if (online == online_[r])
            continue;
        online_[r] = online;
        changes.append({online ? *last : *last + radarSilenceMs, names_[r], online});
    }
    return changes;
}

QString defaultWebRoot()
{
    // A sited of the build tree serves the source tree's page.
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    const QString self = n > 0 ? QFile::decodeName(QByteArray(exe, int(n))) : QString();
    if (self.startsWith(QStringLiteral(TRKLIB_BUILD_DIR "/")))
        return QStringLiteral(TRKLIB_BUILD_WEB_ROOT);
    return QStringLiteral(TRKLIB_INSTALLED_WEB_ROOT);
}

std::unique_ptr<SiteHistory>
SiteHistory::start(const site::SiteConfig& site, const zones::ZoneOutput* zones,
                   std::function<void(const QString&)> log, std::function<std::string()> metrics,
                   QString& error, std::function<void(const QString&)> note,
                   CameraAction cameraAction)
{
    QVector<User> users;
    if (!site.http.usersFile.isEmpty() && !readUsers(site.http.usersFile, users, error))
        return nullptr;
    std::unique_ptr<Store> store;
    if (site.history.enabled) {
        store = Store::open(site.history.database, site.name, error);
        if (!store)
            return nullptr;
    }
    std::unique_ptr<SiteHistory> history(new SiteHistory(std::move(store), site));
    if (!site.http.usersFile.isEmpty())
        history->logins_ = std::make_unique<Logins>(std::move(users), site.http.sessionHours);
    ApiContext context;
    context.site = site.name;
    if (site.map.isSet()) {
        // A map that cannot be read leaves the page without it, not the
        // site without its service.
        QString why;
        context.map = BaseMap::open(site.map, *site.origin, why);
        if (!context.map) {
            log(why + QStringLiteral("; the site view goes without its map"));
            context.noMap = QStringLiteral("the map file could not be read when sited started");
        }
    }
    if (site.history.enabled) {
        Recorder::Options options;
        options.retentionDays = site.history.retentionDays;
        options.maxSizeBytes = site.history.maxSizeBytes();
        options.log = std::move(log);
        history->recorder_ = std::make_unique<Recorder>(history->store_, std::move(options));
        context.store = &history->store_;
        context.recorder = history->recorder_.get();
        // Logins are recorded with the history; without one they are not.
        context.record = [recorder = history->recorder_.get()](LoginRow login) {
            recorder->addLogin(std::move(login));
        };
    }
    if (zones && !history->startAlarms(*zones, error))
        return nullptr;
    context.alarms = history->alarms_.get();
    context.metrics = std::move(metrics);
    context.cameraAction = std::move(cameraAction);
    context.prefix = site.prefix;
    context.logins = history->logins_.get();
    context.live = &history->live_;
    context.webRoot = site.http.webRoot.isEmpty() ? defaultWebRoot() : site.http.webRoot;
    context.zones = history->zonesView_;
    if (zones) {
        history->zonesReplaced(*zones, 0);
        history->editor_ =
            std::make_unique<ZonesEditor>(ZonesEditor::Settings{site.zonesFile,
                                                                *site.origin,
                                                                site.name,
                                                                &history->mailbox_,
                                                                std::move(note),
                                                                {},
                                                                history->alarms_.get()});
        context.zonesEditor = history->editor_.get();
        // The zones the pictures are judged by now, saved ones too.
        context.currentZones = [view = history->zonesView_] { return view->zones(); };
    }
    if (site.origin)
        context.geo.emplace(*site.origin);
    history->api_ = std::make_unique<ApiServer>(std::move(context));
    const site::Destination& listen = site.http.listen;
    if (!history->api_->start(listen.address.toString(), listen.port, error, site.http.certFile,
                              site.http.keyFile))
        return nullptr;
    return history;
}

SiteHistory::SiteHistory(std::unique_ptr<Store> store, const site::SiteConfig& site)
    : store_(std::move(store)), site_(site.name),
      alarmsTopic_(QStringLiteral("%1/%2/alarms").arg(site.prefix, site.name).toUtf8()),
      alarmChangesTopic_(alarmsTopic_ + "/changes"), presence_([&site] {
          QStringList names;
          for (const site::RadarEntry& radar : site.radars)
              names << radar.name;
          return names;
      }())
{}

SiteHistory::~SiteHistory()
{
    // The API reads the store through the recorder's counts: it goes first.
    if (api_)
        api_->stop();
    if (recorder_)
        recorder_->stop();
}

// The alarms of the zones, their open ones and shelvings restored from the
// history, their changes recorded and streamed from then on.
bool SiteHistory::startAlarms(const zones::ZoneOutput& zones, QString& error)
{
    alarms_ = std::make_unique<zones::AlarmBook>(zones.zones());
    const std::int64_t nowMs = QDateTime::currentMSecsSinceEpoch();
    if (recorder_) {
        QVector<zones::AlarmChange> kept;
        std::int64_t lastId = 0;
        QString why;
        if (!store_.with([&](Store& s) { return s.openAlarms(nowMs, kept, lastId, why); })) {
            error = QStringLiteral("restoring the open alarms: %1").arg(why);
            return false;
        }
        const QVector<zones::AlarmChange> ended = alarms_->restore(kept, lastId, nowMs);
        if (!ended.isEmpty())
            recorder_->addAlarmChanges(ended);
    }
    alarms_->addListener([this](const QVector<zones::AlarmChange>& changes,
                                const QVector<zones::Alarm>& open,
                                const QVector<zones::Shelving>& shelvings) {
        if (recorder_)
            recorder_->addAlarmChanges(changes);
        live_.publish(alarmsTopic_,
                      zones::alarmsMessage(site_, changes.last().timeMs, open, shelvings), true);
        for (const zones::AlarmChange& change : changes)
            live_.publish(alarmChangesTopic_, zones::alarmChangeMessage(site_, change), false);
    });
    const service::TopicMessage all = alarmsMessage();
    live_.publish(all.topic, all.payload, true);
    return true;
}

service::TopicMessage SiteHistory::alarmsMessage() const
{
    return {alarmsTopic_, zones::alarmsMessage(site_, QDateTime::currentMSecsSinceEpoch(),
                                               alarms_->open(), alarms_->shelvings())};
}

void SiteHistory::picture(const QStringList& radarNames, const Picture& picture,
                          const site::GeoReference* geo,
                          const QVector<std::optional<std::int64_t>>& lastTracksMs)
{
    lastPictureMs_ = picture.timeMs;
    if (!recorder_)
        return;
    for (StatusRow& change : presence_.update(lastTracksMs, picture.timeMs))
        recorder_->addStatus(std::move(change));
    recorder_->addPicture(picture.timeMs, pictureRows(radarNames, picture, geo));
}

void SiteHistory::events(const zones::ZoneOutput& zones, const QVector<QByteArray>& published)
{
    const QVector<zones::Event>& raised = zones.lastEvents();
    if (recorder_) {
        for (int i = 0; i < raised.size() && i < published.size(); ++i)
            recorder_->addEvent(eventRow(zones.zones()[raised[i].zone], raised[i], published[i]));
    }
    if (alarms_) {
        QVector<bool> armed(zones.zones().size());
        for (int z = 0; z < armed.size(); ++z)
            armed[z] = zones.armed(z);
        alarms_->picture(lastPictureMs_, zones.zones(), raised, armed);
    }
}

void SiteHistory::zonesReplaced(const zones::ZoneOutput& zones, std::int64_t timeMs)
{
    QStringList names;
    for (const zones::Zone& zone : zones.zones())
        names << zone.name;
    zonesView_->set(zones.zonesMessage().payload, names, zones.zones());
    if (alarms_ && timeMs > 0)
        alarms_->setZones(zones.zones(), timeMs);
}

QString databaseName(const site::HistoryConfig& history)
{
    if (!history.enabled)
        return QStringLiteral("no database ([history] enabled = false)");
    if (!Store::isPostgresUrl(history.database))
        return history.database;
    QUrl url(history.database);
    url.setPassword(QString());
    return url.toString();
}

void placeInStateDirectory(site::SiteConfig& site, const QString& stateDirectories)
{
    const QString first = stateDirectories.section(QLatin1Char(':'), 0, 0);
    if (site.history.databaseGiven || first.isEmpty())
        return;
    site.history.database =
        QDir::cleanPath(QDir(first).absoluteFilePath(site.name + QStringLiteral(".sqlite")));
}

QString unwritableHistory(const site::HistoryConfig& history)
{
    if (!history.enabled || Store::isPostgresUrl(history.database))
        return QString();
    const QString folder = QFileInfo(history.database).absolutePath();
    const QString who = QStringLiteral("user %1").arg(::geteuid());
    const QString theFolder =
        QStringLiteral("history %1: the folder %2 ").arg(history.database, folder);
    if (!QFileInfo(folder).isDir())
        return theFolder + QStringLiteral("does not exist (sited makes the file there)");
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return theFolder +
               QStringLiteral("is not writable by %1 (SQLite makes the file and its log "
                              "there)")
                   .arg(who);
    if (QFileInfo::exists(history.database) &&
        ::access(QFile::encodeName(history.database).constData(), W_OK) != 0)
        return QStringLiteral("history %1: the file is not writable by %2")
            .arg(history.database, who);
    return QString();
}

bool exportHistory(const site::SiteConfig& site, const QString& from, const QString& to,
                   const QString& format, const QString& out, bool& usage, QString& error)
{
    usage = true;
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    ExportFormat exportFormat{};
    if (!parseTime(from, fromMs)) {
        error = QStringLiteral("--from: '%1' is neither ms since the epoch nor ISO 8601 with a "
                               "zone")
                    .arg(from);
        return false;
    }
    if (!parseTime(to, toMs)) {
        error = QStringLiteral("--to: '%1' is neither ms since the epoch nor ISO 8601 with a zone")
                    .arg(to);
        return false;
    }
    if (fromMs > toMs) {
        error = QStringLiteral("--from %1 is after --to %2").arg(from, to);
        return false;
    }
    if (!parseExportFormat(format, exportFormat)) {
        error = QStringLiteral("--format: '%1' is neither geojson nor csv").arg(format);
        return false;
    }
    usage = false;
    // A SQLite file that is not there is not made empty by looking at it.
    if (!Store::isPostgresUrl(site.history.database) && !QFileInfo::exists(site.history.database)) {
        error =
            QStringLiteral("history %1: no such file; nothing recorded").arg(site.history.database);
        return false;
    }
    std::unique_ptr<Store> store = Store::open(site.history.database, site.name, error);
    if (!store)
        return false;
    cli::OutputFile file;
    if (!file.open(out)) {
        error = QStringLiteral("%1: %2").arg(out, file.errorString());
        return false;
    }
    if (!exportTracks(*store, fromMs, toMs, exportFormat, *file.device(), error))
        return false;
    if (!file.commit()) {
        error = QStringLiteral("%1: %2").arg(file.displayName(), file.errorString());
        return false;
    }
    return true;
}

} // namespace trklib::sited::history

#pragma once

#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historyrecorder.h"
#include "tools/sited/history/zoneseditor.h"
#include "tools/sited/zones/alarms.h"
#include "tools/sited/zones/zoneoutput.h"

#include "tools/common/site/siteconfig.h"

#include <QIODevice>

#include <memory>
#include <optional>

// The site's history at work in the live service: the store the site file
// names, the recorder that writes what sited publishes into it, the HTTP
// API over it, and the radars' online and offline changes, which sited
// tells from the tracks messages they send.
namespace trklib::sited::history {

// Whether each radar is online: from its first tracks message until it
// has sent none for radarSilenceMs, and again from its next.
class RadarPresence
{
public:
    explicit RadarPresence(QStringList radarNames) : names_(std::move(radarNames)) {}

    // The changes since the last call, given when each radar's last tracks
    // message came (the host's clock, none before the first) and now; a
    // radar goes offline at its last message plus the silence, and online
    // at the message that ends a silence.
    QVector<StatusRow> update(const QVector<std::optional<std::int64_t>>& lastTracksMs,
                              std::int64_t nowMs);

private:
    QStringList names_;
    QVector<bool> online_;
};

class SiteHistory
{
public:
    // Reads [http] users_file, opens the store of [history] database and
    // starts the recorder and the API on [http] listen, with /metrics
    // answered by metrics unless empty. Null with one line (the store in
    // use by another sited, read-only, ...; the address taken) when it
    // cannot. log takes the recorder's lines, one each, and the one of a
    // [map] file that cannot be read, which the API then goes without;
    // note the lines of who saved the zones or armed a zone. With [history]
    // enabled = false only the API starts, and answers 404 for the history.
    static std::unique_ptr<SiteHistory> start(const site::SiteConfig& site,
                                              const zones::ZoneOutput* zones,
                                              std::function<void(const QString&)> log,
                                              std::function<std::string()> metrics, QString& error,
                                              std::function<void(const QString&)> note = {},
                                              CameraAction cameraAction = {});
    ~SiteHistory(); // stops the API, then the recorder after writing what it can

    // The published picture's objects, and the radars' changes by then.
    void picture(const QStringList& radarNames, const Picture& picture,
                 const site::GeoReference* geo,
                 const QVector<std::optional<std::int64_t>>& lastTracksMs);
    // The events raised on a picture, as published, in the order raised;
    // then the alarms they raise.
    void events(const zones::ZoneOutput& zones, const QVector<QByteArray>& published);
    // The zones the picture thread took from the mailbox at timeMs: the
    // API's and the alarms' from then on.
    void zonesReplaced(const zones::ZoneOutput& zones, std::int64_t timeMs);
    // What the API hands the picture thread: null without zones.
    zones::ZoneMailbox* zoneMailbox() { return editor_ ? &mailbox_ : nullptr; }

    // The site's alarms: null without zones. Restored from the history at
    // the start; in memory only with [history] enabled = false. Its
    // changes are recorded and streamed; add a listener for more.
    zones::AlarmBook* alarms() { return alarms_.get(); }
    // The open alarms, for <prefix>/<site>/alarms (retained), as they stand.
    service::TopicMessage alarmsMessage() const;
    // The topic of each alarm change (<prefix>/<site>/alarms/changes).
    const QByteArray& alarmChangesTopic() const { return alarmChangesTopic_; }

    // A camera's change, recorded (from any thread); nothing without a history.
    void cameraChange(CameraRow change)
    {
        if (recorder_)
            recorder_->addCamera(std::move(change));
    }

    std::int64_t dropped() const { return recorder_ ? recorder_->dropped() : 0; }
    Usage usage() const { return recorder_ ? recorder_->usage() : Usage(); }
    int waiting() const { return recorder_ ? recorder_->waiting() : 0; }
    // What the pages served by sited are streamed.
    LiveStream& live() { return live_; }
    quint16 port() const { return api_->port(); }

private:
    SiteHistory(std::unique_ptr<Store> store, const site::SiteConfig& site);

    bool startAlarms(const zones::ZoneOutput& zones, QString& error);

    SharedStore store_;
    QString site_;
    QByteArray alarmsTopic_;
    QByteArray alarmChangesTopic_;
    std::int64_t lastPictureMs_ = 0;
    std::unique_ptr<zones::AlarmBook> alarms_;
    RadarPresence presence_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Logins> logins_;
    LiveStream live_;
    std::shared_ptr<ZonesView> zonesView_ = std::make_shared<ZonesView>();
    zones::ZoneMailbox mailbox_;
    std::unique_ptr<ZonesEditor> editor_;
    std::unique_ptr<ApiServer> api_;
};

// Where sited serves the site view from without [http] web_root: the
// installed page, or the source tree's when sited runs from its build tree.
QString defaultWebRoot();

// Where the site's history is recorded, for messages: the SQLite file, or
// the PostgreSQL URL without its password; "no database" when it is off.
QString databaseName(const site::HistoryConfig& history);

// The default SQLite file ("<site name>.sqlite", no [history] database)
// moved into the service's state folder: the first of stateDirectories,
// systemd's STATE_DIRECTORY (folders between ':'). Left beside the site
// file when stateDirectories is empty.
void placeInStateDirectory(site::SiteConfig& site, const QString& stateDirectories);

// Whether this user may write what the history writes: the SQLite file
// when it is there, and its folder always (SQLite keeps its log beside
// the file). Empty when it may, or the history is off or on a server; else
// one line naming the file or folder.
QString unwritableHistory(const site::HistoryConfig& history);

// sited --export: the tracks of the site's history from..to (as the API
// takes times) to out in format ("geojson" or "csv"). False with one line;
// usage set when the request itself is bad (a time, the format, from after to).
bool exportHistory(const site::SiteConfig& site, const QString& from, const QString& to,
                   const QString& format, const QString& out, bool& usage, QString& error);

} // namespace trklib::sited::history

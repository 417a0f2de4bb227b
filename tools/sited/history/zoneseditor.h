#pragma once

#include "tools/sited/history/historyapi.h"
#include "tools/sited/zones/zonemailbox.h"

#include "tools/common/site/georeference.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

// The zones file saved from the API and applied without a restart, every
// saved version kept, and the operators' arming of zones:
//   GET /api/zones/file     {"version", "user", "time", "writable", "why"
//                           (when not), "geojson"}: the file and its version
//   PUT /api/zones/file     {"base": N, "geojson": FeatureCollection}: saved
//                           as version N + 1 when N is the current one
//                           (else 409 naming who saved which version when),
//                           once parseZones() takes it (else 400 with its
//                           line); {"version", "applied": true} when the
//                           picture thread has taken the zones (else 503)
//   GET /api/zones/versions {"current", "versions": [{"version", "user",
//                           "time", "zones", "lines"}]}, newest first
//   GET /api/zones/versions/N           {"version", "user", "time", "geojson"}
//   POST /api/zones/versions/N/restore  {"base"}: as the PUT of N's geojson
//   POST /api/zones/NAME/arm, /disarm   {"minutes"?}: until then, or until
//                           the schedule's next change; /schedule: back to
//                           it. {"zone", "armed", "override"} once applied.
// The versions are files of a folder beside the zones file, "<zones
// file>.versions/N.json", each {"version", "user", "time", "geojson"},
// written whole or not at all (QSaveFile) as the zones file is; the file
// as it was before the first save is version 0, of no user.
namespace trklib::sited::history {

// A zones file's body (PUT) is refused past this many bytes: the zones'
// limits (zonesfile.h) in indented GeoJSON fit several times over.
constexpr int maxZonesFileBytes = 2 * 1024 * 1024;
// How long a request waits for the picture thread to take its job.
constexpr std::chrono::milliseconds mailboxWait{2000};

class ZonesEditor
{
public:
    struct Settings
    {
        QString file; // the site file's [zones] file
        site::Origin origin;
        QString site;
        zones::ZoneMailbox* mailbox = nullptr;
        std::function<void(const QString&)> log; // who saved or armed what; may be empty
        std::function<std::int64_t()> now;       // the clock; empty: the system's
        zones::AlarmBook* alarms = nullptr;      // records who armed what; may be null
    };

    explicit ZonesEditor(Settings settings);

    // The folder of the versions.
    QString versionsFolder() const { return settings_.file + QStringLiteral(".versions"); }
    // Why saving would fail, on one line naming the path; empty when it would not.
    QString unwritable() const;

    // One request of the routes above, from user (empty for a GET without
    // logins).
    Reply answer(const Request& request, const QString& user);

private:
    struct Version
    {
        int version = 0;
        QString user; // empty: none (version 0)
        std::optional<std::int64_t> timeMs;
        QJsonObject geojson;
    };

    std::int64_t now() const;
    QVector<int> versionNumbers() const;
    bool readVersion(int number, Version& version, QString& why) const;
    Reply save(const QJsonValue& base, const QJsonValue& geojson, const QString& user);
    Reply conflict(int current, int base) const;
    bool write(int next, const QString& user, const QJsonObject& geojson, const QByteArray& text,
               QString& error);
    Reply arm(const std::string& zone, const std::string& action, const QJsonObject& body,
              const QString& user);
    Reply fileAnswer() const;
    Reply versionsAnswer() const;

    Settings settings_;
    site::GeoReference geo_;
    std::mutex saving_; // the base's check and the writes of one save at a time
};

// Whether path is one of the routes above.
bool isZonesEditPath(const std::string& path);
// Such a route's answer, and any PUT's: 403 for an acting one without
// logins, 404 without a zones file.
Reply zonesEdit(ApiContext& context, const Request& request,
                const std::optional<Logins::Session>& who);

} // namespace trklib::sited::history

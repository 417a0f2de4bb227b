#pragma once

#include "tools/sited/history/basemap.h"
#include "tools/sited/history/historyrecorder.h"
#include "tools/sited/history/httpauth.h"
#include "tools/sited/history/livestream.h"
#include "tools/sited/zones/zonesfile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// sited's HTTP API over the recorded history, JSON throughout:
//   GET /api/events?from=&to=&zone=&event=&object=&limit=  {"events": [...]}
//   GET /api/tracks?from=&to=&object=&bbox=x0,y0,x1,y1     a GeoJSON FeatureCollection
//   GET /api/picture?time=                                 the picture at or before time
//   GET /api/zones                                         the zones as loaded
//   GET /api/health                                        the database's state
//   GET /api/stream                 the live messages, as Server-Sent Events
//   GET /api/map                                           the site's own map (basemap.h)
//   GET /api/map/tiles/Z/X/Y?v=, GET /api/map/plan?v=      its images; with v its
//                                   version they may be kept a day, else revalidated
//   POST /api/login, POST /api/logout, GET /api/session    logins (below)
//   GET /api/users, GET /api/logins?from=&to=&limit=       for admins
//   GET /api/alarms                 the open alarms and the shelved zones
//   GET /api/alarms?from=&to=       the changes of the alarms raised then
//   POST /api/alarms/ID/acknowledge {"note"?}, POST /api/alarms/ID/notes
//   {"text"}, POST /api/zones/NAME/shelve {"minutes", "why"},
//   POST /api/zones/NAME/unshelve   for operators (zones/alarms.h)
//   POST /api/zones/NAME/arm, POST /api/zones/NAME/disarm {"minutes"?},
//   POST /api/zones/NAME/schedule   for operators: an override of the
//                                   zone's arming, or back to its schedule
//   GET /api/zones/file, PUT /api/zones/file {"base", "geojson"},
//   GET /api/zones/versions, GET /api/zones/versions/N,
//   POST /api/zones/versions/N/restore {"base"}   for admins: the zones
//                                   file, saved and applied without a
//                                   restart, and its versions (zoneseditor.h)
//   GET /api/cameras?from=&to=&limit=  the cameras' changes, {"changes": [...]}
//   POST /api/cameras/NAME/take, POST /api/cameras/NAME/give,
//   POST /api/cameras/NAME/follow {"object": ID or null}   for operators:
//                                   a camera driven by hand, given back to
//                                   cueing, or made to follow an object
//   GET /, /login.html, ...         the site view's files from the web root
// and, beside the API, GET /metrics: the service's figures in Prometheus's
// text format, for monitoring systems to scrape.
// Times are ms since the epoch or ISO 8601 with a zone ("Z" or an offset).
// A bad parameter (unknown name or value, from after to, ...) answers 400
// with {"error": "..."} on one line; nothing of a request becomes SQL text.
//
// Without a users file every route is open to all, as before logins
// existed. With one, every route but the login's own (POST /api/login,
// POST /api/logout, the login page and its files), /api/health and
// /metrics needs a session: 401 without one, 403 when its role may not
// (routeAccess() has the table). The alarms' POST routes record who acted:
// without a users file they answer 403.
namespace trklib::sited::history {

// /api/events answers at most this many events; a larger limit is refused.
constexpr int maxEventsLimit = 10000;
constexpr int defaultEventsLimit = 1000;
// A parameter's value longer than this is refused before it is looked at.
constexpr int maxParameterChars = 200;

class ZonesEditor;

// The zones as the API answers them (GET /api/zones, /api/events's zone):
// set again by the picture thread when a saved file is applied.
class ZonesView
{
public:
    void set(QByteArray json, QStringList names, QVector<zones::Zone> zones = {})
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        json_ = std::move(json);
        names_ = std::move(names);
        zones_ = std::move(zones);
    }
    QByteArray json() const // zonesMessage's, or empty for none
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return json_;
    }
    QStringList names() const // the zones' and lines' names
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return names_;
    }
    QVector<zones::Zone> zones() const // the zones themselves, as the pictures judge by
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return zones_;
    }

private:
    mutable std::mutex mutex_;
    QByteArray json_;
    QStringList names_;
    QVector<zones::Zone> zones_;
};

// An operator's action on a camera (take, give or follow, with follow's
// object or none), from the server's threads: false with the status to
// answer and one line.
using CameraAction = std::function<bool(const QString& camera, const QString& action,
                                        std::optional<std::int64_t> object, const QString& user,
                                        int& status, QString& why)>;

struct ApiContext
{
    SharedStore* store = nullptr; // null: no history, its resources answer 404
    QString site;
    QString prefix = QStringLiteral("trklib"); // the topics', for the page
    const Recorder* recorder = nullptr;        // for the health answer; may be null
    std::shared_ptr<ZonesView> zones = std::make_shared<ZonesView>();
    ZonesEditor* zonesEditor = nullptr;   // null: no [zones] file
    Logins* logins = nullptr;             // null: no users file, every route open
    std::function<void(LoginRow)> record; // takes each login, failure and logout
    LiveStream* live = nullptr;           // /api/stream's messages; null: none
    zones::AlarmBook* alarms = nullptr;   // null: no zones, no alarms
    std::shared_ptr<const BaseMap> map;   // null: /api/map answers 404 with noMap
    QString noMap = QStringLiteral("the site file has no [map]");
    QString webRoot;     // the site view's files; empty: none served
    bool secure = false; // served over HTTPS: cookies are Secure
    // The text of /metrics, called on the server's threads; empty: no /metrics.
    std::function<std::string()> metrics;
    // POST /api/zones/preview: the zones in force, called on the server's
    // threads (empty: none), and the frame edited zones are read in (none:
    // the site has no origin, the route answers 404).
    std::function<QVector<zones::Zone>()> currentZones;
    std::optional<site::GeoReference> geo;
    CameraAction cameraAction; // empty: the site has no cameras, the routes answer 404
};

struct Reply
{
    int status = 200;
    QByteArray body;                       // JSON, one line, or a file's
    std::string type = "application/json"; // geo+json for tracks
    std::vector<std::pair<std::string, std::string>> headers;
    // /api/stream allowed: the server streams the messages the role may see.
    bool stream = false;
    Role role = Role::Admin;
};

using Query = std::multimap<std::string, std::string>;

// What a route needs.
enum class Access
{
    Open,     // anyone, logged in or not
    Viewer,   // a session of any role
    Operator, // a session of operator or admin
    Admin,
};
// The access of a method and path (a file of the web root is Viewer, but
// for the login page's: Open); a route's "*" stands for one path segment.
Access routeAccess(const std::string& method, const std::string& path);

// One request as the server has it.
struct Request
{
    std::string method = "GET";
    std::string path; // decoded
    Query query;
    std::string cookie; // the Cookie header
    std::string contentType;
    std::string body;
    std::string peer; // the client's address
};

// Every route, its access checked: what the server answers.
Reply handle(ApiContext& context, const Request& request);
// The answer to GET path?query, without a server: the server's handlers
// and the tests call this.
Reply answer(ApiContext& context, const std::string& path, const Query& query);

// An error's answer: status, and {"error": why} on one line.
Reply jsonError(int status, const QString& why);

// One time parameter: ms since the epoch, or ISO 8601 with a zone.
bool parseTime(const QString& text, std::int64_t& ms);

// The recorded tracks as a GeoJSON FeatureCollection: one LineString per
// object, [lon, lat] when the rows have them, else site metres [x, y].
// rows: by id then time.
QByteArray tracksGeoJson(const QVector<ObjectRow>& rows);

// The HTTP server, on a thread of its own.
class ApiServer
{
public:
    explicit ApiServer(ApiContext context);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Listens on host:port (port 0: any free one), over HTTPS when
    // certFile and keyFile are given; false with a one-line error.
    bool start(const QString& host, quint16 port, QString& error, const QString& certFile = {},
               const QString& keyFile = {});
    quint16 port() const { return port_; }
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    quint16 port_ = 0;
};

} // namespace trklib::sited::history

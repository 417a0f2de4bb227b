#pragma once

#include "tools/sited/history/historyrecorder.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

// sited's HTTP API over the recorded history, JSON throughout:
//   GET /api/events?from=&to=&zone=&event=&object=&limit=  {"events": [...]}
//   GET /api/tracks?from=&to=&object=&bbox=x0,y0,x1,y1     a GeoJSON FeatureCollection
//   GET /api/picture?time=                                 the picture at or before time
//   GET /api/zones                                         the zones as loaded
//   GET /api/health                                        the database's state
// and, beside the API, GET /metrics: the service's figures in Prometheus's
// text format, for monitoring systems to scrape.
// Times are ms since the epoch or ISO 8601 with a zone ("Z" or an offset).
// A bad parameter (unknown name or value, from after to, ...) answers 400
// with {"error": "..."} on one line; nothing of a request becomes SQL text.
namespace trklib::sited::history {

// /api/events answers at most this many events; a larger limit is refused.
constexpr int maxEventsLimit = 10000;
constexpr int defaultEventsLimit = 1000;
// A parameter's value longer than this is refused before it is looked at.
constexpr int maxParameterChars = 200;

struct ApiContext
{
    SharedStore* store = nullptr; // null: no history, its resources answer 404
    QString site;
    const Recorder* recorder = nullptr; // for the health answer; may be null
    QByteArray zonesJson;               // zonesMessage's, or empty for none
    QStringList zoneNames;              // the zones' and lines' names
    // The text of /metrics, called on the server's threads; empty: no /metrics.
    std::function<std::string()> metrics;
};

struct Reply
{
    int status = 200;
    QByteArray body;                       // JSON, one line
    const char* type = "application/json"; // geo+json for tracks
};

using Query = std::multimap<std::string, std::string>;

// The answer to GET path?query, without a server: the server's handlers
// and the tests call this.
Reply answer(ApiContext& context, const std::string& path, const Query& query);

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

    // Listens on host:port (port 0: any free one); false with a one-line error.
    bool start(const QString& host, quint16 port, QString& error);
    quint16 port() const { return port_; }
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    quint16 port_ = 0;
};

} // namespace trklib::sited::history

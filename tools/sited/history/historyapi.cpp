#include "tools/sited/history/historyapi.h"

#include "tools/common/service/jsonwriter.h"
#include "tools/common/service/metrics.h"

#include <QDateTime>
#include <QRegularExpression>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace trklib::sited::history {

namespace {

using service::appendInteger;
using service::appendNumber;
using service::appendString;

constexpr std::int64_t minTimeMs = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t maxTimeMs = std::numeric_limits<std::int64_t>::max();

const QStringList& eventKinds()
{
    static const QStringList kinds{QStringLiteral("enter"), QStringLiteral("exit"),
                                   QStringLiteral("dwell"), QStringLiteral("speed"),
                                   QStringLiteral("cross")};
    return kinds;
}

Reply jsonError(int status, const QString& why)
{
    Reply reply;
    reply.status = status;
    reply.body = "{\"error\":";
    appendString(reply.body, why);
    reply.body.append('}');
    return reply;
}

// A request's parameters, each known and given at most once.
class Params
{
public:
    Params(const Query& query, std::initializer_list<const char*> known) : query_(query)
    {
        for (auto it = query.begin(); it != query.end() && error_.isEmpty(); ++it) {
            const QString name = QString::fromStdString(it->first);
            if (std::none_of(known.begin(), known.end(),
                             [&](const char* k) { return it->first == k; }))
                error_ = QStringLiteral("unknown parameter '%1'").arg(name.left(maxParameterChars));
            else if (query.count(it->first) > 1)
                error_ = QStringLiteral("%1: given more than once").arg(name);
            else if (it->second.size() > std::size_t(maxParameterChars))
                error_ = QStringLiteral("%1: longer than %2 characters")
                             .arg(name)
                             .arg(maxParameterChars);
        }
    }

    bool ok() const { return error_.isEmpty(); }
    const QString& error() const { return error_; }

    std::optional<QString> text(const char* name) const
    {
        const auto it = query_.find(name);
        if (it == query_.end())
            return std::nullopt;
        return QString::fromStdString(it->second);
    }

    void time(const char* name, std::int64_t& ms)
    {
        const std::optional<QString> v = text(name);
        if (ok() && v && !parseTime(*v, ms))
            error_ = QStringLiteral("%1: '%2' is neither ms since the epoch nor ISO 8601 with a "
                                    "zone")
                         .arg(QLatin1String(name), *v);
    }

    void positive(const char* name, std::optional<std::int64_t>& value, std::int64_t greatest)
    {
        static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,18}\\z"));
        const std::optional<QString> v = text(name);
        if (!ok() || !v)
            return;
        const std::int64_t n = digits.match(*v).hasMatch() ? v->toLongLong() : 0;
        if (n < 1 || n > greatest)
            error_ = QStringLiteral("%1: '%2' is not a whole number from 1 to %3")
                         .arg(QLatin1String(name), *v)
                         .arg(greatest);
        else
            value = n;
    }

    void oneOf(const char* name, const QStringList& known, QString& value)
    {
        const std::optional<QString> v = text(name);
        if (!ok() || !v)
            return;
        if (!known.contains(*v))
            error_ = QStringLiteral("%1: '%2' is not one of: %3")
                         .arg(QLatin1String(name), *v, known.join(QLatin1String(", ")));
        else
            value = *v;
    }

    // from <= to, both given or defaulted to all time.
    void period(std::int64_t& fromMs, std::int64_t& toMs)
    {
        fromMs = minTimeMs;
        toMs = maxTimeMs;
        time("from", fromMs);
        time("to", toMs);
        if (ok() && fromMs > toMs)
            error_ = QStringLiteral("from is after to");
    }

    void bbox(std::optional<std::array<double, 4>>& box)
    {
        const std::optional<QString> v = text("bbox");
        if (!ok() || !v)
            return;
        const QStringList parts = v->split(QLatin1Char(','));
        std::array<double, 4> b{};
        bool good = parts.size() == 4;
        for (int i = 0; good && i < 4; ++i)
            b[i] = parts[i].toDouble(&good), good = good && std::isfinite(b[i]);
        if (!good)
            error_ = QStringLiteral("bbox: '%1' is not four numbers x0,y0,x1,y1").arg(*v);
        else if (b[0] > b[2] || b[1] > b[3])
            error_ = QStringLiteral("bbox: '%1' has x0 > x1 or y0 > y1").arg(*v);
        else
            box = b;
    }

private:
    const Query& query_;
    QString error_;
};

Reply storeError(const QString& error)
{
    return jsonError(503, error);
}

Reply events(ApiContext& c, const Query& query)
{
    Params p(query, {"from", "to", "zone", "event", "object", "limit"});
    EventQuery q;
    p.period(q.fromMs, q.toMs);
    p.oneOf("zone", c.zoneNames, q.zone);
    p.oneOf("event", eventKinds(), q.event);
    p.positive("object", q.object, std::numeric_limits<std::int64_t>::max() / 2);
    std::optional<std::int64_t> limit;
    p.positive("limit", limit, maxEventsLimit);
    if (!p.ok())
        return jsonError(400, p.error());
    q.limit = int(limit.value_or(defaultEventsLimit));
    QVector<QByteArray> rows;
    QString error;
    if (!c.store->with([&](Store& s) { return s.events(q, rows, error); }))
        return storeError(error);
    Reply reply;
    reply.body = "{\"events\":[";
    for (int i = 0; i < rows.size(); ++i) {
        if (i)
            reply.body.append(',');
        reply.body.append(rows[i]);
    }
    reply.body.append("]}");
    return reply;
}

bool inside(const ObjectRow& o, const std::array<double, 4>& b)
{
    return o.x >= b[0] && o.x <= b[2] && o.y >= b[1] && o.y <= b[3];
}

Reply tracks(ApiContext& c, const Query& query)
{
    Params p(query, {"from", "to", "object", "bbox"});
    TrackQuery q;
    q.positionsOnly = true;
    p.period(q.fromMs, q.toMs);
    p.positive("object", q.object, std::numeric_limits<std::int64_t>::max() / 2);
    std::optional<std::array<double, 4>> box;
    p.bbox(box);
    if (!p.ok())
        return jsonError(400, p.error());
    QVector<ObjectRow> rows;
    QString error;
    if (!c.store->with([&](Store& s) { return s.tracks(q, rows, error); }))
        return storeError(error);
    if (box) {
        // An object's whole track in the period, when any point of it lies
        // in the box.
        QVector<ObjectRow> kept;
        for (int i = 0; i < rows.size();) {
            int end = i;
            bool in = false;
            for (; end < rows.size() && rows[end].id == rows[i].id; ++end)
                in = in || inside(rows[end], *box);
            if (in)
                kept += rows.mid(i, end - i);
            i = end;
        }
        rows = kept;
    }
    Reply reply;
    reply.type = "application/geo+json";
    reply.body = tracksGeoJson(rows);
    return reply;
}

void appendObject(QByteArray& out, const ObjectRow& o)
{
    out.append("{\"id\":");
    appendInteger(out, o.id);
    out.append(",\"x\":");
    appendNumber(out, o.x);
    out.append(",\"y\":");
    appendNumber(out, o.y);
    if (o.lat && o.lon) {
        out.append(",\"lat\":");
        appendNumber(out, *o.lat);
        out.append(",\"lon\":");
        appendNumber(out, *o.lon);
    }
    out.append(",\"vx\":");
    appendNumber(out, o.vx);
    out.append(",\"vy\":");
    appendNumber(out, o.vy);
    out.append(",\"speed\":");
    appendNumber(out, o.speed);
    out.append(",\"heading\":");
    if (o.heading)
        appendNumber(out, *o.heading);
    else
        out.append("null");
    out.append(o.confirmed ? ",\"confirmed\":true" : ",\"confirmed\":false");
    out.append(",\"radars\":");
    out.append(o.radars);
    out.append(",\"since\":");
    appendInteger(out, o.sinceMs);
    out.append('}');
}

Reply picture(ApiContext& c, const Query& query, const QString& site)
{
    Params p(query, {"time"});
    std::int64_t at = 0;
    if (p.ok() && !p.text("time"))
        return jsonError(400, QStringLiteral("time: missing"));
    p.time("time", at);
    if (!p.ok())
        return jsonError(400, p.error());
    bool found = false;
    std::int64_t timeMs = 0;
    QVector<ObjectRow> rows;
    QString error;
    if (!c.store->with([&](Store& s) { return s.picture(at, found, timeMs, rows, error); }))
        return storeError(error);
    if (!found)
        return jsonError(404, QStringLiteral("no picture recorded at or before %1").arg(at));
    Reply reply;
    reply.body = "{\"site\":";
    appendString(reply.body, site);
    reply.body.append(",\"time\":");
    appendInteger(reply.body, timeMs);
    reply.body.append(",\"objects\":[");
    for (int i = 0; i < rows.size(); ++i) {
        if (i)
            reply.body.append(',');
        appendObject(reply.body, rows[i]);
    }
    reply.body.append("]}");
    return reply;
}

// Cheap on any size of database: the latest record's time by the indexes,
// not a count of rows.
Reply health(ApiContext& c)
{
    bool connected = false;
    const char* kind = "";
    std::optional<std::int64_t> latest;
    QString error;
    const bool read = c.store->with([&](Store& s) {
        kind = s.kind();
        connected = s.isConnected();
        return connected && s.latest(latest, error);
    });
    Reply reply;
    reply.body = "{\"database\":\"";
    reply.body.append(kind);
    reply.body.append(read ? "\",\"state\":\"ok\",\"latest\":"
                           : "\",\"state\":\"away\",\"latest\":");
    if (latest)
        appendInteger(reply.body, *latest);
    else
        reply.body.append("null");
    if (c.recorder) {
        reply.body.append(",\"waiting\":");
        appendInteger(reply.body, c.recorder->waiting());
        reply.body.append(",\"dropped\":");
        appendInteger(reply.body, c.recorder->dropped());
    }
    reply.body.append('}');
    return reply;
}

} // namespace

bool parseTime(const QString& text, std::int64_t& ms)
{
    static const QRegularExpression number(QStringLiteral("\\A-?[0-9]{1,15}\\z"));
    if (number.match(text).hasMatch()) {
        ms = text.toLongLong();
        return true;
    }
    // ISO 8601 with seconds and a zone: Z or an offset.
    static const QRegularExpression iso(
        QStringLiteral("\\A[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(?:\\.[0-9]{1,3})?"
                       "(?:Z|[+-][0-9]{2}:[0-9]{2})\\z"));
    if (!iso.match(text).hasMatch())
        return false;
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return false;
    ms = t.toMSecsSinceEpoch();
    return true;
}

QByteArray tracksGeoJson(const QVector<ObjectRow>& rows)
{
    // About what a point takes: two coordinates and a time.
    constexpr int bytesPerPoint = 56;
    QByteArray out;
    out.reserve(rows.size() * bytesPerPoint + 256);
    out.append("{\"type\":\"FeatureCollection\",\"features\":[");
    for (int i = 0; i < rows.size();) {
        int end = i;
        double maxSpeed = 0.0;
        while (end < rows.size() && rows[end].id == rows[i].id)
            maxSpeed = std::max(maxSpeed, rows[end++].speed);
        const auto position = [&out](const ObjectRow& o) {
            out.append('[');
            if (o.lat && o.lon) {
                appendNumber(out, *o.lon);
                out.append(',');
                appendNumber(out, *o.lat);
            } else {
                appendNumber(out, o.x);
                out.append(',');
                appendNumber(out, o.y);
            }
            out.append(']');
        };
        // A LineString has two positions at least: an object seen once
        // has its one position twice.
        const bool once = end - i == 1;
        out.append(i == 0 ? "" : ",");
        out.append("{\"type\":\"Feature\",\"geometry\":{\"type\":\"LineString\","
                   "\"coordinates\":[");
        for (int k = i; k < end; ++k) {
            if (k > i)
                out.append(',');
            position(rows[k]);
        }
        if (once) {
            out.append(',');
            position(rows[i]);
        }
        out.append("]},\"properties\":{\"id\":");
        appendInteger(out, rows[i].id);
        out.append(",\"first\":");
        appendInteger(out, rows[i].timeMs);
        out.append(",\"last\":");
        appendInteger(out, rows[end - 1].timeMs);
        out.append(",\"times\":[");
        for (int k = i; k < end; ++k) {
            if (k > i)
                out.append(',');
            appendInteger(out, rows[k].timeMs);
        }
        if (once) {
            out.append(',');
            appendInteger(out, rows[i].timeMs);
        }
        out.append("],\"maxSpeed\":");
        appendNumber(out, maxSpeed);
        out.append("}}");
        i = end;
    }
    out.append("]}");
    return out;
}

Reply answer(ApiContext& context, const std::string& path, const Query& query)
{
    // Nothing is recorded: what would read the history is not there.
    if (!context.store && (path == "/api/events" || path == "/api/tracks" ||
                           path == "/api/picture" || path == "/api/health"))
        return jsonError(404, QStringLiteral("no history: [history] enabled = false"));
    if (path == "/api/events")
        return events(context, query);
    if (path == "/api/tracks")
        return tracks(context, query);
    if (path == "/api/picture")
        return picture(context, query, context.site);
    if (path == "/api/zones" || path == "/api/health") {
        const Params p(query, {});
        if (!p.ok())
            return jsonError(400, p.error());
        if (path == "/api/health")
            return health(context);
        Reply reply;
        reply.body = context.zonesJson.isEmpty() ? QByteArray("{\"zones\":[]}") : context.zonesJson;
        return reply;
    }
    return jsonError(404, QStringLiteral("no such resource; try /api/events, /api/tracks, "
                                         "/api/picture, /api/zones or /api/health"));
}

struct ApiServer::Impl
{
    ApiContext context;
    httplib::Server server;
    std::thread thread;
};

ApiServer::ApiServer(ApiContext context) : impl_(std::make_unique<Impl>())
{
    impl_->context = std::move(context);
    impl_->server.Get(R"(/api/.*)", [this](const httplib::Request& request,
                                           httplib::Response& response) {
        const Reply reply = answer(impl_->context, request.path, request.params);
        response.status = reply.status;
        // The site view's page comes from another origin than the API.
        response.set_header("Access-Control-Allow-Origin", "*");
        response.set_content(reply.body.constData(), std::size_t(reply.body.size()), reply.type);
    });
    if (impl_->context.metrics) {
        impl_->server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(impl_->context.metrics(), service::expositionType);
        });
    }
}

ApiServer::~ApiServer()
{
    stop();
}

bool ApiServer::start(const QString& host, quint16 port, QString& error)
{
    const std::string address = host.toStdString();
    int bound = port == 0 ? impl_->server.bind_to_any_port(address)
                          : (impl_->server.bind_to_port(address, port) ? port : -1);
    if (bound <= 0) {
        error = QStringLiteral("http: cannot listen on %1:%2").arg(host).arg(port);
        return false;
    }
    port_ = quint16(bound);
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    // Until the thread accepts: stop() before that would not end it.
    while (!impl_->server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void ApiServer::stop()
{
    if (impl_->thread.joinable()) {
        impl_->server.stop();
        impl_->thread.join();
    }
}

} // namespace trklib::sited::history

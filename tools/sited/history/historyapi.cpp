#include "tools/sited/history/historyapi.h"

#include "tools/sited/history/zonepreview.h"
#include "tools/sited/history/zoneseditor.h"

#include "tools/common/service/jsonwriter.h"
#include "tools/common/service/metrics.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrlQuery>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <thread>

namespace trklib::sited::history {

Reply jsonError(int status, const QString& why)
{
    Reply reply;
    reply.status = status;
    reply.body = "{\"error\":";
    service::appendString(reply.body, why);
    reply.body.append('}');
    return reply;
}

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
    p.oneOf("zone", c.zones->names(), q.zone);
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
    if (o.gappedS > 0.0) {
        out.append(",\"gapped\":");
        appendNumber(out, o.gappedS);
    }
    out.append(",\"class\":\"");
    out.append(className(o.objectClass));
    out.append("\",\"classes\":");
    out.append(o.classes);
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

// --- The site's own map ---------------------------------------------------

// How long the page may keep an image asked for by the map's version (s).
constexpr int keptImageS = 24 * 3600;

// An image of the map: kept by the page when asked for by the version the
// map has now, else asked for again each time.
Reply mapImage(const BaseMap& map, const Params& p, QByteArray bytes, const std::string& type)
{
    Reply reply;
    reply.body = std::move(bytes);
    reply.type = type;
    const bool current = p.text("v") == QString::fromStdString(map.version());
    reply.headers.emplace_back(
        "Cache-Control", current ? "private, max-age=" + std::to_string(keptImageS) + ", immutable"
                                 : std::string("private, no-cache"));
    return reply;
}

// "Z/X/Y": whole numbers without leading zeros, Z from 0 to maxTileZoom,
// X and Y below 2^Z.
bool tileNumbers(const std::string& text, int& zoom, int& column, int& row)
{
    static const QRegularExpression form(
        QStringLiteral("\\A(0|[1-9][0-9]?)/(0|[1-9][0-9]{0,9})/(0|[1-9][0-9]{0,9})\\z"));
    const QRegularExpressionMatch m = form.match(QString::fromStdString(text));
    if (!m.hasMatch())
        return false;
    zoom = m.captured(1).toInt();
    const qint64 x = m.captured(2).toLongLong();
    const qint64 y = m.captured(3).toLongLong();
    if (zoom > maxTileZoom || x >= (qint64(1) << zoom) || y >= (qint64(1) << zoom))
        return false;
    column = int(x);
    row = int(y);
    return true;
}

constexpr const char* tilesPath = "/api/map/tiles/";

Reply mapResource(const ApiContext& c, const std::string& path, const Query& query)
{
    Params p(query, {"v"});
    if (!p.ok())
        return jsonError(400, p.error());
    if (!c.map)
        return jsonError(404, QStringLiteral("no map: %1").arg(c.noMap));
    if (path == "/api/map") {
        Reply reply;
        reply.body = c.map->description();
        return reply;
    }
    if (path == "/api/map/plan") {
        if (!c.map->isPlan())
            return jsonError(404, QStringLiteral("no plan: the map is an MBTiles file"));
        return mapImage(*c.map, p, c.map->plan(), c.map->planType());
    }
    const std::string numbers = path.substr(std::strlen(tilesPath));
    int zoom = 0;
    int column = 0;
    int row = 0;
    if (c.map->isPlan())
        return jsonError(404, QStringLiteral("no tiles: the map is a plan"));
    if (!tileNumbers(numbers, zoom, column, row))
        return jsonError(400, QStringLiteral("tile: '%1' is not Z/X/Y, whole numbers with Z "
                                             "from 0 to %2 and X and Y below 2^Z")
                                  .arg(QString::fromStdString(numbers).left(maxParameterChars))
                                  .arg(maxTileZoom));
    QByteArray bytes;
    std::string type;
    QString error;
    if (!c.map->tile(zoom, column, row, bytes, type, error))
        return error.isEmpty() ? jsonError(404, QStringLiteral("no tile %1/%2/%3 in the map")
                                                    .arg(zoom)
                                                    .arg(column)
                                                    .arg(row))
                               : jsonError(503, error);
    return mapImage(*c.map, p, std::move(bytes), type);
}

bool isMapPath(const std::string& path)
{
    return path == "/api/map" || path == "/api/map/plan" || path.rfind(tilesPath, 0) == 0;
}

// --- Logins ---------------------------------------------------------------

// The routes with an access of their own; every other is Viewer's.
struct Route
{
    const char* method;
    const char* path;
    Access access;
};

constexpr Route routes[]{
    {"POST", "/api/login", Access::Open},
    {"POST", "/api/logout", Access::Open},
    {"GET", "/api/health", Access::Open},
    {"GET", "/metrics", Access::Open},
    // The login page and what it loads.
    {"GET", "/login.html", Access::Open},
    {"GET", "/src/login.js", Access::Open},
    {"GET", "/style.css", Access::Open},
    {"GET", "/api/users", Access::Admin},
    {"GET", "/api/logins", Access::Admin},
    {"POST", "/api/alarms/*/acknowledge", Access::Operator},
    {"POST", "/api/alarms/*/notes", Access::Operator},
    {"POST", "/api/zones/*/shelve", Access::Operator},
    {"POST", "/api/zones/*/unshelve", Access::Operator},
    {"POST", "/api/zones/*/arm", Access::Operator},
    {"POST", "/api/zones/*/disarm", Access::Operator},
    {"POST", "/api/zones/*/schedule", Access::Operator},
    {"POST", "/api/cameras/*/take", Access::Operator},
    {"POST", "/api/cameras/*/give", Access::Operator},
    {"POST", "/api/cameras/*/follow", Access::Operator},
    {"GET", "/api/zones/file", Access::Admin},
    {"PUT", "/api/zones/file", Access::Admin},
    {"GET", "/api/zones/versions", Access::Admin},
    {"GET", "/api/zones/versions/*", Access::Admin},
    {"POST", "/api/zones/versions/*/restore", Access::Admin},
    {"POST", "/api/zones/preview", Access::Admin},
    // The site's own map; a path ending in '/' stands for every path under it.
    {"GET", "/api/map", Access::Viewer},
    {"GET", "/api/map/plan", Access::Viewer},
    {"GET", "/api/map/tiles/", Access::Viewer},
};

// Whether path is pattern, each "*" of it one segment of path, not empty.
bool pathMatches(const char* pattern, const std::string& path, std::string* segment = nullptr)
{
    std::size_t at = 0;
    for (const char* p = pattern; *p; ++p) {
        if (*p != '*') {
            if (at >= path.size() || path[at] != *p)
                return false;
            ++at;
            continue;
        }
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end == at)
            return false;
        if (segment)
            *segment = path.substr(at, end - at);
        at = end;
    }
    return at == path.size();
}

// The role a route needs; none for an open one.
std::optional<Role> neededRole(Access access)
{
    switch (access) {
    case Access::Open:
        return std::nullopt;
    case Access::Viewer:
        return Role::Viewer;
    case Access::Operator:
        return Role::Operator;
    case Access::Admin:
        return Role::Admin;
    }
    return Role::Admin;
}

// A cookie's value from a Cookie header ("a=1; trklib_session=...").
QByteArray cookieValue(const std::string& header, const char* name)
{
    const QByteArray prefix = QByteArray(name) + '=';
    for (const QByteArray& part : QByteArray::fromStdString(header).split(';')) {
        const QByteArray cookie = part.trimmed();
        if (cookie.startsWith(prefix))
            return cookie.mid(prefix.size());
    }
    return QByteArray();
}

std::string sessionCookieHeader(const ApiContext& c, const QByteArray& token, std::int64_t maxAgeS)
{
    std::string header = std::string(sessionCookie) + "=" + token.toStdString() +
                         "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" + std::to_string(maxAgeS);
    if (c.secure)
        header += "; Secure";
    return header;
}

void record(ApiContext& c, const QString& name, const char* action, const Request& r)
{
    if (c.record)
        c.record({c.logins->now(), name, QLatin1String(action), QString::fromStdString(r.peer)});
}

Reply noLogins()
{
    return jsonError(404, QStringLiteral("no logins: the site file's [http] has no users_file"));
}

// The name and password of a JSON object or of a form.
bool loginFields(const Request& r, QString& name, QByteArray& password)
{
    if (r.contentType.rfind("application/x-www-form-urlencoded", 0) == 0) {
        QByteArray body = QByteArray::fromStdString(r.body);
        body.replace('+', "%20");
        const QUrlQuery form{QString::fromUtf8(body)};
        name = form.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded);
        password = form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded).toUtf8();
        return form.hasQueryItem(QStringLiteral("name")) &&
               form.hasQueryItem(QStringLiteral("password"));
    }
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object();
    name = o.value(QLatin1String("name")).toString();
    password = o.value(QLatin1String("password")).toString().toUtf8();
    return o.value(QLatin1String("name")).isString() &&
           o.value(QLatin1String("password")).isString();
}

// Who is logged in, and the site's topics for the page.
Reply sessionBody(const ApiContext& c, const QString& name, Role role, std::int64_t expiresMs)
{
    Reply reply;
    reply.body = "{\"site\":";
    appendString(reply.body, c.site);
    reply.body.append(",\"prefix\":");
    appendString(reply.body, c.prefix);
    if (!c.logins) {
        reply.body.append(",\"logins\":false}");
        return reply;
    }
    reply.body.append(",\"logins\":true,\"name\":");
    appendString(reply.body, name);
    reply.body.append(",\"role\":\"").append(roleName(role)).append("\",\"expires\":");
    appendInteger(reply.body, expiresMs);
    reply.body.append('}');
    return reply;
}

Reply login(ApiContext& c, const Request& r)
{
    if (!c.logins)
        return noLogins();
    QString name;
    QByteArray password;
    if (!loginFields(r, name, password) || !isUserName(name))
        return jsonError(400, QStringLiteral("give a user's name and password, as JSON "
                                             "{\"name\": ..., \"password\": ...} or a form"));
    const Logins::Attempt attempt = c.logins->login(name, password);
    switch (attempt.result) {
    case Logins::Attempt::Result::Wait: {
        Reply reply = jsonError(429, QStringLiteral("too many wrong passwords for this name; "
                                                    "try again in %1 s")
                                         .arg(attempt.retryAfterS));
        reply.headers.emplace_back("Retry-After", std::to_string(attempt.retryAfterS));
        return reply;
    }
    case Logins::Attempt::Result::Wrong:
        record(c, name, "failed", r);
        return jsonError(401, QStringLiteral("wrong name or password"));
    case Logins::Attempt::Result::LoggedIn:
        break;
    }
    record(c, name, "login", r);
    Reply reply = sessionBody(c, name, attempt.role, attempt.expiresMs);
    reply.headers.emplace_back("Set-Cookie",
                               sessionCookieHeader(c, attempt.token, c.logins->sessionMs() / 1000));
    return reply;
}

Reply logout(ApiContext& c, const Request& r)
{
    if (!c.logins)
        return noLogins();
    if (const std::optional<QString> name = c.logins->logout(cookieValue(r.cookie, sessionCookie)))
        record(c, *name, "logout", r);
    Reply reply;
    reply.body = "{\"logged_out\":true}";
    reply.headers.emplace_back("Set-Cookie", sessionCookieHeader(c, QByteArray(), 0));
    return reply;
}

Reply users(ApiContext& c, const Query& query)
{
    const Params p(query, {});
    if (!p.ok())
        return jsonError(400, p.error());
    Reply reply;
    reply.body = "{\"users\":[";
    for (const User& u : c.logins->users()) {
        reply.body.append(reply.body.endsWith('[') ? "{\"name\":" : ",{\"name\":");
        appendString(reply.body, u.name);
        reply.body.append(",\"role\":\"").append(roleName(u.role)).append("\"}");
    }
    reply.body.append("]}");
    return reply;
}

// A listing of a period's rows (from, to, limit): the rows read by read
// into the JSON object {"<key>": [...]}, each appended by append; 400 for
// a bad parameter.
template <typename Row>
Reply periodListing(ApiContext& c, const Query& query, const char* key,
                    bool (Store::*read)(const LoginQuery&, QVector<Row>&, QString&),
                    void (*append)(QByteArray& out, const Row& row))
{
    Params p(query, {"from", "to", "limit"});
    LoginQuery q;
    p.period(q.fromMs, q.toMs);
    std::optional<std::int64_t> limit;
    p.positive("limit", limit, maxEventsLimit);
    if (!p.ok())
        return jsonError(400, p.error());
    q.limit = int(limit.value_or(defaultEventsLimit));
    QVector<Row> rows;
    QString error;
    if (!c.store->with([&](Store& s) { return (s.*read)(q, rows, error); }))
        return storeError(error);
    Reply reply;
    reply.body.append("{\"").append(key).append("\":[");
    for (const Row& row : rows) {
        reply.body.append(reply.body.endsWith('[') ? "{\"time\":" : ",{\"time\":");
        appendInteger(reply.body, row.timeMs);
        append(reply.body, row);
        reply.body.append('}');
    }
    reply.body.append("]}");
    return reply;
}

void appendLogin(QByteArray& out, const LoginRow& l)
{
    out.append(",\"name\":");
    appendString(out, l.name);
    out.append(",\"action\":");
    appendString(out, l.action);
    out.append(",\"peer\":");
    appendString(out, l.peer);
}

void appendCameraChange(QByteArray& out, const CameraRow& r)
{
    out.append(",\"camera\":");
    appendString(out, r.camera);
    out.append(",\"action\":");
    appendString(out, r.action);
    out.append(",\"user\":");
    appendString(out, r.user);
    out.append(",\"object\":");
    appendInteger(out, r.object);
    out.append(",\"detail\":");
    appendString(out, r.detail);
}

Reply logins(ApiContext& c, const Query& query)
{
    return periodListing(c, query, "logins", &Store::logins, appendLogin);
}

// GET /api/cameras?from=&to=&limit=: the cameras' changes, oldest first.
Reply cameraChanges(ApiContext& c, const Query& query)
{
    return periodListing(c, query, "changes", &Store::cameras, appendCameraChange);
}

// --- The site view's files ------------------------------------------------

const char* contentType(const QString& suffix)
{
    static const std::pair<const char*, const char*> types[]{
        {"html", "text/html; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"mjs", "text/javascript; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"json", "application/json"},
        {"map", "application/json"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"},
        {"ico", "image/x-icon"},
        {"txt", "text/plain; charset=utf-8"},
    };
    for (const auto& [ending, type] : types) {
        if (suffix == QLatin1String(ending))
            return type;
    }
    return "application/octet-stream";
}

// A file under the web root by its decoded path: "/" is index.html. No
// folder is listed; a path with an empty, "." or ".." part or a hidden
// one, or whose real place (links followed) is outside the root, is not
// there.
Reply webFile(const QString& root, const std::string& path)
{
    const Reply none = jsonError(404, QStringLiteral("no such file"));
    if (root.isEmpty() || path.empty() || path[0] != '/' ||
        path.find_first_of(std::string("\\\0", 2)) != std::string::npos)
        return none;
    const QString relative = QString::fromUtf8(path == "/" ? "index.html" : path.c_str() + 1);
    for (const QString& part : relative.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part.startsWith(QLatin1Char('.')))
            return none;
    }
    const QString rootPath = QFileInfo(root).canonicalFilePath();
    const QFileInfo file(QFileInfo(rootPath + QLatin1Char('/') + relative).canonicalFilePath());
    if (rootPath.isEmpty() || !file.filePath().startsWith(rootPath + QLatin1Char('/')) ||
        !file.isFile())
        return none;
    QFile f(file.filePath());
    if (!f.open(QIODevice::ReadOnly))
        return none;
    Reply reply;
    reply.body = f.readAll();
    reply.type = contentType(file.suffix().toLower());
    return reply;
}

Reply redirect(const char* to)
{
    Reply reply;
    reply.status = 303;
    reply.type = "text/plain; charset=utf-8";
    reply.headers.emplace_back("Location", to);
    return reply;
}

// --- Alarms ---------------------------------------------------------------

Reply alarmsOpen(ApiContext& c)
{
    Reply reply;
    const std::int64_t nowMs = QDateTime::currentMSecsSinceEpoch();
    reply.body = c.alarms
                     ? zones::alarmsMessage(c.site, nowMs, c.alarms->open(), c.alarms->shelvings())
                     : zones::alarmsMessage(c.site, nowMs, {}, {});
    return reply;
}

Reply alarms(ApiContext& c, const Query& query)
{
    Params p(query, {"from", "to"});
    if (!p.ok())
        return jsonError(400, p.error());
    if (query.empty())
        return alarmsOpen(c);
    if (!c.store)
        return jsonError(404, QStringLiteral("no history: [history] enabled = false"));
    AlarmQuery q;
    p.period(q.fromMs, q.toMs);
    if (!p.ok())
        return jsonError(400, p.error());
    QVector<zones::AlarmChange> changes;
    QString error;
    if (!c.store->with([&](Store& s) { return s.alarms(q, changes, error); }))
        return storeError(error);
    Reply reply;
    reply.body = "{\"changes\":[";
    for (int i = 0; i < changes.size(); ++i) {
        if (i)
            reply.body.append(',');
        zones::appendAlarmChange(reply.body, changes[i]);
    }
    reply.body.append("]}");
    return reply;
}

// An operator's POST to an alarm or a zone: its JSON body's fields, the
// book's answer.
Reply alarmAction(ApiContext& c, const Request& r, const std::optional<Logins::Session>& who)
{
    if (!c.logins || !who)
        return jsonError(403, QStringLiteral("needs logins: [http] users_file"));
    if (!c.alarms)
        return jsonError(404, QStringLiteral("no alarms: the site file's [zones] names no file"));
    QJsonParseError parseError;
    const QJsonDocument document =
        r.body.empty() ? QJsonDocument(QJsonObject())
                       : QJsonDocument::fromJson(QByteArray::fromStdString(r.body), &parseError);
    if (!document.isObject())
        return jsonError(400, QStringLiteral("the body is not a JSON object"));
    const QJsonObject body = document.object();
    const auto text = [&body](const char* key, QString& out) {
        const QJsonValue v = body.value(QLatin1String(key));
        out = v.toString();
        return v.isUndefined() || v.isString();
    };
    std::string segment;
    const std::int64_t nowMs = c.logins->now();
    int status = 200;
    QString why;
    bool done = false;
    if (pathMatches("/api/alarms/*/acknowledge", r.path, &segment) ||
        pathMatches("/api/alarms/*/notes", r.path, &segment)) {
        static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,18}\\z"));
        const QString id = QString::fromStdString(segment);
        if (!digits.match(id).hasMatch())
            return jsonError(404,
                             QStringLiteral("no open alarm '%1'").arg(id.left(maxParameterChars)));
        QString note;
        const bool acknowledge =
            r.path.size() > 12 && r.path.compare(r.path.size() - 12, 12, "/acknowledge") == 0;
        if (!text(acknowledge ? "note" : "text", note))
            return jsonError(400, QStringLiteral("%1: not a string")
                                      .arg(QLatin1String(acknowledge ? "note" : "text")));
        done = acknowledge
                   ? c.alarms->acknowledge(id.toLongLong(), who->name, note, nowMs, status, why)
                   : c.alarms->addNote(id.toLongLong(), who->name, note, nowMs, status, why);
    } else if (pathMatches("/api/zones/*/shelve", r.path, &segment)) {
        const QJsonValue minutes = body.value(QLatin1String("minutes"));
        QString reason;
        if (!text("why", reason))
            return jsonError(400, QStringLiteral("why: not a string"));
        const double m = minutes.toDouble();
        if (!minutes.isDouble() || m != std::floor(m) || m < 1 || m > zones::maxShelveMinutes)
            return jsonError(400, QStringLiteral("minutes: a whole number from 1 to %1")
                                      .arg(zones::maxShelveMinutes));
        done = c.alarms->shelve(QString::fromStdString(segment), who->name, int(m), reason, nowMs,
                                status, why);
    } else if (pathMatches("/api/zones/*/unshelve", r.path, &segment)) {
        done = c.alarms->unshelve(QString::fromStdString(segment), who->name, nowMs, status, why);
    }
    if (!done)
        return jsonError(status, why);
    return alarmsOpen(c);
}

// --- Cameras --------------------------------------------------------------

// An operator's POST to a camera: {"camera": NAME} when cueing took it.
Reply cameraAction(ApiContext& c, const Request& r, const std::optional<Logins::Session>& who)
{
    // The largest object id a JSON number holds exactly: 2^53.
    constexpr double maxObjectId = 9007199254740992.0;
    if (!c.cameraAction)
        return jsonError(404, QStringLiteral("no cameras: the site file has no [camera.NAME]"));
    std::string segment;
    const char* action = pathMatches("/api/cameras/*/take", r.path, &segment)     ? "take"
                         : pathMatches("/api/cameras/*/give", r.path, &segment)   ? "give"
                         : pathMatches("/api/cameras/*/follow", r.path, &segment) ? "follow"
                                                                                  : nullptr;
    if (!action)
        return jsonError(404, QStringLiteral("no such camera action; try take, give or follow"));
    std::optional<std::int64_t> object;
    if (std::strcmp(action, "follow") == 0) {
        QJsonParseError parseError;
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(r.body), &parseError);
        const QJsonValue v = document.object().value(QLatin1String("object"));
        const double id = v.toDouble();
        if (!document.isObject() || !(v.isNull() || v.isDouble()) ||
            (v.isDouble() && (id != std::floor(id) || id < 1 || id > maxObjectId)))
            return jsonError(400, QStringLiteral("the body is not {\"object\": ID or null}"));
        if (v.isDouble())
            object = std::int64_t(id);
    }
    const QString camera = QString::fromStdString(segment).left(maxParameterChars);
    int status = 200;
    QString why;
    if (!c.cameraAction(camera, QLatin1String(action), object, who ? who->name : QString(), status,
                        why))
        return jsonError(status, why);
    Reply reply;
    reply.body = "{\"camera\":";
    appendString(reply.body, camera);
    reply.body.append('}');
    return reply;
}

} // namespace

Access routeAccess(const std::string& method, const std::string& path)
{
    for (const Route& r : routes) {
        const std::string_view route(r.path);
        const bool under = route.back() == '/' && path.rfind(route, 0) == 0;
        if (method == r.method && (under || pathMatches(r.path, path)))
            return r.access;
    }
    return Access::Viewer;
}

Reply handle(ApiContext& c, const Request& r)
{
    std::optional<Logins::Session> who;
    if (c.logins) {
        who = c.logins->session(cookieValue(r.cookie, sessionCookie));
        const std::optional<Role> needed = neededRole(routeAccess(r.method, r.path));
        if (needed && !who) {
            // A browser asking for the page is sent to log in first.
            if (r.method == "GET" && (r.path == "/" || r.path == "/index.html"))
                return redirect("/login.html");
            return jsonError(401, QStringLiteral("log in first: POST /api/login"));
        }
        if (needed && !allows(who->role, *needed))
            return jsonError(403, QStringLiteral("needs the %1 role").arg(roleName(*needed)));
    }
    if (r.method == "PUT" || isZonesEditPath(r.path))
        return zonesEdit(c, r, who);
    if (r.method == "POST") {
        if (r.path == "/api/login")
            return login(c, r);
        if (r.path == "/api/logout")
            return logout(c, r);
        if (r.path.rfind("/api/cameras/", 0) == 0)
            return cameraAction(c, r, who);
        if (routeAccess(r.method, r.path) == Access::Operator)
            return alarmAction(c, r, who);
        if (r.path == "/api/zones/preview")
            return zonePreviewReply(c, r.body);
        return jsonError(404, QStringLiteral("no such resource to POST to; try /api/login or "
                                             "/api/logout"));
    }
    if (r.path == "/api/session") {
        const Params p(r.query, {});
        if (!p.ok())
            return jsonError(400, p.error());
        return who ? sessionBody(c, who->name, who->role, who->expiresMs)
                   : sessionBody(c, QString(), Role::Viewer, 0);
    }
    if (r.path == "/metrics" && c.metrics) {
        Reply figures;
        figures.body = QByteArray::fromStdString(c.metrics());
        figures.type = service::expositionType;
        return figures;
    }
    if (r.path == "/api/users" || r.path == "/api/logins") {
        if (!c.logins)
            return noLogins();
        if (r.path == "/api/logins" && !c.store)
            return jsonError(404, QStringLiteral("no history: [history] enabled = false"));
        return r.path == "/api/users" ? users(c, r.query) : logins(c, r.query);
    }
    if (r.path == "/api/stream") {
        const Params p(r.query, {});
        if (!p.ok())
            return jsonError(400, p.error());
        Reply stream;
        stream.stream = true;
        stream.type = "text/event-stream";
        stream.role = who ? who->role : Role::Admin;
        return stream;
    }
    if (r.path.rfind("/api/", 0) == 0)
        return answer(c, r.path, r.query);
    return webFile(c.webRoot, r.path);
}

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
    if (isMapPath(path))
        return mapResource(context, path, query);
    if (path == "/api/events")
        return events(context, query);
    if (path == "/api/tracks")
        return tracks(context, query);
    if (path == "/api/picture")
        return picture(context, query, context.site);
    if (path == "/api/alarms")
        return alarms(context, query);
    if (path == "/api/cameras") {
        if (!context.store)
            return jsonError(404, QStringLiteral("no history: [history] enabled = false"));
        return cameraChanges(context, query);
    }
    if (path == "/api/zones" || path == "/api/health") {
        const Params p(query, {});
        if (!p.ok())
            return jsonError(400, p.error());
        if (path == "/api/health")
            return health(context);
        Reply reply;
        reply.body = context.zones->json();
        if (reply.body.isEmpty())
            reply.body = "{\"zones\":[]}";
        return reply;
    }
    return jsonError(
        404, QStringLiteral("no such resource; try /api/events, /api/tracks, "
                            "/api/picture, /api/zones, /api/alarms, /api/map or /api/health"));
}

// Connections served at once; each open page holds one for its stream.
constexpr int serverThreads = 2 * LiveStream::maxPages;
// A stream says it is there this often when nothing else comes: a comment
// line, which the page's EventSource passes over.
constexpr std::chrono::seconds streamKeepAlive{15};
// A login's body is a name and a password: anything larger is refused,
// but for a zones file's (zoneseditor.h), which the server takes up to
// twice its limit to answer one past it with a line of its own.
constexpr std::size_t maxBodyBytes = 16 * 1024;

struct ApiServer::Impl
{
    ApiContext context;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;

    void serve(const httplib::Request& request, httplib::Response& response)
    {
        Request r;
        // A HEAD is its GET without the body (the server leaves that out).
        r.method = request.method == "HEAD" ? "GET" : request.method;
        r.path = request.path;
        r.query = request.params;
        r.cookie = request.get_header_value("Cookie");
        r.contentType = request.get_header_value("Content-Type");
        r.body = request.body;
        r.peer = request.remote_addr;
        // The routes that take a zones file (the preview's too) have a
        // limit of their own.
        const bool zonesBody = isZonesEditPath(r.path) || r.path == "/api/zones/preview";
        Reply reply =
            r.body.size() > maxBodyBytes && !zonesBody
                ? jsonError(413,
                            QStringLiteral("the body is larger than %1 bytes").arg(maxBodyBytes))
                : handle(context, r);
        std::shared_ptr<LiveStream::Page> page;
        if (reply.stream && !(context.live && (page = context.live->join(reply.role))))
            reply = jsonError(503, QStringLiteral("no stream: %1 pages are streamed to already")
                                       .arg(LiveStream::maxPages));
        response.status = reply.status;
        // Without logins the site view's page may come from another origin;
        // with them it is sited's own, and no other page may read the API.
        if (!context.logins)
            response.set_header("Access-Control-Allow-Origin", "*");
        response.set_header("X-Content-Type-Options", "nosniff");
        const bool ownCaching =
            std::any_of(reply.headers.begin(), reply.headers.end(),
                        [](const auto& header) { return header.first == "Cache-Control"; });
        if (r.path.rfind("/api/", 0) == 0 && !ownCaching)
            response.set_header("Cache-Control", "no-store");
        for (const auto& [name, value] : reply.headers)
            response.set_header(name.c_str(), value);
        if (page) {
            response.set_chunked_content_provider(
                reply.type.c_str(), [page](std::size_t, httplib::DataSink& sink) {
                    QByteArray out;
                    if (!page->next(streamKeepAlive, out))
                        return false; // sited stops
                    if (out.isEmpty())
                        out = ": still here\n\n";
                    return sink.write(out.constData(), std::size_t(out.size()));
                });
            return;
        }
        response.set_content(reply.body.constData(), std::size_t(reply.body.size()),
                             reply.type.c_str());
    }
};

ApiServer::ApiServer(ApiContext context) : impl_(std::make_unique<Impl>())
{
    impl_->context = std::move(context);
}

ApiServer::~ApiServer()
{
    stop();
}

bool ApiServer::start(const QString& host, quint16 port, QString& error, const QString& certFile,
                      const QString& keyFile)
{
    if (certFile.isEmpty()) {
        impl_->server = std::make_unique<httplib::Server>();
    } else {
        auto tls = std::make_unique<httplib::SSLServer>(QFile::encodeName(certFile).constData(),
                                                        QFile::encodeName(keyFile).constData());
        if (!tls->is_valid()) {
            error =
                QStringLiteral("http: cannot set up HTTPS with %1 and %2").arg(certFile, keyFile);
            return false;
        }
        impl_->server = std::move(tls);
        impl_->context.secure = true;
    }
    httplib::Server& server = *impl_->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(serverThreads); };
    server.set_payload_max_length(2 * std::size_t(maxZonesFileBytes));
    const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
        impl_->serve(request, response);
    };
    // Every path, the API's and the page's files alike, goes through
    // handle(), which checks its access: a route of its own registered
    // here would have to check it too, and ahead of these to be reached.
    server.Get(R"(/.*)", serve);
    server.Post(R"(/.*)", serve);
    server.Put(R"(/.*)", serve);

    const std::string address = host.toStdString();
    int bound = port == 0 ? server.bind_to_any_port(address)
                          : (server.bind_to_port(address, port) ? port : -1);
    if (bound <= 0) {
        error = QStringLiteral("http: cannot listen on %1:%2").arg(host).arg(port);
        return false;
    }
    port_ = quint16(bound);
    impl_->thread = std::thread([this] { impl_->server->listen_after_bind(); });
    // Until the thread accepts: stop() before that would not end it.
    while (!impl_->server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void ApiServer::stop()
{
    if (impl_->thread.joinable()) {
        // The streams end first: the server waits for its handlers.
        if (impl_->context.live)
            impl_->context.live->close();
        impl_->server->stop();
        impl_->thread.join();
    }
}

} // namespace trklib::sited::history

#include "tools/sited/history/historybackends.h"

#include "tools/common/service/jsonwriter.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstring>

// The server back end: one libpq connection. Values go as bound text
// parameters; objects, the bulk of every batch, go by COPY, whose data is
// never read as SQL.
namespace trklib::sited::history {

namespace {

// Advisory lock: the first schema is made by one sited at a time.
constexpr const char* schemaLockKey = "7061913";

constexpr const char* schemaV1[] = {
    "CREATE TABLE pictures (site text NOT NULL, time bigint NOT NULL, "
    "PRIMARY KEY (site, time))",
    "CREATE TABLE objects (site text NOT NULL, time bigint NOT NULL, id bigint NOT NULL, "
    "x double precision NOT NULL, y double precision NOT NULL, lat double precision, "
    "lon double precision, vx double precision NOT NULL, vy double precision NOT NULL, "
    "speed double precision NOT NULL, heading double precision, confirmed boolean NOT NULL, "
    "radars text NOT NULL, since bigint NOT NULL, PRIMARY KEY (site, id, time))",
    "CREATE INDEX objects_time ON objects (site, time)",
    "CREATE TABLE events (seq bigserial PRIMARY KEY, site text NOT NULL, time bigint NOT NULL, "
    "zone text NOT NULL, event text NOT NULL, object bigint NOT NULL, json text NOT NULL)",
    "CREATE INDEX events_time ON events (site, time)",
    "CREATE INDEX events_zone ON events (site, zone, time)",
    "CREATE INDEX events_object ON events (site, object, time)",
    "CREATE TABLE radar_status (site text NOT NULL, time bigint NOT NULL, radar text NOT NULL, "
    "online boolean NOT NULL)",
    "CREATE INDEX radar_status_time ON radar_status (site, time)",
};

// Version 2: a track's points in one index, in the order they are asked
// for, so that a track is read from the index alone. The key's own index
// finds an object's rows but then reads each from the table, where a
// picture's objects lie together and one object's day is spread over as
// many pages as it has points.
//
// And each event and status change is kept once: a batch written again
// after a connection lost with its COMMIT's answer adds nothing. Rows twice
// in a database of version 1 are removed first.
constexpr const char* schemaV2[] = {
    "CREATE INDEX objects_track ON objects (site, id, time) INCLUDE (x, y, lat, lon, speed)",
    "DELETE FROM events a USING events b WHERE a.site = b.site AND a.time = b.time "
    "AND a.object = b.object AND a.json = b.json AND a.seq > b.seq",
    "CREATE UNIQUE INDEX events_once ON events (site, time, object, json)",
    "DELETE FROM radar_status a USING radar_status b WHERE a.site = b.site AND a.time = b.time "
    "AND a.radar = b.radar AND a.online = b.online AND a.ctid > b.ctid",
    "CREATE UNIQUE INDEX radar_status_once ON radar_status (site, time, radar, online)",
};

// What a track is drawn from, all in the track index; an object's columns
// begin with them, so that readObject() reads on where readPosition() ends.
constexpr const char* positionColumns = "time, id, x, y, lat, lon, speed";
constexpr const char* objectColumns =
    "time, id, x, y, lat, lon, speed, vx, vy, heading, confirmed, radars, since";

// Text parameters of one statement; an absent value is SQL NULL.
class Params
{
public:
    Params& add(const QByteArray& v)
    {
        values_.append(v);
        isNull_.append(false);
        return *this;
    }
    Params& add(const QString& v) { return add(v.toUtf8()); }
    Params& add(std::int64_t v) { return add(QByteArray::number(qlonglong(v))); }
    Params& add(const std::optional<std::int64_t>& v)
    {
        if (v)
            return add(*v);
        values_.append(QByteArray());
        isNull_.append(true);
        return *this;
    }
    int size() const { return values_.size(); }
    QVector<const char*> pointers() const
    {
        QVector<const char*> p;
        for (int i = 0; i < values_.size(); ++i)
            p.append(isNull_[i] ? nullptr : values_[i].constData());
        return p;
    }

private:
    QVector<QByteArray> values_;
    QVector<bool> isNull_;
};

// A result, cleared when it goes.
class Result
{
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    ExecStatusType status() const { return PQresultStatus(r_); }
    int rows() const { return PQntuples(r_); }
    bool isNull(int row, int c) const { return PQgetisnull(r_, row, c); }
    QByteArray text(int row, int c) const
    {
        return QByteArray(PQgetvalue(r_, row, c), PQgetlength(r_, row, c));
    }
    std::int64_t integer(int row, int c) const
    {
        std::int64_t v = 0;
        const char* s = PQgetvalue(r_, row, c);
        std::from_chars(s, s + std::strlen(s), v);
        return v;
    }
    double real(int row, int c) const { return std::strtod(PQgetvalue(r_, row, c), nullptr); }
    std::optional<double> optionalReal(int row, int c) const
    {
        if (isNull(row, c))
            return std::nullopt;
        return real(row, c);
    }

private:
    PGresult* r_;
};

ObjectRow readPosition(const Result& r, int row)
{
    ObjectRow o;
    o.timeMs = r.integer(row, 0);
    o.id = r.integer(row, 1);
    o.x = r.real(row, 2);
    o.y = r.real(row, 3);
    o.lat = r.optionalReal(row, 4);
    o.lon = r.optionalReal(row, 5);
    o.speed = r.real(row, 6);
    return o;
}

ObjectRow readObject(const Result& r, int row)
{
    ObjectRow o = readPosition(r, row);
    o.vx = r.real(row, 7);
    o.vy = r.real(row, 8);
    o.heading = r.optionalReal(row, 9);
    o.confirmed = r.text(row, 10) == "t";
    o.radars = r.text(row, 11);
    o.sinceMs = r.integer(row, 12);
    return o;
}

// A COPY text field: backslash, tab, newline and carriage return escaped.
void appendCopyText(QByteArray& out, const QByteArray& v)
{
    for (char c : v) {
        switch (c) {
        case '\\':
            out.append("\\\\");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        default:
            out.append(c);
        }
    }
}

void appendCopyNumber(QByteArray& out, const std::optional<double>& v)
{
    if (v)
        service::appendNumber(out, *v);
    else
        out.append("\\N");
}

class PostgresStore final : public Store
{
public:
    PostgresStore(QString url, QString site) : url_(std::move(url)), site_(std::move(site)) {}
    ~PostgresStore() override { PQfinish(conn_); }

    bool connect(QString& error);
    bool migrate(QString& error);
    bool prepareSession(QString& error);

    bool write(const Batch& batch, QString& error) override;
    bool events(const EventQuery& query, QVector<QByteArray>& out, QString& error) override;
    bool tracks(const TrackQuery& query, QVector<ObjectRow>& out, QString& error) override;
    bool picture(std::int64_t atMs, bool& found, std::int64_t& timeMs, QVector<ObjectRow>& out,
                 QString& error) override;
    bool latest(std::optional<std::int64_t>& timeMs, QString& error) override;
    bool removeBefore(std::int64_t beforeMs, QString& error) override;
    bool counts(Counts& out, QString& error) override;
    bool reconnect(QString& error) override;
    bool isConnected() const override { return conn_ && PQstatus(conn_) == CONNECTION_OK; }
    const char* kind() const override { return "postgresql"; }

private:
    // The server's first line of why; the URL never (it may hold a password).
    bool fail(QString& error, const char* doing) const
    {
        QString why = QString::fromUtf8(conn_ ? PQerrorMessage(conn_) : "no connection").trimmed();
        why = why.section(QLatin1Char('\n'), 0, 0);
        error = QStringLiteral("history (postgresql): %1: %2").arg(QLatin1String(doing), why);
        return false;
    }
    PGresult* run(const char* sql, const Params& params = Params())
    {
        const QVector<const char*> values = params.pointers();
        return PQexecParams(conn_, sql, params.size(), nullptr, values.constData(), nullptr,
                            nullptr, 0);
    }
    bool command(const char* sql, QString& error, const char* doing,
                 const Params& params = Params())
    {
        Result r(run(sql, params));
        return r.status() == PGRES_COMMAND_OK || r.status() == PGRES_TUPLES_OK ||
               fail(error, doing);
    }
    bool rollback(QString& error, const char* doing)
    {
        fail(error, doing);
        Result r(run("ROLLBACK"));
        return false;
    }
    bool copyObjects(const QVector<ObjectRow>& objects, QString& error);

    QString url_;
    QString site_;
    PGconn* conn_ = nullptr;
};

bool PostgresStore::connect(QString& error)
{
    PQfinish(conn_);
    conn_ = PQconnectdb(url_.toUtf8().constData());
    if (PQstatus(conn_) != CONNECTION_OK)
        return fail(error, "cannot connect");
    Result r(PQexec(conn_, "SET client_min_messages = warning"));
    return true;
}

bool PostgresStore::migrate(QString& error)
{
    if (!command("BEGIN", error, "creating the schema"))
        return false;
    if (!command("SELECT pg_advisory_xact_lock($1)", error, "creating the schema",
                 Params().add(QByteArray(schemaLockKey))) ||
        !command("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)", error,
                 "creating the schema"))
        return rollback(error, "creating the schema");
    int version = 0;
    {
        Result r(run("SELECT coalesce(max(version), 0) FROM schema_version"));
        if (r.status() != PGRES_TUPLES_OK)
            return rollback(error, "reading the schema version");
        version = int(r.integer(0, 0));
    }
    if (version > schemaVersion) {
        Result r(run("ROLLBACK"));
        error = QStringLiteral("history (postgresql): schema version %1 is newer than this "
                               "sited's (%2)")
                    .arg(version)
                    .arg(schemaVersion);
        return false;
    }
    if (version < 1) {
        for (const char* sql : schemaV1) {
            if (!command(sql, error, "creating the schema"))
                return rollback(error, "creating the schema");
        }
    }
    // Each later version migrates from the one before.
    if (version < 2) {
        for (const char* sql : schemaV2) {
            if (!command(sql, error, "migrating the schema to version 2"))
                return rollback(error, "migrating the schema to version 2");
        }
    }
    if (version < schemaVersion &&
        !command("INSERT INTO schema_version (version) VALUES ($1)", error, "creating the schema",
                 Params().add(std::int64_t(schemaVersion))))
        return rollback(error, "creating the schema");
    return command("COMMIT", error, "creating the schema");
}

// Objects are copied into a table of the session's own, then inserted from
// it skipping rows already there: a batch whose COMMIT went through but
// whose answer was lost with the connection is written again harmlessly.
bool PostgresStore::prepareSession(QString& error)
{
    return command("CREATE TEMP TABLE objects_in (LIKE objects) ON COMMIT DELETE ROWS", error,
                   "preparing the session");
}

bool PostgresStore::reconnect(QString& error)
{
    if (isConnected())
        return true;
    return connect(error) && migrate(error) && prepareSession(error);
}

bool PostgresStore::copyObjects(const QVector<ObjectRow>& objects, QString& error)
{
    {
        Result r(run("COPY objects_in (site, time, id, x, y, lat, lon, vx, vy, speed, heading, "
                     "confirmed, radars, since) FROM STDIN"));
        if (r.status() != PGRES_COPY_IN)
            return fail(error, "writing");
    }
    QByteArray site;
    appendCopyText(site, site_.toUtf8());
    QByteArray data;
    data.reserve(objects.size() * 200);
    for (const ObjectRow& o : objects) {
        data.append(site).append('\t');
        service::appendInteger(data, o.timeMs);
        data.append('\t');
        service::appendInteger(data, o.id);
        for (const std::optional<double>& v :
             {std::optional<double>(o.x), std::optional<double>(o.y), o.lat, o.lon,
              std::optional<double>(o.vx), std::optional<double>(o.vy),
              std::optional<double>(o.speed), o.heading}) {
            data.append('\t');
            appendCopyNumber(data, v);
        }
        data.append(o.confirmed ? "\tt\t" : "\tf\t");
        appendCopyText(data, o.radars);
        data.append('\t');
        service::appendInteger(data, o.sinceMs);
        data.append('\n');
    }
    if (PQputCopyData(conn_, data.constData(), data.size()) != 1 ||
        PQputCopyEnd(conn_, nullptr) != 1)
        return fail(error, "writing");
    bool ok = true;
    while (PGresult* r = PQgetResult(conn_)) {
        ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
    }
    return (ok || fail(error, "writing")) &&
           command("INSERT INTO objects SELECT * FROM objects_in ON CONFLICT DO NOTHING", error,
                   "writing");
}

bool PostgresStore::write(const Batch& batch, QString& error)
{
    if (!isConnected()) {
        error = QStringLiteral("history (postgresql): not connected");
        return false;
    }
    if (!command("BEGIN", error, "writing"))
        return false;
    for (std::int64_t t : batch.pictures) {
        if (!command("INSERT INTO pictures (site, time) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                     error, "writing", Params().add(site_).add(t)))
            return rollback(error, "writing");
    }
    if (!batch.objects.isEmpty() && !copyObjects(batch.objects, error))
        return rollback(error, "writing");
    for (const EventRow& e : batch.events) {
        if (!command("INSERT INTO events (site, time, zone, event, object, json) "
                     "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING",
                     error, "writing",
                     Params().add(site_).add(e.timeMs).add(e.zone).add(e.event).add(e.object).add(
                         e.json)))
            return rollback(error, "writing");
    }
    for (const StatusRow& s : batch.statuses) {
        if (!command("INSERT INTO radar_status (site, time, radar, online) "
                     "VALUES ($1, $2, $3, $4) ON CONFLICT DO NOTHING",
                     error, "writing",
                     Params().add(site_).add(s.timeMs).add(s.radar).add(
                         QByteArray(s.online ? "t" : "f"))))
            return rollback(error, "writing");
    }
    return command("COMMIT", error, "writing") || rollback(error, "writing");
}

bool PostgresStore::events(const EventQuery& q, QVector<QByteArray>& out, QString& error)
{
    Result r(run(
        "SELECT json FROM events WHERE site = $1 AND time BETWEEN $2 AND $3 "
        "AND ($4 = '' OR zone = $4) AND ($5 = '' OR event = $5) "
        "AND ($6::bigint IS NULL OR object = $6) ORDER BY time, seq LIMIT $7",
        Params().add(site_).add(q.fromMs).add(q.toMs).add(q.zone).add(q.event).add(q.object).add(
            std::int64_t(q.limit))));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading events");
    out.clear();
    for (int i = 0; i < r.rows(); ++i)
        out.append(r.text(i, 0));
    return true;
}

bool PostgresStore::tracks(const TrackQuery& q, QVector<ObjectRow>& out, QString& error)
{
    const QByteArray sql = QByteArray("SELECT ") +
                           (q.positionsOnly ? positionColumns : objectColumns) +
                           " FROM objects WHERE site = $1 AND time BETWEEN $2 AND $3 "
                           "AND ($4::bigint IS NULL OR id = $4) ORDER BY id, time";
    Result r(run(sql.constData(), Params().add(site_).add(q.fromMs).add(q.toMs).add(q.object)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading tracks");
    out.clear();
    out.reserve(r.rows());
    for (int i = 0; i < r.rows(); ++i)
        out.append(q.positionsOnly ? readPosition(r, i) : readObject(r, i));
    return true;
}

bool PostgresStore::picture(std::int64_t atMs, bool& found, std::int64_t& timeMs,
                            QVector<ObjectRow>& out, QString& error)
{
    out.clear();
    found = false;
    {
        Result r(run("SELECT max(time) FROM pictures WHERE site = $1 AND time <= $2",
                     Params().add(site_).add(atMs)));
        if (r.status() != PGRES_TUPLES_OK)
            return fail(error, "reading a picture");
        if (r.isNull(0, 0))
            return true;
        timeMs = r.integer(0, 0);
        found = true;
    }
    const QByteArray sql = QByteArray("SELECT ") + objectColumns +
                           " FROM objects WHERE site = $1 AND time = $2 ORDER BY id";
    Result r(run(sql.constData(), Params().add(site_).add(timeMs)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading a picture");
    for (int i = 0; i < r.rows(); ++i)
        out.append(readObject(r, i));
    return true;
}

bool PostgresStore::latest(std::optional<std::int64_t>& timeMs, QString& error)
{
    Result r(run("SELECT greatest((SELECT max(time) FROM pictures WHERE site = $1), "
                 "(SELECT max(time) FROM events WHERE site = $1), "
                 "(SELECT max(time) FROM radar_status WHERE site = $1))",
                 Params().add(site_)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading");
    timeMs.reset();
    if (!r.isNull(0, 0))
        timeMs = r.integer(0, 0);
    return true;
}

bool PostgresStore::removeBefore(std::int64_t beforeMs, QString& error)
{
    if (!command("BEGIN", error, "removing old days"))
        return false;
    for (const char* sql : {"DELETE FROM pictures WHERE site = $1 AND time < $2",
                            "DELETE FROM objects WHERE site = $1 AND time < $2",
                            "DELETE FROM events WHERE site = $1 AND time < $2",
                            "DELETE FROM radar_status WHERE site = $1 AND time < $2"}) {
        if (!command(sql, error, "removing old days", Params().add(site_).add(beforeMs)))
            return rollback(error, "removing old days");
    }
    return command("COMMIT", error, "removing old days") || rollback(error, "removing old days");
}

bool PostgresStore::counts(Counts& out, QString& error)
{
    Result r(run("SELECT (SELECT count(*) FROM pictures WHERE site = $1), "
                 "(SELECT count(*) FROM objects WHERE site = $1), "
                 "(SELECT count(*) FROM events WHERE site = $1), "
                 "(SELECT count(*) FROM radar_status WHERE site = $1)",
                 Params().add(site_)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "counting");
    out = {r.integer(0, 0), r.integer(0, 1), r.integer(0, 2), r.integer(0, 3)};
    return true;
}

} // namespace

std::unique_ptr<Store> openPostgres(const QString& url, const QString& site, QString& error)
{
    auto store = std::make_unique<PostgresStore>(url, site);
    if (!store->connect(error) || !store->migrate(error) || !store->prepareSession(error))
        return nullptr;
    return store;
}

} // namespace trklib::sited::history

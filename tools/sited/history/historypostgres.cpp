#include "tools/sited/history/historybackends.h"

#include "tools/sited/history/historyschema.h"
#include "tools/sited/history/pictureblocks.h"

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

using schema::Dialect;

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
    Params& add(const std::optional<std::int64_t>& v) { return v ? add(*v) : addNull(); }
    Params& add(const schema::Value& v)
    {
        struct Adder
        {
            Params& p;
            Params& operator()(std::monostate) const { return p.addNull(); }
            Params& operator()(bool v) const { return p.add(QByteArray(v ? "t" : "f")); }
            Params& operator()(double v) const
            {
                QByteArray text;
                service::appendNumber(text, v);
                return p.add(text);
            }
            Params& operator()(std::int64_t v) const { return p.add(v); }
            Params& operator()(const QByteArray& v) const { return p.add(v); }
            // bytea's text form: \x and the bytes in hex.
            Params& operator()(const schema::Blob& v) const
            {
                return p.add("\\x" + v.bytes.toHex());
            }
        };
        return std::visit(Adder{*this}, v);
    }
    Params& add(const schema::Values& values)
    {
        for (const schema::Value& v : values)
            add(v);
        return *this;
    }
    Params& addNull()
    {
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
    const char* value(int row, int c) const { return PQgetvalue(r_, row, c); }
    QByteArray text(int row, int c) const
    {
        return QByteArray(PQgetvalue(r_, row, c), PQgetlength(r_, row, c));
    }
    // The same bytes, not copied: valid while the result is.
    QByteArray textView(int row, int c) const
    {
        return QByteArray::fromRawData(PQgetvalue(r_, row, c), PQgetlength(r_, row, c));
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

// One row of a result, as schema::readObject() reads it.
struct ResultRow
{
    const Result& r;
    int row;
    std::int64_t integer(int c) const { return r.integer(row, c); }
    double real(int c) const { return r.real(row, c); }
    std::optional<double> optionalReal(int c) const { return r.optionalReal(row, c); }
    bool boolean(int c) const { return r.text(row, c) == "t"; }
    QByteArray text(int c) const { return r.text(row, c); }
};

// One row of a binary result of bigint, double precision, boolean and text
// columns (big-endian, doubles as IEEE 754), none NULL: what the rules'
// rows take, read without parsing text.
struct BinaryRow
{
    const Result& r;
    int row;
    std::uint64_t bits(int c) const
    {
        const auto* p = reinterpret_cast<const unsigned char*>(r.value(row, c));
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v = v << 8 | p[i];
        return v;
    }
    std::int64_t integer(int c) const { return std::int64_t(bits(c)); }
    double real(int c) const
    {
        const std::uint64_t v = bits(c);
        double d = 0.0;
        std::memcpy(&d, &v, sizeof d);
        return d;
    }
    bool boolean(int c) const { return *r.value(row, c) != 0; }
    QByteArray textView(int c) const { return r.textView(row, c); }
};

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

// A COPY field of any type; NULL is \N.
void appendCopyValue(QByteArray& out, const schema::Value& v)
{
    struct Appender
    {
        QByteArray& out;
        void operator()(std::monostate) const { out.append("\\N"); }
        void operator()(std::int64_t v) const { service::appendInteger(out, v); }
        void operator()(double v) const { service::appendNumber(out, v); }
        void operator()(bool v) const { out.append(v ? 't' : 'f'); }
        void operator()(const QByteArray& v) const { appendCopyText(out, v); }
        void operator()(const schema::Blob& v) const
        {
            out.append("\\\\x").append(v.bytes.toHex());
        }
    };
    std::visit(Appender{out}, v);
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
    bool pictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                  QString& error) override;
    bool logins(const LoginQuery& query, QVector<LoginRow>& out, QString& error) override;
    bool cameras(const LoginQuery& query, QVector<CameraRow>& out, QString& error) override;
    bool alarms(const AlarmQuery& query, QVector<zones::AlarmChange>& out, QString& error) override;
    bool openAlarms(std::int64_t nowMs, QVector<zones::AlarmChange>& out, std::int64_t& lastId,
                    QString& error) override;
    bool picture(std::int64_t atMs, bool& found, std::int64_t& timeMs, QVector<ObjectRow>& out,
                 QString& error) override;
    bool latest(std::optional<std::int64_t>& timeMs, QString& error) override;
    bool oldest(std::optional<std::int64_t>& timeMs, QString& error) override;
    bool removeBefore(std::int64_t beforeMs, QString& error) override;
    bool size(std::int64_t& bytes, QString& error) override;
    bool shrinksOnRemoval() const override { return false; }
    bool counts(Counts& out, QString& error) override;
    bool reconnect(QString& error) override;
    bool isConnected() const override { return conn_ && PQstatus(conn_) == CONNECTION_OK; }
    const char* kind() const override { return "postgresql"; }

private:
    bool writeRows(const Batch& batch, const BlockWriter::Work& blocks, QString& error);
    // The pictures of a period from their rows alone.
    bool rowPictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                     QString& error);
    // The earliest or latest time of the site's records: pick "least" of
    // each table's extreme "min", or "greatest" of "max".
    bool recordTime(const char* pick, const char* extreme, std::optional<std::int64_t>& timeMs,
                    QString& error);
    // The site's rows of a period of a table kept by time (the logins, the
    // cameras' changes): sql takes the site, from, to and limit as $1 to
    // $4; row(r, i) makes one of each row read.
    template <typename Row, typename Make>
    bool periodRows(const char* sql, const LoginQuery& q, QVector<Row>& out, Make row,
                    const char* doing, QString& error);
    // The server's first line of why; the URL never (it may hold a password).
    bool fail(QString& error, const char* doing) const
    {
        QString why = QString::fromUtf8(conn_ ? PQerrorMessage(conn_) : "no connection").trimmed();
        why = why.section(QLatin1Char('\n'), 0, 0);
        error = QStringLiteral("history (postgresql): %1: %2").arg(QLatin1String(doing), why);
        return false;
    }
    // Results as text, or with binary the server's binary form.
    PGresult* run(const char* sql, const Params& params = Params(), bool binary = false)
    {
        const QVector<const char*> values = params.pointers();
        return PQexecParams(conn_, sql, params.size(), nullptr, values.constData(), nullptr,
                            nullptr, binary ? 1 : 0);
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
    BlockWriter blocks_{true};
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
    for (const schema::Step& step : schema::migration(Dialect::postgres, version)) {
        const QByteArray doing = schema::doing(step);
        if (!command(step.sql.constData(), error, doing.constData()))
            return rollback(error, doing.constData());
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
        const QByteArray sql =
            "COPY objects_in (" + schema::columnList(schema::objects()) + ") FROM STDIN";
        Result r(run(sql.constData()));
        if (r.status() != PGRES_COPY_IN)
            return fail(error, "writing");
    }
    const QByteArray site = site_.toUtf8();
    QByteArray data;
    data.reserve(objects.size() * 200);
    for (const ObjectRow& o : objects) {
        const schema::Values values = schema::objectValues(site, o);
        for (int i = 0; i < values.size(); ++i) {
            if (i > 0)
                data.append('\t');
            appendCopyValue(data, values[i]);
        }
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
    const BlockWriter before = blocks_;
    if (writeRows(batch, blocks_.add(batch), error))
        return true;
    blocks_ = before;
    return false;
}

bool PostgresStore::writeRows(const Batch& batch, const BlockWriter::Work& blocks, QString& error)
{
    if (!isConnected()) {
        error = QStringLiteral("history (postgresql): not connected");
        return false;
    }
    if (!command("BEGIN", error, "writing"))
        return false;
    const QByteArray site = site_.toUtf8();
    const QByteArray picture = schema::insert(schema::pictures(), Dialect::postgres);
    for (std::int64_t t : batch.pictures) {
        if (!command(picture.constData(), error, "writing",
                     Params().add(schema::pictureValues(site, t))))
            return rollback(error, "writing");
    }
    if (!batch.objects.isEmpty() && !copyObjects(batch.objects, error))
        return rollback(error, "writing");
    const QByteArray event = schema::insert(schema::events(), Dialect::postgres);
    for (const EventRow& e : batch.events) {
        if (!command(event.constData(), error, "writing",
                     Params().add(schema::eventValues(site, e))))
            return rollback(error, "writing");
    }
    const QByteArray status = schema::insert(schema::statuses(), Dialect::postgres);
    for (const StatusRow& s : batch.statuses) {
        if (!command(status.constData(), error, "writing",
                     Params().add(schema::statusValues(site, s))))
            return rollback(error, "writing");
    }
    const QByteArray login = schema::insert(schema::logins(), Dialect::postgres);
    for (const LoginRow& l : batch.logins) {
        if (!command(login.constData(), error, "writing",
                     Params().add(schema::loginValues(site, l))))
            return rollback(error, "writing");
    }
    const QByteArray alarm = schema::insert(schema::alarmChanges(), Dialect::postgres);
    for (const zones::AlarmChange& c : batch.alarmChanges) {
        if (!command(alarm.constData(), error, "writing",
                     Params().add(schema::alarmChangeValues(site, c))))
            return rollback(error, "writing");
    }
    const QByteArray camera = schema::insert(schema::cameraChanges(), Dialect::postgres);
    for (const CameraRow& c : batch.cameras) {
        if (!command(camera.constData(), error, "writing",
                     Params().add(schema::cameraValues(site, c))))
            return rollback(error, "writing");
    }
    const QByteArray stale = schema::blockDelete(Dialect::postgres);
    for (const std::int64_t startMs : blocks.stale) {
        if (!command(stale.constData(), error, "writing", Params().add(site).add(startMs)))
            return rollback(error, "writing");
    }
    const QByteArray block = schema::insert(schema::pictureBlocks(), Dialect::postgres);
    for (const auto& [startMs, bytes] : blocks.done) {
        if (!command(block.constData(), error, "writing",
                     Params().add(schema::blockValues(site, startMs, bytes))))
            return rollback(error, "writing");
    }
    return command("COMMIT", error, "writing") || rollback(error, "writing");
}

bool PostgresStore::alarms(const AlarmQuery& q, QVector<zones::AlarmChange>& out, QString& error)
{
    Result r(run(schema::alarmsSelect(Dialect::postgres).constData(),
                 Params().add(site_).add(q.fromMs).add(q.toMs).add(std::int64_t(q.limit))));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading alarms");
    out.clear();
    for (int i = 0; i < r.rows(); ++i)
        out.append(schema::readAlarmChange(ResultRow{r, i}));
    return true;
}

bool PostgresStore::openAlarms(std::int64_t nowMs, QVector<zones::AlarmChange>& out,
                               std::int64_t& lastId, QString& error)
{
    Result last(run(schema::lastAlarmSelect(Dialect::postgres).constData(), Params().add(site_)));
    if (last.status() != PGRES_TUPLES_OK || last.rows() != 1)
        return fail(error, "reading alarms");
    lastId = last.integer(0, 0);
    Result r(run(schema::openAlarmsSelect(Dialect::postgres).constData(),
                 Params().add(site_).add(nowMs)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading alarms");
    out.clear();
    for (int i = 0; i < r.rows(); ++i)
        out.append(schema::readAlarmChange(ResultRow{r, i}));
    return true;
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

template <typename Row, typename Make>
bool PostgresStore::periodRows(const char* sql, const LoginQuery& q, QVector<Row>& out, Make row,
                               const char* doing, QString& error)
{
    Result r(run(sql, Params().add(site_).add(q.fromMs).add(q.toMs).add(std::int64_t(q.limit))));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, doing);
    out.clear();
    for (int i = 0; i < r.rows(); ++i)
        out.append(row(r, i));
    return true;
}

bool PostgresStore::cameras(const LoginQuery& q, QVector<CameraRow>& out, QString& error)
{
    return periodRows(
        "SELECT time, camera, action, by_user, object, detail FROM camera_changes "
        "WHERE site = $1 AND time BETWEEN $2 AND $3 ORDER BY time, seq LIMIT $4",
        q, out,
        [](const Result& r, int i) {
            return CameraRow{r.integer(i, 0),
                             QString::fromUtf8(r.text(i, 1)),
                             QString::fromUtf8(r.text(i, 2)),
                             QString::fromUtf8(r.text(i, 3)),
                             r.integer(i, 4),
                             QString::fromUtf8(r.text(i, 5))};
        },
        "reading the cameras' changes", error);
}

bool PostgresStore::logins(const LoginQuery& q, QVector<LoginRow>& out, QString& error)
{
    return periodRows(
        "SELECT time, name, action, peer FROM logins WHERE site = $1 AND time BETWEEN "
        "$2 AND $3 ORDER BY time, seq LIMIT $4",
        q, out,
        [](const Result& r, int i) {
            return LoginRow{r.integer(i, 0), QString::fromUtf8(r.text(i, 1)),
                            QString::fromUtf8(r.text(i, 2)), QString::fromUtf8(r.text(i, 3))};
        },
        "reading logins", error);
}

bool PostgresStore::tracks(const TrackQuery& q, QVector<ObjectRow>& out, QString& error)
{
    const QByteArray sql = QByteArray("SELECT ") + schema::objectColumns(q.positionsOnly) +
                           " FROM objects WHERE site = $1 AND time BETWEEN $2 AND $3 "
                           "AND ($4::bigint IS NULL OR id = $4) ORDER BY id, time";
    Result r(run(sql.constData(), Params().add(site_).add(q.fromMs).add(q.toMs).add(q.object)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading tracks");
    out.clear();
    out.reserve(r.rows());
    for (int i = 0; i < r.rows(); ++i)
        out.append(schema::readObject(ResultRow{r, i}, q.positionsOnly));
    return true;
}

bool PostgresStore::pictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                             QString& error)
{
    // The blocks in binary: bytea's bytes as they are, not in hex.
    Result r(run(schema::blocksSelect(Dialect::postgres).constData(),
                 Params().add(site_).add(blockStart(fromMs)).add(toMs), true));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading pictures");
    PicturePlayer play(
        fromMs, toMs,
        [this](std::int64_t from, std::int64_t to, const PictureSink& sink, QString& why) {
            return rowPictures(from, to, sink, why);
        },
        each, error);
    for (int i = 0; i < r.rows(); ++i) {
        if (!play.block(BinaryRow{r, i}.integer(0), r.textView(i, 1)))
            return false;
    }
    return play.finish();
}

bool PostgresStore::rowPictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                                QString& error)
{
    // The period's rows come in one result (callers ask for short periods),
    // the objects' in binary: strtod() would take most of the time.
    const Params params = Params().add(site_).add(fromMs).add(toMs);
    QVector<std::int64_t> times;
    {
        Result r(run(schema::pictureTimesSelect(Dialect::postgres).constData(), params));
        if (r.status() != PGRES_TUPLES_OK)
            return fail(error, "reading pictures");
        times.reserve(r.rows());
        for (int i = 0; i < r.rows(); ++i)
            times.append(r.integer(i, 0));
    }
    Result r(run(schema::rulesObjectsSelect(Dialect::postgres).constData(), params, true));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading pictures");
    schema::PictureJoin join(std::move(times), each);
    for (int i = 0; i < r.rows(); ++i) {
        std::int64_t timeMs = 0;
        const zones::Sample object = schema::readRulesObject(BinaryRow{r, i}, timeMs);
        join.add(timeMs, object);
    }
    join.finish();
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
    const QByteArray sql = QByteArray("SELECT ") + schema::objectColumns(false) +
                           " FROM objects WHERE site = $1 AND time = $2 ORDER BY id";
    Result r(run(sql.constData(), Params().add(site_).add(timeMs)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading a picture");
    for (int i = 0; i < r.rows(); ++i)
        out.append(schema::readObject(ResultRow{r, i}, false));
    return true;
}

bool PostgresStore::latest(std::optional<std::int64_t>& timeMs, QString& error)
{
    return recordTime("greatest", "max", timeMs, error);
}

bool PostgresStore::oldest(std::optional<std::int64_t>& timeMs, QString& error)
{
    return recordTime("least", "min", timeMs, error);
}

bool PostgresStore::recordTime(const char* pick, const char* extreme,
                               std::optional<std::int64_t>& timeMs, QString& error)
{
    const QByteArray sql =
        QByteArrayLiteral("SELECT %0((SELECT %1(time) FROM pictures WHERE site = $1), "
                          "(SELECT %1(time) FROM events WHERE site = $1), "
                          "(SELECT %1(time) FROM radar_status WHERE site = $1))")
            .replace("%0", pick)
            .replace("%1", extreme);
    Result r(run(sql.constData(), Params().add(site_)));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "reading");
    timeMs.reset();
    if (!r.isNull(0, 0))
        timeMs = r.integer(0, 0);
    return true;
}

bool PostgresStore::size(std::int64_t& bytes, QString& error)
{
    QByteArray sql = "SELECT 0";
    for (const schema::Table* table : schema::tables())
        sql += QByteArray(" + pg_total_relation_size('") + table->name + "')";
    Result r(run(sql.constData(), Params()));
    if (r.status() != PGRES_TUPLES_OK)
        return fail(error, "measuring");
    bytes = r.integer(0, 0);
    return true;
}

bool PostgresStore::removeBefore(std::int64_t beforeMs, QString& error)
{
    if (!command("BEGIN", error, "removing old days"))
        return false;
    for (const schema::Table* table : schema::tables()) {
        const QByteArray sql = schema::removeBefore(*table, Dialect::postgres);
        if (!command(sql.constData(), error, "removing old days",
                     Params().add(site_).add(beforeMs)))
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

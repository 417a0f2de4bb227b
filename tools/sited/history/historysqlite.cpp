#include "tools/sited/history/historybackends.h"

#include "tools/sited/history/historyschema.h"
#include "tools/sited/history/pictureblocks.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <sys/resource.h>
#include <sys/statvfs.h>

// The embedded back end: one SQLite file, opened in exclusive locking mode
// so that a second sited on the same file is refused at once rather than
// interleaving its writes.
namespace trklib::sited::history {

namespace {

using schema::Dialect;

// A prepared statement, finalized when it goes.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return s_ != nullptr; }
    sqlite3_stmt* get() const { return s_; }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(s_, i, v); }
    void bind(int i, double v) { sqlite3_bind_double(s_, i, v); }
    void bind(int i, const std::optional<double>& v)
    {
        v ? sqlite3_bind_double(s_, i, *v) : sqlite3_bind_null(s_, i);
    }
    void bind(int i, const QByteArray& v)
    {
        sqlite3_bind_text(s_, i, v.constData(), v.size(), SQLITE_TRANSIENT);
    }
    void bind(int i, const schema::Blob& v)
    {
        sqlite3_bind_blob(s_, i, v.bytes.constData(), v.bytes.size(), SQLITE_TRANSIENT);
    }
    void bind(int i, const QString& v) { bind(i, v.toUtf8()); }
    void bind(int i, const schema::Value& v)
    {
        struct Binder
        {
            Statement& s;
            int i;
            void operator()(std::monostate) const { sqlite3_bind_null(s.s_, i); }
            void operator()(bool v) const { s.bind(i, std::int64_t(v)); }
            void operator()(std::int64_t v) const { s.bind(i, v); }
            void operator()(double v) const { s.bind(i, v); }
            void operator()(const QByteArray& v) const { s.bind(i, v); }
            void operator()(const schema::Blob& v) const { s.bind(i, v); }
        };
        std::visit(Binder{*this, i}, v);
    }
    // Binds a row's values from the first parameter on.
    void bind(const schema::Values& values)
    {
        for (int i = 0; i < values.size(); ++i)
            bind(i + 1, values[i]);
    }
    int step() { return sqlite3_step(s_); }
    void reset()
    {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    std::int64_t integer(int c) const { return sqlite3_column_int64(s_, c); }
    double real(int c) const { return sqlite3_column_double(s_, c); }
    bool boolean(int c) const { return integer(c) != 0; }
    std::optional<double> optionalReal(int c) const
    {
        if (sqlite3_column_type(s_, c) == SQLITE_NULL)
            return std::nullopt;
        return sqlite3_column_double(s_, c);
    }
    QByteArray text(int c) const
    {
        return QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s_, c)),
                          sqlite3_column_bytes(s_, c));
    }
    // The same bytes, not copied: valid until the next step.
    QByteArray blobView(int c) const
    {
        return QByteArray::fromRawData(static_cast<const char*>(sqlite3_column_blob(s_, c)),
                                       sqlite3_column_bytes(s_, c));
    }
    QByteArray textView(int c) const
    {
        return QByteArray::fromRawData(reinterpret_cast<const char*>(sqlite3_column_text(s_, c)),
                                       sqlite3_column_bytes(s_, c));
    }

private:
    sqlite3_stmt* s_ = nullptr;
};

// Whether a write to the file failed for want of room. A write that could
// not even begin (no space, ENOSPC, or past the process's file size limit,
// EFBIG) is only "disk I/O error" to SQLite, its errno gone by the time it
// is asked: the folder's free space and the limit are looked at instead.
bool noRoomFor(const QString& path)
{
    // Within a write of the file's end: the largest page with its header.
    constexpr off_t writeBytes = 65536 + 24;
    using DiskStatus = struct statvfs;
    DiskStatus disk{};
    if (::statvfs(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &disk) == 0 &&
        disk.f_bavail == 0)
        return true;
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    for (const QString& file : {path, path + QStringLiteral("-wal")}) {
        if (QFileInfo(file).size() + writeBytes > off_t(limit.rlim_cur))
            return true;
    }
    return false;
}

class SqliteStore final : public Store
{
public:
    SqliteStore(sqlite3* db, QString path, QString site)
        : db_(db), path_(std::move(path)), site_(std::move(site))
    {}
    ~SqliteStore() override { sqlite3_close_v2(db_); }

    bool migrate(QString& error);

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
    bool shrinksOnRemoval() const override { return true; }
    bool counts(Counts& out, QString& error) override;
    bool reconnect(QString&) override { return true; }
    bool isConnected() const override { return true; }
    const char* kind() const override { return "sqlite"; }

private:
    bool writeRows(const Batch& batch, const BlockWriter::Work& blocks, QString& error);
    // The pictures of a period from their rows alone.
    bool rowPictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                     QString& error);
    // The earliest ("min") or latest ("max") time of the site's records.
    bool recordTime(const char* extreme, std::optional<std::int64_t>& timeMs, QString& error);
    // The site's rows of a period of a table kept by time (the logins, the
    // cameras' changes): sql takes the site, from, to and limit in that
    // order; row(s) makes one of each row read.
    template <typename Row, typename Make>
    bool periodRows(const char* sql, const LoginQuery& q, QVector<Row>& out, Make row,
                    const char* doing, QString& error);
    // False with error set from the connection's last failure.
    bool fail(QString& error, const char* doing) const
    {
        const int code = sqlite3_extended_errcode(db_) & 0xff;
        QString why = QString::fromUtf8(sqlite3_errmsg(db_));
        if (code == SQLITE_FULL || (code == SQLITE_IOERR && noRoomFor(path_)))
            why = QStringLiteral("the disk is full");
        else if ((code == SQLITE_READONLY || code == SQLITE_CANTOPEN) &&
                 !QFileInfo(QFileInfo(path_).absolutePath()).isWritable())
            why = QStringLiteral("the folder is read-only (SQLite makes its log beside the file)");
        else if (code == SQLITE_READONLY)
            why = QStringLiteral("the file is read-only");
        error = QStringLiteral("history %1: %2: %3").arg(path_, QLatin1String(doing), why);
        return false;
    }
    // A pragma's integer value; false with the error.
    bool pragma(const char* sql, std::int64_t& value, QString& error)
    {
        Statement s(db_, sql);
        if (!s.ok() || s.step() != SQLITE_ROW)
            return fail(error, "measuring");
        value = s.integer(0);
        return true;
    }
    bool exec(const char* sql, QString& error, const char* doing)
    {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || fail(error, doing);
    }
    bool rollback(QString& error, const char* doing)
    {
        fail(error, doing);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

    sqlite3* db_;
    QString path_;
    QString site_;
    BlockWriter blocks_{false};
};

bool SqliteStore::migrate(QString& error)
{
    // The first write takes the exclusive lock for good (locking_mode), so
    // the migration is also the test that no other sited holds the file.
    if (!exec("BEGIN EXCLUSIVE", error, "locking"))
        return false;
    if (!exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", error,
              "creating the schema"))
        return rollback(error, "creating the schema");
    int version = 0;
    {
        Statement s(db_, "SELECT max(version) FROM schema_version");
        if (!s.ok() || s.step() != SQLITE_ROW)
            return rollback(error, "reading the schema version");
        version = int(s.integer(0));
    }
    if (version > schemaVersion) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        error = QStringLiteral("history %1: schema version %2 is newer than this sited's (%3)")
                    .arg(path_)
                    .arg(version)
                    .arg(schemaVersion);
        return false;
    }
    for (const schema::Step& step : schema::migration(Dialect::sqlite, version)) {
        if (sqlite3_exec(db_, step.sql.constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return rollback(error, schema::doing(step).constData());
    }
    if (version < schemaVersion) {
        Statement s(db_, "INSERT INTO schema_version (version) VALUES (?)");
        s.bind(1, std::int64_t(schemaVersion));
        if (!s.ok() || s.step() != SQLITE_DONE)
            return rollback(error, "creating the schema");
    }
    return exec("COMMIT", error, "creating the schema");
}

bool SqliteStore::write(const Batch& batch, QString& error)
{
    const BlockWriter before = blocks_;
    if (writeRows(batch, blocks_.add(batch), error))
        return true;
    blocks_ = before;
    return false;
}

bool SqliteStore::writeRows(const Batch& batch, const BlockWriter::Work& blocks, QString& error)
{
    if (!exec("BEGIN", error, "writing"))
        return false;
    Statement picture(db_, schema::insert(schema::pictures(), Dialect::sqlite).constData());
    Statement object(db_, schema::insert(schema::objects(), Dialect::sqlite).constData());
    Statement event(db_, schema::insert(schema::events(), Dialect::sqlite).constData());
    Statement status(db_, schema::insert(schema::statuses(), Dialect::sqlite).constData());
    Statement login(db_, schema::insert(schema::logins(), Dialect::sqlite).constData());
    Statement alarm(db_, schema::insert(schema::alarmChanges(), Dialect::sqlite).constData());
    Statement camera(db_, schema::insert(schema::cameraChanges(), Dialect::sqlite).constData());
    Statement block(db_, schema::insert(schema::pictureBlocks(), Dialect::sqlite).constData());
    Statement stale(db_, schema::blockDelete(Dialect::sqlite).constData());
    if (!picture.ok() || !object.ok() || !event.ok() || !status.ok() || !login.ok() ||
        !alarm.ok() || !camera.ok() || !block.ok() || !stale.ok())
        return rollback(error, "writing");
    const QByteArray site = site_.toUtf8();
    // Each row's statement, bound, run and made ready for the next.
    const auto insert = [](Statement& s, const schema::Values& values) {
        s.bind(values);
        if (s.step() != SQLITE_DONE)
            return false; // the connection's error kept for rollback()
        s.reset();
        return true;
    };
    for (std::int64_t t : batch.pictures) {
        if (!insert(picture, schema::pictureValues(site, t)))
            return rollback(error, "writing");
    }
    for (const ObjectRow& o : batch.objects) {
        if (!insert(object, schema::objectValues(site, o)))
            return rollback(error, "writing");
    }
    for (const EventRow& e : batch.events) {
        if (!insert(event, schema::eventValues(site, e)))
            return rollback(error, "writing");
    }
    for (const StatusRow& r : batch.statuses) {
        if (!insert(status, schema::statusValues(site, r)))
            return rollback(error, "writing");
    }
    for (const LoginRow& l : batch.logins) {
        if (!insert(login, schema::loginValues(site, l)))
            return rollback(error, "writing");
    }
    for (const zones::AlarmChange& c : batch.alarmChanges) {
        if (!insert(alarm, schema::alarmChangeValues(site, c)))
            return rollback(error, "writing");
    }
    for (const CameraRow& c : batch.cameras) {
        if (!insert(camera, schema::cameraValues(site, c)))
            return rollback(error, "writing");
    }
    for (const std::int64_t startMs : blocks.stale) {
        if (!insert(stale, {site, startMs}))
            return rollback(error, "writing");
    }
    for (const auto& [startMs, bytes] : blocks.done) {
        if (!insert(block, schema::blockValues(site, startMs, bytes)))
            return rollback(error, "writing");
    }
    return exec("COMMIT", error, "writing") || rollback(error, "writing");
}

bool SqliteStore::events(const EventQuery& q, QVector<QByteArray>& out, QString& error)
{
    Statement s(db_, "SELECT json FROM events WHERE site = ?1 AND time BETWEEN ?2 AND ?3 "
                     "AND (?4 = '' OR zone = ?4) AND (?5 = '' OR event = ?5) "
                     "AND (?6 IS NULL OR object = ?6) ORDER BY time, rowid LIMIT ?7");
    if (!s.ok())
        return fail(error, "reading events");
    s.bind(1, site_);
    s.bind(2, q.fromMs);
    s.bind(3, q.toMs);
    s.bind(4, q.zone);
    s.bind(5, q.event);
    if (q.object)
        s.bind(6, *q.object);
    s.bind(7, std::int64_t(q.limit));
    out.clear();
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out.append(s.text(0));
    return rc == SQLITE_DONE || fail(error, "reading events");
}

template <typename Row, typename Make>
bool SqliteStore::periodRows(const char* sql, const LoginQuery& q, QVector<Row>& out, Make row,
                             const char* doing, QString& error)
{
    Statement s(db_, sql);
    if (!s.ok())
        return fail(error, doing);
    s.bind(1, site_);
    s.bind(2, q.fromMs);
    s.bind(3, q.toMs);
    s.bind(4, std::int64_t(q.limit));
    out.clear();
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out.append(row(s));
    return rc == SQLITE_DONE || fail(error, doing);
}

bool SqliteStore::cameras(const LoginQuery& q, QVector<CameraRow>& out, QString& error)
{
    return periodRows(
        "SELECT time, camera, action, by_user, object, detail FROM camera_changes "
        "WHERE site = ? AND time BETWEEN ? AND ? ORDER BY time, rowid LIMIT ?",
        q, out,
        [](Statement& s) {
            return CameraRow{s.integer(0),
                             QString::fromUtf8(s.text(1)),
                             QString::fromUtf8(s.text(2)),
                             QString::fromUtf8(s.text(3)),
                             s.integer(4),
                             QString::fromUtf8(s.text(5))};
        },
        "reading the cameras' changes", error);
}

bool SqliteStore::logins(const LoginQuery& q, QVector<LoginRow>& out, QString& error)
{
    return periodRows(
        "SELECT time, name, action, peer FROM logins WHERE site = ? AND time "
        "BETWEEN ? AND ? ORDER BY time, rowid LIMIT ?",
        q, out,
        [](Statement& s) {
            return LoginRow{s.integer(0), QString::fromUtf8(s.text(1)),
                            QString::fromUtf8(s.text(2)), QString::fromUtf8(s.text(3))};
        },
        "reading logins", error);
}

bool SqliteStore::alarms(const AlarmQuery& q, QVector<zones::AlarmChange>& out, QString& error)
{
    Statement s(db_, schema::alarmsSelect(Dialect::sqlite).constData());
    if (!s.ok())
        return fail(error, "reading alarms");
    s.bind(1, site_);
    s.bind(2, q.fromMs);
    s.bind(3, q.toMs);
    s.bind(4, std::int64_t(q.limit));
    out.clear();
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out.append(schema::readAlarmChange(s));
    return rc == SQLITE_DONE || fail(error, "reading alarms");
}

bool SqliteStore::openAlarms(std::int64_t nowMs, QVector<zones::AlarmChange>& out,
                             std::int64_t& lastId, QString& error)
{
    {
        Statement s(db_, schema::lastAlarmSelect(Dialect::sqlite).constData());
        if (!s.ok())
            return fail(error, "reading alarms");
        s.bind(1, site_);
        if (s.step() != SQLITE_ROW)
            return fail(error, "reading alarms");
        lastId = s.integer(0);
    }
    Statement s(db_, schema::openAlarmsSelect(Dialect::sqlite).constData());
    if (!s.ok())
        return fail(error, "reading alarms");
    s.bind(1, site_);
    s.bind(2, nowMs);
    out.clear();
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out.append(schema::readAlarmChange(s));
    return rc == SQLITE_DONE || fail(error, "reading alarms");
}

bool SqliteStore::tracks(const TrackQuery& q, QVector<ObjectRow>& out, QString& error)
{
    // One object's track by an index on (site, id, time): SQLite plans
    // once, and "?4 IS NULL OR id = ?4" would keep it to the time index.
    // Every object's of a period by the time index, then sorted: without
    // the table's statistics SQLite would rather read an index in the
    // answer's order, which means every row of the site.
    const QByteArray sql = QByteArray("SELECT ") + schema::objectColumns(q.positionsOnly) +
                           (q.object ? " FROM objects" : " FROM objects INDEXED BY objects_time") +
                           " WHERE site = ?1 AND time BETWEEN ?2 AND ?3" +
                           (q.object ? " AND id = ?4" : "") + " ORDER BY id, time";
    Statement s(db_, sql.constData());
    if (!s.ok())
        return fail(error, "reading tracks");
    s.bind(1, site_);
    s.bind(2, q.fromMs);
    s.bind(3, q.toMs);
    if (q.object)
        s.bind(4, *q.object);
    out.clear();
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out.append(schema::readObject(s, q.positionsOnly));
    return rc == SQLITE_DONE || fail(error, "reading tracks");
}

bool SqliteStore::pictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                           QString& error)
{
    PicturePlayer play(
        fromMs, toMs,
        [this](std::int64_t from, std::int64_t to, const PictureSink& sink, QString& why) {
            return rowPictures(from, to, sink, why);
        },
        each, error);
    // Each block read where SQLite holds it, while the statement is on it.
    Statement s(db_, schema::blocksSelect(Dialect::sqlite).constData());
    if (!s.ok())
        return fail(error, "reading pictures");
    s.bind(1, site_);
    s.bind(2, blockStart(fromMs));
    s.bind(3, toMs);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        if (!play.block(s.integer(0), s.blobView(1)))
            return false;
    }
    if (rc != SQLITE_DONE)
        return fail(error, "reading pictures");
    return play.finish();
}

bool SqliteStore::rowPictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                              QString& error)
{
    QVector<std::int64_t> times;
    {
        Statement s(db_, schema::pictureTimesSelect(Dialect::sqlite).constData());
        if (!s.ok())
            return fail(error, "reading pictures");
        s.bind(1, site_);
        s.bind(2, fromMs);
        s.bind(3, toMs);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW)
            times.append(s.integer(0));
        if (rc != SQLITE_DONE)
            return fail(error, "reading pictures");
    }
    Statement s(db_, schema::rulesObjectsSelect(Dialect::sqlite).constData());
    if (!s.ok())
        return fail(error, "reading pictures");
    s.bind(1, site_);
    s.bind(2, fromMs);
    s.bind(3, toMs);
    schema::PictureJoin join(std::move(times), each);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        std::int64_t timeMs = 0;
        const zones::Sample object = schema::readRulesObject(s, timeMs);
        join.add(timeMs, object);
    }
    if (rc != SQLITE_DONE)
        return fail(error, "reading pictures");
    join.finish();
    return true;
}

bool SqliteStore::picture(std::int64_t atMs, bool& found, std::int64_t& timeMs,
                          QVector<ObjectRow>& out, QString& error)
{
    out.clear();
    found = false;
    {
        Statement s(db_, "SELECT max(time) FROM pictures WHERE site = ? AND time <= ?");
        if (!s.ok())
            return fail(error, "reading a picture");
        s.bind(1, site_);
        s.bind(2, atMs);
        if (s.step() != SQLITE_ROW)
            return fail(error, "reading a picture");
        if (sqlite3_column_type(s.get(), 0) == SQLITE_NULL)
            return true;
        timeMs = s.integer(0);
        found = true;
    }
    // By the time index: see tracks().
    const QByteArray sql = QByteArray("SELECT ") + schema::objectColumns(false) +
                           " FROM objects INDEXED BY objects_time WHERE site = ? AND time = ? "
                           "ORDER BY id";
    Statement s(db_, sql.constData());
    if (!s.ok())
        return fail(error, "reading a picture");
    s.bind(1, site_);
    s.bind(2, timeMs);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        out.append(schema::readObject(s, false));
    return rc == SQLITE_DONE || fail(error, "reading a picture");
}

bool SqliteStore::latest(std::optional<std::int64_t>& timeMs, QString& error)
{
    return recordTime("max", timeMs, error);
}

bool SqliteStore::oldest(std::optional<std::int64_t>& timeMs, QString& error)
{
    return recordTime("min", timeMs, error);
}

bool SqliteStore::recordTime(const char* extreme, std::optional<std::int64_t>& timeMs,
                             QString& error)
{
    const QByteArray sql =
        QByteArrayLiteral("SELECT %1(t) FROM (SELECT %1(time) AS t FROM pictures WHERE site = ?1 "
                          "UNION ALL SELECT %1(time) FROM events WHERE site = ?1 "
                          "UNION ALL SELECT %1(time) FROM radar_status WHERE site = ?1)")
            .replace("%1", extreme);
    Statement s(db_, sql.constData());
    if (!s.ok())
        return fail(error, "reading");
    s.bind(1, site_);
    if (s.step() != SQLITE_ROW)
        return fail(error, "reading");
    timeMs.reset();
    if (sqlite3_column_type(s.get(), 0) != SQLITE_NULL)
        timeMs = s.integer(0);
    return true;
}

bool SqliteStore::size(std::int64_t& bytes, QString& error)
{
    std::int64_t pages = 0;
    std::int64_t freePages = 0;
    std::int64_t pageBytes = 0;
    if (!pragma("PRAGMA page_count", pages, error) ||
        !pragma("PRAGMA freelist_count", freePages, error) ||
        !pragma("PRAGMA page_size", pageBytes, error))
        return false;
    bytes = (pages - freePages) * pageBytes;
    return true;
}

bool SqliteStore::removeBefore(std::int64_t beforeMs, QString& error)
{
    if (!exec("BEGIN", error, "removing old days"))
        return false;
    for (const schema::Table* table : schema::tables()) {
        Statement s(db_, schema::removeBefore(*table, Dialect::sqlite).constData());
        if (!s.ok())
            return rollback(error, "removing old days");
        s.bind(1, site_);
        s.bind(2, beforeMs);
        if (s.step() != SQLITE_DONE)
            return rollback(error, "removing old days");
    }
    if (!exec("COMMIT", error, "removing old days"))
        return rollback(error, "removing old days");
    // The freed pages back to the file system (a file made with
    // incremental auto_vacuum; in an older one they are reused instead).
    return exec("PRAGMA incremental_vacuum", error, "giving back the room of old days");
}

bool SqliteStore::counts(Counts& out, QString& error)
{
    std::int64_t* fields[] = {&out.pictures, &out.objects, &out.events, &out.statuses};
    const char* sql[] = {"SELECT count(*) FROM pictures WHERE site = ?",
                         "SELECT count(*) FROM objects WHERE site = ?",
                         "SELECT count(*) FROM events WHERE site = ?",
                         "SELECT count(*) FROM radar_status WHERE site = ?"};
    for (int i = 0; i < 4; ++i) {
        Statement s(db_, sql[i]);
        if (!s.ok())
            return fail(error, "counting");
        s.bind(1, site_);
        if (s.step() != SQLITE_ROW)
            return fail(error, "counting");
        *fields[i] = s.integer(0);
    }
    return true;
}

} // namespace

std::unique_ptr<Store> openSqlite(const QString& path, const QString& site, QString& error)
{
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.toUtf8().constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = QStringLiteral("history %1: cannot open: %2")
                    .arg(path, QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
        sqlite3_close_v2(db);
        return nullptr;
    }
    // A file the system lets us only read is opened read-only, silently.
    if (sqlite3_db_readonly(db, "main") == 1) {
        error =
            QStringLiteral("history %1: the file is read-only; sited records into it").arg(path);
        sqlite3_close_v2(db);
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(db, path, site);
    // Exclusive: the lock taken by the first write is kept until close.
    // WAL: a batch is one append to the log rather than a rewrite of pages.
    QString ignored;
    // Incremental auto_vacuum: the room of removed days can go back to the
    // file system. It takes on a new file only, before its first table.
    sqlite3_exec(db, "PRAGMA auto_vacuum = INCREMENTAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA locking_mode = EXCLUSIVE", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    if (!store->migrate(error)) {
        if ((sqlite3_extended_errcode(db) & 0xff) == SQLITE_BUSY)
            error = QStringLiteral("history %1: in use by another sited (the file is locked)")
                        .arg(path);
        return nullptr;
    }
    return store;
}

} // namespace trklib::sited::history

// The site's history: the store with both back ends, the recorder's queue
// while PostgreSQL is away, retention, the SQLite file's lock and a
// read-only file, the HTTP API's bad and good requests; behind logins its
// routes by role, sessions, the wait after wrong passwords, the login
// records, the stream, the web root's files and HTTPS, the zones file
// saved with its versions and the zones armed; the users file; the export;
// the site's own map.

#include "tools/sited/fusion/picturejson.h"
#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historyexport.h"
#include "tools/sited/history/historyrecorder.h"
#include "tools/sited/history/sitehistory.h"
#include "tools/sited/zones/zonemessages.h"
#include "tools/sited/zones/zonesfile.h"

#include "support/postgresserver.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QPointF>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

using namespace trklib::sited::fusion;
using namespace trklib::sited::zones;

namespace trklib::sited::history {

// Every value equal, doubles bit for bit.
bool operator==(const ObjectRow& a, const ObjectRow& b)
{
    return a.timeMs == b.timeMs && a.id == b.id && a.x == b.x && a.y == b.y && a.lat == b.lat &&
           a.lon == b.lon && a.vx == b.vx && a.vy == b.vy && a.speed == b.speed &&
           a.heading == b.heading && a.confirmed == b.confirmed && a.radars == b.radars &&
           a.sinceMs == b.sinceMs && a.objectClass == b.objectClass && a.classes == b.classes &&
           a.gappedS == b.gappedS;
}

} // namespace trklib::sited::history

using namespace trklib::sited;
using namespace trklib::sited::history;

namespace {

constexpr std::int64_t msPerDay = 24 * 3600 * 1000;

const QStringList radarNames{QStringLiteral("north"), QStringLiteral("east")};
const QString siteName = QStringLiteral("crossroads");
// A zone name with SQL in it goes in and out as text.
const QString oddZone = QStringLiteral("o'hara\"; DROP TABLE events;--");

trklib::site::GeoReference& geo()
{
    static trklib::site::GeoReference g(trklib::site::Origin{48.1, 11.5, 520.0});
    return g;
}

// Two pictures of two objects and an empty third; the objects' values
// include ones that only read back bit for bit when stored as doubles.
QVector<Picture> samplePictures()
{
    SiteObject a;
    a.id = 1;
    a.xM = 0.1;
    a.yM = -2.5;
    a.vxMps = 3.0;
    a.vyMps = 3.0;
    a.confirmed = true;
    a.radars = {{0, 3}, {1, 7}};
    a.sinceMs = 900;
    a.objectClass = ObjectClass::Person;
    a.classes = {0.8, 0.1, 0.0, 0.0, 0.1, 0.0};
    a.gappedS = 2.34; // published to 0.1 s
    SiteObject b;
    b.id = 2;
    b.xM = 1e-300;
    b.yM = 12345.678901234567;
    b.vxMps = 0.1; // slow: no heading
    b.radars = {{1, 8}};
    b.sinceMs = 950;
    Picture first{1000, {a, b}};
    a.xM = 1.1;
    a.yM = -1.5;
    b.yM = 12345.6;
    Picture second{1100, {a, b}};
    return {first, second, Picture{1200, {}}};
}

EventRow event(std::int64_t t, const QString& zone, const char* kind, std::int64_t object)
{
    EventRow e{t, zone, QString::fromLatin1(kind), object, {}};
    e.json = QStringLiteral("{\"site\":\"crossroads\",\"event\":\"%1\",\"zone\":\"%2\","
                            "\"object\":%3,\"time\":%4}")
                 .arg(QLatin1String(kind), QString(zone).replace(QLatin1Char('"'), "\\\""))
                 .arg(object)
                 .arg(t)
                 .toUtf8();
    return e;
}

Batch sampleBatch()
{
    Batch batch;
    for (const Picture& p : samplePictures()) {
        batch.pictures.append(p.timeMs);
        batch.objects += pictureRows(radarNames, p, &geo());
    }
    // Object 2 has no position on Earth in the second picture: site metres.
    for (ObjectRow& o : batch.objects)
        if (o.id == 2 && o.timeMs == 1100)
            o.lat.reset(), o.lon.reset();
    batch.events = {event(1000, QStringLiteral("gate"), "enter", 1),
                    event(1050, oddZone, "exit", 2),
                    event(1100, QStringLiteral("gate"), "dwell", 1),
                    event(1100, QStringLiteral("fence"), "cross", 2)};
    batch.statuses = {{1050, QStringLiteral("north"), false},
                      {1150, QStringLiteral("north"), true}};
    return batch;
}

Counts counts(Store& store)
{
    Counts c;
    QString error;
    EXPECT_TRUE(store.counts(c, error)) << error.toStdString();
    return c;
}

std::string text(const Counts& c)
{
    return QStringLiteral("%1 pictures, %2 objects, %3 events, %4 statuses")
        .arg(c.pictures)
        .arg(c.objects)
        .arg(c.events)
        .arg(c.statuses)
        .toStdString();
}

// A database of either kind, in a folder of the test's own; PostgreSQL's
// server is the test's, stopped when the test ends however it ends.
class Database
{
public:
    explicit Database(const std::string& kind) : kind_(kind) {}

    // The URL or path; empty (with the reason in skip) when PostgreSQL's
    // server is not installed.
    QString location(std::string& skip)
    {
        if (kind_ == "sqlite")
            return dir_.filePath(QStringLiteral("crossroads.sqlite"));
        if (!trklib::test::PostgresServer::available()) {
            skip = "PostgreSQL 15's server is not installed (Debian's postgresql-15; "
                   "scripts/test installs it)";
            return {};
        }
        server_ = std::make_unique<trklib::test::PostgresServer>(dir_.path());
        QString error;
        if (!server_->start(error)) {
            ADD_FAILURE() << error.toStdString();
            return {};
        }
        return server_->url();
    }
    trklib::test::PostgresServer* server() { return server_.get(); }
    const QTemporaryDir& dir() const { return dir_; }

private:
    std::string kind_;
    QTemporaryDir dir_;
    std::unique_ptr<trklib::test::PostgresServer> server_;
};

// Runs statements on the database past the store; the first value of each
// SELECT's first row, space-separated, or the first error.
std::string rawSql(const std::string& kind, const QString& location,
                   std::initializer_list<const char*> statements)
{
    std::string answer;
    const auto add = [&answer](const char* value) {
        answer += (answer.empty() ? "" : " ") + std::string(value ? value : "NULL");
    };
    if (kind == "sqlite") {
        sqlite3* db = nullptr;
        sqlite3_open(QFile::encodeName(location).constData(), &db);
        for (const char* sql : statements) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
                answer = sqlite3_errmsg(db);
                break;
            }
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_ROW)
                add(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
            sqlite3_finalize(s);
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                answer = sqlite3_errmsg(db);
                break;
            }
        }
        sqlite3_close(db);
        return answer;
    }
    PGconn* conn = PQconnectdb(location.toUtf8().constData());
    for (const char* sql : statements) {
        PGresult* r = PQexec(conn, sql);
        const ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_TUPLES_OK)
            add(PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : nullptr);
        else if (status != PGRES_COMMAND_OK)
            answer = PQerrorMessage(conn);
        PQclear(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            break;
    }
    PQfinish(conn);
    return answer;
}

class StoreTest : public testing::TestWithParam<std::string>
{
};

TEST_P(StoreTest, WhatIsWrittenReadsBackAndFiltersAtItsBounds)
{
    Database db(GetParam());
    std::string skip;
    const QString location = db.location(skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_FALSE(location.isEmpty());
    QString error;
    std::unique_ptr<Store> store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    const Batch batch = sampleBatch();
    ASSERT_TRUE(store->write(batch, error)) << error.toStdString();
    // Written again, as after a lost answer to its commit: nothing added.
    ASSERT_TRUE(store->write(batch, error)) << error.toStdString();
    EXPECT_EQ(text(counts(*store)), text({3, 4, 4, 2}));

    // Events: each filter, the period's bounds included, the limit.
    struct Case
    {
        const char* what;
        EventQuery query;
        QVector<int> expected; // indices into batch.events
    };
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {"all, in time order", {lo, hi, {}, {}, {}, 1000}, {0, 1, 2, 3}},
        {"one zone", {lo, hi, QStringLiteral("gate"), {}, {}, 1000}, {0, 2}},
        {"the zone with SQL in its name", {lo, hi, oddZone, {}, {}, 1000}, {1}},
        {"one kind", {lo, hi, {}, QStringLiteral("exit"), {}, 1000}, {1}},
        {"one object", {lo, hi, {}, {}, 2, 1000}, {1, 3}},
        {"from and to included", {1050, 1100, {}, {}, {}, 1000}, {1, 2, 3}},
        {"just past from and before to", {1051, 1099, {}, {}, {}, 1000}, {}},
        {"the limit", {lo, hi, {}, {}, {}, 1}, {0}},
    };
    for (const Case& c : cases) {
        QVector<QByteArray> got;
        ASSERT_TRUE(store->events(c.query, got, error)) << error.toStdString();
        QVector<QByteArray> want;
        for (int i : c.expected)
            want.append(batch.events[i].json);
        EXPECT_EQ(got, want) << c.what;
    }

    // Tracks: by id then time, every value as written.
    QVector<ObjectRow> rows;
    ASSERT_TRUE(store->tracks({lo, hi, std::nullopt}, rows, error)) << error.toStdString();
    QVector<ObjectRow> want = batch.objects;
    std::sort(want.begin(), want.end(), [](const ObjectRow& a, const ObjectRow& b) {
        return std::make_pair(a.id, a.timeMs) < std::make_pair(b.id, b.timeMs);
    });
    EXPECT_TRUE(rows == want);
    ASSERT_TRUE(store->tracks({1100, 1100, 2}, rows, error));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_TRUE(rows[0] == want[3]);

    // Pictures: at or just before; an empty one is found empty.
    struct PictureCase
    {
        std::int64_t at;
        bool found;
        std::int64_t time;
        int objects;
    };
    for (const PictureCase& c : {PictureCase{999, false, 0, 0}, PictureCase{1000, true, 1000, 2},
                                 PictureCase{1099, true, 1000, 2}, PictureCase{1100, true, 1100, 2},
                                 PictureCase{hi, true, 1200, 0}}) {
        bool found = true;
        std::int64_t time = 0;
        ASSERT_TRUE(store->picture(c.at, found, time, rows, error)) << error.toStdString();
        EXPECT_EQ(found, c.found) << "at " << c.at;
        EXPECT_EQ(found ? time : 0, c.time) << "at " << c.at;
        EXPECT_EQ(rows.size(), c.objects) << "at " << c.at;
    }
    std::optional<std::int64_t> latest;
    ASSERT_TRUE(store->latest(latest, error));
    EXPECT_EQ(latest, std::optional<std::int64_t>(1200));
    EXPECT_EQ(text(counts(*store)), text({3, 4, 4, 2}));

    // A track's positions alone (what the API draws) are the rows' own.
    QVector<ObjectRow> positions;
    ASSERT_TRUE(store->tracks({lo, hi, std::nullopt, true}, positions, error));
    ASSERT_EQ(positions.size(), want.size());
    for (int i = 0; i < want.size(); ++i) {
        const ObjectRow& w = want[i];
        const ObjectRow& p = positions[i];
        EXPECT_TRUE(std::tie(p.timeMs, p.id, p.x, p.y, p.lat, p.lon, p.speed) ==
                    std::tie(w.timeMs, w.id, w.x, w.y, w.lat, w.lon, w.speed))
            << "row " << i;
    }

    // Logins: kept once however often written, the period's bounds included.
    Batch logins;
    logins.logins = {{1000, QStringLiteral("ann"), QStringLiteral("login"), QStringLiteral("::1")},
                     {1100, oddZone, QStringLiteral("failed"), QStringLiteral("127.0.0.1")},
                     {1100, oddZone, QStringLiteral("failed"), QStringLiteral("127.0.0.2")}};
    ASSERT_TRUE(store->write(logins, error)) << error.toStdString();
    ASSERT_TRUE(store->write(logins, error)) << error.toStdString();
    const auto loginText = [](const QVector<LoginRow>& rows) {
        QStringList lines;
        for (const LoginRow& l : rows)
            lines << QStringLiteral("%1 %2 %3 %4").arg(l.timeMs).arg(l.name, l.action, l.peer);
        return lines.join(QLatin1Char('|')).toStdString();
    };
    QVector<LoginRow> read;
    ASSERT_TRUE(store->logins({lo, hi, 1000}, read, error)) << error.toStdString();
    EXPECT_EQ(loginText(read), loginText(logins.logins));
    ASSERT_TRUE(store->logins({1001, 1100, 1}, read, error)) << error.toStdString();
    EXPECT_EQ(loginText(read), loginText({logins.logins[1]}));

    // The cameras' changes, as the logins: once each, oldest first, by period.
    Batch cameras;
    cameras.cameras = {{1000, "gate", "offline", {}, 0, oddZone},
                       {1050, "gate", "take", "otto", 0, {}},
                       {1100, "gate", "cue", {}, 12, "alarm 3"}};
    ASSERT_TRUE(store->write(cameras, error)) << error.toStdString();
    ASSERT_TRUE(store->write(cameras, error)) << error.toStdString();
    QVector<CameraRow> changes;
    ASSERT_TRUE(store->cameras({1001, hi, 1000}, changes, error)) << error.toStdString();
    QStringList cameraLines;
    for (const CameraRow& c : changes)
        cameraLines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                           .arg(c.timeMs)
                           .arg(c.camera, c.action, c.user)
                           .arg(c.object)
                           .arg(c.detail);
    EXPECT_EQ(cameraLines.join('|'), "1050 gate take otto 0 |1100 gate cue  12 alarm 3");

    // Rows alike but for one column of the key that keeps each row once are
    // each kept, and once however often written.
    const EventRow& dwell = batch.events[2];
    const StatusRow& online = batch.statuses[1];
    const auto eventBatch = [](const EventRow& e) {
        Batch b;
        b.events = {e};
        return b;
    };
    const auto statusBatch = [](const StatusRow& r) {
        Batch b;
        b.statuses = {r};
        return b;
    };
    const std::pair<const char*, Batch> alike[] = {
        {"an event's message a ms later",
         eventBatch({dwell.timeMs + 1, dwell.zone, dwell.event, dwell.object, dwell.json})},
        {"the message of another object",
         eventBatch({dwell.timeMs, dwell.zone, dwell.event, 3, dwell.json})},
        {"another message of the object at the time",
         eventBatch(event(dwell.timeMs, QStringLiteral("fence"), "enter", dwell.object))},
        {"a status a ms later", statusBatch({online.timeMs + 1, online.radar, true})},
        {"another radar's status", statusBatch({online.timeMs, QStringLiteral("east"), true})},
        {"the radar's other status", statusBatch({online.timeMs, online.radar, false})},
    };
    Counts expected = counts(*store);
    for (const auto& [what, rows] : alike) {
        ASSERT_TRUE(store->write(rows, error)) << error.toStdString();
        ASSERT_TRUE(store->write(rows, error)) << error.toStdString();
        expected.events += rows.events.size();
        expected.statuses += rows.statuses.size();
        EXPECT_EQ(text(counts(*store)), text(expected)) << what;
    }

    // A database of the first version, without the second's indexes and
    // with an event and a status change written twice, is migrated when
    // it opens: it gains them (PostgreSQL also its track index), its rows
    // kept, each once.
    store.reset();
    const std::string downgraded = rawSql(
        GetParam(), location,
        {"DROP TABLE picture_blocks", "DROP TABLE camera_changes", "DROP TABLE alarm_changes",
         "DROP TABLE logins", "DROP INDEX IF EXISTS objects_track",
         "ALTER TABLE objects DROP COLUMN object_class", "ALTER TABLE objects DROP COLUMN classes",
         "ALTER TABLE objects DROP COLUMN gapped", "DROP INDEX events_once",
         "DROP INDEX radar_status_once",
         "INSERT INTO events (site, time, zone, event, object, json) "
         "SELECT site, time, zone, event, object, json FROM events WHERE time = 1100",
         "INSERT INTO radar_status SELECT * FROM radar_status",
         "UPDATE schema_version SET version = 1", "SELECT count(*) FROM objects",
         "SELECT count(*) FROM events", "SELECT count(*) FROM radar_status"});
    ASSERT_EQ(downgraded, "4 11 10");
    store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    EXPECT_EQ(text(counts(*store)), text({3, 4, 7, 5}));
    store.reset();
    EXPECT_EQ(
        rawSql(GetParam(), location,
               {GetParam() == "sqlite" ? "SELECT count(*) FROM sqlite_master WHERE name IN "
                                         "('events_once', 'radar_status_once')"
                                       : "SELECT count(*) FROM pg_indexes WHERE indexname IN "
                                         "('events_once', 'radar_status_once', 'objects_track')",
                "SELECT max(version) FROM schema_version", "SELECT count(*) FROM logins",
                "SELECT count(*) FROM camera_changes",
                "SELECT count(*) FROM objects WHERE object_class = 'unknown' AND classes LIKE "
                "'%\"unknown\":1}' AND gapped = 0",
                GetParam() == "sqlite" ? "SELECT 'e'"
                                       : "SELECT attstorage FROM pg_attribute WHERE attrelid = "
                                         "'picture_blocks'::regclass AND attname = 'block'"}),
        GetParam() == "sqlite" ? "2 9 0 0 4 e" : "3 9 0 0 4 e");
    store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    ASSERT_TRUE(store->removeBefore(1100, error)) << error.toStdString();
    EXPECT_EQ(text(counts(*store)), text({2, 2, 5, 4}));
}

// The recorder keeps the database within its size by whole oldest UTC days,
// never the latest record's day. SQLite gives the room of removed rows back
// at once: as many days go as the size needs. PostgreSQL keeps its tables'
// room for later rows: one day goes, the next only once the tables have
// grown past the size at which it went.
TEST_P(StoreTest, MaxSizeRemovesWholeOldestDaysNeverTheLatest)
{
    Database db(GetParam());
    std::string skip;
    const QString location = db.location(skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_FALSE(location.isEmpty());
    QString error;
    std::unique_ptr<Store> store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    const bool sqlite = GetParam() == "sqlite";
    EXPECT_EQ(store->shrinksOnRemoval(), sqlite);
    // A day: one picture an hour after its midnight, of objects of its own.
    constexpr int objectsPerDay = 1000;
    constexpr std::int64_t hourMs = 3600 * 1000;
    const auto day = [](int d) {
        Batch b;
        b.pictures = {d * msPerDay + hourMs};
        for (int i = 0; i < objectsPerDay; ++i) {
            ObjectRow o;
            o.timeMs = b.pictures[0];
            o.id = d * objectsPerDay + i;
            o.x = i;
            b.objects.append(o);
        }
        return b;
    };
    const auto size = [](Store& s) {
        std::int64_t bytes = 0;
        QString error;
        EXPECT_TRUE(s.size(bytes, error)) << error.toStdString();
        return bytes;
    };
    std::int64_t one = 0;
    std::int64_t three = 0;
    for (int d = 0; d < 5; ++d) {
        ASSERT_TRUE(store->write(day(d), error)) << error.toStdString();
        one = d == 0 ? size(*store) : one;
        three = d == 2 ? size(*store) : three;
    }
    const std::int64_t perDay = (size(*store) - one) / 4;
    ASSERT_GT(perDay, 0);
    std::optional<SharedStore> shared(std::move(store));
    const auto oldestDay = [&] {
        std::optional<std::int64_t> oldest;
        QString error;
        EXPECT_TRUE(shared->with([&](Store& s) { return s.oldest(oldest, error); }));
        return oldest ? int(*oldest / msPerDay) : -1;
    };
    QStringList lines;
    const auto removed = [&lines] { return lines.filter(QStringLiteral("removed")).size(); };
    {
        // Three days and a half fit.
        const std::int64_t maxBytes = three + perDay / 2;
        Recorder recorder(*shared, {Recorder::defaultQueueRecords, 36600,
                                    [&lines](const QString& line) { lines << line; }, maxBytes});
        const auto record = [&](std::int64_t timeMs, const QVector<ObjectRow>& objects) {
            recorder.addPicture(timeMs, objects);
            EXPECT_TRUE(recorder.flush(20000));
        };
        record(5 * msPerDay + hourMs, day(5).objects);
        EXPECT_EQ(oldestDay(), sqlite ? 3 : 1);
        EXPECT_EQ(removed(), sqlite ? 3 : 1) << lines.join(QLatin1Char('\n')).toStdString();
        const Usage usage = recorder.usage();
        EXPECT_EQ(usage.bytes, shared->with(size));
        EXPECT_EQ(usage.oldestMs, (sqlite ? 3 : 1) * msPerDay + hourMs);
        EXPECT_EQ(usage.newestMs, 5 * msPerDay + hourMs);
        if (sqlite) {
            EXPECT_LE(*usage.bytes, maxBytes);
        }
        // A minute on, the tables not grown: PostgreSQL takes no more.
        record(5 * msPerDay + hourMs + Recorder::sizeEveryMs, {});
        EXPECT_EQ(oldestDay(), sqlite ? 3 : 1);
    }
    if (!sqlite)
        return;
    {
        // Nothing fits: every day goes but the latest record's, said once.
        Recorder recorder(*shared, {Recorder::defaultQueueRecords, 36600,
                                    [&lines](const QString& line) { lines << line; }, 1});
        for (int minute = 0; minute < 3; ++minute) {
            recorder.addPicture(6 * msPerDay + minute * Recorder::sizeEveryMs, day(6).objects);
            EXPECT_TRUE(recorder.flush(20000));
        }
        EXPECT_EQ(oldestDay(), 6);
        EXPECT_EQ(removed(), 6) << "days 3, 4 and 5 as well";
        EXPECT_EQ(lines.filter(QStringLiteral("current day 1970-01-07 alone: it is kept")).size(),
                  1);
    }
    // The removed days' room went back to the file system: the file is
    // about one day's size.
    shared.reset();
    EXPECT_EQ(rawSql(GetParam(), location, {"PRAGMA auto_vacuum"}), "2") << "incremental";
    EXPECT_LE(QFileInfo(location).size(), one + perDay / 2);
}

// An alarm book's changes, written as sited's recorder writes them and read
// back after the store is opened again, restore the open alarms (still
// raised) and the shelvings not over; retention keeps them however old,
// and the changes of a period read back with every alarm raised in it.
TEST_P(StoreTest, OpenAlarmsAndShelvingsOutliveARestart)
{
    Database db(GetParam());
    std::string skip;
    const QString location = db.location(skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    QString error;
    std::unique_ptr<Store> store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    Zone gate;
    gate.name = QStringLiteral("gate");
    gate.rings = {{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}};
    gate.alarm = QStringList{QStringLiteral("enter")};
    Zone yard = gate;
    yard.name = QStringLiteral("yard");
    const QVector<Zone> zones{gate, yard};
    AlarmBook book(zones);
    book.addListener(
        [&](const QVector<AlarmChange>& changes, const QVector<Alarm>&, const QVector<Shelving>&) {
            Batch batch;
            batch.alarmChanges = changes;
            ASSERT_TRUE(store->write(batch, error)) << error.toStdString();
        });
    const auto enter = [](int zone, std::int64_t object, std::int64_t timeMs) {
        Event e;
        e.zone = zone;
        e.object = object;
        e.timeMs = timeMs;
        e.xM = 1.5;
        return e;
    };
    int status = 0;
    QString why;
    book.picture(1000, zones, {enter(0, 7, 1000), enter(1, 8, 1000)});
    ASSERT_TRUE(book.acknowledge(1, "otto", "seen \"it\"", 2000, status, why));
    Event exit = enter(0, 7, 3000);
    exit.kind = Event::Kind::Exit;
    book.picture(3000, zones, {exit}); // alarm 1 cleared
    ASSERT_TRUE(book.addNote(2, "ada", "a fox", 4000, status, why));
    ASSERT_TRUE(book.shelve("gate", "otto", 60, "works", 5000, status, why));
    store.reset();

    store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    // Days later: only the cleared alarm's changes are old enough to go.
    ASSERT_TRUE(store->removeBefore(100000, error)) << error.toStdString();
    QVector<AlarmChange> kept;
    std::int64_t lastId = 0;
    ASSERT_TRUE(store->openAlarms(6000, kept, lastId, error)) << error.toStdString();
    EXPECT_EQ(lastId, 2);
    AlarmBook restored(zones);
    restored.restore(kept, lastId, 6000);
    ASSERT_EQ(restored.open().size(), 1);
    const Alarm alarm = restored.open()[0]; // open() returns a copy
    EXPECT_EQ(alarm.id, 2);
    EXPECT_EQ(alarm.zone, "yard");
    EXPECT_EQ(alarm.object, 8);
    EXPECT_EQ(alarm.xM, 1.5);
    EXPECT_FALSE(alarm.acknowledged);
    ASSERT_EQ(alarm.notes.size(), 1);
    EXPECT_EQ(alarm.notes[0].user, "ada");
    ASSERT_EQ(restored.shelvings().size(), 1);
    EXPECT_EQ(restored.shelvings()[0].untilMs, 5000 + 60 * 60000);
    // Past its end, the shelving is not restored.
    ASSERT_TRUE(store->openAlarms(5000 + 60 * 60000, kept, lastId, error));
    EXPECT_EQ(kept.size(), 2); // alarm 2's raise and note
    ASSERT_TRUE(store->alarms({0, 2500, 100}, kept, error)) << error.toStdString();
    QStringList actions;
    for (const AlarmChange& c : kept)
        actions << QStringLiteral("%1 %2").arg(QLatin1String(actionName(c.action))).arg(c.alarm);
    EXPECT_EQ(actions.join(", "), "raise 2, note 2");
}

// A zones file of site-metre shapes: name, rings' or a line's corners
// (a "line" key), and the rest of its properties as JSON text.
QByteArray zonesGeoJson(
    std::initializer_list<std::tuple<const char*, QVector<QPointF>, bool, const char*>> shapes)
{
    QByteArray out = R"({"type":"FeatureCollection","features":[)";
    int n = 0;
    for (const auto& [name, corners, line, properties] : shapes) {
        QByteArray coordinates;
        for (const QPointF& c : corners) {
            const trklib::site::GeoPoint p = geo().toGeodetic(c.x(), c.y());
            coordinates += (coordinates.isEmpty() ? "[" : ",[") +
                           QByteArray::number(p.longitudeDeg, 'g', 17) + ',' +
                           QByteArray::number(p.latitudeDeg, 'g', 17) + ']';
        }
        out += QByteArray(n++ ? "," : "") + R"({"type":"Feature","geometry":{"type":")" +
               (line ? "LineString\",\"coordinates\":[" + coordinates + "]"
                     : "Polygon\",\"coordinates\":[[" + coordinates + "]]") +
               R"(},"properties":{"name":")" + name + "\"" + properties + "}}";
    }
    return out + "]}";
}

// The recorded pictures through the zones in force and through edited
// ones (the gate moved, with a speed limit, and a line): every event
// counted, the period's first bound kept, a gap in the pictures a new start.
TEST_P(StoreTest, ThePreviewPlaysTheRecordedPicturesThroughBothSetsOfZones)
{
    Database db(GetParam());
    std::string skip;
    const QString location = db.location(skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    QString error;
    std::unique_ptr<Store> store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    constexpr std::int64_t hourMs = 3600 * 1000;
    constexpr std::int64_t latestMs = 10 * hourMs;
    constexpr std::int64_t fromMs = latestMs - hourMs; // of "hours": 1
    const auto object = [](std::int64_t id, double x, double vx) {
        SiteObject o;
        o.id = id;
        o.xM = x;
        o.yM = 5;
        o.vxMps = vx;
        o.confirmed = true;
        return o;
    };
    QVector<Picture> pictures;
    pictures.append(Picture{fromMs - 100, {object(8, 5, 0)}}); // before one hour
    pictures.append(Picture{fromMs, {object(9, 5, 0)}});
    pictures.append(Picture{fromMs + 100, {}});
    // Object 1 walks east at 10 m/s through both gates and over the line;
    // object 2, a car, stands in the gate in force until it ends there;
    // object 3 stands there unconfirmed.
    const std::int64_t walkMs = latestMs - 14300;
    for (int k = 0; k <= 40; ++k) {
        Picture p{walkMs + 100 * k, {object(1, -5 + k, 10)}};
        if (k < 10) {
            p.objects.append(object(2, 5, 0));
            p.objects.back().objectClass = ObjectClass::Car;
        }
        if (k >= 20 && k < 25) { // unconfirmed: no zone here counts it
            p.objects.append(object(3, 5, 0));
            p.objects.back().confirmed = false;
        }
        pictures.append(p);
    }
    // After 10 s without a picture (sited restarted) an object 1 stands in
    // the gate in force, and ends there.
    for (int k = 0; k < 3; ++k)
        pictures.append(Picture{walkMs + 14000 + 100 * k, {object(1, 5, 0)}});
    pictures.append(Picture{latestMs, {}});
    // The walk's second half written first: the store hands pictures in
    // time order, whatever the order they were written in.
    for (const bool late : {false, true}) {
        Batch batch;
        for (const Picture& p : pictures) {
            if ((p.timeMs < walkMs + 2000) == late) {
                batch.pictures.append(p.timeMs);
                batch.objects += pictureRows(radarNames, p, &geo());
            }
        }
        ASSERT_TRUE(store->write(batch, error)) << error.toStdString();
    }
    SharedStore shared(std::move(store));

    const QByteArray current =
        zonesGeoJson({{"gate",
                       {{-0.5, 0}, {10.5, 0}, {10.5, 10}, {-0.5, 10}, {-0.5, 0}},
                       false,
                       R"(,"dwell":0.5)"}});
    const QByteArray edited =
        zonesGeoJson({{"gate",
                       {{19.5, 0}, {30.5, 0}, {30.5, 10}, {19.5, 10}, {19.5, 0}},
                       false,
                       R"(,"speed_limit":20)"},
                      {"fence", {{14.5, -5}, {14.5, 15}}, true, ""}});
    QVector<Zone> zonesNow;
    ASSERT_TRUE(parseZones(current, geo(), zonesNow, error)) << error.toStdString();
    ApiContext context;
    context.store = &shared;
    context.site = siteName;
    context.geo.emplace(trklib::site::Origin{48.1, 11.5, 520.0});
    context.currentZones = [&zonesNow] { return zonesNow; };
    const auto preview = [&](const QByteArray& body) {
        Request r;
        r.method = "POST";
        r.path = "/api/zones/preview";
        r.body = body.toStdString();
        return handle(context, r);
    };
    const auto counts = [](const QJsonObject& side, const char* zone) {
        QStringList kinds;
        const QJsonObject c = side[QLatin1String("counts")][QLatin1String(zone)].toObject();
        for (const char* kind : {"enter", "exit", "dwell", "speed", "cross"})
            kinds << QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(c[kind].toInt());
        return kinds.join(", ").toStdString();
    };

    const Reply hour = preview("{\"hours\":1,\"geojson\":" + edited + "}");
    ASSERT_EQ(hour.status, 200) << hour.body.toStdString();
    const QJsonObject h = QJsonDocument::fromJson(hour.body).object();
    EXPECT_EQ(h["from"].toDouble(), double(fromMs));
    EXPECT_EQ(h["to"].toDouble(), double(latestMs));
    EXPECT_EQ(h["pictures"].toInt(), 47);
    const QJsonObject now = h["current"].toObject();
    EXPECT_EQ(counts(now, "gate"), "enter 4, exit 4, dwell 2, speed 0, cross 0");
    EXPECT_EQ(now["total"].toInt(), 10);
    const QJsonArray events = now["events"].toArray();
    ASSERT_EQ(events.size(), 10);
    EXPECT_EQ(events[0]["object"].toInt(), 9);
    EXPECT_EQ(events[0]["time"].toDouble(), double(fromMs));
    EXPECT_EQ(events[0]["event"].toString(), "enter");
    EXPECT_TRUE(events[0]["lat"].isDouble());
    const QJsonObject then = h["edited"].toObject();
    EXPECT_EQ(counts(then, "gate"), "enter 1, exit 1, dwell 0, speed 1, cross 0");
    EXPECT_EQ(counts(then, "fence"), "enter 0, exit 0, dwell 0, speed 0, cross 1");
    EXPECT_EQ(then["total"].toInt(), 4);
    EXPECT_EQ(then["events"].toArray().size(), 4);

    // The edited side against the edited zones alone, played over the
    // hour's pictures as a starting sited would (again after the gap):
    // zones judged as the one in force under another name, or twice, or
    // first in the file, raise what playing them raises; one with another
    // dwell, or counting unconfirmed objects, or cars alone (as the store
    // gives the class back), is not the zone in force.
    const auto square = [](double x0) {
        return QVector<QPointF>{{x0, 0}, {x0 + 11, 0}, {x0 + 11, 10}, {x0, 10}, {x0, 0}};
    };
    const QVector<QPointF> fence{{14.5, -5}, {14.5, 15}};
    for (const QByteArray& file :
         {edited,
          // The fence crossed in the picture of door's dwell and lost exit.
          zonesGeoJson({{"fence", {{4.5, -5}, {4.5, 15}}, true, ""},
                        {"door", square(-0.5), false, R"(,"dwell":0.5)"}}),
          zonesGeoJson({{"gate", square(-0.5), false, R"(,"dwell":1)"}}),
          zonesGeoJson({{"door", square(-0.5), false, R"(,"dwell":0.5)"},
                        {"fence", fence, true, ""},
                        {"gate", square(-0.5), false, R"(,"dwell":0.5,"confirmed_only":false)"},
                        {"porch", square(-0.5), false, R"(,"dwell":0.5,"alarm":["enter"])"},
                        {"lot", square(-0.5), false, R"(,"dwell":0.5,"classes":["car"])"}})}) {
        QVector<Zone> zones;
        ASSERT_TRUE(parseZones(file, geo(), zones, error)) << error.toStdString();
        QJsonArray expected;
        std::optional<std::int64_t> lastMs;
        auto rules = std::make_unique<Rules>(zones);
        for (const Picture& p : pictures) {
            if (p.timeMs < fromMs)
                continue;
            if (lastMs && p.timeMs - *lastMs > 5000)
                rules = std::make_unique<Rules>(zones);
            lastMs = p.timeMs;
            for (const Event& e : rules->evaluate(p))
                expected.append(
                    QJsonDocument::fromJson(eventMessage(siteName, zones[e.zone], e, &*context.geo))
                        .object());
        }
        const Reply r = preview("{\"hours\":1,\"geojson\":" + file + "}");
        const QJsonObject side = QJsonDocument::fromJson(r.body)["edited"].toObject();
        EXPECT_EQ(side["events"].toArray(), expected) << file.toStdString();
        EXPECT_EQ(side["total"].toInt(), expected.size());
        EXPECT_EQ(QJsonDocument::fromJson(r.body)["current"]["total"].toInt(), 10);
    }

    // A day by default: object 8 too.
    const Reply day = preview("{\"geojson\":" + edited + "}");
    const QJsonObject d = QJsonDocument::fromJson(day.body).object();
    EXPECT_EQ(d["pictures"].toInt(), 48);
    EXPECT_EQ(counts(d["current"].toObject(), "gate"),
              "enter 5, exit 5, dwell 2, speed 0, cross 0");

    for (const char* bad : {R"({"hours":0,"geojson":{}})", R"({"hours":25,"geojson":{}})",
                            R"({"hours":1.5,"geojson":{}})", R"({"geojson":[]})", "[]"})
        EXPECT_EQ(preview(bad).status, 400) << bad;
    const Reply refused = preview(R"({"geojson":{"type":"FeatureCollection","features":[)"
                                  R"({"type":"Feature","geometry":{"type":"Point",)"
                                  R"("coordinates":[11.5,48.1]},"properties":{}}]}})");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.body.count("feature 1"), 1) << refused.body.toStdString();
    context.store = nullptr;
    EXPECT_EQ(preview("{\"geojson\":" + edited + "}").status, 404);
}

// A minute's pictures come from its block where it has a whole one, from
// its rows elsewhere, alike bit for bit: the first minute a store writes
// (an earlier sited may have written part of it), a minute written into
// again later, one not over yet, a block whose bytes are damaged.
TEST_P(StoreTest, MinutesReadFromTheirBlocksAsFromTheirRows)
{
    Database db(GetParam());
    std::string skip;
    const QString location = db.location(skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    const bool sqlite = GetParam() == "sqlite";
    constexpr std::int64_t minuteMs = 60 * 1000;
    // Two objects in every picture but each minute's last, which is empty;
    // ids not in order, values that read back only as doubles.
    constexpr std::int64_t everyMs = 5000; // a minute's pictures: minBlockPictures and more
    const auto picture = [](std::int64_t timeMs) {
        Picture p{timeMs, {}};
        if ((timeMs + everyMs) % minuteMs == 0)
            return p;
        SiteObject a;
        a.id = 7 + timeMs / minuteMs;
        a.xM = 1e-300 * double(timeMs);
        a.yM = -0.0;
        a.vxMps = 3.0;
        a.vyMps = 0.1 * double(timeMs % 7);
        a.objectClass = ObjectClass::Truck;
        SiteObject b;
        b.id = 2;
        b.xM = 12345.678901234567 + double(timeMs);
        b.yM = -1.0 / 3.0;
        b.confirmed = true;
        return Picture{timeMs, {a, b}};
    };
    QMap<std::int64_t, Picture> written; // by time
    const auto write = [&](Store& store, QVector<std::int64_t> times) {
        Batch batch;
        for (const std::int64_t t : times) {
            written[t] = picture(t);
            batch.pictures.append(t);
            batch.objects += pictureRows(radarNames, written[t], &geo());
        }
        QString error;
        EXPECT_TRUE(store.write(batch, error)) << error.toStdString();
    };
    // Pictures 5 s apart from 0:20 on, minute 2 and 3 in one batch; sited
    // restarted in minute 4 and in minute 7, which then writes minute 2 again.
    const auto times = [](std::int64_t from, std::int64_t to) {
        QVector<std::int64_t> t;
        for (; from < to; from += everyMs)
            t.append(from);
        return t;
    };
    QString error;
    {
        std::unique_ptr<Store> store = Store::open(location, siteName, error);
        ASSERT_TRUE(store) << error.toStdString();
        for (const std::int64_t t : times(20000, 120000))
            write(*store, {t});
        write(*store, times(120000, 200000));
        write(*store, times(200000, 250000));
    }
    std::unique_ptr<Store> store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    for (const std::int64_t t : times(250000, 7 * minuteMs))
        write(*store, {t});
    const char* blocks = sqlite ? "SELECT group_concat(time / 60000, ' ') FROM picture_blocks"
                                : "SELECT string_agg((time / 60000)::text, ' ' ORDER BY time) "
                                  "FROM picture_blocks";
    store.reset(); // SQLite's lock
    EXPECT_EQ(rawSql(GetParam(), location, {blocks}), "1 2 3 5");
    store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    write(*store, times(7 * minuteMs, 8 * minuteMs));
    write(*store, {130000});
    store.reset();
    EXPECT_EQ(rawSql(GetParam(), location, {blocks}), "1 3 5");
    // Minute 5's bytes cut short: its rows are read instead.
    rawSql(GetParam(), location,
           {sqlite ? "UPDATE picture_blocks SET block = substr(block, 1, 30) WHERE time = 300000"
                   : "UPDATE picture_blocks SET block = substring(block from 1 for 30) "
                     "WHERE time = 300000"});
    store = Store::open(location, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();

    const auto text = [](std::int64_t timeMs, const zones::Sample* objects, int count) {
        QString line = QString::number(timeMs);
        for (int i = 0; i < count; ++i) {
            const zones::Sample& o = objects[i];
            line += QStringLiteral(" %1:%2,%3,%4,%5,%6")
                        .arg(o.id)
                        .arg(o.xM, 0, 'g', 17)
                        .arg(std::signbit(o.yM) ? "-" : "+")
                        .arg(o.yM, 0, 'g', 17)
                        .arg(o.speedKph, 0, 'g', 17)
                        .arg(int(o.confirmed) * 10 + int(o.objectClass));
        }
        return line;
    };
    for (const auto& [from, to] : {std::pair<std::int64_t, std::int64_t>{0, 8 * minuteMs},
                                   {70000, 310000},
                                   {60000, 119999},
                                   {100001, 159999}}) {
        QStringList got;
        ASSERT_TRUE(store->pictures(
            from, to, [&](std::int64_t t, const zones::Sample* o, int n) { got << text(t, o, n); },
            error))
            << error.toStdString();
        QStringList want;
        for (const Picture& p : qAsConst(written)) {
            if (p.timeMs < from || p.timeMs > to)
                continue;
            QVector<zones::Sample> objects;
            // SQLite keeps a REAL of an integer's value as that integer: -0.0 reads 0.0.
            const auto stored = [sqlite](double v) { return sqlite ? v + 0.0 : v; };
            for (const ObjectRow& r : pictureRows(radarNames, p, &geo()))
                objects.append(
                    {r.id, stored(r.x), stored(r.y), stored(r.speed), r.confirmed, r.objectClass});
            std::sort(objects.begin(), objects.end(),
                      [](const zones::Sample& a, const zones::Sample& b) { return a.id < b.id; });
            want << text(p.timeMs, objects.constData(), objects.size());
        }
        EXPECT_EQ(got.join('\n').toStdString(), want.join('\n').toStdString())
            << from << " to " << to;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

// A radar is online from its first tracks message until it has been silent
// for fusion's silence, exactly, and online again at its next message; a
// radar never heard of is neither.
TEST(RadarPresenceTest, GoesOfflineAfterTheSilenceAndBack)
{
    constexpr std::int64_t silenceMs = trklib::sited::radarSilenceMs;
    RadarPresence presence({QStringLiteral("a"), QStringLiteral("b")});
    const struct
    {
        std::optional<std::int64_t> lastA;
        std::int64_t nowMs;
        QVector<StatusRow> changes;
    } steps[]{
        {std::nullopt, 1000, {}},
        {1000, 1000, {{1000, QStringLiteral("a"), true}}},
        {1000, 1000 + silenceMs, {}}, // at the silence: still online
        {1000, 1001 + silenceMs, {{1000 + silenceMs, QStringLiteral("a"), false}}},
        {1000, 9000, {}},
        {9500, 9600, {{9500, QStringLiteral("a"), true}}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.nowMs);
        const QVector<StatusRow> changes = presence.update({step.lastA, std::nullopt}, step.nowMs);
        ASSERT_EQ(changes.size(), step.changes.size());
        for (int i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].timeMs, step.changes[i].timeMs);
            EXPECT_EQ(changes[i].radar, step.changes[i].radar);
            EXPECT_EQ(changes[i].online, step.changes[i].online);
        }
    }
}

TEST(RetentionTest, KeepsWholeDaysAndAlwaysTheLatest)
{
    struct Case
    {
        std::int64_t latestMs;
        int days;
        std::int64_t startMs;
    };
    for (const Case& c : {Case{0, 1, 0}, Case{msPerDay - 1, 1, 0}, Case{msPerDay, 1, msPerDay},
                          Case{msPerDay, 2, 0}, Case{30 * msPerDay + 5, 30, msPerDay},
                          Case{-1, 1, -msPerDay}, Case{msPerDay, 0, msPerDay}}) {
        EXPECT_EQ(retentionStartMs(c.latestMs, c.days), c.startMs)
            << c.latestMs << " ms, " << c.days << " days";
    }

    // The recorder removes the day that falls out, once the next one starts.
    QTemporaryDir dir;
    QString error;
    auto store = Store::open(dir.filePath(QStringLiteral("r.sqlite")), siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    SharedStore shared(std::move(store));
    Recorder recorder(shared, {Recorder::defaultQueueRecords, 2, {}});
    const auto picturesAfter = [&](std::int64_t t) {
        recorder.addPicture(t, {});
        EXPECT_TRUE(recorder.flush(20000));
        return shared.with([](Store& s) { return counts(s).pictures; });
    };
    constexpr std::int64_t hourMs = 3600 * 1000;
    EXPECT_EQ(picturesAfter(msPerDay / 2), 1);
    EXPECT_EQ(picturesAfter(msPerDay + msPerDay / 2), 2);
    EXPECT_EQ(picturesAfter(2 * msPerDay - 1), 3) << "the first day is kept to its end";
    EXPECT_EQ(picturesAfter(2 * msPerDay), 4) << "looked at once an hour of the records' time";
    EXPECT_EQ(picturesAfter(2 * msPerDay + hourMs), 4) << "the first day's one removed";
    EXPECT_EQ(picturesAfter(3 * msPerDay + 2 * hourMs), 3) << "the second day's two removed";
}

TEST(RecorderTest, KeepsWhatTheQueueHoldsWhilePostgresIsAwayAndCountsTheRest)
{
    Database db("postgresql");
    std::string skip;
    const QString url = db.location(skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_FALSE(url.isEmpty());
    QString error;
    auto store = Store::open(url, siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    SharedStore shared(std::move(store));
    constexpr int queueRecords = 40;
    QStringList lines;
    std::mutex linesMutex;
    Recorder recorder(shared, {queueRecords, 30, [&](const QString& line) {
                                   const std::lock_guard<std::mutex> lock(linesMutex);
                                   lines.append(line);
                               }});
    const auto addEvents = [&](int from, int n) {
        for (int i = from; i < from + n; ++i)
            recorder.addEvent(event(i, QStringLiteral("gate"), "enter", i));
    };
    const auto logged = [&](const char* what) {
        const std::lock_guard<std::mutex> lock(linesMutex);
        return int(lines.filter(QLatin1String(what)).size());
    };

    // Away with the queue's worth waiting: nothing lost.
    ASSERT_TRUE(db.server()->stop());
    addEvents(0, queueRecords);
    EXPECT_EQ(recorder.dropped(), 0);
    EXPECT_EQ(recorder.waiting(), queueRecords);
    ASSERT_TRUE(db.server()->start(error)) << error.toStdString();
    ASSERT_TRUE(recorder.flush(30000)) << recorder.waiting() << " records still wait";
    EXPECT_EQ(shared.with([](Store& s) { return counts(s).events; }), queueRecords);
    EXPECT_EQ(logged("writing again"), 1);

    // Away again with more than the queue holds: the rest dropped, counted,
    // and said once.
    ASSERT_TRUE(db.server()->stop());
    addEvents(1000, queueRecords + 1);
    addEvents(2000, 5);
    EXPECT_EQ(recorder.dropped(), 6);
    EXPECT_EQ(logged("dropping"), 1);
    ASSERT_TRUE(db.server()->start(error)) << error.toStdString();
    ASSERT_TRUE(recorder.flush(30000));
    EXPECT_EQ(shared.with([](Store& s) { return counts(s).events; }), 2 * queueRecords);
    EXPECT_EQ(logged("writing again"), 2);
    EXPECT_EQ(logged("dropping"), 1);
}

// Runs f in a child process (as nobody when we are root, so that file
// modes bind); its one-line answer.
template <typename F> std::string inChild(F f, bool asNobody)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        constexpr uid_t nobody = 65534;
        if (asNobody && ::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            ::_exit(2);
        const std::string answer = f();
        (void)!::write(fds[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        answer.append(buffer, std::size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return answer;
}

std::string openAnswer(const QString& path)
{
    QString error;
    const auto store = Store::open(path, siteName, error);
    return store ? std::string("opened") : error.toStdString();
}

TEST(SqliteFileTest, ASecondSitedIsRefusedAndAReadOnlyFileSaysSo)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("crossroads.sqlite"));
    QString error;
    {
        auto store = Store::open(path, siteName, error);
        ASSERT_TRUE(store) << error.toStdString();
        const std::string answer = inChild([&] { return openAnswer(path); }, false);
        EXPECT_NE(answer.find("in use by another sited"), std::string::npos) << answer;
        EXPECT_EQ(answer.find('\n'), std::string::npos) << answer;
    }
    EXPECT_EQ(inChild([&] { return openAnswer(path); }, false), "opened");

    // Read-only, the file or the folder its log is made in: one line.
    struct ReadOnlyCase
    {
        mode_t folder;
        mode_t file;
        const char* says;
    };
    for (const ReadOnlyCase& c : {ReadOnlyCase{0755, 0444, "the file is read-only"},
                                  ReadOnlyCase{0555, 0666, "the folder is read-only"}}) {
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), c.folder), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.file), 0);
        const std::string answer = inChild([&] { return openAnswer(path); }, true);
        EXPECT_NE(answer.find(c.says), std::string::npos) << answer;
        EXPECT_EQ(answer.find('\n'), std::string::npos) << answer;
    }
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
}

// The API over a SQLite store holding the sample, served on a free port.
class ApiTest : public testing::Test
{
protected:
    void SetUp() override
    {
        QString error;
        auto store = Store::open(dir_.filePath(QStringLiteral("api.sqlite")), siteName, error);
        ASSERT_TRUE(store) << error.toStdString();
        ASSERT_TRUE(store->write(sampleBatch(), error)) << error.toStdString();
        shared_ = std::make_unique<SharedStore>(std::move(store));
        ApiContext context;
        context.store = shared_.get();
        context.site = siteName;
        context.zones->set("{\"site\":\"crossroads\",\"zones\":[]}",
                           QStringList{QStringLiteral("gate"), QStringLiteral("fence"), oddZone});
        server_ = std::make_unique<ApiServer>(context);
        ASSERT_TRUE(server_->start(QStringLiteral("127.0.0.1"), 0, error)) << error.toStdString();
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    }

    // GET path?query, the query's values percent-encoded here.
    std::pair<int, std::string> get(const std::string& path,
                                    const QList<QPair<QString, QString>>& query)
    {
        std::string target = path;
        for (int i = 0; i < query.size(); ++i)
            target += (i ? "&" : "?") + query[i].first.toStdString() + "=" +
                      QUrl::toPercentEncoding(query[i].second).toStdString();
        const httplib::Result r = client_->Get(target);
        return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
    }

    Counts rows()
    {
        return shared_->with([](Store& s) { return counts(s); });
    }

    QTemporaryDir dir_;
    std::unique_ptr<SharedStore> shared_;
    std::unique_ptr<ApiServer> server_;
    std::unique_ptr<httplib::Client> client_;
};

// [history] enabled = false: the history's resources answer 404 on one
// line, the zones as ever.
TEST(ApiWithoutHistoryTest, TheHistorysResourcesAnswer404)
{
    ApiContext context;
    context.site = siteName;
    context.zones->set("{\"zones\":[]}", {});
    for (const char* path : {"/api/events", "/api/tracks", "/api/picture", "/api/health"}) {
        const Reply reply = answer(context, path, {});
        EXPECT_EQ(reply.status, 404) << path;
        EXPECT_EQ(reply.body, "{\"error\":\"no history: [history] enabled = false\"}") << path;
    }
    EXPECT_EQ(answer(context, "/api/zones", {}).body, context.zones->json());
    // The alarms live in memory: the open ones answer, a period of them not.
    Zone gate;
    gate.name = QStringLiteral("gate");
    AlarmBook book({gate});
    context.alarms = &book;
    EXPECT_EQ(answer(context, "/api/alarms", {{"from", "0"}}).status, 404);
    EXPECT_EQ(answer(context, "/api/alarms", {}).status, 200);
    // Without a users file no one is there to record as having acted.
    Request post;
    post.method = "POST";
    post.path = "/api/zones/gate/unshelve";
    const Reply refused = handle(context, post);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, R"({"error":"needs logins: [http] users_file"})");
}

// The site view is served from another origin: every answer, good or
// not, lets its page read it.
TEST_F(ApiTest, EveryAnswerAllowsPagesOfAnyOrigin)
{
    for (const char* target : {"/api/health", "/api/events?limit=0", "/api/nowhere"}) {
        const httplib::Result r = client_->Get(target);
        ASSERT_TRUE(r) << target;
        EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*") << target;
    }
}

TEST_F(ApiTest, BadRequestsAnswer400OnOneLineAndChangeNothing)
{
    const QString sql = QStringLiteral("1; DROP TABLE events; --");
    const QString quote = QStringLiteral("gate' OR '1'='1");
    struct Case
    {
        const char* path;
        QList<QPair<QString, QString>> query;
    };
    const auto q = [](const char* k, const QString& v) {
        return qMakePair(QString::fromLatin1(k), v);
    };
    const Case cases[] = {
        {"/api/events", {q("from", "2000"), q("to", "1999")}},
        {"/api/events", {q("from", "yesterday")}},
        {"/api/events", {q("from", "2026-12-07T10:00:00")}}, // no zone
        {"/api/events", {q("to", "2026-13-07T10:00:00Z")}},
        {"/api/events", {q("zone", "nowhere")}},
        {"/api/events", {q("event", "explode")}},
        {"/api/events", {q("object", "0")}},
        {"/api/events", {q("object", "-1")}},
        {"/api/events", {q("limit", "0")}},
        {"/api/events", {q("limit", QString::number(maxEventsLimit + 1))}},
        {"/api/events", {q("limit", "99999999999999999999999")}},
        {"/api/events", {q("colour", "red")}},
        {"/api/events", {q("zone", "gate"), q("zone", "fence")}},
        {"/api/events", {q("zone", QString(maxParameterChars + 1, QLatin1Char('a')))}},
        {"/api/tracks", {q("bbox", "1,2,3")}},
        {"/api/tracks", {q("bbox", "1,2,3,4,5")}},
        {"/api/tracks", {q("bbox", "3,0,1,1")}},
        {"/api/tracks", {q("bbox", "nan,0,1,1")}},
        {"/api/tracks", {q("limit", "10")}},
        {"/api/picture", {}},
        {"/api/picture", {q("time", "1e3")}},
        {"/api/zones", {q("zone", "gate")}},
        {"/api/events", {q("from", sql)}},
        {"/api/events", {q("to", sql)}},
        {"/api/events", {q("zone", quote)}},
        {"/api/events", {q("event", quote)}},
        {"/api/events", {q("object", sql)}},
        {"/api/events", {q("limit", sql)}},
        {"/api/tracks", {q("object", sql)}},
        {"/api/tracks", {q("bbox", sql)}},
        {"/api/picture", {q("time", sql)}},
    };
    const Counts before = rows();
    for (const Case& c : cases) {
        const auto [status, body] = get(c.path, c.query);
        const std::string what = std::string(c.path) + " " +
                                 (c.query.isEmpty() ? std::string()
                                                    : c.query[0].first.toStdString() + "=" +
                                                          c.query[0].second.left(40).toStdString());
        EXPECT_EQ(status, 400) << what << ": " << body;
        EXPECT_EQ(body.rfind("{\"error\":\"", 0), 0u) << what << ": " << body;
        EXPECT_EQ(body.find('\n'), std::string::npos) << what;
    }
    EXPECT_EQ(text(rows()), text(before));
}

TEST_F(ApiTest, GoodRequestsAnswerWhatWasRecorded)
{
    const Batch batch = sampleBatch();
    const auto eventsBody = [&](std::initializer_list<int> indices) {
        std::string body = "{\"events\":[";
        for (int i : indices)
            body += (body.back() == '[' ? "" : ",") + batch.events[i].json.toStdString();
        return body + "]}";
    };
    using Q = QList<QPair<QString, QString>>;
    const auto q = [](const char* k, const char* v) {
        return qMakePair(QString::fromLatin1(k), QString::fromLatin1(v));
    };
    EXPECT_EQ(get("/api/events", Q{q("zone", "gate")}).second, eventsBody({0, 2}));
    EXPECT_EQ(get("/api/events", Q{{QStringLiteral("zone"), oddZone}}).second, eventsBody({1}));
    // ISO 8601 with Z and with an offset, bounds included; the largest limit.
    EXPECT_EQ(get("/api/events", Q{q("from", "1970-01-01T00:00:01.050Z"),
                                   q("to", "1970-01-01T01:00:01.100+01:00"), q("limit", "10000")})
                  .second,
              eventsBody({1, 2, 3}));
    EXPECT_EQ(get("/api/events", Q{q("event", "cross"), q("object", "2"), q("limit", "1")}).second,
              eventsBody({3}));

    // The picture just before a time is the one published, byte for byte.
    const QVector<Picture> pictures = samplePictures();
    const auto [status, body] = get("/api/picture", Q{q("time", "1099")});
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, pictureMessage(siteName, radarNames, pictures[0], &geo()).toStdString());
    EXPECT_EQ(get("/api/picture", Q{q("time", "999")}).first, 404);

    // Tracks: one LineString per object, longitude first; a bbox around
    // object 2 alone keeps its whole track.
    const auto features = [&](const Q& query) {
        const auto [s, b] = get("/api/tracks", query);
        EXPECT_EQ(s, 200) << b;
        return QJsonDocument::fromJson(QByteArray::fromStdString(b))
            .object()
            .value(QStringLiteral("features"))
            .toArray();
    };
    const QJsonArray all = features({});
    ASSERT_EQ(all.size(), 2);
    const QJsonObject one = all[0].toObject();
    const QJsonArray line =
        one[QStringLiteral("geometry")][QStringLiteral("coordinates")].toArray();
    ASSERT_EQ(line.size(), 2);
    const trklib::site::GeoPoint p = geo().toGeodetic(0.1, -2.5);
    EXPECT_EQ(line[0].toArray()[0].toDouble(), p.longitudeDeg);
    EXPECT_EQ(line[0].toArray()[1].toDouble(), p.latitudeDeg);
    const QJsonObject props = one[QStringLiteral("properties")].toObject();
    EXPECT_EQ(props[QStringLiteral("id")].toInt(), 1);
    EXPECT_EQ(props[QStringLiteral("first")].toInt(), 1000);
    EXPECT_EQ(props[QStringLiteral("last")].toInt(), 1100);
    EXPECT_EQ(props[QStringLiteral("times")].toArray(), QJsonArray({1000, 1100}));
    EXPECT_DOUBLE_EQ(props[QStringLiteral("maxSpeed")].toDouble(), std::hypot(3.0, 3.0) * 3.6);
    // The box's edges are in it: a box that is one point of object 1's
    // keeps it, one the nearest double past each edge does not.
    const struct
    {
        const char* box;
        std::vector<int> ids;
    } boxes[]{
        {"-1,12345,1,12346", {2}},
        {"-1,-1,0,0", {}},
        {"0.1,-2.5,0.1,-2.5", {1}},
        {"1.1,-1.5,1.1,-1.5", {1}},
        {"0.10000000000000002,-2.5,1.0999999999999999,-1.5", {}},
        {"0.1,-2.4999999999999996,1.1,-1.5000000000000002", {}},
    };
    for (const auto& b : boxes) {
        SCOPED_TRACE(b.box);
        const QJsonArray boxed = features(Q{q("bbox", b.box)});
        std::vector<int> ids;
        for (const QJsonValue& f : boxed) {
            ids.push_back(f[QStringLiteral("properties")][QStringLiteral("id")].toInt());
            EXPECT_EQ(f[QStringLiteral("properties")][QStringLiteral("times")].toArray().size(), 2)
                << "the whole track";
        }
        EXPECT_EQ(ids, b.ids);
    }

    // An event's row is searched by what its message says.
    Zone gate;
    gate.name = QStringLiteral("gate");
    for (Event::Kind kind : {Event::Kind::Enter, Event::Kind::Exit, Event::Kind::Dwell,
                             Event::Kind::Speed, Event::Kind::Cross}) {
        Event e;
        e.kind = kind;
        e.object = 5;
        e.timeMs = 1234;
        const QByteArray json = eventMessage(siteName, gate, e, nullptr);
        const EventRow row = eventRow(gate, e, json);
        const QJsonObject message = QJsonDocument::fromJson(json).object();
        EXPECT_EQ(row.event, message[QStringLiteral("event")].toString());
        EXPECT_EQ(row.zone, message[QStringLiteral("zone")].toString());
        EXPECT_EQ(row.object, message[QStringLiteral("object")].toInt());
        EXPECT_EQ(row.timeMs, message[QStringLiteral("time")].toInt());
    }

    EXPECT_EQ(get("/api/zones", {}).second, "{\"site\":\"crossroads\",\"zones\":[]}");
    const auto health = get("/api/health", {});
    EXPECT_EQ(health.first, 200);
    EXPECT_EQ(health.second, "{\"database\":\"sqlite\",\"state\":\"ok\",\"latest\":1200}");
}

bool writeText(const QString& path, const char* text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == qint64(std::strlen(text));
}

// The API behind logins: three users of each role, the clock the test's
// own, and a web root with the page, a folder and a link out of it.
// A zones file of one square zone per name, side by side east of the origin.
QJsonObject squaresGeoJson(const QStringList& names)
{
    QJsonArray features;
    for (int i = 0; i < names.size(); ++i) {
        const double w = 11.5 + 0.001 * i;
        const double e = w + 0.0005;
        const QJsonArray ring{QJsonArray{w, 48.1}, QJsonArray{e, 48.1}, QJsonArray{e, 48.1005},
                              QJsonArray{w, 48.1005}, QJsonArray{w, 48.1}};
        features.append(QJsonObject{
            {"type", "Feature"},
            {"properties", QJsonObject{{"name", names[i]}}},
            {"geometry", QJsonObject{{"type", "Polygon"}, {"coordinates", QJsonArray{ring}}}}});
    }
    return QJsonObject{{"type", "FeatureCollection"}, {"features", features}};
}

class LoginsTest : public testing::Test
{
protected:
    static constexpr int sessionHours = 12;

    void SetUp() override
    {
        QString error;
        auto store = Store::open(dir_.filePath(QStringLiteral("api.sqlite")), siteName, error);
        ASSERT_TRUE(store) << error.toStdString();
        ASSERT_TRUE(store->write(sampleBatch(), error)) << error.toStdString();
        shared_ = std::make_unique<SharedStore>(std::move(store));
        QVector<User> users;
        for (const auto& [name, role] :
             {std::pair{"vera", Role::Viewer}, std::pair{"otto", Role::Operator},
              std::pair{"ada", Role::Admin}}) {
            User u{QLatin1String(name), role, {}};
            ASSERT_TRUE(hashPassword(QByteArray(name) + "-password", u.hash));
            users.append(u);
        }
        logins_ = std::make_unique<Logins>(users, sessionHours, [this] { return nowMs_.load(); });

        const QDir root(dir_.filePath(QStringLiteral("web")));
        ASSERT_TRUE(root.mkpath(QStringLiteral("src/sub")));
        for (const char* file :
             {"index.html", "login.html", "style.css", "src/login.js", "src/main.js", ".hidden"})
            ASSERT_TRUE(writeText(root.filePath(QLatin1String(file)), file));
        ASSERT_TRUE(writeText(dir_.filePath(QStringLiteral("secret.txt")), "secret"));
        ASSERT_TRUE(QFile::link(dir_.filePath(QStringLiteral("secret.txt")),
                                root.filePath(QStringLiteral("out.txt"))));

        ApiContext context;
        context.store = shared_.get();
        context.site = siteName;
        context.logins = logins_.get();
        context.live = &live_;
        context.webRoot = root.path();
        context.record = [this](LoginRow login) {
            Batch batch;
            batch.logins.append(login);
            QString error;
            shared_->with([&](Store& s) { return s.write(batch, error); });
        };
        Zone gate;
        gate.name = QStringLiteral("gate");
        gate.alarm = QStringList{QStringLiteral("enter")};
        zones_ = {gate};
        alarms_ = std::make_unique<AlarmBook>(zones_);
        alarms_->addListener([this](const QVector<AlarmChange>& changes, const QVector<Alarm>&,
                                    const QVector<Shelving>&) {
            Batch batch;
            batch.alarmChanges = changes;
            QString error;
            shared_->with([&](Store& s) { return s.write(batch, error); });
        });
        context.alarms = alarms_.get();
        // One camera, gate: each action taken as "take gate 0 otto".
        context.cameraAction = [this](const QString& camera, const QString& action,
                                      std::optional<std::int64_t> object, const QString& user,
                                      int& status, QString& why) {
            if (camera != QLatin1String("gate")) {
                status = 404;
                why = QStringLiteral("no camera %1").arg(camera);
                return false;
            }
            cameraActions_ << QStringLiteral("%1 %2 %3 %4")
                                  .arg(action, camera)
                                  .arg(object.value_or(0))
                                  .arg(user);
            return true;
        };
        // The zones file, its editor and a picture thread that takes what
        // the editor hands it every few ms.
        zonesFile_ = dir_.filePath(QStringLiteral("zones.geojson"));
        ASSERT_TRUE(
            writeText(zonesFile_, QJsonDocument(squaresGeoJson({"gate"})).toJson().constData()));
        trklib::site::SiteConfig config;
        config.name = siteName;
        config.origin = trklib::site::Origin{48.1, 11.5, 520.0};
        QVector<Zone> zones;
        ASSERT_TRUE(loadZones(zonesFile_, geo(), zones, error)) << error.toStdString();
        output_ = std::make_unique<ZoneOutput>(config, zones);
        editor_ = std::make_unique<ZonesEditor>(
            ZonesEditor::Settings{zonesFile_, *config.origin, siteName, &mailbox_,
                                  [this](const QString& line) { notes_ << line; },
                                  [this] { return nowMs_.load(); }, alarms_.get()});
        context.zonesEditor = editor_.get();
        pictures_ = std::thread([this] {
            while (!stopped_) {
                mailbox_.serve([this](const ZoneMailbox::Job& job) {
                    if (!job.zones)
                        return output_->command(job.command, nowMs_);
                    output_->replace(*job.zones, nowMs_);
                    return ArmingAnswer();
                });
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        server_ = std::make_unique<ApiServer>(context);
        ASSERT_TRUE(server_->start(QStringLiteral("127.0.0.1"), 0, error)) << error.toStdString();
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    }

    void TearDown() override
    {
        if (server_)
            server_->stop();
        stopped_ = true;
        if (pictures_.joinable())
            pictures_.join();
    }

    httplib::Result logIn(const std::string& name, const std::string& password)
    {
        return client_->Post("/api/login",
                             "{\"name\":\"" + name + "\",\"password\":\"" + password + "\"}",
                             "application/json");
    }

    // The cookie header of a login, or empty.
    std::string sessionOf(const std::string& name)
    {
        const httplib::Result r = logIn(name, name + "-password");
        if (!r || r->status != 200)
            return {};
        const std::string set = r->get_header_value("Set-Cookie");
        return set.substr(0, set.find(';'));
    }

    int status(const char* method, const std::string& target, const std::string& cookie)
    {
        const httplib::Headers headers =
            cookie.empty() ? httplib::Headers{} : httplib::Headers{{"Cookie", cookie}};
        const httplib::Result r = std::string(method) == "POST"
                                      ? client_->Post(target.c_str(), headers, "", "text/plain")
                                      : client_->Get(target.c_str(), headers);
        return r ? r->status : 0;
    }

    // A POST of a JSON body with a session: its status and body.
    std::pair<int, std::string> post(const std::string& target, const std::string& body,
                                     const std::string& cookie)
    {
        const httplib::Result r =
            client_->Post(target.c_str(), {{"Cookie", cookie}}, body, "application/json");
        return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
    }
    void enter(std::int64_t object, std::int64_t timeMs, Event::Kind kind = Event::Kind::Enter)
    {
        Event e;
        e.kind = kind;
        e.object = object;
        e.timeMs = timeMs;
        alarms_->picture(timeMs, zones_, {e});
    }

    QTemporaryDir dir_;
    std::atomic<std::int64_t> nowMs_{1'700'000'000'000};
    std::unique_ptr<SharedStore> shared_;
    QVector<Zone> zones_;
    std::unique_ptr<AlarmBook> alarms_;
    std::unique_ptr<Logins> logins_;
    LiveStream live_;
    QString zonesFile_;
    std::unique_ptr<ZoneOutput> output_;
    ZoneMailbox mailbox_;
    std::unique_ptr<ZonesEditor> editor_;
    QStringList notes_;         // written by the server's threads, read once they are done
    QStringList cameraActions_; // as notes_
    std::atomic<bool> stopped_{false};
    std::thread pictures_;
    std::unique_ptr<ApiServer> server_;
    std::unique_ptr<httplib::Client> client_;
};

// Every route without a session and with each role: 401 where a session
// is needed, 403 where the role may not, the login page's own files and
// the health open to all; a browser without a session is sent to log in.
TEST_F(LoginsTest, EveryRouteAnswersByTheRole)
{
    const std::string sessions[] = {"", sessionOf("vera"), sessionOf("otto"), sessionOf("ada")};
    for (int i = 1; i < 4; ++i)
        ASSERT_FALSE(sessions[i].empty()) << i;
    const struct
    {
        const char* method;
        const char* target;
        int none, viewer, operator_, admin;
    } routes[]{
        {"GET", "/api/health", 200, 200, 200, 200},
        {"GET", "/metrics", 404, 404, 404, 404}, // open; served by no one here
        {"GET", "/login.html", 200, 200, 200, 200},
        {"GET", "/style.css", 200, 200, 200, 200},
        {"GET", "/src/login.js", 200, 200, 200, 200},
        {"GET", "/", 303, 200, 200, 200},
        {"GET", "/index.html", 303, 200, 200, 200},
        {"GET", "/src/main.js", 401, 200, 200, 200},
        {"GET", "/api/session", 401, 200, 200, 200},
        {"GET", "/api/events", 401, 200, 200, 200},
        {"GET", "/api/tracks", 401, 200, 200, 200},
        {"GET", "/api/picture?time=2000", 401, 200, 200, 200},
        {"GET", "/api/zones", 401, 200, 200, 200},
        {"GET", "/api/users", 401, 403, 403, 200},
        {"GET", "/api/logins", 401, 403, 403, 200},
        {"GET", "/api/map", 401, 404, 404, 404}, // no map here
        {"GET", "/api/map/plan", 401, 404, 404, 404},
        {"GET", "/api/map/tiles/0/0/0", 401, 404, 404, 404},
        {"GET", "/api/nowhere", 401, 404, 404, 404},
        {"POST", "/api/events", 401, 404, 404, 404},
        {"POST", "/api/login", 400, 400, 400, 400}, // no name, no password
        {"GET", "/api/alarms", 401, 200, 200, 200},
        {"GET", "/api/alarms?from=0&to=1", 401, 200, 200, 200},
        {"GET", "/api/cameras?from=0&to=1", 401, 200, 200, 200},
        {"GET", "/api/cameras?from=1&to=0", 401, 400, 400, 400},
        {"POST", "/api/alarms/1/acknowledge", 401, 403, 404, 404}, // none open
        {"POST", "/api/alarms/1/notes", 401, 403, 400, 400},       // no text
        {"POST", "/api/zones/gate/shelve", 401, 403, 400, 400},    // no minutes
        {"POST", "/api/zones/gate/unshelve", 401, 403, 404, 404},  // not shelved
        {"POST", "/api/zones/gate/shelve/x", 401, 404, 404, 404},
        {"POST", "/api/zones/preview", 401, 403, 403, 404}, // no origin here
        {"POST", "/api/alarms//notes", 401, 404, 404, 404},
        {"GET", "/api/zones/file", 401, 403, 403, 200},
        {"GET", "/api/zones/versions", 401, 403, 403, 200},
        {"GET", "/api/zones/versions/0", 401, 403, 403, 200},
        {"GET", "/api/zones/versions/1", 401, 403, 403, 404},
        {"POST", "/api/zones/versions/0/restore", 401, 403, 403, 400}, // no base
        {"POST", "/api/zones/gate/arm", 401, 403, 200, 200},
        {"POST", "/api/zones/gate/schedule", 401, 403, 200, 200},
        {"POST", "/api/zones/nowhere/disarm", 401, 403, 404, 404},
        {"POST", "/api/cameras/gate/take", 401, 403, 200, 200},
        {"POST", "/api/cameras/dock/give", 401, 403, 404, 404},
        {"POST", "/api/cameras/gate/follow", 401, 403, 400, 400}, // no body
        {"POST", "/api/cameras/gate/stare", 401, 404, 404, 404},
    };
    for (const auto& r : routes) {
        const int expected[] = {r.none, r.viewer, r.operator_, r.admin};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(status(r.method, r.target, sessions[i]), expected[i])
                << r.method << " " << r.target << " as " << (i ? sessions[i] : "nobody");
    }
    // Each role may do what the ones before it may.
    for (Role held : {Role::Viewer, Role::Operator, Role::Admin}) {
        for (Role needed : {Role::Viewer, Role::Operator, Role::Admin})
            EXPECT_EQ(allows(held, needed), int(held) >= int(needed));
    }
    EXPECT_EQ(routeAccess("GET", "/api/users"), Access::Admin);
    EXPECT_EQ(routeAccess("POST", "/api/zones/gate/shelve"), Access::Operator);
    EXPECT_EQ(routeAccess("PUT", "/api/zones/file"), Access::Admin);
    const httplib::Result page = client_->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("Location"), "/login.html");
    EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));
}

// An alarm raised, acknowledged by an operator through the API (a viewer's
// refused, a second one too), cleared when its object leaves; each change
// recorded with its user and read back by period.
TEST_F(LoginsTest, AnOperatorAcknowledgesAnAlarmThatClearsWhenItsObjectLeaves)
{
    const std::string vera = sessionOf("vera");
    const std::string otto = sessionOf("otto");
    const std::int64_t t = nowMs_; // the pictures' clock and the sessions' alike
    enter(7, t - 1000);
    EXPECT_EQ(post("/api/alarms/1/acknowledge", "{}", vera).first, 403);
    EXPECT_EQ(post("/api/alarms/1/acknowledge", "{\"note\":5}", otto).first, 400);
    EXPECT_EQ(post("/api/alarms/x/acknowledge", "{}", otto).first, 404);
    const auto acked = post("/api/alarms/1/acknowledge", "{\"note\":\"on it\"}", otto);
    EXPECT_EQ(acked.first, 200);
    EXPECT_NE(acked.second.find(R"("state":"acknowledged","acknowledged":{"user":"otto",)"),
              std::string::npos)
        << acked.second;
    EXPECT_EQ(post("/api/alarms/1/acknowledge", "{}", otto).first, 409);
    EXPECT_EQ(post("/api/alarms/1/notes", "{\"text\":\"a fox\"}", otto).first, 200);
    EXPECT_EQ(post("/api/zones/gate/shelve", "{\"minutes\":1.5,\"why\":\"x\"}", otto).first, 400);
    EXPECT_EQ(post("/api/zones/gate/shelve", "{\"minutes\":10,\"why\":\"works\"}", otto).first,
              200);
    enter(8, t); // shelved: no alarm
    EXPECT_EQ(post("/api/zones/gate/unshelve", "", otto).first, 200);
    // A camera made to follow an object, then nothing; ids that are none refused.
    EXPECT_EQ(post("/api/cameras/gate/follow", "{\"object\":12}", otto).first, 200);
    EXPECT_EQ(post("/api/cameras/gate/follow", "{\"object\":null}", otto).first, 200);
    for (const char* bad :
         {"{\"object\":0}", "{\"object\":1.5}", "{\"object\":\"12\"}", "{}", "[]"})
        EXPECT_EQ(post("/api/cameras/gate/follow", bad, otto).first, 400) << bad;
    EXPECT_EQ(cameraActions_.join('|'), "follow gate 12 otto|follow gate 0 otto");
    nowMs_ += 1000;
    enter(7, t + 1000, Event::Kind::Exit);
    const httplib::Result open = client_->Get("/api/alarms", {{"Cookie", vera}});
    ASSERT_TRUE(open);
    EXPECT_NE(open->body.find(R"("alarms":[],"shelved":[])"), std::string::npos) << open->body;
    const httplib::Result period = client_->Get(
        ("/api/alarms?from=0&to=" + std::to_string(t - 1000)).c_str(), {{"Cookie", vera}});
    ASSERT_TRUE(period);
    QStringList actions;
    for (const QJsonValue& c :
         QJsonDocument::fromJson(QByteArray::fromStdString(period->body))["changes"].toArray())
        actions << c["action"].toString() + ' ' + c["user"].toString();
    EXPECT_EQ(actions.join(", "), "raise , acknowledge otto, note otto, left , clear ");
}

// An admin saves the zones file: the picture thread takes the zones, each
// version is kept whole beside the file; a save from an older version is
// refused naming the newer one and writes nothing, as a refused file does;
// a restore is a new version of an old one's content. Operators arm and
// disarm zones, who did it said in the state and the log.
TEST_F(LoginsTest, AdminsSaveTheZonesFileAndOperatorsArmItsZones)
{
    const std::string ada = sessionOf("ada");
    const std::string otto = sessionOf("otto");
    const auto put = [this](const QJsonObject& body, const std::string& cookie) {
        const httplib::Result r =
            client_->Put("/api/zones/file", {{"Cookie", cookie}},
                         QJsonDocument(body).toJson().toStdString(), "application/json");
        return r ? std::make_pair(
                       r->status,
                       QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object())
                 : std::make_pair(0, QJsonObject());
    };
    const auto get = [this, &ada](const std::string& target) {
        const httplib::Result r = client_->Get(target.c_str(), {{"Cookie", ada}});
        return r ? QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object()
                 : QJsonObject();
    };
    const QJsonObject first = squaresGeoJson({"gate"});
    const QJsonObject file = get("/api/zones/file");
    EXPECT_EQ(file["version"], 0);
    EXPECT_EQ(file["user"], QJsonValue::Null);
    EXPECT_EQ(file["writable"], true);
    EXPECT_EQ(file["geojson"], first);
    EXPECT_EQ(file["origin"], QJsonObject({{"lat", 48.1}, {"lon", 11.5}, {"altitude", 520.0}}));

    const QJsonObject two = squaresGeoJson({"gate", "yard"});
    EXPECT_EQ(put({{"base", 0}, {"geojson", two}}, otto).first, 403);
    const auto saved = put({{"base", 0}, {"geojson", two}}, ada);
    EXPECT_EQ(saved.first, 200);
    EXPECT_EQ(saved.second, (QJsonObject{{"version", 1}, {"applied", true}}));
    EXPECT_EQ(output_->zones().size(), 2) << "taken by the picture thread";
    const QDir versions(editor_->versionsFolder());
    EXPECT_EQ(versions.entryList(QDir::Files | QDir::Hidden), (QStringList{"0.json", "1.json"}))
        << "each whole, nothing half-written left";

    // Nothing lost: the second save from version 0 is told who saved what.
    QFile saved1(zonesFile_);
    ASSERT_TRUE(saved1.open(QIODevice::ReadOnly));
    const QByteArray before = saved1.readAll();
    const auto late = put({{"base", 0}, {"geojson", squaresGeoJson({"other"})}}, ada);
    EXPECT_EQ(late.first, 409);
    EXPECT_EQ(late.second["error"], "the zones were saved by ada at 2023-11-14T22:13:20Z "
                                    "(version 1) since version 0: load them again");
    EXPECT_EQ(late.second["version"], 1);
    const auto refused = put({{"base", 1}, {"geojson", squaresGeoJson({"gate", "gate"})}}, ada);
    EXPECT_EQ(refused.first, 400);
    EXPECT_EQ(refused.second["error"],
              "feature 2 (gate): name: another feature has it; names are unique");
    EXPECT_EQ(put({{"base", 1}, {"geojson", 5}}, ada).first, 400);
    const httplib::Result huge =
        client_->Put("/api/zones/file", {{"Cookie", ada}}, std::string(maxZonesFileBytes + 1, ' '),
                     "application/json");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 400);
    QFile after(zonesFile_);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), before);
    EXPECT_EQ(versions.entryList(QDir::Files).size(), 2);

    // Version 0 restored is version 2.
    const httplib::Result restored = client_->Post(
        "/api/zones/versions/0/restore", {{"Cookie", ada}}, "{\"base\":1}", "application/json");
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->body, R"({"version":2,"applied":true})");
    EXPECT_EQ(get("/api/zones/versions/2")["geojson"], first);
    EXPECT_EQ(output_->zones().size(), 1);
    QStringList listed;
    for (const QJsonValue& v : get("/api/zones/versions")["versions"].toArray())
        listed << QStringLiteral("%1 %2 %3")
                      .arg(v["version"].toInt())
                      .arg(v["user"].toString())
                      .arg(v["zones"].toInt());
    EXPECT_EQ(listed.join(", "), "2 ada 1, 1 ada 2, 0  1");

    // Disarmed for half an hour by an operator.
    EXPECT_EQ(post("/api/zones/gate/disarm", "{\"minutes\":0}", otto).first, 400);
    const auto disarmed = post("/api/zones/gate/disarm", "{\"minutes\":30}", otto);
    EXPECT_EQ(disarmed.first, 200);
    const std::string since = std::to_string(nowMs_.load());
    const std::string until = std::to_string(nowMs_.load() + 30 * 60 * 1000);
    EXPECT_EQ(disarmed.second, R"({"zone":"gate","armed":false,"override":{"armed":false,)"
                               R"("by":"otto","since":)" +
                                   since + R"(,"until":)" + until + "}}");
    EXPECT_NE(output_->states()[0].payload.indexOf("\"by\":\"otto\""), -1);
    EXPECT_EQ(post("/api/zones/gate/schedule", "{}", otto).first, 200);
    // Both recorded with the alarms' changes, who and until when.
    const httplib::Result changes = client_->Get(
        ("/api/alarms?from=0&to=" + std::to_string(nowMs_.load())).c_str(), {{"Cookie", otto}});
    ASSERT_TRUE(changes);
    EXPECT_NE(
        changes->body.find(R"("zone":"gate","action":"disarm","user":"otto","text":"","until":)" +
                           until + "}"),
        std::string::npos)
        << changes->body;
    EXPECT_NE(changes->body.find(R"("action":"schedule","user":"otto","text":""})"),
              std::string::npos)
        << changes->body;
    server_->stop();
    EXPECT_EQ(notes_.filter("zone gate: disarmed by otto until 2023-11-14T22:43:20Z").size(), 1)
        << notes_.join('\n').toStdString();
    EXPECT_EQ(notes_.filter("zones: ada saved version").size(), 2);
}

// A zones file whose folder the service may not write: saving is refused
// with one line naming it, and the file's answer says so.
TEST_F(LoginsTest, AnUnwritableZonesFolderIsOneLine)
{
    ASSERT_TRUE(writeText(editor_->versionsFolder(), "a file where the folder would be"));
    const std::string ada = sessionOf("ada");
    const httplib::Result r =
        client_->Put("/api/zones/file", {{"Cookie", ada}},
                     QJsonDocument(QJsonObject{{"base", 0}, {"geojson", squaresGeoJson({"yard"})}})
                         .toJson()
                         .toStdString(),
                     "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 409);
    const QJsonObject error = QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object();
    EXPECT_EQ(error["error"].toString(), "the zones cannot be saved: " + editor_->versionsFolder() +
                                             " is not a folder (the versions are kept there)");
    const httplib::Result file = client_->Get("/api/zones/file", {{"Cookie", ada}});
    ASSERT_TRUE(file);
    const QJsonObject answer =
        QJsonDocument::fromJson(QByteArray::fromStdString(file->body)).object();
    EXPECT_EQ(answer["writable"], false);
    EXPECT_EQ(answer["why"], error["error"]);
    QFile::remove(editor_->versionsFolder());
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.path()).constData(), 0555), 0);
    const std::string why = inChild([this] { return editor_->unwritable().toStdString(); }, true);
    ::chmod(QFile::encodeName(dir_.path()).constData(), 0700);
    EXPECT_EQ(why, "the zones cannot be saved: the folder " + dir_.path().toStdString() +
                       " is not writable by user 65534: permission denied (the zones file is "
                       "written through a new file there)");
}

// A session lasts session_hours and ends at its logout; a forged cookie
// or one of another length is none. The cookie is the page's alone.
TEST_F(LoginsTest, SessionsExpireEndAtLogoutAndCannotBeForged)
{
    const httplib::Result r = logIn("vera", "vera-password");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(r->get_header_value("Set-Cookie").substr(std::string(sessionCookie).size() + 65),
              "; HttpOnly; SameSite=Strict; Path=/; Max-Age=43200");
    const std::string cookie = sessionOf("vera");
    const std::string token = cookie.substr(cookie.find('=') + 1);
    ASSERT_EQ(token.size(), std::size_t(2 * sessionTokenBytes));
    std::string forged = token;
    forged[0] = forged[0] == '0' ? '1' : '0';
    const std::string name = std::string(sessionCookie) + "=";
    EXPECT_EQ(status("GET", "/api/session", name + forged), 401);
    EXPECT_EQ(status("GET", "/api/session", name + token.substr(1)), 401);
    EXPECT_EQ(status("GET", "/api/session", "other=1; " + cookie), 200);
    const httplib::Result who = client_->Get("/api/session", {{"Cookie", cookie}});
    ASSERT_TRUE(who);
    EXPECT_EQ(who->body, "{\"site\":\"crossroads\",\"prefix\":\"trklib\",\"logins\":true,"
                         "\"name\":\"vera\",\"role\":\"viewer\",\"expires\":" +
                             std::to_string(nowMs_ + sessionHours * 3600 * 1000) + "}");

    nowMs_ += sessionHours * 3600 * 1000 - 1;
    EXPECT_EQ(status("GET", "/api/events", cookie), 200);
    nowMs_ += 1;
    EXPECT_EQ(status("GET", "/api/events", cookie), 401);

    const std::string again = sessionOf("vera");
    EXPECT_EQ(status("POST", "/api/logout", again), 200);
    EXPECT_EQ(status("GET", "/api/events", again), 401);
    EXPECT_EQ(status("POST", "/api/logout", ""), 200); // nobody's: nothing recorded
}

// Five wrong passwords for a name, known or not, and it waits: 1 s, then
// twice as long after each further wrong one, at most 5 minutes, answered
// 429 with Retry-After however right the password; a login starts over.
// Logins, failures and logouts are recorded for admins, with the peer.
TEST_F(LoginsTest, WrongPasswordsWaitLongerEachTimeAndAreRecorded)
{
    for (const std::string name : {"otto", "nobody"}) {
        SCOPED_TRACE(name);
        for (int i = 0; i < freeFailures; ++i)
            EXPECT_EQ(logIn(name, "wrong")->status, 401) << i;
        std::int64_t waitS = 1;
        for (int i = 0; i < 10; ++i) {
            const httplib::Result r = logIn(name, name + "-password");
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 429) << i;
            EXPECT_EQ(r->get_header_value("Retry-After"), std::to_string(waitS)) << i;
            nowMs_ += waitS * 1000 - 1;
            EXPECT_EQ(logIn(name, "wrong")->status, 429) << i;
            nowMs_ += 1;
            EXPECT_EQ(logIn(name, "wrong")->status, 401) << i;
            waitS = std::min<std::int64_t>(waitS * 2, longestWaitMs / 1000);
        }
        EXPECT_EQ(waitS, 300);
        nowMs_ += longestWaitMs;
    }
    // One record a ms: rows alike in every column are one.
    const std::int64_t start = nowMs_;
    std::string records;
    const auto recorded = [&](const char* name, const char* action) {
        records += std::string(records.empty() ? "" : ",") +
                   "{\"time\":" + std::to_string(nowMs_++) + ",\"name\":\"" + name +
                   "\",\"action\":\"" + action + "\",\"peer\":\"127.0.0.1\"}";
    };
    EXPECT_EQ(logIn("otto", "otto-password")->status, 200);
    recorded("otto", "login");
    EXPECT_EQ(logIn("otto", "wrong")->status, 401);
    recorded("otto", "failed");
    EXPECT_EQ(logIn("otto", "otto-password")->status, 200);
    recorded("otto", "login");
    EXPECT_EQ(logIn("vera", "wrong")->status, 401); // another name's count is its own
    recorded("vera", "failed");
    const std::string admin = sessionOf("ada");
    recorded("ada", "login");
    EXPECT_EQ(status("POST", "/api/logout", admin), 200);
    recorded("ada", "logout");
    const std::string reader = sessionOf("ada");
    recorded("ada", "login");
    const httplib::Result r =
        client_->Get("/api/logins?from=" + std::to_string(start), {{"Cookie", reader}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "{\"logins\":[" + records + "]}");
    const httplib::Result users = client_->Get("/api/users", {{"Cookie", reader}});
    ASSERT_TRUE(users);
    EXPECT_EQ(users->body, "{\"users\":[{\"name\":\"vera\",\"role\":\"viewer\"},{\"name\":"
                           "\"otto\",\"role\":\"operator\"},{\"name\":\"ada\",\"role\":"
                           "\"admin\"}]}");
}

// The stream: the retained messages first, then each as it comes, a
// payload of several lines in as many data lines; of each only what the
// page's role may see, and nothing without a session.
TEST_F(LoginsTest, TheStreamSendsWhatTheRoleMaySee)
{
    live_.publish("trklib/crossroads/north/status", "{\"online\":true}", true);
    live_.publish("trklib/crossroads/zones/gone", "{}", true);
    live_.publish("trklib/crossroads/zones/gone", "", true); // cleared: not a new page's
    live_.publish("trklib/crossroads/alarms", "{\"alarm\":1}", true, Role::Operator);
    live_.publish("trklib/crossroads/north/status", "{\"online\":false}", true);
    EXPECT_EQ(status("GET", "/api/stream", ""), 401);
    const std::string status = "data: trklib/crossroads/north/status\ndata: {\"online\":false}\n\n";
    const std::string alarm = "data: trklib/crossroads/alarms\ndata: {\"alarm\":1}\n\n";
    const std::string tracks = "data: trklib/crossroads/north/tracks\ndata: {\"a\":\ndata: 1}\n\n";
    for (const auto& [name, expected] :
         {std::pair{"vera", status + tracks}, std::pair{"otto", status + alarm + tracks}}) {
        const std::string cookie = sessionOf(name);
        const std::size_t retained = expected.size() - tracks.size();
        std::string text;
        client_->Get("/api/stream", {{"Cookie", cookie}}, [&](const char* data, std::size_t n) {
            const bool first = text.empty();
            text.append(data, n);
            if (first && text.size() >= retained)
                live_.publish("trklib/crossroads/north/tracks", "{\"a\":\r\n1}", false);
            return text.size() < expected.size();
        });
        EXPECT_EQ(text, expected) << name;
    }
}

// The page's files with their types; nothing outside the web root, no
// folder, no hidden file, however the path is spelt.
TEST_F(LoginsTest, TheWebRootServesItsFilesAndNothingElse)
{
    const std::string cookie = sessionOf("vera");
    const struct
    {
        const char* path;
        const char* type;
    } files[]{
        {"/", "text/html; charset=utf-8"},
        {"/login.html", "text/html; charset=utf-8"},
        {"/style.css", "text/css; charset=utf-8"},
        {"/src/main.js", "text/javascript; charset=utf-8"},
    };
    for (const auto& f : files) {
        const httplib::Result r = client_->Get(f.path, {{"Cookie", cookie}});
        ASSERT_TRUE(r) << f.path;
        EXPECT_EQ(r->status, 200) << f.path;
        EXPECT_EQ(r->get_header_value("Content-Type"), f.type) << f.path;
        EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << f.path;
    }
    for (const char* path :
         {"/../secret.txt", "/src/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt",
          "/src/%2e%2e/%2e%2e/secret.txt", "/..%2fsecret.txt", "/..%5csecret.txt",
          "/%252e%252e/secret.txt", "/out.txt", "/.hidden", "/src", "/src/", "/src/sub/",
          "/src//main.js", "/./index.html", "/index.html%00.js", "/nothing.html"}) {
        const httplib::Result r = client_->Get(path, {{"Cookie", cookie}});
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 404) << path;
        EXPECT_EQ(r->body.find("secret"), std::string::npos) << path;
    }
}

// Over HTTPS with a certificate of the test's own: the session cookie is
// Secure, and plain HTTP gets no answer; files that are no certificate and
// key are refused with one line.
TEST(HttpsTest, ServesOverTlsWithSecureCookies)
{
    QTemporaryDir dir;
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", "key.pem", "-out", "cert.pem", "-days", "2", "-subj",
                   "/CN=127.0.0.1"});
    ASSERT_TRUE(openssl.waitForFinished(30000) && openssl.exitCode() == 0)
        << openssl.readAllStandardError().toStdString();
    QString error;
    auto store = Store::open(dir.filePath(QStringLiteral("h.sqlite")), siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    SharedStore shared(std::move(store));
    User user{QStringLiteral("ada"), Role::Admin, {}};
    ASSERT_TRUE(hashPassword("ada-password", user.hash));
    Logins logins({user}, 1);
    ApiContext context;
    context.store = &shared;
    context.site = siteName;
    context.logins = &logins;

    ApiServer refused(context);
    EXPECT_FALSE(refused.start(QStringLiteral("127.0.0.1"), 0, error, dir.filePath("key.pem"),
                               dir.filePath("cert.pem")));
    EXPECT_TRUE(error.startsWith(QStringLiteral("http: cannot set up HTTPS with ")))
        << error.toStdString();

    ApiServer server(context);
    ASSERT_TRUE(server.start(QStringLiteral("127.0.0.1"), 0, error, dir.filePath("cert.pem"),
                             dir.filePath("key.pem")))
        << error.toStdString();
    httplib::SSLClient client("127.0.0.1", server.port());
    client.enable_server_certificate_verification(false);
    const httplib::Result r = client.Post("/api/login",
                                          "{\"name\":\"ada\",\"password\":"
                                          "\"ada-password\"}",
                                          "application/json");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    const std::string cookie = r->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.substr(cookie.size() - 8), "; Secure") << cookie;
    httplib::Client plain("127.0.0.1", server.port());
    plain.set_read_timeout(2);
    const httplib::Result answer = plain.Get("/api/health");
    EXPECT_TRUE(!answer || answer->status != 200);
}

// The users file: written whole with mode 0600 and read back; refused on
// one line when others may read it; left as it was when a write fails.
TEST(UsersFileTest, WrittenPrivatelyReadBackAndRefusedWhenOthersMayReadIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("users"));
    QVector<User> users{{QStringLiteral("ada"), Role::Admin, {}}};
    ASSERT_TRUE(hashPassword("correct horse", users[0].hash));
    QString error;
    ASSERT_TRUE(writeUsers(path, users, error)) << error.toStdString();
    struct stat info
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    QVector<User> read;
    ASSERT_TRUE(readUsers(path, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 1);
    EXPECT_EQ(read[0].role, Role::Admin);
    EXPECT_TRUE(passwordMatches(read[0].hash, "correct horse"));
    EXPECT_FALSE(passwordMatches(read[0].hash, "correct horsE"));

    // A write that cannot be made: the file is as it was.
    QFile before(path);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray text = before.readAll();
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("users.new")));
    EXPECT_FALSE(writeUsers(path, {}, error));
    QFile after(path);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), text);

    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0604), 0);
    EXPECT_FALSE(readUsers(path, read, error));
    EXPECT_EQ(error.toStdString(), "users file " + path.toStdString() +
                                       " is readable or writable by its group or others (mode "
                                       "0604): chmod 600 it");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    for (const char* line : {"ada admin", "ada root $argon2id$x", "ada admin plain",
                             "a:b admin $argon2id$x", "ada admin $argon2id$\xc3\xa9"}) {
        ASSERT_TRUE(writeText(path, line));
        EXPECT_FALSE(readUsers(path, read, error)) << line;
        EXPECT_TRUE(error.startsWith(QStringLiteral("users file %1:1: ").arg(path)))
            << error.toStdString();
    }
}

TEST(ExportTest, WritesThePeriodsTracks)
{
    QTemporaryDir dir;
    QString error;
    auto store = Store::open(dir.filePath(QStringLiteral("e.sqlite")), siteName, error);
    ASSERT_TRUE(store) << error.toStdString();
    Batch batch;
    batch.pictures = {1000, 1100};
    batch.objects = {
        ObjectRow{
            1000, 7, 1.5, -2.0, {}, {}, 0.5, 0, 1.8, 90.0, true, "[]", 900, ObjectClass::Truck},
        ObjectRow{1100, 7, 2.0, -2.0, 48.5, 11.25, 0, 0, 0, {}, false, "[]", 900}};
    ASSERT_TRUE(store->write(batch, error));
    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    ASSERT_TRUE(exportTracks(*store, 1000, 1099, ExportFormat::Csv, csv, error));
    EXPECT_EQ(csv.data().toStdString(), "id,time,x,y,lat,lon,vx,vy,speed,heading,confirmed,class\n"
                                        "7,1000,1.5,-2,,,0.5,0,1.8,90,true,truck\n");
    QBuffer geojson;
    geojson.open(QIODevice::WriteOnly);
    ASSERT_TRUE(exportTracks(*store, 1000, 1100, ExportFormat::GeoJson, geojson, error));
    const QJsonObject collection = QJsonDocument::fromJson(geojson.data()).object();
    EXPECT_EQ(collection[QStringLiteral("features")].toArray().size(), 1);
    EXPECT_FALSE(exportTracks(*store, 1100, 1000, ExportFormat::Csv, csv, error));
    ExportFormat format;
    EXPECT_FALSE(parseExportFormat(QStringLiteral("kml"), format));
}

} // namespace

namespace {

QByteArray pngOf(QColor colour, int width = 4, int height = 4)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An MBTiles file of the statements given, with a tile's blob bound to ?1.
bool makeMbtiles(const QString& path, std::initializer_list<const char*> statements,
                 const QByteArray& tile)
{
    sqlite3* db = nullptr;
    bool good = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK;
    for (const char* sql : statements) {
        sqlite3_stmt* s = nullptr;
        good = good && sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK;
        if (good && sqlite3_bind_parameter_count(s) > 0)
            sqlite3_bind_blob(s, 1, tile.constData(), int(tile.size()), SQLITE_TRANSIENT);
        good = good && sqlite3_step(s) == SQLITE_DONE;
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return good;
}

constexpr const char* tilesTable =
    "CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, "
    "tile_data BLOB)";
constexpr const char* metadataTable = "CREATE TABLE metadata (name TEXT, value TEXT)";

} // namespace

// The site's map from an MBTiles file of two zoom levels and from a PNG
// plan: described, its tiles by XYZ numbers (MBTiles' rows flipped), kept
// by the page only when asked for by the map's version, numbers checked
// strictly; files that are no map refused on one line naming the key.
TEST(MapTest, ServesTheTilesAndThePlanAndRefusesFilesThatAreNoMap)
{
    QTemporaryDir dir;
    const QByteArray tile = pngOf(Qt::green);
    const QByteArray deep = pngOf(Qt::red);
    // TMS row 20000 of zoom 15 is XYZ row 32767 - 20000 = 12767.
    const QString mbtiles = dir.filePath(QStringLiteral("site.mbtiles"));
    ASSERT_TRUE(
        makeMbtiles(mbtiles,
                    {tilesTable, metadataTable, "INSERT INTO metadata VALUES ('format', 'png')",
                     "INSERT INTO tiles VALUES (15, 17000, 20000, ?1)",
                     "INSERT INTO tiles VALUES (15, 17001, 20000, ?1)"},
                    tile));
    ASSERT_TRUE(makeMbtiles(mbtiles, {"INSERT INTO tiles VALUES (16, 34000, 40001, ?1)"}, deep));
    const trklib::site::Origin origin{48.1, 11.5, 520.0};
    trklib::site::MapConfig config;
    config.mbtiles = mbtiles;
    config.line = 3;
    QString error;
    std::shared_ptr<const BaseMap> map = BaseMap::open(config, origin, error);
    ASSERT_TRUE(map) << error.toStdString();

    ApiContext context;
    context.map = map;
    ApiServer server(context);
    ASSERT_TRUE(server.start(QStringLiteral("127.0.0.1"), 0, error)) << error.toStdString();
    httplib::Client client("127.0.0.1", server.port());
    const httplib::Result about = client.Get("/api/map");
    ASSERT_TRUE(about);
    const QJsonObject d = QJsonDocument::fromJson(QByteArray::fromStdString(about->body)).object();
    EXPECT_EQ(d[QStringLiteral("kind")].toString(), QStringLiteral("mbtiles"));
    EXPECT_EQ(d[QStringLiteral("min_zoom")].toInt(), 15) << "of the tiles, without metadata";
    EXPECT_EQ(d[QStringLiteral("max_zoom")].toInt(), 16);
    EXPECT_EQ(d[QStringLiteral("origin")][QStringLiteral("lat")].toDouble(), 48.1);
    // The deepest level's one tile: column 34000, TMS row 40001.
    const QJsonArray bounds = d[QStringLiteral("bounds")].toArray();
    ASSERT_EQ(bounds.size(), 4);
    EXPECT_DOUBLE_EQ(bounds[0].toDouble(), 34000.0 / 65536 * 360 - 180);
    EXPECT_DOUBLE_EQ(bounds[2].toDouble(), 34001.0 / 65536 * 360 - 180);
    EXPECT_DOUBLE_EQ(bounds[3].toDouble(),
                     std::atan(std::sinh(M_PI * (2.0 * 40002 / 65536 - 1))) * 180 / M_PI);
    EXPECT_EQ(about->get_header_value("Cache-Control"), "no-store");

    const std::string v = "?v=" + d[QStringLiteral("version")].toString().toStdString();
    const struct
    {
        std::string target;
        int status;
        const QByteArray* body;
        const char* caching;
    } requests[]{
        {"/api/map/tiles/15/17000/12767" + v, 200, &tile, "private, max-age=86400, immutable"},
        {"/api/map/tiles/15/17001/12767", 200, &tile, "private, no-cache"},
        {"/api/map/tiles/16/34000/25534?v=old", 200, &deep, "private, no-cache"},
        {"/api/map/tiles/15/17000/20000", 404, nullptr, "no-store"}, // the TMS row
        {"/api/map/tiles/0/0/0", 404, nullptr, "no-store"},
        {"/api/map/tiles/30/1073741823/1073741823", 404, nullptr, "no-store"},
        {"/api/map/tiles/31/0/0", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/32768/0", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/0/32768", 400, nullptr, "no-store"},
        {"/api/map/tiles/015/1/2", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/-1/2", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/1/2/3", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/1/2.png", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/1/", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/99999999999/1", 400, nullptr, "no-store"},
        {"/api/map/tiles/15/17000/12767?z=1", 400, nullptr, "no-store"},
        {"/api/map/plan", 404, nullptr, "no-store"},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r.target);
        const httplib::Result got = client.Get(r.target);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->status, r.status) << got->body;
        EXPECT_EQ(got->get_header_value("Cache-Control"), r.caching);
        EXPECT_EQ(got->get_header_value_count("Cache-Control"), 1u);
        if (r.body) {
            EXPECT_EQ(QByteArray::fromStdString(got->body), *r.body);
            EXPECT_EQ(got->get_header_value("Content-Type"), "image/png");
        } else {
            EXPECT_EQ(got->body.rfind("{\"error\":\"", 0), 0u) << got->body;
        }
    }

    // A plan: its placement and size, and its bytes.
    const QByteArray planBytes = pngOf(Qt::blue, 40, 30);
    const QString planPath = dir.filePath(QStringLiteral("plan.png"));
    {
        QFile f(planPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(planBytes) == planBytes.size());
    }
    trklib::site::MapConfig planConfig;
    planConfig.plan = planPath;
    planConfig.topLeft = {48.101, 11.5};
    planConfig.topRight = {48.101, 11.501};
    planConfig.bottomLeft = {48.1, 11.5};
    std::shared_ptr<const BaseMap> plan = BaseMap::open(planConfig, origin, error);
    ASSERT_TRUE(plan) << error.toStdString();
    const QJsonObject p = QJsonDocument::fromJson(plan->description()).object();
    EXPECT_EQ(p[QStringLiteral("kind")].toString(), QStringLiteral("plan"));
    EXPECT_EQ(p[QStringLiteral("width")].toInt(), 40);
    EXPECT_EQ(p[QStringLiteral("height")].toInt(), 30);
    EXPECT_EQ(p[QStringLiteral("top_right")].toArray(), QJsonArray({48.101, 11.501}));
    // A JPEG plan, read by Qt's image plugin.
    trklib::site::MapConfig jpegConfig = planConfig;
    jpegConfig.plan = dir.filePath(QStringLiteral("plan.jpg"));
    QImage photo(64, 48, QImage::Format_RGB32);
    photo.fill(Qt::gray);
    ASSERT_TRUE(photo.save(jpegConfig.plan, "JPEG"));
    const std::unique_ptr<BaseMap> jpeg = BaseMap::open(jpegConfig, origin, error);
    ASSERT_TRUE(jpeg) << error.toStdString();
    EXPECT_EQ(jpeg->planType(), "image/jpeg");
    context.map = plan;
    const Reply image = answer(context, "/api/map/plan", {});
    EXPECT_EQ(image.body, planBytes);
    EXPECT_EQ(image.type, "image/png");
    EXPECT_EQ(answer(context, "/api/map/tiles/0/0/0", {}).status, 404);
    context.map.reset();
    EXPECT_EQ(answer(context, "/api/map", {}).body,
              QByteArray("{\"error\":\"no map: the site file has no [map]\"}"));

    // Files that are no map: one line naming the key and the file.
    const QString text = dir.filePath(QStringLiteral("notes.txt"));
    ASSERT_TRUE(writeText(text, "not a map\n"));
    const QString bare = dir.filePath(QStringLiteral("bare.mbtiles"));
    ASSERT_TRUE(makeMbtiles(bare, {metadataTable}, {}));
    const QString webp = dir.filePath(QStringLiteral("webp.mbtiles"));
    ASSERT_TRUE(makeMbtiles(
        webp, {tilesTable, metadataTable, "INSERT INTO metadata VALUES ('format', 'webp')"}, {}));
    const QString empty = dir.filePath(QStringLiteral("empty.mbtiles"));
    ASSERT_TRUE(makeMbtiles(
        empty, {tilesTable, metadataTable, "INSERT INTO metadata VALUES ('format', 'jpg')"}, {}));
    const struct
    {
        QString file;
        bool isPlan;
        const char* why;
    } bad[]{
        {dir.filePath(QStringLiteral("none.mbtiles")), false, "no such file"},
        {dir.path(), false, "not a regular file"},
        {text, false, "no MBTiles file (file is not a database)"},
        {bare, false, "no MBTiles file (no such table: tiles)"},
        {webp, false, "metadata format 'webp' is not png or jpg"},
        {empty, false, "holds no tiles"},
        {text, true, "not a PNG or JPEG image"},
        {mbtiles, true, "not a PNG or JPEG image"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.file.toStdString());
        trklib::site::MapConfig c = planConfig;
        c.plan = b.isPlan ? b.file : QString();
        c.mbtiles = b.isPlan ? QString() : b.file;
        c.line = 7;
        error.clear();
        EXPECT_FALSE(BaseMap::open(c, origin, error));
        const QString expected =
            QStringLiteral("7: [map] %1: %2: %3")
                .arg(QLatin1String(b.isPlan ? "plan" : "mbtiles"), b.file, QLatin1String(b.why));
        EXPECT_TRUE(error.startsWith(expected)) << error.toStdString();
        EXPECT_FALSE(error.contains(QLatin1Char('\n')));
    }
}

#include "tools/sited/history/historyschema.h"

#include <algorithm>

namespace trklib::sited::history::schema {

namespace {

constexpr Column siteColumn{"site", Type::text};
// Version 5's classes of the rows written before it: all mass on unknown.
const QByteArray classesFallback = QByteArray("'") + unknownClasses + "'";

const char* typeName(Type type, Dialect dialect)
{
    const bool sqlite = dialect == Dialect::sqlite;
    switch (type) {
    case Type::text:
        return sqlite ? "TEXT" : "text";
    case Type::integer:
        return sqlite ? "INTEGER" : "bigint";
    case Type::real:
        return sqlite ? "REAL" : "double precision";
    case Type::boolean:
        return sqlite ? "INTEGER" : "boolean";
    case Type::blob:
        return sqlite ? "BLOB" : "bytea";
    }
    return "";
}

QByteArray join(const std::vector<const char*>& names)
{
    QByteArray out;
    for (const char* name : names)
        out.append(out.isEmpty() ? "" : ", ").append(name);
    return out;
}

// The n-th placeholder (from 1).
QByteArray placeholder(int n, Dialect dialect)
{
    return dialect == Dialect::sqlite ? QByteArray("?") : "$" + QByteArray::number(n);
}

// The n-th parameter by its number, for a statement that names one twice.
QByteArray numbered(int n, Dialect dialect)
{
    return (dialect == Dialect::sqlite ? "?" : "$") + QByteArray::number(n);
}

// The table as the version made it: the columns later ones add come with
// them (addColumn), so that a new database and a migrated one are alike.
QByteArray createTable(const Table& t, Dialect dialect, int version)
{
    QByteArray columns;
    if (t.serial && dialect == Dialect::postgres)
        columns.append(t.serial).append(" bigserial PRIMARY KEY, ");
    for (const Column& c : t.columns) {
        if (c.version > version)
            continue;
        columns.append(c.name).append(' ').append(typeName(c.type, dialect));
        if (c.fallback)
            columns.append(" DEFAULT ").append(c.fallback);
        columns.append(c.isNullable() ? ", " : " NOT NULL, ");
    }
    columns.chop(2);
    if (!t.primaryKey.empty())
        columns.append(", PRIMARY KEY (").append(join(t.primaryKey)).append(')');
    return QByteArray("CREATE TABLE ") + t.name + " (" + columns + ")";
}

// A column added to a table of an earlier version; its fallback fills the
// rows already there.
QByteArray addColumn(const Table& t, const Column& c, Dialect dialect)
{
    QByteArray sql = QByteArray("ALTER TABLE ") + t.name + " ADD COLUMN " + c.name + ' ' +
                     typeName(c.type, dialect);
    if (c.fallback)
        sql.append(" DEFAULT ").append(c.fallback);
    if (!c.isNullable())
        sql.append(" NOT NULL");
    return sql;
}

QByteArray createIndex(const Table& t, const Index& index)
{
    QByteArray sql = QByteArray("CREATE INDEX ") + index.name + " ON " + t.name + " (" +
                     join(index.columns) + ")";
    if (index.track) {
        std::vector<const char*> included;
        for (const Column& c : t.columns) {
            if (c.isPosition() &&
                std::find_if(index.columns.begin(), index.columns.end(), [&c](const char* name) {
                    return qstrcmp(name, c.name) == 0;
                }) == index.columns.end())
                included.push_back(c.name);
        }
        sql.append(" INCLUDE (").append(join(included)).append(')');
    }
    return sql;
}

// Of rows alike in every column of the once key, all but the first made.
QByteArray removeTwice(const Table& t, Dialect dialect)
{
    const QByteArray name = t.name;
    if (dialect == Dialect::sqlite)
        return "DELETE FROM " + name + " WHERE rowid NOT IN (SELECT min(rowid) FROM " + name +
               " GROUP BY " + join(t.onceKey) + ")";
    QByteArray same;
    for (const char* c : t.onceKey)
        same.append(same.isEmpty() ? "" : " AND ").append("a.").append(c).append(" = b.").append(c);
    // Without a serial column, the row's place in the table tells it apart.
    const QByteArray order = t.serial ? t.serial : "ctid";
    return "DELETE FROM " + name + " a USING " + name + " b WHERE " + same + " AND a." + order +
           " > b." + order;
}

} // namespace

// Each table as {name, serial, columns, primary key, once key, indexes}.

const Table& pictures()
{
    static const Table t{
        "pictures",
        nullptr,
        {
            siteColumn,
            {"time", Type::integer},
        },
        {"site", "time"},
        {},
        {},
    };
    return t;
}

// Version 2 on PostgreSQL: a track's points in one index, in the order they
// are asked for, so that a track is read from the index alone. The key's own
// index finds an object's rows but then reads each from the table, where a
// picture's objects lie together and one object's day is spread over as many
// pages as it has points. SQLite reads a track fast enough by the key, and
// such an index would double the cost of writing every picture there.
const Table& objects()
{
    static const Table t{
        "objects",
        nullptr,
        {
            siteColumn,
            {"time", Type::integer, position},
            {"id", Type::integer, position},
            {"x", Type::real, position},
            {"y", Type::real, position},
            {"lat", Type::real, nullable | position},
            {"lon", Type::real, nullable | position},
            {"vx", Type::real},
            {"vy", Type::real},
            {"speed", Type::real, position},
            {"heading", Type::real, nullable},
            {"confirmed", Type::boolean},
            {"radars", Type::text},
            {"since", Type::integer},
            {"object_class", Type::text, 0, 5, "'unknown'"},
            {"classes", Type::text, 0, 5, classesFallback.constData()},
            // Seconds of the gap its number was carried over; 0 when none.
            {"gapped", Type::real, 0, 6, "0"},
        },
        {"site", "id", "time"},
        {},
        {
            {"objects_time", {"site", "time"}},
            {"objects_track", {"site", "id", "time"}, 2, true},
        },
    };
    return t;
}

const Table& events()
{
    static const Table t{
        "events",
        "seq",
        {
            siteColumn,
            {"time", Type::integer},
            {"zone", Type::text},
            {"event", Type::text},
            {"object", Type::integer},
            {"json", Type::text},
        },
        {},
        {"site", "time", "object", "json"},
        {
            {"events_time", {"site", "time"}},
            {"events_zone", {"site", "zone", "time"}},
            {"events_object", {"site", "object", "time"}},
        },
    };
    return t;
}

const Table& statuses()
{
    static const Table t{
        "radar_status",
        nullptr,
        {
            siteColumn,
            {"time", Type::integer},
            {"radar", Type::text},
            {"online", Type::boolean},
        },
        {},
        {"site", "time", "radar", "online"},
        {
            {"radar_status_time", {"site", "time"}},
        },
    };
    return t;
}

// Version 3: the HTTP API's logins, failed logins and logouts.
const Table& logins()
{
    static const Table t{
        "logins",
        "seq",
        {
            siteColumn,
            {"time", Type::integer},
            {"name", Type::text},
            {"action", Type::text},
            {"peer", Type::text},
        },
        {},
        {"site", "time", "name", "action", "peer"},
        {
            {"logins_time", {"site", "time"}, 3},
        },
        3,
    };
    return t;
}

// Version 4: the alarms' changes, each as it happened (zones/alarms.h);
// alarm 0 is a shelving's. A note or why is not of the once key: a unique
// index takes only so many bytes of a row.
const Table& alarmChanges()
{
    static const Table t{
        "alarm_changes",
        "seq",
        {
            siteColumn,
            {"time", Type::integer},
            {"alarm", Type::integer},
            {"zone", Type::text},
            {"action", Type::text},
            {"by_user", Type::text},
            {"note", Type::text},
            {"event", Type::text},
            {"object", Type::integer},
            {"x", Type::real},
            {"y", Type::real},
            {"until", Type::integer},
            {"object_class", Type::text, 0, 5, "'unknown'"},
        },
        {},
        {"site", "time", "alarm", "zone", "action", "by_user"},
        {
            {"alarm_changes_time", {"site", "time"}, 4},
            {"alarm_changes_alarm", {"site", "alarm"}, 4},
        },
        4,
    };
    return t;
}

// Version 7: the cameras' changes (CameraRow).
const Table& cameraChanges()
{
    static const Table t{
        "camera_changes",
        "seq",
        {
            siteColumn,
            {"time", Type::integer},
            {"camera", Type::text},
            {"action", Type::text},
            {"by_user", Type::text},
            {"object", Type::integer},
            {"detail", Type::text},
        },
        {},
        {"site", "time", "camera", "action", "by_user", "object"},
        {
            {"camera_changes_time", {"site", "time"}, 7},
        },
        7,
    };
    return t;
}

// Version 8: each whole minute's pictures in one block (pictureblocks.h), by
// the minute's start: what the zones' preview reads.
const Table& pictureBlocks()
{
    static const Table t{
        "picture_blocks",
        nullptr,
        {
            siteColumn,
            {"time", Type::integer},
            {"block", Type::blob},
        },
        {"site", "time"},
        {},
        {},
        8,
    };
    return t;
}

// A statement of a version beside its tables, columns and indexes.
struct Setting
{
    int version;
    Dialect dialect;
    const char* sql;
};

const std::vector<Setting>& settings()
{
    static const std::vector<Setting> all{
        // Version 9: PostgreSQL keeps a block's bytes as they are. It would
        // compress them (pglz), and decompressing them took half the time
        // of reading a day's blocks; they take a tenth of the objects' room.
        {9, Dialect::postgres,
         "ALTER TABLE picture_blocks ALTER COLUMN block SET STORAGE EXTERNAL"},
    };
    return all;
}

const std::vector<const Table*>& tables()
{
    static const std::vector<const Table*> all{&pictures(),      &objects(),      &events(),
                                               &statuses(),      &logins(),       &alarmChanges(),
                                               &cameraChanges(), &pictureBlocks()};
    return all;
}

QByteArray doing(const Step& step)
{
    return step.version == 1
               ? QByteArray("creating the schema")
               : "migrating the schema to version " + QByteArray::number(step.version);
}

std::vector<Step> migration(Dialect dialect, int from)
{
    std::vector<Step> steps;
    if (from < 1) {
        for (const Table* t : tables()) {
            if (t->version > 1)
                continue;
            steps.push_back({1, createTable(*t, dialect, 1)});
            for (const Index& index : t->indexes) {
                if (index.version == 1)
                    steps.push_back({1, createIndex(*t, index)});
            }
        }
    }
    // Each later version migrates from the one before.
    for (int version = std::max(from + 1, 2); version <= schemaVersion; ++version) {
        for (const Table* t : tables()) {
            if (t->version > version)
                continue;
            if (t->version == version)
                steps.push_back({version, createTable(*t, dialect, version)});
            for (const Column& c : t->columns) {
                if (c.version == version && t->version < version)
                    steps.push_back({version, addColumn(*t, c, dialect)});
            }
            for (const Index& index : t->indexes) {
                if (index.version == version && (!index.track || dialect == Dialect::postgres))
                    steps.push_back({version, createIndex(*t, index)});
            }
            if (version == std::max(2, t->version) && !t->onceKey.empty()) {
                steps.push_back({version, removeTwice(*t, dialect)});
                steps.push_back({version, QByteArray("CREATE UNIQUE INDEX ") + t->name +
                                              "_once ON " + t->name + " (" + join(t->onceKey) +
                                              ")"});
            }
        }
        for (const Setting& setting : settings()) {
            if (setting.version == version && setting.dialect == dialect)
                steps.push_back({version, setting.sql});
        }
    }
    return steps;
}

QByteArray columnList(const Table& table)
{
    QByteArray out;
    for (const Column& c : table.columns)
        out.append(out.isEmpty() ? "" : ", ").append(c.name);
    return out;
}

QByteArray insert(const Table& table, Dialect dialect)
{
    QByteArray values;
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        values.append(i == 0 ? "" : ", ").append(placeholder(int(i) + 1, dialect));
    const QByteArray into =
        QByteArray("INTO ") + table.name + " (" + columnList(table) + ") VALUES (" + values + ")";
    if (dialect == Dialect::postgres)
        return "INSERT " + into + " ON CONFLICT DO NOTHING";
    // A row of a primary key is the latest written; one of a once key the
    // first.
    return (table.primaryKey.empty() ? "INSERT OR IGNORE " : "INSERT OR REPLACE ") + into;
}

QByteArray removeBefore(const Table& table, Dialect dialect)
{
    // An open alarm's changes and a shelving not yet over are kept however
    // old: sited restores them at its start.
    if (&table == &alarmChanges()) {
        const QByteArray site = numbered(1, dialect);
        const QByteArray before = numbered(2, dialect);
        return "DELETE FROM alarm_changes WHERE site = " + site + " AND time < " + before +
               " AND ((alarm > 0 AND alarm IN (SELECT alarm FROM alarm_changes WHERE site = " +
               site + " AND action = 'clear' AND time < " + before + ")) OR (alarm = 0 AND " +
               "until < " + before + "))";
    }
    return QByteArray("DELETE FROM ") + table.name + " WHERE site = " + placeholder(1, dialect) +
           " AND time < " + placeholder(2, dialect);
}

QByteArray objectColumns(bool positionsOnly)
{
    QByteArray positions;
    QByteArray others;
    for (const Column& c : objects().columns) {
        if (qstrcmp(c.name, siteColumn.name) == 0)
            continue;
        QByteArray& list = c.isPosition() ? positions : others;
        list.append(list.isEmpty() ? "" : ", ").append(c.name);
    }
    return positionsOnly ? positions : positions + ", " + others;
}

QByteArray pictureTimesSelect(Dialect dialect)
{
    return "SELECT time FROM pictures WHERE site = " + placeholder(1, dialect) +
           " AND time BETWEEN " + placeholder(2, dialect) + " AND " + placeholder(3, dialect) +
           " ORDER BY time";
}

QByteArray rulesObjectsSelect(Dialect dialect)
{
    // SQLite: by the time index (see SqliteStore::tracks()).
    return QByteArray("SELECT time, id, x, y, speed, confirmed, object_class FROM objects") +
           (dialect == Dialect::sqlite ? " INDEXED BY objects_time" : "") +
           " WHERE site = " + placeholder(1, dialect) + " AND time BETWEEN " +
           placeholder(2, dialect) + " AND " + placeholder(3, dialect) + " ORDER BY time";
}

QByteArray blocksSelect(Dialect dialect)
{
    return "SELECT time, block FROM picture_blocks WHERE site = " + placeholder(1, dialect) +
           " AND time BETWEEN " + placeholder(2, dialect) + " AND " + placeholder(3, dialect) +
           " ORDER BY time";
}

QByteArray blockDelete(Dialect dialect)
{
    return "DELETE FROM picture_blocks WHERE site = " + placeholder(1, dialect) +
           " AND time = " + placeholder(2, dialect);
}

Values blockValues(const QByteArray& site, std::int64_t startMs, const QByteArray& block)
{
    return {site, startMs, Blob{block}};
}

Values pictureValues(const QByteArray& site, std::int64_t timeMs)
{
    return {site, timeMs};
}

Values objectValues(const QByteArray& site, const ObjectRow& o)
{
    const auto optional = [](const std::optional<double>& v) { return v ? Value(*v) : Value(); };
    return {site,
            o.timeMs,
            o.id,
            o.x,
            o.y,
            optional(o.lat),
            optional(o.lon),
            o.vx,
            o.vy,
            o.speed,
            optional(o.heading),
            o.confirmed,
            o.radars,
            o.sinceMs,
            QByteArray(className(o.objectClass)),
            o.classes,
            o.gappedS};
}

Values eventValues(const QByteArray& site, const EventRow& e)
{
    return {site, e.timeMs, e.zone.toUtf8(), e.event.toUtf8(), e.object, e.json};
}

Values statusValues(const QByteArray& site, const StatusRow& s)
{
    return {site, s.timeMs, s.radar.toUtf8(), s.online};
}

Values alarmChangeValues(const QByteArray& site, const zones::AlarmChange& c)
{
    return {site,
            c.timeMs,
            c.alarm,
            c.zone.toUtf8(),
            QByteArray(zones::actionName(c.action)),
            c.user.toUtf8(),
            c.text.toUtf8(),
            c.event.toUtf8(),
            c.object,
            c.xM,
            c.yM,
            c.untilMs,
            QByteArray(className(c.objectClass))};
}

QByteArray alarmColumns()
{
    return "time, alarm, zone, action, by_user, note, event, object, x, y, until, object_class";
}

namespace {

// The order rows of one time were written in: SQLite's rowid, PostgreSQL's
// serial.
QByteArray rowOrder(Dialect dialect)
{
    return dialect == Dialect::sqlite ? "rowid" : alarmChanges().serial;
}

} // namespace

QByteArray openAlarmsSelect(Dialect dialect)
{
    const QByteArray site = numbered(1, dialect);
    return "SELECT " + alarmColumns() + " FROM alarm_changes WHERE site = " + site +
           " AND ((alarm > 0 AND alarm NOT IN (SELECT alarm FROM alarm_changes WHERE site = " +
           site + " AND action = 'clear')) OR (alarm = 0 AND until > " + numbered(2, dialect) +
           ")) ORDER BY time, " + rowOrder(dialect);
}

QByteArray alarmsSelect(Dialect dialect)
{
    const QByteArray site = numbered(1, dialect);
    const QByteArray period = " BETWEEN " + numbered(2, dialect) + " AND " + numbered(3, dialect);
    return "SELECT " + alarmColumns() + " FROM alarm_changes WHERE site = " + site +
           " AND ((alarm > 0 AND alarm IN (SELECT alarm FROM alarm_changes WHERE site = " + site +
           " AND action = 'raise' AND time" + period + ")) OR (alarm = 0 AND time" + period +
           ")) ORDER BY time, " + rowOrder(dialect) + " LIMIT " + numbered(4, dialect);
}

QByteArray lastAlarmSelect(Dialect dialect)
{
    return "SELECT coalesce(max(alarm), 0) FROM alarm_changes WHERE site = " + numbered(1, dialect);
}

Values loginValues(const QByteArray& site, const LoginRow& l)
{
    return {site, l.timeMs, l.name.toUtf8(), l.action.toUtf8(), l.peer.toUtf8()};
}

Values cameraValues(const QByteArray& site, const CameraRow& c)
{
    return {site,     c.timeMs,         c.camera.toUtf8(), c.action.toUtf8(), c.user.toUtf8(),
            c.object, c.detail.toUtf8()};
}

} // namespace trklib::sited::history::schema

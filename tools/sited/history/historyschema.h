#pragma once

#include "tools/sited/history/historystore.h"

#include <QByteArray>
#include <QVarLengthArray>

#include <algorithm>

#include <cstdint>
#include <limits>
#include <variant>
#include <vector>

// The history's tables, written down once for both back ends: each table's
// columns with a type of either dialect, its keys and its indexes, and what
// each version of the schema adds. The SQL that each back end sends to make,
// migrate, write and read the tables is made from them here, so that the two
// databases cannot drift apart. Values are never part of that SQL: they go
// as bound parameters (or COPY data), in the order of columnList().
namespace trklib::sited::history::schema {

enum class Dialect
{
    sqlite,
    postgres
};

// A column's type, the same in both dialects.
enum class Type
{
    text,    // TEXT; text
    integer, // INTEGER; bigint
    real,    // REAL; double precision
    boolean, // INTEGER, 0 or 1; boolean
    blob,    // BLOB; bytea
};

// What else a column is.
enum ColumnFlags : unsigned
{
    nullable = 1, // NULL allowed: an absent value (std::optional)
    position = 2, // of what a track is drawn from (TrackQuery::positionsOnly)
};

struct Column
{
    const char* name;
    Type type;
    unsigned flags = 0;
    // The version that added it to a table made before (its place: after
    // the columns before it); the value it gives the rows already there,
    // and any row written without it: SQL text, a literal.
    int version = 1;
    const char* fallback = nullptr;

    bool isNullable() const { return flags & nullable; }
    bool isPosition() const { return flags & position; }
};

struct Index
{
    const char* name;
    std::vector<const char*> columns;
    // The version that made it.
    int version = 1;
    // PostgreSQL only, INCLUDING the table's position columns not in the
    // index already, so that a track is read from the index alone.
    bool track = false;
};

struct Table
{
    const char* name;
    // PostgreSQL's row number, a bigserial primary key ahead of the columns;
    // SQLite's rowid serves instead. Null where there is none.
    const char* serial = nullptr;
    // Every table's first column is the site, the store's own.
    std::vector<Column> columns;
    // Version 1's primary key; SQLite replaces a row written again.
    std::vector<const char*> primaryKey;
    // Version 2's unique index <name>_once, where there is no primary key: a
    // row written again (a batch after a lost answer to its commit) is not
    // added. Rows twice in a database of version 1 are removed first.
    std::vector<const char*> onceKey;
    std::vector<Index> indexes;
    // The version that made it; one after version 2 has its once key and
    // indexes made with it.
    int version = 1;
};

const Table& pictures();
const Table& objects();
const Table& events();
const Table& statuses();
const Table& logins();
const Table& alarmChanges();
const Table& cameraChanges();
const Table& pictureBlocks();
// Every table, in the order they are made.
const std::vector<const Table*>& tables();

// One statement of a migration and the version it belongs to.
struct Step
{
    int version;
    QByteArray sql;
};

// What a step does, for its error: "creating the schema" (version 1) or
// "migrating the schema to version N".
QByteArray doing(const Step& step);

// What takes a database of version `from` (0 for a new one) to
// schemaVersion, in order; empty when it is there already.
std::vector<Step> migration(Dialect dialect, int from);

// The columns written, in the table's order: site first, never a serial.
QByteArray columnList(const Table& table);
// The statement that writes a row; a row written again adds nothing.
QByteArray insert(const Table& table, Dialect dialect);
// The statement that removes the site's rows older than the second value.
QByteArray removeBefore(const Table& table, Dialect dialect);

// The objects' columns as read back: the positions first, so that a
// positions-only row is a full row's beginning.
QByteArray objectColumns(bool positionsOnly);

// Store::pictures()' two statements for the site (first parameter) from
// the second parameter to the third: the pictures' times, ascending, and
// their objects' rows by time, as readRulesObject() reads them.
QByteArray pictureTimesSelect(Dialect dialect);
QByteArray rulesObjectsSelect(Dialect dialect);
// The blocks of the minutes that start from the second parameter to the
// third, by time: their start and bytes.
QByteArray blocksSelect(Dialect dialect);
// Removes the block of the minute that starts at the second parameter.
QByteArray blockDelete(Dialect dialect);

// Joins the two: each picture handed to the sink with its objects by id,
// an empty one too, once the rows of a later time come or at finish(). A
// row of no picture is left out.
class PictureJoin
{
public:
    PictureJoin(QVector<std::int64_t> times, const Store::PictureSink& each)
        : times_(std::move(times)), each_(each)
    {}
    void add(std::int64_t timeMs, const zones::Sample& object)
    {
        handBefore(timeMs);
        if (next_ < times_.size() && times_[next_] == timeMs)
            objects_.append(object);
    }
    void finish() { handBefore(std::numeric_limits<std::int64_t>::max()); }

private:
    void handBefore(std::int64_t timeMs)
    {
        while (next_ < times_.size() && times_[next_] < timeMs) {
            std::sort(objects_.begin(), objects_.end(),
                      [](const zones::Sample& a, const zones::Sample& b) { return a.id < b.id; });
            each_(times_[next_++], objects_.constData(), objects_.size());
            objects_.clear();
        }
    }

    QVector<std::int64_t> times_;
    const Store::PictureSink& each_;
    int next_ = 0;
    QVector<zones::Sample> objects_;
};

// A column's bytes that are no text: BLOB, bytea.
struct Blob
{
    QByteArray bytes;
};

// A value bound to a parameter or copied; monostate is NULL.
using Value = std::variant<std::monostate, std::int64_t, double, bool, QByteArray, Blob>;
using Values = QVarLengthArray<Value, 17>;

// A row's values in the order of columnList(): the site, then the row's.
Values pictureValues(const QByteArray& site, std::int64_t timeMs);
Values objectValues(const QByteArray& site, const ObjectRow& o);
Values eventValues(const QByteArray& site, const EventRow& e);
Values statusValues(const QByteArray& site, const StatusRow& s);
Values loginValues(const QByteArray& site, const LoginRow& l);
Values cameraValues(const QByteArray& site, const CameraRow& c);
Values alarmChangeValues(const QByteArray& site, const zones::AlarmChange& c);
Values blockValues(const QByteArray& site, std::int64_t startMs, const QByteArray& block);

// The alarms' changes as read back (readAlarmChange), oldest first:
// - openAlarmsSelect: of the alarms not cleared and the shelvings not over
//   by the second parameter (the site first);
// - alarmsSelect: of the alarms raised and the shelvings made from the
//   second to the third parameter, at most the fourth;
// - lastAlarmSelect: the greatest alarm id of the site, 0 for none.
QByteArray openAlarmsSelect(Dialect dialect);
QByteArray alarmsSelect(Dialect dialect);
QByteArray lastAlarmSelect(Dialect dialect);

template <typename Row> zones::AlarmChange readAlarmChange(const Row& r)
{
    zones::AlarmChange c;
    c.timeMs = r.integer(0);
    c.alarm = r.integer(1);
    c.zone = QString::fromUtf8(r.text(2));
    c.action =
        zones::actionOf(QString::fromUtf8(r.text(3))).value_or(zones::AlarmChange::Action::Note);
    c.user = QString::fromUtf8(r.text(4));
    c.text = QString::fromUtf8(r.text(5));
    c.event = QString::fromUtf8(r.text(6));
    c.object = r.integer(7);
    c.xM = r.real(8);
    c.yM = r.real(9);
    c.untilMs = r.integer(10);
    classFromName(QString::fromUtf8(r.text(11)), c.objectClass);
    return c;
}

// An object's row of a result as selected by objectColumns(positionsOnly).
// Row has integer(c), real(c), optionalReal(c), boolean(c) and text(c) of
// its columns.
template <typename Row> ObjectRow readObject(const Row& r, bool positionsOnly)
{
    ObjectRow o;
    o.timeMs = r.integer(0);
    o.id = r.integer(1);
    o.x = r.real(2);
    o.y = r.real(3);
    o.lat = r.optionalReal(4);
    o.lon = r.optionalReal(5);
    o.speed = r.real(6);
    if (positionsOnly)
        return o;
    o.vx = r.real(7);
    o.vy = r.real(8);
    o.heading = r.optionalReal(9);
    o.confirmed = r.boolean(10);
    o.radars = r.text(11);
    o.sinceMs = r.integer(12);
    classFromName(r.text(13), o.objectClass);
    o.classes = r.text(14);
    o.gappedS = r.real(15);
    return o;
}

// An object's row of rulesObjectsSelect(): what the zones' rules read, and
// its time. Row has integer(c), real(c), boolean(c), and textView(c): the
// bytes of a text column, not copied.
template <typename Row> zones::Sample readRulesObject(const Row& r, std::int64_t& timeMs)
{
    timeMs = r.integer(0);
    zones::Sample o;
    o.id = r.integer(1);
    o.xM = r.real(2);
    o.yM = r.real(3);
    o.speedKph = r.real(4);
    o.confirmed = r.boolean(5);
    classFromName(r.textView(6), o.objectClass);
    return o;
}

} // namespace trklib::sited::history::schema

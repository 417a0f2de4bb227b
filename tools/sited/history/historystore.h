#pragma once

#include "tools/sited/zones/alarms.h"
#include "tools/sited/zones/replayrules.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The site's history in a database: every published picture's objects,
// every event as published, every radar's status changes and the alarms'
// changes, in a SQLite file or a PostgreSQL database. The schema is versioned (schema_version)
// and created or migrated when the store opens; one database may hold
// several sites, and a store reads and writes its own site's rows only.
// Every value reaches SQL as a bound parameter (or COPY data), never as
// SQL text. A store is used from one thread at a time; the recorder and the
// HTTP API share one through HistoryDatabase (historyrecorder.h).
namespace trklib::sited::history {

// The schema version this build creates and reads.
constexpr int schemaVersion = 9;

// The classes of an object the classifier has said nothing of, as
// published: what rows written before the history kept classes hold.
constexpr char unknownClasses[] =
    "{\"person\":0,\"two-wheeler\":0,\"car\":0,\"truck\":0,\"animal\":0,\"unknown\":1}";

// The defaults of ObjectRow's JSON fields, made once and shared: a row made
// and dropped costs no allocation (the recorder makes one per object of
// every picture).
inline const QByteArray& noRadarsJson()
{
    static const QByteArray json = QByteArrayLiteral("[]");
    return json;
}
inline const QByteArray& unknownClassesJson()
{
    static const QByteArray json(unknownClasses);
    return json;
}

// One object of a published picture, as published.
struct ObjectRow
{
    std::int64_t timeMs = 0; // the picture's
    std::int64_t id = 0;
    double x = 0.0; // metres east and north of the site's origin
    double y = 0.0;
    std::optional<double> lat; // degrees, with an origin
    std::optional<double> lon;
    double vx = 0.0; // m/s
    double vy = 0.0;
    double speed = 0.0;            // km/h
    std::optional<double> heading; // degrees; none when slow
    bool confirmed = false;
    QByteArray radars = noRadarsJson(); // the published radars array, JSON
    std::int64_t sinceMs = 0;
    ObjectClass objectClass = ObjectClass::Unknown;
    // The published classes object, JSON (fusion::appendClasses()'s).
    QByteArray classes = unknownClassesJson();
    double gappedS = 0.0; // seconds, as published (to 0.1 s); 0 when not gapped
};

// One event as it was published, with the columns it is searched by.
struct EventRow
{
    std::int64_t timeMs = 0;
    QString zone;
    QString event; // "enter", "exit", ...
    std::int64_t object = 0;
    QByteArray json; // the message, as published
};

// A radar went online or offline.
struct StatusRow
{
    std::int64_t timeMs = 0;
    QString radar;
    bool online = false;
};

// A login to the HTTP API, a refused one or a logout: who, when, from where.
struct LoginRow
{
    std::int64_t timeMs = 0;
    QString name;   // as given, also when no such user exists
    QString action; // "login", "failed" or "logout"
    QString peer;   // the client's address
};

// A change of a PTZ camera's: "online", "offline" (detail: the failure's
// line), "cue" (object: what cueing points it at, 0 home; detail: why),
// and the operators' "take", "give" and "follow" (object, 0: nothing),
// with who.
struct CameraRow
{
    std::int64_t timeMs = 0;
    QString camera;
    QString action;
    QString user; // the operator's; empty for the service's own changes
    std::int64_t object = 0;
    QString detail;
};

// What one transaction writes. A picture is written even when it has no
// objects, so that the API can tell an empty picture from no picture.
struct Batch
{
    QVector<std::int64_t> pictures; // picture times
    QVector<ObjectRow> objects;
    QVector<EventRow> events;
    QVector<StatusRow> statuses;
    QVector<LoginRow> logins;
    QVector<zones::AlarmChange> alarmChanges;
    QVector<CameraRow> cameras;

    int size() const
    {
        return pictures.size() + objects.size() + events.size() + statuses.size() + logins.size() +
               alarmChanges.size() + cameras.size();
    }
    bool isEmpty() const { return size() == 0; }
    void clear() { *this = Batch(); }
};

// Events in [fromMs, toMs], oldest first, at most limit; empty or absent
// filters match every event.
struct EventQuery
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    QString zone;
    QString event;
    std::optional<std::int64_t> object;
    int limit = 1000;
};

// Objects' rows in [fromMs, toMs], by id then time; of one object or all.
// With positionsOnly, a row holds only time, id, x, y, lat, lon and speed
// (what a track is drawn from), which PostgreSQL's track index holds alone:
// its table itself is not read.
struct TrackQuery
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::optional<std::int64_t> object;
    bool positionsOnly = false;
};

// Logins in [fromMs, toMs], oldest first, at most limit.
struct LoginQuery
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    int limit = 1000;
};

// The alarms' changes in [fromMs, toMs]: of every alarm raised then, all its
// changes (later ones too), and the shelvings made then; oldest first, at
// most limit.
struct AlarmQuery
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    int limit = 10000;
};

// Rows of each table of the store's site, for the health answer and tests.
struct Counts
{
    std::int64_t pictures = 0;
    std::int64_t objects = 0;
    std::int64_t events = 0;
    std::int64_t statuses = 0;
};

class Store
{
public:
    virtual ~Store() = default;

    // A SQLite file, or a database named by a "postgresql://" (or
    // "postgres://") URL, for site; the schema created or migrated. A
    // SQLite file is held locked while open: a second store on it is
    // refused. Null with a one-line error.
    static std::unique_ptr<Store> open(const QString& database, const QString& site,
                                       QString& error);
    static bool isPostgresUrl(const QString& database);

    // The batch in one transaction: all of it or nothing.
    virtual bool write(const Batch& batch, QString& error) = 0;
    virtual bool events(const EventQuery& query, QVector<QByteArray>& out, QString& error) = 0;
    virtual bool tracks(const TrackQuery& query, QVector<ObjectRow>& out, QString& error) = 0;
    virtual bool logins(const LoginQuery& query, QVector<LoginRow>& out, QString& error) = 0;
    // The cameras' changes of [fromMs, toMs], oldest first, at most limit.
    virtual bool cameras(const LoginQuery& query, QVector<CameraRow>& out, QString& error) = 0;
    virtual bool alarms(const AlarmQuery& query, QVector<zones::AlarmChange>& out,
                        QString& error) = 0;
    // What a start restores: the changes of the alarms not cleared and of
    // the shelvings not over at nowMs, oldest first, and the greatest
    // alarm id ever given (0: none), so that ids are never given twice.
    virtual bool openAlarms(std::int64_t nowMs, QVector<zones::AlarmChange>& out,
                            std::int64_t& lastId, QString& error) = 0;
    // The latest picture at or before atMs and its objects; found false
    // when there is none.
    virtual bool picture(std::int64_t atMs, bool& found, std::int64_t& timeMs,
                         QVector<ObjectRow>& out, QString& error) = 0;
    // The recorded pictures of [fromMs, toMs], oldest first, an empty one
    // too, each handed to each as it is read with its objects by id: what
    // the zones' rules read of them. A whole minute's come from its block
    // (pictureblocks.h), where it has one; the period's blocks are held at
    // once, so callers ask for short periods.
    using PictureSink =
        std::function<void(std::int64_t timeMs, const zones::Sample* objects, int count)>;
    virtual bool pictures(std::int64_t fromMs, std::int64_t toMs, const PictureSink& each,
                          QString& error) = 0;
    // The time of the latest picture, event or status; none when empty.
    virtual bool latest(std::optional<std::int64_t>& timeMs, QString& error) = 0;
    // The time of the earliest picture, event or status; none when empty.
    virtual bool oldest(std::optional<std::int64_t>& timeMs, QString& error) = 0;
    // Removes every row older than beforeMs.
    virtual bool removeBefore(std::int64_t beforeMs, QString& error) = 0;
    // What the history takes of the database, bytes: of a SQLite file its
    // pages in use (the pages of removed rows go back to the file system),
    // of PostgreSQL the history's tables with their indexes and TOAST, every
    // site's rows (one database, one disk).
    virtual bool size(std::int64_t& bytes, QString& error) = 0;
    // Whether removing rows makes size() smaller at once. PostgreSQL keeps
    // a table's room and fills it with later rows: its size stops growing
    // instead.
    virtual bool shrinksOnRemoval() const = 0;
    virtual bool counts(Counts& out, QString& error) = 0;
    // A server's connection lost is made again; true when it is up.
    virtual bool reconnect(QString& error) = 0;
    virtual bool isConnected() const = 0;
    // "sqlite" or "postgresql".
    virtual const char* kind() const = 0;
};

} // namespace trklib::sited::history

// Rows are moved in memory when a vector of them grows, not copied.
Q_DECLARE_TYPEINFO(trklib::sited::history::ObjectRow, Q_MOVABLE_TYPE);

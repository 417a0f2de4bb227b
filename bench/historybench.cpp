// The site's history under a large site's load: 16 radars x 50 objects at
// 10 pictures per second recorded through the recorder into SQLite and
// into PostgreSQL (a server of the benchmark's own on loopback), with the
// process's CPU per second of the site's time and the database's growth
// extrapolated to a day; then the two queries an operator asks most: one
// hour of events out of 30 days, and one object's track over a whole day.
// With --preview-hours, instead: that many hours of a 50-object site at the
// recorder's rate (every picture, 10 per second) written into each
// database, and the zones' preview of them (POST /api/zones/preview) timed,
// every zone moved and then one.
//
//   historybench [--seconds N]    (default 60 s of the site's time)
//   historybench --preview-hours H [--keep DIR] [--only sqlite|postgresql]   (H: 1 to 24)
//
// --keep DIR keeps the databases of a preview run in DIR (SQLite's file,
// PostgreSQL's cluster) and, when a run of as many hours left them there,
// previews them again without writing them: what one profiles a change of
// the preview with. --only runs one of the two databases.

#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historyrecorder.h"
#include "tools/sited/history/zonepreview.h"
#include "util/units.h"

#include "support/postgresserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <libpq-fe.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

using namespace trklib::sited;
using namespace trklib::sited::history;

namespace {

constexpr int radars = 16;
constexpr int objectsPerRadar = 50;
constexpr int picturesPerS = 10;
constexpr std::int64_t pictureMs = 1000 / picturesPerS;
constexpr std::int64_t startMs = 1765000000000; // a day's midnight, UTC: 2025-12-06
using trklib::util::msPerDay;
constexpr int historyDays = 30;
constexpr std::int64_t eventEveryMs = 10000;           // one event every 10 s for 30 days
constexpr std::int64_t dayObjectId = 1000000000;       // the object seen all day long
constexpr std::int64_t hourObjectId = dayObjectId + 1; // and one seen for an hour of it
constexpr std::int64_t hourMs = 3600 * 1000;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double msSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

const QStringList& radarNames()
{
    static QStringList names = [] {
        QStringList n;
        for (int r = 0; r < radars; ++r)
            n.append(QStringLiteral("radar-%1").arg(r + 1));
        return n;
    }();
    return names;
}

trklib::site::GeoReference& geo()
{
    static trklib::site::GeoReference g(trklib::site::Origin{48.1, 11.5, 520.0});
    return g;
}

// The site's picture at tick k: every object walking its own circle.
Picture picture(std::int64_t k)
{
    Picture p;
    p.timeMs = startMs + k * pictureMs;
    p.objects.reserve(radars * objectsPerRadar);
    for (int i = 0; i < radars * objectsPerRadar; ++i) {
        SiteObject o;
        o.id = i + 1;
        const double a = 0.01 * double(k) + i;
        o.xM = 100.0 * std::cos(a) + i;
        o.yM = 100.0 * std::sin(a) - i;
        o.vxMps = -std::sin(a);
        o.vyMps = std::cos(a);
        o.confirmed = true;
        o.radars = {{i % radars, i / radars + 1}};
        o.sinceMs = startMs;
        p.objects.append(o);
    }
    return p;
}

struct Figures
{
    double cpuPercent = 0.0;
    double gbPerDay = 0.0;
    double eventsHourMs = 0.0;
    int eventsHour = 0;
    double objectDayMs = 0.0;
    int objectDayPoints = 0;
    double objectHourMs = 0.0;
    int objectHourPoints = 0;
    double pictureMs = 0.0;
    int pictureObjects = 0;
};

// Records `seconds` of the site through the recorder; sizeBytes tells the
// database's size.
template <typename Size> bool record(SharedStore& shared, int seconds, Size sizeBytes, Figures& f)
{
    Recorder recorder(shared, {Recorder::defaultQueueRecords, 30, [](const QString& line) {
                                   std::fprintf(stderr, "%s\n", qPrintable(line));
                               }});
    const double bytesBefore = sizeBytes();
    const double cpuBefore = cpuSeconds();
    const std::int64_t pictures = std::int64_t(seconds) * picturesPerS;
    for (std::int64_t k = 0; k < pictures; ++k) {
        const Picture p = picture(k);
        recorder.addPicture(p.timeMs, pictureRows(radarNames(), p, &geo()));
        // Never more than the queue holds: the site's time, not the
        // benchmark's, is what is measured.
        while (recorder.waiting() > Recorder::defaultQueueRecords / 2)
            recorder.flush(10);
    }
    if (!recorder.flush(600000))
        return false;
    const double cpu = cpuSeconds() - cpuBefore;
    if (recorder.dropped() != 0)
        std::fprintf(stderr, "dropped %lld records\n", static_cast<long long>(recorder.dropped()));
    f.cpuPercent = 100.0 * cpu / seconds;
    f.gbPerDay = (sizeBytes() - bytesBefore) / seconds * 86400.0 / 1e9;
    return true;
}

// 30 days of events and one object's whole day, then the two queries;
// settle runs between the two (the server's housekeeping).
bool query(SharedStore& shared, Figures& f, const std::function<void()>& settle = {})
{
    QString error;
    const bool filled = shared.with([&](Store& s) {
        Batch batch;
        for (std::int64_t t = startMs - (historyDays - 1) * msPerDay; t < startMs + msPerDay;
             t += eventEveryMs) {
            const std::int64_t object = t / eventEveryMs % 1000 + 1;
            EventRow e{t, QStringLiteral("gate"), QStringLiteral("enter"), object, {}};
            e.json = QStringLiteral("{\"site\":\"bench\",\"event\":\"enter\",\"zone\":\"gate\","
                                    "\"object\":%1,\"time\":%2,\"x\":12.5,\"y\":-3.25}")
                         .arg(object)
                         .arg(t)
                         .toUtf8();
            batch.events.append(e);
            if (batch.events.size() == Recorder::batchRecords) {
                if (!s.write(batch, error))
                    return false;
                batch.clear();
            }
        }
        for (std::int64_t t = startMs; t < startMs + msPerDay; t += pictureMs) {
            ObjectRow o;
            o.timeMs = t;
            o.id = dayObjectId;
            o.x = double(t % 1000);
            o.radars = "[{\"radar\":\"radar-1\",\"number\":1}]";
            batch.objects.append(o);
            if (t >= startMs + 12 * hourMs && t < startMs + 13 * hourMs) {
                o.id = hourObjectId;
                batch.objects.append(o);
            }
            if (batch.objects.size() == Recorder::batchRecords) {
                if (!s.write(batch, error))
                    return false;
                batch.clear();
            }
        }
        return s.write(batch, error);
    });
    if (!filled) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    if (settle)
        settle();
    ApiContext context;
    context.store = &shared;
    context.site = QStringLiteral("bench");
    context.zones->set({}, QStringList{QStringLiteral("gate")});
    const std::string from = std::to_string(startMs + 12 * 3600 * 1000);
    const std::string to = std::to_string(startMs + 13 * 3600 * 1000);
    auto t = std::chrono::steady_clock::now();
    Reply events = answer(context, "/api/events", {{"from", from}, {"to", to}, {"limit", "10000"}});
    f.eventsHourMs = msSince(t);
    f.eventsHour = int(events.body.count("\"event\""));
    t = std::chrono::steady_clock::now();
    Reply track = answer(context, "/api/tracks",
                         {{"from", std::to_string(startMs)},
                          {"to", std::to_string(startMs + msPerDay - 1)},
                          {"object", std::to_string(dayObjectId)}});
    f.objectDayMs = msSince(t);
    f.objectDayPoints = int(track.body.count("],[")) + 1;
    t = std::chrono::steady_clock::now();
    Reply hour = answer(context, "/api/tracks",
                        {{"from", std::to_string(startMs)},
                         {"to", std::to_string(startMs + msPerDay - 1)},
                         {"object", std::to_string(hourObjectId)}});
    f.objectHourMs = msSince(t);
    f.objectHourPoints = int(hour.body.count("],[")) + 1;
    // A picture of the whole site, from the minute recorded.
    t = std::chrono::steady_clock::now();
    Reply picture = answer(context, "/api/picture", {{"time", std::to_string(startMs + 500)}});
    f.pictureMs = msSince(t);
    f.pictureObjects = int(picture.body.count("\"id\""));
    return events.status == 200 && track.status == 200 && hour.status == 200 &&
           picture.status == 200;
}

void print(const char* kind, int seconds, const Figures& f)
{
    std::printf("%-10s recording %d s of %d objects at %d pictures/s: CPU %.1f%% of one core, "
                "%.1f GB per day\n",
                kind, seconds, radars * objectsPerRadar, picturesPerS, f.cpuPercent, f.gbPerDay);
    std::printf("%-10s one hour of events (%d of 30 days): %.1f ms; one object's day (%d "
                "points, GeoJSON): %.1f ms\n",
                kind, f.eventsHour, f.eventsHourMs, f.objectDayPoints, f.objectDayMs);
    std::printf("%-10s one object on site for an hour, over the day (%d points): %.1f ms; "
                "one picture (%d objects): %.1f ms\n",
                kind, f.objectHourPoints, f.objectHourMs, f.pictureObjects, f.pictureMs);
}

// --- The zones' preview ---------------------------------------------------

constexpr int previewObjects = 50;      // on site at every picture
constexpr std::int64_t lifeMs = 600000; // each object's stay, then another comes
constexpr double siteM = 200.0;         // the objects walk a square this wide

// Object slot i's site object at tick k: a straight walk across the
// square, at 1.5 to 15 m/s, a new id every lifeMs.
SiteObject walker(int i, std::int64_t k)
{
    const std::int64_t t = k * pictureMs + i * (lifeMs / previewObjects);
    const std::int64_t life = t / lifeMs;
    const double s = double(t % lifeMs) / 1000.0; // seconds into its stay
    const double seed = double(life * previewObjects + i);
    const double angle = std::fmod(seed * 2.39996, 2 * M_PI);
    const double speed = 1.5 + std::fmod(seed * 7.3, 13.5);
    SiteObject o;
    o.id = life * previewObjects + i + 1;
    const double vx = speed * std::cos(angle);
    const double vy = speed * std::sin(angle);
    // Bounced inside the square, so that it stays on site all its stay.
    const auto bounce = [](double v) {
        const double m = std::fmod(std::fabs(v), 2 * siteM);
        return m > siteM ? 2 * siteM - m : m;
    };
    o.xM = bounce(std::fmod(seed * 37.0, siteM) + vx * s) - siteM / 2;
    o.yM = bounce(std::fmod(seed * 53.0, siteM) + vy * s) - siteM / 2;
    o.vxMps = vx;
    o.vyMps = vy;
    o.confirmed = s > 1.0;
    o.radars = {{i % radars, i + 1}};
    o.sinceMs = startMs + life * lifeMs;
    return o;
}

// The zones file: a grid of 3 x 3 squares of 30 m and two lines across the
// site, moved by shiftM (with firstOnly the first square alone); dwell and a
// speed limit on each square.
QByteArray previewZonesFile(double shiftM, bool firstOnly = false)
{
    QByteArray features;
    const auto corner = [](double x, double y) {
        const trklib::site::GeoPoint p = geo().toGeodetic(x, y);
        return "[" + QByteArray::number(p.longitudeDeg, 'g', 17) + "," +
               QByteArray::number(p.latitudeDeg, 'g', 17) + "]";
    };
    for (int i = 0; i < 9; ++i) {
        const double x = -75.0 + 60.0 * (i % 3) + (i == 0 || !firstOnly ? shiftM : 0.0);
        const double y = -75.0 + 60.0 * (i / 3);
        features += (features.isEmpty() ? "" : ",") +
                    QByteArrayLiteral(R"({"type":"Feature","geometry":{"type":"Polygon",)") +
                    R"("coordinates":[[)" + corner(x, y) + "," + corner(x + 30, y) + "," +
                    corner(x + 30, y + 30) + "," + corner(x, y + 30) + "," + corner(x, y) +
                    R"(]]},"properties":{"name":"zone-)" + QByteArray::number(i) +
                    R"(","dwell":30,"speed_limit":30}})";
    }
    for (int i = 0; i < 2; ++i) {
        const double x = (i == 0 ? 0.0 : 50.0) + (firstOnly ? 0.0 : shiftM);
        features += QByteArrayLiteral(R"(,{"type":"Feature","geometry":{"type":"LineString",)") +
                    R"("coordinates":[)" + corner(x - 80, -90) + "," + corner(x + 80, 90) +
                    R"(]},"properties":{"name":"line-)" + QByteArray::number(i) + R"("}})";
    }
    return R"({"type":"FeatureCollection","features":[)" + features + "]}";
}

struct PreviewFigures
{
    double fillS = 0.0;
    std::int64_t rows = 0;
    std::int64_t pictures = 0;
    double readMs = 0.0;
    double previewMs = 0.0;
    int currentEvents = 0;
    int editedEvents = 0;
    double oneMovedMs = 0.0; // the preview of the first square moved alone
    int oneMovedEvents = 0;
};

// hours of the site written straight into the store, in the recorder's
// batches; settle runs before the preview (the server's housekeeping).
bool preview(SharedStore& shared, int hours, PreviewFigures& f,
             const std::function<void()>& settle = {}, bool written = false)
{
    const auto filling = std::chrono::steady_clock::now();
    const std::int64_t ticks = std::int64_t(hours) * hourMs / pictureMs;
    QString error;
    if (written)
        f.rows = ticks * previewObjects;
    const bool filled = written || shared.with([&](Store& s) {
        Batch batch;
        for (std::int64_t k = 0; k < ticks; ++k) {
            Picture p;
            p.timeMs = startMs + k * pictureMs;
            for (int i = 0; i < previewObjects; ++i)
                p.objects.append(walker(i, k));
            batch.pictures.append(p.timeMs);
            batch.objects += pictureRows(radarNames(), p, &geo());
            f.rows += p.objects.size();
            if (batch.size() + previewObjects + 1 > Recorder::batchRecords) {
                if (!s.write(batch, error))
                    return false;
                batch.clear();
            }
        }
        return s.write(batch, error);
    });
    if (!filled) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    f.fillS = msSince(filling) / 1000.0;
    if (settle)
        settle();
    QVector<trklib::sited::zones::Zone> current;
    if (!trklib::sited::zones::parseZones(previewZonesFile(0), geo(), current, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    ApiContext context;
    context.store = &shared;
    context.site = QStringLiteral("bench");
    context.geo = geo();
    context.currentZones = [&current] { return current; };
    // The preview of the zones file, timed (ms); its answer, empty on a failure.
    const auto timedPreview = [&](const QByteArray& zones, double& ms) {
        Request request;
        request.method = "POST";
        request.path = "/api/zones/preview";
        request.body = ("{\"hours\":" + QByteArray::number(hours) + ",\"geojson\":" + zones + "}")
                           .toStdString();
        const auto t = std::chrono::steady_clock::now();
        const Reply reply = handle(context, request);
        ms = msSince(t);
        if (reply.status != 200)
            std::fprintf(stderr, "%s\n", reply.body.constData());
        return reply.status == 200 ? QJsonDocument::fromJson(reply.body).object() : QJsonObject();
    };
    // The pictures read alone, as the preview reads them.
    const auto t = std::chrono::steady_clock::now();
    std::int64_t read = 0;
    const Store::PictureSink count = [&read](std::int64_t, const trklib::sited::zones::Sample*,
                                             int objects) { read += objects; };
    const std::int64_t endMs = startMs + std::int64_t(hours) * hourMs;
    for (std::int64_t from = startMs; from < endMs; from += previewSpanMs) {
        if (!shared.with([&](Store& s) {
                return s.pictures(from, from + previewSpanMs - 1, count, error);
            })) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return false;
        }
    }
    f.readMs = msSince(t);
    if (read != f.rows) {
        std::fprintf(stderr, "read %lld rows of %lld\n", static_cast<long long>(read),
                     static_cast<long long>(f.rows));
        return false;
    }
    const QJsonObject answer = timedPreview(previewZonesFile(10), f.previewMs);
    // What an admin who moves one zone waits for: the others are the zones
    // in force and are not played again.
    const QJsonObject one = timedPreview(previewZonesFile(10, true), f.oneMovedMs);
    if (answer.isEmpty() || one.isEmpty())
        return false;
    f.pictures = std::int64_t(answer[QLatin1String("pictures")].toDouble());
    f.currentEvents = answer[QLatin1String("current")][QLatin1String("total")].toInt();
    f.editedEvents = answer[QLatin1String("edited")][QLatin1String("total")].toInt();
    f.oneMovedEvents = one[QLatin1String("edited")][QLatin1String("total")].toInt();
    return true;
}

// The hours a kept database holds, in the file beside it; 0 when none.
int keptHours(const QString& hoursPath)
{
    QFile file(hoursPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

void keepHours(const QString& hoursPath, int hours)
{
    QFile file(hoursPath);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray::number(hours));
}

void print(const char* kind, int hours, const PreviewFigures& f)
{
    std::printf("%-10s %d h of %d objects at %d pictures/s (%lld rows) written in %.0f s\n", kind,
                hours, previewObjects, picturesPerS, static_cast<long long>(f.rows), f.fillS);
    std::printf("%-10s preview of %lld pictures, 9 zones and 2 lines each side: %.0f ms (%d "
                "events in force, %d edited); the pictures read alone: %.0f ms\n",
                kind, static_cast<long long>(f.pictures), f.previewMs, f.currentEvents,
                f.editedEvents, f.readMs);
    std::printf("%-10s preview with one square moved: %.0f ms (%d events edited)\n", kind,
                f.oneMovedMs, f.oneMovedEvents);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 60;
    int previewHours = 0;  // 0: the recording and the queries instead
    QString keep;          // where the preview's databases are kept
    const char* only = ""; // empty: both databases
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
        if (std::strcmp(argv[i], "--keep") == 0)
            keep = QString::fromLocal8Bit(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--preview-hours") == 0)
            previewHours = std::clamp(std::atoi(argv[i + 1]), 1, maxPreviewHours);
    }

    if (!keep.isEmpty())
        QDir().mkpath(keep);
    QTemporaryDir dir;
    QString error;
    if (std::strcmp(only, "postgresql") != 0) {
        const QString path = keep.isEmpty() ? dir.filePath(QStringLiteral("bench.sqlite"))
                                            : keep + QStringLiteral("/preview.sqlite");
        const QString hoursPath = path + QStringLiteral(".hours");
        const bool written = !keep.isEmpty() && keptHours(hoursPath) == previewHours;
        if (!keep.isEmpty() && !written) {
            for (const char* suffix : {"", "-wal", "-shm"})
                QFile::remove(path + QLatin1String(suffix));
        }
        auto store = Store::open(path, QStringLiteral("bench"), error);
        if (!store) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        SharedStore shared(std::move(store));
        const auto size = [&] {
            return double(QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size());
        };
        if (previewHours) {
            PreviewFigures f;
            if (!preview(shared, previewHours, f, {}, written))
                return 1;
            if (!keep.isEmpty() && !written)
                keepHours(hoursPath, previewHours);
            print("sqlite", previewHours, f);
        } else {
            Figures f;
            if (!record(shared, seconds, size, f) || !query(shared, f))
                return 1;
            print("sqlite", seconds, f);
        }
    }
    if (std::strcmp(only, "sqlite") == 0)
        return 0;
    if (!trklib::test::PostgresServer::available()) {
        std::printf("postgresql skipped: PostgreSQL 15's server is not installed\n");
        return 0;
    }
    QTemporaryDir pgDir;
    const QString pgPath = keep.isEmpty() ? pgDir.path() : keep + QStringLiteral("/postgresql");
    const QString pgHoursPath = pgPath + QStringLiteral(".hours");
    const bool pgWritten =
        previewHours && !keep.isEmpty() && keptHours(pgHoursPath) == previewHours;
    if (!keep.isEmpty() && !pgWritten) {
        QDir(pgPath).removeRecursively();
        QDir().mkpath(pgPath);
    }
    trklib::test::PostgresServer server(pgPath);
    if (!server.start(error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    auto store = Store::open(server.url(), QStringLiteral("bench"), error);
    if (!store) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    SharedStore shared(std::move(store));
    PGconn* sizes = PQconnectdb(server.url().toUtf8().constData());
    const auto size = [&] {
        PGresult* r = PQexec(sizes, "SELECT pg_database_size(current_database())");
        const double bytes =
            PQresultStatus(r) == PGRES_TUPLES_OK ? std::atof(PQgetvalue(r, 0, 0)) : 0;
        PQclear(r);
        return bytes;
    };
    // What autovacuum does to a table that only grows, at once: the pages
    // marked all-visible, so that a track is read from its index alone.
    const auto vacuum = [&] { PQclear(PQexec(sizes, "VACUUM (ANALYZE) objects")); };
    if (previewHours) {
        PreviewFigures f;
        const bool ok = preview(
            shared, previewHours, f,
            [&] {
                PQclear(PQexec(sizes, "VACUUM (ANALYZE) objects"));
                PQclear(PQexec(sizes, "VACUUM (ANALYZE) pictures"));
            },
            pgWritten);
        PQfinish(sizes);
        if (!ok)
            return 1;
        if (!keep.isEmpty() && !pgWritten)
            keepHours(pgHoursPath, previewHours);
        print("postgresql", previewHours, f);
        return 0;
    }
    Figures f;
    const bool ok = record(shared, seconds, size, f) && query(shared, f, vacuum);
    PQfinish(sizes);
    if (!ok)
        return 1;
    print("postgresql", seconds, f);
    return 0;
}

// The site's history under a large site's load: 16 radars x 50 objects at
// 10 pictures per second recorded through the recorder into SQLite and
// into PostgreSQL (a server of the benchmark's own on loopback), with the
// process's CPU per second of the site's time and the database's growth
// extrapolated to a day; then the two queries an operator asks most: one
// hour of events out of 30 days, and one object's track over a whole day.
//
//   historybench [--seconds N]    (default 60 s of the site's time)

#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historyrecorder.h"
#include "util/units.h"

#include "support/postgresserver.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <libpq-fe.h>

#include <sys/resource.h>

#include <chrono>
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(1, std::atoi(argv[i + 1]));

    QTemporaryDir dir;
    QString error;
    {
        const QString path = dir.filePath(QStringLiteral("bench.sqlite"));
        auto store = Store::open(path, QStringLiteral("bench"), error);
        if (!store) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        SharedStore shared(std::move(store));
        const auto size = [&] {
            return double(QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size());
        };
        Figures f;
        if (!record(shared, seconds, size, f) || !query(shared, f))
            return 1;
        print("sqlite", seconds, f);
    }
    if (!trklib::test::PostgresServer::available()) {
        std::printf("postgresql skipped: PostgreSQL 15's server is not installed\n");
        return 0;
    }
    QTemporaryDir pgDir;
    trklib::test::PostgresServer server(pgDir.path());
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
    Figures f;
    const bool ok = record(shared, seconds, size, f) && query(shared, f, vacuum);
    PQfinish(sizes);
    if (!ok)
        return 1;
    print("postgresql", seconds, f);
    return 0;
}

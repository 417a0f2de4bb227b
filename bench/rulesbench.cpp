// The zone rules' cost per picture: 500 objects walking about one zone of
// 200 corners, and about 50 zones and lines of a site. The pictures are
// made before the timing; each iteration evaluates one picture, and a fresh
// set of rules starts over the same pictures when they run out. The same
// again through the rules' replay, what the zones' preview plays.
#include "tools/sited/zones/replayrules.h"
#include "tools/sited/zones/rules.h"
#include "util/units.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

using namespace trklib::sited::zones;

namespace trklib::bench {
namespace {

using sited::Picture;
using sited::zones::Path;
using sited::zones::Point;
using sited::zones::Rules;
using sited::zones::Zone;

constexpr int objectCount = 500;
constexpr int pictureCount = 600; // a minute at 10 pictures a second
constexpr std::int64_t pictureStepMs = 100;
constexpr double areaM = 400.0; // objects roam a square of this side about the origin
constexpr double walkMps = 1.5;

Path starRing(Point centre, int corners, double radiusM, std::mt19937_64& random)
{
    std::uniform_real_distribution<double> scale(0.6, 1.0);
    Path ring;
    for (int i = 0; i < corners; ++i) {
        const double angle = 2.0 * M_PI * i / corners;
        const double r = radiusM * scale(random);
        ring.append({centre.x + r * std::cos(angle), centre.y + r * std::sin(angle)});
    }
    ring.append(ring.first());
    return ring;
}

const QVector<Picture>& pictures()
{
    static const QVector<Picture> all = [] {
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> place(-areaM / 2, areaM / 2);
        std::uniform_real_distribution<double> turn(0.0, 2.0 * M_PI);
        Picture picture;
        picture.timeMs = 1700000000000;
        for (int i = 0; i < objectCount; ++i) {
            sited::SiteObject o;
            o.id = i + 1;
            o.xM = place(random);
            o.yM = place(random);
            o.confirmed = true;
            picture.objects.append(o);
        }
        QVector<Picture> list;
        for (int p = 0; p < pictureCount; ++p) {
            picture.timeMs += pictureStepMs;
            for (sited::SiteObject& o : picture.objects) {
                const double heading = turn(random);
                o.vxMps = walkMps * std::cos(heading);
                o.vyMps = walkMps * std::sin(heading);
                o.xM += o.vxMps * pictureStepMs / util::msPerS;
                o.yM += o.vyMps * pictureStepMs / util::msPerS;
            }
            list.append(picture);
        }
        return list;
    }();
    return all;
}

void runRules(benchmark::State& state, const QVector<Zone>& zones)
{
    const QVector<Picture>& list = pictures();
    auto rules = std::make_unique<Rules>(zones);
    int next = 0;
    std::size_t events = 0;
    for (auto _ : state) {
        if (next == list.size()) {
            state.PauseTiming();
            rules = std::make_unique<Rules>(zones);
            next = 0;
            state.ResumeTiming();
        }
        events += rules->evaluate(list[next++]).size();
    }
    state.counters["events/picture"] = double(events) / double(state.iterations());
}

// The pictures as the replay takes them: each one's objects by id.
const std::vector<std::vector<Sample>>& samples()
{
    static const std::vector<std::vector<Sample>> all = [] {
        std::vector<std::vector<Sample>> list;
        for (const Picture& p : pictures()) {
            std::vector<Sample>& objects = list.emplace_back();
            for (const sited::SiteObject& o : p.objects)
                objects.push_back({o.id, o.xM, o.yM, util::groundSpeedKph(o.vxMps, o.vyMps),
                                   o.confirmed, o.objectClass});
        }
        return list;
    }();
    return all;
}

void runReplay(benchmark::State& state, const QVector<Zone>& zones)
{
    const std::vector<std::vector<Sample>>& list = samples();
    const QVector<Picture>& times = pictures();
    ReplayRules rules(zones);
    QVector<Event> out;
    std::size_t next = 0;
    std::size_t events = 0;
    for (auto _ : state) {
        if (next == list.size()) {
            rules.restart();
            next = 0;
        }
        rules.evaluate(times[int(next)].timeMs, list[next].data(), int(list[next].size()), out);
        events += std::size_t(out.size());
        ++next;
    }
    state.counters["events/picture"] = double(events) / double(state.iterations());
}

// One zone of 200 corners over most of the objects' square.
QVector<Zone> oneZoneOf200Corners()
{
    std::mt19937_64 random(1);
    Zone zone;
    zone.name = QStringLiteral("wide");
    zone.rings.append(starRing({0, 0}, 200, areaM / 2, random));
    zone.dwellS = 30.0;
    zone.speedLimitKph = 5.0;
    return {zone};
}

// 40 zones of 12 corners, radius 10 to 30 m, and 10 lines of 4 points
// spread over the square: a large site's set.
QVector<Zone> fiftyZonesAndLines()
{
    std::mt19937_64 random(2);
    std::uniform_real_distribution<double> place(-areaM / 2, areaM / 2);
    std::uniform_real_distribution<double> radius(10.0, 30.0);
    QVector<Zone> zones;
    for (int i = 0; i < 50; ++i) {
        Zone zone;
        zone.name = QStringLiteral("z%1").arg(i);
        const Point centre{place(random), place(random)};
        if (i < 40) {
            zone.rings.append(starRing(centre, 12, radius(random), random));
            zone.dwellS = 20.0;
            zone.speedLimitKph = 5.0;
        } else {
            zone.kind = Zone::Kind::Line;
            for (int k = 0; k < 4; ++k)
                zone.line.append({centre.x + 20.0 * k, centre.y + (k % 2 == 0 ? 0.0 : 15.0)});
        }
        zones.append(zone);
    }
    return zones;
}

void BM_RulesOneZoneOf200Corners(benchmark::State& state)
{
    runRules(state, oneZoneOf200Corners());
}
BENCHMARK(BM_RulesOneZoneOf200Corners)->Unit(benchmark::kMicrosecond);

void BM_Rules50ZonesAndLines(benchmark::State& state)
{
    runRules(state, fiftyZonesAndLines());
}
BENCHMARK(BM_Rules50ZonesAndLines)->Unit(benchmark::kMicrosecond);

void BM_ReplayOneZoneOf200Corners(benchmark::State& state)
{
    runReplay(state, oneZoneOf200Corners());
}
BENCHMARK(BM_ReplayOneZoneOf200Corners)->Unit(benchmark::kMicrosecond);

void BM_Replay50ZonesAndLines(benchmark::State& state)
{
    runReplay(state, fiftyZonesAndLines());
}
BENCHMARK(BM_Replay50ZonesAndLines)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace trklib::bench

BENCHMARK_MAIN();

// The cost of the self-alignment at a large site: sixteen radars on a ring
// 300 m out looking at its middle, fifty objects crossing it, every radar
// reporting 20 times a second and each report of an object giving a
// co-sighting with every other radar that sees it. After a window's worth
// of co-sightings, one estimate() a second for a minute: the line gives
// the share of one core that add() and estimate() take.
#include "tools/sited/align/aligner.h"
#include "util/units.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace trklib;
using namespace trklib::sited;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int radars = 16;
constexpr int objects = 50;
constexpr double ringM = 300.0;      // radars' distance from the middle, metres
constexpr double reachM = 250.0;     // farthest a radar sees, metres
constexpr double halfBeamDeg = 60.0; // degrees either side of its heading
constexpr double heightM = 6.0;
constexpr int reportsPerS = 20;
constexpr int warmUpS = 300; // the default window
constexpr int timedS = 60;

struct Radar
{
    double x, y, headingDeg;
};

std::vector<Radar> ring()
{
    std::vector<Radar> out;
    for (int r = 0; r < radars; ++r) {
        const double bearing = 360.0 * r / radars;
        const double a = bearing * util::radPerDeg;
        out.push_back(
            {ringM * std::sin(a), ringM * std::cos(a), std::fmod(bearing + 180.0, 360.0)});
    }
    return out;
}

// Object i at time t: straight across the ring at 10 m/s, back and forth.
void objectAt(int i, double t, double& x, double& y)
{
    const double a = 2.0 * M_PI * i / objects;
    const double along = std::fmod(10.0 * t + 23.0 * i, 400.0);
    const double s = (along < 200.0 ? along : 400.0 - along) - 100.0;
    x = s * std::cos(a) + 30.0 * std::sin(a);
    y = s * std::sin(a) - 30.0 * std::cos(a);
}

bool sight(const Radar& radar, int r, double x, double y, std::mt19937& rng, Sighting& s)
{
    const double dx = x - radar.x, dy = y - radar.y;
    const double ground = std::hypot(dx, dy);
    const double off =
        std::remainder(std::atan2(dx, dy) * util::degPerRad - radar.headingDeg, 360.0);
    if (ground > reachM || std::abs(off) > halfBeamDeg)
        return false;
    std::normal_distribution<double> noise(0.0, 0.3);
    s.radar = r;
    s.xM = x + noise(rng);
    s.yM = y + noise(rng);
    s.groundRangeM = std::hypot(s.xM - radar.x, s.yM - radar.y);
    s.slantRangeM = std::hypot(s.groundRangeM, heightM - 1.0);
    s.covXX = s.covYY = 0.09;
    return true;
}

// Every co-sighting of one second.
std::vector<CoSighting> second(const std::vector<Radar>& site, int s, std::mt19937& rng)
{
    std::vector<CoSighting> out;
    for (int tick = 0; tick < reportsPerS; ++tick) {
        const double t = s + double(tick) / reportsPerS;
        for (int i = 0; i < objects; ++i) {
            double x, y;
            objectAt(i, t, x, y);
            for (int a = 0; a < radars; ++a) {
                CoSighting c;
                c.timeMs = std::int64_t(t * util::msPerS);
                c.objectId = i + 1;
                if (!sight(site[a], a, x, y, rng, c.a))
                    continue;
                for (int b = 0; b < radars; ++b)
                    if (b != a && sight(site[b], b, x, y, rng, c.b))
                        out.push_back(c);
            }
        }
    }
    return out;
}

} // namespace

int main()
{
    const std::vector<Radar> site = ring();
    align::Settings settings;
    for (const Radar& r : site)
        settings.radars.append({r.x, r.y, heightM});
    align::Aligner aligner(settings);
    std::mt19937 rng(1);
    for (int s = 0; s < warmUpS; ++s)
        for (const CoSighting& c : second(site, s, rng))
            aligner.add(c);
    double addS = 0.0, estimateS = 0.0;
    std::int64_t used = 0;
    int observable = 0;
    std::size_t added = 0;
    for (int s = warmUpS; s < warmUpS + timedS; ++s) {
        const std::vector<CoSighting> batch = second(site, s, rng);
        added += batch.size();
        const auto start = Clock::now();
        for (const CoSighting& c : batch)
            aligner.add(c);
        const auto between = Clock::now();
        const QVector<align::RadarEstimate> found = aligner.estimate(std::int64_t(s + 1) * 1000);
        const auto end = Clock::now();
        used = 0;
        observable = 0;
        for (const align::RadarEstimate& e : found) {
            used += e.coSightings;
            observable += e.observable;
        }
        addS += std::chrono::duration<double>(between - start).count();
        estimateS += std::chrono::duration<double>(end - between).count();
    }
    std::printf("%d radars (%d observable), %d objects, %zu co-sightings/s, %lld in the "
                "window: add() %.3f %% and estimate() %.2f %% of a core\n",
                radars, observable, objects, added / timedS, (long long)(used / 2),
                100.0 * addS / timedS, 100.0 * estimateS / timedS);
    return 0;
}

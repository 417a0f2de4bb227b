// The cost of the site's fusion as the number of objects grows: 100, 400
// and 1600 objects spread at one density (a walker or vehicle every 20 m),
// each seen by two radars at right angles that both report every 100 ms.
// One line per size: microseconds of two reports' add() and one picture().
#include "tools/sited/fusion/fusion.h"
#include "tools/sited/pipeline.h"
#include "util/units.h"

#include <chrono>
#include <cmath>
#include <cstdio>

using namespace trklib::sited::fusion;

namespace {

using Clock = std::chrono::steady_clock;
using namespace trklib;

constexpr double spacingM = 20.0;
constexpr double speedMps = 5.0;
constexpr std::int64_t periodMs = 100;
constexpr int warmUpCycles = 20;
constexpr int timedCycles = 300;

site::SiteConfig siteFor(double halfWidthM)
{
    site::SiteConfig c;
    c.name = QStringLiteral("bench");
    for (int i = 0; i < 2; ++i) {
        site::RadarEntry r;
        r.name = QStringLiteral("r%1").arg(i);
        r.placement = i == 0 ? util::RadarPlacement{-halfWidthM - 100.0, 0.0, 90.0}
                             : util::RadarPlacement{0.0, -halfWidthM - 100.0, 0.0};
        r.mounting.height = 6.0;
        c.radars.append(r);
    }
    return c;
}

// Every object of the lattice as radar r sees it at time t: moving east,
// odd rows west, so that neighbours pass each other.
sited::TracksReport reportOf(const site::SiteConfig& c, int r, int side, std::int64_t t)
{
    sited::TracksReport report;
    report.radar = r;
    report.receivedMs = report.timestampMs = t;
    const double origin = -0.5 * spacingM * (side - 1);
    const auto& radar = c.radars[r].placement;
    for (int i = 0; i < side * side; ++i) {
        const double vx = (i / side) % 2 ? -speedMps : speedMps;
        const double x = origin + spacingM * (i % side) + vx * double(t) / util::msPerS;
        const double y = origin + spacingM * (i / side);
        const double dx = x - radar.x, dy = y - radar.y;
        const double range = std::hypot(dx, dy);
        sited::RadarTrack track;
        track.number = i + 1;
        track.xM = x;
        track.yM = y;
        track.distanceM = std::hypot(range, 5.0);
        track.velocityKph = dx / range * vx * util::kphPerMps;
        track.confirmed = true;
        report.targets.append(track);
    }
    return report;
}

double microsecondsPerPicture(int side)
{
    const site::SiteConfig c = siteFor(0.5 * spacingM * side);
    sited::fusion::Fusion fusion(sited::fusionSettings(c));
    double total = 0.0;
    int objects = 0;
    for (int cycle = 0; cycle < warmUpCycles + timedCycles; ++cycle) {
        const std::int64_t t = cycle * periodMs;
        // Built outside the timing.
        const sited::TracksReport first = reportOf(c, 0, side, t);
        const sited::TracksReport second = reportOf(c, 1, side, t + periodMs / 2);
        const auto start = Clock::now();
        fusion.add(first);
        fusion.add(second);
        objects = fusion.picture(t + periodMs / 2).objects.size();
        const auto end = Clock::now();
        if (cycle >= warmUpCycles)
            total += std::chrono::duration<double, std::micro>(end - start).count();
    }
    if (objects != side * side)
        std::fprintf(stderr, "fusion_bench: %d objects where %d were meant\n", objects,
                     side * side);
    return total / timedCycles;
}

} // namespace

int main()
{
    for (const int side : {10, 20, 40}) {
        const double us = microsecondsPerPicture(side);
        std::printf("%5d objects, 2 radars: %8.1f us per picture (%.2f us per object)\n",
                    side * side, us, us / (side * side));
    }
    return 0;
}

#include "tools/common/sim/siteworld.h"

#include "util/util.h"

#include <cmath>

namespace trklib::sim {

namespace {

// A share of the sites' vehicles are trucks.
constexpr double truckShare = 0.1;

Path vehicles(Path p, double minKph, double maxKph, double meanHeadwayS, double minHeadwayS)
{
    return vehiclePath(p, minKph, maxKph, truckShare, meanHeadwayS, minHeadwayS);
}

} // namespace

QStringList siteSceneNames()
{
    return {QStringLiteral("junction"), QStringLiteral("perimeter")};
}

Scene siteScene(const QString& name, quint64 seed)
{
    if (name == QLatin1String("junction"))
        return junctionScene(seed);
    if (name == QLatin1String("perimeter"))
        return perimeterScene(seed);
    return Scene({}, seed);
}

// Each road's four lanes keep to speed bands of their own: a radar on an
// arm sees the two directions approach and recede along its beam, and
// vehicles of equal radial speed would share their Doppler cells.
Scene junctionScene(quint64 seed)
{
    constexpr double roadHalfLengthM = 300.0;
    constexpr double innerLaneM = 1.75;
    constexpr double outerLaneM = 5.25;
    constexpr double sidewalkM = 7.5;
    constexpr double vehicleMeanHeadwayS = 14.0;
    constexpr double vehicleMinHeadwayS = 3.0;
    constexpr double walkerMeanHeadwayS = 150.0;
    constexpr double walkerMinHeadwayS = 20.0;
    QVector<Path> paths;
    for (const double roadDeg : {0.0, 90.0}) {
        const double backDeg = roadDeg + 180.0;
        paths << vehicles(straightPath(0, 0, roadDeg, outerLaneM, roadHalfLengthM), 30, 42,
                          vehicleMeanHeadwayS, vehicleMinHeadwayS)
              << vehicles(straightPath(0, 0, roadDeg, innerLaneM, roadHalfLengthM), 56, 68,
                          vehicleMeanHeadwayS, vehicleMinHeadwayS)
              << vehicles(straightPath(0, 0, backDeg, outerLaneM, roadHalfLengthM), 43, 55,
                          vehicleMeanHeadwayS, vehicleMinHeadwayS)
              << vehicles(straightPath(0, 0, backDeg, innerLaneM, roadHalfLengthM), 69, 80,
                          vehicleMeanHeadwayS, vehicleMinHeadwayS);
        // Both directions on both sides: offsets to the right and the left.
        for (const double sideM : {sidewalkM, -sidewalkM}) {
            paths << walkerPath(straightPath(0, 0, roadDeg, sideM, roadHalfLengthM), 3, 5,
                                walkerMeanHeadwayS, walkerMinHeadwayS)
                  << walkerPath(straightPath(0, 0, backDeg, sideM, roadHalfLengthM), 5, 7,
                                walkerMeanHeadwayS, walkerMinHeadwayS);
        }
    }
    return Scene(paths, seed);
}

// The crossings are drawn from a stream of the seed of their own, apart
// from the streams of the paths (numbered from 0).
Scene perimeterScene(quint64 seed)
{
    constexpr double fenceHalfLengthM = 300.0;
    constexpr double roadY = 8.0;
    constexpr double roadLaneM = 1.5; // each direction's lane from the road's centre
    constexpr double outsideWalkY = -5.0;
    constexpr double insideWalkY = 4.0;
    constexpr double walkLaneM = 0.5; // each direction's line from the walk's centre
    constexpr int crossings = 12;
    constexpr double crossingHalfLengthM = 25.0;
    constexpr double crossingMinAngleDeg = 30.0; // to the fence line
    constexpr double crossingMarginM = 20.0;     // from the fence's ends
    constexpr quint64 layoutStream = 7001;

    QVector<Path> paths;
    paths << vehicles(straightPath(0, roadY, 0, roadLaneM, fenceHalfLengthM), 20, 30, 40, 15)
          << vehicles(straightPath(0, roadY, 180, roadLaneM, fenceHalfLengthM), 32, 42, 40, 15);
    for (const double walkY : {outsideWalkY, insideWalkY}) {
        paths << walkerPath(straightPath(0, walkY, 0, walkLaneM, fenceHalfLengthM), 3, 5, 60, 15)
              << walkerPath(straightPath(0, walkY, 180, walkLaneM, fenceHalfLengthM), 5, 7, 60, 15);
    }
    SimRandom layout(streamSeed(seed, layoutStream));
    for (int i = 0; i < crossings; ++i) {
        const double x =
            layout.uniform(-fenceHalfLengthM + crossingMarginM, fenceHalfLengthM - crossingMarginM);
        double headingDeg = layout.uniform(crossingMinAngleDeg, 180.0 - crossingMinAngleDeg);
        if (layout.chance(0.5))
            headingDeg += 180.0; // from the inside out
        paths << walkerPath(straightPath(x, 0, headingDeg, 0, crossingHalfLengthM), 3, 7, 60, 20);
    }
    return Scene(paths, seed);
}

ObjectState inRadarFrame(const ObjectState& object, const util::RadarPlacement& placement)
{
    // sitePosition() turns (x, y) into (x s - y c, x c + y s) around the
    // radar's place; its transpose turns back.
    const double s = std::sin(util::degToRad(placement.headingDeg));
    const double c = std::cos(util::degToRad(placement.headingDeg));
    const double dx = object.x - placement.x;
    const double dy = object.y - placement.y;
    ObjectState o = object;
    o.x = dx * s + dy * c;
    o.y = -dx * c + dy * s;
    o.vx = object.vx * s + object.vy * c;
    o.vy = -object.vx * c + object.vy * s;
    return o;
}

} // namespace trklib::sim

#include "tools/common/sim/siteworld.h"

#include "util/util.h"

#include <cmath>

namespace trklib::sim {

namespace {

using K = ObjectKind;

// The kinds with their shares on a path and their speed band, km/h, before
// the tuning.
struct Mix
{
    ObjectKind kind;
    double share;
    double minKph;
    double maxKph;
};

// Gaps between two objects of one path at every instant, metres.
constexpr double vehicleGapM = 12.0;
constexpr double walkerGapM = 3.0;
constexpr double animalGapM = 10.0;

Path mixed(Path p, const QVector<Mix>& mix, const KindTuning& tuning, double meanHeadwayS,
           double minHeadwayS, double minGapM)
{
    QVector<KindShare> shares;
    for (const Mix& m : mix) {
        const double scale = tuning.scaleOf(m.kind);
        shares.append(
            {m.kind, m.share, m.minKph * scale, m.maxKph * scale, tuning.offsetDbOf(m.kind)});
    }
    return mixedPath(p, shares, meanHeadwayS, minHeadwayS, minGapM);
}

// A road lane of the band minKph to maxKph: mostly cars, a few trucks
// (slower) and buses on the outer lanes, a few motorcycles.
QVector<Mix> traffic(double minKph, double maxKph, bool outer)
{
    const double heavyKph = qMin(maxKph, qMax(minKph + 5.0, 60.0));
    if (!outer)
        return {{K::Car, 0.93, minKph, maxKph}, {K::Motorcycle, 0.07, minKph, maxKph}};
    return {{K::Car, 0.80, minKph, maxKph},
            {K::Truck, 0.10, minKph, heavyKph},
            {K::Bus, 0.05, minKph, heavyKph},
            {K::Motorcycle, 0.05, minKph, maxKph}};
}

} // namespace

// A name both of a kind and of its class (person, car, truck) counts once.
double KindTuning::offsetDbOf(ObjectKind kind) const
{
    const QString name = siteKindName(kind);
    const QString className = kindClassName(kind);
    return rcsOffsetDb.value(QString()) + rcsOffsetDb.value(name) +
           (className != name ? rcsOffsetDb.value(className) : 0.0);
}

double KindTuning::scaleOf(ObjectKind kind) const
{
    const QString name = siteKindName(kind);
    const QString className = kindClassName(kind);
    return speedScale.value(QString(), 1.0) * speedScale.value(name, 1.0) *
           (className != name ? speedScale.value(className, 1.0) : 1.0);
}

QStringList siteSceneNames()
{
    return {QStringLiteral("junction"), QStringLiteral("perimeter")};
}

QStringList siteKindNames()
{
    return {"person", "cyclist", "motorcycle", "car", "truck", "bus", "dog", "deer"};
}

QStringList siteClassNames()
{
    return {"person", "two-wheeler", "car", "truck", "animal"};
}

Scene siteScene(const QString& name, quint64 seed, const KindTuning& tuning)
{
    if (name == QLatin1String("junction"))
        return junctionScene(seed, tuning);
    if (name == QLatin1String("perimeter"))
        return perimeterScene(seed, tuning);
    return Scene({}, seed);
}

// Each road's four lanes keep to speed bands of their own: a radar on an
// arm sees the two directions approach and recede along its beam, and
// vehicles of equal radial speed would share their Doppler cells.
Scene junctionScene(quint64 seed, const KindTuning& tuning)
{
    constexpr double roadHalfLengthM = 300.0;
    constexpr double innerLaneM = 1.75;
    constexpr double outerLaneM = 5.25;
    constexpr double cycleLaneM = 6.5;
    constexpr double sidewalkM = 7.5;
    constexpr double vehicleMeanHeadwayS = 14.0;
    constexpr double vehicleMinHeadwayS = 3.0;
    constexpr double cyclistMeanHeadwayS = 150.0;
    constexpr double cyclistMinHeadwayS = 20.0;
    // Longer than before the cycle lanes, so that as many objects share the
    // junction.
    constexpr double walkerMeanHeadwayS = 180.0;
    constexpr double walkerMinHeadwayS = 20.0;
    const auto lane = [&](double headingDeg, double offsetM, const QVector<Mix>& mix, double meanS,
                          double minS, double gapM) {
        return mixed(straightPath(0, 0, headingDeg, offsetM, roadHalfLengthM), mix, tuning, meanS,
                     minS, gapM);
    };
    QVector<Path> paths;
    for (const double roadDeg : {0.0, 90.0}) {
        const double backDeg = roadDeg + 180.0;
        paths << lane(roadDeg, outerLaneM, traffic(30, 42, true), vehicleMeanHeadwayS,
                      vehicleMinHeadwayS, vehicleGapM)
              << lane(roadDeg, innerLaneM, traffic(56, 68, false), vehicleMeanHeadwayS,
                      vehicleMinHeadwayS, vehicleGapM)
              << lane(backDeg, outerLaneM, traffic(43, 55, true), vehicleMeanHeadwayS,
                      vehicleMinHeadwayS, vehicleGapM)
              << lane(backDeg, innerLaneM, traffic(69, 80, false), vehicleMeanHeadwayS,
                      vehicleMinHeadwayS, vehicleGapM);
        for (const double headingDeg : {roadDeg, backDeg}) {
            paths << lane(headingDeg, cycleLaneM, {{K::Cyclist, 1.0, 12, 28}}, cyclistMeanHeadwayS,
                          cyclistMinHeadwayS, walkerGapM);
        }
        // Both directions on both sides: offsets to the right and the left.
        for (const double sideM : {sidewalkM, -sidewalkM}) {
            paths << lane(roadDeg, sideM, {{K::Pedestrian, 1.0, 3, 5}}, walkerMeanHeadwayS,
                          walkerMinHeadwayS, walkerGapM)
                  << lane(backDeg, sideM, {{K::Pedestrian, 1.0, 5, 7}}, walkerMeanHeadwayS,
                          walkerMinHeadwayS, walkerGapM);
        }
    }
    return Scene(paths, seed);
}

// The crossings are drawn from a stream of the seed of their own, apart
// from the streams of the paths (numbered from 0).
Scene perimeterScene(quint64 seed, const KindTuning& tuning)
{
    constexpr double fenceHalfLengthM = 300.0;
    constexpr double roadY = 8.0;
    constexpr double roadLaneM = 1.5; // each direction's lane from the road's centre
    constexpr double outsideWalkY = -5.0;
    constexpr double insideWalkY = 4.0;
    constexpr double runnersY = 2.0;
    constexpr double walkLaneM = 0.5; // each direction's line from the walk's centre
    constexpr int crossings = 12;     // every other one of animals
    constexpr double crossingHalfLengthM = 25.0;
    constexpr double animalHalfLengthM = 60.0;
    constexpr double crossingMinAngleDeg = 30.0; // to the fence line
    constexpr double crossingMarginM = 20.0;     // from the fence's ends
    constexpr quint64 layoutStream = 7001;

    const auto line = [&](double y, double headingDeg, const QVector<Mix>& mix, double meanS,
                          double minS, double gapM) {
        return mixed(
            straightPath(0, y, headingDeg, y == roadY ? roadLaneM : walkLaneM, fenceHalfLengthM),
            mix, tuning, meanS, minS, gapM);
    };
    QVector<Path> paths;
    paths << line(roadY, 0,
                  {{K::Car, 0.7, 20, 30},
                   {K::Truck, 0.1, 20, 30},
                   {K::Motorcycle, 0.1, 20, 30},
                   {K::Cyclist, 0.1, 15, 25}},
                  40, 15, vehicleGapM)
          << line(roadY, 180,
                  {{K::Car, 0.8, 32, 42}, {K::Truck, 0.1, 32, 40}, {K::Motorcycle, 0.1, 32, 42}},
                  40, 15, vehicleGapM);
    for (const double walkY : {outsideWalkY, insideWalkY}) {
        paths << line(walkY, 0, {{K::Pedestrian, 1.0, 3, 5}}, 60, 15, walkerGapM)
              << line(walkY, 180, {{K::Pedestrian, 1.0, 5, 7}}, 60, 15, walkerGapM);
    }
    paths << line(runnersY, 0, {{K::Pedestrian, 1.0, 8, 11}}, 300, 60, walkerGapM)
          << line(runnersY, 180, {{K::Pedestrian, 1.0, 11, 15}}, 300, 60, walkerGapM);
    SimRandom layout(streamSeed(seed, layoutStream));
    for (int i = 0; i < crossings; ++i) {
        const double x =
            layout.uniform(-fenceHalfLengthM + crossingMarginM, fenceHalfLengthM - crossingMarginM);
        double headingDeg = layout.uniform(crossingMinAngleDeg, 180.0 - crossingMinAngleDeg);
        if (layout.chance(0.5))
            headingDeg += 180.0; // from the inside out
        if (i % 2 == 0) {
            paths << mixed(straightPath(x, 0, headingDeg, 0, crossingHalfLengthM),
                           {{K::Pedestrian, 1.0, 3, 7}}, tuning, 60, 20, walkerGapM);
        } else {
            paths << mixed(straightPath(x, 0, headingDeg, 0, animalHalfLengthM),
                           {{K::Dog, 0.5, 4, 30}, {K::Deer, 0.5, 4, 45}}, tuning, 150, 40,
                           animalGapM);
        }
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
    o.headingX = object.headingX * s + object.headingY * c;
    o.headingY = -object.headingX * c + object.headingY * s;
    return o;
}

} // namespace trklib::sim

#include "tools/common/sim/scene.h"

#include "util/units.h"
#include "util/util.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trklib::sim {

using util::mpsPerKph;

namespace {

// Reflector heights above the ground and radar cross-sections.
constexpr double carHeightM = 0.8;
constexpr double truckHeightM = 1.5;
constexpr double pedestrianHeightM = 1.0;
constexpr double carMinRcsDbsm = 8.0;
constexpr double carMaxRcsDbsm = 12.0;
constexpr double truckMinRcsDbsm = 18.0;
constexpr double truckMaxRcsDbsm = 22.0;
constexpr double pedestrianMinRcsDbsm = -1.0;
constexpr double pedestrianMaxRcsDbsm = 1.0;
constexpr double truckMaxKph = 80.0;

// Lane centres of a two-by-two road along x, metres from the radar. Traffic
// keeps to the right: receding vehicles (moving to +x) drive at negative y.
constexpr double innerLaneY = 1.75;
constexpr double outerLaneY = 5.25;
constexpr double sidewalkY = 5.5;
// Where the road starts and ends: behind the radar, and beyond its range.
constexpr double roadNearX = -20.0;
constexpr double roadFarX = 330.0;
constexpr double roadLengthM = roadFarX - roadNearX;

// Speeds of one path keep apart from this many speeds before them.
constexpr int rememberedSpeeds = 3;
constexpr int maxSpeedDraws = 20;
constexpr double vehicleSpeedGapKph = 2.0;
constexpr double pedestrianSpeedGapKph = 0.5;

// How far ahead objects are drawn at a time.
constexpr double generationChunkS = 60.0;

Path vehicleLane(double y, bool receding, double minKph, double maxKph, double truckShare,
                 double meanHeadwayS, double minHeadwayS)
{
    Path p;
    p.startX = receding ? roadNearX : roadFarX;
    p.startY = y;
    p.headingDeg = receding ? 0.0 : 180.0;
    p.lengthM = roadLengthM;
    return vehiclePath(p, minKph, maxKph, truckShare, meanHeadwayS, minHeadwayS);
}

// A lane of a straight road through (centreX, centreY) at the given heading,
// offset to the right of the direction of travel, halfLength metres on
// either side of the centre.
Path crossingLane(double centreX, double centreY, double headingDeg, double offsetM,
                  double halfLengthM, double minKph, double maxKph)
{
    constexpr double truckShare = 0.1;
    constexpr double meanHeadwayS = 10.0;
    constexpr double minHeadwayS = 5.0;
    return vehiclePath(straightPath(centreX, centreY, headingDeg, offsetM, halfLengthM), minKph,
                       maxKph, truckShare, meanHeadwayS, minHeadwayS);
}

Path sidewalk(double y, bool receding, double nearX, double lengthM, double minKph, double maxKph)
{
    constexpr double meanHeadwayS = 30.0;
    constexpr double minHeadwayS = 10.0;
    Path p;
    p.startX = receding ? nearX : nearX + lengthM;
    p.startY = y;
    p.headingDeg = receding ? 0.0 : 180.0;
    p.lengthM = lengthM;
    return walkerPath(p, minKph, maxKph, meanHeadwayS, minHeadwayS);
}

} // namespace

Path straightPath(double centreX, double centreY, double headingDeg, double offsetM,
                  double halfLengthM)
{
    const double ux = std::cos(util::degToRad(headingDeg));
    const double uy = std::sin(util::degToRad(headingDeg));
    Path p;
    // The right-hand normal of the heading is (uy, -ux).
    p.startX = centreX + offsetM * uy - halfLengthM * ux;
    p.startY = centreY - offsetM * ux - halfLengthM * uy;
    p.headingDeg = headingDeg;
    p.lengthM = 2.0 * halfLengthM;
    return p;
}

Path vehiclePath(Path p, double minKph, double maxKph, double truckShare, double meanHeadwayS,
                 double minHeadwayS)
{
    p.minKph = minKph;
    p.maxKph = maxKph;
    p.truckShare = truckShare;
    p.meanHeadwayS = meanHeadwayS;
    p.minHeadwayS = minHeadwayS;
    p.minSpeedGapKph = vehicleSpeedGapKph;
    return p;
}

Path walkerPath(Path p, double minKph, double maxKph, double meanHeadwayS, double minHeadwayS)
{
    p.minKph = minKph;
    p.maxKph = maxKph;
    p.pedestrians = true;
    p.meanHeadwayS = meanHeadwayS;
    p.minHeadwayS = minHeadwayS;
    p.minSpeedGapKph = pedestrianSpeedGapKph;
    return p;
}

QString kindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Car:
        return QStringLiteral("car");
    case ObjectKind::Truck:
        return QStringLiteral("truck");
    case ObjectKind::Pedestrian:
        return QStringLiteral("pedestrian");
    }
    return QString();
}

QStringList Scene::names()
{
    return {QStringLiteral("road"), QStringLiteral("crossing"), QStringLiteral("pedestrians"),
            QStringLiteral("highway")};
}

Scene Scene::byName(const QString& name, quint64 seed)
{
    if (name == QLatin1String("road"))
        return road(seed);
    if (name == QLatin1String("crossing"))
        return crossing(seed);
    if (name == QLatin1String("pedestrians"))
        return pedestrians(seed);
    if (name == QLatin1String("highway"))
        return highway(seed);
    return Scene({}, seed);
}

// Two lanes each way along the boresight: a faster inner lane and a slower
// outer lane with trucks. Each lane has its own speed band: an approaching
// and a receding vehicle of equal speed would share their Doppler cells, and
// the weaker one would stay hidden for as long as both are in the beam.
Scene Scene::road(quint64 seed)
{
    return Scene({vehicleLane(-outerLaneY, true, 30.0, 45.0, 0.3, 7.0, 3.0),
                  vehicleLane(-innerLaneY, true, 64.0, 80.0, 0.05, 8.0, 3.0),
                  vehicleLane(innerLaneY, false, 82.0, 100.0, 0.0, 8.0, 3.0),
                  vehicleLane(outerLaneY, false, 47.0, 62.0, 0.3, 7.0, 3.0)},
                 seed);
}

// One lane each way along the boresight, and a second road that crosses the
// beam 100 m out at 60 degrees to it, one lane each way.
Scene Scene::crossing(quint64 seed)
{
    constexpr double crossingX = 100.0;
    constexpr double crossingAngleDeg = 60.0;
    constexpr double crossingHalfLengthM = 70.0;
    return Scene({vehicleLane(-innerLaneY, true, 50.0, 65.0, 0.2, 9.0, 3.0),
                  vehicleLane(innerLaneY, false, 70.0, 90.0, 0.2, 9.0, 3.0),
                  crossingLane(crossingX, 0.0, 180.0 - crossingAngleDeg, innerLaneY,
                               crossingHalfLengthM, 35.0, 45.0),
                  crossingLane(crossingX, 0.0, 360.0 - crossingAngleDeg, innerLaneY,
                               crossingHalfLengthM, 47.0, 55.0)},
                 seed);
}

// Walkers on the sidewalks of a quiet two-lane road, and now and then a car.
// As on the road, the two directions keep to different speed bands.
Scene Scene::pedestrians(quint64 seed)
{
    constexpr double sidewalkNearX = 15.0;
    constexpr double sidewalkLengthM = 100.0;
    return Scene({sidewalk(-sidewalkY, true, sidewalkNearX, sidewalkLengthM, 3.0, 4.5),
                  sidewalk(sidewalkY, false, sidewalkNearX, sidewalkLengthM, 5.5, 7.5),
                  vehicleLane(-innerLaneY, true, 30.0, 40.0, 0.0, 25.0, 8.0),
                  vehicleLane(innerLaneY, false, 42.0, 50.0, 0.0, 25.0, 8.0)},
                 seed);
}

// Four lanes each way along the boresight in dense traffic: about twenty
// vehicles in the beam at a time. Each lane has its own speed band, as on
// the road, so that no two vehicles share a Doppler cell for long.
Scene Scene::highway(quint64 seed)
{
    constexpr double laneWidthM = 3.5;
    constexpr int lanesEachWay = 4;
    // Speed bands, km/h, from the outer lane inwards.
    constexpr double recedingKph[lanesEachWay][2] = {{30, 41}, {56, 67}, {82, 93}, {108, 119}};
    constexpr double approachingKph[lanesEachWay][2] = {{43, 54}, {69, 80}, {95, 106}, {121, 132}};
    constexpr double meanHeadwayS = 5.0;
    constexpr double minHeadwayS = 2.0;
    QVector<Path> lanes;
    for (int i = 0; i < lanesEachWay; ++i) {
        const double y = (lanesEachWay - i - 0.5) * laneWidthM;
        const double truckShare = i == 0 ? 0.3 : 0.05;
        lanes.append(vehicleLane(-y, true, recedingKph[i][0], recedingKph[i][1], truckShare,
                                 meanHeadwayS, minHeadwayS));
        lanes.append(vehicleLane(y, false, approachingKph[i][0], approachingKph[i][1], truckShare,
                                 meanHeadwayS, minHeadwayS));
    }
    return Scene(lanes, seed);
}

Scene::Scene(const QVector<Path>& paths, quint64 seed) : paths_(paths), seed_(seed)
{
    for (int i = 0; i < paths_.size(); ++i) {
        states_.append(PathState(streamSeed(seed, quint64(i))));
        // Start early enough that the slowest object could have crossed the
        // whole path by time 0.
        const Path& p = paths_[i];
        const double warmupS = p.lengthM / (p.minKph * mpsPerKph);
        const double firstEntryS = -warmupS + states_[i].random.exponential(p.meanHeadwayS);
        states_[i].next = draw(i, firstEntryS, -std::numeric_limits<double>::infinity());
    }
    horizonS_ = -std::numeric_limits<double>::infinity();
    forgottenBeforeS_ = -std::numeric_limits<double>::infinity();
}

Scene::Traveller Scene::draw(int path, double earliestEntryS, double previousExitS)
{
    const Path& p = paths_[path];
    SimRandom& random = states_[path].random;
    Traveller t;
    t.path = path;
    if (p.pedestrians)
        t.kind = ObjectKind::Pedestrian;
    else
        t.kind = random.chance(p.truckShare) ? ObjectKind::Truck : ObjectKind::Car;
    double maxKph = p.maxKph;
    if (t.kind == ObjectKind::Truck)
        maxKph = qMax(p.minKph, qMin(p.maxKph, truckMaxKph));
    // A few draws to find a speed that keeps its distance from the speeds of
    // the objects before it; the band is wide enough that this almost always
    // succeeds, and the last draw is taken if not.
    QVector<double>& recent = states_[path].recentKph;
    double kph = 0.0;
    for (int attempt = 0; attempt < maxSpeedDraws; ++attempt) {
        kph = random.uniform(p.minKph, maxKph);
        const bool apart = std::all_of(recent.cbegin(), recent.cend(), [&](double other) {
            return std::abs(kph - other) >= p.minSpeedGapKph;
        });
        if (apart)
            break;
    }
    recent.append(kph);
    if (recent.size() > rememberedSpeeds)
        recent.removeFirst();
    t.speedMps = kph * mpsPerKph;
    switch (t.kind) {
    case ObjectKind::Car:
        t.rcsDbsm = random.uniform(carMinRcsDbsm, carMaxRcsDbsm);
        t.heightM = carHeightM;
        break;
    case ObjectKind::Truck:
        t.rcsDbsm = random.uniform(truckMinRcsDbsm, truckMaxRcsDbsm);
        t.heightM = truckHeightM;
        break;
    case ObjectKind::Pedestrian:
        t.rcsDbsm = random.uniform(pedestrianMinRcsDbsm, pedestrianMaxRcsDbsm);
        t.heightM = pedestrianHeightM;
        break;
    }
    // Entering and leaving at least one headway after the one in front keeps
    // the gap along the whole path, since both travel at constant speed.
    t.travelS = p.lengthM / t.speedMps;
    t.entryS = qMax(earliestEntryS, previousExitS + p.minHeadwayS - t.travelS);
    return t;
}

void Scene::generateUntil(double horizonS)
{
    // Release the drawn objects in order of entry (the lower path first on a
    // tie), so that the numbering does not depend on how far ahead a call
    // looked.
    while (!states_.isEmpty()) {
        int first = 0;
        for (int i = 1; i < states_.size(); ++i) {
            if (states_[i].next.entryS < states_[first].next.entryS)
                first = i;
        }
        Traveller released = states_[first].next;
        if (released.entryS > horizonS)
            break;
        if (released.exitS() >= 0.0) { // gone before the start: never seen, not numbered
            released.id = nextId_++;
            travellers_.append(released);
        }
        const Path& p = paths_[first];
        const double gapS = qMax(p.minHeadwayS, states_[first].random.exponential(p.meanHeadwayS));
        states_[first].next = draw(first, released.entryS + gapS, released.exitS());
    }
    horizonS_ = horizonS;
}

QVector<ObjectState> Scene::objectsAt(double timeS)
{
    // Objects that left before an earlier question have been dropped: a
    // step back in time draws the scene again from its seed, which gives
    // the same objects.
    if (timeS < forgottenBeforeS_)
        *this = Scene(paths_, seed_);
    if (timeS > horizonS_)
        generateUntil(timeS + generationChunkS);
    // Objects gone by now stay gone at every later time.
    travellers_.erase(std::remove_if(travellers_.begin(), travellers_.end(),
                                     [&](const Traveller& t) { return t.exitS() < timeS; }),
                      travellers_.end());
    forgottenBeforeS_ = qMax(forgottenBeforeS_, timeS);
    QVector<ObjectState> objects;
    for (const Traveller& t : qAsConst(travellers_)) {
        if (t.entryS > timeS)
            continue;
        const Path& p = paths_[t.path];
        const double ux = std::cos(util::degToRad(p.headingDeg));
        const double uy = std::sin(util::degToRad(p.headingDeg));
        const double travelledM = t.speedMps * (timeS - t.entryS);
        ObjectState o;
        o.id = t.id;
        o.kind = t.kind;
        o.x = p.startX + ux * travelledM;
        o.y = p.startY + uy * travelledM;
        o.z = t.heightM;
        o.vx = ux * t.speedMps;
        o.vy = uy * t.speedMps;
        o.rcsDbsm = t.rcsDbsm;
        objects.append(o);
    }
    return objects;
}

} // namespace trklib::sim

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

// A mixed path's object enters later by this step until it keeps its gap
// to the one in front, checked this often, for at most this many steps.
constexpr double entryDelayStepS = 1.0;
constexpr double gapCheckStepS = 0.25;
constexpr int maxEntryDelays = 900;
// An animal turns back towards its path beyond this distance from it.
constexpr double maxStrayM = 15.0;

// The kinds of the site worlds. Reflectivities are approximate, in dBsm,
// meant for a 24 GHz traffic radar and kept on the scale of this
// simulator's single-radar scenes (a car about 10 dBsm). They follow the
// orders of magnitude of published measurements:
// - M. I. Skolnik, "Introduction to Radar Systems", 3rd ed., McGraw-Hill,
//   2001, the table of example cross-sections at microwave frequencies
//   (a man about 1 m^2, a bicycle about 2 m^2, vehicles one to two orders
//   of magnitude above, larger vehicles above cars);
// - E. Bel Kamel, A. Peden, P. Pajusco, "RCS modeling and measurements for
//   automotive radar applications in the W band", European Conference on
//   Antennas and Propagation (EuCAP), 2017: a car's cross-section strongest
//   broadside and several dB weaker head-on, a pedestrian's nearly the same
//   from every side and some 15 to 20 dB below a car's;
// - N. Yamada, Y. Tanaka, K. Nishikawa, "Radar cross section for pedestrian
//   in 76GHz band", European Microwave Conference, 2005: a pedestrian's
//   cross-section spread over several dB between people and postures.
// Animals are scaled from a person by the body's size (a large dog about a
// child's, a deer about an adult's); the spreads make neighbouring kinds
// overlap as they do in the field: a large dog and a small person, a
// motorcycle and a small car.
//
// Fluctuation (P. Swerling, "Probability of detection for fluctuating
// targets", IRE Transactions on Information Theory, 1960): vehicles, many
// reflectors of similar strength, as Swerling I (chi-square of 2 degrees of
// freedom); persons, two-wheelers with their riders and animals, one body
// dominating the echo, as Swerling III (4 degrees of freedom).
// clang-format off
const KindModel kindModels[] = {
    //  height accel  leg s     swing stop  stop s     turn  rcs   spread dof broadside
    {0.8,   2.0,  8.0,  20.0, 0.10, 0.0,  0.0,  0.0,   0.0, 10.0, 2.5,  2,  6.0}, // car
    {1.5,   0.8,  10.0, 25.0, 0.08, 0.0,  0.0,  0.0,   0.0, 20.0, 2.5,  2,  7.0}, // truck
    {1.0,   1.0,  5.0,  20.0, 0.25, 0.15, 2.0,  6.0,   0.0, 0.0,  2.0,  4,  1.0}, // person
    {1.0,   1.0,  6.0,  20.0, 0.20, 0.05, 2.0,  5.0,   0.0, 2.0,  2.0,  4,  3.0}, // cyclist
    {0.8,   3.0,  6.0,  18.0, 0.12, 0.0,  0.0,  0.0,   0.0, 5.0,  2.5,  2,  4.0}, // motorcycle
    {1.5,   0.8,  10.0, 25.0, 0.08, 0.0,  0.0,  0.0,   0.0, 19.0, 2.0,  2,  7.0}, // bus
    {0.5,   4.0,  2.0,  8.0,  1.00, 0.30, 2.0,  8.0,  60.0, -4.0, 2.5,  4,  2.0}, // dog
    {1.0,   4.0,  2.0,  10.0, 1.00, 0.30, 2.0,  10.0, 50.0, 2.0,  2.0,  4,  3.0}, // deer
};
// clang-format on

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

const KindModel& kindModel(ObjectKind kind)
{
    return kindModels[int(kind)];
}

QString siteKindName(ObjectKind kind)
{
    return kind == ObjectKind::Pedestrian ? QStringLiteral("person") : kindName(kind);
}

QString kindClassName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Pedestrian:
        return QStringLiteral("person");
    case ObjectKind::Cyclist:
    case ObjectKind::Motorcycle:
        return QStringLiteral("two-wheeler");
    case ObjectKind::Car:
        return QStringLiteral("car");
    case ObjectKind::Truck:
    case ObjectKind::Bus:
        return QStringLiteral("truck");
    case ObjectKind::Dog:
    case ObjectKind::Deer:
        return QStringLiteral("animal");
    }
    return QString();
}

Path mixedPath(Path p, const QVector<KindShare>& mix, double meanHeadwayS, double minHeadwayS,
               double minGapM)
{
    p.mix = mix;
    p.minKph = std::numeric_limits<double>::infinity();
    p.maxKph = 0.0;
    for (const KindShare& k : mix) {
        p.minKph = qMin(p.minKph, k.minKph);
        p.maxKph = qMax(p.maxKph, k.maxKph);
    }
    p.meanHeadwayS = meanHeadwayS;
    p.minHeadwayS = minHeadwayS;
    p.minGapM = minGapM;
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
    case ObjectKind::Cyclist:
        return QStringLiteral("cyclist");
    case ObjectKind::Motorcycle:
        return QStringLiteral("motorcycle");
    case ObjectKind::Bus:
        return QStringLiteral("bus");
    case ObjectKind::Dog:
        return QStringLiteral("dog");
    case ObjectKind::Deer:
        return QStringLiteral("deer");
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
        states_[i].next = p.mix.isEmpty()
                              ? draw(i, firstEntryS, -std::numeric_limits<double>::infinity())
                              : drawMixed(i, firstEntryS, nullptr);
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
    default: // the site worlds' kinds travel mixed paths
        t.heightM = kindModel(t.kind).heightM;
        break;
    }
    // Entering and leaving at least one headway after the one in front keeps
    // the gap along the whole path, since both travel at constant speed.
    t.travelS = p.lengthM / t.speedMps;
    t.entryS = qMax(earliestEntryS, previousExitS + p.minHeadwayS - t.travelS);
    return t;
}

// A mixed path's object: its kind and cruise speed, then legs until it has
// travelled the path: each of a target speed around the cruise speed (an
// animal's anywhere in its band), reached at the kind's acceleration, now
// and then a stop, and for animals a heading of its own. It enters once it
// keeps the path's gap to the object in front at every instant.
Scene::Traveller Scene::drawMixed(int path, double earliestEntryS, const Traveller* previous)
{
    const Path& p = paths_[path];
    SimRandom& random = states_[path].random;
    const double pick = random.uniform();
    double cumulative = 0.0;
    KindShare share = p.mix.last();
    for (const KindShare& k : p.mix) {
        cumulative += k.share;
        if (pick < cumulative) {
            share = k;
            break;
        }
    }
    const KindModel& model = kindModel(share.kind);
    Traveller t;
    t.path = path;
    t.kind = share.kind;
    t.heightM = model.heightM;
    t.rcsDbsm = random.gaussian(model.rcsMeanDbsm, model.rcsSpreadDb) + share.rcsOffsetDb;
    const double minMps = share.minKph * mpsPerKph;
    const double maxMps = share.maxKph * mpsPerKph;
    const double cruiseMps = random.uniform(minMps, maxMps);
    const auto targetSpeed = [&]() {
        const double swing = cruiseMps * model.speedSwing;
        return qBound(minMps, random.uniform(cruiseMps - swing, cruiseMps + swing), maxMps);
    };

    double speedMps = targetSpeed();
    double alongM = 0.0;
    double leftM = 0.0;
    double atS = 0.0;
    const auto addLeg = [&](double durationS, double toMps, double turnDeg) {
        Traveller::Leg leg{atS, durationS, speedMps, toMps, turnDeg, alongM, leftM};
        double movedM = 0.5 * (speedMps + toMps) * durationS;
        const double cosTurn = std::cos(util::degToRad(turnDeg));
        const double remainingM = p.lengthM - alongM;
        if (movedM * cosTurn >= remainingM && remainingM >= 0.0) {
            // The path's end within this leg: the leg ends there.
            const double a = durationS > 0.0 ? (toMps - speedMps) / durationS : 0.0;
            const double needM = remainingM / cosTurn;
            const double tauS =
                std::abs(a) < 1e-9
                    ? needM / speedMps
                    : (-speedMps + std::sqrt(qMax(0.0, speedMps * speedMps + 2.0 * a * needM))) / a;
            leg.durationS = qBound(0.0, tauS, durationS);
            leg.toMps = speedMps + a * leg.durationS;
            movedM = needM;
        }
        t.legs.append(leg);
        alongM += movedM * cosTurn;
        leftM += movedM * std::sin(util::degToRad(turnDeg));
        atS += leg.durationS;
        speedMps = leg.toMps;
    };
    while (alongM < p.lengthM) {
        double turnDeg = 0.0;
        if (model.turnMaxDeg > 0.0) {
            turnDeg = random.uniform(-model.turnMaxDeg, model.turnMaxDeg);
            if (std::abs(leftM) > maxStrayM && turnDeg * leftM > 0.0)
                turnDeg = -turnDeg; // back towards the path
        }
        const double toMps = targetSpeed();
        const double changeS = std::abs(toMps - speedMps) / model.accelMps2;
        addLeg(changeS, toMps, turnDeg);
        if (alongM >= p.lengthM)
            break;
        addLeg(random.uniform(model.legMinS, model.legMaxS), toMps, turnDeg);
        if (alongM >= p.lengthM || !random.chance(model.stopChance))
            continue;
        addLeg(speedMps / model.accelMps2, 0.0, turnDeg);
        addLeg(random.uniform(model.stopMinS, model.stopMaxS), 0.0, turnDeg);
    }
    t.travelS = atS;
    t.entryS = earliestEntryS;
    if (previous == nullptr)
        return t;
    // The one in front is already on its way: wait until the gap holds.
    const auto keepsGap = [&]() {
        for (double s = t.entryS; s <= qMin(t.exitS(), previous->exitS()); s += gapCheckStepS) {
            const Place a = placeAt(t, s);
            const Place b = placeAt(*previous, s);
            if (std::hypot(a.alongM - b.alongM, a.leftM - b.leftM) < p.minGapM)
                return false;
        }
        return true;
    };
    for (int n = 0; n < maxEntryDelays && !keepsGap(); ++n)
        t.entryS += entryDelayStepS;
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
        if (p.mix.isEmpty()) {
            states_[first].next = draw(first, released.entryS + gapS, released.exitS());
        } else {
            states_[first].last = released;
            states_[first].next = drawMixed(first, released.entryS + gapS, &states_[first].last);
        }
    }
    horizonS_ = horizonS;
}

Scene::Place Scene::placeAt(const Traveller& t, double timeS)
{
    const double sinceS = timeS - t.entryS;
    int i = 0;
    while (i + 1 < t.legs.size() && t.legs[i + 1].startS <= sinceS)
        ++i;
    const Traveller::Leg& leg = t.legs[i];
    const double tauS = qBound(0.0, sinceS - leg.startS, leg.durationS);
    const double accel = leg.durationS > 0.0 ? (leg.toMps - leg.fromMps) / leg.durationS : 0.0;
    const double movedM = leg.fromMps * tauS + 0.5 * accel * tauS * tauS;
    Place place;
    place.alongM = leg.alongM + movedM * std::cos(util::degToRad(leg.turnDeg));
    place.leftM = leg.leftM + movedM * std::sin(util::degToRad(leg.turnDeg));
    place.speedMps = leg.fromMps + accel * tauS;
    place.turnDeg = leg.turnDeg;
    return place;
}

// An object of a mixed path: its place in the ground frame, its velocity
// along its leg's heading and its reflectivity's model.
ObjectState Scene::mixedState(const Traveller& t, const Path& p, double timeS)
{
    const Place place = placeAt(t, timeS);
    const double ux = std::cos(util::degToRad(p.headingDeg));
    const double uy = std::sin(util::degToRad(p.headingDeg));
    const double hx = std::cos(util::degToRad(p.headingDeg + place.turnDeg));
    const double hy = std::sin(util::degToRad(p.headingDeg + place.turnDeg));
    const KindModel& model = kindModel(t.kind);
    ObjectState o;
    o.id = t.id;
    o.kind = t.kind;
    // Left of the heading (ux, uy) is (-uy, ux).
    o.x = p.startX + ux * place.alongM - uy * place.leftM;
    o.y = p.startY + uy * place.alongM + ux * place.leftM;
    o.z = t.heightM;
    o.vx = hx * place.speedMps;
    o.vy = hy * place.speedMps;
    o.rcsDbsm = t.rcsDbsm;
    o.swerlingDof = model.swerlingDof;
    o.broadsideGainDb = model.broadsideGainDb;
    o.headingX = hx;
    o.headingY = hy;
    return o;
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
        if (!t.legs.isEmpty()) {
            objects.append(mixedState(t, p, timeS));
            continue;
        }
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

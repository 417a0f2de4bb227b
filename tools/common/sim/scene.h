#pragma once

#include "tools/common/sim/simrandom.h"

#include <QString>
#include <QStringList>
#include <QVector>

namespace trklib::sim {

enum class ObjectKind
{
    Car,
    Truck,
    Pedestrian, // a person: walking or running
    Cyclist,
    Motorcycle,
    Bus,
    Dog,
    Deer
};

// The single-radar truth's names: car, truck, pedestrian, cyclist, ...
QString kindName(ObjectKind kind);
// The site truth's names of the fine kinds: person, cyclist, motorcycle,
// car, truck, bus, dog, deer.
QString siteKindName(ObjectKind kind);
// The class a kind belongs to: person, two-wheeler, car, truck (trucks and
// buses) or animal.
QString kindClassName(ObjectKind kind);

// How a kind moves and reflects in the site worlds.
struct KindModel
{
    double heightM = 0.0;   // main reflector above the ground
    double accelMps2 = 0.0; // largest change of speed
    double legMinS = 0.0;   // a leg of steady target speed lasts legMinS to legMaxS
    double legMaxS = 0.0;
    double speedSwing = 0.0; // a leg's speed differs from the cruise speed by up to this share
    double stopChance = 0.0; // after a leg, a stop of stopMinS to stopMaxS
    double stopMinS = 0.0;
    double stopMaxS = 0.0;
    double turnMaxDeg = 0.0;      // a leg's heading off the path's, sudden at the leg's start
    double rcsMeanDbsm = 0.0;     // mean over the objects of the kind
    double rcsSpreadDb = 0.0;     // one standard deviation between objects, Gaussian in dB
    int swerlingDof = 2;          // chi-square degrees of freedom of the packet-to-packet power
    double broadsideGainDb = 0.0; // broadside above head-on
};
const KindModel& kindModel(ObjectKind kind);

// One object of the scene at one instant, in the ground frame: origin on the
// ground under the radar, x horizontal along the road (the direction of pan
// 0), y horizontal to the left (the direction of growing azimuth), z up. The
// position is that of the object's main reflector.
struct ObjectState
{
    int id = 0;
    ObjectKind kind = ObjectKind::Car;
    double x = 0.0;  // metres
    double y = 0.0;  // metres
    double z = 0.0;  // metres above the ground
    double vx = 0.0; // m/s
    double vy = 0.0; // m/s
    double rcsDbsm = 0.0;
    // The reflectivity's model in the sensor: without degrees of freedom the
    // echo is steady and seen alike from every side (the single-radar
    // scenes); with them its power fluctuates from packet to packet as a
    // chi-square of that many degrees of freedom with mean 1, and it is
    // broadsideGainDb stronger broadside than head-on.
    int swerlingDof = 0;
    double broadsideGainDb = 0.0;
    double headingX = 1.0; // unit vector of the body's heading, kept during a stop
    double headingY = 0.0;
};

// One kind of a path's mix: its share of the path's objects, its speed
// band and an offset to its reflectivity.
struct KindShare
{
    ObjectKind kind = ObjectKind::Car;
    double share = 1.0;
    double minKph = 0.0;
    double maxKph = 0.0;
    double rcsOffsetDb = 0.0;
};

// A straight stretch that objects travel at constant speed, one after the
// other: a lane of a road or a sidewalk.
struct Path
{
    double startX = 0.0;     // metres
    double startY = 0.0;     // metres
    double headingDeg = 0.0; // direction of travel, 0 = +x, 90 = +y
    double lengthM = 0.0;
    double minKph = 0.0;
    double maxKph = 0.0;
    double truckShare = 0.0; // vehicles only: share of trucks
    bool pedestrians = false;
    double meanHeadwayS = 0.0; // mean time between two entries
    double minHeadwayS = 0.0;  // least time between two objects, at entry and at exit
    // Least speed difference to the last few objects of the path: objects of
    // equal speed would share their Doppler cells.
    double minSpeedGapKph = 0.0;
    // A mix of kinds (the site worlds): each object moves in legs of
    // changing speed, with stops and turns as its kind's model says, draws
    // its reflectivity from the model, and keeps minGapM from the object in
    // front. Empty: the kinds and constant speeds set above.
    QVector<KindShare> mix;
    double minGapM = 0.0;
};

// p with objects of the mix (shares summing to 1), entering as
// vehiclePath()'s and at least minGapM apart at every instant.
Path mixedPath(Path p, const QVector<KindShare>& mix, double meanHeadwayS, double minHeadwayS,
               double minGapM);

// A path of halfLengthM on either side of the point offsetM to the right of
// (centreX, centreY) (metres), along headingDeg (0 = +x, 90 = +y); its
// traffic is set by vehiclePath() or walkerPath().
Path straightPath(double centreX, double centreY, double headingDeg, double offsetM,
                  double halfLengthM);
// p with vehicles of minKph to maxKph, truckShare of them trucks, entering
// meanHeadwayS apart on average and at least minHeadwayS.
Path vehiclePath(Path p, double minKph, double maxKph, double truckShare, double meanHeadwayS,
                 double minHeadwayS);
// p with walkers of minKph to maxKph, entering as vehiclePath()'s.
Path walkerPath(Path p, double minKph, double maxKph, double meanHeadwayS, double minHeadwayS);

// A deterministic traffic scene: objects enter their paths at seeded random
// times and speeds, travel them (at constant speed, or in legs on a mixed
// path) and leave at the end. Two objects of one path keep at least the
// path's least headway at every point (its gap on a mixed path), so they
// never overlap. Objects are numbered from 1 in the order in which
// they enter; the scene has been running for a while at time 0, so the
// paths are already populated then.
class Scene
{
public:
    static QStringList names(); // road, crossing, pedestrians, highway
    // The named scene for a seed; an unknown name gives an empty scene.
    static Scene byName(const QString& name, quint64 seed);
    static Scene road(quint64 seed);
    static Scene crossing(quint64 seed);
    static Scene pedestrians(quint64 seed);
    static Scene highway(quint64 seed);

    Scene(const QVector<Path>& paths, quint64 seed);

    // The objects on the paths at time t (seconds after the start), in id
    // order. Calls with any times give the same answers for a given seed;
    // times that only grow are the cheap case.
    QVector<ObjectState> objectsAt(double timeS);

    // Objects held: those not yet gone at the latest time asked for, up to
    // the look-ahead. Stays small however long the scene runs.
    int heldObjects() const { return travellers_.size(); }

private:
    struct Traveller
    {
        int id = 0;
        int path = 0;
        ObjectKind kind = ObjectKind::Car;
        double entryS = 0.0;
        double speedMps = 0.0;
        double travelS = 0.0;
        double rcsDbsm = 0.0;
        double heightM = 0.0;
        // Legs of a mixed path's object, from its entry; none: constant speed.
        struct Leg
        {
            double startS = 0.0; // after the entry
            double durationS = 0.0;
            double fromMps = 0.0; // speed at the start, changing evenly to toMps
            double toMps = 0.0;
            double turnDeg = 0.0; // heading off the path's
            double alongM = 0.0;  // position at the start, along the path and to its left
            double leftM = 0.0;
        };
        QVector<Leg> legs;
        double rcsOffsetDb = 0.0;
        double exitS() const { return entryS + travelS; }
    };
    // Where a traveller of a mixed path is at timeS: along and left of its
    // path (m), its speed (m/s) and its heading off the path's (degrees).
    struct Place
    {
        double alongM = 0.0;
        double leftM = 0.0;
        double speedMps = 0.0;
        double turnDeg = 0.0;
    };
    static Place placeAt(const Traveller& t, double timeS);
    static ObjectState mixedState(const Traveller& t, const Path& p, double timeS);
    struct PathState
    {
        SimRandom random;
        Traveller next;            // drawn, not yet released into the scene
        QVector<double> recentKph; // speeds of the last objects drawn
        Traveller last;            // the latest released (mixed paths)
        bool hasLast = false;
        explicit PathState(quint64 seed) : random(seed) {}
    };

    Traveller draw(int path, double earliestEntryS, double previousExitS);
    Traveller drawMixed(int path, double earliestEntryS, const Traveller* previous);
    void generateUntil(double horizonS);

    QVector<Path> paths_;
    quint64 seed_ = 0;
    QVector<PathState> states_;
    QVector<Traveller> travellers_; // released and not yet gone, in id order
    double horizonS_ = 0.0;
    double forgottenBeforeS_ = 0.0; // travellers gone before this were dropped
    int nextId_ = 1;
};

} // namespace trklib::sim

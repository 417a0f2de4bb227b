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
    Pedestrian
};

QString kindName(ObjectKind kind);

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
};

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
// times and speeds, travel them at constant speed and leave at the end. Two
// objects of one path keep at least the path's least headway at every point,
// so they never overlap. Objects are numbered from 1 in the order in which
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
        double exitS() const { return entryS + travelS; }
    };
    struct PathState
    {
        SimRandom random;
        Traveller next;            // drawn, not yet released into the scene
        QVector<double> recentKph; // speeds of the last objects drawn
        explicit PathState(quint64 seed) : random(seed) {}
    };

    Traveller draw(int path, double earliestEntryS, double previousExitS);
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

#pragma once

#include "tools/common/sim/scene.h"

#include "util/groundposition.h"

#include <QMap>
#include <QString>
#include <QStringList>

// The worlds of a whole site: scenes laid out in site coordinates (x metres
// east, y metres north of the site's origin, z up), independent of where the
// radars stand. Each radar sees them through inRadarFrame().
namespace trklib::sim {

// junction, perimeter
QStringList siteSceneNames();

// The site truth's kinds (person, cyclist, ...) and classes (person,
// two-wheeler, car, truck, animal).
QStringList siteKindNames();
QStringList siteClassNames();

// Changes to the kinds of a world, keyed by a fine kind's name, a class's
// name, or the empty name for every kind: reflectivity offsets in dB add
// up, speed scales multiply.
struct KindTuning
{
    QMap<QString, double> rcsOffsetDb;
    QMap<QString, double> speedScale;
    double offsetDbOf(ObjectKind kind) const;
    double scaleOf(ObjectKind kind) const;
};

// The named site world for a seed; an unknown name gives an empty scene.
Scene siteScene(const QString& name, quint64 seed, const KindTuning& tuning = {});

// Two roads crossing at the origin, one along x and one along y, 600 m
// long, two lanes each way (lane centres 1.75 m and 5.25 m from the axis,
// traffic on the right) with cars, a few trucks, buses and motorcycles at
// 30 to 80 km/h driving straight through with gentle changes of speed, a
// cycle lane each way 6.5 m from the axis with cyclists at 12 to 28 km/h,
// and persons walking at 3 to 7 km/h on both sides of each road, 7.5 m
// from its axis, now and then stopping for a few seconds.
Scene junctionScene(quint64 seed, const KindTuning& tuning = {});

// A fence along y = 0 from x = -300 m to 300 m, a patrol road along it at
// y = 8 m with a car, truck, motorcycle or cyclist now and then, persons
// walking along the fence on both of its sides and runners (8 to 15 km/h)
// on a track inside it at y = 2 m, persons crossing the fence line, and
// dogs and deer crossing it and wandering (trotting and bounding, turning
// suddenly, stopping), at places and angles drawn from the seed.
Scene perimeterScene(quint64 seed, const KindTuning& tuning = {});

// An object of the site as the radar at placement sees it: position and
// velocity in the radar's ground frame (x along pan 0, y to its left, z
// unchanged). The inverse of util::sitePosition().
// Position, velocity and heading turned alike.
ObjectState inRadarFrame(const ObjectState& object, const util::RadarPlacement& placement);

} // namespace trklib::sim

#pragma once

#include "tools/common/sim/scene.h"

#include "util/groundposition.h"

#include <QString>
#include <QStringList>

// The worlds of a whole site: scenes laid out in site coordinates (x metres
// east, y metres north of the site's origin, z up), independent of where the
// radars stand. Each radar sees them through inRadarFrame().
namespace trklib::sim {

// junction, perimeter
QStringList siteSceneNames();

// The named site world for a seed; an unknown name gives an empty scene.
Scene siteScene(const QString& name, quint64 seed);

// Two roads crossing at the origin, one along x and one along y, 600 m
// long, two lanes each way (lane centres 1.75 m and 5.25 m from the axis,
// traffic on the right) with vehicles at 30 to 80 km/h driving straight
// through, and walkers at 3 to 7 km/h on both sides of each road, 7.5 m
// from its axis.
Scene junctionScene(quint64 seed);

// A fence along y = 0 from x = -300 m to 300 m, a patrol road along it at
// y = 8 m with a vehicle now and then, walkers along the fence on both of
// its sides, and walkers that cross the fence line at places and angles
// drawn from the seed.
Scene perimeterScene(quint64 seed);

// An object of the site as the radar at placement sees it: position and
// velocity in the radar's ground frame (x along pan 0, y to its left, z
// unchanged). The inverse of util::sitePosition().
ObjectState inRadarFrame(const ObjectState& object, const util::RadarPlacement& placement);

} // namespace trklib::sim

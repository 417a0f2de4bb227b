#pragma once

#include "interface/targettrackinginterface.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/radartracking.h"
#include "tools/common/service/tracksmessage.h"
#include "util/groundposition.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <optional>

// The JSON payloads trackd publishes. Numbers of the library are written
// in their shortest form that reads back to the same double, so that a
// subscriber gets the library's values bit for bit.
namespace trklib::trackd {

// What a radar's status message says besides "online", and the tracks
// message: the reception and its messages are shared with sited's offline
// run (tools/common).
using site::RadarStatus;
using service::tracksMessage;

// The radar's place on the site and what its beam covers there, so that a
// subscriber can draw it on a map from the status alone:
//   "place":{"x","y","lat","lon","heading"}: metres east and north of the
//     site's origin, where that lies on Earth (only with geo), and where
//     pan 0 looks (degrees clockwise from north);
//   "beam":{"bearing","halfWidth","minRange","maxRange"}: where the
//     boresight looks (degrees clockwise from north: the heading less the
//     pan), the beam's half-width in azimuth (degrees), and its near and
//     far ends on the ground (metres from the point under the radar).
// The fields of an object, without braces, for the status messages below.
QByteArray placeFields(const RadarConfig& mounting, const util::RadarPlacement& placement,
                       const site::GeoReference* geo);

// {"online": true, "packets", ..., place}: the retained status of a
// running radar; place comes from placeFields().
QByteArray statusMessage(const RadarStatus& status, const QByteArray& place);

// {"online": false, place}: the last will, and the status a clean shutdown
// leaves, so that an offline radar can still be drawn where it stands.
QByteArray offlineMessage(const QByteArray& place);

} // namespace trklib::trackd

#pragma once

#include "interface/targettrackinginterface.h"
#include "tools/common/site/georeference.h"
#include "util/groundposition.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

// A radar's tracks message, as trackd publishes it and sited's offline run
// writes it: numbers of the library in their shortest form that reads back
// to the same double, so that a subscriber gets the library's values bit
// for bit.
namespace trklib::service {

// One packet's tracks: {"site", "radar", "timestamp", "received",
// "targets": [{"number", "elevation", "azimuth", "distance", "velocity",
// "confirmed", "rcs": {"mean", "max", "last", "samples"}, "x", "y", "lat",
// "lon"}]}, with rcs the target's reflectivity (dBsm; reflectivity has one
// for each target, in their order), x and y the target's ground position
// on the site (metres east and north of its origin), and lat and lon where
// that lies on Earth; without geo (a site without an origin) there are no
// lat and lon.
QByteArray tracksMessage(const QString& site, const QString& radar, std::int64_t timestampMs,
                         std::int64_t receivedMs, const QVector<TargetData>& targets,
                         const QVector<TargetReflectivity>& reflectivity,
                         const RadarConfig& mounting, const util::RadarPlacement& placement,
                         const site::GeoReference* geo);

// The ground point of a radar's target on the site: metres east and north
// of the site's origin, as the tracks message gives it.
util::GroundPoint siteGroundPoint(const TargetData& target, const RadarConfig& mounting,
                                  const util::RadarPlacement& placement);

} // namespace trklib::service

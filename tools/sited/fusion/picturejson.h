#pragma once

#include "tools/sited/fusion/fusion.h"

#include "tools/common/site/georeference.h"

#include <QByteArray>
#include <QStringList>

// The JSON of the site's picture, as sited publishes it on
// <prefix>/<site>/site/tracks and writes it to its output file:
// {"site", "time", "objects": [{"id", "x", "y", "lat", "lon", "vx", "vy",
// "speed", "heading", "confirmed", "radars": [{"radar", "number"}],
// "since", "class", "classes": {"person", "two-wheeler", "car", "truck",
// "animal", "unknown"}}]}, probabilities to 3 decimals, numbers in their shortest round-trip form;
// lat and lon only with geo.
namespace trklib::sited::fusion {

// An object's class probabilities as the picture and the history give
// them: {"person": p, ...}, every class in ObjectClass order, each rounded
// to 3 decimals.
void appendClasses(QByteArray& out, const ClassProbabilities& classes);

// radarNames: the site's radars by index (SiteConfig::radars order).
QByteArray pictureMessage(const QString& site, const QStringList& radarNames,
                          const Picture& picture, const site::GeoReference* geo);

} // namespace trklib::sited::fusion

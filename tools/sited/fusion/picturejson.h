#pragma once

#include "tools/sited/fusion/fusion.h"

#include "tools/common/site/georeference.h"

#include <QByteArray>
#include <QStringList>

// The JSON of the site's picture, as sited publishes it on
// <prefix>/<site>/site/tracks and writes it to its output file:
// {"site", "time", "objects": [{"id", "x", "y", "lat", "lon", "vx", "vy",
// "speed", "heading", "confirmed", "radars": [{"radar", "number"}],
// "since"}]}, numbers in their shortest round-trip form; lat and lon only
// with geo.
namespace trklib::sited::fusion {

// radarNames: the site's radars by index (SiteConfig::radars order).
QByteArray pictureMessage(const QString& site, const QStringList& radarNames,
                          const Picture& picture, const site::GeoReference* geo);

} // namespace trklib::sited::fusion

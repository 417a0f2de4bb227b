#pragma once

#include "tools/sited/history/historystore.h"

#include <QIODevice>

// The recorded tracks of a period written for other tools: GeoJSON (one
// LineString per object, as /api/tracks answers) or CSV (one line per
// object and picture: id,time,x,y,lat,lon,vx,vy,speed,heading,confirmed;
// lat, lon and heading empty when not recorded).
namespace trklib::sited::history {

enum class ExportFormat
{
    GeoJson,
    Csv
};

// "geojson" or "csv"; false for anything else.
bool parseExportFormat(const QString& text, ExportFormat& format);

// False with a one-line error when the store cannot be read or out not
// written.
bool exportTracks(Store& store, std::int64_t fromMs, std::int64_t toMs, ExportFormat format,
                  QIODevice& out, QString& error);

} // namespace trklib::sited::history

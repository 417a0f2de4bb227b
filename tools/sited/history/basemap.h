#pragma once

#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// The site's own map, which sited serves to the site view to draw under
// the radars, zones and objects: the tiles of an MBTiles file (raster, PNG
// or JPEG; read with SQLite) or a site plan, each from the site's own
// disk. GET /api/map describes it, /api/map/tiles/Z/X/Y and /api/map/plan
// give its images (historyapi.h).
namespace trklib::sited::history {

// The deepest zoom level a tile's numbers may have: 2^30 tiles across the
// world is a few centimetres a tile, deeper than any site's imagery.
constexpr int maxTileZoom = 30;
// A plan larger than this is refused: the page decodes the whole of it.
constexpr qint64 maxPlanBytes = 64 * 1024 * 1024;
constexpr int maxPlanSidePx = 16384;

class BaseMap
{
public:
    // Opens and checks the map of [map]: an MBTiles file must be a SQLite
    // database with a tiles table and metadata format png or jpg, and hold
    // tiles; a plan must be a PNG or JPEG image Qt reads the size of, at
    // most maxPlanBytes and maxPlanSidePx a side. Null with one line
    // ("7: [map] mbtiles: PATH: ...") when it is not.
    static std::unique_ptr<BaseMap> open(const site::MapConfig& map, const site::Origin& origin,
                                         QString& error);
    ~BaseMap();
    BaseMap(const BaseMap&) = delete;
    BaseMap& operator=(const BaseMap&) = delete;

    // GET /api/map's answer: {"kind":"mbtiles"|"plan", "version", "origin",
    // then min_zoom, max_zoom and bounds [west, south, east, north] of the
    // tiles, or width, height (px) and the corners [lat, lon] of the plan}.
    const QByteArray& description() const { return description_; }
    // Changes whenever the file does (its size and time): the page asks
    // for images with it, which may then be kept.
    const std::string& version() const { return version_; }
    bool isPlan() const { return !plan_.isEmpty(); }
    // "MBTiles, zoom levels 15 to 17" or "plan, 1200 x 800 px": for sited's lines.
    QString summary() const;

    // The tile of XYZ numbers (row 0 at the north; MBTiles counts from the
    // south) with its content type; false when the file has none, with
    // error set when it could not be read.
    bool tile(int zoom, int column, int row, QByteArray& bytes, std::string& type,
              QString& error) const;
    const QByteArray& plan() const { return plan_; }
    const std::string& planType() const { return planType_; }

private:
    BaseMap() = default;

    QByteArray description_;
    std::string version_;
    QByteArray plan_;
    std::string planType_;
    std::string tileType_; // of the metadata's format
    int minZoom_ = 0;
    int maxZoom_ = 0;
    mutable std::mutex mutex_; // the connection is used by one thread at a time
    sqlite3* db_ = nullptr;
    sqlite3_stmt* tileQuery_ = nullptr;
};

} // namespace trklib::sited::history

#include "tools/sited/history/basemap.h"

#include "tools/common/service/jsonwriter.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QUrl>

#include <sqlite3.h>

#include <cmath>

namespace trklib::sited::history {

namespace {

using service::appendInteger;
using service::appendNumber;
using service::appendString;

constexpr double maxMercatorLatitudeDeg = 85.0511287798; // Web Mercator's edge

// PNG's and JPEG's first bytes.
const char* imageType(const QByteArray& bytes)
{
    if (bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return "image/png";
    if (bytes.startsWith("\xff\xd8\xff"))
        return "image/jpeg";
    return nullptr;
}

// "<size>-<ms of its last change>" in hex: another file, or the same file
// changed, has another.
std::string fileVersion(const QFileInfo& info)
{
    return QStringLiteral("%1-%2")
        .arg(info.size(), 0, 16)
        .arg(info.lastModified().toMSecsSinceEpoch(), 0, 16)
        .toStdString();
}

void appendOrigin(QByteArray& out, const site::Origin& origin)
{
    out.append(",\"origin\":{\"lat\":");
    appendNumber(out, origin.latitudeDeg);
    out.append(",\"lon\":");
    appendNumber(out, origin.longitudeDeg);
    out.append(",\"altitude\":");
    appendNumber(out, origin.altitudeM);
    out.append('}');
}

void appendCorner(QByteArray& out, const char* name, const site::GeoPoint& p)
{
    out.append(",\"").append(name).append("\":[");
    appendNumber(out, p.latitudeDeg);
    out.append(',');
    appendNumber(out, p.longitudeDeg);
    out.append(']');
}

// The first column of a query's first row as text; empty for none.
QString firstValue(sqlite3* db, const char* sql, const char* parameter = nullptr)
{
    sqlite3_stmt* s = nullptr;
    QString value;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK) {
        if (parameter)
            sqlite3_bind_text(s, 1, parameter, -1, SQLITE_STATIC);
        if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL)
            value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    }
    sqlite3_finalize(s);
    return value;
}

QString metadata(sqlite3* db, const char* name)
{
    return firstValue(db, "SELECT value FROM metadata WHERE name = ?1", name).trimmed();
}

// A whole number of zoom from 0 to maxTileZoom, or -1.
int zoomOf(const QString& text)
{
    bool ok = false;
    const int zoom = text.toInt(&ok);
    return ok && zoom >= 0 && zoom <= maxTileZoom ? zoom : -1;
}

// The metadata's bounds "west,south,east,north" (degrees), when good.
bool metadataBounds(const QString& text, double bounds[4])
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        bounds[i] = parts[i].trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(bounds[i]))
            return false;
    }
    return bounds[0] < bounds[2] && bounds[1] < bounds[3] && bounds[0] >= -180 &&
           bounds[2] <= 180 && bounds[1] >= -90 && bounds[3] <= 90;
}

// The bounds of the tiles of one zoom level (degrees, west, south, east,
// north); false when it has none.
bool tileBounds(sqlite3* db, int zoom, double bounds[4])
{
    sqlite3_stmt* s = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db,
                           "SELECT MIN(tile_column), MAX(tile_column), MIN(tile_row), "
                           "MAX(tile_row) FROM tiles WHERE zoom_level = ?1",
                           -1, &s, nullptr) == SQLITE_OK) {
        sqlite3_bind_int(s, 1, zoom);
        if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL) {
            const double n = std::ldexp(1.0, zoom);
            const auto lon = [n](double column) { return column / n * 360.0 - 180.0; };
            // TMS rows count from the south.
            const auto lat = [n](double tmsRow) {
                return std::atan(std::sinh(M_PI * (2.0 * tmsRow / n - 1.0))) * 180.0 / M_PI;
            };
            bounds[0] = lon(sqlite3_column_double(s, 0));
            bounds[2] = lon(sqlite3_column_double(s, 1) + 1);
            bounds[1] = lat(sqlite3_column_double(s, 2));
            bounds[3] = lat(sqlite3_column_double(s, 3) + 1);
            found = true;
        }
    }
    sqlite3_finalize(s);
    return found;
}

} // namespace

BaseMap::~BaseMap()
{
    sqlite3_finalize(tileQuery_);
    sqlite3_close(db_);
}

std::unique_ptr<BaseMap> BaseMap::open(const site::MapConfig& map, const site::Origin& origin,
                                       QString& error)
{
    const bool isPlan = !map.plan.isEmpty();
    const QString path = isPlan ? map.plan : map.mbtiles;
    const auto fail = [&](const QString& why) {
        error = QStringLiteral("%1: [map] %2: %3: %4")
                    .arg(map.line)
                    .arg(QLatin1String(isPlan ? "plan" : "mbtiles"), path, why);
        return nullptr;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no such file"));
    if (!info.isFile())
        return fail(QStringLiteral("not a regular file"));
    std::unique_ptr<BaseMap> m(new BaseMap);
    m->version_ = fileVersion(info);
    QByteArray& d = m->description_;

    if (isPlan) {
        if (info.size() > maxPlanBytes)
            return fail(QStringLiteral("larger than %1 MiB").arg(maxPlanBytes >> 20));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(file.errorString());
        m->plan_ = file.readAll();
        QImageReader reader(path);
        const QByteArray format = reader.format();
        const QSize size = reader.size();
        const char* type = imageType(m->plan_);
        if (!type || (format != "png" && format != "jpeg") || !size.isValid())
            return fail(QStringLiteral("not a PNG or JPEG image (%1)").arg(reader.errorString()));
        if (size.width() > maxPlanSidePx || size.height() > maxPlanSidePx)
            return fail(QStringLiteral("%1 x %2 px: more than %3 px a side")
                            .arg(size.width())
                            .arg(size.height())
                            .arg(maxPlanSidePx));
        m->planType_ = type;
        d = "{\"kind\":\"plan\",\"version\":";
        appendString(d, QString::fromStdString(m->version_));
        appendOrigin(d, origin);
        d.append(",\"width\":");
        appendInteger(d, size.width());
        d.append(",\"height\":");
        appendInteger(d, size.height());
        appendCorner(d, "top_left", map.topLeft);
        appendCorner(d, "top_right", map.topRight);
        appendCorner(d, "bottom_left", map.bottomLeft);
        d.append('}');
        return m;
    }

    // Read-only and immutable: no lock, no journal beside it; a map file
    // is not written while sited serves it.
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded() + "?immutable=1";
    if (sqlite3_open_v2(uri.constData(), &m->db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                        nullptr) != SQLITE_OK)
        return fail(QString::fromUtf8(sqlite3_errmsg(m->db_)));
    if (sqlite3_prepare_v2(m->db_,
                           "SELECT tile_data FROM tiles WHERE zoom_level = ?1 AND tile_column = ?2 "
                           "AND tile_row = ?3",
                           -1, &m->tileQuery_, nullptr) != SQLITE_OK)
        return fail(
            QStringLiteral("no MBTiles file (%1)").arg(QString::fromUtf8(sqlite3_errmsg(m->db_))));
    const QString format = metadata(m->db_, "format");
    if (format != QLatin1String("png") && format != QLatin1String("jpg"))
        return fail(format.isEmpty()
                        ? QStringLiteral("no metadata format: it gives png or jpg")
                        : QStringLiteral("metadata format '%1' is not png or jpg").arg(format));
    m->tileType_ = format == QLatin1String("png") ? "image/png" : "image/jpeg";
    // The zoom levels of the metadata, or of the tiles themselves.
    m->minZoom_ = zoomOf(metadata(m->db_, "minzoom"));
    m->maxZoom_ = zoomOf(metadata(m->db_, "maxzoom"));
    if (m->minZoom_ < 0 || m->maxZoom_ < m->minZoom_) {
        m->minZoom_ = zoomOf(firstValue(m->db_, "SELECT MIN(zoom_level) FROM tiles"));
        m->maxZoom_ = zoomOf(firstValue(m->db_, "SELECT MAX(zoom_level) FROM tiles"));
    }
    double bounds[4]{};
    if (m->minZoom_ < 0 || m->maxZoom_ < 0 ||
        firstValue(m->db_, "SELECT 1 FROM tiles LIMIT 1").isEmpty() ||
        (!metadataBounds(metadata(m->db_, "bounds"), bounds) &&
         !tileBounds(m->db_, m->maxZoom_, bounds)))
        return fail(QStringLiteral("holds no tiles of zoom levels 0 to %1").arg(maxTileZoom));
    bounds[1] = std::max(bounds[1], -maxMercatorLatitudeDeg);
    bounds[3] = std::min(bounds[3], maxMercatorLatitudeDeg);
    d = "{\"kind\":\"mbtiles\",\"version\":";
    appendString(d, QString::fromStdString(m->version_));
    appendOrigin(d, origin);
    d.append(",\"format\":");
    appendString(d, format);
    d.append(",\"min_zoom\":");
    appendInteger(d, m->minZoom_);
    d.append(",\"max_zoom\":");
    appendInteger(d, m->maxZoom_);
    d.append(",\"bounds\":[");
    for (int i = 0; i < 4; ++i) {
        if (i)
            d.append(',');
        appendNumber(d, bounds[i]);
    }
    d.append("]}");
    return m;
}

QString BaseMap::summary() const
{
    if (isPlan())
        return QStringLiteral("plan (%1)").arg(QString::fromStdString(planType_));
    return QStringLiteral("MBTiles, zoom levels %1 to %2").arg(minZoom_).arg(maxZoom_);
}

bool BaseMap::tile(int zoom, int column, int row, QByteArray& bytes, std::string& type,
                   QString& error) const
{
    if (!tileQuery_)
        return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_reset(tileQuery_);
    sqlite3_bind_int(tileQuery_, 1, zoom);
    sqlite3_bind_int(tileQuery_, 2, column);
    // XYZ rows count from the north, TMS rows (MBTiles') from the south.
    sqlite3_bind_int(tileQuery_, 3, int((std::int64_t(1) << zoom) - 1 - row));
    const int rc = sqlite3_step(tileQuery_);
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE)
            error = QStringLiteral("map: %1").arg(QString::fromUtf8(sqlite3_errmsg(db_)));
        return false;
    }
    const void* blob = sqlite3_column_blob(tileQuery_, 0);
    bytes = QByteArray(static_cast<const char*>(blob), sqlite3_column_bytes(tileQuery_, 0));
    sqlite3_reset(tileQuery_);
    const char* sniffed = imageType(bytes);
    type = sniffed ? sniffed : tileType_;
    return true;
}

} // namespace trklib::sited::history

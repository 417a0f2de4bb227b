#include "tools/sited/zones/zonesfile.h"

#include "util/units.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

namespace trklib::sited::zones {

namespace {

using util::metresPerKm;

constexpr double maxLatitudeDeg = 90.0;
constexpr double maxLongitudeDeg = 180.0;
constexpr int minRingPositions = 4; // a triangle, closed
constexpr int minLinePositions = 2;

bool isName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    return pattern.match(name).hasMatch();
}

// One GeoJSON position, [longitude, latitude] or [longitude, latitude,
// height], in site coordinates.
bool readPosition(const QJsonValue& value, const site::GeoReference& geo, Point& point,
                  QString& why)
{
    const QJsonArray position = value.toArray();
    if (!value.isArray() || position.size() < 2 || position.size() > 3) {
        why = QStringLiteral("a position is not [longitude, latitude] or [longitude, latitude, "
                             "height]");
        return false;
    }
    for (const QJsonValue& number : position) {
        if (!number.isDouble() || !std::isfinite(number.toDouble())) {
            why = QStringLiteral("a position holds something other than a number");
            return false;
        }
    }
    const double longitudeDeg = position[0].toDouble();
    const double latitudeDeg = position[1].toDouble();
    if (std::abs(latitudeDeg) > maxLatitudeDeg || std::abs(longitudeDeg) > maxLongitudeDeg) {
        why = QStringLiteral("position [%1, %2] is not a longitude and a latitude")
                  .arg(longitudeDeg, 0, 'g', 17)
                  .arg(latitudeDeg, 0, 'g', 17);
        return false;
    }
    const site::SitePoint site = position.size() == 3
                                     ? geo.toSite(latitudeDeg, longitudeDeg, position[2].toDouble())
                                     : geo.toSitePlane(latitudeDeg, longitudeDeg);
    if (!(std::abs(site.xM) <= maxZoneM && std::abs(site.yM) <= maxZoneM)) {
        why = QStringLiteral("position [%1, %2] lies %3 km east and %4 km north of the site's "
                             "origin; zones stay within %5 km of it (longitude and latitude "
                             "swapped?)")
                  .arg(longitudeDeg, 0, 'g', 17)
                  .arg(latitudeDeg, 0, 'g', 17)
                  .arg(site.xM / metresPerKm, 0, 'f', 1)
                  .arg(site.yM / metresPerKm, 0, 'f', 1)
                  .arg(maxZoneM / metresPerKm, 0, 'g', 6);
        return false;
    }
    point = {site.xM, site.yM};
    return true;
}

bool readPath(const QJsonValue& value, const site::GeoReference& geo, Path& path, QString& why)
{
    if (!value.isArray()) {
        why = QStringLiteral("coordinates are not a list of positions");
        return false;
    }
    const QJsonArray positions = value.toArray();
    for (const QJsonValue& position : positions) {
        Point point;
        if (!readPosition(position, geo, point, why))
            return false;
        path.append(point);
    }
    return true;
}

// A ring that may serve as a zone's boundary: closed, at least a triangle,
// no edge of no length, and no two edges meeting but neighbours at their
// shared corner (a neighbour folding back over its edge meets it too).
bool checkRing(const Path& ring, QString& why)
{
    const int positions = int(ring.size());
    if (positions < minRingPositions) {
        why = QStringLiteral("has %1 positions; a ring takes at least %2, the first repeated last")
                  .arg(positions)
                  .arg(minRingPositions);
        return false;
    }
    if (!(ring.first() == ring.last())) {
        why = QStringLiteral("is not closed: its last position is not its first");
        return false;
    }
    const int edges = positions - 1;
    for (int i = 0; i < edges; ++i) {
        if (ring[i] == ring[i + 1]) {
            why = QStringLiteral("repeats position %1 at once").arg(i + 1);
            return false;
        }
    }
    for (int i = 0; i < edges; ++i) {
        const Point a = ring[i];
        const Point b = ring[i + 1];
        // The next edge, from b: folding back over ab when it runs along
        // it the other way.
        const Point c = ring[(i + 2) % positions == 0 ? 1 : (i + 2) % positions];
        if (orientation(a, b, c) == 0 &&
            (b.x - a.x) * (c.x - b.x) + (b.y - a.y) * (c.y - b.y) < 0.0) {
            why = QStringLiteral("crosses itself: edge %1 folds back over edge %2")
                      .arg((i + 1) % edges + 1)
                      .arg(i + 1);
            return false;
        }
        for (int j = i + 2; j < edges; ++j) {
            if (i == 0 && j == edges - 1)
                continue; // neighbours through the closing corner
            if (segmentsMeet(a, b, ring[j], ring[j + 1])) {
                why = QStringLiteral("crosses itself: edges %1 and %2 meet").arg(i + 1).arg(j + 1);
                return false;
            }
        }
    }
    return true;
}

bool readPolygon(const QJsonValue& coordinates, const site::GeoReference& geo, Zone& zone,
                 QString& why)
{
    const QJsonArray rings = coordinates.toArray();
    if (!coordinates.isArray() || rings.isEmpty()) {
        why = QStringLiteral("a Polygon's coordinates are not a list of rings");
        return false;
    }
    for (int r = 0; r < rings.size(); ++r) {
        Path ring;
        QString ringWhy;
        if (!readPath(rings[r], geo, ring, ringWhy) || !checkRing(ring, ringWhy)) {
            why = QStringLiteral("%1 %2").arg(r == 0 ? QStringLiteral("the outer ring")
                                                     : QStringLiteral("hole %1").arg(r),
                                              ringWhy);
            return false;
        }
        zone.rings.append(ring);
    }
    return true;
}

// Text of the file quoted in an error, kept on one line: control
// characters and line separators as \uXXXX.
QString printable(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// The events of "alarm": a list of names, each once; which kinds the
// feature raises is checked with its geometry (checkAlarm).
bool readAlarm(const QJsonValue& value, Zone& zone, QString& why)
{
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isArray()) {
        why = QStringLiteral("alarm: not a list of events such as [\"enter\", \"dwell\"]");
        return false;
    }
    for (const QJsonValue& event : value.toArray()) {
        if (!event.isString()) {
            why = QStringLiteral("alarm: holds something other than an event's name");
            return false;
        }
        const QString name = event.toString();
        if (zone.alarm.contains(name)) {
            why = QStringLiteral("alarm: '%1' given twice").arg(printable(name));
            return false;
        }
        zone.alarm.append(name);
    }
    return true;
}

// Each alarm event one the feature raises: a zone's enter, exit, dwell
// (with a dwell) and speed (with a speed_limit), a line's cross.
bool checkAlarm(const Zone& zone, QString& why)
{
    const bool line = zone.kind == Zone::Kind::Line;
    for (const QString& event : zone.alarm) {
        const bool raised =
            line ? event == QLatin1String("cross")
                 : (event == QLatin1String("enter") || event == QLatin1String("exit") ||
                    (event == QLatin1String("dwell") && zone.dwellS) ||
                    (event == QLatin1String("speed") && zone.speedLimitKph));
        if (raised)
            continue;
        if (!line && event == QLatin1String("dwell"))
            why = QStringLiteral("alarm: 'dwell' needs a dwell");
        else if (!line && event == QLatin1String("speed"))
            why = QStringLiteral("alarm: 'speed' needs a speed_limit");
        else
            why = QStringLiteral("alarm: '%1' is not an event a %2 raises; use %3")
                      .arg(printable(event), line ? QStringLiteral("line") : QStringLiteral("zone"),
                           line ? QStringLiteral("cross")
                                : QStringLiteral("enter, exit, dwell or speed"));
        return false;
    }
    return true;
}

// "classes": the names of the classes the feature cares about, each once,
// "unknown" not among them (strict says what becomes of those); and
// "strict", only with them. A null list is none, as for the other keys.
bool readClasses(const QJsonObject& properties, Zone& zone, QString& why)
{
    const QJsonValue classes = properties.value(QLatin1String("classes"));
    const QJsonValue strict = properties.value(QLatin1String("strict"));
    if (!strict.isUndefined() && !strict.isBool()) {
        why = QStringLiteral("strict: not true or false");
        return false;
    }
    if (classes.isUndefined() || classes.isNull()) {
        if (!strict.isUndefined()) {
            why = QStringLiteral("strict: only with classes");
            return false;
        }
        return true;
    }
    const QString use = QStringLiteral("person, two-wheeler, car, truck or animal");
    if (!classes.isArray() || classes.toArray().isEmpty()) {
        why = QStringLiteral("classes: not a list of one or more of %1").arg(use);
        return false;
    }
    for (const QJsonValue& value : classes.toArray()) {
        if (!value.isString()) {
            why = QStringLiteral("classes: holds something other than a class's name");
            return false;
        }
        const QString name = value.toString();
        if (name == QLatin1String(className(ObjectClass::Unknown))) {
            why = QStringLiteral("classes: 'unknown' is not a class to choose; strict says "
                                 "whether objects not yet classified count");
            return false;
        }
        ObjectClass c = ObjectClass::Unknown;
        if (!classFromName(name, c)) {
            why = QStringLiteral("classes: '%1' is not a class; use %2").arg(printable(name), use);
            return false;
        }
        if (zone.classes.contains(c)) {
            why = QStringLiteral("classes: '%1' given twice").arg(name);
            return false;
        }
        zone.classes.append(c);
    }
    zone.strict = strict.toBool(false);
    return true;
}

bool readProperties(const QJsonValue& value, Zone& zone, QString& why)
{
    if (!value.isObject()) {
        why = QStringLiteral("no properties; a feature takes at least a name");
        return false;
    }
    const QJsonObject properties = value.toObject();
    const QJsonValue name = properties.value(QLatin1String("name"));
    if (!name.isString() || !isName(name.toString())) {
        const QString what = name.isUndefined() ? QStringLiteral("missing")
                             : name.isString()
                                 ? QStringLiteral("'%1'").arg(printable(name.toString()))
                                 : QStringLiteral("not a string");
        why = QStringLiteral("name: %1; use 1 to 64 letters, digits, '_', '-' or '.'").arg(what);
        return false;
    }
    zone.name = name.toString();
    const auto positive = [&](const char* key, const char* unit, double most,
                              std::optional<double>& out) {
        const QJsonValue v = properties.value(QLatin1String(key));
        if (v.isUndefined() || v.isNull())
            return true;
        if (!v.isDouble() || !(v.toDouble() > 0.0) || !(v.toDouble() <= most)) {
            why = QStringLiteral("%1: not a number of %2 above 0 and at most %3")
                      .arg(QLatin1String(key), QLatin1String(unit))
                      .arg(most, 0, 'g', 6);
            return false;
        }
        out = v.toDouble();
        return true;
    };
    if (!positive("dwell", "seconds", maxDwellS, zone.dwellS) ||
        !positive("speed_limit", "km/h", maxSpeedLimitKph, zone.speedLimitKph))
        return false;
    // A switch: true or false, or left out for its default.
    const auto boolean = [&](const char* key, bool& out) {
        const QJsonValue v = properties.value(QLatin1String(key));
        if (v.isUndefined())
            return true;
        if (!v.isBool()) {
            why = QStringLiteral("%1: not true or false").arg(QLatin1String(key));
            return false;
        }
        out = v.toBool();
        return true;
    };
    if (!boolean("confirmed_only", zone.confirmedOnly) || !boolean("watch", zone.watch))
        return false;
    const QJsonValue armed = properties.value(QLatin1String("armed"));
    if (!armed.isUndefined() && !armed.isNull() && !parseArmedSpans(armed, zone.armed, why))
        return false;
    if (!readClasses(properties, zone, why))
        return false;
    return readAlarm(properties.value(QLatin1String("alarm")), zone, why);
}

bool readFeature(const QJsonValue& value, const site::GeoReference& geo, Zone& zone, QString& why)
{
    const QJsonObject feature = value.toObject();
    if (feature.value(QLatin1String("type")).toString() != QLatin1String("Feature")) {
        why = QStringLiteral("not a GeoJSON Feature");
        return false;
    }
    if (!readProperties(feature.value(QLatin1String("properties")), zone, why))
        return false;
    const QJsonObject geometry = feature.value(QLatin1String("geometry")).toObject();
    const QString type = geometry.value(QLatin1String("type")).toString();
    const QJsonValue coordinates = geometry.value(QLatin1String("coordinates"));
    if (type == QLatin1String("Polygon")) {
        zone.kind = Zone::Kind::Zone;
        return readPolygon(coordinates, geo, zone, why) && checkAlarm(zone, why);
    }
    if (type == QLatin1String("LineString")) {
        zone.kind = Zone::Kind::Line;
        if (!readPath(coordinates, geo, zone.line, why))
            return false;
        if (zone.line.size() < minLinePositions) {
            why = QStringLiteral("a line takes at least %1 positions, not %2")
                      .arg(minLinePositions)
                      .arg(zone.line.size());
            return false;
        }
        if (zone.dwellS || zone.speedLimitKph) {
            why = QStringLiteral("a line takes no dwell or speed_limit");
            return false;
        }
        if (zone.watch) {
            why = QStringLiteral("watch: a line holds nothing to watch");
            return false;
        }
        return checkAlarm(zone, why);
    }
    why = QStringLiteral("geometry '%1': only Polygon (a zone) and LineString (a line)")
              .arg(type.isEmpty() ? QStringLiteral("none") : printable(type));
    return false;
}

// The corners the site view draws of a zone or line: a ring's closing
// position, its first again, is not one.
int cornersOf(const Zone& zone)
{
    if (zone.kind == Zone::Kind::Line)
        return int(zone.line.size());
    int corners = 0;
    for (const Path& ring : zone.rings)
        corners += int(ring.size()) - 1;
    return corners;
}

} // namespace

QString ringFault(const Path& ring)
{
    QString why;
    return checkRing(ring, why) ? QString() : why;
}

bool parseZones(const QByteArray& text, const site::GeoReference& geo, QVector<Zone>& zones,
                QString& error)
{
    zones.clear();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = QStringLiteral("not JSON: %1 at byte %2")
                    .arg(parseError.errorString())
                    .arg(parseError.offset);
        return false;
    }
    const QJsonObject collection = document.object();
    const QJsonValue features = collection.value(QLatin1String("features"));
    if (collection.value(QLatin1String("type")).toString() != QLatin1String("FeatureCollection") ||
        !features.isArray()) {
        error = QStringLiteral("not a GeoJSON FeatureCollection");
        return false;
    }
    QSet<QString> names;
    const QJsonArray list = features.toArray();
    if (list.size() > maxZones) {
        error = QStringLiteral("%1 features; the site view shows at most %2 zones and lines")
                    .arg(list.size())
                    .arg(maxZones);
        return false;
    }
    int corners = 0;
    for (int i = 0; i < list.size(); ++i) {
        Zone zone;
        QString why;
        const bool read = readFeature(list[i], geo, zone, why);
        const QString feature = zone.name.isEmpty()
                                    ? QStringLiteral("feature %1").arg(i + 1)
                                    : QStringLiteral("feature %1 (%2)").arg(i + 1).arg(zone.name);
        if (read && names.contains(zone.name))
            why = QStringLiteral("name: another feature has it; names are unique");
        if (!why.isEmpty()) {
            error = QStringLiteral("%1: %2").arg(feature, why);
            zones.clear();
            return false;
        }
        corners += cornersOf(zone);
        if (corners > maxZoneCorners) {
            error = QStringLiteral("%1: more than %2 corners in the zones and lines up to it; the "
                                   "site view shows at most that many")
                        .arg(feature)
                        .arg(maxZoneCorners);
            zones.clear();
            return false;
        }
        names.insert(zone.name);
        zones.append(zone);
    }
    return true;
}

bool loadZones(const QString& path, const site::GeoReference& geo, QVector<Zone>& zones,
               QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (!parseZones(file.readAll(), geo, zones, error)) {
        error = QStringLiteral("%1: %2").arg(path, error);
        return false;
    }
    return true;
}

} // namespace trklib::sited::zones

#pragma once

#include "tools/sited/fusion/picture.h"
#include "tools/sited/zones/schedule.h"
#include "tools/sited/zones/zonegeometry.h"

#include "tools/common/site/georeference.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// The site's zones file: a GeoJSON FeatureCollection (RFC 7946, longitude
// and latitude on WGS-84) of Polygon features, the zones, and LineString
// features, the lines, each with properties name (1 to 64 letters, digits,
// '_', '-', '.'; unique), dwell (seconds, > 0), speed_limit (km/h, > 0),
// confirmed_only (true unless false), armed (when it is armed, the spans
// of a week that parseArmedSpans() reads; always without it) and alarm (the
// events that raise an alarm: a zone's of enter, exit, dwell (with a dwell)
// and speed (with a speed_limit), a line's cross; each once; none when
// absent), classes (the classes of object it cares about: class names but
// "unknown", at least one, each once; every class when absent) and strict
// (with classes only: true when an object of class unknown does not count
// either; false unless given). Positions go into site coordinates in
// the frame of the tracks: a position with a height (metres above the
// ellipsoid) at the frame's x, y of that point, one without a height at the
// point of the site's plane with that latitude and longitude.
//
// A file is refused where the site view would leave zones out: every
// position at most maxZoneM east or west and north or south of the origin
// (a file with longitude and latitude swapped lands thousands of km away),
// at most maxZones zones and lines, at most maxZoneCorners corners in all
// (a ring's closing position not counted), dwell at most maxDwellS and
// speed_limit at most maxSpeedLimitKph.
namespace trklib::sited::zones {

// The site view's limits, which its page checks too (web/src/checks.js).
constexpr double maxZoneM = 100e3;          // metres from the origin, each axis
constexpr int maxZones = 200;               // zones and lines of a file
constexpr int maxZoneCorners = 10000;       // positions of all zones and lines
constexpr double maxDwellS = 8.64e12;       // seconds: the last date of the page
constexpr double maxSpeedLimitKph = 1000.0; // km/h
// The zones' message (<prefix>/<site>/zones) the page takes at most, bytes.
constexpr int maxZonesMessageBytes = 256 * 1024;

struct Zone
{
    enum class Kind
    {
        Zone,
        Line
    };

    QString name;
    Kind kind = Kind::Zone;
    QVector<Path> rings; // a zone's: the outer ring first, then its holes; each closed
    Path line;           // a line's points, in drawing order
    std::optional<double> dwellS;
    std::optional<double> speedLimitKph;
    bool confirmedOnly = true;
    bool watch = false;           // the site's cameras look at the nearest object inside
    QVector<ArmedSpan> armed;     // none: always armed
    QStringList alarm;            // event names ("enter", ...) that raise an alarm, as in the file
    QVector<ObjectClass> classes; // the classes it cares about, as in the file; none: all
    bool strict = false;          // with classes: an object of class unknown does not count

    // Whether an object of class c counts for it.
    bool caresFor(ObjectClass c) const
    {
        if (classes.isEmpty())
            return true;
        return c == ObjectClass::Unknown ? !strict : classes.contains(c);
    }
};

// Why a ring cannot bound a zone ("is not closed: ..."), or empty when it
// can: closed, of at least 4 positions, no position repeated at once, and
// no two edges sharing a point but neighbours at their corner.
QString ringFault(const Path& ring);

// Reads the text of a zones file. False with one line that names the
// feature ("feature 3 (gate): ...") and says why.
bool parseZones(const QByteArray& text, const site::GeoReference& geo, QVector<Zone>& zones,
                QString& error);

// The same for a file; the error starts with its path.
bool loadZones(const QString& path, const site::GeoReference& geo, QVector<Zone>& zones,
               QString& error);

} // namespace trklib::sited::zones

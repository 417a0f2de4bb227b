// Fuzz target: the text of a zones file (GeoJSON) through parseZones,
// against a fixed origin, as sited reads the file its site file names
// once at its start. Text whose objects repeat a key is passed over (see
// tools/common/service/jsonkeys.h).
//
// Checked: a refused file gets a one-line error; in an accepted one every
// zone and line has a name of its own, a zone's rings each bound a zone
// (ringFault finds nothing), a line has at least two points, every point
// is finite, and dwell and speed limit are above 0 where given.

#include "fuzzinput.h"
#include "tools/common/service/jsonkeys.h"

#include "tools/sited/zones/zonesfile.h"

#include <QSet>

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;
    using namespace trklib::sited::zones;

    static const trklib::site::GeoReference geo(trklib::site::Origin{48.137, 11.575, 520.0});
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    if (trklib::service::repeatsAKey(text))
        return 0; // Qt's leak, not the reader's: see service/jsonkeys.h
    QVector<Zone> zones;
    QString error;
    if (!parseZones(text, geo, zones, error)) {
        check(!error.isEmpty(), "a refused zones file says why");
        check(!error.contains(QLatin1Char('\n')), "a refused zones file's error is one line");
        return 0;
    }
    check(error.isEmpty(), "an accepted zones file has no error");
    const auto finite = [](const Path& path) {
        for (const Point& p : path)
            if (!std::isfinite(p.x) || !std::isfinite(p.y))
                return false;
        return true;
    };
    QSet<QString> names;
    for (const Zone& zone : zones) {
        check(!zone.name.isEmpty() && !names.contains(zone.name), "zone names are unique");
        names.insert(zone.name);
        if (zone.kind == Zone::Kind::Zone) {
            check(!zone.rings.isEmpty(), "a zone has an outer ring");
            for (const Path& ring : zone.rings) {
                check(finite(ring), "a ring's points are finite");
                check(ringFault(ring).isEmpty(), "a zone's rings each bound a zone");
            }
        } else {
            check(zone.line.size() >= 2, "a line has two points or more");
            check(finite(zone.line), "a line's points are finite");
            check(!zone.dwellS && !zone.speedLimitKph, "a line has no dwell or speed limit");
        }
        check(!zone.dwellS || *zone.dwellS > 0.0, "a dwell is above 0");
        check(!zone.speedLimitKph || *zone.speedLimitKph > 0.0, "a speed limit is above 0");
    }
    return 0;
}

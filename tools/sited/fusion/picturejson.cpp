#include "tools/sited/fusion/picturejson.h"

#include "tools/common/service/jsonwriter.h"

#include <cmath>

namespace trklib::sited::fusion {

using service::appendInteger;
using service::appendNumber;
using service::appendString;

namespace {

constexpr double kphPerMps = 3.6;
// Below this speed a heading is mostly noise: it is written as null.
constexpr double minHeadingSpeedKph = 1.0;
constexpr double fullTurnDeg = 360.0;
constexpr double degPerRad = 180.0 / M_PI;
// The start of an object's record, with room for its fields and two radars.
constexpr int objectBytes = 300;

// Degrees clockwise from north, 0 to 360 (360 excluded).
double compassHeading(double vxMps, double vyMps)
{
    double heading = std::atan2(vxMps, vyMps) * degPerRad;
    if (heading < 0.0)
        heading += fullTurnDeg;
    return heading >= fullTurnDeg ? 0.0 : heading;
}

} // namespace

QByteArray pictureMessage(const QString& siteName, const QStringList& radarNames,
                          const Picture& picture, const site::GeoReference* geo)
{
    QByteArray out;
    out.reserve(objectBytes * (picture.objects.size() + 1));
    out.append("{\"site\":");
    appendString(out, siteName);
    out.append(",\"time\":");
    appendInteger(out, picture.timeMs);
    out.append(",\"objects\":[");
    for (int i = 0; i < picture.objects.size(); ++i) {
        const SiteObject& o = picture.objects[i];
        out.append(i == 0 ? "{\"id\":" : ",{\"id\":");
        appendInteger(out, o.id);
        out.append(",\"x\":");
        appendNumber(out, o.xM);
        out.append(",\"y\":");
        appendNumber(out, o.yM);
        if (geo) {
            const site::GeoPoint p = geo->toGeodetic(o.xM, o.yM);
            out.append(",\"lat\":");
            appendNumber(out, p.latitudeDeg);
            out.append(",\"lon\":");
            appendNumber(out, p.longitudeDeg);
        }
        out.append(",\"vx\":");
        appendNumber(out, o.vxMps);
        out.append(",\"vy\":");
        appendNumber(out, o.vyMps);
        const double speedKph = std::hypot(o.vxMps, o.vyMps) * kphPerMps;
        out.append(",\"speed\":");
        appendNumber(out, speedKph);
        out.append(",\"heading\":");
        if (speedKph < minHeadingSpeedKph)
            out.append("null");
        else
            appendNumber(out, compassHeading(o.vxMps, o.vyMps));
        out.append(o.confirmed ? ",\"confirmed\":true" : ",\"confirmed\":false");
        out.append(",\"radars\":[");
        for (int r = 0; r < o.radars.size(); ++r) {
            out.append(r == 0 ? "{\"radar\":" : ",{\"radar\":");
            const int radar = o.radars[r].radar;
            appendString(out,
                         radar >= 0 && radar < radarNames.size() ? radarNames[radar] : QString());
            out.append(",\"number\":");
            appendInteger(out, o.radars[r].number);
            out.append('}');
        }
        out.append("],\"since\":");
        appendInteger(out, o.sinceMs);
        out.append('}');
    }
    out.append("]}");
    return out;
}

} // namespace trklib::sited::fusion

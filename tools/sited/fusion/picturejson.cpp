#include "tools/sited/fusion/picturejson.h"

#include "tools/common/service/jsonwriter.h"
#include "util/units.h"

#include <cmath>

namespace trklib::sited::fusion {

using service::appendInteger;
using service::appendNumber;
using service::appendPlace;
using service::appendString;

namespace {

// The start of an object's record, with room for its fields, two radars
// and its classes.
constexpr int objectBytes = 420;
// Probabilities are given to 3 decimals.
constexpr double probabilityScale = 1000.0;

} // namespace

void appendClasses(QByteArray& out, const ClassProbabilities& classes)
{
    for (int c = 0; c < objectClassCount; ++c) {
        out.append(c == 0 ? "{\"" : ",\"");
        out.append(className(ObjectClass(c)));
        out.append("\":");
        appendNumber(out, std::round(classes[c] * probabilityScale) / probabilityScale);
    }
    out.append('}');
}

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
        out.append(',');
        appendPlace(out, geo, o.xM, o.yM);
        out.append(",\"vx\":");
        appendNumber(out, o.vxMps);
        out.append(",\"vy\":");
        appendNumber(out, o.vyMps);
        const double speedKph = util::groundSpeedKph(o.vxMps, o.vyMps);
        out.append(",\"speed\":");
        appendNumber(out, speedKph);
        out.append(",\"heading\":");
        if (speedKph < minHeadingSpeedKph)
            out.append("null");
        else
            appendNumber(out, util::compassHeadingDeg(o.vxMps, o.vyMps));
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
        if (o.gappedS > 0.0) {
            out.append(",\"gapped\":");
            appendNumber(out, std::round(o.gappedS * 10.0) / 10.0);
        }
        out.append(",\"class\":\"");
        out.append(className(o.objectClass));
        out.append("\",\"classes\":");
        appendClasses(out, o.classes);
        out.append('}');
    }
    out.append("]}");
    return out;
}

} // namespace trklib::sited::fusion

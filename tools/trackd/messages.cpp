#include "messages.h"

#include "tools/common/jsonwriter.h"

#include <algorithm>
#include <cmath>

namespace trklib::trackd {

using site::appendInteger;
using site::appendNumber;
using site::appendString;

namespace {

// The start of a target's record, with room for its ten fields.
constexpr int targetBytes = 250;

// The radar's beam (radarsim's sensor model plays the same radar): 12
// degrees to either side of the boresight in azimuth and 15 in elevation,
// exchanged for vertical mounting, from 12 m to 300 m slant range.
constexpr double beamHalfWidthAzimuthDeg = 12.0;
constexpr double beamHalfWidthElevationDeg = 15.0;
constexpr double beamMinRangeM = 12.0;
constexpr double beamMaxRangeM = 300.0;
constexpr double fullTurnDeg = 360.0;

// How far from the point under the radar a slant range reaches on the
// ground, for an antenna heightM above it.
double groundRange(double slantM, double heightM)
{
    return std::sqrt(std::max(0.0, slantM * slantM - heightM * heightM));
}

// ,"lat":...,"lon":... of the site's point (x, y); nothing without geo.
void appendGeodetic(QByteArray& out, const site::GeoReference* geo, double xM, double yM)
{
    if (!geo)
        return;
    const site::GeoPoint p = geo->toGeodetic(xM, yM);
    out.append(",\"lat\":");
    appendNumber(out, p.latitudeDeg);
    out.append(",\"lon\":");
    appendNumber(out, p.longitudeDeg);
}

} // namespace

bool RadarStatus::sameCondition(const RadarStatus& o) const
{
    return readErrors == o.readErrors && badHeaders == o.badHeaders &&
           foreignDatagrams == o.foreignDatagrams && strayDatagrams == o.strayDatagrams &&
           abandonedPackets == o.abandonedPackets && competingDatagrams == o.competingDatagrams &&
           senders == o.senders && receiveBufferBytes == o.receiveBufferBytes;
}

QByteArray tracksMessage(const QString& site, const QString& radar, std::int64_t timestampMs,
                         std::int64_t receivedMs, const QVector<TargetData>& targets,
                         const RadarConfig& mounting, const util::RadarPlacement& placement,
                         const site::GeoReference* geo)
{
    QByteArray out;
    out.reserve(targetBytes * (targets.size() + 1));
    out.append("{\"site\":");
    appendString(out, site);
    out.append(",\"radar\":");
    appendString(out, radar);
    out.append(",\"timestamp\":");
    appendInteger(out, timestampMs);
    out.append(",\"received\":");
    appendInteger(out, receivedMs);
    out.append(",\"targets\":[");
    for (int i = 0; i < targets.size(); ++i) {
        const TargetData& t = targets[i];
        const util::GroundPoint onSite =
            util::sitePosition(util::groundPosition(t, mounting), placement);
        out.append(i == 0 ? "{\"number\":" : ",{\"number\":");
        appendInteger(out, t.number);
        out.append(",\"elevation\":");
        appendNumber(out, t.elevation);
        out.append(",\"azimuth\":");
        appendNumber(out, t.azimuth);
        out.append(",\"distance\":");
        appendNumber(out, t.distance);
        out.append(",\"velocity\":");
        appendNumber(out, t.velocity);
        out.append(t.confirmed ? ",\"confirmed\":true,\"x\":" : ",\"confirmed\":false,\"x\":");
        appendNumber(out, onSite.x);
        out.append(",\"y\":");
        appendNumber(out, onSite.y);
        appendGeodetic(out, geo, onSite.x, onSite.y);
        out.append('}');
    }
    out.append("]}");
    return out;
}

QByteArray placeFields(const RadarConfig& mounting, const util::RadarPlacement& placement,
                       const site::GeoReference* geo)
{
    // Azimuth grows to the left, counter-clockwise seen from above: a pan
    // turns the boresight from the heading against the compass.
    double bearingDeg = std::fmod(placement.headingDeg - mounting.pan, fullTurnDeg);
    if (bearingDeg < 0.0)
        bearingDeg += fullTurnDeg;
    QByteArray out;
    out.append("\"place\":{\"x\":");
    appendNumber(out, placement.x);
    out.append(",\"y\":");
    appendNumber(out, placement.y);
    appendGeodetic(out, geo, placement.x, placement.y);
    out.append(",\"heading\":");
    appendNumber(out, placement.headingDeg);
    out.append("},\"beam\":{\"bearing\":");
    appendNumber(out, bearingDeg);
    out.append(",\"halfWidth\":");
    appendNumber(out,
                 mounting.orientation == 1 ? beamHalfWidthElevationDeg : beamHalfWidthAzimuthDeg);
    out.append(",\"minRange\":");
    appendNumber(out, groundRange(beamMinRangeM, mounting.height));
    out.append(",\"maxRange\":");
    appendNumber(out, groundRange(beamMaxRangeM, mounting.height));
    out.append('}');
    return out;
}

QByteArray statusMessage(const RadarStatus& s, const QByteArray& place)
{
    QByteArray out;
    out.append("{\"online\":true,\"packets\":");
    appendInteger(out, s.packets);
    out.append(",\"readErrors\":");
    appendInteger(out, s.readErrors);
    out.append(",\"badHeaders\":");
    appendInteger(out, s.badHeaders);
    out.append(",\"foreignDatagrams\":");
    appendInteger(out, s.foreignDatagrams);
    out.append(",\"strayDatagrams\":");
    appendInteger(out, s.strayDatagrams);
    out.append(",\"abandonedPackets\":");
    appendInteger(out, s.abandonedPackets);
    out.append(",\"senders\":");
    appendInteger(out, s.senders);
    out.append(",\"competingDatagrams\":");
    appendInteger(out, s.competingDatagrams);
    out.append(",\"receiveBufferBytes\":");
    appendInteger(out, s.receiveBufferBytes);
    out.append(",\"rate\":");
    appendNumber(out, s.ratePps);
    out.append(",\"lastTimestamp\":");
    if (s.lastTimestampMs)
        appendInteger(out, *s.lastTimestampMs);
    else
        out.append("null");
    out.append(',').append(place).append('}');
    return out;
}

QByteArray offlineMessage(const QByteArray& place)
{
    return QByteArrayLiteral("{\"online\":false,") + place + '}';
}

} // namespace trklib::trackd

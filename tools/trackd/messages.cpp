#include "messages.h"

#include "tools/common/service/jsonwriter.h"
#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::trackd {

using service::appendInteger;
using service::appendNumber;
using service::appendPlace;
using service::appendString;

namespace {

// The radar's beam (radarsim's sensor model plays the same radar): 12
// degrees to either side of the boresight in azimuth and 15 in elevation,
// exchanged for vertical mounting, from 12 m to 300 m slant range.
constexpr double beamHalfWidthAzimuthDeg = 12.0;
constexpr double beamHalfWidthElevationDeg = 15.0;
constexpr double beamMinRangeM = 12.0;
constexpr double beamMaxRangeM = 300.0;

// How far from the point under the radar a slant range reaches on the
// ground, for an antenna heightM above it.
double groundRange(double slantM, double heightM)
{
    return std::sqrt(std::max(0.0, slantM * slantM - heightM * heightM));
}

} // namespace

QByteArray placeFields(const RadarConfig& mounting, const util::RadarPlacement& placement,
                       const site::GeoReference* geo)
{
    // Azimuth grows to the left, counter-clockwise seen from above: a pan
    // turns the boresight from the heading against the compass.
    double bearingDeg = std::fmod(placement.headingDeg - mounting.pan, util::fullTurnDeg);
    if (bearingDeg < 0.0)
        bearingDeg += util::fullTurnDeg;
    QByteArray out;
    out.append("\"place\":{");
    appendPlace(out, geo, placement.x, placement.y);
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
    out.append(",\"asterixClamped\":");
    appendInteger(out, s.asterixClamped);
    out.append(",\"outputDropped\":");
    appendInteger(out, s.outputDropped);
    out.append(',').append(place).append('}');
    return out;
}

QByteArray offlineMessage(const QByteArray& place)
{
    return QByteArrayLiteral("{\"online\":false,") + place + '}';
}

} // namespace trklib::trackd

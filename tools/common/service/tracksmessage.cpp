#include "tools/common/service/tracksmessage.h"

#include "tools/common/service/jsonwriter.h"

namespace trklib::service {

namespace {

// The start of a target's record, with room for its fourteen fields.
constexpr int targetBytes = 350;

void appendReflectivity(QByteArray& out, const TargetReflectivity& r)
{
    out.append("\"rcs\":{\"mean\":");
    appendNumber(out, r.meanDbsm);
    out.append(",\"max\":");
    appendNumber(out, r.maxDbsm);
    out.append(",\"last\":");
    appendNumber(out, r.lastDbsm);
    out.append(",\"samples\":");
    appendInteger(out, std::int64_t(r.samples));
    out.append("},");
}

} // namespace

util::GroundPoint siteGroundPoint(const TargetData& target, const RadarConfig& mounting,
                                  const util::RadarPlacement& placement)
{
    return util::sitePosition(util::groundPosition(target, mounting), placement);
}

QByteArray tracksMessage(const QString& site, const QString& radar, std::int64_t timestampMs,
                         std::int64_t receivedMs, const QVector<TargetData>& targets,
                         const QVector<TargetReflectivity>& reflectivity,
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
        const util::GroundPoint onSite = siteGroundPoint(t, mounting, placement);
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
        out.append(t.confirmed ? ",\"confirmed\":true," : ",\"confirmed\":false,");
        appendReflectivity(out, i < reflectivity.size() ? reflectivity[i] : TargetReflectivity{});
        appendPlace(out, geo, onSite.x, onSite.y);
        out.append('}');
    }
    out.append("]}");
    return out;
}

} // namespace trklib::service

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/service/jsonwriter.h"

namespace trklib::sited::zones {

using service::appendInteger;
using service::appendNumber;
using service::appendPlace;
using service::appendString;

namespace {

void appendPoints(QByteArray& out, const Path& path)
{
    out.append('[');
    for (int i = 0; i < path.size(); ++i) {
        out.append(i == 0 ? "[" : ",[");
        appendNumber(out, path[i].x);
        out.append(',');
        appendNumber(out, path[i].y);
        out.append(']');
    }
    out.append(']');
}

void appendOptional(QByteArray& out, const std::optional<double>& value)
{
    if (value)
        appendNumber(out, *value);
    else
        out.append("null");
}

} // namespace

const char* eventName(Event::Kind kind)
{
    switch (kind) {
    case Event::Kind::Enter:
        return "enter";
    case Event::Kind::Exit:
        return "exit";
    case Event::Kind::Dwell:
        return "dwell";
    case Event::Kind::Speed:
        return "speed";
    case Event::Kind::Cross:
        return "cross";
    }
    return "";
}

QByteArray eventMessage(const QString& siteName, const Zone& zone, const Event& event,
                        const site::GeoReference* geo)
{
    QByteArray out;
    out.append("{\"site\":");
    appendString(out, siteName);
    out.append(",\"event\":\"");
    out.append(eventName(event.kind));
    out.append("\",\"zone\":");
    appendString(out, zone.name);
    out.append(",\"object\":");
    appendInteger(out, event.object);
    out.append(",\"time\":");
    appendInteger(out, event.timeMs);
    out.append(',');
    appendPlace(out, geo, event.xM, event.yM);
    out.append(",\"speed\":");
    appendNumber(out, event.speedKph);
    out.append(",\"class\":\"");
    out.append(className(event.objectClass));
    out.append('"');
    if (event.kind == Event::Kind::Exit || event.kind == Event::Kind::Dwell) {
        out.append(",\"dwell\":");
        appendNumber(out, event.dwellS);
    }
    if (event.kind == Event::Kind::Cross)
        out.append(event.left ? ",\"direction\":\"left\"" : ",\"direction\":\"right\"");
    if (event.kind == Event::Kind::Exit)
        out.append(event.lost ? ",\"lost\":true" : ",\"lost\":false");
    out.append('}');
    return out;
}

void appendOverride(QByteArray& out, const std::optional<ArmingOverride>& override)
{
    if (!override) {
        out.append("null");
        return;
    }
    out.append(override->armed ? "{\"armed\":true,\"by\":" : "{\"armed\":false,\"by\":");
    appendString(out, override->by);
    out.append(",\"since\":");
    appendInteger(out, override->sinceMs);
    out.append(",\"until\":");
    if (override->untilMs)
        appendInteger(out, *override->untilMs);
    else
        out.append("null");
    out.append('}');
}

QByteArray zoneStateMessage(const Zone& zone, const ZoneState& state, bool armed,
                            const std::optional<ArmingOverride>& override)
{
    QByteArray out;
    out.append("{\"zone\":");
    appendString(out, zone.name);
    out.append(",\"occupants\":[");
    for (int i = 0; i < state.occupants.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendInteger(out, state.occupants[i]);
    }
    out.append("],\"entered\":");
    appendInteger(out, state.entered);
    out.append(",\"exited\":");
    appendInteger(out, state.exited);
    out.append(",\"crossings\":{\"left\":");
    appendInteger(out, state.crossedLeft);
    out.append(",\"right\":");
    appendInteger(out, state.crossedRight);
    out.append("},\"classes\":{");
    for (int c = 0; c < objectClassCount; ++c) {
        out.append(c == 0 ? "\"" : ",\"");
        out.append(className(ObjectClass(c)));
        out.append("\":");
        appendInteger(out, state.classes[c]);
    }
    out.append(armed ? "},\"armed\":true,\"override\":" : "},\"armed\":false,\"override\":");
    appendOverride(out, override);
    out.append('}');
    return out;
}

QByteArray zonesMessage(const QString& siteName, const QVector<Zone>& zones)
{
    QByteArray out;
    out.append("{\"site\":");
    appendString(out, siteName);
    out.append(",\"zones\":[");
    for (int z = 0; z < zones.size(); ++z) {
        const Zone& zone = zones[z];
        const bool line = zone.kind == Zone::Kind::Line;
        out.append(z == 0 ? "{\"name\":" : ",{\"name\":");
        appendString(out, zone.name);
        out.append(line ? ",\"kind\":\"line\",\"coordinates\":"
                        : ",\"kind\":\"zone\",\"coordinates\":");
        if (line) {
            appendPoints(out, zone.line);
        } else {
            out.append('[');
            for (int r = 0; r < zone.rings.size(); ++r) {
                if (r > 0)
                    out.append(',');
                appendPoints(out, zone.rings[r]);
            }
            out.append(']');
        }
        out.append(",\"dwell\":");
        appendOptional(out, zone.dwellS);
        out.append(",\"speed_limit\":");
        appendOptional(out, zone.speedLimitKph);
        out.append(zone.confirmedOnly ? ",\"confirmed_only\":true}" : ",\"confirmed_only\":false}");
    }
    out.append("]}");
    return out;
}

} // namespace trklib::sited::zones

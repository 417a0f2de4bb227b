#include "tools/common/encoders/cot.h"

#include "util/units.h"

#include <QDateTime>

#include <cmath>

namespace trklib::encoders::cot {

namespace {

using util::fullTurnDeg;
constexpr double radToDeg = util::degPerRad;
// Degrees to 1e-8 (about a millimetre); metres, m/s and km/h to a
// hundredth.
constexpr int degreeDecimals = 8;
constexpr int metreDecimals = 2;
// Seconds to the millisecond.
constexpr int secondDecimals = 3;

// "2026-12-07T19:27:42.123Z".
QByteArray timeText(std::int64_t epochMs)
{
    return QDateTime::fromMSecsSinceEpoch(epochMs, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"))
        .toLatin1();
}

QByteArray fixed(double value, int decimals)
{
    return QByteArray::number(value, 'f', decimals);
}

QByteArray attribute(const char* name, const QByteArray& value)
{
    return QByteArray(" ") + name + "=\"" + value + '"';
}

QByteArray escaped(const QString& text)
{
    return text.toHtmlEscaped().toUtf8();
}

std::int64_t milliseconds(double seconds)
{
    return std::int64_t(std::llround(seconds * 1000.0));
}

// The event element's start: who, what, how, when and until when.
QByteArray opening(const QByteArray& id, const char* type, std::int64_t timeMs,
                   std::int64_t staleMs)
{
    const QByteArray time = timeText(timeMs);
    QByteArray out("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<event");
    out += attribute("version", "2.0");
    out += attribute("uid", id);
    out += attribute("type", type);
    // Machine-made, fused from the site's radars.
    out += attribute("how", "m-f");
    out += attribute("time", time);
    out += attribute("start", time);
    out += attribute("stale", timeText(staleMs));
    out += '>';
    return out;
}

// On the site's ground: no height is measured.
QByteArray point(const Source& source, const site::GeoPoint& where, double circularErrorM)
{
    QByteArray out("<point");
    out += attribute("lat", fixed(where.latitudeDeg, degreeDecimals));
    out += attribute("lon", fixed(where.longitudeDeg, degreeDecimals));
    out += attribute("hae", fixed(source.haeM, metreDecimals));
    out += attribute("ce", fixed(circularErrorM, metreDecimals));
    out += attribute("le", fixed(unknown, metreDecimals));
    out += "/>";
    return out;
}

// What happened, as a user reads it: "Object 7 left yard after 12.5 s."
QString remarks(const ZoneEventReport& e)
{
    const QString object = QStringLiteral("Object %1").arg(e.object);
    const QString speed = QString::number(e.speedKph, 'f', 1);
    const QString dwell = QString::number(e.dwellS.value_or(0.0), 'f', 1);
    if (e.event == QLatin1String("enter"))
        return QStringLiteral("%1 entered %2 at %3 km/h.").arg(object, e.zone, speed);
    if (e.event == QLatin1String("exit") && e.lost.value_or(false))
        return QStringLiteral("%1 was lost in %2 after %3 s.").arg(object, e.zone, dwell);
    if (e.event == QLatin1String("exit"))
        return QStringLiteral("%1 left %2 after %3 s.").arg(object, e.zone, dwell);
    if (e.event == QLatin1String("dwell"))
        return QStringLiteral("%1 has been in %2 for %3 s.").arg(object, e.zone, dwell);
    if (e.event == QLatin1String("speed"))
        return QStringLiteral("%1 went %2 km/h in %3, above its limit.").arg(object, speed, e.zone);
    if (e.event == QLatin1String("cross"))
        return QStringLiteral("%1 crossed %2 to the %3 at %4 km/h.")
            .arg(object, e.zone, e.direction, speed);
    return QStringLiteral("%1: %2 in %3.").arg(object, e.event, e.zone);
}

} // namespace

const char* trackType(Kind kind)
{
    switch (kind) {
    case Kind::Person:
        return "a-u-G-U-C-I";
    case Kind::Car:
        return "a-u-G-E-V-C-A";
    case Kind::TwoWheeler:
    case Kind::Truck:
        return "a-u-G-E-V-C";
    case Kind::Animal:
    case Kind::Unknown:
        break;
    }
    return unknownGroundTrack;
}

QString uid(const QString& site, std::int64_t id)
{
    return QStringLiteral("trklib-%1-%2").arg(site).arg(id);
}

QByteArray event(const Source& source, const asterix::SiteTrackReport& o, double circularErrorM,
                 Kind kind)
{
    if (!o.position)
        return QByteArray();
    const std::int64_t staleMs = o.ended ? o.timeMs : o.timeMs + milliseconds(source.staleAfterS);
    double courseDeg = std::atan2(o.vxMps, o.vyMps) * radToDeg; // clockwise from north
    if (courseDeg < 0.0)
        courseDeg += fullTurnDeg;
    const double speedMps = std::hypot(o.vxMps, o.vyMps);
    const QByteArray id = escaped(uid(source.site, o.id));

    QByteArray out = opening(id, trackType(kind), o.timeMs, staleMs);
    out += point(source, *o.position, circularErrorM);
    out += "<detail><track";
    out += attribute("course", fixed(courseDeg, metreDecimals));
    out += attribute("speed", fixed(speedMps, metreDecimals));
    out += "/><contact";
    out += attribute("callsign", id);
    out += "/></detail></event>\n";
    return out;
}

QString zoneEventUid(const QString& site, const ZoneEventReport& e)
{
    // One pass of arg(): a zone named "%3" stays so.
    return QStringLiteral("trklib-%1-event-%2-%3-%4-%5")
        .arg(site, e.zone, QString::number(e.object), QString::number(e.timeMs), e.event);
}

QByteArray zoneEvent(const Source& source, const ZoneEventReport& e)
{
    const std::int64_t staleMs = e.timeMs + milliseconds(zoneEventStaleS);
    // The object's position is the filter's, whose error the event does not
    // carry.
    QByteArray out = opening(escaped(zoneEventUid(source.site, e)), zoneAlarm, e.timeMs, staleMs);
    out += point(source, e.position, unknown);
    out += "<detail><contact";
    out += attribute(
        "callsign",
        escaped(QStringLiteral("%1 %2 %3").arg(e.zone, e.event, QString::number(e.object))));
    out += "/><remarks>";
    out += escaped(remarks(e));
    out += "</remarks><trklib_event";
    out += attribute("event", escaped(e.event));
    out += attribute("zone", escaped(e.zone));
    out += attribute("object", QByteArray::number(qlonglong(e.object)));
    out += attribute("speed", fixed(e.speedKph, metreDecimals));
    if (!e.objectClass.isEmpty())
        out += attribute("class", escaped(e.objectClass));
    if (e.dwellS)
        out += attribute("dwell", fixed(*e.dwellS, secondDecimals));
    if (!e.direction.isEmpty())
        out += attribute("direction", escaped(e.direction));
    if (e.lost)
        out += attribute("lost", *e.lost ? "true" : "false");
    out += "/></detail></event>\n";
    return out;
}

bool Throttle::due(std::int64_t nowMs)
{
    if (sent_ && double(nowMs - lastMs_) < intervalMs_)
        return false;
    sent_ = true;
    lastMs_ = nowMs;
    return true;
}

} // namespace trklib::encoders::cot

#include "tools/common/cot.h"

#include <QDateTime>

#include <cmath>

namespace trklib::cot {

namespace {

constexpr double fullTurnDeg = 360.0;
constexpr double radToDeg = 180.0 / M_PI;
// Degrees to 1e-8 (about a millimetre); metres and m/s to a centimetre.
constexpr int degreeDecimals = 8;
constexpr int metreDecimals = 2;

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

} // namespace

QString uid(const QString& site, std::int64_t id)
{
    return QStringLiteral("trklib-%1-%2").arg(site).arg(id);
}

QByteArray event(const Source& source, const asterix::SiteTrackReport& o, double circularErrorM)
{
    if (!o.position)
        return QByteArray();
    const std::int64_t staleMs =
        o.ended ? o.timeMs : o.timeMs + std::int64_t(std::llround(source.staleAfterS * 1000.0));
    double courseDeg = std::atan2(o.vxMps, o.vyMps) * radToDeg; // clockwise from north
    if (courseDeg < 0.0)
        courseDeg += fullTurnDeg;
    const double speedMps = std::hypot(o.vxMps, o.vyMps);
    const QByteArray id = uid(source.site, o.id).toHtmlEscaped().toUtf8();
    const QByteArray time = timeText(o.timeMs);

    QByteArray out("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<event");
    out += attribute("version", "2.0");
    out += attribute("uid", id);
    out += attribute("type", unknownGroundTrack);
    // Machine-made, fused from the site's radars.
    out += attribute("how", "m-f");
    out += attribute("time", time);
    out += attribute("start", time);
    out += attribute("stale", timeText(staleMs));
    out += "><point";
    out += attribute("lat", fixed(o.position->latitudeDeg, degreeDecimals));
    out += attribute("lon", fixed(o.position->longitudeDeg, degreeDecimals));
    out += attribute("hae", fixed(source.haeM, metreDecimals));
    out += attribute("ce", fixed(circularErrorM, metreDecimals));
    out += attribute("le", fixed(unknown, metreDecimals));
    out += "/><detail><track";
    out += attribute("course", fixed(courseDeg, metreDecimals));
    out += attribute("speed", fixed(speedMps, metreDecimals));
    out += "/><contact";
    out += attribute("callsign", id);
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

} // namespace trklib::cot

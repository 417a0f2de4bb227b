#include "sitesimulator.h"

#include "tools/common/service/jsonwriter.h"
#include "tools/common/sim/siteworld.h"

#include "input/packetencoder.h"
#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::sim {

namespace {

// Independent random streams of one seed: each radar's sensor and network
// get the stream of their base plus the radar's index; the world's paths
// take the streams from 0.
constexpr quint64 phaseStream = 1003;
constexpr quint64 sensorStreamBase = 2000;
constexpr quint64 networkStreamBase = 3000;

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

bool isAnyAddress(const QHostAddress& address)
{
    return address.isNull() || address == QHostAddress(QHostAddress::AnyIPv4) ||
           address == QHostAddress(QHostAddress::AnyIPv6);
}

QHostAddress loopbackOf(QAbstractSocket::NetworkLayerProtocol protocol)
{
    return QHostAddress(protocol == QAbstractSocket::IPv6Protocol ? QHostAddress::LocalHostIPv6
                                                                  : QHostAddress::LocalHost);
}

} // namespace

bool siteRadarEndpoints(const site::RadarEntry& radar, SiteRadar& out, QString& error)
{
    const bool anyBind = isAnyAddress(radar.bindAddress);
    const bool anySender = radar.radarAddress.isNull();
    out.name = radar.name;
    out.mounting = radar.mounting;
    out.placement = radar.placement;
    out.port = radar.port;
    out.destination = !anyBind    ? radar.bindAddress
                      : anySender ? loopbackOf(radar.bindAddress.protocol())
                                  : loopbackOf(radar.radarAddress.protocol());
    out.source = !anySender ? radar.radarAddress : loopbackOf(out.destination.protocol());
    const auto notLoopback = [&](const char* key, const QHostAddress& address) {
        error = QStringLiteral("radar %1: %2 %3 is not a loopback address; radarsim sends on "
                               "loopback only")
                    .arg(radar.name, QLatin1String(key), address.toString());
        return false;
    };
    if (!out.destination.isLoopback())
        return notLoopback("bind_address", out.destination);
    if (!out.source.isLoopback())
        return notLoopback("radar_address", out.source);
    if (out.source.protocol() != out.destination.protocol()) {
        error = QStringLiteral("radar %1: radar_address %2 and bind_address %3 are not of one "
                               "protocol")
                    .arg(radar.name, out.source.toString(), out.destination.toString());
        return false;
    }
    return true;
}

SiteSimulator::SiteSimulator(const site::SiteConfig& site, const SimOptions& options,
                             const MountingErrors& errors)
    : options_(options), world_(siteScene(options.scene, options.seed, options.tuning))
{
    SimRandom phases(streamSeed(options.seed, phaseStream));
    const qint64 phaseSpanMs = options.maxPhaseMs() + 1;
    for (int i = 0; i < site.radars.size(); ++i) {
        SiteRadar radar;
        QString ignored; // checked by the caller
        siteRadarEndpoints(site.radars[i], radar, ignored);
        // The site file's range offset is the radar's as surveyed: it
        // reports distances that much too long, and an error adds to it.
        radar.rangeBiasM = site.radars[i].rangeOffsetM;
        // A radar without an error keeps the file's values as they are.
        if (errors.contains(radar.name)) {
            const MountingError& error = errors[radar.name];
            radar.mounting = trueMounting(radar.mounting, error);
            radar.placement = truePlacement(radar.placement, error);
            radar.rangeBiasM += error.rangeM;
        }
        radar.phaseMs = qMin(phaseSpanMs - 1, qint64(phases.uniform() * double(phaseSpanMs)));
        radars_.append(radar);
        views_.push_back(
            {SensorModel(radar.mounting, streamSeed(options.seed, sensorStreamBase + quint64(i))),
             DatagramShaper(options.lossProbability, options.reorderProbability,
                            streamSeed(options.seed, networkStreamBase + quint64(i)))});
        views_.back().sensor.setFalseAlarms(options.falseAlarms);
        views_.back().sensor.setRangeBias(radar.rangeBiasM);
        phaseOrder_.append(i);
    }
    std::stable_sort(phaseOrder_.begin(), phaseOrder_.end(),
                     [&](int a, int b) { return radars_[a].phaseMs < radars_[b].phaseMs; });
    if (site.origin)
        geo_.emplace(*site.origin);
}

SitePeriod SiteSimulator::period(qint64 number)
{
    SitePeriod out;
    out.number = number;
    out.timeMs = options_.timestampMs(number);
    const auto sceneTimeS = [&](qint64 timestampMs) {
        return double(timestampMs - options_.startMs) / util::msPerS;
    };

    // The world first: its time comes before every radar's of the period,
    // and the world is asked at growing times.
    const QVector<ObjectState> objects = world_.objectsAt(sceneTimeS(out.timeMs));
    for (const ObjectState& o : objects) {
        SiteSighting s;
        s.object = o;
        for (int i = 0; i < radars_.size(); ++i) {
            if (views_[i].sensor.look(inRadarFrame(o, radars_[i].placement)).inBeam)
                s.radars.append(radars_[i].name);
        }
        out.world.append(s);
    }

    for (const int i : qAsConst(phaseOrder_)) {
        SitePacket p;
        p.radar = i;
        p.number = number;
        p.timestampMs = out.timeMs + radars_[i].phaseMs;
        const SensorFrame frame =
            observe(i, world_.objectsAt(sceneTimeS(p.timestampMs)), p.timestampMs);
        p.datagrams = views_[i].shaper.shape(
            PacketEncoder::datagrams(frame.packet, options_.maxDatagramBytes));
        out.packets.append(p);
    }
    return out;
}

SensorFrame SiteSimulator::observe(int radar, const QVector<ObjectState>& objects,
                                   qint64 timestampMs)
{
    QVector<ObjectState> seen = objects;
    for (ObjectState& o : seen)
        o = inRadarFrame(o, radars_[radar].placement);
    return views_[radar].sensor.observe(seen, timestampMs);
}

const char* SiteSimulator::truthHeader()
{
    return "time,id,kind,class,x,y,vx,vy,speed_kph,lat,lon,radars";
}

QString SiteSimulator::truthRow(qint64 timeMs, const SiteSighting& s) const
{
    const ObjectState& o = s.object;
    const QString x = fixed(o.x, 3);
    const QString y = fixed(o.y, 3);
    QString lat;
    QString lon;
    if (geo_) {
        // Of the point as written, so that the row holds together; in the
        // shortest round-trip form, as the programs of the site write them.
        const site::GeoPoint p = geo_->toGeodetic(x.toDouble(), y.toDouble());
        QByteArray text;
        service::appendNumber(text, p.latitudeDeg);
        lat = QString::fromLatin1(text);
        text.clear();
        service::appendNumber(text, p.longitudeDeg);
        lon = QString::fromLatin1(text);
    }
    const QStringList fields{QString::number(timeMs),
                             QString::number(o.id),
                             siteKindName(o.kind),
                             kindClassName(o.kind),
                             x,
                             y,
                             fixed(o.vx, 3),
                             fixed(o.vy, 3),
                             fixed(util::groundSpeedKph(o.vx, o.vy), 3),
                             lat,
                             lon,
                             s.radars.join(QLatin1Char(';'))};
    return fields.join(QLatin1Char(','));
}

} // namespace trklib::sim

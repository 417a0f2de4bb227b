#include "tools/sited/outputs/trackoutputs.h"

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/encoders/udpdestination.h"
#include "tools/common/service/brokerclient.h"
#include "tools/common/service/eventlog.h"

#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace trklib::sited::outputs {

namespace {

using service::logEvent;
using service::Priority;

// Whether the object's radar tracks (by radar) all come from one radar,
// or from none while it coasts.
bool monosensor(const SiteObject& o)
{
    return std::all_of(o.radars.cbegin(), o.radars.cend(),
                       [&](const ObjectRadar& r) { return r.radar == o.radars.first().radar; });
}

// The CoT kind of an object's class (the encoder keeps a list of its own).
encoders::cot::Kind cotKind(ObjectClass c)
{
    using encoders::cot::Kind;
    switch (c) {
    case ObjectClass::Person:
        return Kind::Person;
    case ObjectClass::TwoWheeler:
        return Kind::TwoWheeler;
    case ObjectClass::Car:
        return Kind::Car;
    case ObjectClass::Truck:
        return Kind::Truck;
    case ObjectClass::Animal:
        return Kind::Animal;
    case ObjectClass::Unknown:
        break;
    }
    return Kind::Unknown;
}

OutputObject outputObject(const SiteObject& o, std::int64_t timeMs, const site::GeoReference* geo)
{
    OutputObject out;
    encoders::asterix::SiteTrackReport& t = out.track;
    t.id = o.id;
    t.confirmed = o.confirmed;
    t.timeMs = timeMs;
    t.xM = o.xM;
    t.yM = o.yM;
    t.vxMps = o.vxMps;
    t.vyMps = o.vyMps;
    t.monosensor = monosensor(o);
    if (geo)
        t.position = geo->toGeodetic(o.xM, o.yM);
    out.positionErrorM = o.positionErrorM;
    out.kind = cotKind(o.objectClass);
    return out;
}

} // namespace

QVector<OutputObject> ObjectRounds::take(const Picture& picture)
{
    QVector<OutputObject> objects;
    objects.reserve(picture.objects.size());
    QSet<std::int64_t> ids;
    for (const SiteObject& o : picture.objects) {
        objects.append(outputObject(o, picture.timeMs, geo_));
        ids.insert(o.id);
    }
    QVector<OutputObject> now = objects;
    for (OutputObject& o : last_) {
        if (ids.contains(o.track.id))
            continue;
        o.track.ended = true;
        objects.append(o);
    }
    last_ = std::move(now);
    return objects;
}

TrackOutputs::TrackOutputs(const site::SiteConfig& site)
    : site_(site),
      geo_(site.origin ? std::make_optional<site::GeoReference>(*site.origin) : std::nullopt),
      cat062Rounds_(geo_ ? &*geo_ : nullptr), cotRounds_(geo_ ? &*geo_ : nullptr),
      cotThrottle_(site.cot.ratePerS)
{}

TrackOutputs::~TrackOutputs()
{
    for (const int fd : {cat062Socket_, cotSocket_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool TrackOutputs::open(QString& error)
{
    if (site_.asterix.cat062.isSet()) {
        cat062Socket_ = encoders::openUdpDestination(site_.asterix.cat062,
                                                     QStringLiteral("[asterix] cat062"), error);
        if (cat062Socket_ < 0)
            return false;
        logEvent(Priority::Info, QStringLiteral("ASTERIX category 062 to %1 as SAC %2 SIC %3")
                                     .arg(site_.asterix.cat062.toString())
                                     .arg(site_.asterix.sac)
                                     .arg(site_.asterix.sicSite));
    }
    if (site_.cot.enabled) {
        cotSocket_ = encoders::openUdpDestination(site_.cot.destination,
                                                  QStringLiteral("[cot] destination"), error);
        if (cotSocket_ < 0)
            return false;
        logEvent(
            Priority::Info,
            QStringLiteral("Cursor-on-Target to %1, %2 rounds a second%3")
                .arg(site_.cot.destination.toString())
                .arg(site_.cot.ratePerS)
                .arg(geo_ ? QString() : QStringLiteral(": none while the site has no origin")));
    }
    return true;
}

void TrackOutputs::sendDatagram(int socket, const QByteArray& datagram)
{
    if (::send(socket, datagram.constData(), std::size_t(datagram.size()), MSG_DONTWAIT) ==
        datagram.size()) {
        ++datagrams_;
        return;
    }
    ++dropped_;
    if (!saidDropped_) {
        saidDropped_ = true;
        logEvent(Priority::Warning,
                 QStringLiteral("a track output's datagram could not be sent at once and is "
                                "dropped: %1 (said once)")
                     .arg(service::errnoText(errno)));
    }
}

void TrackOutputs::send(const Picture& picture)
{
    if (cat062Socket_ >= 0) {
        QVector<encoders::asterix::SiteTrackReport> tracks;
        for (const OutputObject& o : cat062Rounds_.take(picture))
            tracks.append(o.track);
        const encoders::asterix::DataSource source{std::uint8_t(site_.asterix.sac),
                                                   std::uint8_t(site_.asterix.sicSite)};
        const std::uint64_t clampedBefore = clamped_.total();
        for (const QByteArray& block : encoders::asterix::cat062Datagrams(source, tracks, clamped_))
            sendDatagram(cat062Socket_, block);
        if (!saidClamped_ && clamped_.total() > clampedBefore) {
            saidClamped_ = true;
            logEvent(Priority::Warning,
                     QStringLiteral("[asterix] cat062: a value lies outside its item's range "
                                    "and is sent clamped to the nearest end (said once)"));
        }
    }
    if (cotSocket_ >= 0 && cotThrottle_.due(picture.timeMs)) {
        const encoders::cot::Source source = cotSource();
        for (const OutputObject& o : cotRounds_.take(picture)) {
            const QByteArray event =
                encoders::cot::event(source, o.track, o.positionErrorM, o.kind);
            if (!event.isEmpty())
                sendDatagram(cotSocket_, event);
        }
    }
}

void TrackOutputs::sendZoneEvents(const QVector<zones::Event>& events,
                                  const QVector<zones::Zone>& zones)
{
    if (cotSocket_ < 0 || !geo_)
        return;
    const encoders::cot::Source source = cotSource();
    for (const zones::Event& e : events) {
        encoders::cot::ZoneEventReport r;
        r.event = QLatin1String(eventName(e.kind));
        r.zone = zones[e.zone].name;
        r.object = e.object;
        r.timeMs = e.timeMs;
        r.position = geo_->toGeodetic(e.xM, e.yM);
        r.speedKph = e.speedKph;
        r.objectClass = QLatin1String(className(e.objectClass));
        if (e.kind == zones::Event::Kind::Exit || e.kind == zones::Event::Kind::Dwell)
            r.dwellS = e.dwellS;
        if (e.kind == zones::Event::Kind::Cross)
            r.direction = e.left ? QStringLiteral("left") : QStringLiteral("right");
        if (e.kind == zones::Event::Kind::Exit)
            r.lost = e.lost;
        sendDatagram(cotSocket_, encoders::cot::zoneEvent(source, r));
    }
}

encoders::cot::Source TrackOutputs::cotSource() const
{
    return {site_.name, site_.origin ? site_.origin->altitudeM : encoders::cot::unknown,
            site_.fusion.coastS};
}

} // namespace trklib::sited::outputs

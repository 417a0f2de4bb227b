#pragma once

#include "tools/common/encoders/cat062.h"

#include "util/units.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// Cursor-on-Target: the site's objects as CoT events, the XML that
// situational-awareness clients take over UDP.
namespace trklib::encoders::cot {

// What CoT writes for a value that is not known (a height, an error).
constexpr double unknown = 9999999.0;
// An object whose affiliation nobody knows, on the ground.
constexpr char unknownGroundTrack[] = "a-u-G";
// What the site judged an object to be, as the event's type says it. The
// type tree's ground branch (G) has ground units (G-U) and ground
// equipment (G-E), after the military symbology it comes from:
// - a person: G-U-C-I, combat infantry, the tree's only type of people on
//   foot (it has no dismounted individual; the affiliation stays unknown);
// - a car: G-E-V-C-A, a civilian automobile;
// - a truck or bus, a two-wheeler: G-E-V-C, a civilian vehicle: the tree
//   has no type for both trucks and buses, and none for a motorcycle or a
//   bicycle;
// - an animal: plain G, an unknown ground track: the tree's only animals
//   are pack animals, equipment that carries loads (G-E-V-M), which a deer
//   or a stray dog is not;
// - unknown: plain G.
enum class Kind
{
    Person,
    TwoWheeler,
    Car,
    Truck,
    Animal,
    Unknown
};

// The event's type for an object of that kind, affiliation unknown:
// "a-u-G-U-C-I", "a-u-G-E-V-C-A", ... or unknownGroundTrack.
const char* trackType(Kind kind);

// An alarm (the type tree's b-a branch) raised by a geofence (g): what a
// zone event is to a client, shown as an alert at the event's point.
constexpr char zoneAlarm[] = "b-a-g";
// How long a client shows a zone event's alarm.
constexpr double zoneEventStaleS = 300.0;
// Where CoT clients listen by default: the usual multicast group and port
// of situational-awareness networks.
constexpr char defaultGroup[] = "239.2.3.1";
constexpr quint16 defaultPort = 6969;

// What the events of one site share.
struct Source
{
    QString site;             // the site's name: uids are trklib-<site>-<id>
    double haeM = unknown;    // height above the ellipsoid of the site's ground
    double staleAfterS = 3.0; // how long a client keeps showing an object: the fusion's coast
};

// "trklib-<site>-<id>".
QString uid(const QString& site, std::int64_t id);

// One event for an object that has a position on Earth (an empty array
// for one without). circularErrorM: the radius in metres of the filter's
// position error, or unknown. An ended object's event is stale at once, so
// that clients drop it.
QByteArray event(const Source& source, const asterix::SiteTrackReport& object,
                 double circularErrorM = unknown, Kind kind = Kind::Unknown);

// A zone event of the site's rules, with its place on Earth.
struct ZoneEventReport
{
    QString event; // "enter", "exit", "dwell", "speed" or "cross"
    QString zone;
    std::int64_t object = 0;
    std::int64_t timeMs = 0; // the picture's, ms since the epoch, UTC
    site::GeoPoint position;
    double speedKph = 0.0;
    std::optional<double> dwellS; // exit and dwell: seconds inside
    QString direction;            // cross: "left" or "right"; empty otherwise
    std::optional<bool> lost;     // exit: the object ended inside
    QString objectClass;          // what the site judged the object to be then; empty: not said
};

// "trklib-<site>-event-<zone>-<object>-<time>-<event>": one event's own,
// so that no alarm replaces another on a client.
QString zoneEventUid(const QString& site, const ZoneEventReport& e);

// One alarm for a zone event, stale zoneEventStaleS after it. Its detail
// says what happened in a <remarks> sentence for a user and in a
// <trklib_event> element with the event's fields for a program.
QByteArray zoneEvent(const Source& source, const ZoneEventReport& e);

// At most ratePerS rounds of events per second: due() says whether a round
// may go at nowMs, and counts it when it does.
class Throttle
{
public:
    explicit Throttle(double ratePerS) : intervalMs_(util::msPerS / ratePerS) {}
    bool due(std::int64_t nowMs);

private:
    double intervalMs_;
    bool sent_ = false;
    std::int64_t lastMs_ = 0;
};

} // namespace trklib::encoders::cot

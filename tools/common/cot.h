#pragma once

#include "tools/common/cat062.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// Cursor-on-Target: the site's objects as CoT events, the XML that
// situational-awareness clients take over UDP.
namespace trklib::cot {

// What CoT writes for a value that is not known (a height, an error).
constexpr double unknown = 9999999.0;
// An object whose affiliation nobody knows, on the ground.
constexpr char unknownGroundTrack[] = "a-u-G";
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
                 double circularErrorM = unknown);

// At most ratePerS rounds of events per second: due() says whether a round
// may go at nowMs, and counts it when it does.
class Throttle
{
public:
    explicit Throttle(double ratePerS) : intervalMs_(1000.0 / ratePerS) {}
    bool due(std::int64_t nowMs);

private:
    double intervalMs_;
    bool sent_ = false;
    std::int64_t lastMs_ = 0;
};

} // namespace trklib::cot

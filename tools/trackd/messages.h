#pragma once

#include "interface/targettrackinginterface.h"
#include "tools/common/georeference.h"
#include "util/groundposition.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <optional>

// The JSON payloads trackd publishes. Numbers of the library are written
// in their shortest form that reads back to the same double, so that a
// subscriber gets the library's values bit for bit.
namespace trklib::trackd {

// What a radar's status message says besides "online".
struct RadarStatus
{
    std::uint64_t packets = 0;
    std::uint64_t readErrors = 0;
    std::uint64_t badHeaders = 0;
    std::uint64_t foreignDatagrams = 0;
    std::uint64_t strayDatagrams = 0;
    std::uint64_t abandonedPackets = 0;
    std::uint64_t competingDatagrams = 0; // dropped: another sender was followed
    std::uint32_t senders = 0;
    std::int32_t receiveBufferBytes = 0;
    double ratePps = 0.0; // packets per second over the last 5 s
    std::optional<std::int64_t> lastTimestampMs;

    // Everything but the packet count, the rate and the last timestamp,
    // which move with every packet: a status is published at once when
    // any of these changes, not only once a second.
    bool sameCondition(const RadarStatus& other) const;
};

// One packet's tracks: {"site", "radar", "timestamp", "received",
// "targets": [{"number", "elevation", "azimuth", "distance", "velocity",
// "confirmed", "x", "y", "lat", "lon"}]}, with x and y the target's ground
// position on the site (metres east and north of its origin), and lat and
// lon where that lies on Earth; without geo (a site without an origin)
// there are no lat and lon.
QByteArray tracksMessage(const QString& site, const QString& radar, std::int64_t timestampMs,
                         std::int64_t receivedMs, const QVector<TargetData>& targets,
                         const RadarConfig& mounting, const util::RadarPlacement& placement,
                         const site::GeoReference* geo);

// The radar's place on the site and what its beam covers there, so that a
// subscriber can draw it on a map from the status alone:
//   "place":{"x","y","lat","lon","heading"}: metres east and north of the
//     site's origin, where that lies on Earth (only with geo), and where
//     pan 0 looks (degrees clockwise from north);
//   "beam":{"bearing","halfWidth","minRange","maxRange"}: where the
//     boresight looks (degrees clockwise from north: the heading less the
//     pan), the beam's half-width in azimuth (degrees), and its near and
//     far ends on the ground (metres from the point under the radar).
// The fields of an object, without braces, for the status messages below.
QByteArray placeFields(const RadarConfig& mounting, const util::RadarPlacement& placement,
                       const site::GeoReference* geo);

// {"online": true, "packets", ..., place}: the retained status of a
// running radar; place comes from placeFields().
QByteArray statusMessage(const RadarStatus& status, const QByteArray& place);

// {"online": false, place}: the last will, and the status a clean shutdown
// leaves, so that an offline radar can still be drawn where it stands.
QByteArray offlineMessage(const QByteArray& place);

} // namespace trklib::trackd

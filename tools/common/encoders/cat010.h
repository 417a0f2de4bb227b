#pragma once

#include "tools/common/encoders/asterix.h"
#include "tools/common/site/places.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>
#include <optional>

// ASTERIX category 010 (monosensor surface movement data): one target
// report per radar target, as a primary radar reports it.
namespace trklib::encoders::asterix {

// One radar target, from its radar.
struct RadarTargetReport
{
    int number = 0;              // the radar's own target number (I010/161, modulo 4096)
    bool confirmed = false;      // I010/170: confirmed, or still tentative
    std::int64_t receivedMs = 0; // ms since the epoch, UTC (I010/140)
    double groundRangeM = 0.0;   // on the ground, from the point under the radar (I010/040)
    double bearingDeg = 0.0;     // clockwise from north, seen from the radar
    double eastM = 0.0;          // metres east of the radar (I010/042)
    double northM = 0.0;         // metres north of the radar
    std::optional<site::GeoPoint> position; // on Earth, when the site has an origin (I010/041)
};

// Who sends: the system area and the radar within it (I010/010).
struct DataSource
{
    std::uint8_t sac = 0;
    std::uint8_t sic = 0;
};

constexpr std::uint8_t cat010 = 10;

QByteArray cat010Record(const DataSource& source, const RadarTargetReport& target,
                        ClampCounts& counts);

// The targets' records in data blocks of at most maxDatagramBytes each.
QVector<QByteArray> cat010Datagrams(const DataSource& source,
                                    const QVector<RadarTargetReport>& targets, ClampCounts& counts);

} // namespace trklib::encoders::asterix

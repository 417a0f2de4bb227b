#pragma once

#include "tools/common/encoders/asterix.h"
#include "tools/common/encoders/cat010.h"
#include "tools/common/site/places.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>
#include <optional>

// ASTERIX category 062 (system track data): one record per object of the
// site's fused picture.
namespace trklib::encoders::asterix {

// One object of a site picture.
struct SiteTrackReport
{
    std::int64_t id = 0;     // the object's id (I062/040, modulo 4096)
    bool confirmed = false;  // I062/080 CNF
    bool ended = false;      // dropped from the picture: its last report (I062/080 TSE)
    std::int64_t timeMs = 0; // the picture's time, ms since the epoch, UTC (I062/070)
    double xM = 0.0;         // metres east of the site's origin (I062/100)
    double yM = 0.0;         // metres north
    double vxMps = 0.0;      // m/s east (I062/185)
    double vyMps = 0.0;      // m/s north
    std::optional<site::GeoPoint> position; // on Earth, when the site has an origin (I062/105)
    bool monosensor = false; // I062/080 MON: made of one radar's tracks (or none, coasting)
};

constexpr std::uint8_t cat062 = 62;
// I062/015: the site's one service.
constexpr std::uint8_t siteService = 1;

QByteArray cat062Record(const DataSource& source, const SiteTrackReport& object,
                        ClampCounts& counts);

// The objects' records in data blocks of at most maxDatagramBytes each.
QVector<QByteArray> cat062Datagrams(const DataSource& source,
                                    const QVector<SiteTrackReport>& objects, ClampCounts& counts);

} // namespace trklib::encoders::asterix

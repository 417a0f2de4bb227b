#pragma once

#include "datagramshaper.h"
#include "mountingerrors.h"
#include "simoptions.h"
#include "tools/common/sim/scene.h"
#include "tools/common/sim/sensormodel.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QVector>

#include <optional>
#include <vector>

namespace trklib::sim {

// One radar of a site as the simulator plays it: its mounting and
// placement are the true ones, the site file's with its mounting error.
struct SiteRadar
{
    QString name;
    RadarConfig mounting{};
    util::RadarPlacement placement;
    double rangeBiasM = 0.0;  // every distance it reports this much too long
    QHostAddress source;      // its radar_address, or the loopback address
    QHostAddress destination; // its bind address, or the loopback address
    quint16 port = 0;
    qint64 phaseMs = 0; // added to every timestamp
};

// Where a site's radar sends from and to, or a one-line reason why it
// cannot on loopback: a radar without radar_address sends from the
// loopback address of its bind address's protocol, one without a bind
// address (or with 0.0.0.0 or ::) to the loopback address of its
// radar_address's protocol (IPv4 when neither is given).
bool siteRadarEndpoints(const site::RadarEntry& radar, SiteRadar& out, QString& error);

// One packet of one radar.
struct SitePacket
{
    int radar = 0; // index into the site's radars
    qint64 number = 0;
    qint64 timestampMs = 0;        // the period's time plus the radar's phase
    QVector<QByteArray> datagrams; // after loss and reordering
};

// One object of the world at a period's time, and the radars whose beam
// holds it.
struct SiteSighting
{
    ObjectState object; // site coordinates
    QStringList radars; // names, in the file's order
};

// One period: the world at timestampMs(k) and every radar's packet k, in
// time order (a tie in the file's order).
struct SitePeriod
{
    qint64 number = 0;
    qint64 timeMs = 0;
    QVector<SiteSighting> world;
    QVector<SitePacket> packets;
};

// Every radar of a site looking at one world: each sees the world through
// the sensor model at its true place, heading and mounting (the site
// file's, moved by the radar's mounting error), with a seeded phase
// of 0 to SimOptions::maxPhaseMs(). Everything follows from the site, the
// options and the seed. The radars' endpoints must have been checked with
// siteRadarEndpoints().
class SiteSimulator
{
public:
    SiteSimulator(const site::SiteConfig& site, const SimOptions& options,
                  const MountingErrors& errors = {});

    const QVector<SiteRadar>& radars() const { return radars_; }
    // Periods must be asked for in growing order to be cheap.
    SitePeriod period(qint64 number);
    // What radar i measures of objects of the site (site coordinates) in a
    // packet of the given timestamp: what period() sends. It draws from
    // the radar's random streams as a packet does.
    SensorFrame observe(int radar, const QVector<ObjectState>& objects, qint64 timestampMs);

    // The truth file's header and one of its rows (without the line end):
    // time (ms), id, kind (person, cyclist, motorcycle, car, truck, bus,
    // dog, deer), class (person, two-wheeler, car, truck, animal), x, y, vx,
    // vy (site coordinates, m and m/s),
    // speed_kph, lat and lon (empty without an origin), radars (names
    // joined by ';').
    static const char* truthHeader();
    QString truthRow(qint64 timeMs, const SiteSighting& sighting) const;

private:
    struct RadarView
    {
        SensorModel sensor;
        DatagramShaper shaper;
    };

    SimOptions options_;
    Scene world_;
    QVector<SiteRadar> radars_;
    std::vector<RadarView> views_;
    QVector<int> phaseOrder_; // radars by phase, then by index
    std::optional<site::GeoReference> geo_;
};

} // namespace trklib::sim

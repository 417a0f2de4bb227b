#pragma once

#include "input/wireformat.h"
#include "interface/targettrackinginterface.h"
#include "util/groundposition.h"

#include "tools/common/site/places.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <optional>

// The site file: one INI file that describes a whole site (its name, its
// broker, where on Earth it lies, how its radars' tracks are fused, and
// every radar) for every program of the site.
namespace trklib::site {

// Where trackd publishes, and as whom.
struct BrokerConfig
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 1883;
    QString clientId;     // each radar connects as "<clientId>-<radar>"
    QString username;     // empty: none
    QString passwordFile; // its first line is the password
    QByteArray password;  // read from passwordFile when the file is loaded
    QString caFile;       // set: TLS, with the broker's certificate checked against it
    QString certFile;     // with keyFile: the client's own certificate
    QString keyFile;
    // sited's own login, when given: in place of username and passwordFile
    // for sited alone, so that one file serves trackd and sited on a broker
    // that gives each its own rights.
    QString sitedUsername;
    QString sitedPasswordFile;
    QByteArray sitedPassword;
};

// One radar of the site: where its datagrams arrive, how it is mounted and
// where it stands.
struct RadarEntry
{
    QString name;
    QHostAddress bindAddress; // null: every interface
    quint16 port = wire::defaultPort;
    QHostAddress radarAddress; // null: any sender
    RadarConfig mounting{};    // every field 0 unless set
    util::RadarPlacement placement;
    int sic = -1; // its ASTERIX system identification code, 0 to 255; -1: none
    // Metres the radar reports every distance too long: sited takes it off
    // (trackd checks it and publishes the distances as measured).
    double rangeOffsetM = 0.0;
    int line = 0; // of its section, for messages
};

// The site's ASTERIX outputs: trackd's radar targets (category 010) and
// the site service's objects (category 062).
struct AsterixConfig
{
    int sac = -1;     // system area code, 0 to 255; -1: not given
    int sicSite = -1; // the site service's system identification code
    Destination cat010;
    Destination cat062;
};

// The site's Cursor-on-Target output, there when the file has a [cot]
// section. By default to the usual multicast group and port of
// situational-awareness clients.
struct CotConfig
{
    bool enabled = false;
    Destination destination{QHostAddress(QStringLiteral("239.2.3.1")), 6969};
    double ratePerS = 1.0; // rounds of events per second
};

// What sited does with the radars' mounting errors it finds from the
// objects two radars see at once: nothing, report them, or correct the
// radars' tracks by them as well.
enum class AlignMode
{
    Off,
    Report,
    Apply
};

// "off", "report", "apply".
const char* alignModeName(AlignMode mode);

// How the site's service joins its radars' tracks into one picture.
struct FusionConfig
{
    double ratePerS = 10.0; // pictures per second
    double gateM = 10.0;    // how far a radar track may lie from the object it joins
    double coastS = 3.0;    // how long an object outlives its last radar track
    AlignMode align = AlignMode::Report;
    // The radar whose mounting is right by definition, an index into
    // SiteConfig::radars; -1: none, the radars' consensus.
    int alignAnchor = -1;
};

// How sited tells its objects' classes: the probability at which an
// object is given its most probable class, and the class model's file
// (absolute; empty: sited's built-in model). sited reads the model.
struct ClassesConfig
{
    double threshold = 0.7;
    QString model;
};

// Where sited records the site's history. database: a SQLite file (absolute;
// by default "<site name>.sqlite" beside the site file, which sited moves
// into the service's state folder when systemd gives it one) or a
// "postgresql://" URL; whole UTC days older than retentionDays are
// removed, and the oldest days while the database is over maxSizeGB. With
// enabled false nothing is recorded.
struct HistoryConfig
{
    QString database;
    bool databaseGiven = false; // [history] database set, not the default
    bool enabled = true;
    int retentionDays = 30;
    double maxSizeGB = 20.0; // 10^9 bytes

    std::int64_t maxSizeBytes() const;
};

// Where sited serves its HTTP API and the site view: one host's address
// and a port; who may use them, and over TLS or not.
struct HttpConfig
{
    Destination listen{QHostAddress(QStringLiteral("127.0.0.1")), 8088};
    // Absolute; empty: no logins, every route open to all. It may be
    // missing here (sited --add-user makes it); sited refuses to run
    // without it.
    QString usersFile;
    int sessionHours = 12;
    QString webRoot;  // the site view's folder, absolute; empty: sited's default
    QString certFile; // with keyFile: HTTPS, with this certificate chain (PEM)
    QString keyFile;
};

// The site's own map under the site view, from [map]: an MBTiles file of
// raster tiles, or a site plan (PNG or JPEG) placed by the latitudes and
// longitudes of its top-left, top-right and bottom-left corners (its
// pixels' outer corners; an affine placement). Paths are absolute; the
// files are not opened here: sited checks them (tools/sited/history/
// basemap.h), trackd reads no map.
struct MapConfig
{
    QString mbtiles; // one of mbtiles and plan; both empty: no map
    QString plan;
    GeoPoint topLeft;
    GeoPoint topRight;
    GeoPoint bottomLeft;
    int line = 0; // of the file's key, for messages

    bool isSet() const { return !mbtiles.isEmpty() || !plan.isEmpty(); }
};

// One pan-tilt-zoom camera of the site, from [camera.NAME]: where it
// stands, where its pan and tilt zeros point, how sited reaches it over
// ONVIF and what its optics and motors can do. sited alone reads it.
//
// ONVIF's generic spaces are normalised: pan -1..1 spans panMinDeg to
// panMaxDeg, tilt -1..1 spans tiltMinDeg to tiltMaxDeg and zoom 0..1 the
// focal length from the widest view to the narrowest, linearly.
struct CameraEntry
{
    QString name;
    double xM = 0.0; // metres east and north of the site's origin
    double yM = 0.0;
    double heightM = 0.0;           // metres of the lens above the site's ground
    double headingDeg = 0.0;        // compass bearing of pan zero, clockwise from north
    double tiltOffsetDeg = 0.0;     // degrees tilt zero lies above the horizon
    QString address;                // the device service, "http://host[:port]/onvif/device_service"
    QString profile;                // the media profile's token; empty: the first with PTZ
    QString username;               // empty: no WS-Security header
    QString passwordFile;           // its first line is the password
    QByteArray password;            // read from passwordFile when the file is loaded
    double wideFovDeg = 60.0;       // horizontal field of view at the widest zoom
    double narrowFovDeg = 2.0;      // at the narrowest
    double panSpeedDegPerS = 60.0;  // the fastest the camera pans
    double tiltSpeedDegPerS = 30.0; // and tilts
    double panMinDeg = -180.0;      // the pan range, from pan zero (clockwise positive)
    double panMaxDeg = 180.0;
    double tiltMinDeg = -90.0; // the tilt range, from tilt zero (up positive)
    double tiltMaxDeg = 0.0;
    double homePanDeg = 0.0; // where it looks when it follows nothing
    double homeTiltDeg = 0.0;
    double reachM = 500.0;    // metres: objects farther are beyond its view
    double fill = 0.3;        // share of the view's width an object is zoomed to fill
    double latencyS = 0.3;    // command to first motion, until the camera has been timed
    double homeAfterS = 10.0; // seconds after its object is lost it goes home
    int line = 0;             // of its section, for messages
};

// What trackd alone reads: where it serves its figures for monitoring.
struct TrackdConfig
{
    Destination metricsListen; // /metrics over HTTP on one host's address; unset: none
};

// A site's configuration file, checked as a whole.
struct SiteConfig
{
    QString name;
    QString prefix = QStringLiteral("trklib");
    std::optional<Origin> origin; // none: the site is not geo-referenced
    // The IANA name of the site's time zone ("Europe/Berlin"), which the
    // system's tz database knows: the zones' arming schedules are in it.
    QByteArray timezone = QByteArrayLiteral("UTC");
    FusionConfig fusion;
    ClassesConfig classes;
    QString zonesFile; // [zones] file, absolute; empty: no zones (it needs an origin)
    AsterixConfig asterix;
    CotConfig cot;
    HistoryConfig history;
    HttpConfig http;
    MapConfig map;
    TrackdConfig trackd;
    BrokerConfig broker;
    QVector<RadarEntry> radars;   // in the file's order
    QVector<CameraEntry> cameras; // in the file's order; none: no cueing
    // What is used but should be mended, one line each in the errors'
    // form ("7: [broker] password_file: ..."); for the caller to log.
    QStringList warnings;

    // "<prefix>/<site>/<radar>/<leaf>".
    QByteArray topic(const RadarEntry& radar, const char* leaf) const;
};

// Reads and checks the text of a configuration file. Files it names
// (password, certificates) are taken relative to baseDir unless absolute,
// must be readable, certificates and keys must load, and the password is
// read. False with a one-line error
// that names the line, the section and the key and says why
// ("12: [radar.north] port: ..."), without the file's name.
bool parseSiteConfig(const QByteArray& text, const QString& baseDir, SiteConfig& config,
                     QString& error);

// The same for a file, with files it names relative to its folder. The
// error and the warnings start with the file's name ("site.conf:12: ...").
bool loadSiteConfig(const QString& path, SiteConfig& config, QString& error);

// The settings sited connects with: broker's, with sited's own username
// and password in place of the radars' when the file gives sited_username.
BrokerConfig sitedBroker(const BrokerConfig& broker);

// Why a file that holds secrets may be read or changed by others than its
// owner ("PATH is readable by its group or others (mode 0640): chmod 600
// it"), or an empty string.
QString privateFileProblem(const QString& path);

// "every interface port 34567", "127.0.0.1 port 5000": a socket in messages.
QString describeSocket(const RadarEntry& radar);

// A key the site file may have: its section ("broker"; "radar.NAME" for
// every radar's) and its name.
struct SiteConfigKey
{
    QString section;
    QString key;
};

// Every key the parser takes, section by section in the order of the
// parser's tables; for the documentation's check.
QVector<SiteConfigKey> siteConfigKeys();

} // namespace trklib::site

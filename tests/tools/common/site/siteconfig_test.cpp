// The site file that every program of a site reads: every key, every way a
// file is refused, and where the site's points lie on Earth.

#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"

#include "support/programrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace trklib::site::test {
namespace {

using trklib::test::ProgramRun;
using trklib::test::runEach;
using trklib::test::runProgram;
using trklib::test::writeFile;

const QByteArray minimalFile = "[site]\nname = s\n[broker]\nclient_id = c\n[radar.a]\n";

bool parse(const QByteArray& text, SiteConfig& config, QString& error,
           const QString& base = QStringLiteral("/nonexistent"))
{
    return parseSiteConfig(text, base, config, error);
}

// TLS files as openssl makes them: an authority's certificate and key, a
// key of nobody's, the authority's key under a passphrase, and a password
// file only its owner reads. False when openssl fails.
bool makeFiles(const QDir& dir)
{
    const QString ec = QStringLiteral("ec_paramgen_curve:prime256v1");
    const QVector<QStringList> steps{
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", "ca.key", "-out",
         "ca.crt", "-days", "2", "-subj", "/CN=test authority"},
        {"genpkey", "-algorithm", "ec", "-pkeyopt", ec, "-out", "other.key"},
        {"pkey", "-in", "ca.key", "-aes256", "-passout", "pass:horse", "-out", "locked.key"},
    };
    if (const QString failed = runEach(QStringLiteral("openssl"), steps, dir.path());
        !failed.isEmpty()) {
        ADD_FAILURE() << failed.toStdString();
        return false;
    }
    const auto password = [&dir](const char* name, const QByteArray& text) {
        return writeFile(dir.filePath(name), text) &&
               QFile::setPermissions(dir.filePath(name),
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    };
    return password("pw", "secret\r\nignored\n") && password("sited-pw", "sited's\n");
}

TEST(SiteConfig, DefaultsAndEveryKey)
{
    SiteConfig c;
    QString error;
    ASSERT_TRUE(parse(minimalFile, c, error)) << error.toStdString();
    EXPECT_EQ(c.prefix, QLatin1String("trklib"));
    EXPECT_EQ(c.broker.host, QLatin1String("127.0.0.1"));
    EXPECT_EQ(c.broker.port, 1883);
    EXPECT_FALSE(c.origin) << "not geo-referenced";
    EXPECT_EQ(c.timezone, QByteArray("UTC"));
    EXPECT_EQ(c.fusion.ratePerS, 10.0);
    EXPECT_EQ(c.fusion.gateM, 10.0);
    EXPECT_EQ(c.fusion.coastS, 3.0);
    EXPECT_EQ(c.fusion.align, AlignMode::Report);
    EXPECT_EQ(c.fusion.alignAnchor, -1) << "the radars' consensus";
    EXPECT_EQ(c.classes.threshold, 0.7);
    EXPECT_TRUE(c.classes.model.isEmpty());
    EXPECT_FALSE(c.asterix.cat010.isSet() || c.asterix.cat062.isSet()) << "no ASTERIX output";
    EXPECT_FALSE(c.cot.enabled);
    EXPECT_EQ(c.cot.destination.toString(), QLatin1String("239.2.3.1:6969"));
    EXPECT_EQ(c.cot.ratePerS, 1.0);
    EXPECT_EQ(QFileInfo(c.history.database).fileName(), QLatin1String("s.sqlite"));
    EXPECT_TRUE(QFileInfo(c.history.database).isAbsolute());
    EXPECT_EQ(c.history.retentionDays, 30);
    EXPECT_FALSE(c.history.databaseGiven);
    EXPECT_TRUE(c.history.enabled);
    EXPECT_EQ(c.history.maxSizeBytes(), 20000000000);
    EXPECT_EQ(c.http.listen.toString(), QLatin1String("127.0.0.1:8088"));
    EXPECT_FALSE(c.trackd.metricsListen.isSet()) << "no /metrics of trackd's";
    ASSERT_EQ(c.radars.size(), 1);
    const RadarEntry& a = c.radars[0];
    EXPECT_TRUE(a.bindAddress.isNull());
    EXPECT_TRUE(a.radarAddress.isNull());
    EXPECT_EQ(a.port, 34567);
    // Unlike the command-line tools' (height 5 m), every mounting default is 0.
    EXPECT_EQ(a.mounting.height, 0.0);
    EXPECT_EQ(a.mounting.tilt, 0.0);
    EXPECT_EQ(a.placement.headingDeg, 0.0);
    EXPECT_EQ(c.topic(a, "tracks"), QByteArray("trklib/s/a/tracks"));
    EXPECT_TRUE(c.cameras.isEmpty()) << "no cueing";

    QTemporaryDir dir;
    ASSERT_TRUE(makeFiles(QDir(dir.path())));
    // IPv4-mapped forms are the IPv4 address: r.1 and r.2 share a socket.
    const QByteArray full =
        "; comment\r\n"
        "# another\n"
        "[site]\n name = north-1 \nprefix = plant/trklib\n"
        "latitude = -33.85\nlongitude = 151.2\naltitude = 42.5\ntimezone = Australia/Sydney\n"
        "[fusion]\nrate = 4\ngate = 6.5\ncoast = 0\nalign = apply\nalign_anchor = r.2\n"
        "[classes]\nthreshold = 0.8\n"
        "[asterix]\nsac = 25\nsic_site = 200\ncat010 = 239.1.2.3:8600\n"
        "cat062 = [::1]:8601\n[cot]\n"
        "[history]\ndatabase = db/h.sqlite\nretention_days = 7\n"
        "enabled = false\nmax_size = 0.5\n"
        "[http]\nlisten = [::1]:9000\n[trackd]\nmetrics_listen = 127.0.0.1:9101\n"
        "[broker]\nhost = broker.local\nport = 8883\nclient_id = \"td\"\n"
        "username = u\npassword_file = pw\nca_file = ca.crt\n"
        "cert_file = ca.crt\nkey_file = ca.key\n"
        "sited_username = s\nsited_password_file = sited-pw\n"
        "[radar.r.1]\nbind_address = ::ffff:127.0.0.1\nport = 5000\n"
        "radar_address = ::ffff:192.168.1.2\ntilt = -2.5\npan = 10\n"
        "height = 6\npan_offset = 1\norientation = 1\nx = -12.5\ny = 40\n"
        "heading = 270\nsic = 0\n"
        "[radar.r.2]\nbind_address\t=\t127.0.0.1\nport = 5000\n"
        "radar_address = 192.168.1.3\nsic = 255\n"
        "[camera.gate]\naddress = http://127.0.0.1:8080/onvif/device_service\n"
        "[camera.mast]\nx = 5\ny = -7.5\nheight = 12\nheading = 45\ntilt_offset = -1.5\n"
        "address = https://cam.local/onvif/device_service\nprofile = p2\nusername = op\n"
        "password_file = pw\nfov_wide = 55\nfov_narrow = 1.5\npan_speed = 90\n"
        "tilt_speed = 45\npan_min = -170\npan_max = 170\ntilt_min = -80\ntilt_max = 20\n"
        "home_pan = 10\nhome_tilt = -5\nreach = 800\nfill = 0.5\nlatency = 0.2\n"
        "home_after = 30\n";
    ASSERT_TRUE(parse(full, c, error, dir.path())) << error.toStdString();
    ASSERT_EQ(c.cameras.size(), 2);
    const CameraEntry& gate = c.cameras[0];
    EXPECT_EQ(gate.name, QLatin1String("gate"));
    EXPECT_EQ(gate.address, QLatin1String("http://127.0.0.1:8080/onvif/device_service"));
    EXPECT_TRUE(gate.username.isEmpty() && gate.password.isEmpty() && gate.profile.isEmpty());
    EXPECT_EQ(std::vector<double>({gate.wideFovDeg, gate.narrowFovDeg, gate.panSpeedDegPerS,
                                   gate.tiltSpeedDegPerS, gate.panMinDeg, gate.panMaxDeg,
                                   gate.tiltMinDeg, gate.tiltMaxDeg, gate.reachM, gate.fill,
                                   gate.latencyS, gate.homeAfterS}),
              std::vector<double>({60, 2, 60, 30, -180, 180, -90, 0, 500, 0.3, 0.3, 10}));
    const CameraEntry& mast = c.cameras[1];
    EXPECT_EQ(
        std::vector<double>({mast.xM, mast.yM, mast.heightM, mast.headingDeg, mast.tiltOffsetDeg,
                             mast.wideFovDeg, mast.narrowFovDeg, mast.panSpeedDegPerS,
                             mast.tiltSpeedDegPerS, mast.panMinDeg, mast.panMaxDeg, mast.tiltMinDeg,
                             mast.tiltMaxDeg, mast.homePanDeg, mast.homeTiltDeg, mast.reachM,
                             mast.fill, mast.latencyS, mast.homeAfterS}),
        std::vector<double>({5, -7.5, 12, 45, -1.5, 55, 1.5, 90, 45, -170, 170, -80, 20, 10, -5,
                             800, 0.5, 0.2, 30}));
    EXPECT_EQ(mast.profile, QLatin1String("p2"));
    EXPECT_EQ(mast.username, QLatin1String("op"));
    EXPECT_EQ(mast.password, QByteArray("secret"));
    EXPECT_EQ(c.warnings, QStringList()) << "the password file is its owner's and group's";
    EXPECT_EQ(c.name, QLatin1String("north-1"));
    ASSERT_TRUE(c.origin);
    EXPECT_EQ(c.origin->latitudeDeg, -33.85);
    EXPECT_EQ(c.origin->longitudeDeg, 151.2);
    EXPECT_EQ(c.origin->altitudeM, 42.5);
    EXPECT_EQ(c.timezone, QByteArray("Australia/Sydney"));
    EXPECT_EQ(c.fusion.ratePerS, 4.0);
    EXPECT_EQ(c.fusion.gateM, 6.5);
    EXPECT_EQ(c.fusion.coastS, 0.0);
    EXPECT_EQ(c.fusion.align, AlignMode::Apply);
    EXPECT_EQ(c.fusion.alignAnchor, 1) << "r.2, named before the radars";
    EXPECT_EQ(c.classes.threshold, 0.8);
    EXPECT_EQ(c.asterix.sac, 25);
    EXPECT_EQ(c.asterix.sicSite, 200);
    EXPECT_EQ(c.asterix.cat010.toString(), QLatin1String("239.1.2.3:8600"));
    EXPECT_EQ(c.asterix.cat062.toString(), QLatin1String("[::1]:8601"));
    EXPECT_TRUE(c.cot.enabled) << "with the defaults";
    EXPECT_EQ(c.history.database, dir.filePath(QStringLiteral("db/h.sqlite")));
    EXPECT_EQ(c.history.retentionDays, 7);
    EXPECT_TRUE(c.history.databaseGiven);
    EXPECT_FALSE(c.history.enabled);
    EXPECT_EQ(c.history.maxSizeBytes(), 500000000);
    EXPECT_EQ(c.http.listen.toString(), QLatin1String("[::1]:9000"));
    EXPECT_EQ(c.trackd.metricsListen.toString(), QLatin1String("127.0.0.1:9101"));
    SiteConfig server;
    ASSERT_TRUE(parse(minimalFile + "[history]\ndatabase = postgresql://h@db/x\n", server, error));
    EXPECT_EQ(server.history.database, QLatin1String("postgresql://h@db/x"));
    EXPECT_EQ(c.radars[0].sic, 0);
    EXPECT_EQ(c.radars[1].sic, 255);
    EXPECT_EQ(c.broker.clientId, QLatin1String("td"));
    EXPECT_EQ(c.broker.password, QByteArray("secret"));
    // sited logs in as itself; everything else of the broker is the radars'.
    const BrokerConfig sited = sitedBroker(c.broker);
    EXPECT_EQ(sited.username, QLatin1String("s"));
    EXPECT_EQ(sited.password, QByteArray("sited's"));
    EXPECT_EQ(sited.host, c.broker.host);
    EXPECT_EQ(sited.caFile, c.broker.caFile);
    EXPECT_EQ(c.broker.username, QLatin1String("u"));
    EXPECT_EQ(c.broker.caFile, dir.filePath(QStringLiteral("ca.crt"))) << "relative to the file";
    ASSERT_EQ(c.radars.size(), 2);
    const RadarEntry& r = c.radars[0];
    EXPECT_EQ(r.name, QLatin1String("r.1"));
    EXPECT_EQ(r.bindAddress, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(r.bindAddress, c.radars[1].bindAddress);
    EXPECT_EQ(r.port, 5000);
    EXPECT_EQ(r.radarAddress, QHostAddress(QStringLiteral("192.168.1.2")));
    EXPECT_EQ(r.mounting.tilt, -2.5);
    EXPECT_EQ(r.mounting.pan, 10.0);
    EXPECT_EQ(r.mounting.height, 6.0);
    EXPECT_EQ(r.mounting.panOffset, 1.0);
    EXPECT_EQ(r.mounting.orientation, 1);
    EXPECT_EQ(r.placement.x, -12.5);
    EXPECT_EQ(r.placement.y, 40.0);
    EXPECT_EQ(r.placement.headingDeg, 270.0);
    EXPECT_EQ(c.topic(r, "status"), QByteArray("plant/trklib/north-1/r.1/status"));
}

TEST(SiteConfig, BadFilesNameTheLineSectionAndKey)
{
    QTemporaryDir dir;
    ASSERT_TRUE(makeFiles(QDir(dir.path())));
    // Password files that others may write, and read.
    const auto passwordFile = [&](const char* name, QFile::Permissions others) {
        const QString path = dir.filePath(QLatin1String(name));
        return writeFile(path, "secret\n") &&
               QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                               QFile::WriteGroup | others);
    };
    ASSERT_TRUE(passwordFile("writable", QFile::WriteOther));
    ASSERT_TRUE(passwordFile("readable", QFile::ReadOther));
    ASSERT_TRUE(passwordFile("group", {}));

    const QByteArray site = "[site]\nname = s\n";
    const QByteArray broker = "[broker]\nclient_id = c\n";
    const QByteArray radar = site + broker + "[radar.a]\n";
    const QByteArray host = site + broker + "host = ";
    const QByteArray tls = site + broker + "ca_file = ca.crt\ncert_file = ca.crt\nkey_file = ";
    const QByteArray geo =
        "[site]\nname = s\nlatitude = 48\nlongitude = 11\naltitude = 5\n" + broker + "[radar.a]\n";
    const QByteArray corners = "plan_top_left = 48.001,11\nplan_top_right = 48.001,11.001\n"
                               "plan_bottom_left = 48,11\n";
    const QByteArray label(63, 'a');
    const QByteArray name253 = label + '.' + label + '.' + label + '.' + QByteArray(61, 'b');
    const struct
    {
        QByteArray text;
        const char* error; // how it starts, %D for the folder; null: good
    } cases[]{
        {broker + "[radar.a]\n", "[site]: missing"},
        {"[site]\n" + broker + "[radar.a]\n", "1: [site] name: missing"},
        {site + "[radar.a]\n", "[broker]: missing"},
        {site + "[broker]\n[radar.a]\n", "3: [broker] client_id: missing"},
        {site + broker, "[radar.NAME]: missing"},
        {"name = s\n", "1: name: a key before the first [section]"},
        {site + "[broker\n", "3: [broker: a section header ends with ]"},
        {site + "just words\n", "3: 'just words' is not a [section], a key = value line"},
        {site + "[sites]\n", "3: [sites]: unknown section (known: [site], [broker], [fusion], "
                             "[classes], [zones], [asterix], [cot], [history], [http], "
                             "[map], [trackd], [radar.NAME], [camera.NAME])"},
        // Cameras: an address to reach, ranges the right way round, home within them.
        {minimalFile + "[camera.c]\n", "6: [camera.c] address: missing"},
        {minimalFile + "[camera.c d]\naddress = http://h/\n", "6: [camera.c d]: the camera's name"},
        {minimalFile + "[camera.c]\naddress = rtsp://h/\n",
         "7: [camera.c] address: 'rtsp://h/' is not an http:// or https:// address"},
        {minimalFile + "[camera.c]\naddress = http:///x\n", "7: [camera.c] address: "},
        {minimalFile + "[camera.c]\naddress = http://h/\npassword_file = pw\n",
         "8: [camera.c] password_file: needs username"},
        {minimalFile + "[camera.c]\naddress = http://h/\nfov_narrow = 61\n",
         "8: [camera.c] fov_narrow: 61 degrees is wider than fov_wide (60)"},
        {minimalFile + "[camera.c]\naddress = http://h/\npan_min = 10\npan_max = 10\n",
         "9: [camera.c] pan_max: 10 is not above pan_min (10)"},
        {minimalFile + "[camera.c]\naddress = http://h/\npan_min = -200\npan_max = 170\n",
         "9: [camera.c] pan_max: pan_min to pan_max spans 370 degrees, more than one turn"},
        {minimalFile + "[camera.c]\naddress = http://h/\ntilt_min = 0\n",
         "6: [camera.c] tilt_max: 0 is not above tilt_min (0)"},
        {minimalFile + "[camera.c]\naddress = http://h/\npan_max = 90\nhome_pan = 91\n",
         "9: [camera.c] home_pan: 91 lies outside pan_min to pan_max (-180 to 90)"},
        {minimalFile + "[camera.c]\naddress = http://h/\nhome_tilt = 1\n",
         "8: [camera.c] home_tilt: 1 lies outside tilt_min to tilt_max (-90 to 0)"},
        // The history's database and the API's address.
        {radar + "[history]\ndatabase =\n", "7: [history] database: empty"},
        // Self-alignment: a mode of three, an anchor among the radars.
        {radar + "[fusion]\nalign = on\n",
         "7: [fusion] align: 'on' is none of off, report and apply"},
        {site + "[fusion]\nalign = off\nalign_anchor = b\n" + broker + "[radar.a]\n",
         "5: [fusion] align_anchor: 'b' is no radar of the file"},
        {radar + "[fusion]\nalign_anchor =\n", "7: [fusion] align_anchor: empty"},
        {radar + "[history]\nenabled = yes\n",
         "7: [history] enabled: 'yes' is neither true nor false"},
        {radar + "[http]\nlisten = 239.1.2.3:8088\n",
         "7: [http] listen: '239.1.2.3' is a multicast group"},
        {radar + "[http]\nlisten = localhost:8088\n",
         "7: [http] listen: 'localhost' is not an IPv4 or IPv6 address"},
        {radar + "[trackd]\nmetrics_listen = 239.1.2.3:9100\n",
         "7: [trackd] metrics_listen: '239.1.2.3' is a multicast group; give one host's address"},
        {radar + "[trackd]\nmetrics_listen = [::1]:9100\n",
         "7: [trackd] metrics_listen: '::1' is IPv6; give an IPv4 address"},
        {radar + "[trackd]\nmetrics_listen = 127.0.0.1\n",
         "7: [trackd] metrics_listen: '127.0.0.1' has no port"},
        {radar + "[trackd]\nmetrics = 127.0.0.1:9100\n",
         "7: [trackd] metrics: unknown key (known: metrics_listen)"},
        // Zones: a file that is there, on a site with an origin.
        {"[zones]\nfile = ca.crt\n" + radar, "1: [zones] file: the site has no origin"},
        {"[zones]\nfile = ca.crt\n[site]\nname = s\nlatitude = 48\nlongitude = 11\naltitude = 5\n" +
             broker + "[radar.a]\n",
         nullptr},
        {radar + "[zones]\nfile = none.geojson\n",
         "7: [zones] file: no such file: %D/none.geojson"},
        {radar + "[zones]\n", "6: [zones] file: missing"},
        // The map: one file (not opened here: sited's), a plan placed by
        // three corners near the origin, neither mirrored nor on one line.
        {geo + "[map]\nmbtiles = none.mbtiles\n", nullptr},
        {geo + "[map]\nplan = p.png\n" + corners, nullptr},
        {radar + "[map]\nmbtiles = m.mbtiles\n", "7: [map] mbtiles: the site has no origin"},
        {geo + "[map]\n", "9: [map] mbtiles: missing; give mbtiles or plan"},
        {geo + "[map]\nmbtiles =\n", "10: [map] mbtiles: empty; leave the section out"},
        {geo + "[map]\nmbtiles = m\nplan = p\n" + corners,
         "11: [map] plan: give mbtiles or plan, not both"},
        {geo + "[map]\nmbtiles = m\nplan_top_left = 48,11\n",
         "11: [map] plan_top_left: for a plan; an MBTiles file places its tiles itself"},
        {geo + "[map]\nplan = p\nplan_top_left = 48,11\nplan_top_right = 48,11.001\n",
         "9: [map] plan_bottom_left: missing; a plan is placed by"},
        {geo + "[map]\nplan_top_left = 48;11\n", "10: [map] plan_top_left: '48;11' is not LAT,LON"},
        {geo + "[map]\nplan_top_right = 48,11,5\n", "10: [map] plan_top_right: '48,11,5' is not"},
        {geo + "[map]\nplan_bottom_left = 90.5,11\n", "10: [map] plan_bottom_left: '90.5,11' is"},
        {geo + "[map]\nplan_bottom_left = 48,-180.5\n", "10: [map] plan_bottom_left: '48,-180.5'"},
        {geo + "[map]\nplan = p\nplan_top_left = 48.001,11\nplan_top_right = 48,11\n"
               "plan_bottom_left = 48.001,11.001\n",
         "13: [map] plan_bottom_left: the corners place the plan mirrored"},
        {geo + "[map]\nplan = p\nplan_top_left = 48,11\nplan_top_right = 48,11.001\n"
               "plan_bottom_left = 48,11.002\n",
         "13: [map] plan_bottom_left: the three corners lie on one line"},
        {geo + "[map]\nplan = p\nplan_top_left = 48.001,11\nplan_top_right = 49,11.001\n"
               "plan_bottom_left = 48,11\n",
         "12: [map] plan_top_right: more than 100 km east or north"},
        {geo + "[map]\nfile = m\n", "10: [map] file: unknown key (known: mbtiles, plan, "
                                    "plan_top_left, plan_top_right, plan_bottom_left)"},
        // The ASTERIX outputs: codes each radar's own, destinations with ports.
        {site + broker +
             "[radar.a]\nradar_address = 10.0.0.1\nsic = 7\n[radar.b]\n"
             "radar_address = 10.0.0.2\nsic = 7\n",
         "10: [radar.b] sic: 7 is radar a's already; each radar has a sic of its own"},
        {radar + "sic = 7\n[asterix]\nsac = 1\nsic_site = 7\n",
         "6: [radar.a] sic: 7 is [asterix] sic_site's (line 9); the site service has a sic"},
        {radar + "[asterix]\nsac = 1\ncat010 = 127.0.0.1:8600\n",
         "5: [radar.a] sic: missing; [asterix] cat010 (line 8) sends every radar's targets"},
        {radar + "sic = 1\n[asterix]\ncat010 = 127.0.0.1:8600\n",
         "7: [asterix] sac: missing; the records name their source by it"},
        {radar + "[asterix]\nsac = 1\ncat062 = 127.0.0.1:8600\n", "6: [asterix] sic_site: missing"},
        {radar + "[asterix]\ncat010 = 239.1.2.3\n",
         "7: [asterix] cat010: '239.1.2.3' has no port: give address:port ([address]:port for "
         "IPv6)"},
        {radar + "[asterix]\ncat062 = ff02::1:8600\n", "7: [asterix] cat062: 'ff02::1:8600' has "
                                                       "no port"},
        {radar + "[asterix]\ncat010 = [ff02::1]\n", "7: [asterix] cat010: '[ff02::1]' has no port"},
        {radar + "[cot]\ndestination = 239.2.3.1:\n",
         "7: [cot] destination: '' is not a port number (1 to 65535)"},
        {radar + "[cot]\ndestination = 239.2.3.1:65536\n",
         "7: [cot] destination: '65536' is not a port number"},
        {radar + "[cot]\ndestination = 239.2.3.1:0\n",
         "7: [cot] destination: '0' is not a port number"},
        {radar + "[cot]\ndestination = 239.2.3.1:1\n[http]\nlisten = [::1]:65535\n", nullptr},
        {radar + "[cot]\ndestination = sa.local:6969\n",
         "7: [cot] destination: 'sa.local' is not an IPv4 or IPv6 address"},
        {radar + "[cot]\ndestination = 0.0.0.0:6969\n",
         "7: [cot] destination: '0.0.0.0' is neither one host's address nor a multicast group"},
        {site + "colour = red\n", "3: [site] colour: unknown key (known: name, prefix, latitude, "
                                  "longitude, altitude, timezone)"},
        {site + "timezone = Europe/Bogus\n",
         "3: [site] timezone: 'Europe/Bogus' is not a time zone of the system's tz database"},
        {site + "timezone =\n", "3: [site] timezone: '' is not a time zone"},
        {site + "timezone = Europe/Berlin\n" + broker + "[radar.a]\n", nullptr},
        // The origin is all three keys or none.
        {site + "latitude = 48\nlongitude = 11\n" + broker + "[radar.a]\n",
         "1: [site] altitude: missing; the origin takes latitude, longitude and altitude "
         "together, or none of them"},
        {site + "altitude = 500\n" + broker + "[radar.a]\n", "1: [site] latitude: missing"},
        {site + "latitude = 48\nlongitude = 11\naltitude = 500\n" + broker + "[radar.a]\n",
         nullptr},
        {radar + "[fusion]\nrate = -1\n",
         "7: [fusion] rate: '-1' is not a number of pictures per second from 0.1 to 100"},
        {radar + "[fusion]\nspeed = 1\n",
         "7: [fusion] speed: unknown key (known: rate, gate, coast, align, align_anchor)"},
        {radar + "[classes]\nmodel = missing.json\n", "7: [classes] model: no such file: "},
        {site + "name = t\n", "3: [site] name: set twice (first at line 2)"},
        {"[site]\nname = a/b\n", "2: [site] name: 'a/b' is not topic-safe"},
        {"[site]\nname = a+\n", "2: [site] name: 'a+' is not topic-safe"},
        {"[site]\nname = s\nprefix = a//b\n", "3: [site] prefix: 'a//b' is not topic-safe"},
        // Control characters, wherever they stand; tab and \r\n are good.
        {QByteArray("[site]\nname = demo\0garbage\n", 27),
         "2: [site] name: a control character (U+0000) in column 12; only tab may stand in a "
         "line"},
        {"[site]\nname = a\rb\n", "2: [site] name: a control character (U+000d) in column 9"},
        {"[site]\nname = a\x7f\n", "2: [site] name: a control character (U+007f) in column 9"},
        {"[site]\nname = a\xc2\x85\n", "2: [site] name: a control character (U+0085) in column 9"},
        {"[site]\nna\x02me = s\n", "2: a control character (U+0002) in column 3"},
        {"[sit\x1b]\n", "1: a control character (U+001b) in column 5"},
        {"[site]\r\nname\t=\ts\r\n" + broker + "[radar.a]\n", nullptr},
        // The broker.
        {site + "[broker]\nport = 0\n", "4: [broker] port: '0' is not a port number"},
        {host + "\n", "5: [broker] host: '' is not a host name or address"},
        {host + "a b\n", "5: [broker] host: 'a b' is not a host name or address"},
        {host + "127.0.0.1:1883\n",
         "5: [broker] host: '127.0.0.1:1883' is not a host name or address: give the port as "
         "port = 1883"},
        {host + "[::1]:1883\n", "5: [broker] host: '[::1]:1883' is not a host name or address: "
                                "give the port as port = 1883"},
        {host + "broker.local:8883\n", "5: [broker] host: 'broker.local:8883' is not a host name "
                                       "or address: give the port as port = 8883"},
        {host + "[::1]\n", "5: [broker] host: '[::1]' is not a host name or address: give an "
                           "IPv6 address without brackets"},
        {host + "mqtt://broker\n", "5: [broker] host: 'mqtt://broker' is not a host name or "
                                   "address: give the host alone, without a scheme"},
        {host + "10.1.2\n", "5: [broker] host: '10.1.2' is not a host name or address"},
        {host + "-broker\n", "5: [broker] host: '-broker' is not a host name or address"},
        {host + "broker..local\n", "5: [broker] host: 'broker..local' is not a host name"},
        {host + label + "a.local\n", "5: [broker] host: 'aaaa"},
        {host + name253 + "b\n", "5: [broker] host: 'aaaa"},
        {host + "224.0.0.1\n", "5: [broker] host: '224.0.0.1' is a multicast address"},
        {host + label + ".local\n" + "[radar.a]\n", nullptr},
        {host + name253 + "\n" + "[radar.a]\n", nullptr},
        {host + "my_broker.local.\n" + "[radar.a]\n", nullptr},
        {host + "::1\n" + "[radar.a]\n", nullptr},
        {site + broker + "password_file = /nonexistent/pw\n",
         "5: [broker] password_file: no such file: /nonexistent/pw"},
        // The service's credentials folder, which the table runs without.
        {site + broker + "username = u\npassword_file = %d/pw\n",
         "6: [broker] password_file: '%d/pw' is in the service's credentials folder (%d), but "
         "CREDENTIALS_DIRECTORY is not set"},
        {site + broker + "ca_file = /\n", "5: [broker] ca_file: not a regular file"},
        {site + broker + "username = \n", "5: [broker] username: empty; leave the key out"},
        {site + broker + "sited_username = \n",
         "5: [broker] sited_username: empty; leave the key out"},
        {site + broker + "username = u\npassword_file = pw\nsited_password_file = pw\n",
         "7: [broker] sited_password_file: needs sited_username"},
        {site + broker + "sited_username = s\nsited_password_file = writable\n",
         "6: [broker] sited_password_file: %D/writable is writable by others (mode 0662)"},
        {site + broker + "username = u\npassword_file = writable\n",
         "6: [broker] password_file: %D/writable is writable by others (mode 0662): chmod o-w "
         "it"},
        // TLS: an authority alone, or with a certificate and its key together.
        {site + broker + "ca_file = ca.crt\n[radar.a]\n", nullptr},
        {site + broker + "ca_file = ca.crt\ncert_file = ca.crt\n",
         "6: [broker] cert_file: cert_file and key_file go together"},
        {site + broker + "ca_file = ca.crt\nkey_file = ca.key\n",
         "3: [broker] cert_file: cert_file and key_file go together"},
        {site + broker + "cert_file = ca.crt\nkey_file = ca.key\n",
         "5: [broker] cert_file: needs ca_file: a client certificate is for TLS"},
        {site + broker + "ca_file = pw\n",
         "5: [broker] ca_file: %D/pw holds no certificate in PEM form ("},
        {site + broker + "ca_file = ca.crt\ncert_file = pw\nkey_file = ca.key\n",
         "6: [broker] cert_file: %D/pw holds no certificate in PEM form ("},
        {tls + "ca.crt\n",
         "7: [broker] key_file: %D/ca.crt holds no private key in PEM form without a passphrase"},
        {tls + "locked.key\n", "7: [broker] key_file: %D/locked.key holds no private key in PEM "
                               "form without a passphrase"},
        {tls + "other.key\n",
         "7: [broker] key_file: %D/other.key is not the key of the certificate in cert_file ("},
        // The HTTP API's users file: refused when its group or others may
        // read it; it may be missing (sited --add-user makes it). HTTPS
        // takes a certificate and its key together.
        {radar + "[http]\nusers_file = pw\n",
         "7: [http] users_file: %D/pw is readable or writable by its group or others (mode "
         "0640): chmod 600 it"},
        {radar + "[http]\nusers_file = readable\n", "7: [http] users_file: %D/readable is "
                                                    "readable or writable by its group or others "
                                                    "(mode 0664)"},
        {radar + "[http]\nusers_file = /\n", "7: [http] users_file: not a regular file: /"},
        {radar + "[http]\nusers_file = not-yet\n", nullptr},
        {radar + "[http]\nweb_root = nowhere\n", "7: [http] web_root: no such folder: %D/nowhere"},
        {radar + "[http]\ncert_file = ca.crt\n",
         "7: [http] cert_file: needs key_file; HTTPS takes both"},
        {radar + "[http]\nkey_file = ca.key\n",
         "7: [http] key_file: needs cert_file; HTTPS takes both"},
        {radar + "[http]\ncert_file = ca.crt\nkey_file = other.key\n",
         "8: [http] key_file: %D/other.key is not the key of the certificate in cert_file ("},
        {radar + "[http]\ncert_file = pw\nkey_file = ca.key\n",
         "7: [http] cert_file: %D/pw holds no certificate in PEM form ("},
        {radar + "[http]\ncert_file = ca.crt\nkey_file = ca.key\n", nullptr},
        // Radars.
        {site + broker + "[radar.a/b]\n", "5: [radar.a/b]: the radar's name 'a/b' is not"},
        {radar + "[radar.site]\n",
         "6: [radar.site]: the radar's name 'site' is reserved for the site's own topics"},
        {radar + "[radar.zones]\n", "6: [radar.zones]: the radar's name 'zones' is reserved"},
        {radar + "[radar.events]\n", "6: [radar.events]: the radar's name 'events' is reserved"},
        {radar + "[radar.alarms]\n", "6: [radar.alarms]: the radar's name 'alarms' is reserved"},
        {radar + "[radar.a]\n", "6: [radar.a]: a second section of this name (the first is at "
                                "line 5)"},
        {radar + "bind_address = 1.2.3\n",
         "6: [radar.a] bind_address: '1.2.3' is not an IPv4 or IPv6 address"},
        {radar + "radar_address = radar\n",
         "6: [radar.a] radar_address: 'radar' is not an IPv4 or IPv6 address"},
        {radar + "radar_address = 0.0.0.0\n",
         "6: [radar.a] radar_address: '0.0.0.0' is the unspecified address, not one host's"},
        {radar + "radar_address = ::\n", "6: [radar.a] radar_address: '::' is the unspecified"},
        {radar + "radar_address = ::ffff:0.0.0.0\n",
         "6: [radar.a] radar_address: '::ffff:0.0.0.0' is the unspecified"},
        {radar + "radar_address = 224.0.0.0\n",
         "6: [radar.a] radar_address: '224.0.0.0' is a multicast address, not one host's"},
        {radar + "radar_address = 239.255.255.255\n",
         "6: [radar.a] radar_address: '239.255.255.255' is a multicast"},
        {radar + "radar_address = ::ffff:224.0.0.1\n",
         "6: [radar.a] radar_address: '::ffff:224.0.0.1' is a multicast"},
        {radar + "radar_address = ff02::1\n", "6: [radar.a] radar_address: 'ff02::1' is a "
                                              "multicast"},
        {radar + "radar_address = 255.255.255.255\n",
         "6: [radar.a] radar_address: '255.255.255.255' is the broadcast address, not one host's"},
        {radar + "radar_address = ::ffff:255.255.255.255\n",
         "6: [radar.a] radar_address: '::ffff:255.255.255.255' is the broadcast"},
        {radar + "radar_address = 223.255.255.255\n", nullptr},
        {radar + "radar_address = 240.0.0.1\n", nullptr},
        {radar + "port = 65536\n", "6: [radar.a] port: '65536' is not a port"},
        {radar + "x = nan\n", "6: [radar.a] x: 'nan' is not a number of metres"},
        {radar + "x = 1e20\n", "6: [radar.a] x: '1e20' is not a number of metres"},
        {radar + "y = %3\n", "6: [radar.a] y: '%3' is not a number of metres from -100000 to "
                             "100000"},
        {site + broker + "[radar.a]\n[radar.b]\nradar_address = 10.0.0.2\n",
         "5: [radar.a] radar_address: needed: radars a and b share a socket (every interface "
         "port 34567)"},
        {site + broker +
             "[radar.a]\nradar_address = 10.0.0.2\n[radar.b]\nradar_address = 10.0.0.2\n",
         "8: [radar.b] radar_address: 10.0.0.2 is radar a's already"},
        {site + broker +
             "[radar.a]\nradar_address = 10.0.0.2\n[radar.b]\nradar_address = ::ffff:10.0.0.2\n",
         "8: [radar.b] radar_address: 10.0.0.2 is radar a's already"},
        {site + broker + "[radar.a]\n[radar.b]\nbind_address = 127.0.0.1\n",
         "7: [radar.b] bind_address: overlaps radar a's socket (every interface port 34567)"},
        // One address in two forms is one socket, whose radars need addresses.
        {site + broker +
             "[radar.a]\nbind_address = ::ffff:127.0.0.1\n[radar.b]\n"
             "bind_address = 127.0.0.1\n",
         "5: [radar.a] radar_address: needed: radars a and b share a socket (127.0.0.1 port "
         "34567)"},
        // 0.0.0.0 and :: given are every interface, either side.
        {site + broker +
             "[radar.a]\nbind_address = 0.0.0.0\n[radar.b]\n"
             "bind_address = 127.0.0.1\n",
         "8: [radar.b] bind_address: overlaps radar a's socket (0.0.0.0 port 34567)"},
        {site + broker + "[radar.a]\nbind_address = ::1\n[radar.b]\nbind_address = ::\n",
         "8: [radar.b] bind_address: overlaps radar a's socket (::1 port 34567)"},
        // Radars that bind distinct addresses, or use distinct ports, need
        // no radar addresses.
        {site + broker +
             "[radar.a]\nbind_address = 127.0.0.1\n[radar.b]\nbind_address = "
             "127.0.0.2\n[radar.c]\nport = 5000\n",
         nullptr},
    };
    qunsetenv("CREDENTIALS_DIRECTORY");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        SiteConfig config;
        QString error;
        const bool parsed = parse(c.text, config, error, dir.path());
        if (!c.error) {
            EXPECT_TRUE(parsed) << error.toStdString();
            continue;
        }
        EXPECT_FALSE(parsed);
        const QString expected =
            QString::fromLatin1(c.error).replace(QLatin1String("%D"), dir.path());
        EXPECT_TRUE(error.startsWith(expected)) << "gave: " << error.toStdString();
        EXPECT_FALSE(error.contains(QLatin1Char('\n'))) << error.toStdString();
    }
    {
        SiteConfig config;
        QString error;
        ASSERT_TRUE(parse(geo + "[map]\nplan = p.png\n" + corners, config, error, dir.path()));
        EXPECT_EQ(config.map.plan, dir.filePath(QStringLiteral("p.png")));
        EXPECT_EQ(config.map.line, 10);
        EXPECT_EQ(config.map.topRight.latitudeDeg, 48.001);
        EXPECT_EQ(config.map.topRight.longitudeDeg, 11.001);
        EXPECT_EQ(config.map.bottomLeft.latitudeDeg, 48.0);
    }
    // With the folder, %d/ is that folder, whatever the site file's own.
    {
        qputenv("CREDENTIALS_DIRECTORY", dir.path().toUtf8());
        SiteConfig config;
        QString error;
        EXPECT_TRUE(parse(site + broker + "username = u\npassword_file = %d/pw\n[radar.a]\n",
                          config, error, QStringLiteral("/nonexistent")))
            << error.toStdString();
        EXPECT_EQ(config.broker.passwordFile, dir.filePath(QStringLiteral("pw")));
        qunsetenv("CREDENTIALS_DIRECTORY");
    }

    // A password file that others may read is used, with one warning; one
    // that only its group may write is used as it is.
    const struct
    {
        const char* file;
        QStringList warnings;
    } passwords[]{
        {"readable",
         {QStringLiteral("6: [broker] password_file: %1 is readable by others (mode "
                         "0664): chmod o-r it")
              .arg(dir.filePath(QStringLiteral("readable")))}},
        {"group", {}},
    };
    for (const auto& p : passwords) {
        SiteConfig config;
        QString error;
        ASSERT_TRUE(
            parse(site + broker + "username = u\npassword_file = " + p.file + "\n[radar.a]\n",
                  config, error, dir.path()))
            << error.toStdString();
        EXPECT_EQ(config.warnings, p.warnings);
        EXPECT_EQ(config.broker.password, QByteArray("secret"));
    }
}

// Every number of the file (a radar's place and mounting, the site's
// origin, the fusion, the codes, ports and days) is taken at both ends of
// its range and refused just past either, the nearest double outside; an
// integer key also one past either.
TEST(SiteConfig, NumbersWithinTheirRangesAtBothEnds)
{
    // A good file up to the key's line: the key is its section's last, and
    // an origin key comes with the origin's other two.
    const QByteArray radar = minimalFile;
    const QByteArray fusion = minimalFile + "[fusion]\n";
    const QByteArray camera = minimalFile + "[camera.c]\naddress = http://127.0.0.1/onvif\n";
    const auto origin = [](const char* key) {
        QByteArray text = "[broker]\nclient_id = c\n[radar.a]\n[site]\nname = s\n";
        for (const char* other : {"latitude", "longitude", "altitude"}) {
            if (std::strcmp(other, key) != 0)
                text += QByteArray(other) + " = 1\n";
        }
        return text;
    };
    const struct
    {
        const char* section;
        const char* key;
        QByteArray before;
        double least;
        double greatest;
        const char* why; // after "'VALUE' is "
        double (*field)(const SiteConfig&);
        bool integer = false;
    } cases[]{
        {"radar.a", "x", radar, -100000, 100000, "not a number of metres from -100000 to 100000",
         [](const SiteConfig& c) { return c.radars[0].placement.x; }},
        {"radar.a", "y", radar, -100000, 100000, "not a number of metres from -100000 to 100000",
         [](const SiteConfig& c) { return c.radars[0].placement.y; }},
        {"radar.a", "heading", radar, -360, 360, "not a number of degrees from -360 to 360",
         [](const SiteConfig& c) { return c.radars[0].placement.headingDeg; }},
        {"radar.a", "tilt", radar, -90, 90, "not a number from -90 to 90",
         [](const SiteConfig& c) { return c.radars[0].mounting.tilt; }},
        {"radar.a", "pan", radar, -180, 180, "not a number from -180 to 180",
         [](const SiteConfig& c) { return c.radars[0].mounting.pan; }},
        {"radar.a", "height", radar, 0, 100, "not a number from 0 to 100",
         [](const SiteConfig& c) { return c.radars[0].mounting.height; }},
        {"radar.a", "pan_offset", radar, -180, 180, "not a number from -180 to 180",
         [](const SiteConfig& c) { return c.radars[0].mounting.panOffset; }},
        {"radar.a", "orientation", radar, 0, 1, "neither 0 (horizontal) nor 1 (vertical)",
         [](const SiteConfig& c) { return double(c.radars[0].mounting.orientation); }, true},
        {"site", "latitude", origin("latitude"), -90, 90, "not a number of degrees from -90 to 90",
         [](const SiteConfig& c) { return c.origin ? c.origin->latitudeDeg : NAN; }},
        {"site", "longitude", origin("longitude"), -180, 180,
         "not a number of degrees from -180 to 180",
         [](const SiteConfig& c) { return c.origin ? c.origin->longitudeDeg : NAN; }},
        {"site", "altitude", origin("altitude"), -1000, 10000,
         "not a number of metres from -1000 to 10000",
         [](const SiteConfig& c) { return c.origin ? c.origin->altitudeM : NAN; }},
        {"fusion", "rate", fusion, 0.1, 100, "not a number of pictures per second from 0.1 to 100",
         [](const SiteConfig& c) { return c.fusion.ratePerS; }},
        {"fusion", "gate", fusion, 1, 100, "not a number of metres from 1 to 100",
         [](const SiteConfig& c) { return c.fusion.gateM; }},
        {"fusion", "coast", fusion, 0, 60, "not a number of seconds from 0 to 60",
         [](const SiteConfig& c) { return c.fusion.coastS; }},
        {"classes", "threshold", minimalFile + "[classes]\n", 0.5, 0.99,
         "not a number of probability from 0.5 to 0.99",
         [](const SiteConfig& c) { return c.classes.threshold; }},
        {"radar.a", "range_offset", radar, -50, 50, "not a number of metres from -50 to 50",
         [](const SiteConfig& c) { return c.radars[0].rangeOffsetM; }},
        {"camera.c", "height", camera, -100, 1000, "not a number of metres from -100 to 1000",
         [](const SiteConfig& c) { return c.cameras[0].heightM; }},
        {"camera.c", "tilt_offset", camera, -90, 90, "not a number of degrees from -90 to 90",
         [](const SiteConfig& c) { return c.cameras[0].tiltOffsetDeg; }},
        {"camera.c", "pan_speed", camera, 0.1, 1000,
         "not a number of degrees per second from 0.1 to 1000",
         [](const SiteConfig& c) { return c.cameras[0].panSpeedDegPerS; }},
        {"camera.c", "reach", camera, 1, 50000, "not a number of metres from 1 to 50000",
         [](const SiteConfig& c) { return c.cameras[0].reachM; }},
        {"camera.c", "fill", camera, 0.01, 1, "not a number of the view's width from 0.01 to 1",
         [](const SiteConfig& c) { return c.cameras[0].fill; }},
        {"camera.c", "latency", camera, 0, 10, "not a number of seconds from 0 to 10",
         [](const SiteConfig& c) { return c.cameras[0].latencyS; }},
        {"camera.c", "home_after", camera, 0, 3600, "not a number of seconds from 0 to 3600",
         [](const SiteConfig& c) { return c.cameras[0].homeAfterS; }},
        {"radar.a", "sic", radar, 0, 255, "not a code from 0 to 255",
         [](const SiteConfig& c) { return double(c.radars[0].sic); }, true},
        {"asterix", "sac", minimalFile + "[asterix]\n", 0, 255, "not a code from 0 to 255",
         [](const SiteConfig& c) { return double(c.asterix.sac); }, true},
        {"asterix", "sic_site", minimalFile + "[asterix]\n", 0, 255, "not a code from 0 to 255",
         [](const SiteConfig& c) { return double(c.asterix.sicSite); }, true},
        {"history", "retention_days", minimalFile + "[history]\n", 1, 36600,
         "not a number of days from 1 to 36600",
         [](const SiteConfig& c) { return double(c.history.retentionDays); }, true},
        {"history", "max_size", minimalFile + "[history]\n", 0.001, 100000,
         "not a number of GB from 0.001 to 100000",
         [](const SiteConfig& c) { return c.history.maxSizeGB; }},
        {"http", "session_hours", minimalFile + "[http]\n", 1, 8760,
         "not a number of hours from 1 to 8760",
         [](const SiteConfig& c) { return double(c.http.sessionHours); }, true},
        {"radar.a", "port", radar, 1, 65535, "not a port number (1 to 65535)",
         [](const SiteConfig& c) { return double(c.radars[0].port); }, true},
        {"broker", "port", "[site]\nname = s\n[radar.a]\n[broker]\nclient_id = c\n", 1, 65535,
         "not a port number (1 to 65535)",
         [](const SiteConfig& c) { return double(c.broker.port); }, true},
        {"cot", "rate", minimalFile + "[cot]\n", 0.1, 10,
         "not a number of rounds per second from 0.1 to 10",
         [](const SiteConfig& c) { return c.cot.ratePerS; }},
    };
    for (const auto& c : cases) {
        struct Value
        {
            double value;
            bool good;
        };
        std::vector<Value> values{
            {c.least, true},
            {c.greatest, true},
            {std::nextafter(c.least, -HUGE_VAL), false},
            {std::nextafter(c.greatest, HUGE_VAL), false},
        };
        if (c.integer)
            values.insert(values.end(), {{c.least - 1, false}, {c.greatest + 1, false}});
        const int line = c.before.count('\n') + 1;
        for (const auto& v : values) {
            const QString text = QString::number(v.value, 'g', 17);
            SCOPED_TRACE(std::string(c.key) + " = " + text.toStdString());
            SiteConfig config;
            QString error;
            const bool parsed =
                parse(c.before + c.key + " = " + text.toUtf8() + "\n", config, error);
            ASSERT_EQ(parsed, v.good) << error.toStdString();
            if (v.good)
                EXPECT_EQ(c.field(config), v.value);
            else
                EXPECT_EQ(error, QStringLiteral("%1: [%2] %3: '%4' is %5")
                                     .arg(line)
                                     .arg(QLatin1String(c.section), QLatin1String(c.key), text,
                                          QLatin1String(c.why)));
        }
    }
}

// The rows of docs/site-file.md's key table (under "## Keys"): the section
// in the first cell, or the row above's when it is empty ("`[radar.NAME]`"
// for every radar's), one key or several in the second ("`pan`,
// `pan_offset`"), and nothing left empty. "SECTION KEY" each.
QStringList documentedKeys(const QString& path, QStringList& problems)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        problems << path + QStringLiteral(": ") + file.errorString();
        return {};
    }
    static const QRegularExpression code(QStringLiteral("`([^`]*)`"));
    QStringList keys;
    QString section;
    bool inTable = false;
    int columns = 0;
    for (int number = 1; !file.atEnd(); ++number) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1String("## ")))
            inTable = line == QLatin1String("## Keys");
        if (!inTable || !line.startsWith(QLatin1Char('|')))
            continue;
        const QStringList cells = line.mid(1, line.size() - 2).split(QLatin1Char('|'));
        if (columns == 0) { // the header; the rule under it comes next
            columns = int(cells.size());
            continue;
        }
        if (cells[0].trimmed().startsWith(QLatin1String("---")))
            continue;
        const QString where = QStringLiteral("%1:%2: ").arg(path).arg(number);
        if (cells.size() != columns ||
            std::any_of(cells.begin() + 1, cells.end(),
                        [](const QString& cell) { return cell.trimmed().isEmpty(); }))
            problems << where + QStringLiteral("a row of %1 cells, not %2 filled ones")
                                    .arg(cells.size())
                                    .arg(columns);
        if (const QString first = cells[0].trimmed(); !first.isEmpty())
            section =
                code.match(first).captured(1).remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        for (auto m = code.globalMatch(cells.value(1)); m.hasNext();)
            keys << section + QLatin1Char(' ') + m.next().captured(1);
    }
    if (keys.isEmpty())
        problems << path + QStringLiteral(": no key table under '## Keys'");
    return keys;
}

// The site file's page documents every key the parser takes, and no other;
// and every key siteConfigKeys() names is one the parser knows.
TEST(SiteConfig, TheGuideDocumentsEveryKey)
{
    QStringList problems;
    const QStringList documented = documentedKeys(QStringLiteral(SITE_FILE_DOC), problems);
    QStringList accepted;
    for (const SiteConfigKey& k : siteConfigKeys()) {
        accepted << k.section + QLatin1Char(' ') + k.key;
        // The key, empty, in its section of a good file.
        const QByteArray header =
            "[" + QString(k.section).replace(QLatin1String("NAME"), "a").toUtf8() + "]\n";
        QByteArray text = minimalFile;
        if (!text.contains(header))
            text += header;
        text.insert(text.indexOf(header) + header.size(), k.key.toUtf8() + " =\n");
        SiteConfig c;
        QString error;
        parse(text, c, error);
        if (error.contains(QLatin1String("unknown")))
            problems << QStringLiteral("siteConfigKeys() names [%1] %2: %3")
                            .arg(k.section, k.key, error);
    }
    for (const QString& key : accepted) {
        if (!documented.contains(key))
            problems << QStringLiteral("[%1] %2: not in the guide's key table")
                            .arg(key.section(' ', 0, 0), key.section(' ', 1));
    }
    for (const QString& key : documented) {
        if (!accepted.contains(key))
            problems << QStringLiteral("[%1] %2: in the guide's key table, unknown to the parser")
                            .arg(key.section(' ', 0, 0), key.section(' ', 1));
        if (documented.count(key) > 1)
            problems << QStringLiteral("[%1] %2: in the guide's key table twice")
                            .arg(key.section(' ', 0, 0), key.section(' ', 1));
    }
    problems.removeDuplicates();
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
}

// Where the site's points lie on Earth, to 1e-9 degrees of GeographicLib's
// own command line (CartConvert -r from the local frame at the origin):
// the origin itself, 100 km east and north (as far as a radar may stand),
// points west and south of it, on a summit (where the altitude counts), at a
// high latitude and in the southern and western hemispheres.
TEST(GeoReference, AgreesWithCartConvert)
{
    constexpr double toleranceDeg = 1e-9;
    const struct
    {
        const char* what;
        Origin origin;
        std::vector<std::pair<double, double>> points; // x, y (metres)
    } cases[]{
        {"mid-latitude",
         {48.137, 11.575, 519.0},
         {{0.0, 0.0}, {100000.0, 0.0}, {0.0, 100000.0}, {-35.5, -1234.25}}},
        {"on a summit", {27.988, 86.925, 8848.0}, {{100000.0, 0.0}, {-100000.0, 100000.0}}},
        {"high latitude", {78.2232, 15.6267, 30.0}, {{100000.0, 0.0}, {-70000.0, -70000.0}}},
        {"south and west", {-33.4489, -70.6693, -12.5}, {{-100000.0, -100000.0}, {250.5, 99.5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QStringList input;
        for (const auto& [x, y] : c.points)
            input << QStringLiteral("%1 %2 0").arg(x, 0, 'g', 17).arg(y, 0, 'g', 17);
        const ProgramRun run =
            runProgram(QStringLiteral("CartConvert"),
                       {QStringLiteral("-r"), QStringLiteral("-l"),
                        QString::number(c.origin.latitudeDeg, 'g', 17),
                        QString::number(c.origin.longitudeDeg, 'g', 17),
                        QString::number(c.origin.altitudeM, 'g', 17), QStringLiteral("-p"),
                        QStringLiteral("9"), QStringLiteral("--input-string"), input.join(';')});
        ASSERT_EQ(run.exitCode, 0)
            << "CartConvert (geographiclib-tools): " << run.err.toStdString();
        const QList<QByteArray> lines = run.out.trimmed().split('\n');
        ASSERT_EQ(lines.size(), int(c.points.size())) << run.out.toStdString();
        const GeoReference geo(c.origin);
        for (std::size_t i = 0; i < c.points.size(); ++i) {
            const QList<QByteArray> fields = lines[int(i)].simplified().split(' ');
            ASSERT_EQ(fields.size(), 3) << lines[int(i)].toStdString();
            const GeoPoint p = geo.toGeodetic(c.points[i].first, c.points[i].second);
            SCOPED_TRACE(input[int(i)].toStdString());
            EXPECT_NEAR(p.latitudeDeg, fields[0].toDouble(), toleranceDeg);
            EXPECT_NEAR(p.longitudeDeg, fields[1].toDouble(), toleranceDeg);
        }
    }
}

} // namespace
} // namespace trklib::site::test

// trackd's parts without a broker: the configuration file, the messages,
// when a status is due, and the reception's counts over loopback.

#include "messages.h"
#include "reception.h"
#include "siteconfig.h"
#include "statusschedule.h"

#include "tools/common/sensormodel.h"

#include "support/programrun.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace trklib::trackd::test {
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
    return writeFile(dir.filePath("pw"), "secret\r\nignored\n") &&
           QFile::setPermissions(dir.filePath("pw"),
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
}

TEST(SiteConfig, DefaultsAndEveryKey)
{
    SiteConfig c;
    QString error;
    ASSERT_TRUE(parse(minimalFile, c, error)) << error.toStdString();
    EXPECT_EQ(c.prefix, QLatin1String("trklib"));
    EXPECT_EQ(c.broker.host, QLatin1String("127.0.0.1"));
    EXPECT_EQ(c.broker.port, 1883);
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

    QTemporaryDir dir;
    ASSERT_TRUE(makeFiles(QDir(dir.path())));
    // IPv4-mapped forms are the IPv4 address: r.1 and r.2 share a socket.
    const QByteArray full = "; comment\r\n"
                            "# another\n"
                            "[site]\n name = north-1 \nprefix = plant/trklib\n"
                            "[broker]\nhost = broker.local\nport = 8883\nclient_id = \"td\"\n"
                            "username = u\npassword_file = pw\nca_file = ca.crt\n"
                            "cert_file = ca.crt\nkey_file = ca.key\n"
                            "[radar.r.1]\nbind_address = ::ffff:127.0.0.1\nport = 5000\n"
                            "radar_address = ::ffff:192.168.1.2\ntilt = -2.5\npan = 10\n"
                            "height = 6\npan_offset = 1\norientation = 1\nx = -12.5\ny = 40\n"
                            "heading = 270\n"
                            "[radar.r.2]\nbind_address\t=\t127.0.0.1\nport = 5000\n"
                            "radar_address = 192.168.1.3\n";
    ASSERT_TRUE(parse(full, c, error, dir.path())) << error.toStdString();
    EXPECT_EQ(c.warnings, QStringList()) << "the password file is its owner's and group's";
    EXPECT_EQ(c.name, QLatin1String("north-1"));
    EXPECT_EQ(c.broker.clientId, QLatin1String("td"));
    EXPECT_EQ(c.broker.password, QByteArray("secret"));
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
        {site + "[sites]\n", "3: [sites]: unknown section"},
        {site + "colour = red\n", "3: [site] colour: unknown key (known: name, prefix)"},
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
        {site + broker + "ca_file = /\n", "5: [broker] ca_file: not a regular file"},
        {site + broker + "username = \n", "5: [broker] username: empty; leave the key out"},
        {site + broker + "username = u\npassword_file = writable\n",
         "6: [broker] password_file: %D/writable is writable by others (mode 0662): chmod o-w "
         "it"},
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
        // Radars.
        {site + broker + "[radar.a/b]\n", "5: [radar.a/b]: the radar's name 'a/b' is not"},
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

// Every number of a radar's place and mounting is taken at both ends of
// its range and refused just past either, the nearest double outside.
TEST(SiteConfig, PlaceAndMountingWithinTheirRangesAtBothEnds)
{
    const struct
    {
        const char* key;
        double least;
        double greatest;
        const char* why; // after "'VALUE' is "
        double (*field)(const RadarEntry&);
    } cases[]{
        {"x", -100000, 100000, "not a number of metres from -100000 to 100000",
         [](const RadarEntry& r) { return r.placement.x; }},
        {"y", -100000, 100000, "not a number of metres from -100000 to 100000",
         [](const RadarEntry& r) { return r.placement.y; }},
        {"heading", -360, 360, "not a number of degrees from -360 to 360",
         [](const RadarEntry& r) { return r.placement.headingDeg; }},
        {"tilt", -90, 90, "not a number from -90 to 90",
         [](const RadarEntry& r) { return r.mounting.tilt; }},
        {"pan", -180, 180, "not a number from -180 to 180",
         [](const RadarEntry& r) { return r.mounting.pan; }},
        {"height", 0, 100, "not a number from 0 to 100",
         [](const RadarEntry& r) { return r.mounting.height; }},
        {"pan_offset", -180, 180, "not a number from -180 to 180",
         [](const RadarEntry& r) { return r.mounting.panOffset; }},
        {"orientation", 0, 1, "neither 0 (horizontal) nor 1 (vertical)",
         [](const RadarEntry& r) { return double(r.mounting.orientation); }},
    };
    for (const auto& c : cases) {
        const struct
        {
            double value;
            bool good;
        } values[]{
            {c.least, true},
            {c.greatest, true},
            {std::nextafter(c.least, -HUGE_VAL), false},
            {std::nextafter(c.greatest, HUGE_VAL), false},
        };
        for (const auto& v : values) {
            const QString text = QString::number(v.value, 'g', 17);
            SCOPED_TRACE(std::string(c.key) + " = " + text.toStdString());
            SiteConfig config;
            QString error;
            const bool parsed =
                parse(minimalFile + c.key + " = " + text.toUtf8() + "\n", config, error);
            ASSERT_EQ(parsed, v.good) << error.toStdString();
            if (v.good)
                EXPECT_EQ(c.field(config.radars[0]), v.value);
            else
                EXPECT_EQ(error, QStringLiteral("6: [radar.a] %1: '%2' is %3")
                                     .arg(QLatin1String(c.key), text, QLatin1String(c.why)));
        }
    }
}

TEST(Messages, NumbersReadBackBitForBit)
{
    for (const double value :
         {0.0, -0.0, 0.1, 1.0 / 3.0, -87.84290123456789, 5e-324, DBL_MIN, DBL_MAX, 1e21, 1e-7,
          123456789012345680.0, 109.4, std::nextafter(1.0, 2.0)}) {
        QByteArray text;
        appendNumber(text, value);
        const double back = std::strtod(text.constData(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text.toStdString();
        // QJsonDocument reads it the same way, and JSON allows the form.
        const QJsonDocument json = QJsonDocument::fromJson("[" + text + "]");
        ASSERT_TRUE(json.isArray()) << text.toStdString();
        EXPECT_EQ(json.array().at(0).toDouble(), value) << text.toStdString();
    }
    EXPECT_EQ(QByteArray("0.1"), [] {
        QByteArray t;
        appendNumber(t, 0.1);
        return t;
    }()) << "the shortest form, not 17 digits";
    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL}) {
        QByteArray text;
        appendNumber(text, bad);
        EXPECT_EQ(text, QByteArray("null"));
    }
}

TEST(Messages, TracksAndStatusHoldEveryField)
{
    const QVector<TargetData> targets{{7, -2.6186, 0.964666, 109.4, -87.8429, true},
                                      {9, -3.5, -1.25, 80.0, 30.0, false}};
    const RadarConfig mounting{0.0, 0.0, 5.0, 0.0, 0};
    const util::RadarPlacement placement{100.0, -20.0, 90.0};
    const QJsonObject tracks =
        QJsonDocument::fromJson(tracksMessage(QStringLiteral("s"), QStringLiteral("r"),
                                              1700000000250, 1712345678901, targets, mounting,
                                              placement))
            .object();
    EXPECT_EQ(tracks.keys(), (QStringList{"radar", "received", "site", "targets", "timestamp"}));
    EXPECT_EQ(tracks["site"].toString(), QLatin1String("s"));
    EXPECT_EQ(tracks["timestamp"].toDouble(), 1700000000250.0);
    EXPECT_EQ(tracks["received"].toDouble(), 1712345678901.0);
    const QJsonArray list = tracks["targets"].toArray();
    ASSERT_EQ(list.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject t = list[i].toObject();
        const TargetData& d = targets[i];
        EXPECT_EQ(t.keys(), (QStringList{"azimuth", "confirmed", "distance", "elevation", "number",
                                         "velocity", "x", "y"}));
        EXPECT_EQ(t["number"].toInt(), d.number);
        EXPECT_EQ(t["elevation"].toDouble(), d.elevation);
        EXPECT_EQ(t["azimuth"].toDouble(), d.azimuth);
        EXPECT_EQ(t["distance"].toDouble(), d.distance);
        EXPECT_EQ(t["velocity"].toDouble(), d.velocity);
        EXPECT_EQ(t["confirmed"].toBool(), d.confirmed);
        const util::GroundPoint p =
            util::sitePosition(util::groundPosition(d, mounting), placement);
        EXPECT_EQ(t["x"].toDouble(), p.x);
        EXPECT_EQ(t["y"].toDouble(), p.y);
    }
    // Heading 90 (pan 0 looks east) from (100, -20): a target ahead and a
    // little to the left lies east of the radar and a little north.
    EXPECT_GT(list[0].toObject()["x"].toDouble(), 100.0 + 100.0);
    EXPECT_GT(list[0].toObject()["y"].toDouble(), -20.0);

    // Every counter in its own field, none of them narrowed to 32 bits.
    const QByteArray place = placeFields(mounting, placement);
    RadarStatus status;
    constexpr std::uint64_t past32Bits = std::uint64_t(1) << 32;
    status.packets = past32Bits + 12;
    status.readErrors = 3;
    status.badHeaders = 4;
    status.foreignDatagrams = 5;
    status.strayDatagrams = 6;
    status.abandonedPackets = 7;
    status.senders = 2;
    status.competingDatagrams = 8;
    status.receiveBufferBytes = 212992;
    status.ratePps = 19.8;
    const QJsonObject before = QJsonDocument::fromJson(statusMessage(status, place)).object();
    EXPECT_EQ(before.keys(), (QStringList{"abandonedPackets", "badHeaders", "beam",
                                          "competingDatagrams", "foreignDatagrams", "lastTimestamp",
                                          "online", "packets", "place", "rate", "readErrors",
                                          "receiveBufferBytes", "senders", "strayDatagrams"}));
    EXPECT_TRUE(before["online"].toBool());
    const struct
    {
        const char* key;
        double value;
    } fields[]{
        {"packets", double(past32Bits + 12)},
        {"readErrors", 3},
        {"badHeaders", 4},
        {"foreignDatagrams", 5},
        {"strayDatagrams", 6},
        {"abandonedPackets", 7},
        {"senders", 2},
        {"competingDatagrams", 8},
        {"receiveBufferBytes", 212992},
        {"rate", 19.8},
    };
    for (const auto& f : fields)
        EXPECT_EQ(before[QLatin1String(f.key)].toDouble(), f.value) << f.key;
    EXPECT_TRUE(before["lastTimestamp"].isNull()) << "no packet yet";
    const QJsonObject placeAndBeam = QJsonDocument::fromJson("{" + place + "}").object();
    EXPECT_EQ(before["place"], placeAndBeam["place"]);
    EXPECT_EQ(before["beam"], placeAndBeam["beam"]);
    status.lastTimestampMs = 1700000000000;
    EXPECT_EQ(QJsonDocument::fromJson(statusMessage(status, place))["lastTimestamp"].toDouble(),
              1700000000000.0);

    // Offline, the radar can still be drawn where it stands, its beam too.
    const QJsonObject offline = QJsonDocument::fromJson(offlineMessage(place)).object();
    EXPECT_EQ(offline.keys(), (QStringList{"beam", "online", "place"}));
    EXPECT_FALSE(offline["online"].toBool(true));
    EXPECT_EQ(offline["place"], placeAndBeam["place"]);
    EXPECT_EQ(offline["beam"], placeAndBeam["beam"]);
}

// The compass bearing from the radar's place to a point of the site,
// degrees clockwise from north in [0, 360).
double bearingTo(const util::GroundPoint& p, const util::RadarPlacement& from)
{
    const double deg = std::atan2(p.x - from.x, p.y - from.y) * 180.0 / M_PI;
    return deg < 0.0 ? deg + 360.0 : deg;
}

TEST(Messages, PlaceAndBeamAreWhereTheTargetsLand)
{
    using sim::SensorModel;
    const struct
    {
        const char* what;
        RadarConfig mounting; // tilt, pan, height, pan offset, orientation
        util::RadarPlacement placement;
        double bearing;
        double halfWidth;
        double minRange;
        double maxRange;
    } cases[]{
        {"north, no pan",
         {0, 0, 5, 0, 0},
         {0, 40, 0},
         0,
         12,
         std::sqrt(144.0 - 25),
         std::sqrt(90000.0 - 25)},
        {"panned left of a heading near north",
         {-2, 30, 6, 0, 0},
         {-5, 2, 10},
         340,
         12,
         std::sqrt(144.0 - 36),
         std::sqrt(90000.0 - 36)},
        {"panned right, looking west", {0, -45, 0, 7, 0}, {35, 0, 270}, 315, 12, 12, 300},
        {"vertical mounting: the wider angle",
         {0, 0, 5, 0, 1},
         {0, 0, 180},
         180,
         15,
         std::sqrt(144.0 - 25),
         std::sqrt(90000.0 - 25)},
        {"a heading past a full turn", {0, 0, 0, 0, 0}, {0, 0, 370}, 10, 12, 12, 300},
    };
    // The radar whose constants these are: radarsim's sensor model.
    EXPECT_EQ(SensorModel::beamHalfWidthAzimuthDeg, 12.0);
    EXPECT_EQ(SensorModel::beamHalfWidthElevationDeg, 15.0);
    EXPECT_EQ(SensorModel::minRangeM, 12.0);
    EXPECT_EQ(SensorModel::maxRangeM, 300.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray fields = placeFields(c.mounting, c.placement);
        const QJsonObject o = QJsonDocument::fromJson("{" + fields + "}").object();
        EXPECT_EQ(o.keys(), (QStringList{"beam", "place"}));
        const QJsonObject place = o["place"].toObject();
        EXPECT_EQ(place["x"].toDouble(), c.placement.x);
        EXPECT_EQ(place["y"].toDouble(), c.placement.y);
        EXPECT_EQ(place["heading"].toDouble(), c.placement.headingDeg);
        const QJsonObject beam = o["beam"].toObject();
        EXPECT_NEAR(beam["bearing"].toDouble(), c.bearing, 1e-9);
        EXPECT_EQ(beam["halfWidth"].toDouble(), c.halfWidth);
        EXPECT_NEAR(beam["minRange"].toDouble(), c.minRange, 1e-9);
        EXPECT_NEAR(beam["maxRange"].toDouble(), c.maxRange, 1e-9);

        // A target on the boresight lands on the bearing, targets at the
        // beam's edges on either side of it, as tracks messages place them.
        const double heightM = c.mounting.height;
        const auto landsAt = [&](double azimuthDeg) {
            const double depressionDeg = heightM > 0.0 ? 5.0 : 0.0;
            const TargetData target{1,   -depressionDeg - c.mounting.tilt, azimuthDeg, 100.0, 10.0,
                                    true};
            return bearingTo(
                util::sitePosition(util::groundPosition(target, c.mounting), c.placement),
                c.placement);
        };
        const auto sameBearing = [](double a, double b) {
            return std::abs(std::remainder(a - b, 360.0)) < 1e-9;
        };
        EXPECT_PRED2(sameBearing, landsAt(0.0), c.bearing);
        const double left = landsAt(c.halfWidth);
        const double right = landsAt(-c.halfWidth);
        EXPECT_PRED2(sameBearing,
                     std::min(std::remainder(left - c.bearing, 360.0),
                              std::remainder(right - c.bearing, 360.0)),
                     -c.halfWidth);
        EXPECT_PRED2(sameBearing,
                     std::max(std::remainder(left - c.bearing, 360.0),
                              std::remainder(right - c.bearing, 360.0)),
                     c.halfWidth);
    }
}

TEST(StatusSchedule, DueEverySecondOnChangesAndConnectionsWithTheRateOfFiveSeconds)
{
    using namespace std::chrono;
    using Clock = StatusSchedule::Clock;
    const Clock::time_point t0{};
    StatusSchedule schedule;
    RadarStatus s;

    // 20 packets per second for 8 s, looked at every tick: due at the first
    // look and then exactly once a second while only the packet count moves.
    std::vector<milliseconds> published;
    for (milliseconds t{0}; t <= seconds(8); t += StatusSchedule::tick) {
        s.packets = std::uint64_t(t / StatusSchedule::tick) * 2;
        if (schedule.update(s, t0 + t, false)) {
            schedule.published(s, t0 + t);
            published.push_back(t);
        }
    }
    std::vector<milliseconds> everySecond;
    for (seconds t{0}; t <= seconds(8); ++t)
        everySecond.push_back(t);
    EXPECT_EQ(published, everySecond);
    EXPECT_EQ(s.ratePps, 20.0);

    // A tick after the last: due at once on any change of condition or a
    // new connection, not on what moves with every packet.
    const struct
    {
        const char* what;
        void (*change)(RadarStatus&);
        bool connected;
        bool due;
    } cases[]{
        {"nothing changed", [](RadarStatus&) {}, false, false},
        {"a new packet", [](RadarStatus& x) { ++x.packets; }, false, false},
        {"a new timestamp", [](RadarStatus& x) { x.lastTimestampMs = 1; }, false, false},
        {"a read error", [](RadarStatus& x) { ++x.readErrors; }, false, true},
        {"a bad header", [](RadarStatus& x) { ++x.badHeaders; }, false, true},
        {"a foreign datagram", [](RadarStatus& x) { ++x.foreignDatagrams; }, false, true},
        {"a stray datagram", [](RadarStatus& x) { ++x.strayDatagrams; }, false, true},
        {"an abandoned packet", [](RadarStatus& x) { ++x.abandonedPackets; }, false, true},
        {"a new sender", [](RadarStatus& x) { ++x.senders; }, false, true},
        {"another receive buffer", [](RadarStatus& x) { x.receiveBufferBytes += 4096; }, false,
         true},
        {"a competing datagram", [](RadarStatus& x) { ++x.competingDatagrams; }, false, true},
        {"a new connection", [](RadarStatus&) {}, true, true},
    };
    const Clock::time_point last = t0 + seconds(8);
    for (const auto& c : cases) {
        StatusSchedule copy = schedule;
        RadarStatus next = s;
        c.change(next);
        EXPECT_EQ(copy.update(next, last + StatusSchedule::tick, c.connected), c.due) << c.what;
    }
    // The second's end, just before and at it.
    for (const auto& [after, due] : {std::pair{milliseconds(999), false}, {seconds(1), true}}) {
        StatusSchedule copy = schedule;
        RadarStatus same = s;
        EXPECT_EQ(copy.update(same, last + after, false), due) << after.count() << " ms";
    }

    // Silent from 8 s on: the last 5 s hold 2 packets until 12.9 s, none
    // from 13 s.
    for (milliseconds t = seconds(8) + StatusSchedule::tick; t < milliseconds(12900);
         t += StatusSchedule::tick)
        schedule.update(s, t0 + t, false);
    schedule.update(s, t0 + milliseconds(12900), false);
    EXPECT_EQ(s.ratePps, 0.4);
    schedule.update(s, t0 + seconds(13), false);
    EXPECT_EQ(s.ratePps, 0.0);
}

// Until the window has passed, the rate is taken over the time there is,
// to the nearest hundredth of a packet per second.
TEST(StatusSchedule, RateToTheNearestHundredth)
{
    using namespace std::chrono;
    const struct
    {
        std::uint64_t packets;
        milliseconds after;
        double rate;
    } cases[]{
        {2, seconds(3), 0.67}, // 0.666...: up
        {1, seconds(3), 0.33}, // 0.333...: down
        {1, milliseconds(100), 10.0}, {0, seconds(3), 0.0},
        {1, milliseconds(0), 0.0}, // no time yet
    };
    for (const auto& c : cases) {
        StatusSchedule schedule;
        RadarStatus s;
        const StatusSchedule::Clock::time_point t0{};
        schedule.update(s, t0, false);
        s.packets = c.packets;
        schedule.update(s, t0 + c.after, false);
        EXPECT_EQ(s.ratePps, c.rate) << c.packets << " in " << c.after.count() << " ms";
    }
}

// A radar that takes any sender follows the first one heard; the others
// compete. Distinct senders are counted up to 1024: at 1024 and one past.
TEST(Reception, FollowsTheFirstSenderAndCountsSendersUpTo1024)
{
    constexpr int rememberedSenders = 1024;
    for (const int senders : {rememberedSenders, rememberedSenders + 1}) {
        SCOPED_TRACE(senders);
        RadarEntry entry;
        entry.name = QStringLiteral("a");
        entry.bindAddress = QHostAddress(QHostAddress::LocalHost);
        {
            QUdpSocket probe;
            ASSERT_TRUE(probe.bind(entry.bindAddress, 0));
            entry.port = probe.localPort();
        }
        Reception reception(QVector<RadarEntry>{entry});
        QString error;
        ASSERT_TRUE(reception.bind(error)) << error.toStdString();
        reception.start([](int, std::int64_t, std::int64_t, const QVector<TargetData>&) {});
        // Each from an address of its own: 127.1.x.y.
        for (int k = 0; k < senders; ++k) {
            QUdpSocket sender;
            ASSERT_TRUE(sender.bind(QHostAddress(quint32(0x7f010001 + k)), 0));
            ASSERT_EQ(sender.writeDatagram(QByteArray(8, 'x'), entry.bindAddress, entry.port), 8);
        }
        RadarStatus status;
        for (int wait = 0; wait < 1500 && status.competingDatagrams < quint64(senders - 1);
             ++wait) {
            QThread::msleep(10);
            status = reception.status(0);
        }
        reception.stop();
        EXPECT_EQ(status.competingDatagrams, quint64(senders - 1));
        EXPECT_EQ(status.strayDatagrams, 1u) << "the first sender's datagram";
        EXPECT_EQ(status.senders, quint32(std::min(senders, rememberedSenders)));
    }
}

} // namespace
} // namespace trklib::trackd::test

// trackd's parts without a broker: the configuration file, the messages,
// when a status is due, and the reception's counts over loopback.

#include "messages.h"
#include "reception.h"
#include "siteconfig.h"
#include "statusschedule.h"

#include "tools/common/sensormodel.h"

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

namespace trklib::trackd::test {
namespace {

const QByteArray minimalFile = "[site]\nname = s\n[broker]\nclient_id = c\n[radar.a]\n";

bool parse(const QByteArray& text, SiteConfig& config, QString& error,
           const QString& base = QStringLiteral("/nonexistent"))
{
    return parseSiteConfig(text, base, config, error);
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
    QFile password(dir.filePath(QStringLiteral("pw")));
    ASSERT_TRUE(password.open(QIODevice::WriteOnly));
    password.write("secret\r\nignored\n");
    password.close();
    const QByteArray full = "; comment\r\n"
                            "# another\n"
                            "[site]\n name = north-1 \nprefix = plant/trklib\n"
                            "[broker]\nhost = broker.local\nport = 8883\nclient_id = \"td\"\n"
                            "username = u\npassword_file = pw\nca_file = pw\n"
                            "[radar.r.1]\nbind_address = ::1\nport = 5000\n"
                            "radar_address = 192.168.1.2\ntilt = -2.5\npan = 10\nheight = 6\n"
                            "pan_offset = 1\norientation = 1\nx = -12.5\ny = 40\nheading = 270\n"
                            "[radar.r.2]\nbind_address = ::1\nport = 5000\n"
                            "radar_address = 192.168.1.3\n";
    ASSERT_TRUE(parse(full, c, error, dir.path())) << error.toStdString();
    EXPECT_EQ(c.name, QLatin1String("north-1"));
    EXPECT_EQ(c.broker.clientId, QLatin1String("td"));
    EXPECT_EQ(c.broker.password, QByteArray("secret"));
    EXPECT_EQ(c.broker.caFile, dir.filePath(QStringLiteral("pw"))) << "relative to the file";
    ASSERT_EQ(c.radars.size(), 2);
    const RadarEntry& r = c.radars[0];
    EXPECT_EQ(r.name, QLatin1String("r.1"));
    EXPECT_EQ(r.bindAddress, QHostAddress(QHostAddress::LocalHostIPv6));
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
    const QByteArray site = "[site]\nname = s\n";
    const QByteArray broker = "[broker]\nclient_id = c\n";
    const struct
    {
        QByteArray text;
        const char* error;
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
        {site + "[broker]\nport = 0\n", "4: [broker] port: '0' is not a port number"},
        {site + "[broker]\nhost =\n", "4: [broker] host: '' is not a host name"},
        {site + "[broker]\nclient_id = c\npassword_file = /nonexistent/pw\n",
         "5: [broker] password_file: no such file: /nonexistent/pw"},
        {site + "[broker]\nclient_id = c\nca_file = /\n",
         "5: [broker] ca_file: not a regular file"},
        {site + "[broker]\nclient_id = c\nusername = \n",
         "5: [broker] username: empty; leave the key out"},
        {site + broker + "[radar.a/b]\n", "5: [radar.a/b]: the radar's name 'a/b' is not"},
        {site + broker + "[radar.a]\n[radar.a]\n",
         "6: [radar.a]: a second section of this name (the first is at line 5)"},
        {site + broker + "[radar.a]\nbind_address = 1.2.3\n",
         "6: [radar.a] bind_address: '1.2.3' is not an IPv4 or IPv6 address"},
        {site + broker + "[radar.a]\nradar_address = radar\n",
         "6: [radar.a] radar_address: 'radar' is not an IPv4 or IPv6 address"},
        {site + broker + "[radar.a]\nport = 65536\n", "6: [radar.a] port: '65536' is not a port"},
        {site + broker + "[radar.a]\ntilt = 91\n",
         "6: [radar.a] tilt: '91' is not a number from -90 to 90"},
        {site + broker + "[radar.a]\nheight = -1\n", "6: [radar.a] height: '-1' is not a number"},
        {site + broker + "[radar.a]\norientation = 2\n",
         "6: [radar.a] orientation: '2' is neither 0 (horizontal) nor 1 (vertical)"},
        {site + broker + "[radar.a]\nx = nan\n", "6: [radar.a] x: 'nan' is not a number of metres"},
        {site + broker + "[radar.a]\nheading = 400\n", "6: [radar.a] heading: '400' is not"},
        {site + broker + "[radar.a]\n[radar.b]\nradar_address = 10.0.0.2\n",
         "5: [radar.a] radar_address: needed: radars a and b share a socket (every interface "
         "port 34567)"},
        {site + broker +
             "[radar.a]\nradar_address = 10.0.0.2\n[radar.b]\nradar_address = 10.0.0.2\n",
         "8: [radar.b] radar_address: 10.0.0.2 is radar a's already"},
        {site + broker + "[radar.a]\n[radar.b]\nbind_address = 127.0.0.1\n",
         "7: [radar.b] bind_address: overlaps radar a's socket (every interface port 34567)"},
    };
    for (const auto& c : cases) {
        SiteConfig config;
        QString error;
        EXPECT_FALSE(parse(c.text, config, error)) << c.text.toStdString();
        EXPECT_TRUE(error.startsWith(QLatin1String(c.error)))
            << c.text.toStdString() << "\n  gave: " << error.toStdString();
        EXPECT_FALSE(error.contains(QLatin1Char('\n'))) << error.toStdString();
    }

    // Radars that bind distinct addresses, or use distinct ports, need no
    // radar addresses.
    SiteConfig config;
    QString error;
    EXPECT_TRUE(parse(site + broker +
                          "[radar.a]\nbind_address = 127.0.0.1\n[radar.b]\nbind_address = "
                          "127.0.0.2\n[radar.c]\nport = 5000\n",
                      config, error))
        << error.toStdString();
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

    const QByteArray place = placeFields(mounting, placement);
    RadarStatus status;
    status.packets = 12;
    status.senders = 2;
    status.competingDatagrams = 7;
    status.ratePps = 19.8;
    const QJsonObject before = QJsonDocument::fromJson(statusMessage(status, place)).object();
    EXPECT_EQ(before.keys(), (QStringList{"abandonedPackets", "badHeaders", "beam",
                                          "competingDatagrams", "foreignDatagrams", "lastTimestamp",
                                          "online", "packets", "place", "rate", "readErrors",
                                          "receiveBufferBytes", "senders", "strayDatagrams"}));
    EXPECT_TRUE(before["online"].toBool());
    EXPECT_EQ(before["packets"].toInt(), 12);
    EXPECT_EQ(before["senders"].toInt(), 2);
    EXPECT_EQ(before["competingDatagrams"].toInt(), 7);
    EXPECT_EQ(before["rate"].toDouble(), 19.8);
    EXPECT_TRUE(before["lastTimestamp"].isNull()) << "no packet yet";
    EXPECT_EQ(before["place"].toObject()["x"].toDouble(), 100.0);
    status.lastTimestampMs = 1700000000000;
    EXPECT_EQ(QJsonDocument::fromJson(statusMessage(status, place))["lastTimestamp"].toDouble(),
              1700000000000.0);

    // Offline, the radar can still be drawn where it stands.
    const QJsonObject offline = QJsonDocument::fromJson(offlineMessage(place)).object();
    EXPECT_EQ(offline.keys(), (QStringList{"beam", "online", "place"}));
    EXPECT_FALSE(offline["online"].toBool(true));
    EXPECT_EQ(offline["place"], before["place"]);
    EXPECT_EQ(offline["beam"], before["beam"]);
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
    EXPECT_TRUE(schedule.update(s, t0, false)) << "the first is due";
    schedule.published(s, t0);

    // 20 packets per second for 8 s, looked at every tick.
    std::uint64_t packets = 0;
    int published = 0;
    for (milliseconds t = StatusSchedule::tick; t <= seconds(8); t += StatusSchedule::tick) {
        packets += 2;
        s.packets = packets;
        if (schedule.update(s, t0 + t, false)) {
            schedule.published(s, t0 + t);
            ++published;
        }
    }
    EXPECT_EQ(published, 8) << "once a second while only the packet count moves";
    EXPECT_DOUBLE_EQ(s.ratePps, 20.0);

    const struct
    {
        const char* what;
        void (*change)(RadarStatus&);
        bool connected;
        bool due;
    } cases[]{
        {"nothing changed", [](RadarStatus&) {}, false, false},
        {"a new packet", [](RadarStatus& x) { ++x.packets; }, false, false},
        {"a read error", [](RadarStatus& x) { ++x.readErrors; }, false, true},
        {"a bad header", [](RadarStatus& x) { ++x.badHeaders; }, false, true},
        {"a foreign datagram", [](RadarStatus& x) { ++x.foreignDatagrams; }, false, true},
        {"an abandoned packet", [](RadarStatus& x) { ++x.abandonedPackets; }, false, true},
        {"a new sender", [](RadarStatus& x) { ++x.senders; }, false, true},
        {"a competing datagram", [](RadarStatus& x) { ++x.competingDatagrams; }, false, true},
        {"a new connection", [](RadarStatus&) {}, true, true},
    };
    for (const auto& c : cases) {
        RadarStatus next = s;
        c.change(next);
        EXPECT_EQ(schedule.update(next, t0 + seconds(8) + StatusSchedule::tick, c.connected), c.due)
            << c.what;
    }

    // A radar that went silent: the rate falls to 0 within the window.
    for (milliseconds t = seconds(8); t <= seconds(14); t += StatusSchedule::tick)
        schedule.update(s, t0 + t, false);
    EXPECT_EQ(s.ratePps, 0.0);
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

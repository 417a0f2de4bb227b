// trackd's parts without a broker: the messages, when a status is due,
// the reception's counts, the figures for monitoring and the ASTERIX
// output's over loopback. The site file's own tests are
// tools/common's.

#include "asterixout.h"
#include "messages.h"
#include "radarmetrics.h"
#include "reception.h"
#include "statusschedule.h"

#include "tools/common/service/jsonwriter.h"
#include "tools/common/sim/sensormodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

namespace trklib::trackd::test {
namespace {

using service::appendNumber;

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
    const QVector<TargetReflectivity> reflectivity{{7, -3.0000000000000004, 12.5, 0.1, 41},
                                                   {9, 2.25, 2.25, 2.25, 1}};
    const RadarConfig mounting{0.0, 0.0, 5.0, 0.0, 0};
    const util::RadarPlacement placement{100.0, -20.0, 90.0};
    const QJsonObject tracks =
        QJsonDocument::fromJson(tracksMessage(QStringLiteral("s"), QStringLiteral("r"),
                                              1700000000250, 1712345678901, targets, reflectivity,
                                              mounting, placement, nullptr))
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
                                         "rcs", "velocity", "x", "y"}));
        const QJsonObject rcs = t["rcs"].toObject();
        const TargetReflectivity& r = reflectivity[i];
        EXPECT_EQ(rcs.keys(), (QStringList{"last", "max", "mean", "samples"}));
        EXPECT_EQ(std::make_tuple(rcs["mean"].toDouble(), rcs["max"].toDouble(),
                                  rcs["last"].toDouble(), rcs["samples"].toInt()),
                  std::make_tuple(r.meanDbsm, r.maxDbsm, r.lastDbsm, int(r.samples)));
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
    const QByteArray place = placeFields(mounting, placement, nullptr);
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
    status.asterixClamped = past32Bits + 9;
    status.outputDropped = 10;
    const QJsonObject before = QJsonDocument::fromJson(statusMessage(status, place)).object();
    EXPECT_EQ(before.keys(),
              (QStringList{"abandonedPackets", "asterixClamped", "badHeaders", "beam",
                           "competingDatagrams", "foreignDatagrams", "lastTimestamp", "online",
                           "outputDropped", "packets", "place", "rate", "readErrors",
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
        {"asterixClamped", double(past32Bits + 9)},
        {"outputDropped", 10},
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
        const QByteArray fields = placeFields(c.mounting, c.placement, nullptr);
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
        {"a clamped value", [](RadarStatus& x) { ++x.asterixClamped; }, false, false},
        {"a dropped output datagram", [](RadarStatus& x) { ++x.outputDropped; }, false, false},
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

// A radar that takes any sender follows none that has completed no packet:
// the garbage of every sender is stray, none competes. Distinct senders are
// counted up to 1024: at 1024 and one past.
TEST(Reception, FollowsNoSenderOfGarbageAndCountsSendersUpTo1024)
{
    constexpr int rememberedSenders = 1024;
    for (const int senders : {rememberedSenders, rememberedSenders + 1}) {
        SCOPED_TRACE(senders);
        site::RadarEntry entry;
        entry.name = QStringLiteral("a");
        entry.bindAddress = QHostAddress(QHostAddress::LocalHost);
        {
            QUdpSocket probe;
            ASSERT_TRUE(probe.bind(entry.bindAddress, 0));
            entry.port = probe.localPort();
        }
        Reception reception(QVector<site::RadarEntry>{entry});
        QString error;
        ASSERT_TRUE(reception.bind(error)) << error.toStdString();
        reception.start([](int, std::int64_t, std::int64_t, std::int64_t,
                           const QVector<TargetData>&, const QVector<TargetReflectivity>&) {});
        // Each from an address of its own: 127.1.x.y.
        for (int k = 0; k < senders; ++k) {
            QUdpSocket sender;
            ASSERT_TRUE(sender.bind(QHostAddress(quint32(0x7f010001 + k)), 0));
            ASSERT_EQ(sender.writeDatagram(QByteArray(8, 'x'), entry.bindAddress, entry.port), 8);
        }
        RadarStatus status;
        for (int wait = 0; wait < 1500 && status.strayDatagrams < quint64(senders); ++wait) {
            QThread::msleep(10);
            status = reception.status(0);
        }
        reception.stop();
        EXPECT_EQ(status.strayDatagrams, quint64(senders));
        EXPECT_EQ(status.competingDatagrams, 0u);
        EXPECT_EQ(status.senders, quint32(std::min(senders, rememberedSenders)));
    }
}

// The figures of /metrics: every count of a radar's status a counter with
// the radar's label, read when scraped; a latency at a bucket's bound falls
// in that bucket.
TEST(RadarMetrics, StatusCountsByRadarAndLatencyUpToEachBound)
{
    QVector<site::RadarEntry> radars(2);
    radars[0].name = QStringLiteral("north");
    radars[1].name = QStringLiteral("east");
    RadarStatus north;
    north.packets = 1;
    north.datagrams = 2;
    north.abandonedPackets = 3;
    north.competingDatagrams = 4;
    north.foreignDatagrams = 5;
    north.strayDatagrams = 6;
    north.badHeaders = 7;
    north.readErrors = 8;
    north.asterixClamped = 9;
    north.outputDropped = 10;
    RadarMetrics metrics(radars, [&](int radar) { return radar == 0 ? north : RadarStatus(); });
    metrics.packetPublished(0, 0.001);
    metrics.packetPublished(0, 0.0011);
    north.packets = 11;
    const std::string text = metrics.text();
    for (const char* line : {
             "# TYPE trklib_radar_packets_total counter\n"
             "trklib_radar_packets_total{radar=\"north\"} 11\n"
             "trklib_radar_packets_total{radar=\"east\"} 0\n",
             "trklib_radar_datagrams_total{radar=\"north\"} 2\n",
             "trklib_radar_abandoned_packets_total{radar=\"north\"} 3\n",
             "trklib_radar_competing_datagrams_total{radar=\"north\"} 4\n",
             "trklib_radar_foreign_datagrams_total{radar=\"north\"} 5\n",
             "trklib_radar_stray_datagrams_total{radar=\"north\"} 6\n",
             "trklib_radar_bad_headers_total{radar=\"north\"} 7\n",
             "trklib_radar_read_errors_total{radar=\"north\"} 8\n",
             "trklib_radar_asterix_clamped_total{radar=\"north\"} 9\n",
             "trklib_radar_output_dropped_total{radar=\"north\"} 10\n",
             "# TYPE trklib_radar_packet_latency_seconds histogram\n",
             "trklib_radar_packet_latency_seconds_count{radar=\"north\"} 2\n",
             "trklib_radar_packet_latency_seconds_bucket{radar=\"north\",le=\"0.0005\"} 0\n"
             "trklib_radar_packet_latency_seconds_bucket{radar=\"north\",le=\"0.001\"} 1\n"
             "trklib_radar_packet_latency_seconds_bucket{radar=\"north\",le=\"0.0025\"} 2\n",
             "trklib_radar_packet_latency_seconds_count{radar=\"east\"} 0\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nnot in\n" << text;
}

// The CAT010 output counts, radar by radar, the values it sends clamped
// and the datagrams it drops, for each radar's status.
TEST(AsterixOut, CountsClampedValuesAndDroppedDatagramsByRadar)
{
    constexpr int packets = 4;
    const struct
    {
        const char* what;
        bool listened; // a socket takes the datagrams (else the port is closed)
        double distanceM;
        std::uint64_t clamped; // over all packets
        bool drops;
    } cases[]{
        {"within every item's range", true, 100.0, 0, false},
        {"past rho's and y's ends (north)", true, 70000.0, 2 * packets, false},
        {"to a port nobody listens on", false, 100.0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QUdpSocket receiver;
        ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const quint16 port = receiver.localPort();
        if (!c.listened)
            receiver.close(); // the kernel refuses what comes after the first
        site::SiteConfig config;
        for (const char* name : {"north", "east"}) {
            site::RadarEntry radar;
            radar.name = QLatin1String(name);
            radar.sic = int(config.radars.size()) + 1;
            config.radars.append(radar);
        }
        config.asterix.sac = 25;
        config.asterix.cat010 = {QHostAddress(QHostAddress::LocalHost), port};
        AsterixOut out(config, nullptr);
        QString error;
        ASSERT_TRUE(out.open(error)) << error.toStdString();
        // The second radar sends; the first's counts stay its own.
        for (int i = 0; i < packets; ++i)
            out.send(1, 1796638439471 + 50 * i, {{3, 0.0, 0.0, c.distanceM, 0.0, true}});
        EXPECT_EQ(out.clamped(1), c.clamped);
        EXPECT_EQ(out.dropped(1) > 0, c.drops) << out.dropped(1);
        EXPECT_EQ(out.clamped(0) + out.dropped(0), 0u);
    }
}

} // namespace
} // namespace trklib::trackd::test

// sited's parts without a broker: the tracks messages it takes, the status
// it publishes, what its standard outputs count, the clock of its pictures
// and its command line.

#include "tools/sited/fusion/picturejson.h"
#include "tools/sited/link/sitelink.h"
#include "tools/sited/link/sitestatus.h"
#include "tools/sited/link/tracksreader.h"
#include "tools/sited/options.h"
#include "tools/sited/outputs/trackoutputs.h"
#include "tools/sited/sitemetrics.h"
#include "tools/sited/zones/zonemessages.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace trklib::sited::link;
using namespace trklib::sited::outputs;

namespace trklib::sited {
namespace {

using Verdict = TracksReader::Verdict;

site::SiteConfig twoRadarSite()
{
    site::SiteConfig config;
    config.name = QStringLiteral("cross");
    config.prefix = QStringLiteral("plant/trklib");
    for (const char* name : {"north", "east"}) {
        site::RadarEntry radar;
        radar.name = QLatin1String(name);
        config.radars.append(radar);
    }
    return config;
}

const QByteArray eastTopic = "plant/trklib/cross/east/tracks";

// A message as trackd writes it: one target on the map, one off it and
// without a reflectivity, as an older trackd's.
QJsonObject goodMessage()
{
    const QJsonObject rcs{{"mean", -3.5}, {"max", 4.25}, {"last", 1.5}, {"samples", 12}};
    const QJsonObject target{{"number", 7},       {"elevation", -2.5}, {"azimuth", 1.25},
                             {"distance", 109.4}, {"velocity", -87.8}, {"confirmed", true},
                             {"rcs", rcs},        {"x", 1.84},         {"y", -69.3},
                             {"lat", 48.1},       {"lon", 11.5}};
    QJsonObject second = target;
    second.remove(QStringLiteral("rcs"));
    second.remove(QStringLiteral("lat"));
    second.remove(QStringLiteral("lon"));
    second[QStringLiteral("number")] = 8;
    second[QStringLiteral("confirmed")] = false;
    return {{"site", "cross"},
            {"radar", "east"},
            {"timestamp", 1700000000250.0},
            {"received", 1796638439471.0},
            {"targets", QJsonArray{target, second}}};
}

// A copy of value with the field at path ("targets/0/number") set, or
// taken out when replacement is undefined.
QJsonValue with(const QJsonValue& value, QStringList path, const QJsonValue& replacement)
{
    const QString key = path.takeFirst();
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        const int i = key.toInt();
        array[i] = path.isEmpty() ? replacement : with(array[i], path, replacement);
        return array;
    }
    QJsonObject object = value.toObject();
    if (path.isEmpty() && replacement.isUndefined())
        object.remove(key);
    else
        object[key] = path.isEmpty() ? replacement : with(object[key], path, replacement);
    return object;
}

QByteArray messageWith(const char* path, const QJsonValue& replacement)
{
    return QJsonDocument(
               with(goodMessage(), QString::fromLatin1(path).split(QLatin1Char('/')), replacement)
                   .toObject())
        .toJson(QJsonDocument::Compact);
}

QJsonArray copies(int count)
{
    QJsonArray targets;
    for (int i = 0; i < count; ++i)
        targets.append(goodMessage()[QStringLiteral("targets")].toArray()[1]);
    return targets;
}

TEST(TracksReader, TakesAGoodMessageWhole)
{
    const TracksReader reader(twoRadarSite());
    EXPECT_EQ(reader.subscription(), QByteArray("plant/trklib/cross/+/tracks"));
    TracksReport report;
    QString why;
    ASSERT_EQ(reader.read(eastTopic, QJsonDocument(goodMessage()).toJson(), report, why),
              Verdict::Report)
        << why.toStdString();
    EXPECT_EQ(report.radar, 1) << "the site file's order";
    EXPECT_EQ(report.timestampMs, 1700000000250);
    EXPECT_EQ(report.receivedMs, 1796638439471);
    ASSERT_EQ(report.targets.size(), 2);
    const RadarTrack& t = report.targets[0];
    EXPECT_EQ(t.number, 7);
    EXPECT_EQ(t.xM, 1.84);
    EXPECT_EQ(t.yM, -69.3);
    EXPECT_EQ(t.distanceM, 109.4);
    EXPECT_EQ(t.velocityKph, -87.8);
    EXPECT_TRUE(t.confirmed);
    EXPECT_EQ(std::make_tuple(t.rcsMeanDbsm, t.rcsMaxDbsm, t.rcsLastDbsm, t.rcsSamples),
              std::make_tuple(-3.5, 4.25, 1.5, 12));
    EXPECT_EQ(report.targets[1].rcsSamples, 0);
    EXPECT_EQ(report.targets[1].number, 8);
    EXPECT_FALSE(report.targets[1].confirmed);
}

// Every limit of the message schema: taken at it, refused just past it,
// each way of being bad refused with a reason that names the field.
TEST(TracksReader, LimitsAndEveryWayOfBeingBad)
{
    const double past = 1e-3;
    const struct
    {
        const char* path;
        QJsonValue value; // undefined: the field taken out
        const char* why;  // nullptr: taken
    } cases[]{
        {"timestamp", 0, nullptr},
        {"timestamp", 8.64e15, nullptr},
        {"received", 0, nullptr},
        {"targets", QJsonArray(), nullptr},
        {"targets", copies(1000), nullptr},
        {"targets/0/number", 0, nullptr},
        {"targets/0/number", 2147483647.0, nullptr},
        {"targets/0/distance", 0, nullptr},
        {"targets/0/distance", 100000, nullptr},
        {"targets/0/velocity", -1000, nullptr},
        {"targets/0/velocity", 1000, nullptr},
        {"targets/0/x", -200000, nullptr},
        {"targets/0/y", 200000, nullptr},
        {"targets/0/lat", -90, nullptr},
        {"targets/0/lon", 180, nullptr},
        {"targets/0/rcs/mean", -1000, nullptr},
        {"targets/0/rcs/last", 1000, nullptr},
        {"targets/0/rcs/samples", 0, nullptr},

        {"site", QJsonValue::Undefined, "site: missing"},
        {"site", "other", "site: not this site's name"},
        {"site", 1, "site: not a string"},
        {"radar", "north", "radar: not the radar of the topic"},
        {"timestamp", QJsonValue::Undefined, "timestamp: missing"},
        {"timestamp", -1, "timestamp: -1 is outside 0 to 8640000000000000"},
        {"timestamp", 8.64e15 + 2, "timestamp: 8640000000000002 is outside"},
        {"timestamp", 1.5, "timestamp: not a whole number"},
        {"timestamp", "1700000000250", "timestamp: not a number"},
        {"received", -1, "received: -1 is outside"},
        {"targets", QJsonValue::Undefined, "targets: missing"},
        {"targets", QJsonObject(), "targets: not a list"},
        {"targets", copies(1001), "targets: 1001, more than 1000"},
        {"extra", 1, "extra: unknown field"},
        {"targets/1", 5, "targets[1]: not an object"},
        {"targets/0/number", -1, "targets[0].number: -1 is outside"},
        {"targets/0/number", 2147483648.0, "targets[0].number: 2147483648 is outside"},
        {"targets/0/number", 1.5, "targets[0].number: not a whole number"},
        {"targets/1/elevation", QJsonValue::Undefined, "targets[1].elevation: missing"},
        {"targets/1/azimuth", true, "targets[1].azimuth: not a number"},
        {"targets/0/distance", -past, "targets[0].distance: -0.001 is outside"},
        {"targets/0/distance", 100000 + past, "targets[0].distance: 100000.001 is outside"},
        {"targets/0/velocity", -1000 - past, "targets[0].velocity: -1000.001 is outside"},
        {"targets/0/velocity", 1000 + past, "targets[0].velocity: 1000.001 is outside"},
        {"targets/0/confirmed", 1, "targets[0].confirmed: neither true nor false"},
        {"targets/0/x", -200000 - past, "targets[0].x: -200000.001 is outside"},
        {"targets/0/y", 200000 + past, "targets[0].y: 200000.001 is outside"},
        {"targets/0/lat", 90 + past, "targets[0].lat: 90.001 is outside"},
        {"targets/0/lon", -180 - past, "targets[0].lon: -180.001 is outside"},
        {"targets/0/lat", QJsonValue::Undefined, "targets[0].lat: missing: lat and lon go"},
        {"targets/0/lon", QJsonValue::Undefined, "targets[0].lon: missing: lat and lon go"},
        {"targets/1/speed", 3, "targets[1].speed: unknown field"},
        {"targets/0/rcs", 1, "targets[0].rcs: not an object"},
        {"targets/0/rcs/max", 1000 + past, "targets[0].rcs.max: 1000.001 is outside"},
        {"targets/0/rcs/mean", "1", "targets[0].rcs.mean: not a number"},
        {"targets/0/rcs/last", QJsonValue::Undefined, "targets[0].rcs.last: missing"},
        {"targets/0/rcs/samples", -1, "targets[0].rcs.samples: -1 is outside"},
        {"targets/0/rcs/samples", 1.5, "targets[0].rcs.samples: not a whole number"},
        {"targets/0/rcs/peak", 1, "targets[0].rcs.peak: unknown field"},
    };
    const TracksReader reader(twoRadarSite());
    for (const auto& c : cases) {
        SCOPED_TRACE(
            std::string(c.path) + " = " +
            QJsonDocument(QJsonArray{c.value}).toJson(QJsonDocument::Compact).toStdString());
        TracksReport report;
        QString why;
        const Verdict verdict = reader.read(eastTopic, messageWith(c.path, c.value), report, why);
        if (!c.why) {
            EXPECT_EQ(verdict, Verdict::Report) << why.toStdString();
            continue;
        }
        EXPECT_EQ(verdict, Verdict::Bad);
        EXPECT_TRUE(why.startsWith(QLatin1String(c.why))) << "gave: " << why.toStdString();
    }
}

// Whatever arrives on the subscription: the radar is the topic's, the
// site's own picture is no radar's, and a message cut short anywhere is
// refused, never taken in part.
TEST(TracksReader, TopicsAndPayloadsThatAreNoRadarsTracks)
{
    const TracksReader reader(twoRadarSite());
    const QByteArray good = QJsonDocument(goodMessage()).toJson(QJsonDocument::Compact);
    const struct
    {
        QByteArray topic;
        QByteArray payload;
        Verdict verdict;
        const char* why; // nullptr: no reason, nothing wrong
    } cases[]{
        {"plant/trklib/cross/site/tracks", "{\"objects\":[]}", Verdict::OwnPicture, nullptr},
        {"plant/trklib/cross/west/tracks", good, Verdict::UnknownRadar,
         "radar west is not in the site file"},
        {"plant/trklib/cross/east/status", good, Verdict::Bad, "not a tracks topic"},
        {"plant/trklib/cross//tracks", good, Verdict::Bad, "not a tracks topic"},
        {"plant/trklib/cross/tracks", good, Verdict::Bad, "not a tracks topic"},
        {eastTopic, "", Verdict::Bad, "not JSON"},
        {eastTopic, "[1]", Verdict::Bad, "not a JSON object"},
        {eastTopic, "{\"site\":\"cross\"} trailing", Verdict::Bad, "not JSON"},
        // Qt's parser would leak the first value of a key named twice.
        {eastTopic, "{\"targets\":[],\"targets\":[]}", Verdict::Bad, "an object names a key twice"},
        {eastTopic, "{\"a\":{\"b\":1,\"\\u0062\":2}}", Verdict::Bad, "an object names a key twice"},
        // A raw U+0000 ends what the parser compares of keys of one length.
        {eastTopic, QByteArray("{\"x\0a\":[1],\"x\0b\":2}", 19), Verdict::Bad,
         "an object names a key twice"},
        {eastTopic, QByteArray("{\"x\0a\":[1],\"x\0bc\":2}", 20), Verdict::Bad, "site: "},
        {eastTopic, "{\"a\":{\"b\":1},\"c\":{\"b\":{}},\"d\":[{\"b\":1},{\"b\":1}]}", Verdict::Bad,
         "site: "},
    };
    for (const auto& c : cases) {
        TracksReport report;
        QString why;
        EXPECT_EQ(reader.read(c.topic, c.payload, report, why), c.verdict) << c.topic.constData();
        EXPECT_TRUE(c.why ? why.startsWith(QLatin1String(c.why)) : why.isEmpty())
            << "gave: " << why.toStdString();
    }
    for (int size = 0; size < good.size(); ++size) {
        TracksReport report;
        QString why;
        ASSERT_EQ(reader.read(eastTopic, good.left(size), report, why), Verdict::Bad) << size;
    }
}

TEST(SiteStatus, RadarsSinceTheirLastMessage)
{
    const QStringList names{QStringLiteral("north"), QStringLiteral("east"),
                            QStringLiteral("west")};
    SiteStatus status;
    status.objects = 3;
    status.pictures = 1200;
    status.lateMessages = 4;
    status.fusionRecoveries = 5;
    status.droppedEvents = 7;
    status.droppedRecords = 9;
    status.asterixClamped = 10;
    status.outputDropped = 11;
    constexpr std::int64_t nowMs = 1700000010000; // 2023-11-14T22:13:30Z
    const SiteStatus unmeasured = status;
    status.historyBytes = 123456;
    status.historyOldestMs = 1699920000000 - 1; // a ms before 2023-11-14's UTC midnight
    status.historyNewestMs = nowMs;
    // North 1.25 s ago, east never, west stamped after now (the clock stepped back).
    status.lastTracksMs = {nowMs - 1250, std::nullopt, nowMs + 40};
    EXPECT_EQ(
        siteStatusMessage(names, status, nowMs),
        QByteArray("{\"online\":true,\"radars\":{\"north\":1.25,\"east\":null,\"west\":0},"
                   "\"objects\":3,\"pictures\":1200,\"lateMessages\":4,"
                   "\"fusionRecoveries\":5,\"droppedEvents\":7,\"droppedRecords\":9,"
                   "\"asterixClamped\":10,\"outputDropped\":11,\"historyBytes\":123456,"
                   "\"historyOldestDay\":\"2023-11-13\",\"historyNewestDay\":\"2023-11-14\"}"));
    EXPECT_TRUE(siteStatusMessage(names, unmeasured, nowMs)
                    .endsWith("\"historyBytes\":null,\"historyOldestDay\":null,"
                              "\"historyNewestDay\":null}"));
    EXPECT_EQ(siteOfflineMessage(), QByteArray("{\"online\":false}"));

    // The alignment, when on: north the anchor, east estimated and applied,
    // west not observable (its figures null, and why given).
    trklib::sited::align::RadarEstimate north;
    north.radar = 0;
    north.anchor = north.observable = north.certain = true;
    trklib::sited::align::RadarEstimate east;
    east.radar = 1;
    east.observable = east.certain = true;
    east.estimate = {2.5, -1.25, 0.5, 0.25};
    east.sigma = {0.01, 0.125, 0.0625, 0.03125};
    east.coSightings = 1834;
    trklib::sited::align::RadarEstimate west;
    west.radar = 2;
    west.why = QStringLiteral("shares no objects with the other radars");
    status.alignment = AlignmentStatus{true, {north, east, west}, {false, true, false}};
    const QByteArray aligned = siteStatusMessage(names, status, nowMs);
    EXPECT_TRUE(aligned.endsWith(
        ",\"historyNewestDay\":\"2023-11-14\",\"alignment\":{\"mode\":\"apply\",\"radars\":{"
        "\"north\":{\"observable\":true,\"why\":null,\"anchor\":true,\"certain\":true,"
        "\"applied\":false,\"heading_deg\":0,\"x_m\":0,\"y_m\":0,\"range_m\":0,"
        "\"heading_sigma_deg\":0,\"x_sigma_m\":0,\"y_sigma_m\":0,\"range_sigma_m\":0,"
        "\"co_sightings\":0},"
        "\"east\":{\"observable\":true,\"why\":null,\"anchor\":false,\"certain\":true,"
        "\"applied\":true,\"heading_deg\":2.5,\"x_m\":-1.25,\"y_m\":0.5,\"range_m\":0.25,"
        "\"heading_sigma_deg\":0.01,\"x_sigma_m\":0.125,\"y_sigma_m\":0.0625,"
        "\"range_sigma_m\":0.03125,\"co_sightings\":1834},"
        "\"west\":{\"observable\":false,\"why\":\"shares no objects with the other radars\","
        "\"anchor\":false,\"certain\":false,\"applied\":false,\"heading_deg\":null,"
        "\"x_m\":null,\"y_m\":null,\"range_m\":null,\"heading_sigma_deg\":null,"
        "\"x_sigma_m\":null,\"y_sigma_m\":null,\"range_sigma_m\":null,\"co_sightings\":0}}}}"))
        << aligned.toStdString();
}

// The figures of /metrics: every picture counted with its latency (one at
// a bucket's bound falls in that bucket), the rest as last updated; the
// database's size is a SQLite file's with its log, none of a server's.
TEST(SiteMetrics, PicturesAsPublishedTheRestAsOfTheLastStatus)
{
    SiteMetrics metrics;
    metrics.picturePublished(0.0005);
    metrics.picturePublished(0.02);
    metrics.update({12, 3, 4, 5, 6789, {{"gate", true, 40, 0}, {"yard", false, 0, 3}}});
    const std::string text = metrics.text();
    for (const char* line : {
             "# TYPE trklib_site_pictures_total counter\ntrklib_site_pictures_total 2\n",
             "trklib_site_picture_latency_seconds_bucket{le=\"0.0005\"} 1\n",
             "trklib_site_picture_latency_seconds_bucket{le=\"0.01\"} 1\n"
             "trklib_site_picture_latency_seconds_bucket{le=\"0.025\"} 2\n",
             "# TYPE trklib_site_objects gauge\ntrklib_site_objects 12\n",
             "trklib_site_late_messages_total 3\n",
             "trklib_site_events_total 4\n",
             "trklib_site_recorder_queue_records 5\n",
             "trklib_site_database_bytes 6789\n",
             "trklib_site_camera_online{camera=\"gate\"} 1\ntrklib_site_camera_online{camera=\"yard\"} 0\n",
             "trklib_site_camera_commands_total{camera=\"gate\"} 40\n",
             "trklib_site_camera_errors_total{camera=\"yard\"} 3\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nnot in\n" << text;
    metrics.update({});
    EXPECT_EQ(metrics.text().find("trklib_site_database_bytes"), std::string::npos);
}

// An object's place, speed and heading as the picture gives them, and the
// same place in an event: x and y, then lat and lon with geo only.
TEST(PictureMessage, PlaceSpeedAndCompassHeadingOfEachObject)
{
    SiteObject o;
    o.id = 1;
    o.xM = 1.5;
    o.yM = -2.0;
    o.vyMps = 10.0;
    o.confirmed = true;
    o.radars = {{0, 3}};
    o.sinceMs = 900;
    const QStringList names{QStringLiteral("north")};
    const site::GeoReference geo(site::Origin{48.1, 11.5, 520.0});
    o.objectClass = ObjectClass::Car;
    o.classes = {0.0104, 0.0, 0.9295, 0.0496, 0.0106, 0.0};
    EXPECT_EQ(fusion::pictureMessage(QStringLiteral("s"), names, Picture{1000, {o}}, nullptr),
              QByteArray("{\"site\":\"s\",\"time\":1000,\"objects\":[{\"id\":1,\"x\":1.5,"
                         "\"y\":-2,\"vx\":0,\"vy\":10,\"speed\":36,\"heading\":0,"
                         "\"confirmed\":true,\"radars\":[{\"radar\":\"north\",\"number\":3}],"
                         "\"since\":900,\"class\":\"car\",\"classes\":{\"person\":0.01,"
                         "\"two-wheeler\":0,\"car\":0.93,\"truck\":0.05,\"animal\":0.011,"
                         "\"unknown\":0}}]}"));

    struct Case
    {
        double vxMps, vyMps;
        double speedKph;
        double headingDeg; // NaN: null, too slow for a heading
    };
    const double none = std::nan("");
    for (const Case& c :
         {Case{10.0, 0.0, 36.0, 90.0}, Case{0.0, -10.0, 36.0, 180.0}, Case{-10.0, 0.0, 36.0, 270.0},
          Case{-1e-17, 10.0, 36.0, 0.0}, // just west of north: 0, never 360
          Case{0.28, 0.0, 1.008, 90.0}, Case{0.27, 0.0, 0.972, none}, Case{0.0, 0.0, 0.0, none}}) {
        o.vxMps = c.vxMps;
        o.vyMps = c.vyMps;
        for (const site::GeoReference* g :
             {&geo, static_cast<const site::GeoReference*>(nullptr)}) {
            const QJsonObject object =
                QJsonDocument::fromJson(fusion::pictureMessage({}, names, Picture{1000, {o}}, g))
                    .object()[QStringLiteral("objects")]
                    .toArray()[0]
                    .toObject();
            EXPECT_DOUBLE_EQ(object[QStringLiteral("speed")].toDouble(), c.speedKph) << c.vxMps;
            const QJsonValue heading = object[QStringLiteral("heading")];
            if (std::isnan(c.headingDeg))
                EXPECT_TRUE(heading.isNull()) << c.vxMps;
            else
                EXPECT_NEAR(heading.toDouble(-1.0), c.headingDeg, 1e-12) << c.vxMps;
            QStringList keys{"id",      "x",         "y",      "vx",    "vy",    "speed",
                             "heading", "confirmed", "radars", "since", "class", "classes"};
            if (g)
                keys << "lat"
                     << "lon";
            keys.sort();
            EXPECT_EQ(object.keys(), keys);
        }
    }

    zones::Zone gate;
    gate.name = QStringLiteral("gate");
    zones::Event e;
    e.object = 5;
    e.timeMs = 1234;
    e.xM = 1.5;
    e.yM = -2.0;
    e.speedKph = 36.0;
    e.objectClass = ObjectClass::TwoWheeler;
    EXPECT_EQ(
        zones::eventMessage(QStringLiteral("s"), gate, e, nullptr),
        QByteArray("{\"site\":\"s\",\"event\":\"enter\",\"zone\":\"gate\",\"object\":5,"
                   "\"time\":1234,\"x\":1.5,\"y\":-2,\"speed\":36,\"class\":\"two-wheeler\"}"));
    const site::GeoPoint p = geo.toGeodetic(1.5, -2.0);
    const QByteArray onEarth = zones::eventMessage(QStringLiteral("s"), gate, e, &geo);
    EXPECT_TRUE(onEarth.contains(",\"time\":1234,\"x\":1.5,\"y\":-2,\"lat\":")) << onEarth.data();
    EXPECT_TRUE(onEarth.endsWith(",\"speed\":36,\"class\":\"two-wheeler\"}")) << onEarth.data();
    const QJsonObject event = QJsonDocument::fromJson(onEarth).object();
    EXPECT_EQ(event[QStringLiteral("lat")].toDouble(), p.latitudeDeg);
    EXPECT_EQ(event[QStringLiteral("lon")].toDouble(), p.longitudeDeg);
}

// An object is monosensor while its radar tracks come from one radar, or
// from none while it coasts; tracks of two radars make it multisensor.
TEST(ObjectRounds, MonosensorWhileOneRadarHoldsTheObject)
{
    const struct
    {
        QVector<ObjectRadar> radars;
        bool monosensor;
    } cases[]{
        {{}, true},
        {{{0, 7}}, true},
        {{{1, 7}, {1, 9}}, true},
        {{{0, 7}, {1, 7}}, false},
        {{{0, 3}, {0, 4}, {2, 1}}, false},
    };
    Picture picture{1796638439471, {}};
    for (const auto& c : cases) {
        SiteObject object;
        object.id = picture.objects.size() + 1;
        object.radars = c.radars;
        picture.objects.append(object);
    }
    const QVector<OutputObject> objects = ObjectRounds(nullptr).take(picture);
    ASSERT_EQ(objects.size(), int(std::size(cases)));
    for (int i = 0; i < objects.size(); ++i)
        EXPECT_EQ(objects[i].track.monosensor, cases[i].monosensor) << "object " << i + 1;
}

// A UDP socket on a free loopback port (-1 when none could be had).
int loopbackUdp(quint16& port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return -1;
    port = ntohs(a.sin_port);
    return fd;
}

// Every CAT062 datagram is sent or counted dropped, and every value past
// its item's range counted clamped, for the site's status.
TEST(TrackOutputs, CountEveryClampedValueAndDroppedDatagram)
{
    constexpr int pictures = 4;
    const struct
    {
        const char* what;
        bool listened; // a socket takes the datagrams (else the port is closed)
        double xM, yM, vxMps;
        std::uint64_t clamped; // over all pictures
        bool drops;
    } cases[]{
        {"within every item's range", true, -4194304.0, 4194303.5, -8192.0, 0, false},
        {"past x, y and vx's ends", true, -4194304.5, 4194304.0, 8192.0, 3 * pictures, false},
        {"to a port nobody listens on", false, 10.0, 5.0, 1.0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        quint16 port = 0;
        const int receiver = loopbackUdp(port);
        ASSERT_GE(receiver, 0);
        if (!c.listened)
            ::close(receiver); // the kernel refuses what comes after the first
        site::SiteConfig config = twoRadarSite();
        config.asterix = {25, 7, {}, {QHostAddress(QHostAddress::LocalHost), port}};
        TrackOutputs outputs(config);
        QString error;
        ASSERT_TRUE(outputs.open(error)) << error.toStdString();
        for (int i = 0; i < pictures; ++i) {
            SiteObject object;
            object.id = 1;
            object.xM = c.xM;
            object.yM = c.yM;
            object.vxMps = c.vxMps;
            outputs.send({1796638439471 + 100 * i, {object}});
        }
        EXPECT_EQ(outputs.clamped(), c.clamped);
        EXPECT_EQ(outputs.datagrams() + outputs.dropped(), std::uint64_t(pictures));
        EXPECT_EQ(outputs.dropped() > 0, c.drops) << outputs.dropped();
        if (c.listened)
            ::close(receiver);
    }
}

// The backlog holds events up to its capacity and no further; the broker's
// acknowledgement of an event, and only of an event, makes room again.
TEST(EventBacklog, HoldsUpToItsCapacityAndCountsWhatItDrops)
{
    service::EventBacklog backlog(3);
    for (int id = 1; id <= 3; ++id) {
        ASSERT_TRUE(backlog.admit()) << id;
        backlog.hold(id);
    }
    EXPECT_FALSE(backlog.admit()) << "one past the capacity";
    EXPECT_FALSE(backlog.admit());
    EXPECT_EQ(backlog.dropped(), 2u);
    EXPECT_FALSE(backlog.acknowledge(7)) << "not an event's id: no room made";
    EXPECT_FALSE(backlog.admit());
    EXPECT_TRUE(backlog.acknowledge(2));
    EXPECT_FALSE(backlog.acknowledge(2)) << "acknowledged once";
    EXPECT_EQ(backlog.held(), 2);
    EXPECT_TRUE(backlog.admit());
    backlog.refused();
    EXPECT_EQ(backlog.dropped(), 4u);
    EXPECT_EQ(SiteLink::eventBacklog, 10000) << "the documented size";
}

// Taken on time, tick k is due k / rate s after the start, to the
// nanosecond, however many ticks went before; taken late, the ticks that
// passed are skipped and the next is still on the grid.
TEST(PictureClock, TicksOnTheRateGridAndSkipsWhatPassed)
{
    using Clock = PictureClock::Clock;
    const Clock::time_point start{std::chrono::seconds(1000)};
    for (const double rate : {0.1, 3.0, 7.3, 10.0, 100.0}) {
        SCOPED_TRACE(rate);
        PictureClock clock(rate, start);
        EXPECT_EQ(clock.due(), start) << "the first at once";
        const double periodNs = 1e9 / rate;
        constexpr int ticks = 10000;
        for (int k = 1; k <= ticks; ++k) {
            ASSERT_EQ(clock.advance(clock.due()), 0);
            ASSERT_EQ((clock.due() - start).count(), std::llround(k * periodNs)) << k;
        }
        // Held up for two and a half periods past the one due.
        const Clock::time_point late =
            clock.due() + std::chrono::nanoseconds(std::llround(2.5 * periodNs));
        EXPECT_EQ(clock.advance(late), 2);
        EXPECT_EQ((clock.due() - start).count(), std::llround((ticks + 3) * periodNs));
        EXPECT_GT(clock.due(), late);
        // Taken at the very time of a later tick: that one has passed too.
        for (int k = ticks + 3; k < ticks + 300; k += 5) {
            const Clock::time_point onTick =
                start + std::chrono::nanoseconds(std::llround((k + 4) * periodNs));
            ASSERT_EQ(clock.advance(onTick), 4) << k;
            ASSERT_EQ((clock.due() - start).count(), std::llround((k + 5) * periodNs)) << k;
        }
    }
}

TEST(Options, ModesAndEveryWayOfBeingWrong)
{
    const struct
    {
        QStringList arguments;
        Options::Mode mode;
        const char* error; // nullptr: taken
    } cases[]{
        {{"--config", "s.conf"}, Options::Mode::Run, nullptr},
        {{"--check-config", "s.conf"}, Options::Mode::Check, nullptr},
        {{"--help"}, Options::Mode::Help, nullptr},
        {{"--version"}, Options::Mode::Version, nullptr},
        {{"--config", "s.conf", "--capture", "c.pcap", "--output", "p.jsonl"},
         Options::Mode::Offline,
         nullptr},
        {{"--output", "p.jsonl", "--tracks-output", "t.jsonl", "--capture", "c.pcap", "--config",
          "s.conf"},
         Options::Mode::Offline,
         nullptr},
        {{"--capture", "c.pcap", "--align", "--config", "s.conf"}, Options::Mode::Align, nullptr},
        {{"--align", "--config", "s.conf"}, {}, "--align takes --config and --capture alone"},
        {{"--align", "--config", "s", "--capture", "c", "--output", "p"},
         {},
         "--align takes --config and --capture alone"},
        {{"--align", "--align", "--config", "s", "--capture", "c"}, {}, "--align given twice"},
        {{"--points", "p.txt", "--config", "s", "--align-camera", "gate"},
         Options::Mode::AlignCamera,
         nullptr},
        {{"--config", "s", "--align-camera", "gate"},
         {},
         "--align-camera takes --config and --points alone"},
        {{"--config", "s", "--points", "p.txt"},
         {},
         "--align-camera takes --config and --points alone"},
        {{"--config", "s", "--align-camera", "g", "--points", "p", "--capture", "c"},
         {},
         "--align-camera takes --config and --points alone"},
        {{"--config", "s", "--align-camera"}, {}, "--align-camera needs a value"},
        {{}, {}, "--config FILE is needed"},
        {{"--config"}, {}, "--config needs a file"},
        {{"--config", "a", "--config", "b"}, {}, "--config given twice"},
        {{"--check-config", "a", "--config", "a"}, {}, "--check-config takes no other option"},
        {{"--config", "a", "--verbose"}, {}, "unknown option --verbose"},
        {{"--config", "a", "b"}, {}, "unexpected argument 'b'"},
        {{"--config", "a", "--capture", "c"}, {}, "--capture needs --output"},
        {{"--config", "a", "--output", "p"}, {}, "--output is for --capture"},
        {{"--config", "a", "--tracks-output", "t"}, {}, "--tracks-output is for --capture"},
        {{"--config", "a", "--events", "e"}, {}, "--events is for --capture"},
        {{"--config", "a", "--capture", "c", "--output", "c"},
         {},
         "--output and --capture name the same file"},
        {{"--config", "a", "--capture", "c", "--output", "p", "--tracks-output", "p"},
         {},
         "--output and --tracks-output name the same file"},
        {{"--config", "a", "--capture", "c", "--output", "p", "--events", "p"},
         {},
         "--output and --events name the same file"},
        {{"--config", "a", "--capture", "c", "--output", "p", "--events", "a"},
         {},
         "--events and --config name the same file"},
        // The users file's commands: a user and the site file, in either order.
        {{"--add-user", "ada", "admin", "--config", "s.conf"}, Options::Mode::AddUser, nullptr},
        {{"--config", "s.conf", "--remove-user", "ada"}, Options::Mode::RemoveUser, nullptr},
        {{"--add-user", "ada", "--config", "s.conf"}, {}, "--add-user needs a NAME and a ROLE"},
        {{"--config", "s.conf", "--add-user", "ada"}, {}, "--add-user needs a NAME and a ROLE"},
        {{"--remove-user", "--config", "s.conf"}, {}, "--remove-user needs a NAME"},
        {{"--add-user", "ada", "admin"}, {}, "--add-user takes only --config FILE"},
        {{"--remove-user", "ada", "--config", "s", "--capture", "c"},
         {},
         "--remove-user takes only --config FILE"},
        {{"--add-user", "a", "admin", "--remove-user", "a", "--config", "s"},
         {},
         "give one of --add-user and --remove-user, once"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        Options options;
        QString error;
        const bool taken = parseOptions(c.arguments, options, error);
        if (!c.error) {
            EXPECT_TRUE(taken) << error.toStdString();
            EXPECT_EQ(options.mode, c.mode);
            continue;
        }
        EXPECT_FALSE(taken);
        EXPECT_TRUE(error.startsWith(QLatin1String(c.error))) << "gave: " << error.toStdString();
    }
    Options options;
    QString error;
    ASSERT_TRUE(parseOptions({"--tracks-output", "t", "--capture", "c", "--config", "s", "--output",
                              "p", "--events", "e"},
                             options, error));
    EXPECT_EQ(options.config, QLatin1String("s"));
    EXPECT_EQ(options.capture, QLatin1String("c"));
    EXPECT_EQ(options.output, QLatin1String("p"));
    EXPECT_EQ(options.tracksOutput, QLatin1String("t"));
    EXPECT_EQ(options.eventsOutput, QLatin1String("e"));
    ASSERT_TRUE(parseOptions({"--config", "s", "--add-user", "ada", "viewer"}, options, error));
    EXPECT_EQ(QStringList({options.config, options.userName, options.userRole}),
              QStringList({"s", "ada", "viewer"}));
}

} // namespace
} // namespace trklib::sited

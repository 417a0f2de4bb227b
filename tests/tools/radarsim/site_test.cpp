// radarsim's site scenes: the example site files' beams, and the program run
// without sending over a site file: its truth, its capture, its errors.

#include "sitesimulator.h"
#include "tools/common/sim/siteworld.h"

#include "support/programrun.h"

#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

namespace trklib::sim::test {
namespace {

using trklib::test::fileContents;
using trklib::test::ProgramRun;
using trklib::test::runProgram;
using trklib::test::writeFile;

const QString junctionFile = QStringLiteral(SITES_DIR "/junction.conf");
const QString perimeterFile = QStringLiteral(SITES_DIR "/perimeter.conf");

ProgramRun radarsim(const QStringList& args)
{
    return runProgram(QStringLiteral(RADARSIM_PATH), args);
}

site::SiteConfig loadSite(const QString& path)
{
    site::SiteConfig config;
    QString error;
    EXPECT_TRUE(site::loadSiteConfig(path, config, error)) << error.toStdString();
    return config;
}

TEST(SiteWorld, TheRadarFrameIsTheInverseOfThePlacement)
{
    SimRandom random(5);
    for (int i = 0; i < 1000; ++i) {
        const util::RadarPlacement place{random.uniform(-500, 500), random.uniform(-500, 500),
                                         random.uniform(-360, 360)};
        ObjectState o;
        o.x = random.uniform(-400, 400);
        o.y = random.uniform(-400, 400);
        o.vx = random.uniform(-30, 30);
        o.vy = random.uniform(-30, 30);
        const ObjectState seen = inRadarFrame(o, place);
        const util::GroundPoint back = util::sitePosition({seen.x, seen.y}, place);
        const util::GroundPoint v =
            util::sitePosition({seen.vx, seen.vy}, {0, 0, place.headingDeg});
        ASSERT_NEAR(std::hypot(back.x - o.x, back.y - o.y), 0.0, 1e-9);
        ASSERT_NEAR(std::hypot(v.x - o.vx, v.y - o.vy), 0.0, 1e-9);
    }
}

// Every object of a world on one of its documented lines, moving along it
// at a documented speed for its kind, over ten minutes of both worlds; every
// kind of each world seen, with its class.
TEST(SiteWorld, ObjectsKeepToTheirLinesAndTheirKindsSpeeds)
{
    const QMap<QString, QPair<double, double>> kph{
        {"person", {3, 15}}, {"cyclist", {12, 28}}, {"motorcycle", {20, 80}}, {"car", {20, 80}},
        {"truck", {20, 60}}, {"bus", {30, 60}},     {"dog", {4, 30}},         {"deer", {4, 45}}};
    const QMap<QString, QString> classOf{
        {"person", "person"}, {"cyclist", "two-wheeler"}, {"motorcycle", "two-wheeler"},
        {"car", "car"},       {"truck", "truck"},         {"bus", "truck"},
        {"dog", "animal"},    {"deer", "animal"}};
    for (const QString& name : siteSceneNames()) {
        Scene world = siteScene(name, 2);
        QSet<QString> lines;
        QSet<QString> kinds;
        int stops = 0;
        int slow = 0;
        int seen = 0;
        for (double t = 0; t < 600; t += 3) {
            for (const ObjectState& o : world.objectsAt(t)) {
                const QString kind = siteKindName(o.kind);
                kinds.insert(kind);
                EXPECT_EQ(kindClassName(o.kind), classOf.value(kind)) << kind.toStdString();
                const double v = std::hypot(o.vx, o.vy) * 3.6;
                stops += v == 0.0;
                // Below the band only while starting or stopping.
                EXPECT_LE(v, kph[kind].second + 1e-6) << kind.toStdString();
                slow += v < kph[kind].first - 1e-6;
                ++seen;
                if (o.kind == ObjectKind::Dog || o.kind == ObjectKind::Deer) {
                    lines.insert(QStringLiteral("wander"));
                    continue;
                }
                const bool alongX = std::abs(o.headingY) < 1e-9;
                // Offset to the right of the heading, from the axis of the
                // road (junction) or the fence.
                const double offsetM = o.x * o.headingY - o.y * o.headingX;
                const bool walker = o.kind == ObjectKind::Pedestrian;
                if (name == QLatin1String("junction")) {
                    EXPECT_TRUE(alongX || std::abs(o.headingX) < 1e-9);
                    lines.insert(QString::number(walker ? std::abs(offsetM) : offsetM));
                } else if (!alongX) {
                    lines.insert(QStringLiteral("crossing"));
                    EXPECT_TRUE(walker && std::abs(o.x) <= 300) << kind.toStdString();
                } else {
                    lines.insert(QString::number(o.y));
                }
            }
        }
        const bool junction = name == QLatin1String("junction");
        const QSet<QString> expected =
            junction ? QSet<QString>{"1.75", "5.25", "6.5", "7.5"}
                     : QSet<QString>{"6.5", "9.5", "-5.5", "-4.5",     "3.5",
                                     "4.5", "1.5", "2.5",  "crossing", "wander"};
        EXPECT_EQ(lines, expected)
            << name.toStdString() << ": " << QStringList(lines.values()).join(' ').toStdString();
        const QSet<QString> expectedKinds =
            junction
                ? QSet<QString>{"person", "cyclist", "motorcycle", "car", "truck", "bus"}
                : QSet<QString>{"person", "cyclist", "motorcycle", "car", "truck", "dog", "deer"};
        EXPECT_EQ(kinds, expectedKinds) << name.toStdString();
        EXPECT_GT(stops, 0) << name.toStdString();
        EXPECT_LT(slow, seen / 10) << name.toStdString();
    }
}

// Objects of one line never come within its gap (3 m for walkers and
// cyclists, more for vehicles) of each other, sampled every half second.
TEST(SiteWorld, ObjectsOfOneLineKeepApart)
{
    for (const QString& name : siteSceneNames()) {
        Scene world = siteScene(name, 4);
        for (double t = 0; t < 300; t += 0.5) {
            const QVector<ObjectState> objects = world.objectsAt(t);
            for (int i = 0; i < objects.size(); ++i) {
                for (int j = i + 1; j < objects.size(); ++j) {
                    const ObjectState& a = objects[i];
                    const ObjectState& b = objects[j];
                    const bool animals = kindClassName(a.kind) == QLatin1String("animal");
                    const auto offsetM = [](const ObjectState& o) {
                        return o.x * o.headingY - o.y * o.headingX;
                    };
                    if (animals || a.kind != b.kind || a.headingX != b.headingX ||
                        a.headingY != b.headingY || std::abs(offsetM(a) - offsetM(b)) > 0.01)
                        continue;
                    ASSERT_GE(std::hypot(a.x - b.x, a.y - b.y), 2.9)
                        << name.toStdString() << " " << t << ": " << a.id << ", " << b.id;
                }
            }
        }
    }
}

// --rcs-offset and --speed-scale: the global value and a kind's or class's
// together, each kind's reflectivity drawn alike but shifted, its speed band
// scaled.
TEST(SiteWorld, TuningShiftsReflectivityAndScalesSpeeds)
{
    KindTuning tuning;
    tuning.rcsOffsetDb = {{"", 2.0}, {"animal", -5.0}, {"deer", 1.0}};
    tuning.speedScale = {{"", 2.0}, {"person", 0.5}};
    EXPECT_EQ(tuning.offsetDbOf(ObjectKind::Deer), -2.0);
    EXPECT_EQ(tuning.offsetDbOf(ObjectKind::Car), 2.0);
    EXPECT_EQ(tuning.scaleOf(ObjectKind::Pedestrian), 1.0);
    EXPECT_EQ(tuning.scaleOf(ObjectKind::Bus), 2.0);
    KindTuning offsets;
    offsets.rcsOffsetDb = tuning.rcsOffsetDb;
    Scene plain = perimeterScene(6);
    Scene shifted = perimeterScene(6, offsets);
    Scene faster = perimeterScene(6, tuning);
    double fastestCarKph = 0.0;
    int compared = 0;
    for (double t = 0; t < 120; t += 10) {
        const QVector<ObjectState> a = plain.objectsAt(t);
        const QVector<ObjectState> b = shifted.objectsAt(t);
        ASSERT_EQ(a.size(), b.size());
        for (int i = 0; i < a.size(); ++i) {
            ASSERT_EQ(a[i].kind, b[i].kind);
            EXPECT_NEAR(b[i].rcsDbsm - a[i].rcsDbsm, tuning.offsetDbOf(a[i].kind), 1e-9);
            ++compared;
        }
        for (const ObjectState& o : faster.objectsAt(t)) {
            if (o.kind == ObjectKind::Car)
                fastestCarKph = qMax(fastestCarKph, std::hypot(o.vx, o.vy) * 3.6);
        }
    }
    EXPECT_GT(compared, 100);
    EXPECT_GT(fastestCarKph, 42.0 * 1.5);
}

// Lines of the site sampled every half metre: the fewest radars whose beam
// holds a point of them, by the sensor model's own test.
int fewestBeams(const QString& file, bool alongY, double offsetM, double halfLengthM, double z)
{
    const site::SiteConfig site = loadSite(file);
    int fewest = INT_MAX;
    for (double along = -halfLengthM; along <= halfLengthM; along += 0.5) {
        ObjectState o;
        o.x = alongY ? offsetM : along;
        o.y = alongY ? along : offsetM;
        o.z = z;
        int n = 0;
        for (const site::RadarEntry& radar : site.radars)
            n += SensorModel(radar.mounting, 1).look(inRadarFrame(o, radar.placement)).inBeam;
        fewest = qMin(fewest, n);
    }
    return fewest;
}

TEST(SiteFiles, TheJunctionsLanesLieInTwoBeamsAndThePerimetersFenceInOne)
{
    constexpr double carHeightM = 0.8;
    constexpr double walkerHeightM = 1.0;
    // Every lane of both roads within 100 m of the junction; exactly two
    // somewhere, so that the sampling reaches the beams' edges.
    for (const bool alongY : {false, true}) {
        for (const double laneM : {-5.25, -1.75, 1.75, 5.25})
            EXPECT_EQ(fewestBeams(junctionFile, alongY, laneM, 100, carHeightM), 2)
                << alongY << " " << laneM;
    }
    EXPECT_EQ(fewestBeams(perimeterFile, false, 0.0, 300, walkerHeightM), 1) << "the fence";
    EXPECT_EQ(fewestBeams(perimeterFile, false, 8.0, 300, carHeightM), 1) << "the road";
    EXPECT_EQ(loadSite(junctionFile).radars.size(), 4);
}

// A site of one radar, the junction's east one, with extra lines.
QString writeSite(const QTemporaryDir& dir, const QString& name, const QByteArray& radarLines)
{
    const QString path = dir.filePath(name);
    writeFile(path, "[site]\nname = t\n[broker]\nclient_id = t\n[radar.a]\nport = 40100\n"
                    "height = 6\ntilt = -3\nx = 160\ny = -9\nheading = 277.5\n" +
                        radarLines);
    return path;
}

QList<QByteArrayList> csvRows(const QString& path)
{
    QList<QByteArrayList> rows;
    for (const QByteArray& line : fileContents(path).split('\n')) {
        if (!line.isEmpty())
            rows.append(line.split(','));
    }
    return rows;
}

// A radar mounted off its entry, its reports placed by the site file's
// mounting as the site's programs place them: corrected as the site's
// fusion undoes an alignment (the distance shortened by the range error,
// the ground point turned clockwise by the heading error about the file's
// place and moved by the place's error), they give the truth back. A pan
// error turns the view as a heading error of the other sign (pan grows to
// the left, the heading to the right); a tilt error lowers every
// elevation.
TEST(SiteWorld, ARadarMountedOffItsEntryReportsTheTruthMovedByItsError)
{
    constexpr double degree = M_PI / 180.0;
    QTemporaryDir dir;
    const site::SiteConfig site = loadSite(writeSite(dir, QStringLiteral("a.conf"), {}));
    const site::RadarEntry& filed = site.radars[0];
    // 80 m out, 3 degrees left of the boresight, receding at 10 m/s.
    const double bearing = (filed.placement.headingDeg - 3.0) * degree;
    ObjectState o;
    o.x = filed.placement.x + 80.0 * std::sin(bearing);
    o.y = filed.placement.y + 80.0 * std::cos(bearing);
    o.z = 0.8;
    o.vx = 10.0 * std::sin(bearing);
    o.vy = 10.0 * std::cos(bearing);
    const struct
    {
        MountingError error;
        double turnDeg; // the correction's heading
    } cases[] = {
        {{2.0, 0, 0, 0, 0, 0}, 2.0},    {{0, 0, 0, 1.5, -1.0, 0}, 0.0},
        {{0, 0, 0, 0, 0, 0.8}, 0.0},    {{-1.5, 0, 0, -2.0, 2.5, -0.5}, -1.5},
        {{0, 1.5, 0.5, 0, 0, 0}, -1.5},
    };
    for (const auto& c : cases) {
        const MountingError& e = c.error;
        SCOPED_TRACE(testing::Message() << e.headingDeg << " " << e.panDeg << " " << e.tiltDeg
                                        << " " << e.xM << " " << e.yM << " " << e.rangeM);
        SiteSimulator simulator(site, SimOptions(), {{QStringLiteral("a"), e}});
        constexpr int packets = 40; // averaging the noise away
        double x = 0.0;
        double y = 0.0;
        double elevationDeg = 0.0;
        for (int k = 0; k < packets; ++k) {
            const SensorFrame frame = simulator.observe(0, {o}, k * 50);
            ASSERT_EQ(frame.sightings.size(), 1);
            const int cell = std::abs(frame.sightings[0].cell);
            const double distanceM = frame.packet.distance[cell] - e.rangeM;
            const double groundM =
                std::sqrt(distanceM * distanceM - std::pow(filed.mounting.height - o.z, 2));
            const double azimuth = (frame.packet.azimuth[cell] + filed.mounting.pan) * degree;
            const util::GroundPoint p = util::sitePosition(
                {groundM * std::cos(azimuth), groundM * std::sin(azimuth)}, filed.placement);
            const double dx = p.x - filed.placement.x;
            const double dy = p.y - filed.placement.y;
            const double cw = c.turnDeg * degree;
            x += filed.placement.x + e.xM + dx * std::cos(cw) + dy * std::sin(cw);
            y += filed.placement.y + e.yM - dx * std::sin(cw) + dy * std::cos(cw);
            elevationDeg += frame.packet.elevation[cell] + filed.mounting.tilt;
        }
        EXPECT_NEAR(x / packets, o.x, 0.1);
        EXPECT_NEAR(y / packets, o.y, 0.1);
        const double trueGroundM =
            std::hypot(o.x - filed.placement.x - e.xM, o.y - filed.placement.y - e.yM);
        const double trueElevationDeg =
            std::atan2(o.z - filed.mounting.height, trueGroundM) / degree;
        EXPECT_NEAR(elevationDeg / packets, trueElevationDeg - e.tiltDeg, 0.05);
    }
}

TEST(SiteRun, TheTruthHasEveryObjectOncePerPeriodInSiteCoordinates)
{
    QTemporaryDir dir;
    const QString truth = dir.filePath(QStringLiteral("truth.csv"));
    const ProgramRun r =
        radarsim({"--site", junctionFile, "--scene", "junction", "--no-send", "--quiet",
                  "--packets", "3", "--rate", "10", "--start-ms", "5000", "--truth", truth});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QList<QByteArrayList> rows = csvRows(truth);
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows[0].join(','), "time,id,kind,class,x,y,vx,vy,speed_kph,lat,lon,radars");

    const site::SiteConfig site = loadSite(junctionFile);
    const site::GeoReference geo(*site.origin);
    QMap<qint64, QSet<int>> idsAt;
    QSet<bool> listings; // seen both listed and not
    for (const QByteArrayList& row : rows.mid(1)) {
        ASSERT_EQ(row.size(), 12) << row.join(',').toStdString();
        const std::string text = row.join(',').toStdString();
        EXPECT_FALSE(idsAt[row[0].toLongLong()].contains(row[1].toInt())) << text;
        idsAt[row[0].toLongLong()].insert(row[1].toInt());
        const double x = row[4].toDouble();
        const double y = row[5].toDouble();
        const site::GeoPoint p = geo.toGeodetic(x, y);
        EXPECT_EQ(row[9].toDouble(), p.latitudeDeg) << text;
        EXPECT_EQ(row[10].toDouble(), p.longitudeDeg) << text;
        EXPECT_TRUE(siteKindNames().contains(QString(row[2]))) << text;
        EXPECT_TRUE(siteClassNames().contains(QString(row[3]))) << text;
        // The radars against the beam's plain geometry, with a margin for
        // the reflector's height: listed well inside, not well outside.
        for (const site::RadarEntry& radar : site.radars) {
            const double dx = x - radar.placement.x;
            const double dy = y - radar.placement.y;
            const double offDeg = std::abs(std::remainder(
                std::atan2(dx, dy) * 180.0 / M_PI - radar.placement.headingDeg, 360.0));
            const double rangeM = std::hypot(dx, dy);
            const bool listed = row[11].split(';').contains(radar.name.toLatin1());
            if (offDeg < 11.5 && rangeM > 25 && rangeM < 295) {
                EXPECT_TRUE(listed) << radar.name.toStdString() << ": " << text;
            } else if (offDeg > 12.5 || rangeM > 301) {
                EXPECT_FALSE(listed) << radar.name.toStdString() << ": " << text;
            }
            listings.insert(listed);
        }
    }
    EXPECT_EQ(listings.size(), 2);
    // On the radars' clock (start plus elapsed), every object of the world,
    // in a beam or not.
    ASSERT_EQ(idsAt.keys(), (QList<qint64>{5000, 5100, 5200}));
    Scene world = junctionScene(1);
    for (auto it = idsAt.cbegin(); it != idsAt.cend(); ++it) {
        QSet<int> expected;
        for (const ObjectState& o : world.objectsAt(double(it.key() - 5000) / 1000.0))
            expected.insert(o.id);
        EXPECT_EQ(it.value(), expected) << it.key();
    }

    // Without an origin, no lat and lon.
    ASSERT_EQ(radarsim({"--site", writeSite(dir, QStringLiteral("plain.conf"), {}), "--scene",
                        "junction", "--no-send", "--packets", "1", "--truth", truth})
                  .exitCode,
              0);
    for (const QByteArrayList& row : csvRows(truth).mid(1))
        EXPECT_TRUE(row[9].isEmpty() && row[10].isEmpty()) << row.join(',').toStdString();

    // The truth's companion: every radar of the site without an error.
    MountingErrors errors;
    QString error;
    ASSERT_TRUE(parseMountingErrors(fileContents(truth + ".mounting"), {"a"}, errors, error))
        << error.toStdString();
    EXPECT_TRUE(errors == (MountingErrors{{"a", {}}}));
}

// A capture's frames as (time in microseconds, IPv4 source, destination,
// UDP destination port or -1 in a later fragment).
QVector<std::tuple<qint64, quint32, quint32, int>> readCapture(const QByteArray& bytes)
{
    constexpr int fileHeaderBytes = 24;
    constexpr int recordHeaderBytes = 16;
    constexpr int ethernetBytes = 14;
    QVector<std::tuple<qint64, quint32, quint32, int>> frames;
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    for (int at = fileHeaderBytes; at + recordHeaderBytes <= bytes.size();) {
        const uchar* ip = data + at + recordHeaderBytes + ethernetBytes;
        const bool first = (qFromBigEndian<quint16>(ip + 6) & 0x1FFF) == 0;
        frames.append({qint64(qFromLittleEndian<quint32>(data + at)) * 1000000 +
                           qFromLittleEndian<quint32>(data + at + 4),
                       qFromBigEndian<quint32>(ip + 12), qFromBigEndian<quint32>(ip + 16),
                       first ? qFromBigEndian<quint16>(ip + (ip[0] & 0x0F) * 4 + 2) : -1});
        at += recordHeaderBytes + int(qFromLittleEndian<quint32>(data + at + 8));
    }
    return frames;
}

TEST(SiteRun, TheCaptureHoldsEachRadarsPacketsFromItsAddressToItsPortAtItsPhase)
{
    constexpr qint64 startUs = 1700000000000000;
    constexpr qint64 periodUs = 50000; // 20 packets per second
    constexpr int packets = 5;
    const quint32 loopback = QHostAddress(QHostAddress::LocalHost).toIPv4Address();
    // Each radar's source and port, in the file's order; all to 127.0.0.1.
    const struct
    {
        QString file;
        QVector<std::pair<quint32, int>> radars;
    } cases[] = {
        {junctionFile,
         {{loopback + 10, 34567},
          {loopback + 11, 34567},
          {loopback + 12, 34567},
          {loopback + 13, 34567}}},
        {perimeterFile,
         {{loopback, 34571}, {loopback, 34572}, {loopback, 34573}, {loopback, 34574}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        QTemporaryDir dir;
        QByteArray capture[3];
        for (int run = 0; run < 3; ++run) { // seeds 3, 3, 4
            const QString pcap = dir.filePath(QStringLiteral("%1.pcap").arg(run));
            const ProgramRun r = radarsim({"--site", c.file, "--scene",
                                           c.file == junctionFile ? "junction" : "perimeter",
                                           "--no-send", "--packets", QString::number(packets),
                                           "--seed", run < 2 ? "3" : "4", "--pcap", pcap});
            ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
            capture[run] = fileContents(pcap);
        }
        EXPECT_EQ(capture[0], capture[1]) << "one seed, one capture";
        EXPECT_NE(capture[0], capture[2]);

        QVector<QSet<qint64>> timesOf(c.radars.size());
        qint64 last = 0;
        for (const auto& [timeUs, source, destination, port] : readCapture(capture[0])) {
            EXPECT_GE(timeUs, last) << "frames in time order";
            last = timeUs;
            int radar = -1;
            for (int i = 0; i < c.radars.size() && radar < 0; ++i) {
                if (source == c.radars[i].first && (port < 0 || port == c.radars[i].second))
                    radar = i;
            }
            ASSERT_GE(radar, 0) << "a frame from no radar of the site";
            EXPECT_EQ(destination, loopback);
            if (port >= 0)
                timesOf[radar].insert(timeUs);
        }
        // Radar i's packet k at start + k periods + its phase, less than a period.
        QSet<qint64> phases;
        for (const QSet<qint64>& times : qAsConst(timesOf)) {
            ASSERT_EQ(times.size(), packets);
            const qint64 phaseUs = *std::min_element(times.cbegin(), times.cend()) - startUs;
            EXPECT_TRUE(phaseUs >= 0 && phaseUs < periodUs) << phaseUs;
            for (int k = 0; k < packets; ++k)
                EXPECT_TRUE(times.contains(startUs + k * periodUs + phaseUs)) << k;
            phases.insert(phaseUs);
        }
        EXPECT_GT(phases.size(), 1) << "the radars are not synchronised";
    }
}

TEST(SiteRun, ASiteThatCannotBePlayedIsRefusedOnOneLine)
{
    QTemporaryDir dir;
    const QString fresh = dir.filePath(QStringLiteral("fresh.csv"));
    const QString site = writeSite(dir, QStringLiteral("a.conf"), "[radar.b]\nport = 40101\n");
    const QString errors = dir.filePath(QStringLiteral("errors.conf"));
    const struct
    {
        QString site;
        const char* says;
        QByteArray errors = {}; // of --mounting-errors, exit status 2
    } cases[] = {
        {dir.filePath(QStringLiteral("missing.conf")), "missing.conf: "},
        {writeSite(dir, QStringLiteral("reserved.conf"), "[radar.site]\nport = 40101\n"),
         "reserved.conf:12: [radar.site]"},
        {writeSite(dir, QStringLiteral("sender.conf"), "radar_address = 192.168.1.5\n"),
         "sender.conf: radar a: radar_address 192.168.1.5 is not a loopback address"},
        {writeSite(dir, QStringLiteral("receiver.conf"), "bind_address = 10.0.0.1\n"),
         "receiver.conf: radar a: bind_address 10.0.0.1 is not a loopback address"},
        {writeSite(dir, QStringLiteral("mixed.conf"),
                   "bind_address = ::1\nradar_address = 127.0.0.5\n"),
         "mixed.conf: radar a: radar_address 127.0.0.5 and bind_address ::1 are not of one"},
        {site, "errors.conf:2: [radar.c]: the site has no radar 'c' (its radars: a, b)",
         "# the third\n[radar.c]\n"},
        {site, "errors.conf:3: [radar.a] roll: unknown key", "[radar.a]\nx = 1\nroll = 1\n"},
        {site, "errors.conf:2: [radar.b] x: 'east' is not a number of metres from -50 to 50",
         "[radar.b]\nx = east\n"},
        {site, "errors.conf:2: [radar.a] pan: '30.01' is not a number of degrees from -30 to 30",
         "[radar.a]\npan = 30.01\n"},
        {site, "errors.conf:2: [radar.a] tilt: '-10.5' is not a number of degrees from -10",
         "[radar.a]\ntilt = -10.5\n"},
        {site, "[radar.b] y: '50.5' is not", "[radar.b]\ny = 50.5\n"},
        {site, "[radar.a] range: '-21' is not", "[radar.a]\nrange = -21\n"},
        {site, "errors.conf:3: [radar.a]: a second section", "[radar.a]\n[radar.b]\n[radar.a]\n"},
    };
    for (const auto& c : cases) {
        QStringList args{"--site",    c.site, "--scene", "junction", "--no-send",
                         "--packets", "2",    "--truth", fresh};
        if (!c.errors.isEmpty()) {
            writeFile(errors, c.errors);
            args << "--mounting-errors" << errors;
        }
        const ProgramRun r = radarsim(args);
        EXPECT_EQ(r.exitCode, c.errors.isEmpty() ? 1 : 2) << c.says;
        EXPECT_TRUE(r.err.startsWith("radarsim: ") && r.err.contains(c.says) &&
                    r.err.count('\n') == 1)
            << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(fresh) || QFile::exists(fresh + ".mounting"));
    }
    // The bounds themselves are good, and the truth's companion gives every
    // radar's errors back, 0 for a radar the file leaves out.
    writeFile(errors, "[radar.a]\nheading = -30 # degrees\npan = 30\ntilt = 10\n"
                      "x = -50\ny = 50\nrange = 20\n");
    const ProgramRun r = radarsim({"--site", site, "--scene", "junction", "--no-send", "--packets",
                                   "2", "--truth", fresh, "--mounting-errors", errors});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    MountingErrors written;
    QString error;
    ASSERT_TRUE(parseMountingErrors(fileContents(fresh + ".mounting"), {"a", "b"}, written, error))
        << error.toStdString();
    EXPECT_TRUE(written == (MountingErrors{{"a", {-30, 30, 10, -50, 50, 20}}, {"b", {}}}));
}

} // namespace
} // namespace trklib::sim::test

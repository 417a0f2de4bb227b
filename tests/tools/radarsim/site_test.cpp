// radarsim's site scenes: the example site files' beams, and the program run
// without sending over a site file: its truth, its capture, its errors.

#include "sitesimulator.h"
#include "tools/common/siteworld.h"

#include "support/programrun.h"

#include <QHash>
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

double degrees(double rad)
{
    return rad * 180.0 / M_PI;
}

TEST(SiteWorld, TheRadarFrameIsTheInverseOfThePlacement)
{
    SimRandom random(5);
    for (int i = 0; i < 1000; ++i) {
        const util::RadarPlacement place{random.uniform(-500, 500), random.uniform(-500, 500),
                                         random.uniform(-360, 360)};
        ObjectState site;
        site.x = random.uniform(-400, 400);
        site.y = random.uniform(-400, 400);
        site.vx = random.uniform(-30, 30);
        site.vy = random.uniform(-30, 30);
        const ObjectState seen = inRadarFrame(site, place);
        const util::GroundPoint back = util::sitePosition({seen.x, seen.y}, place);
        const util::GroundPoint velocity =
            util::sitePosition({seen.vx, seen.vy}, {0.0, 0.0, place.headingDeg});
        ASSERT_NEAR(back.x, site.x, 1e-9);
        ASSERT_NEAR(back.y, site.y, 1e-9);
        ASSERT_NEAR(velocity.x, site.vx, 1e-9);
        ASSERT_NEAR(velocity.y, site.vy, 1e-9);
    }
}

// The radars of a site whose beams hold a point, by the sensor model's test.
int beamsHolding(const site::SiteConfig& site, double x, double y, double z)
{
    ObjectState o;
    o.x = x;
    o.y = y;
    o.z = z;
    int n = 0;
    for (const site::RadarEntry& radar : site.radars)
        n += SensorModel(radar.mounting, 1).look(inRadarFrame(o, radar.placement)).inBeam;
    return n;
}

TEST(SiteFiles, TheJunctionsLanesLieInTwoBeamsAndThePerimetersFenceInOne)
{
    constexpr double carHeightM = 0.8;
    constexpr double walkerHeightM = 1.0;
    constexpr double stepM = 0.5;
    const struct
    {
        QString file;
        bool alongY;    // the road runs along y
        double offsetM; // from its axis
        double fromM;
        double toM;
        double z;
        int least;
    } cases[] = {
        {junctionFile, false, -5.25, -100, 100, carHeightM, 2},
        {junctionFile, false, -1.75, -100, 100, carHeightM, 2},
        {junctionFile, false, 1.75, -100, 100, carHeightM, 2},
        {junctionFile, false, 5.25, -100, 100, carHeightM, 2},
        {junctionFile, true, -5.25, -100, 100, carHeightM, 2},
        {junctionFile, true, -1.75, -100, 100, carHeightM, 2},
        {junctionFile, true, 1.75, -100, 100, carHeightM, 2},
        {junctionFile, true, 5.25, -100, 100, carHeightM, 2},
        {perimeterFile, false, 0.0, -300, 300, walkerHeightM, 1},
        {perimeterFile, false, 8.0, -300, 300, carHeightM, 1},
    };
    for (const auto& c : cases) {
        const site::SiteConfig site = loadSite(c.file);
        ASSERT_TRUE(site.origin.has_value());
        int fewest = 99;
        for (double along = c.fromM; along <= c.toM; along += stepM) {
            const double x = c.alongY ? c.offsetM : along;
            const double y = c.alongY ? along : c.offsetM;
            const int n = beamsHolding(site, x, y, c.z);
            EXPECT_GE(n, c.least) << c.file.toStdString() << " at " << x << ", " << y;
            fewest = qMin(fewest, n);
        }
        EXPECT_EQ(fewest, c.least) << "the beams end somewhere: the test has teeth";
    }
    EXPECT_EQ(loadSite(junctionFile).radars.size(), 4);
}

// A site file written for a test: the junction's first radar with the
// given site and radar lines.
QString writeSite(const QTemporaryDir& dir, const QString& name, const QByteArray& siteLines,
                  const QByteArray& radarLines)
{
    const QString path = dir.filePath(name);
    writeFile(path, "[site]\nname = t\n" + siteLines + "[broker]\nclient_id = t\n" +
                        "[radar.a]\nport = 40100\nheight = 6\ntilt = -3\nx = 160\ny = -9\n"
                        "heading = 277.5\n" +
                        radarLines);
    return path;
}

QList<QByteArrayList> csvRows(const QByteArray& text)
{
    QList<QByteArrayList> rows;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty())
            rows.append(line.split(','));
    }
    return rows;
}

TEST(SiteRun, TheTruthHasEveryObjectOncePerPeriodInSiteCoordinates)
{
    QTemporaryDir dir;
    const QString truth = dir.filePath(QStringLiteral("truth.csv"));
    const ProgramRun r =
        radarsim({"--site", junctionFile, "--scene", "junction", "--no-send", "--quiet",
                  "--packets", "3", "--rate", "10", "--start-ms", "5000", "--truth", truth});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QList<QByteArrayList> rows = csvRows(fileContents(truth));
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows[0].join(','), "time,id,kind,x,y,vx,vy,speed_kph,lat,lon,radars");

    const site::SiteConfig site = loadSite(junctionFile);
    const site::GeoReference geo(*site.origin);
    Scene world = junctionScene(1);
    QMap<qint64, QSet<int>> idsAt;
    int listed = 0;
    int unlisted = 0;
    for (int i = 1; i < rows.size(); ++i) {
        const QByteArrayList& row = rows[i];
        ASSERT_EQ(row.size(), 11) << row.join(',').toStdString();
        const qint64 time = row[0].toLongLong();
        EXPECT_FALSE(idsAt[time].contains(row[1].toInt())) << "one row per object and period";
        idsAt[time].insert(row[1].toInt());
        const double x = row[3].toDouble();
        const double y = row[4].toDouble();
        const site::GeoPoint p = geo.toGeodetic(x, y);
        EXPECT_NEAR(row[8].toDouble(), p.latitudeDeg, 1e-12);
        EXPECT_NEAR(row[9].toDouble(), p.longitudeDeg, 1e-12);
        // The radars column against the beam's plain geometry, with a
        // margin for the reflector's height: a radar is listed when the
        // point lies well inside its beam, and not when well outside.
        const QByteArrayList radars = row[10].split(';');
        for (const site::RadarEntry& radar : site.radars) {
            const double dx = x - radar.placement.x;
            const double dy = y - radar.placement.y;
            const double bearingDeg = degrees(std::atan2(dx, dy));
            const double offDeg =
                std::abs(std::remainder(bearingDeg - radar.placement.headingDeg, 360.0));
            const double rangeM = std::hypot(dx, dy);
            const bool inside = offDeg < 11.5 && rangeM > 25 && rangeM < 295;
            const bool outside = offDeg > 12.5 || rangeM > 301;
            const bool isListed = radars.contains(radar.name.toLatin1());
            const std::string what = radar.name.toStdString() + " " + row.join(',').toStdString();
            if (inside) {
                EXPECT_TRUE(isListed) << what;
            }
            if (outside) {
                EXPECT_FALSE(isListed) << what;
            }
            listed += isListed;
            unlisted += !isListed;
        }
    }
    EXPECT_GT(listed, 0);
    EXPECT_GT(unlisted, 0);
    // The times are the radars' clock's (start plus elapsed), and every
    // object of the world is there, in a beam or not.
    ASSERT_EQ(idsAt.keys(), (QList<qint64>{5000, 5100, 5200}));
    for (auto it = idsAt.cbegin(); it != idsAt.cend(); ++it) {
        QSet<int> expected;
        for (const ObjectState& o : world.objectsAt(double(it.key() - 5000) / 1000.0))
            expected.insert(o.id);
        EXPECT_EQ(it.value(), expected) << it.key();
    }

    // Without an origin, no lat and lon.
    const QString plain = writeSite(dir, QStringLiteral("plain.conf"), {}, {});
    ASSERT_EQ(radarsim({"--site", plain, "--scene", "junction", "--no-send", "--quiet", "--packets",
                        "1", "--truth", truth})
                  .exitCode,
              0);
    const QList<QByteArrayList> plainRows = csvRows(fileContents(truth));
    ASSERT_GT(plainRows.size(), 1);
    for (int i = 1; i < plainRows.size(); ++i) {
        EXPECT_TRUE(plainRows[i][8].isEmpty() && plainRows[i][9].isEmpty())
            << plainRows[i].join(',').toStdString();
    }
}

// One frame of a capture, as far as the test reads it.
struct Frame
{
    qint64 timeUs = 0;
    QByteArray source;      // IPv4, 4 bytes
    QByteArray destination; // IPv4, 4 bytes
    int port = -1;          // the UDP destination port; -1 in a later fragment
};

QVector<Frame> readCapture(const QByteArray& bytes)
{
    constexpr int fileHeaderBytes = 24;
    constexpr int recordHeaderBytes = 16;
    constexpr int ethernetBytes = 14;
    QVector<Frame> frames;
    EXPECT_TRUE(bytes.startsWith(QByteArray::fromHex("d4c3b2a1")));
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    for (int at = fileHeaderBytes; at + recordHeaderBytes <= bytes.size();) {
        const quint32 seconds = qFromLittleEndian<quint32>(data + at);
        const quint32 micro = qFromLittleEndian<quint32>(data + at + 4);
        const int length = int(qFromLittleEndian<quint32>(data + at + 8));
        const uchar* ip = data + at + recordHeaderBytes + ethernetBytes;
        Frame f;
        f.timeUs = qint64(seconds) * 1000000 + micro;
        f.source = QByteArray(reinterpret_cast<const char*>(ip + 12), 4);
        f.destination = QByteArray(reinterpret_cast<const char*>(ip + 16), 4);
        const int headerBytes = (ip[0] & 0x0F) * 4;
        const bool first = (qFromBigEndian<quint16>(ip + 6) & 0x1FFF) == 0;
        if (first)
            f.port = qFromBigEndian<quint16>(ip + headerBytes + 2);
        frames.append(f);
        at += recordHeaderBytes + length;
    }
    return frames;
}

QByteArray ipv4(const char* text)
{
    QByteArray b(4, '\0');
    qToBigEndian(QHostAddress(QLatin1String(text)).toIPv4Address(), b.data());
    return b;
}

TEST(SiteRun, TheCaptureHoldsEachRadarsPacketsFromItsAddressToItsPortAtItsPhase)
{
    constexpr qint64 startMs = 1700000000000;
    constexpr qint64 periodMs = 50; // 20 packets per second
    constexpr int packets = 5;
    const struct
    {
        QString file;
        QString scene;
        // Each radar's source, destination and port, in the file's order.
        QVector<std::tuple<const char*, const char*, int>> radars;
    } cases[] = {
        {junctionFile,
         QStringLiteral("junction"),
         {{"127.0.0.11", "127.0.0.1", 34567},
          {"127.0.0.12", "127.0.0.1", 34567},
          {"127.0.0.13", "127.0.0.1", 34567},
          {"127.0.0.14", "127.0.0.1", 34567}}},
        {perimeterFile,
         QStringLiteral("perimeter"),
         {{"127.0.0.1", "127.0.0.1", 34571},
          {"127.0.0.1", "127.0.0.1", 34572},
          {"127.0.0.1", "127.0.0.1", 34573},
          {"127.0.0.1", "127.0.0.1", 34574}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scene.toStdString());
        QTemporaryDir dir;
        const QString pcap = dir.filePath(QStringLiteral("site.pcap"));
        const ProgramRun r = radarsim({"--site", c.file, "--scene", c.scene, "--no-send", "--quiet",
                                       "--packets", QString::number(packets), "--pcap", pcap});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QVector<Frame> frames = readCapture(fileContents(pcap));
        ASSERT_FALSE(frames.isEmpty());
        // Each radar by its endpoints; every frame's belongs to one.
        QVector<QSet<qint64>> timesOf(c.radars.size());
        qint64 last = 0;
        for (const Frame& f : frames) {
            EXPECT_GE(f.timeUs, last) << "frames in time order";
            last = f.timeUs;
            int radar = -1;
            for (int i = 0; i < c.radars.size() && radar < 0; ++i) {
                const auto& [source, destination, port] = c.radars[i];
                if (f.source == ipv4(source) && f.destination == ipv4(destination) &&
                    (f.port < 0 || f.port == port))
                    radar = i;
            }
            ASSERT_GE(radar, 0) << "a frame from no radar of the site";
            if (f.port >= 0)
                timesOf[radar].insert(f.timeUs);
        }
        // Radar i's packet k lies at start + k periods + its phase.
        QSet<qint64> phases;
        for (int i = 0; i < c.radars.size(); ++i) {
            ASSERT_EQ(timesOf[i].size(), packets) << "radar " << i;
            const qint64 phaseUs =
                *std::min_element(timesOf[i].cbegin(), timesOf[i].cend()) - startMs * 1000;
            EXPECT_GE(phaseUs, 0);
            EXPECT_LT(phaseUs, periodMs * 1000);
            for (int k = 0; k < packets; ++k)
                EXPECT_TRUE(timesOf[i].contains((startMs + k * periodMs) * 1000 + phaseUs)) << k;
            phases.insert(phaseUs);
        }
        EXPECT_GT(phases.size(), 1) << "the radars are not synchronised";
    }
}

TEST(SiteRun, TheSameSeedWritesTheSameFiles)
{
    QTemporaryDir dir;
    for (const char* name : {"a", "b", "c"}) {
        const ProgramRun r =
            radarsim({"--site", perimeterFile, "--scene", "perimeter", "--no-send", "--quiet",
                      "--packets", "20", "--seed", name[0] == 'c' ? "4" : "3", "--pcap",
                      dir.filePath(name + QStringLiteral(".pcap")), "--truth",
                      dir.filePath(name + QStringLiteral(".csv"))});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    }
    for (const char* suffix : {".pcap", ".csv"}) {
        const QByteArray a = fileContents(dir.filePath("a" + QLatin1String(suffix)));
        ASSERT_FALSE(a.isEmpty());
        EXPECT_EQ(a, fileContents(dir.filePath("b" + QLatin1String(suffix)))) << suffix;
        EXPECT_NE(a, fileContents(dir.filePath("c" + QLatin1String(suffix)))) << suffix;
    }
}

TEST(SiteRun, ASiteThatCannotBePlayedIsRefusedOnOneLine)
{
    QTemporaryDir dir;
    const QString fresh = dir.filePath(QStringLiteral("fresh.csv"));
    const struct
    {
        QString site;
        const char* says;
    } cases[] = {
        {dir.filePath(QStringLiteral("missing.conf")), "missing.conf: "},
        {writeSite(dir, QStringLiteral("reserved.conf"), {}, "[radar.site]\nport = 40101\n"),
         "reserved.conf:12: [radar.site]"},
        {writeSite(dir, QStringLiteral("sender.conf"), {}, "radar_address = 192.168.1.5\n"),
         "sender.conf: radar a: radar_address 192.168.1.5 is not a loopback address"},
        {writeSite(dir, QStringLiteral("receiver.conf"), {}, "bind_address = 10.0.0.1\n"),
         "receiver.conf: radar a: bind_address 10.0.0.1 is not a loopback address"},
        {writeSite(dir, QStringLiteral("mixed.conf"), {},
                   "bind_address = ::1\nradar_address = 127.0.0.5\n"),
         "mixed.conf: radar a: radar_address 127.0.0.5 and bind_address ::1 are not of one"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.site.toStdString());
        const ProgramRun r = radarsim({"--site", c.site, "--scene", "junction", "--no-send",
                                       "--packets", "2", "--truth", fresh});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.startsWith("radarsim: ")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(fresh));
    }
}

} // namespace
} // namespace trklib::sim::test

// trackd run as a user runs it: against a mosquitto broker of the test's
// own, with radarsim playing the radars on free loopback ports, and its
// tracks compared with trackreplay's for the same captures.

#include "support/asterixdecode.h"
#include "support/mosquittobroker.h"
#include "support/mqttsubscriber.h"
#include "support/packets.h"
#include "support/programrun.h"
#include "support/udpsender.h"

#include "input/wireformat.h"
#include "tools/common/encoders/asterix.h"
#include "tools/common/site/georeference.h"
#include "util/groundposition.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <memory>

#include <sys/resource.h>

namespace trklib::test {
namespace {

using Message = MqttSubscriber::Message;

constexpr int waitMs = 15000;             // for anything a test waits for
constexpr qint64 startMs = 1700000000000; // radarsim's first timestamp
constexpr int packetMs = 50;              // 20 packets per second

// A UDP port that nothing listens on, on every interface, and that this
// process has not handed out before.
quint16 freeUdpPort()
{
    static QSet<quint16> handedOut;
    for (;;) {
        QUdpSocket probe;
        probe.bind(QHostAddress(QHostAddress::Any), 0);
        if (!handedOut.contains(probe.localPort())) {
            handedOut.insert(probe.localPort());
            return probe.localPort();
        }
    }
}

QJsonObject json(const Message& m)
{
    return QJsonDocument::fromJson(m.payload).object();
}

// One radar as radarsim plays it and trackd is told about it.
struct SimRadar
{
    QString name;
    QString source; // radarsim --source; also trackd's radar_address unless alone
    QString scene;
    RadarConfig mounting;
    util::RadarPlacement placement;
    quint16 port = 0;
    bool alone = false;  // on a socket of its own, taking any sender
    QString bindAddress; // empty: every interface
    int sic = -1;        // its ASTERIX code; -1: none

    QStringList mountingArguments() const
    {
        return {QStringLiteral("--tilt"),   QString::number(mounting.tilt, 'g', 17),
                QStringLiteral("--pan"),    QString::number(mounting.pan, 'g', 17),
                QStringLiteral("--height"), QString::number(mounting.height, 'g', 17)};
    }

    QString section() const
    {
        return QStringLiteral("[radar.%1]\nport = %2\n%3tilt = %4\npan = %5\nheight = %6\n"
                              "x = %7\ny = %8\nheading = %9\n")
            .arg(name)
            .arg(port)
            .arg((alone ? QString() : QStringLiteral("radar_address = %1\n").arg(source)) +
                 (bindAddress.isEmpty() ? QString()
                                        : QStringLiteral("bind_address = %1\n").arg(bindAddress)) +
                 (sic < 0 ? QString() : QStringLiteral("sic = %1\n").arg(sic)))
            .arg(mounting.tilt, 0, 'g', 17)
            .arg(mounting.pan, 0, 'g', 17)
            .arg(mounting.height, 0, 'g', 17)
            .arg(placement.x, 0, 'g', 17)
            .arg(placement.y, 0, 'g', 17)
            .arg(placement.headingDeg, 0, 'g', 17);
    }

    QByteArray topic(const QString& site, const char* leaf) const
    {
        return QStringLiteral("trklib/%1/%2/%3").arg(site, name, QLatin1String(leaf)).toUtf8();
    }
};

QString siteConfig(const QString& site, quint16 brokerPort, const QString& brokerLines,
                   const QVector<SimRadar>& radars, const QString& siteLines = QString())
{
    QString text = QStringLiteral("# written by the test\n[site]\nname = %1\n%4\n[broker]\nport = "
                                  "%2\nclient_id = trackd-%1\n%3\n")
                       .arg(site)
                       .arg(brokerPort)
                       .arg(brokerLines, siteLines);
    for (const SimRadar& radar : radars)
        text += radar.section();
    return text;
}

// trackd on a configuration file, its standard error in a log file;
// stopped with SIGTERM by stop() or at the end of its scope. Started under
// a soft limit of open files when one is given, as a shell would start it.
class Trackd
{
public:
    Trackd(const QString& dir, const QString& name, const QString& config, int softFileLimit = 0)
        : configPath_(QDir(dir).filePath(name + QStringLiteral(".conf"))),
          logPath_(QDir(dir).filePath(name + QStringLiteral(".log")))
    {
        writeFile(configPath_, config.toUtf8());
        process_.setStandardErrorFile(logPath_);
        const QStringList arguments{QStringLiteral("--config"), configPath_};
        if (softFileLimit > 0)
            process_.start(
                QStringLiteral("/bin/sh"),
                QStringList{
                    QStringLiteral("-c"),
                    QStringLiteral("ulimit -Sn %1 && exec \"$0\" \"$@\"").arg(softFileLimit),
                    QStringLiteral(TRACKD_PATH)} +
                    arguments);
        else
            process_.start(QStringLiteral(TRACKD_PATH), arguments);
        process_.waitForStarted();
    }
    ~Trackd() { stop(); }

    // The exit code after SIGTERM; -1 when it crashed or hung.
    int stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(10000))
                process_.kill();
            process_.waitForFinished();
        }
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    bool running() const { return process_.state() == QProcess::Running; }
    QString log() const { return QString::fromUtf8(fileContents(logPath_)); }
    // The log's lines that contain text.
    QStringList linesWith(const QString& text) const
    {
        return log().split(QLatin1Char('\n')).filter(text);
    }

private:
    QString configPath_;
    QString logPath_;
    QProcess process_;
};

// radarsim playing one radar for packets packets, with a capture of what
// it sent.
std::unique_ptr<QProcess> startRadarsim(const SimRadar& radar, int packets, const QString& pcap)
{
    auto process = std::make_unique<QProcess>();
    QStringList arguments{QStringLiteral("--port"),    QString::number(radar.port),
                          QStringLiteral("--scene"),   radar.scene,
                          QStringLiteral("--packets"), QString::number(packets),
                          QStringLiteral("--pcap"),    pcap,
                          QStringLiteral("--quiet")};
    if (!radar.source.isEmpty())
        arguments << QStringLiteral("--source") << radar.source;
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(RADARSIM_PATH), arguments + radar.mountingArguments());
    return process;
}

bool finished(QProcess& process)
{
    return process.waitForFinished(waitMs) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// trackreplay's targets of a capture, by packet timestamp.
QMap<qint64, QVector<TargetData>> replay(const QString& pcap, const SimRadar& radar)
{
    const ProgramRun run =
        runProgram(QStringLiteral(TRACKREPLAY_PATH),
                   QStringList{pcap, QStringLiteral("--port"), QString::number(radar.port)} +
                       radar.mountingArguments());
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    QMap<qint64, QVector<TargetData>> targets;
    const QList<QByteArray> lines = run.out.split('\n');
    for (const QByteArray& line : lines.mid(1)) { // after the header
        const QList<QByteArray> f = line.split(',');
        if (f.size() != 8)
            continue;
        targets[f[1].toLongLong()].append(
            {f[2].toInt(), std::strtod(f[3].constData(), nullptr),
             std::strtod(f[4].constData(), nullptr), std::strtod(f[5].constData(), nullptr),
             std::strtod(f[6].constData(), nullptr), f[7].toInt() == 1});
    }
    return targets;
}

// Where on Earth a point of the site lies, when the site has an origin;
// otherwise that the message says nothing of it.
void expectGeodetic(const QJsonObject& fields, double x, double y, const site::GeoReference* geo)
{
    EXPECT_EQ(fields.contains(QLatin1String("lat")), geo != nullptr);
    EXPECT_EQ(fields.contains(QLatin1String("lon")), geo != nullptr);
    if (!geo)
        return;
    const site::GeoPoint p = geo->toGeodetic(x, y);
    EXPECT_EQ(fields[QLatin1String("lat")].toDouble(), p.latitudeDeg);
    EXPECT_EQ(fields[QLatin1String("lon")].toDouble(), p.longitudeDeg);
}

// Every tracks message equals trackreplay's targets of its packet, number
// for number and bit for bit, with the ground position on the site (and
// on Earth, with geo).
void expectSameAsReplay(const QVector<Message>& tracks,
                        const QMap<qint64, QVector<TargetData>>& replayed, const SimRadar& radar,
                        const site::GeoReference* geo = nullptr)
{
    SCOPED_TRACE(radar.name.toStdString());
    int withTargets = 0;
    for (const Message& m : tracks) {
        const QJsonObject message = json(m);
        const qint64 timestamp = qint64(message[QLatin1String("timestamp")].toDouble());
        const QVector<TargetData> expected = replayed.value(timestamp);
        const QJsonArray targets = message[QLatin1String("targets")].toArray();
        ASSERT_EQ(targets.size(), expected.size()) << "packet " << timestamp;
        withTargets += targets.isEmpty() ? 0 : 1;
        for (int i = 0; i < targets.size(); ++i) {
            const QJsonObject t = targets[i].toObject();
            const TargetData& e = expected[i];
            EXPECT_EQ(t[QLatin1String("number")].toInt(), e.number) << timestamp;
            EXPECT_EQ(t[QLatin1String("elevation")].toDouble(), e.elevation) << timestamp;
            EXPECT_EQ(t[QLatin1String("azimuth")].toDouble(), e.azimuth) << timestamp;
            EXPECT_EQ(t[QLatin1String("distance")].toDouble(), e.distance) << timestamp;
            EXPECT_EQ(t[QLatin1String("velocity")].toDouble(), e.velocity) << timestamp;
            EXPECT_EQ(t[QLatin1String("confirmed")].toBool(), e.confirmed) << timestamp;
            const util::GroundPoint p =
                util::sitePosition(util::groundPosition(e, radar.mounting), radar.placement);
            EXPECT_EQ(t[QLatin1String("x")].toDouble(), p.x) << timestamp;
            EXPECT_EQ(t[QLatin1String("y")].toDouble(), p.y) << timestamp;
            expectGeodetic(t, p.x, p.y, geo);
        }
    }
    EXPECT_GT(withTargets, 0) << "some packets have targets";
}

// The messages on topic satisfy done.
bool waitOn(MqttSubscriber& subscriber, const QByteArray& topic,
            const std::function<bool(const QVector<Message>&)>& done)
{
    return subscriber.waitFor(
        [&](const QVector<Message>& all) {
            QVector<Message> on;
            for (const Message& m : all) {
                if (m.topic == topic)
                    on.append(m);
            }
            return done(on);
        },
        waitMs);
}

bool lastIsOnline(const QVector<Message>& status, bool online)
{
    return !status.isEmpty() && json(status.last())[QLatin1String("online")].toBool() == online;
}

// A status, online or offline, says where the radar stands and where its
// beam looks, how wide and how far (12 degrees either side, 12 m to 300 m
// slant range at its height), and where on Earth with geo.
void expectPlaceOf(const QJsonObject& status, const SimRadar& radar,
                   const site::GeoReference* geo = nullptr)
{
    SCOPED_TRACE(radar.name.toStdString());
    const QJsonObject place = status[QLatin1String("place")].toObject();
    EXPECT_EQ(place[QLatin1String("x")].toDouble(), radar.placement.x);
    EXPECT_EQ(place[QLatin1String("y")].toDouble(), radar.placement.y);
    EXPECT_EQ(place[QLatin1String("heading")].toDouble(), radar.placement.headingDeg);
    expectGeodetic(place, radar.placement.x, radar.placement.y, geo);
    const QJsonObject beam = status[QLatin1String("beam")].toObject();
    const double bearing =
        std::fmod(radar.placement.headingDeg - radar.mounting.pan + 360.0, 360.0);
    const double height = radar.mounting.height;
    EXPECT_DOUBLE_EQ(beam[QLatin1String("bearing")].toDouble(), bearing);
    EXPECT_EQ(beam[QLatin1String("halfWidth")].toDouble(), 12.0);
    EXPECT_DOUBLE_EQ(beam[QLatin1String("minRange")].toDouble(),
                     std::sqrt(144.0 - height * height));
    EXPECT_DOUBLE_EQ(beam[QLatin1String("maxRange")].toDouble(),
                     std::sqrt(90000.0 - height * height));
}

bool hasPacketsThrough(const QVector<Message>& tracks, int packets)
{
    const qint64 last = startMs + qint64(packets - 1) * packetMs;
    return std::any_of(tracks.begin(), tracks.end(), [&](const Message& m) {
        return qint64(json(m)[QLatin1String("timestamp")].toDouble()) == last;
    });
}

class TrackdTest : public ::testing::Test
{
protected:
    QTemporaryDir dir_;
    QString path(const char* name) const { return dir_.filePath(QLatin1String(name)); }
};

TEST_F(TrackdTest, TracksEveryRadarAsTrackreplayDoesAndLeavesThemOffline)
{
    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber subscriber(broker.port(), "trklib/#");
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));

    // Two radars on one port, told apart by sender, and one on its own.
    // The shared socket's address is given in both its forms.
    const quint16 shared = freeUdpPort();
    QVector<SimRadar> radars{
        {"a",
         "127.0.0.2",
         "road",
         {-1.0, 0.0, 5.0, 0.0, 0},
         {0.0, 0.0, 0.0},
         shared,
         false,
         "::ffff:127.0.0.1"},
        {"b",
         "127.0.0.3",
         "crossing",
         {-3.0, 5.0, 6.0, 0.0, 0},
         {100.0, -50.0, 90.0},
         shared,
         false,
         "127.0.0.1"},
        {"c",
         "",
         "highway",
         {0.0, -10.0, 5.0, 0.0, 0},
         {-20.0, 35.5, 200.0},
         freeUdpPort(),
         true,
         {}},
    };
    // A geo-referenced site: every target and place says where on Earth.
    const site::GeoReference geo(site::Origin{-33.85, 151.2, 42.5});
    Trackd trackd(dir_.path(), QStringLiteral("trackd"),
                  siteConfig(QStringLiteral("s"), broker.port(), {}, radars,
                             QStringLiteral("latitude = -33.85\nlongitude = 151.2\n"
                                            "altitude = 42.5\n")));
    for (const SimRadar& r : radars)
        ASSERT_TRUE(waitOn(subscriber, r.topic("s", "status"), [](const auto& status) {
            return lastIsOnline(status, true);
        })) << trackd.log().toStdString();

    constexpr int packets = 40;
    std::vector<std::unique_ptr<QProcess>> sims;
    for (const SimRadar& r : radars)
        sims.push_back(startRadarsim(r, packets, dir_.filePath(r.name + ".pcap")));
    // A stranger on the shared port: both its radars count it, nobody tracks it.
    QUdpSocket stranger;
    ASSERT_TRUE(stranger.bind(QHostAddress(QStringLiteral("127.0.0.4")), 0));
    stranger.writeDatagram(QByteArray(48, '\0'), QHostAddress::LocalHost, shared);
    for (const auto& sim : sims)
        ASSERT_TRUE(finished(*sim));

    for (const SimRadar& r : radars) {
        ASSERT_TRUE(waitOn(subscriber, r.topic("s", "tracks"),
                           [](const auto& tracks) { return tracks.size() >= packets; }))
            << r.name.toStdString() << trackd.log().toStdString();
        const QVector<Message> tracks = subscriber.messagesOn(r.topic("s", "tracks"));
        EXPECT_EQ(tracks.size(), packets) << "one message per packet";
        EXPECT_TRUE(hasPacketsThrough(tracks, packets));
        EXPECT_FALSE(tracks.first().retained);
        expectSameAsReplay(tracks, replay(dir_.filePath(r.name + ".pcap"), r), r, &geo);

        // Within a second the status has every packet, its sender and the stranger.
        ASSERT_TRUE(waitOn(subscriber, r.topic("s", "status"), [&](const auto& status) {
            return !status.isEmpty() && json(status.last())["packets"].toInt() == packets;
        }));
        const QJsonObject status = json(subscriber.messagesOn(r.topic("s", "status")).last());
        EXPECT_EQ(status["lastTimestamp"].toDouble(), double(startMs + (packets - 1) * packetMs));
        EXPECT_EQ(status["senders"].toInt(), 1);
        EXPECT_EQ(status["foreignDatagrams"].toInt(), r.alone ? 0 : 1);
        EXPECT_EQ(status["badHeaders"].toInt() + status["abandonedPackets"].toInt(), 0);
        EXPECT_GT(status["receiveBufferBytes"].toInt(), 0);
        EXPECT_GT(status["rate"].toDouble(), 0.0);
        expectPlaceOf(status, r, &geo);
    }

    EXPECT_EQ(trackd.linesWith(QStringLiteral("3 radars on 2 sockets")).size(), 1)
        << trackd.log().toStdString();
    EXPECT_EQ(trackd.stop(), 0) << trackd.log().toStdString();
    for (const SimRadar& r : radars) {
        EXPECT_TRUE(waitOn(subscriber, r.topic("s", "status"), [](const auto& status) {
            return lastIsOnline(status, false);
        })) << r.name.toStdString();
        expectPlaceOf(json(subscriber.messagesOn(r.topic("s", "status")).last()), r, &geo);
    }
}

// A second program sending from the radar's address (another port) while
// the radar sends: the radar's tracks are those of its capture alone, and
// the other's datagrams are counted, dropped and logged once. The radar's
// CAT010 goes to a port nobody listens on: its status counts the drops.
TEST_F(TrackdTest, SecondSenderFromTheRadarsAddressIsCountedNotTracked)
{
    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber subscriber(broker.port(), "trklib/#");
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));

    const SimRadar radar{
        "a",   "127.0.0.2", "road", {-1.0, 0.0, 5.0, 0.0, 0}, {0.0, 0.0, 0.0}, freeUdpPort(),
        false, {},          1};
    SimRadar competitor = radar;
    competitor.scene = QStringLiteral("crossing");
    Trackd trackd(
        dir_.path(), QStringLiteral("trackd"),
        siteConfig(QStringLiteral("s"), broker.port(), {}, {radar}) +
            QStringLiteral("[asterix]\nsac = 25\ncat010 = 127.0.0.1:%1\n").arg(freeUdpPort()));
    ASSERT_TRUE(waitOn(subscriber, radar.topic("s", "status"), [](const auto& status) {
        return lastIsOnline(status, true);
    })) << trackd.log().toStdString();

    // The radar sends for 5 s; the other starts once the radar is tracked,
    // sends for 1 s, with timestamps of its own.
    constexpr int packets = 100;
    constexpr int competingPackets = 20;
    const auto sim = startRadarsim(radar, packets, path("radar.pcap"));
    ASSERT_TRUE(waitOn(subscriber, radar.topic("s", "tracks"),
                       [](const auto& tracks) { return !tracks.isEmpty(); }));
    auto other = startRadarsim(competitor, competingPackets, path("other.pcap"));
    ASSERT_TRUE(finished(*other));
    ASSERT_TRUE(finished(*sim));

    ASSERT_TRUE(waitOn(subscriber, radar.topic("s", "status"), [&](const auto& status) {
        return !status.isEmpty() && json(status.last())["packets"].toInt() == packets;
    })) << trackd.log().toStdString();
    const QVector<Message> tracks = subscriber.messagesOn(radar.topic("s", "tracks"));
    EXPECT_EQ(tracks.size(), packets);
    expectSameAsReplay(tracks, replay(path("radar.pcap"), radar), radar);
    const QJsonObject status = json(subscriber.messagesOn(radar.topic("s", "status")).last());
    EXPECT_EQ(status["competingDatagrams"].toInt(), competingPackets * wire::blockCount);
    EXPECT_GT(status["outputDropped"].toInt(), 0) << "CAT010 to a closed port";
    EXPECT_EQ(status["asterixClamped"], QJsonValue(0));
    EXPECT_EQ(status["senders"].toInt(), 2);
    EXPECT_EQ(status["foreignDatagrams"].toInt() + status["strayDatagrams"].toInt() +
                  status["abandonedPackets"].toInt(),
              0);
    const QStringList said = trackd.linesWith(QStringLiteral("compete with"));
    ASSERT_EQ(said.size(), 1) << trackd.log().toStdString();
    EXPECT_TRUE(said.first().contains(QStringLiteral("radar a: datagrams from 127.0.0.2 port")))
        << said.first().toStdString();
    EXPECT_TRUE(trackd.linesWith(QStringLiteral("now tracking")).isEmpty());
}

// With [asterix] cat010, every confirmed target of each packet reaches the
// destination as a category 010 target report under its radar's sic, in
// datagrams of at most 1400 bytes, and Wireshark's dissector reads back the
// tracks message's values to within each item's resolution.
TEST_F(TrackdTest, SendsEachPacketsConfirmedTargetsAsAsterixCategory010)
{
    if (tsharkProgram().isEmpty())
        GTEST_SKIP() << "tshark is not installed (scripts/lib/deps.sh installs it)";
    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber subscriber(broker.port(), "trklib/#");
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));

    QVector<SimRadar> radars{
        {"a", "", "road", {-1.0, 0.0, 5.0, 0.0, 0}, {0.0, 0.0, 0.0}, freeUdpPort(), true, {}, 1},
        {"b",
         "",
         "crossing",
         {-3.0, 5.0, 6.0, 0.0, 0},
         {100.0, -50.0, 90.0},
         freeUdpPort(),
         true,
         {},
         200},
    };
    const site::GeoReference geo(site::Origin{48.137154, 11.576124, 566.0});
    Trackd trackd(dir_.path(), QStringLiteral("trackd"),
                  siteConfig(QStringLiteral("s"), broker.port(), {}, radars,
                             QStringLiteral("latitude = 48.137154\nlongitude = 11.576124\n"
                                            "altitude = 566\n")) +
                      QStringLiteral("[asterix]\nsac = 25\ncat010 = 127.0.0.1:%1\n")
                          .arg(receiver.localPort()));
    for (const SimRadar& r : radars)
        ASSERT_TRUE(waitOn(subscriber, r.topic("s", "status"), [](const auto& status) {
            return lastIsOnline(status, true);
        })) << trackd.log().toStdString();
    constexpr int packets = 40;
    std::vector<std::unique_ptr<QProcess>> sims;
    for (const SimRadar& r : radars)
        sims.push_back(startRadarsim(r, packets, dir_.filePath(r.name + ".pcap")));
    for (const auto& sim : sims)
        ASSERT_TRUE(finished(*sim));
    for (const SimRadar& r : radars)
        ASSERT_TRUE(waitOn(subscriber, r.topic("s", "tracks"),
                           [](const auto& tracks) { return tracks.size() >= packets; }));
    // Sent before the tracks message was published: all there by now.
    QVector<QByteArray> datagrams;
    while (receiver.hasPendingDatagrams() || receiver.waitForReadyRead(500)) {
        QByteArray d(int(receiver.pendingDatagramSize()), '\0');
        d.resize(int(receiver.readDatagram(d.data(), d.size())));
        EXPECT_LE(d.size(), encoders::asterix::maxDatagramBytes);
        datagrams.append(d);
    }

    using encoders::asterix::FieldId;
    const struct
    {
        const char* name;
        FieldId id; // its resolution
    } fields[]{
        {"asterix.010_140_VALUE", FieldId::Cat010TimeOfDay},
        {"asterix.010_041_LAT", FieldId::Cat010Latitude},
        {"asterix.010_041_LON", FieldId::Cat010Longitude},
        {"asterix.010_040_RHO", FieldId::Cat010Rho},
        {"asterix.010_040_TH", FieldId::Cat010Theta},
        {"asterix.010_042_X", FieldId::Cat010X},
        {"asterix.010_042_Y", FieldId::Cat010Y},
    };
    QStringList names{"asterix.010_010_SAC", "asterix.010_010_SIC", "asterix.010_161_TRK",
                      "asterix.010_170_CNF"};
    for (const auto& f : fields)
        names << QLatin1String(f.name);
    QVector<AsterixRecord> records;
    QString error;
    ASSERT_TRUE(
        decodeAsterix(path("cat010.pcap"), datagrams, receiver.localPort(), names, records, error))
        << error.toStdString();
    const auto integer = [](const AsterixRecord& r, const char* name) {
        return r.value(QLatin1String(name)).toLongLong(nullptr, 0); // tshark may print 0x19
    };
    for (const SimRadar& radar : radars) {
        SCOPED_TRACE(radar.name.toStdString());
        // What the radar's tracks messages say of each confirmed target, in order.
        QVector<QVector<double>> expected;
        for (const Message& m : subscriber.messagesOn(radar.topic("s", "tracks"))) {
            const QJsonObject message = json(m);
            const double received = message["received"].toDouble();
            for (const QJsonValue& value : message["targets"].toArray()) {
                const QJsonObject t = value.toObject();
                if (!t["confirmed"].toBool())
                    continue;
                const double east = t["x"].toDouble() - radar.placement.x;
                const double north = t["y"].toDouble() - radar.placement.y;
                const double bearing = std::atan2(east, north) * 180.0 / M_PI;
                expected.append({encoders::asterix::secondsOfDay(qint64(received)), t["lat"].toDouble(),
                                 t["lon"].toDouble(), std::hypot(east, north),
                                 bearing < 0 ? bearing + 360.0 : bearing, east, north,
                                 t["number"].toDouble()});
            }
        }
        QVector<AsterixRecord> mine;
        for (const AsterixRecord& r : records) {
            if (integer(r, "asterix.010_010_SIC") == radar.sic)
                mine.append(r);
        }
        ASSERT_EQ(mine.size(), expected.size()) << "one record per confirmed target";
        EXPECT_GT(mine.size(), 0);
        for (int i = 0; i < mine.size(); ++i) {
            const AsterixRecord& r = mine[i];
            EXPECT_EQ(integer(r, "asterix.010_010_SAC"), 25);
            EXPECT_EQ(integer(r, "asterix.010_170_CNF"), 0) << "confirmed";
            EXPECT_EQ(integer(r, "asterix.010_161_TRK"), qint64(expected[i][7]));
            EXPECT_EQ(r.value("_ws.expert"), QString()) << "no dissector warnings";
            for (std::size_t f = 0; f < std::size(fields); ++f)
                EXPECT_NEAR(r.value(QLatin1String(fields[f].name)).toDouble(), expected[i][int(f)],
                            encoders::asterix::field(fields[f].id).lsb)
                    << fields[f].name << " of record " << i;
        }
    }
    EXPECT_EQ(trackd
                  .linesWith(QStringLiteral("ASTERIX category 010 to 127.0.0.1:%1 as SAC 25")
                                 .arg(receiver.localPort()))
                  .size(),
              1)
        << trackd.log().toStdString();
}

TEST_F(TrackdTest, KeepsTrackingThroughABrokerOutageAndReconnects)
{
    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber subscriber(broker.port(), "trklib/#");
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));
    const SimRadar radar{"r", "", "road", {0.0, 0.0, 5.0, 0.0, 0}, {}, freeUdpPort(), true, {}};
    Trackd trackd(dir_.path(), QStringLiteral("trackd"),
                  siteConfig(QStringLiteral("s"), broker.port(), {}, {radar}));
    const QByteArray tracksTopic = radar.topic("s", "tracks");
    const QByteArray statusTopic = radar.topic("s", "status");
    ASSERT_TRUE(
        waitOn(subscriber, statusTopic, [](const auto& s) { return lastIsOnline(s, true); }));

    constexpr int packets = 200; // 10 s
    const auto sim = startRadarsim(radar, packets, path("r.pcap"));
    ASSERT_TRUE(waitOn(subscriber, tracksTopic, [](const auto& t) { return t.size() >= 20; }));
    broker.stop();
    QThread::sleep(3);
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(finished(*sim));

    // The status is back (the broker lost the retained one), and so are
    // the tracks, numbered on from before.
    EXPECT_TRUE(waitOn(subscriber, statusTopic, [&](const auto& status) {
        return std::any_of(status.begin(), status.end(), [&](const Message& m) {
            return m.received > restarted && json(m)["online"].toBool();
        });
    }));
    ASSERT_TRUE(waitOn(subscriber, tracksTopic, [](const auto& t) {
        return hasPacketsThrough(t, packets);
    })) << trackd.log().toStdString();
    const QVector<Message> tracks = subscriber.messagesOn(tracksTopic);
    EXPECT_LT(tracks.size(), packets - 40) << "three seconds of messages could not be sent";
    expectSameAsReplay(tracks, replay(path("r.pcap"), radar), radar);

    EXPECT_EQ(trackd.stop(), 0);
    // One line when the broker went, one when it came back with the count.
    EXPECT_EQ(trackd.linesWith(QStringLiteral("lost the broker")).size(), 1)
        << trackd.log().toStdString();
    const QStringList back = trackd.linesWith(QStringLiteral("again after"));
    ASSERT_EQ(back.size(), 1) << trackd.log().toStdString();
    EXPECT_TRUE(back[0].contains(
        QStringLiteral("; %1 track messages could not be sent").arg(packets - tracks.size())))
        << back[0].toStdString();
}

// A broker that stops answering, its connection still open, is given up
// after the keep-alive and connected to again once it answers.
TEST_F(TrackdTest, GivesUpABrokerThatStopsAnsweringAndComesBackToIt)
{
    constexpr int keepAliveMs = 40000; // well past one and a half keep-alives of 10 s
    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber subscriber(broker.port(), "trklib/#");
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));
    const SimRadar radar{"r", "", "road", {0.0, 0.0, 5.0, 0.0, 0}, {}, freeUdpPort(), true, {}};
    Trackd trackd(dir_.path(), QStringLiteral("trackd"),
                  siteConfig(QStringLiteral("s"), broker.port(), {}, {radar}));
    ASSERT_TRUE(waitOn(subscriber, radar.topic("s", "status"),
                       [](const auto& s) { return lastIsOnline(s, true); }));

    ::kill(pid_t(broker.pid()), SIGSTOP);
    // Answering again at the end, also when the test fails.
    struct Resume
    {
        qint64 pid;
        ~Resume() { ::kill(pid_t(pid), SIGCONT); }
    } resume{broker.pid()};
    const auto logHas = [&](const char* text, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 200) {
            if (!trackd.linesWith(QLatin1String(text)).isEmpty())
                return true;
            QThread::msleep(200);
        }
        return false;
    };
    EXPECT_TRUE(logHas("lost the broker", keepAliveMs)) << trackd.log().toStdString();
    ::kill(pid_t(broker.pid()), SIGCONT);
    EXPECT_TRUE(logHas("again after", waitMs)) << trackd.log().toStdString();
    EXPECT_EQ(trackd.stop(), 0);
}

// Certificates for a TLS broker on 127.0.0.1, and one from another
// authority; false when openssl fails.
bool makeCertificates(const QDir& dir)
{
    const QString ec = QStringLiteral("ec_paramgen_curve:prime256v1");
    writeFile(dir.filePath("san.cnf"), "subjectAltName = IP:127.0.0.1\n");
    const QVector<QStringList> steps{
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", "ca.key", "-out",
         "ca.crt", "-days", "2", "-subj", "/CN=test authority"},
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", "other.key", "-out",
         "other.crt", "-days", "2", "-subj", "/CN=another authority"},
        {"req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", "server.key", "-out",
         "server.csr", "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
         "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san.cnf"},
    };
    if (const QString failed = runEach(QStringLiteral("openssl"), steps, dir.path());
        !failed.isEmpty()) {
        ADD_FAILURE() << failed.toStdString();
        return false;
    }
    return true;
}

TEST_F(TrackdTest, LogsInOverTlsWithAPasswordAndSaysWhyWhenItCannot)
{
    const QDir dir(dir_.path());
    ASSERT_TRUE(makeCertificates(dir));
    const ProgramRun passwd =
        runProgram(QStringLiteral("mosquitto_passwd"),
                   {"-b", "-c", dir.filePath("passwd"), "trackd", "right horse"});
    ASSERT_EQ(passwd.exitCode, 0) << passwd.err.toStdString();
    writeFile(dir.filePath("right"), "right horse\n");
    writeFile(dir.filePath("wrong"), "wrong horse\n");
    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"),
                           QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3\n"
                                          "allow_anonymous false\npassword_file %4\n")
                               .arg(dir.filePath("ca.crt"), dir.filePath("server.crt"),
                                    dir.filePath("server.key"), dir.filePath("passwd")));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber subscriber(broker.port(), "trklib/#",
                              {"trackd", "right horse", dir.filePath("ca.crt"), {}});
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));

    const struct
    {
        const char* site;
        const char* passwordFile;
        const char* caFile;
        const char* failure; // in the one line that says why; null: it works
        quint16 port;
    } cases[]{
        {"right", "right", "ca.crt", nullptr, broker.port()},
        {"wrongpassword", "wrong", "ca.crt", "refused: not authorised", broker.port()},
        {"wrongauthority", "right", "other.crt", "certificate verify failed", broker.port()},
        // No broker at all: the handshake on a refused connection fails.
        {"nobroker", "right", "ca.crt", "the connection was lost", freeTcpPort()},
    };
    constexpr int packets = 20;
    std::vector<std::unique_ptr<Trackd>> services;
    std::vector<std::unique_ptr<QProcess>> sims;
    std::vector<SimRadar> radars;
    for (const auto& c : cases) {
        radars.push_back({"r", "", "road", {0.0, 0.0, 5.0, 0.0, 0}, {}, freeUdpPort(), true, {}});
        services.push_back(std::make_unique<Trackd>(
            dir_.path(), QLatin1String(c.site),
            siteConfig(QLatin1String(c.site), c.port,
                       QStringLiteral("username = trackd\npassword_file = %1\nca_file = %2\n")
                           .arg(QLatin1String(c.passwordFile), QLatin1String(c.caFile)),
                       {radars.back()})));
    }
    ASSERT_TRUE(waitOn(subscriber, radars[0].topic("right", "status"), [](const auto& s) {
        return lastIsOnline(s, true);
    })) << services[0]->log().toStdString();
    for (std::size_t i = 0; i < radars.size(); ++i)
        sims.push_back(startRadarsim(radars[i], packets, dir.filePath(QString::number(i))));
    for (const auto& sim : sims)
        ASSERT_TRUE(finished(*sim));
    EXPECT_TRUE(waitOn(subscriber, radars[0].topic("right", "tracks"),
                       [](const auto& t) { return t.size() == packets; }));

    for (std::size_t i = 0; i < radars.size(); ++i) {
        SCOPED_TRACE(cases[i].site);
        const Trackd& service = *services[i];
        EXPECT_TRUE(service.running()) << "no crash, and it keeps trying";
        if (cases[i].failure) {
            EXPECT_TRUE(subscriber.messagesOn(radars[i].topic(cases[i].site, "tracks")).isEmpty());
            const QStringList why = service.linesWith(QStringLiteral("cannot connect"));
            ASSERT_EQ(why.size(), 1) << service.log().toStdString();
            EXPECT_TRUE(why[0].contains(QLatin1String(cases[i].failure))) << why[0].toStdString();
        }
        EXPECT_EQ(services[i]->stop(), 0);
    }
}

TEST_F(TrackdTest, BridgedSitesReachTheCentralBroker)
{
    MosquittoBroker central(dir_.path(), QStringLiteral("central"));
    ASSERT_TRUE(central.start()) << central.log().toStdString();
    MqttSubscriber subscriber(central.port(), "trklib/#");
    ASSERT_TRUE(subscriber.waitSubscribed(waitMs));

    // Each site's broker forwards everything under trklib/ to the central
    // one, as the bridge of docs/several-radars.md does.
    const QString bridge = QStringLiteral("connection central\naddress 127.0.0.1:%1\n"
                                          "remote_clientid bridge-%2\n"
                                          "topic trklib/# out 0\n");
    constexpr int packets = 20;
    std::vector<std::unique_ptr<MosquittoBroker>> brokers;
    std::vector<std::unique_ptr<Trackd>> services;
    std::vector<std::unique_ptr<QProcess>> sims;
    const QStringList sites{QStringLiteral("north"), QStringLiteral("south")};
    QVector<SimRadar> radars;
    for (const QString& site : sites) {
        brokers.push_back(std::make_unique<MosquittoBroker>(dir_.path(), site,
                                                            bridge.arg(central.port()).arg(site)));
        ASSERT_TRUE(brokers.back()->start()) << brokers.back()->log().toStdString();
        radars.append({"r", "", "road", {0.0, 0.0, 5.0, 0.0, 0}, {}, freeUdpPort(), true, {}});
        services.push_back(std::make_unique<Trackd>(
            dir_.path(), site, siteConfig(site, brokers.back()->port(), {}, {radars.back()})));
    }
    for (int i = 0; i < sites.size(); ++i)
        ASSERT_TRUE(waitOn(subscriber, radars[i].topic(sites[i], "status"), [](const auto& s) {
            return lastIsOnline(s, true);
        })) << brokers[i]->log().toStdString();
    for (int i = 0; i < sites.size(); ++i)
        sims.push_back(startRadarsim(radars[i], packets, dir_.filePath(sites[i] + ".pcap")));
    for (const auto& sim : sims)
        ASSERT_TRUE(finished(*sim));
    for (int i = 0; i < sites.size(); ++i)
        EXPECT_TRUE(waitOn(subscriber, radars[i].topic(sites[i], "tracks"), [](const auto& t) {
            return t.size() == packets;
        })) << sites[i].toStdString();
}

// The last status of each radar that has one, online or not.
QMap<QByteArray, bool> lastOnline(const QVector<Message>& statuses)
{
    QMap<QByteArray, bool> online;
    for (const Message& m : statuses)
        online[m.topic] = m.payload.contains("\"online\":true");
    return online;
}

// The first lines of a long log.
std::string firstLines(const QString& log, int lines = 20)
{
    return log.section(QLatin1Char('\n'), 0, lines - 1).toStdString();
}

// Polls messages() until done holds or timeoutMs pass: for many messages,
// where looking at every one on each arrival would take long.
bool pollUntil(const MqttSubscriber& subscriber,
               const std::function<bool(const QVector<Message>&)>& done, int timeoutMs)
{
    constexpr int pollMs = 200;
    for (int waited = 0; waited < timeoutMs; waited += pollMs) {
        if (done(subscriber.messages()))
            return true;
        QThread::msleep(pollMs);
    }
    return done(subscriber.messages());
}

// Every radar of a large site keeps a broker connection of its own, with its
// own last will, whatever the process's soft limit of open files.
TEST_F(TrackdTest, ServesOverAThousandRadarsFromUnderASoftLimitOf1024OpenFiles)
{
    constexpr int radarCount = 1100;
    constexpr int ports = 4;
    constexpr int perRound = 100; // packets sent before waiting for their tracks
    constexpr int manyMs = 45000; // for all radars at once, on a loaded host
    // trackd needs three descriptors a radar, the broker one: both start
    // from this process's limit, raised to the hard one.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < rlim_t(4 * radarCount))
        GTEST_SKIP() << "the hard limit of open files, " << limit.rlim_max << ", is too low";
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    MosquittoBroker broker(dir_.path(), QStringLiteral("broker"));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    MqttSubscriber statuses(broker.port(), "trklib/big/+/status");
    MqttSubscriber tracks(broker.port(), "trklib/big/+/tracks");
    ASSERT_TRUE(statuses.waitSubscribed(waitMs) && tracks.waitSubscribed(waitMs));

    quint16 port[ports];
    for (quint16& p : port)
        p = freeUdpPort();
    QString config = siteConfig(QStringLiteral("big"), broker.port(), {}, {});
    QVector<QHostAddress> sources;
    for (int i = 0; i < radarCount; ++i) {
        sources.append(QHostAddress(QStringLiteral("127.1.%1.%2").arg(i / 250).arg(2 + i % 250)));
        config += QStringLiteral("[radar.r%1]\nport = %2\nradar_address = %3\n")
                      .arg(i)
                      .arg(port[i % ports])
                      .arg(sources.last().toString());
    }
    Trackd trackd(dir_.path(), QStringLiteral("trackd"), config, 1024);

    const auto allOnline = [](const QVector<Message>& all) {
        const QMap<QByteArray, bool> online = lastOnline(all);
        return online.size() == radarCount &&
               std::all_of(online.begin(), online.end(), [](bool on) { return on; });
    };
    ASSERT_TRUE(pollUntil(statuses, allOnline, manyMs))
        << lastOnline(statuses.messages()).size() << " radars have a status; "
        << firstLines(trackd.log());
    EXPECT_TRUE(trackd.linesWith(QStringLiteral("open files")).isEmpty())
        << firstLines(trackd.log());

    // A packet from every radar, and from each its tracks.
    for (int first = 0; first < radarCount; first += perRound) {
        const int last = std::min(first + perRound, radarCount);
        for (int i = first; i < last; ++i) {
            UdpSender radar(sources[i], QHostAddress::LocalHost, port[i % ports]);
            ASSERT_TRUE(radar.sendPacket(patternedPacket(startMs, i))) << i;
        }
        ASSERT_TRUE(pollUntil(
            tracks, [&](const QVector<Message>& all) { return all.size() >= last; }, waitMs))
            << tracks.messages().size() << " tracks messages for " << last << " packets";
    }
    QSet<QByteArray> tracked;
    for (const Message& m : tracks.messages())
        tracked.insert(m.topic);
    EXPECT_EQ(tracked.size(), radarCount);

    // What the broker keeps once trackd is gone: every radar offline.
    EXPECT_EQ(trackd.stop(), 0) << firstLines(trackd.log());
    MqttSubscriber retained(broker.port(), "trklib/big/+/status");
    const auto allOffline = [](const QVector<Message>& all) {
        const QMap<QByteArray, bool> online = lastOnline(all);
        return online.size() == radarCount &&
               std::none_of(online.begin(), online.end(), [](bool on) { return on; });
    };
    EXPECT_TRUE(pollUntil(retained, allOffline, manyMs))
        << lastOnline(retained.messages()).size() << " retained statuses";
    EXPECT_TRUE(trackd.linesWith(QStringLiteral("stopping without the broker")).isEmpty());
}

TEST_F(TrackdTest, BadConfigurationsGiveOneClearLine)
{
    const QByteArray good = "[site]\nname = s\n[broker]\nclient_id = c\n[radar.a]\nport = %1\n";
    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(QHostAddress(QHostAddress::Any), 0));
    ASSERT_TRUE(writeFile(path("pw"), "secret\n"));
    ASSERT_TRUE(QFile::setPermissions(path("pw"), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ReadGroup | QFile::ReadOther));
    const struct
    {
        const char* what;
        const char* option;
        QByteArray text;
        int exitCode;
        const char* line; // what stderr says, after the file's name; %D: the folder
    } cases[]{
        {"good", "--check-config", good, 0, nullptr},
        {"a password file others read", "--check-config",
         "[site]\nname = s\n[broker]\nclient_id = c\nusername = u\npassword_file = pw\n"
         "[radar.a]\n",
         0, ":6: [broker] password_file: %D/pw is readable by others (mode 0644): chmod o-r it"},
        {"a NUL byte", "--check-config",
         QByteArray("[site]\nname = s\0t\n", 18) + "[broker]\nclient_id = c\n[radar.a]\n", 2,
         ":2: [site] name: a control character (U+0000) in column 9"},
        {"far away", "--check-config", good + "x = 1e20\n", 2,
         ":7: [radar.a] x: '1e20' is not a number of metres from -100000 to 100000"},
        {"missing key", "--check-config", "[site]\n[broker]\nclient_id = c\n[radar.a]\n", 2,
         ":1: [site] name: missing"},
        {"bad address", "--check-config", good + "radar_address = 192.168.1\n", 2,
         ":7: [radar.a] radar_address: '192.168.1' is not an IPv4 or IPv6 address"},
        {"an ASTERIX destination without a port", "--check-config",
         good + "sic = 1\n[asterix]\nsac = 1\ncat010 = 239.1.2.3\n", 2,
         ":10: [asterix] cat010: '239.1.2.3' has no port: give address:port"},
        {"duplicate radar", "--check-config", good + "[radar.a]\n", 2,
         ":7: [radar.a]: a second section of this name (the first is at line 5)"},
        {"port already taken", "--config", good, 2,
         ":5: [radar.a] port: cannot listen on every interface port %1: address already in use"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString file = path("site.conf");
        const QByteArray port = QByteArray::number(taken.localPort());
        ASSERT_TRUE(writeFile(file, QByteArray(c.text).replace("%1", port)));
        const ProgramRun run = runProgram(QStringLiteral(TRACKD_PATH), {c.option, file});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        if (c.exitCode == 0) {
            EXPECT_TRUE(run.out.contains("site s, 1 radar")) << run.out.toStdString();
        }
        if (!c.line) {
            EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
            continue;
        }
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        const QByteArray line =
            QByteArray(c.line).replace("%1", port).replace("%D", dir_.path().toUtf8());
        EXPECT_TRUE(run.err.startsWith("trackd: " + file.toUtf8() + line)) << run.err.toStdString();
    }
    // The example that the package installs is good as it stands.
    const ProgramRun example =
        runProgram(QStringLiteral(TRACKD_PATH),
                   {QStringLiteral("--check-config"), QStringLiteral(TRACKD_EXAMPLE)});
    EXPECT_EQ(example.exitCode, 0) << example.err.toStdString();
    EXPECT_TRUE(example.out.contains("2 radars")) << example.out.toStdString();

    const ProgramRun noFile = runProgram(QStringLiteral(TRACKD_PATH), {});
    EXPECT_EQ(noFile.exitCode, 2);
    EXPECT_TRUE(noFile.err.startsWith("trackd: --config FILE is needed\nUsage:"));
}

} // namespace
} // namespace trklib::test

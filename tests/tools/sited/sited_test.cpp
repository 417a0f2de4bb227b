// sited run as a user runs it: on a locked-down mosquitto broker of the
// test's own (the shipped ACL, a user for each program), fed tracks
// messages of two radars as trackd publishes them.

#include "support/asterixdecode.h"
#include "support/mosquittobroker.h"
#include "support/mqttsubscriber.h"
#include "support/postgresserver.h"
#include "support/programrun.h"
#include "tools/common/encoders/asterix.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QXmlStreamReader>

#include <gtest/gtest.h>
#include <httplib.h>

#include <mosquitto.h>

#include <array>
#include <cmath>
#include <csignal>
#include <map>

namespace trklib::test {
namespace {

using Message = MqttSubscriber::Message;

constexpr int waitMs = 15000; // for anything a test waits for
const QByteArray statusTopic = "trklib/cross/site/status";
const QByteArray pictureTopic = "trklib/cross/site/tracks";
const QByteArray eventsTopic = "trklib/cross/events";
// The site's origin, and degrees per metre north and east there.
constexpr double originLat = 48.1;
constexpr double originLon = 11.5;
constexpr double latPerM = 1.0 / 111200.0;
constexpr double lonPerM = 1.0 / 74300.0;

QJsonObject json(const QByteArray& payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// A client that publishes as trackd does, logged in as given.
class Publisher
{
public:
    Publisher(quint16 port, const QByteArray& user, const QByteArray& password)
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, nullptr);
        mosquitto_username_pw_set(client_, user.constData(), password.constData());
        connected_ = mosquitto_connect(client_, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS &&
                     mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    }
    ~Publisher()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
        mosquitto_lib_cleanup();
    }
    bool connected() const { return connected_; }
    void publish(const QByteArray& topic, const QByteArray& payload)
    {
        mosquitto_publish(client_, nullptr, topic.constData(), payload.size(), payload.constData(),
                          1, false);
    }

private:
    mosquitto* client_ = nullptr;
    bool connected_ = false;
};

// A tracks message's target.
QJsonObject target(int number, double x, double y, double distanceM, double velocityKph)
{
    return QJsonObject{{"number", number},
                       {"elevation", -2.0},
                       {"azimuth", 1.0},
                       {"distance", distanceM},
                       {"velocity", velocityKph},
                       {"confirmed", true},
                       {"x", x},
                       {"y", y},
                       {"lat", 48.1},
                       {"lon", 11.5}};
}

QByteArray tracksMessage(const char* radar, const QJsonArray& targets)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return QJsonDocument(QJsonObject{{"site", "cross"},
                                     {"radar", radar},
                                     {"timestamp", double(now - 5000)},
                                     {"received", double(now)},
                                     {"targets", targets}})
        .toJson(QJsonDocument::Compact);
}

// radar's tracks message with one target at (x, y) on the site.
QByteArray tracks(const char* radar, int number, double x, double y)
{
    return tracksMessage(radar, {target(number, x, y, 50.0, -20.0)});
}

// Radar a's (at the origin, 0 m up) tracks of one target at (x, y) moving
// east at speedKph, as far from it as the point is.
QByteArray movingEast(int number, double x, double y, double speedKph)
{
    const double distanceM = std::hypot(x, y);
    return tracksMessage("a", {target(number, x, y, distanceM, speedKph * x / distanceM)});
}

// The last of the messages on topic; empty when there is none.
QJsonObject last(const QVector<Message>& messages, const QByteArray& topic)
{
    for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
        if (m->topic == topic)
            return json(m->payload);
    }
    return {};
}

// A wait for the site's last status to be online or not.
auto statusIs(bool online)
{
    return [online](const QVector<Message>& all) {
        const QJsonValue value = last(all, statusTopic).value(QLatin1String("online"));
        return value.isBool() && value.toBool() == online;
    };
}

class SitedTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        // The shipped ACL for site "cross", and a password for each user.
        QByteArray acl = fileContents(QStringLiteral(ACL_EXAMPLE));
        ASSERT_TRUE(acl.contains("trklib/crossroads/"));
        writeFile(path("broker.acl"), acl.replace("trklib/crossroads/", "trklib/cross/"));
        writeFile(path("passwd"), "trackd:td\nsited:sd\nviewer:vw\n");
        const ProgramRun hash =
            runProgram(QStringLiteral("mosquitto_passwd"), {"-U", path("passwd")});
        ASSERT_EQ(hash.exitCode, 0) << hash.err.toStdString();
        // sited's password in a file of its own; trackd's too, which sited
        // must not use: as trackd it could not publish the picture.
        writeFile(path("sited.password"), "sd\n");
        writeFile(path("trackd.password"), "td\n");
        for (const char* file : {"sited.password", "trackd.password"})
            QFile::setPermissions(path(file), QFile::ReadOwner | QFile::WriteOwner);
        broker_ = std::make_unique<MosquittoBroker>(
            dir_.path(), QStringLiteral("broker"),
            QStringLiteral("allow_anonymous false\npassword_file %1\nacl_file %2\n")
                .arg(path("passwd"), path("broker.acl")));
        ASSERT_TRUE(broker_->start()) << broker_->log().toStdString();
        // The history in cross.sqlite beside the site file (the default),
        // the API on a free port.
        apiPort_ = freeTcpPort();
        writeFile(path("site.conf"),
                  QStringLiteral("[site]\nname = cross\nlatitude = 48.1\nlongitude = 11.5\n"
                                 "altitude = 500\n[fusion]\nrate = 20\n"
                                 "[broker]\nport = %1\nclient_id = td\nusername = trackd\n"
                                 "password_file = trackd.password\nsited_username = sited\n"
                                 "sited_password_file = sited.password\n"
                                 "[http]\nlisten = 127.0.0.1:%2\n"
                                 "[radar.a]\nport = 40001\n[radar.b]\nport = 40002\nx = 20\n")
                      .arg(broker_->port())
                      .arg(apiPort_)
                      .toUtf8());
    }

    QString path(const char* name) const { return QDir(dir_.path()).filePath(name); }

    // The site file with zones: "yard", a square of about 60 m about the
    // origin whose enter raises an alarm, and "gate", a line about 45 m east
    // of it, drawn north, whose crossing does.
    void addZones()
    {
        const auto at = [](double xM, double yM) {
            return QStringLiteral("[%1,%2]")
                .arg(originLon + xM * lonPerM, 0, 'f', 8)
                .arg(originLat + yM * latPerM, 0, 'f', 8);
        };
        writeFile(
            path("zones.geojson"),
            QStringLiteral(
                "{\"type\":\"FeatureCollection\",\"features\":["
                "{\"type\":\"Feature\",\"properties\":{\"name\":\"yard\",\"alarm\":[\"enter\"]},"
                "\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[%1,%2,%3,%4,%1]]}},"
                "{\"type\":\"Feature\",\"properties\":{\"name\":\"gate\",\"alarm\":[\"cross\"]},"
                "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[%5,%6]}}]}")
                .arg(at(-30, -30), at(30, -30), at(30, 30), at(-30, 30), at(45, -20), at(45, 20))
                .toUtf8());
        QByteArray site = fileContents(path("site.conf"));
        site.append("[zones]\nfile = zones.geojson\n");
        writeFile(path("site.conf"), site);
    }

    // sited on the site file, its standard error in name.log.
    std::unique_ptr<QProcess> startSited(const char* name, const char* config = "site.conf")
    {
        auto process = std::make_unique<QProcess>();
        process->setStandardErrorFile(path(name));
        process->start(QStringLiteral(SITED_PATH), {"--config", path(config)});
        process->waitForStarted();
        return process;
    }

    QString log(const char* name) const { return QString::fromUtf8(fileContents(path(name))); }

    // sited's API answer to GET target; status 0 when it did not answer.
    QJsonObject api(const std::string& target, int* status = nullptr) const
    {
        httplib::Client client("127.0.0.1", apiPort_);
        const httplib::Result r = client.Get(target);
        if (status)
            *status = r ? r->status : 0;
        return r ? json(QByteArray::fromStdString(r->body)) : QJsonObject();
    }

    QTemporaryDir dir_;
    std::unique_ptr<MosquittoBroker> broker_;
    quint16 apiPort_ = 0;
};

// Both radars' tracks in, pictures and the status out, a bad message and
// one of a radar the site does not have dropped; SIGTERM leaves the status
// offline, retained.
TEST_F(SitedTest, FusesTheRadarsTracksAndGoesOfflineOnSigterm)
{
    MqttSubscriber site(broker_->port(), "trklib/cross/site/#", {"viewer", "vw", {}, {}});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("sited.log");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("sited.log").toStdString();
    const QJsonObject first = json(site.messagesOn(statusTopic).first().payload);
    EXPECT_EQ(first.value(QLatin1String("radars")).toObject(),
              (QJsonObject{{"a", QJsonValue::Null}, {"b", QJsonValue::Null}}))
        << "no radar has sent yet";

    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    trackd.publish("trklib/cross/a/tracks", "{\"site\":\"cross\",\"radar\":\"a\"}");
    trackd.publish("trklib/cross/c/tracks", tracks("c", 1, 0.0, 0.0));
    constexpr int messages = 20;
    for (int i = 0; i < messages; ++i) {
        trackd.publish("trklib/cross/a/tracks", tracks("a", 3, 10.0 + 0.2 * i, 5.0));
        trackd.publish("trklib/cross/b/tracks", tracks("b", 9, 10.0 + 0.2 * i, 5.2));
        QThread::msleep(50);
    }

    // A picture that holds both radars' tracks.
    const auto joined = [](const QJsonObject& picture) {
        QSet<QString> seen;
        for (const QJsonValue object : picture.value(QLatin1String("objects")).toArray()) {
            for (const QJsonValue radar : object[QLatin1String("radars")].toArray())
                seen << QStringLiteral("%1 %2")
                            .arg(radar[QLatin1String("radar")].toString())
                            .arg(radar[QLatin1String("number")].toInt());
        }
        return seen == QSet<QString>{QStringLiteral("a 3"), QStringLiteral("b 9")};
    };
    ASSERT_TRUE(site.waitFor(
        [&](const QVector<Message>& all) {
            return std::any_of(all.begin(), all.end(), [&](const Message& m) {
                return m.topic == pictureTopic && joined(json(m.payload));
            });
        },
        waitMs))
        << log("sited.log").toStdString();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const Message& m : site.messagesOn(pictureTopic)) {
        const QJsonObject picture = json(m.payload);
        ASSERT_EQ(picture.value(QLatin1String("site")), QLatin1String("cross"));
        ASSERT_LT(std::abs(picture.value(QLatin1String("time")).toDouble() - now), 60000.0)
            << "the host's clock";
        for (const QJsonValue object : picture.value(QLatin1String("objects")).toArray())
            ASSERT_TRUE(object[QLatin1String("lat")].isDouble()) << "the site has an origin";
    }
    // A status that has seen both.
    ASSERT_TRUE(site.waitFor(
        [&](const QVector<Message>& all) {
            const QJsonObject status = last(all, statusTopic);
            const QJsonObject radars = status.value(QLatin1String("radars")).toObject();
            return radars.value(QLatin1String("a")).toDouble(-1) >= 0 &&
                   radars.value(QLatin1String("b")).toDouble(-1) >= 0 &&
                   status.value(QLatin1String("objects")).toInt() >= 1 &&
                   status.value(QLatin1String("pictures")).toInt() >= 1 &&
                   status.value(QLatin1String("lateMessages")).isDouble();
        },
        waitMs))
        << site.messagesOn(statusTopic).last().payload.toStdString();
    EXPECT_EQ(sited->state(), QProcess::Running);

    sited->terminate();
    ASSERT_TRUE(sited->waitForFinished(waitMs));
    EXPECT_EQ(sited->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sited->exitCode(), 0);
    EXPECT_TRUE(site.waitFor(statusIs(false), waitMs));
    const QString sitedLog = log("sited.log");
    EXPECT_TRUE(sitedLog.contains(QLatin1String(" dropped (the last: "))) << sitedLog.toStdString();
    EXPECT_FALSE(sitedLog.contains(QLatin1String("stopping without the broker")));

    // Retained: a viewer that comes later is told too.
    MqttSubscriber later(broker_->port(), statusTopic, {"viewer", "vw", {}, {}});
    EXPECT_TRUE(later.waitFor(statusIs(false), waitMs));
    EXPECT_TRUE(later.messagesOn(statusTopic).last().retained);
}

// Killed without a word, sited leaves its last will: the status offline.
TEST_F(SitedTest, LastWillWhenKilled)
{
    MqttSubscriber site(broker_->port(), statusTopic, {"viewer", "vw", {}, {}});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("killed.log");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("killed.log").toStdString();
    sited->kill();
    sited->waitForFinished();
    EXPECT_TRUE(site.waitFor(statusIs(false), waitMs));
    EXPECT_EQ(json(site.messagesOn(statusTopic).last().payload), (QJsonObject{{"online", false}}));
}

// A broker that restarts has lost the subscription and the retained
// status: sited connects again, subscribes again and publishes both anew.
TEST_F(SitedTest, ComesBackWhenTheBrokerRestarts)
{
    const std::unique_ptr<QProcess> sited = startSited("restart.log");
    {
        MqttSubscriber site(broker_->port(), statusTopic, {"viewer", "vw", {}, {}});
        ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("restart.log").toStdString();
    }
    broker_->stop();
    ASSERT_TRUE(broker_->start()) << broker_->log().toStdString();
    MqttSubscriber site(broker_->port(), "trklib/cross/site/#", {"viewer", "vw", {}, {}});
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("restart.log").toStdString();
    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    const auto tracked = [](const QVector<Message>& all) {
        return std::any_of(all.begin(), all.end(), [](const Message& m) {
            return m.topic == pictureTopic &&
                   !json(m.payload)[QLatin1String("objects")].toArray().isEmpty();
        });
    };
    for (int i = 0; i < 100 && !site.waitFor(tracked, 100); ++i)
        trackd.publish("trklib/cross/a/tracks", tracks("a", 3, 10.0, 5.0));
    EXPECT_TRUE(site.waitFor(tracked, 0)) << log("restart.log").toStdString();
    EXPECT_TRUE(log("restart.log").contains(QLatin1String("lost the broker")));
    EXPECT_TRUE(log("restart.log").contains(QLatin1String("connected to the broker")));
}

// A UDP receiver on a free loopback port.
struct Receiver
{
    QUdpSocket socket;
    QVector<QByteArray> datagrams;

    bool bind() { return socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    void drain(int waitMs = 0)
    {
        if (waitMs > 0 && !socket.hasPendingDatagrams())
            socket.waitForReadyRead(waitMs);
        while (socket.hasPendingDatagrams()) {
            QByteArray d(int(socket.pendingDatagramSize()), Qt::Uninitialized);
            d.resize(int(socket.readDatagram(d.data(), d.size())));
            datagrams.append(d);
        }
    }
};

// The attributes of every element of a CoT event, by element name.
QHash<QString, QXmlStreamAttributes> cotElements(const QByteArray& xml)
{
    QHash<QString, QXmlStreamAttributes> elements;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement)
            elements.insert(reader.name().toString(), reader.attributes());
    }
    return elements;
}

qint64 cotTime(const QXmlStreamAttributes& event, const char* name)
{
    return QDateTime::fromString(event.value(QLatin1String(name)).toString(), Qt::ISODateWithMs)
        .toMSecsSinceEpoch();
}

// One object of radar a moves east and stops being reported: every
// picture's objects go out as CAT062 records that Wireshark decodes to the
// picture's values (to one LSB, no warnings) and as CoT events, valid by
// the event schema, at the picture's places and at most [cot] rate rounds
// a second; the dropped object's track ends in both.
TEST_F(SitedTest, SendsEveryPictureAsAsterixAndCursorOnTarget)
{
    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (tsharkProgram().isEmpty() || xmllint.isEmpty())
        GTEST_SKIP() << "tshark or xmllint is not installed (scripts/lib/deps.sh installs both)";
    Receiver asterix, cot;
    ASSERT_TRUE(asterix.bind() && cot.bind());
    constexpr qint64 coastMs = 500;
    constexpr double cotRatePerS = 2.0;
    QByteArray conf = fileContents(path("site.conf"));
    conf.replace("rate = 20\n", "rate = 20\ncoast = 0.5\n");
    conf += QStringLiteral("[asterix]\nsac = 25\nsic_site = 7\ncat062 = 127.0.0.1:%1\n"
                           "[cot]\ndestination = 127.0.0.1:%2\nrate = %3\n")
                .arg(asterix.socket.localPort())
                .arg(cot.socket.localPort())
                .arg(cotRatePerS)
                .toUtf8();
    writeFile(path("outputs.conf"), conf);

    MqttSubscriber site(broker_->port(), "trklib/cross/site/#", {"viewer", "vw", {}, {}});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("outputs.log", "outputs.conf");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("outputs.log").toStdString();
    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    for (int i = 0; i < 30; ++i) {
        trackd.publish("trklib/cross/a/tracks", tracks("a", 3, -10.0 + 0.5 * i, -5.0));
        QThread::msleep(50);
    }
    // Until the object's last CoT event, stale at once, has come.
    const auto ended = [](const QByteArray& xml) {
        const QXmlStreamAttributes event = cotElements(xml).value(QStringLiteral("event"));
        return cotTime(event, "stale") == cotTime(event, "time");
    };
    for (int i = 0; i < 100 && std::none_of(cot.datagrams.begin(), cot.datagrams.end(), ended); ++i)
        cot.drain(100);
    asterix.drain(100);
    sited->terminate();
    ASSERT_TRUE(sited->waitForFinished(waitMs));
    EXPECT_EQ(sited->exitCode(), 0) << log("outputs.log").toStdString();
    asterix.drain();
    cot.drain();
    ASSERT_TRUE(std::any_of(cot.datagrams.begin(), cot.datagrams.end(), ended))
        << log("outputs.log").toStdString();

    // The pictures' objects by time and id; the last time one was seen.
    std::map<qint64, std::map<qint64, QJsonObject>> pictures;
    int objects = 0;
    qint64 lastSeenMs = 0;
    for (const Message& m : site.messagesOn(pictureTopic)) {
        const QJsonObject picture = json(m.payload);
        const qint64 timeMs = qint64(picture.value(QLatin1String("time")).toDouble());
        for (const QJsonValue o : picture.value(QLatin1String("objects")).toArray()) {
            pictures[timeMs][o[QLatin1String("id")].toInt()] = o.toObject();
            lastSeenMs = timeMs;
            ++objects;
        }
    }
    ASSERT_GT(objects, 0);

    // CAT062: one record per object of each picture, then the track's end.
    using trklib::encoders::asterix::FieldId;
    const struct
    {
        const char* name;
        FieldId id;
        const char* key; // in the picture
    } fields[]{{"asterix.062_100_X", FieldId::Cat062X, "x"},
               {"asterix.062_100_Y", FieldId::Cat062Y, "y"},
               {"asterix.062_185_VX", FieldId::Cat062Vx, "vx"},
               {"asterix.062_185_VY", FieldId::Cat062Vy, "vy"},
               {"asterix.062_105_LAT", FieldId::Cat062Latitude, "lat"},
               {"asterix.062_105_LON", FieldId::Cat062Longitude, "lon"}};
    QStringList names{"asterix.062_010_SAC",   "asterix.062_010_SIC", "asterix.062_070_VALUE",
                      "asterix.062_040_VALUE", "asterix.062_080_CNF", "asterix.062_080_TSE",
                      "asterix.062_080_MON"};
    for (const auto& f : fields)
        names << QLatin1String(f.name);
    QVector<AsterixRecord> records;
    QString error;
    ASSERT_TRUE(decodeAsterix(path("cat062.pcap"), asterix.datagrams, 8600, names, records, error))
        << error.toStdString();
    ASSERT_EQ(records.size(), objects + 1) << "every object of every picture, and one end";
    for (int r = 0; r < records.size(); ++r) {
        const AsterixRecord& record = records[r];
        SCOPED_TRACE("record " + std::to_string(r));
        EXPECT_EQ(record.value("_ws.expert"), QString()) << "no dissector warnings";
        EXPECT_EQ(record.value("asterix.062_010_SAC").toInt(nullptr, 0), 25);
        EXPECT_EQ(record.value("asterix.062_010_SIC").toInt(nullptr, 0), 7);
        // The picture whose time of day is within one LSB of the record's.
        const double timeLsb = trklib::encoders::asterix::field(FieldId::Cat062TimeOfDay).lsb;
        const double seconds = record.value("asterix.062_070_VALUE").toDouble();
        const auto picture = std::find_if(pictures.begin(), pictures.end(), [&](const auto& p) {
            return std::abs(trklib::encoders::asterix::secondsOfDay(p.first) - seconds) <= timeLsb;
        });
        ASSERT_NE(picture, pictures.end()) << seconds;
        const int id = record.value("asterix.062_040_VALUE").toInt(nullptr, 0);
        ASSERT_EQ(picture->second.count(id), 1u) << "object " << id;
        const QJsonObject& o = picture->second.at(id);
        const bool last = r == records.size() - 1;
        const QString end = record.value("asterix.062_080_TSE");
        EXPECT_EQ(end.isEmpty() ? 0 : end.toInt(nullptr, 0), last ? 1 : 0) << "TSE";
        if (last) {
            EXPECT_EQ(picture->first, lastSeenMs) << "the end repeats the object's last state";
        }
        EXPECT_EQ(record.value("asterix.062_080_CNF").toInt(nullptr, 0),
                  o[QLatin1String("confirmed")].toBool() ? 0 : 1);
        EXPECT_EQ(record.value("asterix.062_080_MON").toInt(nullptr, 0), 1)
            << "monosensor: radar a's tracks alone";
        for (const auto& f : fields)
            EXPECT_LE(
                std::abs(record.value(f.name).toDouble() - o[QLatin1String(f.key)].toDouble()),
                trklib::encoders::asterix::field(f.id).lsb)
                << f.name;
    }

    // CoT: valid events at the pictures' places, rounds at most rate a second.
    QStringList files{"--noout", "--schema", QStringLiteral(COT_SCHEMA)};
    for (int i = 0; i < cot.datagrams.size(); ++i) {
        files << path("cot") + QString::number(i) + QStringLiteral(".xml");
        writeFile(files.last(), cot.datagrams[i]);
    }
    const ProgramRun valid = runProgram(xmllint, files);
    EXPECT_EQ(valid.exitCode, 0) << valid.err.toStdString();
    qint64 previousRoundMs = 0;
    for (int i = 0; i < cot.datagrams.size(); ++i) {
        SCOPED_TRACE(cot.datagrams[i].toStdString());
        const auto elements = cotElements(cot.datagrams[i]);
        const QXmlStreamAttributes event = elements.value(QStringLiteral("event"));
        const qint64 timeMs = cotTime(event, "time");
        ASSERT_EQ(pictures.count(timeMs), 1u) << "a picture's time";
        const QString uid = event.value(QLatin1String("uid")).toString();
        ASSERT_TRUE(uid.startsWith(QLatin1String("trklib-cross-")));
        const qint64 id = uid.mid(13).toLongLong();
        ASSERT_EQ(pictures.at(timeMs).count(id), 1u);
        const QJsonObject& o = pictures.at(timeMs).at(id);
        const bool last = i == cot.datagrams.size() - 1;
        EXPECT_EQ(cotTime(event, "stale") - timeMs, last ? 0 : coastMs);
        const QXmlStreamAttributes point = elements.value(QStringLiteral("point"));
        EXPECT_NEAR(point.value(QLatin1String("lat")).toDouble(),
                    o[QLatin1String("lat")].toDouble(), 1e-8);
        EXPECT_NEAR(point.value(QLatin1String("lon")).toDouble(),
                    o[QLatin1String("lon")].toDouble(), 1e-8);
        EXPECT_EQ(point.value(QLatin1String("hae")).toDouble(), 500.0) << "the site's ground";
        const double ce = point.value(QLatin1String("ce")).toDouble();
        EXPECT_GT(ce, 0.0);
        EXPECT_LT(ce, 100.0) << "the filter's, not unknown";
        if (timeMs != previousRoundMs && !last) {
            EXPECT_GE(timeMs - previousRoundMs, qint64(1000 / cotRatePerS));
            previousRoundMs = timeMs;
        }
    }
}

// An object walks out of the yard and across the gate: its events come at
// QoS 1, in order, and each as a CoT alarm at once (not held to [cot]
// rate); the zones and each zone's state stay retained. CAT062 goes to a
// port nobody listens on: the status counts its dropped datagrams.
TEST_F(SitedTest, EventsAtQos1AsCotAlarmsAndZonesRetained)
{
    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (xmllint.isEmpty())
        GTEST_SKIP() << "xmllint is not installed (scripts/lib/deps.sh installs libxml2-utils)";
    addZones();
    Receiver cot, closed;
    ASSERT_TRUE(cot.bind() && closed.bind());
    const quint16 closedPort = closed.socket.localPort();
    closed.socket.close();
    writeFile(path("site.conf"),
              fileContents(path("site.conf")) +
                  QStringLiteral("[asterix]\nsac = 25\nsic_site = 7\ncat062 = 127.0.0.1:%1\n"
                                 "[cot]\ndestination = 127.0.0.1:%2\nrate = 0.1\n")
                      .arg(closedPort)
                      .arg(cot.socket.localPort())
                      .toUtf8());
    MqttSubscriber site(broker_->port(), "trklib/cross/#", {"viewer", "vw", {}, "viewer-events"});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("events.log");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("events.log").toStdString();
    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    for (int x = 10; x <= 60; ++x) {
        trackd.publish("trklib/cross/a/tracks", movingEast(3, x, 5.0, 72.0));
        QThread::msleep(50);
    }
    const auto kinds = [](const QVector<Message>& all) {
        QStringList seen;
        for (const Message& m : all) {
            if (m.topic == eventsTopic)
                seen << json(m.payload)[QLatin1String("event")].toString() + ' ' +
                            json(m.payload)[QLatin1String("zone")].toString();
        }
        return seen;
    };
    const auto all3 = [&](const QVector<Message>& all) {
        const QStringList seen = kinds(all);
        return seen.contains("enter yard") && seen.contains("exit yard") &&
               seen.contains("cross gate");
    };
    ASSERT_TRUE(site.waitFor(all3, waitMs))
        << kinds(site.messages()).join(", ").toStdString() << log("events.log").toStdString();
    for (const Message& m : site.messagesOn(eventsTopic)) {
        EXPECT_EQ(m.qos, 1);
        EXPECT_FALSE(m.retained);
        EXPECT_EQ(json(m.payload)[QLatin1String("site")], QLatin1String("cross"));
    }
    const auto dropsCounted = [](const QVector<Message>& all) {
        return last(all, statusTopic)[QLatin1String("outputDropped")].toInt() > 0;
    };
    EXPECT_TRUE(site.waitFor(dropsCounted, waitMs)) << "CAT062 to a closed port";
    EXPECT_EQ(last(site.messages(), statusTopic)[QLatin1String("asterixClamped")], QJsonValue(0));
    // Each alarm's raise at QoS 1 on the changes, and both open, retained.
    const auto raised = [&](const QVector<Message>& all) {
        QStringList seen;
        for (const Message& m : all) {
            const QJsonObject c = json(m.payload);
            if (m.topic == "trklib/cross/alarms/changes" && m.qos == 1 &&
                c[QLatin1String("action")] == QLatin1String("raise"))
                seen << c[QLatin1String("event")].toString() + ' ' +
                            c[QLatin1String("zone")].toString();
        }
        return seen;
    };
    const auto bothRaised = [&](const QVector<Message>& all) {
        const QStringList seen = raised(all);
        return seen.contains("enter yard") && seen.contains("cross gate");
    };
    EXPECT_TRUE(site.waitFor(bothRaised, waitMs))
        << raised(site.messages()).join(", ").toStdString();
    EXPECT_FALSE(raised(site.messages()).contains("exit yard")) << "exit raises no alarm here";
    sited->terminate();
    ASSERT_TRUE(sited->waitForFinished(waitMs));
    EXPECT_FALSE(log("events.log").contains(QLatin1String("has not taken")))
        << "every event acknowledged: " << log("events.log").toStdString();

    MqttSubscriber later(broker_->port(), "trklib/cross/zones/#", {"viewer", "vw", {}, {}});
    const auto retained = [&](const QByteArray& topic) {
        return [topic](const QVector<Message>& all) {
            return std::any_of(all.begin(), all.end(),
                               [&](const Message& m) { return m.topic == topic && m.retained; });
        };
    };
    for (const QByteArray topic :
         {"trklib/cross/zones", "trklib/cross/zones/yard", "trklib/cross/zones/gate"})
        ASSERT_TRUE(later.waitFor(retained(topic), waitMs)) << topic.constData();
    MqttSubscriber open(broker_->port(), "trklib/cross/alarms", {"viewer", "vw", {}, {}});
    ASSERT_TRUE(open.waitFor(retained("trklib/cross/alarms"), waitMs));
    QStringList openAlarms;
    for (const QJsonValue a :
         last(open.messages(), "trklib/cross/alarms")[QLatin1String("alarms")].toArray())
        openAlarms << a[QLatin1String("zone")].toString() + ' ' +
                          a[QLatin1String("state")].toString();
    EXPECT_EQ(openAlarms.filter("yard raised").size(), raised(site.messages()).count("enter yard"));
    EXPECT_EQ(openAlarms.filter("gate raised").size(), raised(site.messages()).count("cross gate"));
    const QJsonArray zones =
        last(later.messages(), "trklib/cross/zones")[QLatin1String("zones")].toArray();
    ASSERT_EQ(zones.size(), 2);
    EXPECT_EQ(zones[1][QLatin1String("kind")], QLatin1String("line"));
    // The states count what the events said.
    const QStringList seen = kinds(site.messages());
    const QJsonObject yard = last(later.messages(), "trklib/cross/zones/yard");
    EXPECT_EQ(yard[QLatin1String("entered")].toInt(), seen.count("enter yard"));
    EXPECT_EQ(yard[QLatin1String("exited")].toInt(), seen.count("exit yard"));
    EXPECT_EQ(yard[QLatin1String("occupants")], QJsonValue(QJsonArray()));
    EXPECT_EQ(yard[QLatin1String("armed")], QJsonValue(true)) << "no schedule: always armed";
    const QJsonObject crossings =
        last(later.messages(), "trklib/cross/zones/gate")[QLatin1String("crossings")].toObject();
    EXPECT_EQ(crossings[QLatin1String("left")].toInt() + crossings[QLatin1String("right")].toInt(),
              seen.count("cross gate"));

    // One valid CoT alarm per event, at its place, with its fields.
    cot.drain(100);
    QHash<QString, QByteArray> alarms; // by uid
    QStringList files{"--noout", "--schema", QStringLiteral(COT_SCHEMA)};
    for (const QByteArray& xml : qAsConst(cot.datagrams)) {
        const QXmlStreamAttributes event = cotElements(xml).value(QStringLiteral("event"));
        if (event.value(QLatin1String("type")) != QLatin1String("b-a-g"))
            continue;
        alarms.insert(event.value(QLatin1String("uid")).toString(), xml);
        files << path("alarm") + QString::number(alarms.size()) + QStringLiteral(".xml");
        writeFile(files.last(), xml);
    }
    const ProgramRun valid = runProgram(xmllint, files);
    EXPECT_EQ(valid.exitCode, 0) << valid.err.toStdString();
    const QVector<Message> events = site.messagesOn(eventsTopic);
    EXPECT_EQ(alarms.size(), events.size());
    for (const Message& m : events) {
        const QJsonObject e = json(m.payload);
        const QString kind = e[QLatin1String("event")].toString();
        const qint64 timeMs = qint64(e[QLatin1String("time")].toDouble());
        const QString uid = QStringLiteral("trklib-cross-event-%1-%2-%3-%4")
                                .arg(e[QLatin1String("zone")].toString())
                                .arg(e[QLatin1String("object")].toInt())
                                .arg(timeMs)
                                .arg(kind);
        SCOPED_TRACE(uid.toStdString());
        ASSERT_TRUE(alarms.contains(uid));
        const auto elements = cotElements(alarms.value(uid));
        const QXmlStreamAttributes event = elements.value(QStringLiteral("event"));
        EXPECT_EQ(cotTime(event, "time"), timeMs);
        EXPECT_EQ(cotTime(event, "stale") - timeMs, 300000) << "five minutes";
        const QXmlStreamAttributes point = elements.value(QStringLiteral("point"));
        EXPECT_NEAR(point.value(QLatin1String("lat")).toDouble(),
                    e[QLatin1String("lat")].toDouble(), 1e-8);
        EXPECT_NEAR(point.value(QLatin1String("lon")).toDouble(),
                    e[QLatin1String("lon")].toDouble(), 1e-8);
        const QXmlStreamAttributes fields = elements.value(QStringLiteral("trklib_event"));
        EXPECT_EQ(fields.value(QLatin1String("event")), kind);
        EXPECT_EQ(fields.value(QLatin1String("object")).toInt(),
                  e[QLatin1String("object")].toInt());
        EXPECT_EQ(fields.value(QLatin1String("direction")),
                  e[QLatin1String("direction")].toString());
        if (e.contains(QLatin1String("lost"))) {
            EXPECT_EQ(fields.value(QLatin1String("lost")), e[QLatin1String("lost")].toBool()
                                                               ? QLatin1String("true")
                                                               : QLatin1String("false"));
        }
    }
}

// The zones saved over the API apply with no restart: the zones message
// and a new zone's state come retained, an object entering the new zone
// raises its enter, a removed zone's state is cleared; an operator's disarm
// is in the zone's retained state with who did it.
TEST_F(SitedTest, ZonesSavedOverTheApiApplyWithoutARestart)
{
    addZones();
    writeFile(path("site.conf"),
              fileContents(path("site.conf")).replace("[http]\n", "[http]\nusers_file = users\n"));
    for (const char* who : {"ada admin", "otto operator"}) {
        const QStringList user = QString::fromLatin1(who).split(' ');
        QProcess add;
        add.start(QStringLiteral(SITED_PATH),
                  {"--config", path("site.conf"), "--add-user", user[0], user[1]});
        add.write(user[0].toUtf8() + "-password\n");
        add.closeWriteChannel();
        ASSERT_TRUE(add.waitForFinished(waitMs) && add.exitCode() == 0)
            << add.readAllStandardError().toStdString();
    }
    MqttSubscriber site(broker_->port(), "trklib/cross/#", {"viewer", "vw", {}, "viewer-edit"});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("edit.log");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("edit.log").toStdString();
    httplib::Client client("127.0.0.1", apiPort_);
    const auto cookieOf = [&client](const std::string& name) {
        const httplib::Result r = client.Post(
            "/api/login", "{\"name\":\"" + name + "\",\"password\":\"" + name + "-password\"}",
            "application/json");
        const std::string set = r ? r->get_header_value("Set-Cookie") : std::string();
        return set.substr(0, set.find(';'));
    };
    const httplib::Headers ada{{"Cookie", cookieOf("ada")}};
    const httplib::Headers otto{{"Cookie", cookieOf("otto")}};

    // The yard as it was, a shed about (100, 100) m, the gate gone.
    const httplib::Result file = client.Get("/api/zones/file", ada);
    ASSERT_TRUE(file && file->status == 200) << (file ? file->body : "no answer");
    QJsonObject geojson = json(QByteArray::fromStdString(file->body))["geojson"].toObject();
    QJsonArray features = geojson["features"].toArray();
    QJsonArray ring;
    for (const auto& [x, y] : {std::pair{90, 90}, {110, 90}, {110, 110}, {90, 110}, {90, 90}})
        ring.append(QJsonArray{originLon + x * lonPerM, originLat + y * latPerM});
    features[1] = QJsonObject{
        {"type", "Feature"},
        {"properties", QJsonObject{{"name", "shed"}}},
        {"geometry", QJsonObject{{"type", "Polygon"}, {"coordinates", QJsonArray{ring}}}}};
    geojson["features"] = features;
    const httplib::Result saved = client.Put(
        "/api/zones/file", ada,
        QJsonDocument(QJsonObject{{"base", 0}, {"geojson", geojson}}).toJson().toStdString(),
        "application/json");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->body, R"({"version":1,"applied":true})");
    const auto arrived = [](const QByteArray& topic, const QByteArray& payloadHas) {
        return [=](const QVector<Message>& all) {
            return std::any_of(all.begin(), all.end(), [&](const Message& m) {
                return m.topic == topic && (payloadHas.isEmpty() ? m.payload.isEmpty()
                                                                 : m.payload.contains(payloadHas));
            });
        };
    };
    EXPECT_TRUE(site.waitFor(arrived("trklib/cross/zones", "\"shed\""), waitMs));
    EXPECT_TRUE(site.waitFor(arrived("trklib/cross/zones/shed", "\"entered\":0"), waitMs));
    EXPECT_TRUE(site.waitFor(arrived("trklib/cross/zones/gate", ""), waitMs)) << "cleared";
    const httplib::Result zones = client.Get("/api/zones", ada);
    ASSERT_TRUE(zones);
    EXPECT_NE(zones->body.find("\"name\":\"shed\""), std::string::npos) << zones->body;

    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    for (int x = 80; x <= 100; ++x) {
        trackd.publish("trklib/cross/a/tracks", movingEast(4, x, 100.0, 36.0));
        QThread::msleep(50);
    }
    EXPECT_TRUE(site.waitFor(arrived(eventsTopic, "\"event\":\"enter\",\"zone\":\"shed\""), waitMs))
        << log("edit.log").toStdString();

    const httplib::Result disarmed =
        client.Post("/api/zones/shed/disarm", otto, "{\"minutes\":5}", "application/json");
    ASSERT_TRUE(disarmed);
    EXPECT_EQ(disarmed->status, 200) << disarmed->body;
    EXPECT_TRUE(site.waitFor(arrived("trklib/cross/zones/shed",
                                     "\"armed\":false,\"override\":{\"armed\":false,"
                                     "\"by\":\"otto\""),
                             waitMs));
    sited->terminate();
    ASSERT_TRUE(sited->waitForFinished(waitMs));
    EXPECT_TRUE(log("edit.log").contains(QLatin1String("zone shed: disarmed by otto until ")))
        << log("edit.log").toStdString();
}

// Objects end inside the yard while the broker is away: their exits wait
// in sited and reach a viewer's lasting session once the broker is back,
// each once, and none is counted dropped.
TEST_F(SitedTest, EventsWaitForTheBrokerAndComeOnce)
{
    addZones();
    // A broker that keeps the viewer's session across its restart.
    const QByteArray oldPort = "[broker]\nport = " + QByteArray::number(broker_->port());
    broker_.reset();
    broker_ = std::make_unique<MosquittoBroker>(
        dir_.path(), QStringLiteral("broker"),
        QStringLiteral("allow_anonymous false\npassword_file %1\nacl_file %2\n"
                       "persistence true\npersistence_location %3/\n")
            .arg(path("passwd"), path("broker.acl"), dir_.path()));
    const quint16 port = broker_->port();
    ASSERT_TRUE(broker_->start()) << broker_->log().toStdString();
    QByteArray site = fileContents(path("site.conf"));
    ASSERT_TRUE(site.contains(oldPort));
    writeFile(path("site.conf"),
              site.replace(oldPort, "[broker]\nport = " + QByteArray::number(port)));
    MqttSubscriber viewer(port, "trklib/cross/events", {"viewer", "vw", {}, "viewer-lasting"});
    ASSERT_TRUE(viewer.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("outage.log");
    constexpr int objects = 5;
    const auto count = [](const QVector<Message>& all, const char* event) {
        return int(std::count_if(all.begin(), all.end(), [event](const Message& m) {
            return m.topic == eventsTopic &&
                   json(m.payload)[QLatin1String("event")] == QLatin1String(event);
        }));
    };
    {
        Publisher trackd(port, "trackd", "td");
        ASSERT_TRUE(trackd.connected());
        for (int i = 0;
             i < 100 &&
             !viewer.waitFor(
                 [&](const QVector<Message>& all) { return count(all, "enter") == objects; }, 100);
             ++i) {
            {
                QJsonArray standing; // 4 m apart in the yard
                for (int n = 1; n <= objects; ++n)
                    standing.append(
                        target(n, 4.0 * n - 12.0, 10.0, std::hypot(4.0 * n - 12.0, 10.0), 0.0));
                trackd.publish("trklib/cross/a/tracks", tracksMessage("a", standing));
            }
        }
    }
    ASSERT_EQ(count(viewer.messages(), "enter"), objects) << log("outage.log").toStdString();
    // The enters' acknowledgements back with sited first: one still on its
    // way when the connection drops is sent again, as QoS 1 allows.
    QThread::msleep(500);
    broker_->stop();
    // The objects coast for 3 s, then end: their exits are raised now.
    QThread::msleep(5000);
    ASSERT_TRUE(broker_->start()) << broker_->log().toStdString();
    ASSERT_TRUE(viewer.waitFor(
        [&](const QVector<Message>& all) { return count(all, "exit") >= objects; }, waitMs))
        << log("outage.log").toStdString();
    QThread::msleep(1000); // for anything sent twice
    QSet<QString> seen;
    for (const Message& m : viewer.messagesOn(eventsTopic)) {
        const QJsonObject event = json(m.payload);
        const QString key = event[QLatin1String("event")].toString() + ' ' +
                            QString::number(event[QLatin1String("object")].toInt());
        EXPECT_FALSE(seen.contains(key)) << "twice: " << m.payload.toStdString();
        seen << key;
        if (event[QLatin1String("event")] == QLatin1String("exit")) {
            EXPECT_EQ(event[QLatin1String("lost")], QJsonValue(true));
        }
    }
    EXPECT_EQ(seen.size(), 2 * objects);
    MqttSubscriber status(port, statusTopic, {"viewer", "vw", {}, {}});
    ASSERT_TRUE(status.waitFor(statusIs(true), waitMs));
    EXPECT_EQ(last(status.messages(), statusTopic)[QLatin1String("droppedEvents")], QJsonValue(0));
    EXPECT_TRUE(log("outage.log").contains(QLatin1String("lost the broker")));
}

// The objects of the published pictures (by time) and the events (in
// order), as a subscriber took them.
std::map<qint64, QJsonArray> picturesOn(const QVector<Message>& messages)
{
    std::map<qint64, QJsonArray> pictures;
    for (const Message& m : messages) {
        if (m.topic == pictureTopic) {
            const QJsonObject picture = json(m.payload);
            pictures[qint64(picture[QLatin1String("time")].toDouble())] =
                picture[QLatin1String("objects")].toArray();
        }
    }
    return pictures;
}

// What sited records is what it published: the API's events are the
// broker's, none missing and none added, and every published picture's
// objects come back equal. A second sited on the same SQLite file is
// refused with one line; the export has one CSV row per object of each
// picture.
TEST_F(SitedTest, HistoryHoldsWhatWasPublished)
{
    addZones();
    MqttSubscriber site(broker_->port(), "trklib/cross/#", {"viewer", "vw", {}, "viewer-history"});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("history.log");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("history.log").toStdString();

    const ProgramRun second =
        runProgram(QStringLiteral(SITED_PATH), {"--config", path("site.conf")});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(
        QString::fromUtf8(second.err),
        QStringLiteral("sited: %1: history %2: in use by another sited (the file is locked)\n")
            .arg(path("site.conf"), path("cross.sqlite")));

    {
        Publisher trackd(broker_->port(), "trackd", "td");
        ASSERT_TRUE(trackd.connected());
        for (int x = 10; x <= 60; ++x) { // through the yard and across the gate
            trackd.publish("trklib/cross/a/tracks", movingEast(3, x, 5.0, 72.0));
            QThread::msleep(50);
        }
    }
    const auto published = [](const QVector<Message>& all) {
        QJsonArray events;
        for (const Message& m : all) {
            if (m.topic == eventsTopic)
                events.append(json(m.payload));
        }
        return events;
    };
    ASSERT_TRUE(site.waitFor(
        [&](const QVector<Message>& all) { return published(all).size() >= 3; }, waitMs));
    // The objects coast and end; their exits are the last events.
    QThread::msleep(4000);
    const QJsonArray events = published(site.messages());
    QJsonArray recorded;
    for (int i = 0; i < 100 && recorded != events; ++i) {
        QThread::msleep(100);
        recorded = api("/api/events")[QLatin1String("events")].toArray();
    }
    EXPECT_EQ(recorded, events);

    const std::map<qint64, QJsonArray> pictures = picturesOn(site.messages());
    ASSERT_GT(pictures.size(), 50u);
    int points = 0;
    int withObjects = 0;
    for (const auto& [timeMs, objects] : pictures) {
        int status = 0;
        const QJsonObject answer = api("/api/picture?time=" + std::to_string(timeMs), &status);
        ASSERT_EQ(status, 200) << timeMs;
        EXPECT_EQ(qint64(answer[QLatin1String("time")].toDouble()), timeMs);
        EXPECT_EQ(answer[QLatin1String("objects")].toArray(), objects) << timeMs;
        points += objects.size();
        withObjects += objects.isEmpty() ? 0 : 1;
    }
    ASSERT_GT(withObjects, 20);

    sited->terminate();
    ASSERT_TRUE(sited->waitForFinished(waitMs));
    // Recorded after the subscriber's last picture: the export's period ends there.
    const ProgramRun exported =
        runProgram(QStringLiteral(SITED_PATH), {"--config", path("site.conf"), "--export", "--from",
                                                QString::number(pictures.begin()->first), "--to",
                                                QString::number(pictures.rbegin()->first),
                                                "--format", "csv", path("tracks.csv")});
    ASSERT_EQ(exported.exitCode, 0) << exported.err.toStdString();
    const QList<QByteArray> rows = fileContents(path("tracks.csv")).trimmed().split('\n');
    EXPECT_EQ(rows.size() - 1, points) << "a header, then one row per object of each picture";
}

// PostgreSQL stopped for a few seconds while sited runs: sited publishes
// on, the records wait in its queue and reach the database once it is
// back; none is dropped, every published picture is recorded.
TEST_F(SitedTest, HistoryWaitsForPostgresAndLosesNothing)
{
    if (!PostgresServer::available())
        GTEST_SKIP() << "PostgreSQL 15 is not installed (scripts/test installs postgresql-15)";
    QTemporaryDir pgDir;
    ASSERT_TRUE(pgDir.isValid());
    PostgresServer postgres(pgDir.path());
    QString error;
    ASSERT_TRUE(postgres.start(error)) << error.toStdString();
    writeFile(path("pg.conf"), fileContents(path("site.conf")) +
                                   "[history]\ndatabase = " + postgres.url().toUtf8() + "\n");
    MqttSubscriber site(broker_->port(), "trklib/cross/site/#", {"viewer", "vw", {}, "viewer-pg"});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    const std::unique_ptr<QProcess> sited = startSited("pg.log", "pg.conf");
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("pg.log").toStdString();
    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    const auto feed = [&](int steps) {
        for (int i = 0; i < steps; ++i) {
            trackd.publish("trklib/cross/a/tracks", tracks("a", 5, 10.0, 5.0));
            QThread::msleep(50);
        }
    };
    feed(20);
    postgres.stop();
    const std::size_t before = picturesOn(site.messages()).size();
    feed(60); // 3 s
    const std::size_t during = picturesOn(site.messages()).size() - before;
    EXPECT_GT(during, 30u) << "sited publishes while the database is away";
    ASSERT_TRUE(postgres.start(error)) << error.toStdString();
    feed(20);

    int status = 0;
    QJsonObject health;
    for (int i = 0; i < 100; ++i) {
        health = api("/api/health", &status);
        if (status == 200 && health[QLatin1String("state")] == QLatin1String("ok") &&
            health[QLatin1String("waiting")].toInt() == 0)
            break;
        QThread::msleep(100);
    }
    ASSERT_EQ(health[QLatin1String("waiting")].toInt(), 0) << log("pg.log").toStdString();
    EXPECT_EQ(health[QLatin1String("dropped")].toInt(), 0);
    for (const auto& [timeMs, objects] : picturesOn(site.messages())) {
        const QJsonObject answer = api("/api/picture?time=" + std::to_string(timeMs), &status);
        ASSERT_EQ(status, 200) << timeMs;
        ASSERT_EQ(qint64(answer[QLatin1String("time")].toDouble()), timeMs) << "not recorded";
        EXPECT_EQ(answer[QLatin1String("objects")].toArray(), objects) << timeMs;
    }
    EXPECT_EQ(last(site.messages(), statusTopic)[QLatin1String("droppedRecords")], QJsonValue(0));
    sited->terminate();
    ASSERT_TRUE(sited->waitForFinished(waitMs));
}

// The disk fills under sited's history (a file size limit, under which a
// write fails rather than killing the process): one line says so, however
// often the recorder tries again, and the pictures go on.
TEST_F(SitedTest, HistoryOnAFullDiskIsOneLineAndPicturesGoOn)
{
    MqttSubscriber site(broker_->port(), "trklib/cross/site/#",
                        {"viewer", "vw", {}, "viewer-full"});
    ASSERT_TRUE(site.waitSubscribed(waitMs));
    // 1 MB (in the shell's 512-byte blocks): the schema fits, a few
    // seconds of pictures do not.
    constexpr int fileLimitBlocks = 2048;
    QProcess sited;
    sited.setStandardErrorFile(path("full.log"));
    sited.start(QStringLiteral("/bin/sh"),
                {"-c",
                 QStringLiteral("ulimit -f %1 && exec \"$0\" --config \"$1\"").arg(fileLimitBlocks),
                 QStringLiteral(SITED_PATH), path("site.conf")});
    ASSERT_TRUE(sited.waitForStarted());
    const auto killed = qScopeGuard([&] {
        sited.kill();
        sited.waitForFinished();
    });
    ASSERT_TRUE(site.waitFor(statusIs(true), waitMs)) << log("full.log").toStdString();
    Publisher trackd(broker_->port(), "trackd", "td");
    ASSERT_TRUE(trackd.connected());
    const auto full = [&] { return log("full.log").count(QStringLiteral("the disk is full")); };
    for (int i = 0; i < 400 && full() == 0; ++i) {
        trackd.publish("trklib/cross/a/tracks", tracks("a", 5, 10.0 + 0.01 * i, 5.0));
        QThread::msleep(50);
    }
    ASSERT_EQ(full(), 1) << log("full.log").toStdString();
    const std::size_t before = picturesOn(site.messages()).size();
    for (int i = 0; i < 40; ++i) { // 2 s: four more tries of the recorder
        trackd.publish("trklib/cross/a/tracks", tracks("a", 5, 20.0, 5.0));
        QThread::msleep(50);
    }
    EXPECT_GT(picturesOn(site.messages()).size() - before, 20u) << "pictures go on";
    EXPECT_EQ(sited.state(), QProcess::Running);
    const QString lines = log("full.log");
    EXPECT_EQ(full(), 1) << lines.toStdString();
    EXPECT_EQ(lines.count(QStringLiteral("history")), 2)
        << "where it records, then the full disk: " << lines.toStdString();
    int status = 0;
    EXPECT_EQ(api("/api/health", &status)[QLatin1String("database")], QLatin1String("sqlite"));
    EXPECT_EQ(status, 200);
    sited.terminate();
    ASSERT_TRUE(sited.waitForFinished(waitMs));
    EXPECT_EQ(sited.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sited.exitCode(), 0) << log("full.log").toStdString();
}

TEST_F(SitedTest, CommandLineAndSiteFile)
{
    const QString sited = QStringLiteral(SITED_PATH);

    const ProgramRun check = runProgram(sited, {"--check-config", path("site.conf")});
    EXPECT_EQ(check.exitCode, 0) << check.err.toStdString();
    EXPECT_TRUE(check.out.startsWith(
        QStringLiteral("sited: %1: site cross, 2 radars, broker 127.0.0.1:%2 as sited, 20 "
                       "pictures a second\n")
            .arg(path("site.conf"))
            .arg(broker_->port())
            .toUtf8()))
        << check.out.toStdString();
    EXPECT_TRUE(check.out.endsWith(
        QStringLiteral("\nsited: history in %1, its API on http://127.0.0.1:%2/api/\n")
            .arg(path("cross.sqlite"))
            .arg(apiPort_)
            .toUtf8()))
        << check.out.toStdString();

    writeFile(path("bad.conf"), "[site]\nname = cross\n[broker]\nclient_id = td\n"
                                "sited_password_file = sited.password\n[radar.a]\n");
    // Zones of one name twice.
    const QByteArray square =
        "{\"type\":\"Feature\",\"properties\":{\"name\":\"yard\",\"alarm\":[\"enter\"]},"
        "\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[[11.5,"
        "48.1],[11.5001,48.1],[11.5001,48.1001],[11.5,48.1]]]}}";
    writeFile(path("twice.geojson"),
              "{\"type\":\"FeatureCollection\",\"features\":[" + square + "," + square + "]}");
    // One zone and one line: --check-config says so on a line of its own.
    writeFile(path("yard.geojson"),
              "{\"type\":\"FeatureCollection\",\"features\":[" + square +
                  ",{\"type\":\"Feature\",\"properties\":{\"name\":\"fence\"},\"geometry\":"
                  "{\"type\":\"LineString\",\"coordinates\":[[11.5,48.1],[11.5,48.1001]]}}]}");
    writeFile(path("yard.conf"), fileContents(path("site.conf")) +
                                     "[zones]\nfile = yard.geojson\n[camera.gate]\n"
                                     "address = http://127.0.0.1:1/onvif/device_service\n"
                                     "x = 10\ny = -5\nheight = 8\nheading = 350\n");
    // Three surveyed points as a camera 12.5 degrees clockwise and 1.5 up of
    // the file's would centre them: the offsets put heading at 2.5.
    QByteArray survey = "# x y z pan tilt\n";
    for (const auto& [x, y, z] : {std::array<double, 3>{60, 95, 0}, {-40, 30, 2}, {90, -60, 1}}) {
        const double dx = x - 10, dy = y + 5;
        const double bearing = std::atan2(dx, dy) * 180 / M_PI;
        const double elevation = std::atan2(z - 8, std::hypot(dx, dy)) * 180 / M_PI;
        survey += QByteArray::number(x) + ' ' + QByteArray::number(y) + ' ' +
                  QByteArray::number(z) + ' ' + QByteArray::number(bearing - 2.5, 'g', 12) + ' ' +
                  QByteArray::number(elevation - 1.5, 'g', 12) + "\n";
    }
    writeFile(path("survey.txt"), survey);
    writeFile(path("two.txt"), "0 100 0 0 -4\n100 0 0 90 -4\n");
    writeFile(path("bad.txt"), "0 100 0 0\n");
    writeFile(path("cr.txt"), "# x y z pan tilt\n0 100\r0 0 -4\n");
    const ProgramRun aligned = runProgram(sited, {"--config", path("yard.conf"), "--align-camera",
                                                  "gate", "--points", path("survey.txt")});
    EXPECT_EQ(aligned.exitCode, 0) << aligned.err.toStdString();
    EXPECT_EQ(aligned.out.toStdString(),
              "# camera gate: 3 points; pan offset 12.500 deg, tilt offset 1.500 deg, residual "
              "0.000 deg\n[camera.gate]\nheading = 2.500\ntilt_offset = 1.500\n");
    const ProgramRun zoned = runProgram(sited, {"--check-config", path("yard.conf")});
    EXPECT_EQ(zoned.exitCode, 0) << zoned.err.toStdString();
    EXPECT_TRUE(
        zoned.out.contains("\nsited: 1 camera: gate at http://127.0.0.1:1/onvif/device_service\n"))
        << zoned.out.toStdString();
    EXPECT_TRUE(zoned.out.endsWith(
        QStringLiteral("/api/\nsited: %1: 1 zone, 1 line\n").arg(path("yard.geojson")).toUtf8()))
        << zoned.out.toStdString();
    writeFile(path("badzones.conf"),
              fileContents(path("site.conf")) + "[zones]\nfile = twice.geojson\n");
    const QString badZones = QStringLiteral("sited: %1: [zones] file: %2: feature 2 (yard): ")
                                 .arg(path("badzones.conf"), path("twice.geojson"));
    // Within the corners the page draws, yet a zones message past what it
    // takes: 150 lines of 60 points, each about 40 bytes in site metres.
    QByteArray lines = "{\"type\":\"FeatureCollection\",\"features\":[";
    for (int l = 0; l < 150; ++l) {
        lines += QStringLiteral("%1{\"type\":\"Feature\",\"properties\":{\"name\":\"l%2\"},"
                                "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[")
                     .arg(l == 0 ? "" : ",")
                     .arg(l)
                     .toUtf8();
        for (int i = 0; i < 60; ++i)
            lines += QStringLiteral("%1[%2,%3]")
                         .arg(i == 0 ? "" : ",")
                         .arg(originLon + 0.000123456789 * (i + 1), 0, 'g', 17)
                         .arg(originLat + 0.000098765432 * (l + 1), 0, 'g', 17)
                         .toUtf8();
        lines += "]}}";
    }
    writeFile(path("large.geojson"), lines + "]}");
    writeFile(path("large.conf"),
              fileContents(path("site.conf")) + "[zones]\nfile = large.geojson\n");
    const struct
    {
        QStringList arguments;
        int exitCode;
        QString firstLine;
    } cases[]{
        {{"--check-config", path("bad.conf")},
         2,
         QStringLiteral("sited: %1:5: [broker] sited_password_file: needs sited_username")
             .arg(path("bad.conf"))},
        {{"--config", path("site.conf"), "--capture", path("none.pcap"), "--output",
          path("p.jsonl")},
         1,
         QStringLiteral("sited: %1").arg(path("none.pcap"))},
        {{"--check-config", path("badzones.conf")}, 2, badZones},
        {{"--config", path("yard.conf"), "--align-camera", "mast", "--points", path("survey.txt")},
         2,
         QStringLiteral("sited: --align-camera: mast is no camera of %1").arg(path("yard.conf"))},
        {{"--config", path("yard.conf"), "--align-camera", "gate", "--points", path("bad.txt")},
         2,
         QStringLiteral("sited: %1:1: '0 100 0 0' is not five numbers").arg(path("bad.txt"))},
        {{"--config", path("yard.conf"), "--align-camera", "gate", "--points", path("cr.txt")},
         2,
         QStringLiteral("sited: %1:2: a control character (U+000d) in column 6").arg(path("cr.txt"))},
        {{"--config", path("yard.conf"), "--align-camera", "gate", "--points", path("two.txt")},
         2,
         QStringLiteral("sited: %1: ").arg(path("two.txt"))},
        {{"--check-config", path("large.conf")},
         2,
         QStringLiteral("sited: %1: [zones] file: %2: its zones make a message of ")
             .arg(path("large.conf"), path("large.geojson"))},
        {{"--config", path("badzones.conf")}, 2, badZones},
        {{"--config", path("site.conf"), "--capture", path("none.pcap"), "--output",
          path("p.jsonl"), "--events", path("e.jsonl")},
         1,
         QStringLiteral("sited: --events: the site file names no [zones] file")},
        {{"--config", path("site.conf"), "--export", "--from", "5", "--to", "1", "--format", "csv",
          path("p.jsonl")},
         2,
         QStringLiteral("sited: --from 5 is after --to 1")},
        {{"--config", path("site.conf"), "--export", "--from", "1", "--to", "1", "--format", "kml",
          path("p.jsonl")},
         2,
         QStringLiteral("sited: --format: 'kml' is neither geojson nor csv")},
        {{"--config", path("site.conf"), "--export", "--from", "1", "--to", "1", "--format", "csv",
          path("p.jsonl")},
         1,
         QStringLiteral("sited: history %1: no such file").arg(path("cross.sqlite"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ProgramRun run = runProgram(sited, c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        const QString err = QString::fromUtf8(run.err);
        EXPECT_TRUE(err.startsWith(c.firstLine)) << run.err.toStdString();
        EXPECT_EQ(err.count(QLatin1Char('\n')), 1) << "one line";
    }
    EXPECT_FALSE(QFile::exists(path("p.jsonl"))) << "nothing written by a run that failed";
    EXPECT_FALSE(QFile::exists(path("e.jsonl")));
}

} // namespace
} // namespace trklib::test

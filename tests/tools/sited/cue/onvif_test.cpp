// The ONVIF client: its SOAP functions against fixed texts, and the camera
// against the test camera (onvif_device.py) started on loopback per test.

#include "tools/sited/cue/camerarig.h"
#include "tools/sited/cue/onvifcamera.h"
#include "tools/sited/cue/onvifsoap.h"

#include "support/onvifdevice.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <mutex>

using namespace trklib::sited::cue;

// Strings in gtest's messages as text.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr int guardMs = 20000; // milliseconds anything is waited for before the test gives up

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "onvif_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until done() or the guard.
bool waitUntil(const std::function<bool()>& done)
{
    application();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(10);
    for (int waited = 0; !done(); waited += 10) {
        if (waited > guardMs)
            return false;
        loop.exec();
    }
    return true;
}

// The events of a while, for what should not happen.
void runFor(int ms)
{
    bool over = false;
    QTimer::singleShot(ms, [&] { over = true; });
    waitUntil([&] { return over; });
}

// ---------------------------------------------------------------- messages

TEST(OnvifSoap, PasswordDigestOfKnownVectors)
{
    // Computed apart with Python's hashlib: b64(sha1(nonce + created + password)).
    const struct
    {
        QByteArray nonce, created, password, digest;
    } rows[] = {
        {QByteArray::fromBase64("AAECAwQFBgcICQoLDA0ODw=="), "2026-01-02T03:04:05.678Z", "secret",
         "JpsI2G8i9wR5JBEn8r6weLL0Zvc="},
        {"nonce", "2010-09-16T07:50:45Z", "userpassword", "M+HvnSfSCKB5IL1jDSqe4pyMyCQ="},
        {QByteArray::fromBase64("AP8="), "2026-12-31T23:59:59.999Z", "",
         "FTn3Hne4uVKZLKs5+5jdUPsqqE4="},
    };
    for (const auto& r : rows)
        EXPECT_EQ(passwordDigest(r.nonce, r.created, r.password), r.digest) << r.created.data();

    // The header carries the same digest of its own Created, and the nonce.
    const QByteArray header =
        securityHeader("admin", "secret", QByteArray::fromBase64("AAECAwQFBgcICQoLDA0ODw=="),
                       QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC));
    EXPECT_TRUE(header.contains(">JpsI2G8i9wR5JBEn8r6weLL0Zvc=<")) << header.data();
    EXPECT_TRUE(header.contains(">AAECAwQFBgcICQoLDA0ODw==<"));
    EXPECT_TRUE(
        securityHeader(QString(), "secret", "n", QDateTime::currentDateTimeUtc()).isEmpty());
}

QByteArray soap(const QByteArray& body, const QByteArray& prefix = "s",
                const QByteArray& extraNs = QByteArray())
{
    return "<" + prefix + ":Envelope xmlns:" + prefix +
           "=\"http://www.w3.org/2003/05/soap-envelope\" " + extraNs + "><" + prefix + ":Body>" +
           body + "</" + prefix + ":Body></" + prefix + ":Envelope>";
}

const QByteArray nsDecl = "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" "
                          "xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\" "
                          "xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\" "
                          "xmlns:tt=\"http://www.onvif.org/ver10/schema\"";

// Each parser's result as one line, or "error" when it refuses the text.
QString services(const QByteArray& xml)
{
    ServiceAddresses a;
    QString error;
    return parseServices(xml, a, error) ? a.device + " " + a.media + " " + a.ptz : "error";
}
QString capabilities(const QByteArray& xml)
{
    ServiceAddresses a;
    QString error;
    return parseCapabilities(xml, a, error) ? a.device + " " + a.media + " " + a.ptz : "error";
}
QString profiles(const QByteArray& xml)
{
    QVector<Profile> p;
    QString error;
    if (!parseProfiles(xml, p, error))
        return "error";
    QStringList out;
    for (const Profile& profile : p)
        out << profile.token + "/" + profile.ptzConfigurationToken;
    return out.join(' ');
}
QString options(const QByteArray& xml)
{
    PtzSpaces s;
    QString error;
    if (!parseConfigurationOptions(xml, s, error))
        return "error";
    return QStringLiteral("%1..%2 %3..%4 %5")
        .arg(s.pan.min)
        .arg(s.pan.max)
        .arg(s.tilt.min)
        .arg(s.tilt.max)
        .arg(s.hasZoom ? QStringLiteral("%1..%2").arg(s.zoom.min).arg(s.zoom.max) : "nozoom");
}
QString status(const QByteArray& xml)
{
    PtzStatus s;
    QString error;
    if (!parseStatus(xml, s, error))
        return "error";
    return QStringLiteral("%1 %2 %3 %4")
        .arg(s.position.pan)
        .arg(s.position.tilt)
        .arg(s.position.zoom)
        .arg(s.moving ? "moving" : "idle");
}
QString clock(const QByteArray& xml)
{
    QDateTime t;
    QString error;
    return parseSystemDateAndTime(xml, t, error) ? t.toString(Qt::ISODate) : "error";
}
QString fault(const QByteArray& xml)
{
    const std::optional<SoapFault> f = parseFault(xml);
    return f ? (f->notAuthorized ? "refused " : "") + f->line : "none";
}

TEST(OnvifSoap, AnswersParsedByNamespaceNotPrefix)
{
    const QByteArray service = "<tds:GetServicesResponse>"
                               "<tds:Service><tds:Namespace>http://www.onvif.org/ver10/device/wsdl"
                               "</tds:Namespace><tds:XAddr>http://h/d</tds:XAddr></tds:Service>"
                               "<tds:Service><tds:Namespace>http://www.onvif.org/ver10/media/wsdl"
                               "</tds:Namespace><tds:XAddr>http://h/m</tds:XAddr></tds:Service>"
                               "<tds:Service><tds:Namespace>http://www.onvif.org/ver20/ptz/wsdl"
                               "</tds:Namespace><tds:XAddr> http://h/p </tds:XAddr></tds:Service>"
                               "</tds:GetServicesResponse>";
    QByteArray oddPrefixes = service;
    oddPrefixes.replace("tds:", "d9:");
    const QByteArray spaces =
        "<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions><tt:Spaces>"
        "<tt:AbsolutePanTiltPositionSpace><tt:URI>http://vendor/degrees</tt:URI>"
        "<tt:XRange><tt:Min>-180</tt:Min><tt:Max>180</tt:Max></tt:XRange>"
        "<tt:YRange><tt:Min>-90</tt:Min><tt:Max>0</tt:Max></tt:YRange>"
        "</tt:AbsolutePanTiltPositionSpace><tt:AbsolutePanTiltPositionSpace>"
        "<tt:URI>http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace</tt:URI>"
        "<tt:XRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max></tt:XRange>"
        "<tt:YRange><tt:Min>-0.5</tt:Min><tt:Max>1</tt:Max></tt:YRange>"
        "</tt:AbsolutePanTiltPositionSpace>%ZOOM%</tt:Spaces>"
        "</tptz:PTZConfigurationOptions></tptz:GetConfigurationOptionsResponse>";
    const QByteArray zoom =
        "<tt:AbsoluteZoomPositionSpace><tt:URI>u</tt:URI><tt:XRange><tt:Min>0"
        "</tt:Min><tt:Max>1</tt:Max></tt:XRange></tt:AbsoluteZoomPositionSpace>";
    const QByteArray statusBody =
        "<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position><tt:PanTilt x=\"0.25\" "
        "y=\"-0.5\"/><tt:Zoom x=\"0.75\"/></tt:Position><tt:MoveStatus><tt:PanTilt>IDLE"
        "</tt:PanTilt><tt:Zoom>MOVING</tt:Zoom></tt:MoveStatus></tptz:PTZStatus>"
        "</tptz:GetStatusResponse>";
    const QByteArray statusXml = soap(statusBody, "s", nsDecl);

    const struct
    {
        const char* what;
        std::function<QString(const QByteArray&)> parse;
        QByteArray xml;
        QString expected;
    } rows[] = {
        {"services", services, soap(service, "s", nsDecl), "http://h/d http://h/m http://h/p"},
        {"services, other prefixes", services,
         soap(oddPrefixes, "SOAP-ENV", "xmlns:d9=\"http://www.onvif.org/ver10/device/wsdl\""),
         "http://h/d http://h/m http://h/p"},
        {"services, a vendor's element of the same name ignored", services,
         soap(QByteArray(service).replace("</tds:GetServicesResponse>",
                                          "<v:Service xmlns:v=\"http://vendor\"><tds:Namespace>"
                                          "http://www.onvif.org/ver20/ptz/wsdl</tds:Namespace>"
                                          "<tds:XAddr>http://v/p</tds:XAddr></v:Service>"
                                          "</tds:GetServicesResponse>"),
              "s", nsDecl),
         "http://h/d http://h/m http://h/p"},
        {"services under the usual prefix bound to another namespace", services,
         soap(service, "s", "xmlns:tds=\"http://example.com/not-onvif\""), "error"},
        {"services, SOAP 1.1 envelope", services,
         "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" " + nsDecl +
             "><e:Body>" + service + "</e:Body></e:Envelope>",
         "error"},
        {"capabilities", capabilities,
         soap("<tds:GetCapabilitiesResponse><tds:Capabilities><tt:Media><tt:XAddr>http://h/m"
              "</tt:XAddr></tt:Media><tt:PTZ><tt:XAddr>http://h/p</tt:XAddr></tt:PTZ>"
              "</tds:Capabilities></tds:GetCapabilitiesResponse>",
              "s", nsDecl),
         " http://h/m http://h/p"},
        {"profiles, the first without PTZ", profiles,
         soap("<m:GetProfilesResponse xmlns:m=\"http://www.onvif.org/ver10/media/wsdl\">"
              "<m:Profiles token=\"a\"><n:Name xmlns:n=\"http://www.onvif.org/ver10/schema\">A"
              "</n:Name></m:Profiles><m:Profiles token=\"b\"><PTZConfiguration token=\"pz\" "
              "xmlns=\"http://www.onvif.org/ver10/schema\"/></m:Profiles><m:Profiles/>"
              "</m:GetProfilesResponse>"),
         "a/ b/pz"},
        {"spaces: the generic one, not the first", options,
         soap(QByteArray(spaces).replace("%ZOOM%", zoom), "s", nsDecl), "-1..1 -0.5..1 0..1"},
        {"spaces without zoom", options,
         soap(QByteArray(spaces).replace("%ZOOM%", ""), "s", nsDecl), "-1..1 -0.5..1 nozoom"},
        {"spaces with a range upside down", options,
         soap(QByteArray(spaces)
                  .replace("%ZOOM%", "")
                  .replace("<tt:Min>-0.5</tt:Min>", "<tt:Min>2</tt:Min>"),
              "s", nsDecl),
         "error"},
        {"status", status, statusXml, "0.25 -0.5 0.75 moving"},
        {"status with a position not a number", status,
         QByteArray(statusXml).replace("x=\"0.25\"", "x=\"nan\""), "error"},
        {"status cut short", status, statusXml.left(statusXml.size() - 30), "error"},
        {"status of nothing", status, "", "error"},
        {"status of bytes", status, QByteArray("\x00\xff<\x01>", 5), "error"},
        {"status with a DTD", status,
         "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;\">]>" +
             statusXml,
         "error"},
        {"status beside elements nested too deep", status,
         soap(statusBody + QByteArray(10000, '<').replace('<', "<a>") +
                  QByteArray(10000, '<').replace('<', "</a>"),
              "s", nsDecl),
         "error"},
        {"status beyond the size cap", status,
         soap(statusBody + "<x>" + QByteArray(maxAnswerBytes, 'x') + "</x>", "s", nsDecl), "error"},
        {"clock", clock,
         soap("<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:UTCDateTime><tt:Time>"
              "<tt:Hour>23</tt:Hour><tt:Minute>5</tt:Minute><tt:Second>9</tt:Second></tt:Time>"
              "<tt:Date><tt:Year>2026</tt:Year><tt:Month>2</tt:Month><tt:Day>28</tt:Day></tt:Date>"
              "</tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>",
              "s", nsDecl),
         "2026-02-28T23:05:09Z"},
        {"fault: refused", fault,
         soap("<s:Fault><s:Code><s:Value>s:Sender</s:Value><s:Subcode><s:Value>ter:NotAuthorized"
              "</s:Value></s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en\">Sender not\n"
              "  Authorized</s:Text></s:Reason></s:Fault>"),
         "refused Sender/NotAuthorized: Sender not Authorized"},
        {"fault under another prefix, two subcodes", fault,
         soap("<e:Fault><e:Code><e:Value>e:Receiver</e:Value><e:Subcode><e:Value>ter:Action"
              "</e:Value><e:Subcode><e:Value>ter:NoSuchService</e:Value></e:Subcode></e:Subcode>"
              "</e:Code></e:Fault>",
              "e"),
         "Receiver/Action/NoSuchService"},
        {"fault, SOAP 1.1", fault,
         "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><e:Fault>"
         "<faultcode>wsse:FailedAuthentication</faultcode><faultstring>bad token</faultstring>"
         "</e:Fault></e:Body></e:Envelope>",
         "refused FailedAuthentication: bad token"},
        {"no fault in an answer", fault, statusXml, "none"},
        {"no fault in a cut answer", fault, statusXml.left(40), "none"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.parse(r.xml), r.expected) << r.what;
}

TEST(OnvifSoap, RequestsNameTheirAction)
{
    const QByteArray ptz = "http://www.onvif.org/ver20/ptz/wsdl/";
    EXPECT_EQ(soapAction(absoluteMoveRequest("", "p", {0.5, -0.5, 1}, PtzVector{1, 1, 1})),
              ptz + "AbsoluteMove");
    EXPECT_EQ(soapAction(stopRequest("", "p")), ptz + "Stop");
    EXPECT_EQ(soapAction(getProfilesRequest("")),
              "http://www.onvif.org/ver10/media/wsdl/GetProfiles");
    // A token with markup stays text.
    EXPECT_EQ(soapAction(getStatusRequest("", "</tptz:ProfileToken><x>")), ptz + "GetStatus");
}

// ----------------------------------------------------------- the camera

// The test camera (the application made first, for its QProcess), and
// what it has received.
class Device : public trklib::test::OnvifDevice
{
public:
    explicit Device(const QStringList& extra)
        : OnvifDevice((application(), QStringLiteral(PYTHON_EXECUTABLE)),
                      QStringLiteral(ONVIF_DEVICE_PY), extra, guardMs)
    {}
    // The operations it has received, in order, with their times.
    QJsonArray log()
    {
        QNetworkAccessManager network;
        QNetworkReply* reply = network.get(
            QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/log").arg(port()))));
        waitUntil([&] { return reply->isFinished(); });
        const QJsonArray entries = QJsonDocument::fromJson(reply->readAll()).array();
        delete reply;
        return entries;
    }
    QStringList operations(const QString& op)
    {
        QStringList out;
        for (const QJsonValue& e : log())
            if (e.toObject().value("op").toString() == op)
                out << e.toObject().value("result").toString();
        return out;
    }
};

trklib::site::CameraEntry entry(const Device& device, const QByteArray& password = "pan-tilt-zoom")
{
    trklib::site::CameraEntry camera;
    camera.name = "gate";
    camera.address = device.address();
    camera.username = "operator";
    camera.password = password;
    return camera;
}

// Signals of a camera, counted; each status with the times (our clock,
// milliseconds) it was asked and answered: the camera was there in between.
struct Watch
{
    struct Seen
    {
        PtzStatus status;
        qint64 askedMs = 0;
        qint64 answeredMs = 0;
    };
    int ready = 0;
    QStringList failed;
    QVector<Seen> statuses;
    qint64 askedMs = 0; // of the status on its way

    explicit Watch(OnvifCamera& camera)
    {
        QObject::connect(&camera, &OnvifCamera::ready, [this] { ++ready; });
        QObject::connect(&camera, &OnvifCamera::failed, [this](const QString& l) { failed << l; });
        QObject::connect(&camera, &OnvifCamera::status,
                         [this](double p, double t, double z, bool moving, qint64) {
                             statuses.push_back(Seen{PtzStatus{{p, t, z}, moving}, askedMs,
                                                     QDateTime::currentMSecsSinceEpoch()});
                         });
    }
};

TEST(OnvifCamera, StartsOrFailsOnceWithOneLine)
{
    const struct
    {
        const char* what;
        QStringList deviceOptions;
        QByteArray password;
        QString profile;
        QString failure; // in the line; empty: ready
    } rows[] = {
        {"a plain camera", {}, "pan-tilt-zoom", "", ""},
        {"its clock two hours ahead", {"--clock-offset", "7200"}, "pan-tilt-zoom", "", ""},
        {"no GetServices: GetCapabilities", {"--no-services"}, "pan-tilt-zoom", "", ""},
        {"the profile configured", {}, "pan-tilt-zoom", "profile_ptz", ""},
        {"a wrong password", {}, "guess", "", "refused the username or password"},
        {"refused with HTTP 401",
         {"--refuse-password", "--refuse-status", "401"},
         "pan-tilt-zoom",
         "",
         "refused the username or password"},
        {"a profile without PTZ", {}, "pan-tilt-zoom", "profile_fixed", "no PTZ configuration"},
        {"a profile it has not", {}, "pan-tilt-zoom", "main", "no media profile main"},
        {"a camera that never answers", {"--silent"}, "pan-tilt-zoom", "", "no answer"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Device device(r.deviceOptions);
        ASSERT_NE(device.port(), 0);
        trklib::site::CameraEntry config = entry(device, r.password);
        config.profile = r.profile;
        OnvifCamera camera(config);
        camera.setTimeoutMs(500);
        Watch watch(camera);
        camera.start();
        ASSERT_TRUE(waitUntil([&] { return watch.ready + watch.failed.size() > 0; }));
        runFor(200); // nothing more is to come
        if (r.failure.isEmpty()) {
            EXPECT_EQ(watch.ready, 1);
            EXPECT_TRUE(watch.failed.isEmpty()) << watch.failed.join('|').toStdString();
            EXPECT_TRUE(camera.online());
            EXPECT_EQ(camera.profileToken(), "profile_ptz");
            EXPECT_NEAR(camera.clockOffsetMs(), r.deviceOptions.contains("7200") ? 7200000 : 0,
                        1500);
        } else {
            EXPECT_EQ(watch.ready, 0);
            ASSERT_EQ(watch.failed.size(), 1);
            const QString line = watch.failed.front();
            EXPECT_TRUE(line.startsWith("camera gate: ")) << line.toStdString();
            EXPECT_TRUE(line.contains(r.failure)) << line.toStdString();
            EXPECT_FALSE(line.contains('\n'));
            EXPECT_FALSE(camera.online());
            EXPECT_FALSE(camera.absoluteMove(0, 0, 0)); // nothing is sent before ready
            EXPECT_EQ(camera.counters().commandsSent, 0);
        }
    }
}

// Polls the status, once the camera has taken the motion commands, until it
// stands still; returns when the commands were taken (at the latest).
qint64 pollUntilStill(OnvifCamera& camera, Watch& watch)
{
    EXPECT_TRUE(waitUntil([&] { return !camera.motionPending(); }));
    const qint64 takenMs = QDateTime::currentMSecsSinceEpoch();
    watch.statuses.clear();
    EXPECT_TRUE(waitUntil([&] {
        if (!watch.statuses.isEmpty() && !watch.statuses.back().status.moving)
            return true;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (camera.requestStatus())
            watch.askedMs = now;
        return false;
    }));
    return takenMs;
}

TEST(OnvifCamera, MovesAtTheCamerasSpeed)
{
    // Pan 0 -> 0.5 is 90 degrees of -180..180 at 120 degrees/s, 0.75 s
    // after the latency; tilt from the top (1) to -0.5 is 67.5 degrees of
    // -90..0 at 90 degrees/s, as long; zoom 0 -> 0.5 at 1/s is sooner.
    constexpr double latencyS = 0.2;
    constexpr double panPerS = 120.0 / 180.0; // normalised pan per second
    Device device(
        {"--pan-speed", "120", "--tilt-speed", "90", "--zoom-speed", "1", "--latency", "0.2"});
    OnvifCamera camera(entry(device));
    Watch watch(camera);
    camera.start();
    ASSERT_TRUE(waitUntil([&] { return watch.ready == 1; }));

    const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(camera.absoluteMove(0.5, -0.5, 0.5));
    const qint64 takenMs = pollUntilStill(camera, watch);
    ASSERT_FALSE(watch.statuses.isEmpty());
    const PtzStatus& last = watch.statuses.back().status;
    EXPECT_NEAR(last.position.pan, 0.5, 1e-3);
    EXPECT_NEAR(last.position.tilt, -0.5, 1e-3);
    EXPECT_NEAR(last.position.zoom, 0.5, 1e-3);
    // Each pan read lies where the camera can have been while it was asked:
    // motion began between the command's sending and its answer, plus the
    // latency.
    const auto panAt = [&](qint64 sinceMs) {
        return std::clamp((sinceMs / 1000.0 - latencyS) * panPerS, 0.0, 0.5);
    };
    int between = 0;
    for (const Watch::Seen& seen : watch.statuses) {
        EXPECT_LE(seen.status.position.pan, panAt(seen.answeredMs - sentMs + 5) + 1e-3);
        EXPECT_GE(seen.status.position.pan, panAt(seen.askedMs - takenMs - 5) - 1e-3);
        between += seen.status.position.pan > 0.01 && seen.status.position.pan < 0.49;
    }
    EXPECT_GT(between, 0);
    EXPECT_GE(watch.statuses.back().answeredMs - sentMs, (latencyS + 0.5 / panPerS) * 1000 - 5);

    // Continuous pan left, then stop: it stands still left of where it was.
    ASSERT_TRUE(camera.continuousMove(-0.5, 0, 0));
    runFor(400);
    ASSERT_TRUE(camera.stop());
    pollUntilStill(camera, watch);
    EXPECT_LT(watch.statuses.back().status.position.pan, 0.5 - 1e-3);
    EXPECT_EQ(device.operations("Stop"), QStringList{"ok"});
    EXPECT_EQ(camera.counters().commandsSent, 3);
    EXPECT_EQ(camera.counters().errors, 0);
}

TEST(OnvifCamera, TheLatestMoveWinsWhileOneIsInFlight)
{
    Device device({"--latency", "0.1"});
    OnvifCamera camera(entry(device));
    Watch watch(camera);
    camera.start();
    ASSERT_TRUE(waitUntil([&] { return watch.ready == 1; }));

    for (int i = 1; i <= 5; ++i)
        ASSERT_TRUE(camera.absoluteMove(0.1 * i, 0, 0));
    pollUntilStill(camera, watch);
    const QStringList moves = device.operations("AbsoluteMove");
    EXPECT_LE(moves.size(), 2) << moves.join(',').toStdString();
    EXPECT_NEAR(watch.statuses.back().status.position.pan, 0.5, 1e-3);
    // The first went at once, the last after it; those between were replaced.
    EXPECT_EQ(camera.counters().commandsSent, 2);
    EXPECT_EQ(camera.counters().replaced, 3);
}

TEST(OnvifCamera, GoesOfflineOnceWhenTheCameraStops)
{
    auto device = std::make_unique<Device>(QStringList{"--latency", "0"});
    OnvifCamera camera(entry(*device));
    camera.setTimeoutMs(500);
    Watch watch(camera);
    camera.start();
    ASSERT_TRUE(waitUntil([&] { return watch.ready == 1; }));
    device.reset();
    for (int i = 0; i < 3; ++i) {
        camera.requestStatus();
        ASSERT_TRUE(waitUntil([&] { return camera.counters().errors > i; }));
    }
    EXPECT_FALSE(camera.online());
    EXPECT_EQ(watch.failed.size(), 1);
}

// Two cameras on the rig's own thread, one of which refuses the password:
// the other is driven (a move made before it was ready is sent once it
// is) and reports its position; the refused one says so once, however
// often the rig starts it again, and is offline with that line.
TEST(CameraRig, DrivesEachCameraAndSaysAFailureOnce)
{
    Device good(QStringList{"--latency", "0"});
    Device refusing(QStringList{"--refuse-password"});
    trklib::site::CameraEntry second = entry(refusing);
    second.name = "yard";
    std::mutex mutex;
    QStringList lines;
    CameraRig rig({entry(good), second}, [&](bool failed, const QString& line) {
        const std::lock_guard<std::mutex> lock(mutex);
        lines << (failed ? "failed " : "") + line;
    });
    rig.ports()[0]->absoluteMove(0.5, -0.5, 0.0);
    rig.ports()[1]->absoluteMove(0.5, -0.5, 0.0);
    ASSERT_TRUE(waitUntil([&] {
        const QVector<CameraLive> live = rig.live();
        return live[0].position && std::abs(live[0].position->pan - 0.5) < 1e-6;
    }));
    // Started again after its back-off, refused again.
    ASSERT_TRUE(waitUntil([&] { return rig.live()[1].errors >= 2; }));
    const QVector<CameraLive> live = rig.live();
    EXPECT_TRUE(live[0].online);
    EXPECT_EQ(live[0].commands, 1);
    EXPECT_FALSE(live[1].online);
    EXPECT_TRUE(live[1].problem.startsWith("camera yard: ")) << live[1].problem.toStdString();
    EXPECT_EQ(live[1].commands, 0);
    const std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(lines.filter("failed camera yard").size(), 1)
        << lines.join(QLatin1Char(0x7c)).toStdString();
    EXPECT_EQ(lines.filter("camera gate: online").size(), 1)
        << lines.join(QLatin1Char(0x7c)).toStdString();
}

} // namespace

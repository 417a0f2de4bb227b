// Camera cueing against the test camera (tests/tools/sited/cue/
// onvif_device.py: 60 degrees a second of pan, 0.3 s from a command to its
// motion), driven as sited drives it: the rig's thread, ten pictures a
// second through the cueing stage. Four runs:
// - a walker (1.4 m/s) across the view 300 m out, and a car (60 km/h)
//   passing 150 m out: the share of the camera's reported positions,
//   once acquired, whose view holds the object within its central 20 %;
// - alarms on objects at random places in reach, the camera elsewhere:
//   from the picture that raises each to the device's receipt of the first
//   move (both on this host's clock), its median and 95th percentile;
// - a walker standing 100 m out: moves a second once acquired.
//
//   cue_bench PATH/onvif_device.py [SEED]
#include "tools/sited/cue/aim.h"
#include "tools/sited/cue/camerarig.h"
#include "tools/sited/cue/cueing.h"

#include "support/onvifdevice.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <thread>

using namespace trklib;
using namespace trklib::sited;
using namespace trklib::sited::cue;

namespace {

constexpr std::int64_t frameMs = 100;   // ten pictures a second
constexpr double centralShare = 0.10;   // off centre: the central 20 % of the view
constexpr int alarmTrials = 40;         // alarms timed
constexpr std::int64_t settleMs = 1500; // between two alarms
constexpr double standingS = 30.0;      // the standing walker's run, seconds

std::int64_t wallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The test camera, and the wall times of the AbsoluteMoves it took, ms.
class Device : public trklib::test::OnvifDevice
{
public:
    explicit Device(const QString& script) : OnvifDevice(QStringLiteral("python3"), script) {}
    std::vector<std::int64_t> moves() const
    {
        httplib::Client client("127.0.0.1", port());
        const httplib::Result r = client.Get("/log");
        std::vector<std::int64_t> out;
        if (!r)
            return out;
        for (const QJsonValue& e :
             QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).array())
            if (e["op"].toString() == QLatin1String("AbsoluteMove"))
                out.push_back(std::int64_t(std::llround(e["wall"].toDouble() * 1000.0)));
        return out;
    }
};

site::CameraEntry camera(int port)
{
    site::CameraEntry c;
    c.name = QStringLiteral("bench");
    c.heightM = 10.0;
    c.address = QStringLiteral("http://127.0.0.1:%1/onvif/device_service").arg(port);
    c.username = QStringLiteral("operator");
    c.password = "pan-tilt-zoom";
    return c;
}

// Waits until the camera is online.
bool online(const CameraRig& rig)
{
    for (int i = 0; i < 200; ++i) {
        if (rig.live()[0].online)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

struct Framed
{
    int samples = 0; // reported positions once acquired
    int central = 0; // of which held the object within the central share
    std::int64_t commands = 0;
};

// An object along truth(seconds since the start) followed for seconds;
// each fresh reported position judged against the object's place then.
Framed follow(CameraRig& rig, const site::CameraEntry& entry, double seconds,
              const std::function<SiteObject(double)>& truth)
{
    Cueing cueing({entry}, rig.ports());
    const std::int64_t startMs = wallMs();
    const std::int64_t commandsBefore = rig.live()[0].commands;
    OperatorChoices choices;
    choices.followed.insert(0, 1);
    Framed f;
    bool acquired = false;
    std::int64_t judgedMs = 0;
    for (std::int64_t next = startMs; next - startMs < std::int64_t(seconds * 1000);
         next += frameMs) {
        std::this_thread::sleep_until(
            std::chrono::system_clock::time_point(std::chrono::milliseconds(next)));
        const std::int64_t now = wallMs();
        Picture picture;
        picture.timeMs = now;
        picture.objects.append(truth(double(now - startMs) / 1000.0));
        const QVector<CameraLive> live = rig.live();
        cueing.picture(picture, {}, {}, choices, live, now);
        const CameraLive& l = live[0];
        if (!l.position || l.positionMs <= judgedMs || l.positionMs < startMs)
            continue;
        judgedMs = l.positionMs;
        const SiteObject at = truth(double(l.positionMs - startMs) / 1000.0);
        const Pointing view = fromNormalised(entry, *l.position);
        const Pointing wanted = frame(entry, at.xM, at.yM, at.objectClass);
        const bool central = Deadband::offsetShare(entry, view, wanted) <= centralShare;
        acquired = acquired || central;
        if (acquired) {
            ++f.samples;
            f.central += central;
        }
    }
    f.commands = rig.live()[0].commands - commandsBefore;
    return f;
}

std::function<SiteObject(double)> crossing(double rangeM, double fromXM, double speedMps,
                                           ObjectClass objectClass)
{
    return [=](double t) {
        SiteObject o;
        o.id = 1;
        o.xM = fromXM + speedMps * t;
        o.yM = rangeM;
        o.vxMps = speedMps;
        o.confirmed = true;
        o.objectClass = objectClass;
        return o;
    };
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: cue_bench PATH/onvif_device.py [SEED]\n");
        return 2;
    }
    QCoreApplication application(argc, argv); // the rig's thread needs one
    const unsigned seed = argc > 2 ? unsigned(std::atoi(argv[2])) : 1u;
    const Device device(QString::fromLocal8Bit(argv[1]));
    if (!device.port()) {
        std::fprintf(stderr, "cue_bench: the test camera did not start\n");
        return 1;
    }
    const site::CameraEntry entry = camera(device.port());
    CameraRig rig({entry}, {});
    if (!online(rig)) {
        std::fprintf(stderr, "cue_bench: the test camera is not online\n");
        return 1;
    }

    const struct
    {
        const char* what;
        double seconds;
        std::function<SiteObject(double)> truth;
    } runs[] = {
        {"walker 1.4 m/s at 300 m", 40.0, crossing(300, -28, 1.4, ObjectClass::Person)},
        {"car 60 km/h at 150 m", 18.0, crossing(150, -150, 60.0 / 3.6, ObjectClass::Car)},
    };
    for (const auto& r : runs) {
        const Framed f = follow(rig, entry, r.seconds, r.truth);
        std::printf("%s: %d of %d positions within the central 20 %% (%.1f %%), %lld moves\n",
                    r.what, f.central, f.samples, f.samples ? 100.0 * f.central / f.samples : 0.0,
                    (long long)f.commands);
    }

    // Alarms: each on a new object somewhere in reach, one picture each.
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> bearing(-M_PI, M_PI), range(30.0, 400.0);
    Cueing cueing({entry}, rig.ports());
    std::vector<double> latencies;
    for (int k = 0; k < alarmTrials; ++k) {
        const double b = bearing(random), d = range(random);
        SiteObject o;
        o.id = 1000 + k;
        o.xM = d * std::sin(b);
        o.yM = d * std::cos(b);
        o.confirmed = true;
        const std::size_t before = device.moves().size();
        const std::int64_t raisedMs = wallMs();
        Picture picture;
        picture.timeMs = raisedMs;
        picture.objects.append(o);
        cueing.picture(picture, {CueAlarm{k + 1, o.id, raisedMs, false}}, {}, {}, rig.live(),
                       raisedMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
        const std::vector<std::int64_t> moves = device.moves();
        if (moves.size() > before)
            latencies.push_back(double(moves[before] - raisedMs));
    }
    if (latencies.size() == std::size_t(alarmTrials))
        std::printf("alarm to the camera's first move: median %.0f ms, p95 %.0f ms (%d alarms)\n",
                    percentile(latencies, 0.5), percentile(latencies, 0.95), alarmTrials);
    else
        std::printf("alarm to the camera's first move: %zu of %d alarms moved the camera\n",
                    latencies.size(), alarmTrials);

    // A walker standing still: the deadband's moves once acquired.
    const auto standing = [](double) {
        SiteObject o;
        o.id = 1;
        o.xM = 30.0;
        o.yM = 95.0;
        o.confirmed = true;
        o.objectClass = ObjectClass::Person;
        return o;
    };
    const Framed still = follow(rig, entry, standingS, standing);
    std::printf("walker standing at 100 m: %lld moves in %.0f s (%.2f a second), %d of %d "
                "positions central\n",
                (long long)still.commands, standingS, double(still.commands) / standingS,
                still.central, still.samples);
    return 0;
}

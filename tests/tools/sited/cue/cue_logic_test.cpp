// Camera cueing's logic: pointing and the generic spaces, a simulated
// camera (finite pan and tilt speeds, a latency) driven by the controller at
// ten pictures a second, the chooser's rules, the lost object sent home,
// and a camera's alignment from surveyed points.

#include "tools/sited/cue/aim.h"
#include "tools/sited/cue/cameraalign.h"
#include "tools/sited/cue/chooser.h"
#include "tools/sited/cue/cuecontroller.h"
#include "tools/sited/cue/cueing.h"
#include "util/units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>
#include <random>

namespace trklib::sited::test {
namespace {

using namespace cue;

constexpr std::int64_t startMs = 1'700'000'000'000;
constexpr std::int64_t frameMs = 100; // ten pictures a second

site::CameraEntry cameraAt(double x, double y, double headingDeg = 0.0)
{
    site::CameraEntry c;
    c.name = QStringLiteral("test");
    c.xM = x;
    c.yM = y;
    c.heightM = 10.0;
    c.headingDeg = headingDeg;
    return c;
}

TEST(CueAim, PointAt)
{
    struct Row
    {
        const char* name;
        double heading, tiltOffset, panMin, panMax;
        double x, y, z;
        double pan, tilt;
    };
    const Row rows[] = {
        {"north", 0, 0, -180, 180, 0, 100, 10, 0, 0},
        {"east", 0, 0, -180, 180, 100, 0, 10, 90, 0},
        {"west", 0, 0, -180, 180, -100, 0, 10, -90, 0},
        {"below", 0, 0, -180, 180, 0, 10, 0, 0, -45},
        {"heading east, point north", 90, 0, -180, 180, 0, 100, 10, -90, 0},
        {"heading across north", 350, 0, -180, 180, 100 * std::sin(0.1745329),
         100 * std::cos(0.1745329), 10, 20, 0},
        {"tilt zero above the horizon", 0, 5, -180, 180, 0, 100, 10, 0, -5},
        {"range 0..350 takes the turn within", 0, 0, 0, 350, -100 * std::sin(0.1745329),
         100 * std::cos(0.1745329), 10, 350, 0},
    };
    for (const Row& r : rows) {
        site::CameraEntry c = cameraAt(0, 0, r.heading);
        c.tiltOffsetDeg = r.tiltOffset;
        c.panMinDeg = r.panMin;
        c.panMaxDeg = r.panMax;
        const Pointing p = pointAt(c, r.x, r.y, r.z);
        EXPECT_NEAR(p.panDeg, r.pan, 1e-3) << r.name;
        EXPECT_NEAR(p.tiltDeg, r.tilt, 1e-3) << r.name;
    }
}

TEST(CueAim, NormalisedAndBack)
{
    site::CameraEntry c = cameraAt(0, 0);
    c.panMinDeg = -170;
    c.panMaxDeg = 170;
    // tan(fov/2) = tan(wide/2) / (1 + z (k - 1)) at zoom 0.5.
    const double k = std::tan(30 * util::radPerDeg) / std::tan(1 * util::radPerDeg);
    const double midFov =
        2 * std::atan(std::tan(30 * util::radPerDeg) / (1 + 0.5 * (k - 1))) * util::degPerRad;
    struct Row
    {
        const char* name;
        Pointing in;
        Normalised out;
        bool roundTrip; // within the spaces: back to the same pointing
    };
    const Row rows[] = {
        {"centre, widest", {0, -45, 60}, {0, 0, 0}, true},
        {"range ends, narrowest", {170, 0, 2}, {1, 1, 1}, true},
        {"lower ends", {-170, -90, 60}, {-1, -1, 0}, true},
        {"zoom halfway", {85, -22.5, midFov}, {0.5, 0.5, 0.5}, true},
        {"pan beyond the range clamped", {175, -45, 60}, {1, 0, 0}, false},
        {"tilt above clamped", {0, 10, 60}, {0, 1, 0}, false},
        {"narrower than narrowest clamped", {0, -45, 1}, {0, 0, 1}, false},
        {"wider than widest clamped", {0, -45, 90}, {0, 0, 0}, false},
    };
    for (const Row& r : rows) {
        const Normalised n = normalised(c, r.in);
        EXPECT_NEAR(n.pan, r.out.pan, 1e-9) << r.name;
        EXPECT_NEAR(n.tilt, r.out.tilt, 1e-9) << r.name;
        EXPECT_NEAR(n.zoom, r.out.zoom, 1e-9) << r.name;
        if (!r.roundTrip)
            continue;
        const Pointing back = fromNormalised(c, n);
        EXPECT_NEAR(back.panDeg, r.in.panDeg, 1e-9) << r.name;
        EXPECT_NEAR(back.tiltDeg, r.in.tiltDeg, 1e-9) << r.name;
        EXPECT_NEAR(back.fovDeg, r.in.fovDeg, 1e-9) << r.name;
    }
}

TEST(CueAim, FramingAndSlew)
{
    // The field of view that frames a class at a range (fill 0.3).
    struct FrameRow
    {
        ObjectClass cls;
        double rangeM, fovDeg;
    };
    const FrameRow frames[] = {
        {ObjectClass::Person, 100, 2.0},                                          // 2 m: narrowest
        {ObjectClass::Car, 100, 2 * std::atan(7.5 / 100) * util::degPerRad},      // 15 m
        {ObjectClass::Truck, 100, 2 * std::atan(16.667 / 100) * util::degPerRad}, // 33 m
        {ObjectClass::Truck, 10, 60.0},                                           // widest
    };
    const site::CameraEntry ground = [] {
        site::CameraEntry c = cameraAt(0, 0);
        c.heightM = 0;
        return c;
    }();
    for (const FrameRow& r : frames) {
        const double centre = classSize(r.cls).centreM;
        const double along = std::sqrt(r.rangeM * r.rangeM - centre * centre);
        EXPECT_NEAR(frame(ground, 0, along, r.cls).fovDeg, r.fovDeg, 1e-3) << className(r.cls);
    }

    // Latency plus the slower of pan and tilt (60 and 30 degrees/s).
    struct SlewRow
    {
        const char* name;
        double panMin, panMax, fromPan, toPan, fromTilt, toTilt, seconds;
    };
    const SlewRow slews[] = {
        {"pans round the short way", -180, 180, 170, -170, 0, 0, 0.3 + 20.0 / 60},
        {"limited range goes the long way", -170, 170, 160, -160, 0, 0, 0.3 + 320.0 / 60},
        {"tilt the slower", -180, 180, 0, 10, 0, -30, 0.3 + 1.0},
        {"no move: the latency", -180, 180, 5, 5, -5, -5, 0.3},
    };
    for (const SlewRow& r : slews) {
        site::CameraEntry c = cameraAt(0, 0);
        c.panMinDeg = r.panMin;
        c.panMaxDeg = r.panMax;
        EXPECT_NEAR(slewTimeS(c, {r.fromPan, r.fromTilt, 60}, {r.toPan, r.toTilt, 60}), r.seconds,
                    1e-9)
            << r.name;
    }
}

TEST(CueAim, Deadband)
{
    // The last command looked level at pan 0 with a 10 degree wide view:
    // a share of the view's width is ten times it in pan degrees.
    const site::CameraEntry c = cameraAt(0, 0);
    const Command last{{0, 0, 10}, startMs, 1};
    const double tiltPerShare =
        2 * std::atan(std::tan(5 * util::radPerDeg) * 9 / 16) * util::degPerRad;
    struct Row
    {
        const char* name;
        bool commanded; // a command was sent before
        std::int64_t objectId;
        double panDeg, tiltDeg, fovDeg, nextPanDeg;
        std::int64_t sinceMs;
        bool wanted;
    };
    const Row rows[] = {
        {"nothing sent yet", false, 1, 0, 0, 10, 0, 100, true},
        {"a new object at the same place", true, 2, 0, 0, 10, 0, 100, true},
        {"within the central 10 %", true, 1, 0.4, 0, 10, 0.4, 5000, false},
        {"within 20 %, held", true, 1, 0.8, 0, 10, 0.8, 900, false},
        {"within 20 %, a second on", true, 1, 0.8, 0, 10, 0.8, 1000, true},
        {"beyond 20 %", true, 1, 1.1, 0, 10, 1.1, 100, true},
        {"about to leave 20 %", true, 1, 0.8, 0, 10, 1.1, 100, true},
        {"tilt beyond 20 % of the height", true, 1, 0, 0.11 * tiltPerShare, 10, 0, 100, true},
        {"zoom by 25 %, held", true, 1, 0, 0, 12.5, 0, 900, false},
        {"zoom by 25 %, a second on", true, 1, 0, 0, 12.5, 0, 1000, true},
        {"zoom by 15 %", true, 1, 0, 0, 11.5, 0, 5000, false},
    };
    for (const Row& r : rows) {
        const std::optional<Command> sent =
            r.commanded ? std::optional<Command>(last) : std::nullopt;
        EXPECT_EQ(Deadband::wanted(c, sent, {r.panDeg, r.tiltDeg, r.fovDeg},
                                   {r.nextPanDeg, r.tiltDeg, r.fovDeg}, r.objectId,
                                   startMs + r.sinceMs),
                  r.wanted)
            << r.name;
    }
}

// A PTZ camera: each move starts latencyS after it is sent, then pan and
// tilt run to it at full speed; the view's width changes at once.
class SimCamera : public PtzPort
{
public:
    explicit SimCamera(const site::CameraEntry& c) : camera(c), at(homeOf(c)) {}

    void absoluteMove(double pan, double tilt, double zoom) override
    {
        pending.push_back({nowMs + std::int64_t(camera.latencyS * 1000),
                           fromNormalised(camera, {pan, tilt, zoom})});
        sentMs.push_back(nowMs);
    }

    void advanceTo(std::int64_t toMs)
    {
        constexpr std::int64_t stepMs = 5;
        for (; nowMs < toMs; nowMs += stepMs) {
            while (!pending.empty() && pending.front().startMs <= nowMs) {
                target = pending.front().to;
                at.fovDeg = target.fovDeg;
                pending.pop_front();
            }
            const double dt = stepMs / 1000.0;
            const double dPan = pansRound(camera) ? std::remainder(target.panDeg - at.panDeg, 360.0)
                                                  : target.panDeg - at.panDeg;
            at.panDeg +=
                std::clamp(dPan, -camera.panSpeedDegPerS * dt, camera.panSpeedDegPerS * dt);
            const double dTilt = target.tiltDeg - at.tiltDeg;
            at.tiltDeg +=
                std::clamp(dTilt, -camera.tiltSpeedDegPerS * dt, camera.tiltSpeedDegPerS * dt);
        }
    }

    site::CameraEntry camera;
    Pointing at;
    Pointing target = at;
    std::int64_t nowMs = startMs;
    struct Move
    {
        std::int64_t startMs;
        Pointing to;
    };
    std::deque<Move> pending;
    std::vector<std::int64_t> sentMs;
};

struct FollowRun
{
    int acquiredFrames = 0; // from the first frame the object was within the band
    int inBandFrames = 0;
    std::vector<std::int64_t> sentMs;
};

// One object (id 1) the camera follows for seconds, its picture's place
// noisy by noiseM; each frame, whether the true object lies within the
// central 20 % of the simulated camera's view.
FollowRun follow(const site::CameraEntry& camera, std::function<SiteObject(double)> truthAt,
                 double seconds, double noiseM)
{
    SimCamera sim(camera);
    CueController controller({camera}, {&sim});
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, noiseM > 0 ? noiseM : 1e-12);
    FollowRun run;
    bool acquired = false;
    for (std::int64_t now = startMs; now < startMs + std::int64_t(seconds * 1000); now += frameMs) {
        sim.advanceTo(now);
        const double t = (now - startMs) / 1000.0;
        const SiteObject truth = truthAt(t);
        const Pointing truly = frame(camera, truth.xM, truth.yM, truth.objectClass);
        const bool inBand = Deadband::offsetShare(camera, sim.at, truly) <= 0.1;
        acquired = acquired || inBand;
        run.acquiredFrames += acquired;
        run.inBandFrames += acquired && inBand;

        const Normalised reported = normalised(camera, sim.at);
        controller.reportPosition(0, reported.pan, reported.tilt, reported.zoom, now);
        Picture picture;
        picture.timeMs = now;
        SiteObject seen = truth;
        seen.xM += noise(rng);
        seen.yM += noise(rng);
        picture.objects.append(seen);
        controller.update(picture, {CueChoice{1, CueReason::Followed}}, now);
    }
    run.sentMs = sim.sentMs;
    return run;
}

// Crossing east at speed along the line y = rangeM, class cls.
std::function<SiteObject(double)> crossing(double rangeM, double startX, double speedMps,
                                           ObjectClass cls)
{
    return [=](double t) {
        SiteObject o;
        o.id = 1;
        o.xM = startX + speedMps * t;
        o.yM = rangeM;
        o.vxMps = speedMps;
        o.objectClass = cls;
        o.confirmed = true;
        return o;
    };
}

TEST(CueController, FollowsWithinTheCentre)
{
    struct Row
    {
        const char* name;
        double rangeM, startX, speedMps;
        ObjectClass cls;
        double seconds, noiseM;
        double minInBand;      // share of frames once acquired
        std::int64_t minGapMs; // between any two moves after the first; 0: unchecked
    };
    const Row rows[] = {
        {"walker at 300 m crossing", 300, -40, 1.4, ObjectClass::Person, 57, 0.0, 0.95, 0},
        {"car at 60 km/h at 150 m led", 150, -100, 60 / 3.6, ObjectClass::Car, 12, 0.0, 0.95, 0},
        {"slow walker: no command storm", 300, -5, 0.2, ObjectClass::Person, 40, 0.15, 0.95, 1000},
    };
    for (const Row& r : rows) {
        const FollowRun run = follow(
            cameraAt(0, 0), crossing(r.rangeM, r.startX, r.speedMps, r.cls), r.seconds, r.noiseM);
        ASSERT_GT(run.acquiredFrames, 0) << r.name;
        EXPECT_GE(double(run.inBandFrames) / run.acquiredFrames, r.minInBand)
            << r.name << ": " << run.inBandFrames << " of " << run.acquiredFrames;
        for (std::size_t i = 2; r.minGapMs && i < run.sentMs.size(); ++i)
            EXPECT_GE(run.sentMs[i] - run.sentMs[i - 1], r.minGapMs) << r.name << " move " << i;
        EXPECT_GE(run.sentMs.size(), 2u) << r.name;
    }
}

// Records the moves.
struct RecordingPort : PtzPort
{
    void absoluteMove(double pan, double tilt, double zoom) override
    {
        moves.push_back({pan, tilt, zoom});
    }
    std::vector<Normalised> moves;
};

TEST(CueController, LostObjectHomeAfterItsTimeAndOperatorLeftAlone)
{
    site::CameraEntry camera = cameraAt(0, 0);
    camera.homeAfterS = 3.0;
    camera.homePanDeg = 45;
    camera.homeTiltDeg = -10;
    RecordingPort port;
    CueController controller({camera}, {&port});
    const auto walker = crossing(100, 0, 1.4, ObjectClass::Person);
    const std::int64_t lostMs = startMs + 2000;
    std::int64_t homeSentMs = 0;
    std::size_t movesAtHome = 0;
    for (std::int64_t now = startMs; now <= startMs + 8000; now += frameMs) {
        Picture picture;
        picture.timeMs = now;
        if (now < lostMs)
            picture.objects.append(walker((now - startMs) / 1000.0));
        const auto choices = choose({camera}, picture, {}, {{{0, 1}}, {}}, {});
        const std::size_t before = port.moves.size();
        controller.update(picture, choices, now);
        const CueCameraState s = controller.state(0);
        if (now >= lostMs && now - lostMs < 3000 - frameMs) {
            EXPECT_TRUE(s.coasting) << now - startMs;
            EXPECT_EQ(s.objectId, 1) << now - startMs;
        }
        if (s.home && !homeSentMs) {
            homeSentMs = now;
            ASSERT_EQ(port.moves.size(), before + 1);
            movesAtHome = port.moves.size();
        }
    }
    // Home once, 3 s after the last sight (at 1.9 s), and nothing since.
    EXPECT_GE(homeSentMs - (lostMs - frameMs), 3000);
    EXPECT_LE(homeSentMs - (lostMs - frameMs), 3000 + frameMs);
    const Normalised home = normalised(camera, homeOf(camera));
    EXPECT_EQ(port.moves.size(), movesAtHome);
    ASSERT_FALSE(port.moves.empty());
    EXPECT_DOUBLE_EQ(port.moves.back().pan, home.pan);
    EXPECT_DOUBLE_EQ(port.moves.back().tilt, home.tilt);
    EXPECT_EQ(controller.state(0).commands, std::int64_t(port.moves.size()));

    // Taken over: left alone; given back: commanded at once.
    const std::size_t sent = port.moves.size();
    controller.takeOver(0);
    Picture picture;
    picture.timeMs = startMs + 9000;
    picture.objects.append(walker(9.0));
    controller.update(picture, {CueChoice{1, CueReason::Followed}}, picture.timeMs);
    EXPECT_EQ(port.moves.size(), sent);
    controller.giveBack(0);
    controller.update(picture, {CueChoice{1, CueReason::Followed}}, picture.timeMs + 100);
    EXPECT_EQ(port.moves.size(), sent + 1);
}

// The live stage: the operators' desk (by camera name), a taken-over
// camera left alone and given back, the followed object, and each camera's
// status as the site status has it.
TEST(CueStage, DeskChoicesAndStatus)
{
    site::CameraEntry camera = cameraAt(10, 20, 90);
    camera.name = QStringLiteral("gate");
    RecordingPort port;
    Cueing cueing({camera}, {&port});
    CameraDesk desk({camera});
    int status = 0;
    QString why;
    EXPECT_FALSE(desk.act("yard", CameraDesk::Action::TakeOver, {}, status, why));
    EXPECT_EQ(status, 404);
    EXPECT_EQ(why, "no camera yard");

    const auto walker = crossing(100, 0, 1.4, ObjectClass::Person);
    CameraLive live;
    live.online = true;
    live.commands = 0;
    std::int64_t now = startMs;
    const auto step = [&](int pictures) {
        for (int k = 0; k < pictures; ++k, now += frameMs) {
            Picture picture;
            picture.timeMs = now;
            picture.objects.append(walker((now - startMs) / 1000.0));
            cueing.picture(picture, {}, {}, desk.choices(), {live}, now);
        }
        return cueing.status({live}, now).value(0);
    };
    ASSERT_TRUE(desk.act("gate", CameraDesk::Action::Follow, 1, status, why));
    CameraStatus s = step(1);
    EXPECT_EQ(s.following, 1);
    EXPECT_EQ(s.why, "followed");
    ASSERT_EQ(port.moves.size(), 1u);

    ASSERT_TRUE(desk.act("gate", CameraDesk::Action::TakeOver, {}, status, why));
    s = step(20);
    EXPECT_TRUE(s.takenOver);
    EXPECT_EQ(s.why, "operator");
    EXPECT_EQ(s.following, 0);
    EXPECT_EQ(port.moves.size(), 1u);
    ASSERT_TRUE(desk.act("gate", CameraDesk::Action::GiveBack, {}, status, why));
    step(1);
    EXPECT_EQ(port.moves.size(), 2u);
    ASSERT_TRUE(desk.act("gate", CameraDesk::Action::Follow, {}, status, why));
    s = step(1);
    EXPECT_EQ(s.why, "home");

    // Pan 0.5 of +-180 from heading 90: bearing 180; 10 commands in 2 s.
    live.position = Normalised{0.5, 0.0, 0.0};
    live.positionMs = now;
    live.commands = 10;
    cueing.status({live}, now - 2000);
    live.commands = 20;
    live.errors = 3;
    s = cueing.status({live}, now).value(0);
    EXPECT_DOUBLE_EQ(*s.bearingDeg, 180.0);
    EXPECT_DOUBLE_EQ(s.commandsPerS, 5.0);
    live.online = false;
    live.problem = "camera gate: the device refused the password";
    s.live = live;
    EXPECT_EQ(camerasJson({s}).toStdString(),
              "{\"gate\":{\"online\":false,\"problem\":\"camera gate: the device refused the "
              "password\",\"x_m\":10,\"y_m\":20,\"bearing_deg\":180,\"fov_deg\":60,"
              "\"reach_m\":500,\"following\":null,\"why\":\"home\",\"taken_over\":false,"
              "\"commands\":20,\"commands_per_s\":5,\"errors\":3}}");
}

TEST(CueChooser, Rules)
{
    // A and B pan round; N looks north only (pan -45..45).
    const site::CameraEntry a = cameraAt(0, 0), b = cameraAt(100, 0);
    site::CameraEntry n = cameraAt(0, 0);
    n.panMinDeg = -45;
    n.panMaxDeg = 45;
    Picture picture;
    auto place = [&](std::int64_t id, double x, double y) {
        SiteObject o;
        o.id = id;
        o.xM = x;
        o.yM = y;
        picture.objects.append(o);
    };
    place(1, 0, 200);   // A 200 m, B 224 m
    place(3, 0, -200);  // south
    place(4, 0, 900);   // beyond every reach
    place(5, -50, 100); // A 112 m, B 180 m

    struct Row
    {
        const char* name;
        QVector<site::CameraEntry> cameras;
        QVector<CueAlarm> alarms;
        OperatorChoices choices;
        QSet<std::int64_t> watched;
        QStringList why;
        QVector<std::int64_t> objects;
    };
    const Row rows[] = {
        {"two alarms one camera: the newer wins",
         {a},
         {{10, 1, 1000, false}, {11, 5, 2000, false}},
         {},
         {},
         {"alarm 11"},
         {5}},
        {"a second camera in reach takes the older",
         {a, b},
         {{10, 1, 1000, false}, {11, 5, 2000, false}},
         {},
         {},
         {"alarm 11", "alarm 10"},
         {5, 1}},
        {"acknowledged alarm passed over",
         {a},
         {{10, 1, 1000, false}, {11, 5, 2000, true}},
         {},
         {},
         {"alarm 10"},
         {1}},
        {"alarm on an object gone waits", {a}, {{10, 99, 1000, false}}, {}, {}, {"home"}, {0}},
        {"operator takeover left alone",
         {a, b},
         {{10, 5, 1000, false}},
         {{}, {0}},
         {},
         {"operator", "alarm 10"},
         {0, 5}},
        {"alarm beats followed",
         {a},
         {{10, 5, 1000, false}},
         {{{0, 1}}, {}},
         {},
         {"alarm 10"},
         {5}},
        {"followed beats watch", {a}, {}, {{{0, 1}}, {}}, {5}, {"followed"}, {1}},
        {"nearest watched", {a}, {}, {}, {1, 5}, {"watch"}, {5}},
        {"watched not followed elsewhere preferred",
         {a, b},
         {},
         {{{0, 5}}, {}},
         {1, 5},
         {"followed", "watch"},
         {5, 1}},
        {"out of reach ignored", {n}, {{10, 3, 1000, false}}, {{{0, 4}}, {}}, {4}, {"home"}, {0}},
    };
    for (const Row& r : rows) {
        const QVector<CueChoice> got = choose(r.cameras, picture, r.alarms, r.choices, r.watched);
        ASSERT_EQ(got.size(), r.cameras.size()) << r.name;
        for (int c = 0; c < got.size(); ++c) {
            EXPECT_EQ(got[c].why(), r.why[c]) << r.name << " camera " << c;
            EXPECT_EQ(got[c].objectId, r.objects[c]) << r.name << " camera " << c;
        }
    }
}

TEST(CueAlign, FromSurveyedPoints)
{
    site::CameraEntry camera = cameraAt(20, -30, 359.0);
    camera.tiltOffsetDeg = 1.0;
    constexpr double truePanDeg = 4.0, trueTiltDeg = -2.5;
    struct Row
    {
        const char* name;
        QVector<double> bearingsDeg; // of the points from the camera, 150 m out on the ground
        double noiseDeg;
        bool ok;
    };
    const Row rows[] = {
        {"3 points across north, 0.1 degrees noise", {-40, 10, 70}, 0.1, true},
        {"5 points round", {0, 72, 144, 216, 288}, 0.1, true},
        {"2 points refused", {0, 90}, 0.0, false},
        {"one bearing refused", {30, 31, 32}, 0.0, false},
    };
    std::mt19937 rng(3);
    for (const Row& r : rows) {
        std::normal_distribution<double> noise(0.0, r.noiseDeg > 0 ? r.noiseDeg : 1e-12);
        // The true camera points at heading + truePan: its pan reads that
        // much less than the site file would give.
        QVector<SurveyPoint> points;
        for (double b : r.bearingsDeg) {
            SurveyPoint p;
            p.xM = camera.xM + 150 * std::sin(b * util::radPerDeg);
            p.yM = camera.yM + 150 * std::cos(b * util::radPerDeg);
            const Pointing nominal = pointAt(camera, p.xM, p.yM, p.zM);
            p.panDeg = nominal.panDeg - truePanDeg + noise(rng);
            p.tiltDeg = nominal.tiltDeg - trueTiltDeg + noise(rng);
            points.append(p);
        }
        CameraAlignment out;
        QString error;
        ASSERT_EQ(alignCamera(camera, points, out, error), r.ok)
            << r.name << ": " << qPrintable(error);
        if (!r.ok) {
            EXPECT_FALSE(error.isEmpty()) << r.name;
            EXPECT_FALSE(error.contains('\n')) << r.name;
            continue;
        }
        EXPECT_NEAR(out.panOffsetDeg, truePanDeg, 0.3) << r.name;
        EXPECT_NEAR(out.tiltOffsetDeg, trueTiltDeg, 0.3) << r.name;
        EXPECT_GT(out.rmsDeg, 0.0) << r.name;
        EXPECT_LT(out.rmsDeg, 0.3) << r.name;
    }
}

} // namespace
} // namespace trklib::sited::test

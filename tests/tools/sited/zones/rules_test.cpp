#include "tools/sited/zones/alarms.h"
#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonemessages.h"
#include "tools/sited/zones/zoneoutput.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <algorithm>
#include <vector>

using namespace trklib::sited::zones;

// The rules on short hand-made scenes, one row per way they can go wrong,
// with the events written out as "time kind zone object [detail]".
namespace trklib::sited::test {
namespace {

constexpr double mpsPerKph = 1.0 / 3.6;

struct Seen
{
    std::int64_t id;
    double x, y;
    double speedKph = 0.0; // eastward
    bool confirmed = true;
    ObjectClass objectClass = ObjectClass::Unknown;
};

struct Frame
{
    std::int64_t timeMs;
    std::vector<Seen> objects;
};

Zone square(const char* name, double size, std::optional<double> dwellS = {},
            std::optional<double> limitKph = {}, bool confirmedOnly = true)
{
    Zone zone;
    zone.name = QString::fromLatin1(name);
    zone.rings = {{{0, 0}, {size, 0}, {size, size}, {0, size}, {0, 0}}};
    zone.dwellS = dwellS;
    zone.speedLimitKph = limitKph;
    zone.confirmedOnly = confirmedOnly;
    return zone;
}

// The zone, caring only for those classes.
Zone caring(Zone zone, QVector<ObjectClass> classes, bool strict = false)
{
    zone.classes = std::move(classes);
    zone.strict = strict;
    return zone;
}

Zone line(const char* name, Path points, bool confirmedOnly = true)
{
    Zone zone;
    zone.name = QString::fromLatin1(name);
    zone.kind = Zone::Kind::Line;
    zone.line = std::move(points);
    zone.confirmedOnly = confirmedOnly;
    return zone;
}

QString describe(const Rules& rules, const Event& e)
{
    static const char* const kinds[] = {"enter", "exit", "dwell", "speed", "cross"};
    QString text = QStringLiteral("%1 %2 %3 %4")
                       .arg(e.timeMs)
                       .arg(QLatin1String(kinds[int(e.kind)]))
                       .arg(rules.zones()[e.zone].name)
                       .arg(e.object);
    if (e.kind == Event::Kind::Exit || e.kind == Event::Kind::Dwell)
        text += QStringLiteral(" %1s").arg(e.dwellS);
    if (e.kind == Event::Kind::Cross)
        text += e.left ? QStringLiteral(" left") : QStringLiteral(" right");
    if (e.lost)
        text += QStringLiteral(" lost at %1,%2 %3kph").arg(e.xM).arg(e.yM).arg(e.speedKph);
    if (e.objectClass != ObjectClass::Unknown)
        text += QStringLiteral(" (%1)").arg(QLatin1String(className(e.objectClass)));
    return text;
}

Picture pictureOf(const Frame& frame)
{
    Picture picture;
    picture.timeMs = frame.timeMs;
    for (const Seen& s : frame.objects) {
        SiteObject o;
        o.id = s.id;
        o.xM = s.x;
        o.yM = s.y;
        o.vxMps = s.speedKph * mpsPerKph;
        o.confirmed = s.confirmed;
        o.objectClass = s.objectClass;
        picture.objects.append(o);
    }
    return picture;
}

QString run(Rules& rules, const std::vector<Frame>& frames)
{
    QStringList events;
    for (const Frame& frame : frames) {
        for (const Event& e : rules.evaluate(pictureOf(frame)))
            events << describe(rules, e);
    }
    return events.join(QStringLiteral("; "));
}

TEST(Rules, RaiseTheEventsOfEachCase)
{
    const struct
    {
        const char* what;
        QVector<Zone> zones;
        std::vector<Frame> frames;
        const char* events;
    } cases[]{
        {"born inside: enter in its first picture, inside on the edge too",
         {square("box", 10)},
         {{0, {{1, 5, 5}, {2, 10, 3}, {3, 10.000001, 3}}}},
         "0 enter box 1; 0 enter box 2"},
        {"born unconfirmed: counts from its first confirmed picture, unless the zone takes all",
         {square("box", 10), square("any", 10, {}, {}, false)},
         {{0, {{1, 5, 5, 0, false}}}, {100, {{1, 5, 5, 0, true}}}, {200, {{1, 5, 5, 0, false}}}},
         "0 enter any 1; 100 enter box 1"},
        {"along the boundary, then into a corner, then just out",
         {square("box", 10)},
         {{0, {{1, 0, 0}}},
          {100, {{1, 0, 5}}},
          {200, {{1, 0, 10}}},
          {300, {{1, 5, 10}}},
          {400, {{1, 5, 10.000000000000002}}}},
         "0 enter box 1; 400 exit box 1 0.4s"},
        {"a hole: its edge is inside the zone, its inside is not",
         {[] {
             Zone z = square("ring", 10);
             z.rings.append({{4, 4}, {6, 4}, {6, 6}, {4, 6}, {4, 4}});
             return z;
         }()},
         {{0, {{1, 4, 5}}}, {100, {{1, 4.5, 5}}}, {200, {{1, 6, 6}}}},
         "0 enter ring 1; 100 exit ring 1 0.1s; 200 enter ring 1"},
        {"a line crossed back and forth, once per move, direction by the drawn segment",
         {line("fence", {{0, 0}, {10, 0}})},
         {{0, {{1, 5, -1}}}, {100, {{1, 5, 1}}}, {200, {{1, 5, -1}}}, {300, {{1, 6, -2}}}},
         "100 cross fence 1 left; 200 cross fence 1 right"},
        {"a line touched at its end point, then left from it, then missed just past it",
         {line("fence", {{0, 0}, {10, 0}})},
         {{0, {{1, 10, -1}}},
          {100, {{1, 10, 0}}},
          {200, {{1, 10, 1}}},
          {300, {{1, 10.000000000000002, -1}}}},
         "100 cross fence 1 left"},
        {"through a corner shared by two segments: one event, for the first segment",
         {line("fence", {{0, 0}, {10, 0}, {10, 10}})},
         {{0, {{1, 11, -1}}}, {100, {{1, 9, 1}}}},
         "100 cross fence 1 left"},
        {"a move along the line onto it from beyond its end",
         {line("fence", {{0, 0}, {10, 0}})},
         {{0, {{1, 12, 0}}}, {100, {{1, 10, 0}}}},
         "100 cross fence 1 right"},
        {"a hair off a line, where a rounded cross product says on it; then on it",
         {line("diagonal", {{0.1, 0.1}, {24.3, 24.3}})},
         {{0, {{1, 11.999999999999892, 11.999999999999893}}},
          {100, {{1, 13, 11}}},
          {200, {{1, 12, 12}}},
          {300, {{1, 11, 13}}}},
         "100 cross diagonal 1 right; 200 cross diagonal 1 left"},
        {"lost inside: exit in the first picture without it, from its last place",
         {square("box", 10)},
         {{1000, {{1, 5, 5, 3}, {2, 20, 20}}},
          {1500, {{1, 6, 5, 4}, {2, 20, 20}}},
          {1700, {{2, 20, 20}}}},
         "1000 enter box 1; 1700 exit box 1 0.7s lost at 6,5 4kph"},
        {"a dwell: not at 1999 ms, once at 2000 ms, again after a new enter",
         {square("box", 10, 2.0)},
         {{0, {{1, 5, 5}, {2, 5, 5}}},
          {1999, {{1, 5, 5}, {2, 11, 5}}},
          {2000, {{1, 5, 5}}},
          {3000, {{1, 5, 5}, {2, 5, 5}}},
          {3100, {{1, 11, 5}}},
          {3200, {{1, 5, 5}}},
          {5200, {{1, 5, 5}}}},
         "0 enter box 1; 0 enter box 2; 1999 exit box 2 1.999s; 2000 dwell box 1 2s; "
         "3000 enter box 2; 3100 exit box 1 3.1s; 3100 exit box 2 0.1s lost at 5,5 0kph; "
         "3200 enter box 1; 5200 dwell box 1 2s"},
        {"speed: above the limit on entering, once per stay; at the limit is not above",
         {square("box", 10, {}, 50.0)},
         {{0, {{1, 5, 5, 50.000001}, {2, 5, 5, 50}}},
          {100, {{1, 5, 5, 80}, {2, 5, 5, 50}}},
          {200, {{1, 11, 5}, {2, 5, 5, 51}}},
          {300, {{1, 5, 5, 90}}}},
         "0 enter box 1; 0 speed box 1; 0 enter box 2; 200 exit box 1 0.2s; 200 speed box 2; "
         "300 enter box 1; 300 speed box 1; 300 exit box 2 0.3s lost at 5,5 51kph"},
        {"confirmed_only line: no cross before the first confirmed picture, nor on it",
         {line("fence", {{0, 0}, {10, 0}}), line("any", {{0, 0}, {10, 0}}, false)},
         {{0, {{1, 5, -1, 0, false}}},
          {100, {{1, 5, 1, 0, false}}},
          {200, {{1, 5, -1, 0, true}}},
          {300, {{1, 5, 1, 0, false}}}},
         "100 cross any 1 left; 200 cross any 1 right; 300 cross fence 1 left; "
         "300 cross any 1 left"},
        {"classes: a zone for people takes people and the unknown, a strict one people only",
         {caring(square("people", 10), {ObjectClass::Person, ObjectClass::Animal}),
          caring(square("strict", 10), {ObjectClass::Person}, true)},
         {{0,
           {{1, 5, 5, 0, true, ObjectClass::Person},
            {2, 5, 5, 0, true, ObjectClass::Car},
            {3, 5, 5},
            {4, 5, 5, 0, true, ObjectClass::Animal}}}},
         "0 enter people 1 (person); 0 enter people 3; 0 enter people 4 (animal); "
         "0 enter strict 1 (person)"},
        {"a class change inside: out when it stops counting, in again when it counts again",
         {caring(square("people", 10), {ObjectClass::Person}, true)},
         {{0, {{1, 5, 5, 0, true, ObjectClass::Person}}},
          {100, {{1, 5, 5, 0, true, ObjectClass::Truck}}},
          {200, {{1, 5, 5, 0, true, ObjectClass::Person}}},
          {300, {{1, 6, 5, 0, true, ObjectClass::Person}}},
          {400, {}}},
         "0 enter people 1 (person); 100 exit people 1 0.1s (truck); 200 enter people 1 (person); "
         "400 exit people 1 0.2s lost at 6,5 0kph (person)"},
        {"a line for vehicles: a cross counts in a picture where the object is one",
         {caring(line("gate", {{0, 0}, {10, 0}}), {ObjectClass::Car}, true)},
         {{0, {{1, 5, -1, 0, true, ObjectClass::Car}}},
          {100, {{1, 5, 1, 0, true, ObjectClass::Person}}},
          {200, {{1, 5, -1, 0, true, ObjectClass::Car}}}},
         "200 cross gate 1 right (car)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rules rules(c.zones);
        EXPECT_EQ(run(rules, c.frames).toStdString(), c.events);
    }
}

// A zone's counts and occupants follow its events, and only the zones
// whose state changed are reported changed.
TEST(Rules, KeepEachZoneState)
{
    Rules rules({square("box", 10), line("fence", {{12, 0}, {20, 0}}), square("far", 1)});
    const std::vector<Frame> frames{
        {0, {{3, 5, 5}, {1, 5, 5}, {2, 15, -1}}},
        {100, {{3, 5, 5}, {1, 5, 5}, {2, 15, 1}}},
        {200, {{1, 5, 5}, {2, 15, -1}}},
    };
    run(rules, {frames[0]});
    EXPECT_EQ(rules.changedZones(), QVector<int>{0});
    EXPECT_EQ(rules.state(0).occupants, (QVector<std::int64_t>{1, 3}));
    run(rules, {frames[1]});
    EXPECT_EQ(rules.changedZones(), QVector<int>{1});
    run(rules, {frames[2]});
    EXPECT_EQ(rules.changedZones(), (QVector<int>{0, 1}));
    EXPECT_EQ(
        zoneStateMessage(rules.zones()[0], rules.state(0), true),
        R"({"zone":"box","occupants":[1],"entered":2,"exited":1,"crossings":{"left":0,"right":0},)"
        R"("classes":{"person":0,"two-wheeler":0,"car":0,"truck":0,"animal":0,"unknown":1},)"
        R"("armed":true,"override":null})");
    EXPECT_EQ(
        zoneStateMessage(rules.zones()[1], rules.state(1), false),
        R"({"zone":"fence","occupants":[],"entered":0,"exited":0,"crossings":{"left":1,"right":1},)"
        R"("classes":{"person":0,"two-wheeler":0,"car":0,"truck":0,"animal":0,"unknown":0},)"
        R"("armed":false,"override":null})");
    run(rules, {{300, {}}});
    {
        // The occupants by class follow a class change, which changes the zone.
        Rules counted({square("box", 10)});
        run(counted, {{0, {{1, 5, 5}, {2, 5, 5, 0, true, ObjectClass::Car}}}});
        run(counted,
            {{100, {{1, 5, 5, 0, true, ObjectClass::Car}, {2, 5, 5, 0, true, ObjectClass::Car}}}});
        EXPECT_EQ(counted.changedZones(), QVector<int>{0});
        EXPECT_EQ(counted.state(0).classes[int(ObjectClass::Car)], 2);
        EXPECT_EQ(counted.state(0).classes[int(ObjectClass::Unknown)], 0);
    }
    EXPECT_EQ(rules.state(0).occupants, QVector<std::int64_t>{});
    EXPECT_EQ(rules.state(0).exited, 2u);
}

// New zones while objects are about: a zone kept by name goes on exactly
// as in rules that never changed (its stays, dwell and speed flags, counts);
// a reshaped one judges the next picture by its new shape, a new one counts
// every object from it, a removed one is gone.
TEST(Rules, ReplaceGoesOnWithTheZonesKeptByName)
{
    const Zone box = square("box", 10, 2.0, 50.0);
    const QVector<Zone> zones{box, square("far", 10), line("fence", {{0, 12}, {10, 12}})};
    Rules plain(zones);
    Rules edited(zones);
    const Frame still{0, {{1, 5, 5, 60}, {2, 8, 8}, {3, 12, 12}}};
    run(plain, {still, {1000, still.objects}});
    run(edited, {still, {1000, still.objects}});
    Zone moved = square("far", 10);
    moved.rings = {{{6, 6}, {16, 6}, {16, 16}, {6, 16}, {6, 6}}};
    edited.replace({square("new", 10), box, moved});
    ASSERT_EQ(edited.zones().size(), 3);
    EXPECT_EQ(edited.state(1), plain.state(0));
    EXPECT_EQ(edited.state(2).entered, 2u) << "far's counts kept";
    const std::vector<Frame> after{{1100, still.objects},
                                   {2000, {{1, 5, 5, 70}, {2, 8, 8}}},
                                   {2100, {{1, 5, 11}}},
                                   {2200, {}}};
    QStringList others;
    for (const Frame& frame : after) {
        const Picture picture = pictureOf(frame);
        QVector<Event> expected = plain.evaluate(picture);
        expected.erase(std::remove_if(expected.begin(), expected.end(),
                                      [](const Event& e) { return e.zone != 0; }),
                       expected.end());
        QVector<Event> boxEvents;
        for (const Event& e : edited.evaluate(picture)) {
            if (e.zone == 1)
                boxEvents.append(e);
            else
                others << describe(edited, e);
        }
        ASSERT_EQ(boxEvents.size(), expected.size()) << frame.timeMs;
        for (int i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(describe(plain, expected[i]).toStdString());
            const Event& a = expected[i];
            const Event& b = boxEvents[i];
            EXPECT_TRUE(a.kind == b.kind && a.object == b.object && a.timeMs == b.timeMs &&
                        a.xM == b.xM && a.yM == b.yM && a.speedKph == b.speedKph &&
                        a.dwellS == b.dwellS && a.lost == b.lost);
        }
        EXPECT_EQ(edited.state(1), plain.state(0)) << frame.timeMs;
    }
    EXPECT_EQ(others.join("; ").toStdString(),
              "1100 enter new 1; 1100 enter new 2; 1100 exit far 1 1.1s; 1100 enter far 3; "
              "2000 exit far 3 0.9s lost at 12,12 0kph; "
              "2100 exit new 1 1s; 2100 exit new 2 1s lost at 8,8 0kph; "
              "2100 exit far 2 2.1s lost at 8,8 0kph");

    // A zone made confirmed_only: an unconfirmed object inside it exits.
    Rules any({square("any", 10, {}, {}, false)});
    run(any, {{0, {{5, 5, 5, 0, false}}}});
    any.replace({square("any", 10)});
    EXPECT_EQ(run(any, {{100, {{5, 5, 5, 0, false}}}}).toStdString(), "100 exit any 5 0.1s");
}

// A zone's state is published again when its schedule arms or disarms it,
// by the picture's clock in the site's time zone, and only then.
TEST(ZoneOutput, PublishesTheStateWhenTheZoneIsArmedOrDisarmed)
{
    site::SiteConfig config;
    config.name = QStringLiteral("s");
    config.timezone = "Europe/Berlin";
    Zone night = square("night", 10);
    night.armed = {{0b11111, 18 * 60, 7 * 60}}; // Mon-Fri 18:00 to 07:00
    ZoneOutput output(config, {night, square("box", 10)});
    constexpr std::int64_t tuesday0600Ms = 1796706000000; // 2026-12-08T06:00+01:00
    constexpr std::int64_t hourMs = 3600 * 1000;
    const auto changed = [&](std::int64_t timeMs) {
        Picture picture;
        picture.timeMs = timeMs;
        output.evaluate(picture);
        QStringList states;
        for (const TopicMessage& m : output.changedStates())
            states << QString::fromUtf8(m.topic + ' ' + m.payload);
        return states.join('\n').toStdString();
    };
    changed(tuesday0600Ms);
    EXPECT_TRUE(output.armed(0) && output.armed(1));
    EXPECT_EQ(changed(tuesday0600Ms + hourMs - 1), "");
    EXPECT_EQ(changed(tuesday0600Ms + hourMs),
              R"(trklib/s/zones/night {"zone":"night","occupants":[],)"
              R"("entered":0,"exited":0,"crossings":{"left":0,)"
              R"("right":0},"classes":{"person":0,"two-wheeler":0,"car":0,"truck":0,)"
              R"("animal":0,"unknown":0},"armed":false,"override":null})");
    EXPECT_EQ(changed(tuesday0600Ms + 2 * hourMs), "");
    EXPECT_EQ(changed(tuesday0600Ms + 12 * hourMs).substr(0, 20), "trklib/s/zones/night");
    EXPECT_TRUE(output.armed(0));
    output.arming(0).setOverride(false, tuesday0600Ms + 12 * hourMs, std::nullopt,
                                 QStringLiteral("ana"));
    EXPECT_FALSE(changed(tuesday0600Ms + 13 * hourMs).empty()) << "disarmed by the operator";
    EXPECT_FALSE(output.armed(0));
    EXPECT_EQ(output.states().size(), 2);
    // An operator's command: the state says who and until when, the
    // answer too; a zone that is not there is not found.
    const std::int64_t t = tuesday0600Ms + 14 * hourMs;
    const ArmingAnswer disarmed =
        output.command({ArmingCommand::Kind::Disarm, "box", 30, "otto"}, t);
    EXPECT_TRUE(disarmed.found && !disarmed.armed);
    ASSERT_TRUE(disarmed.override);
    EXPECT_EQ(disarmed.override->untilMs, t + 30 * 60 * 1000);
    const std::string override = R"("armed":false,"override":{"armed":false,"by":"otto",)"
                                 R"("since":1796756400000,"until":1796758200000}})";
    const auto armedOf = [](const std::string& state) {
        const std::size_t at = state.find("\"armed\"");
        return at == std::string::npos ? state : state.substr(at);
    };
    EXPECT_EQ(armedOf(changed(t + 100)), override) << "republished, its arming changed";
    EXPECT_FALSE(output.command({ArmingCommand::Kind::Arm, "nowhere", {}, "otto"}, t).found);
    // New zones: the override goes on with its zone's name, a zone that
    // is gone has its state's topic returned for clearing.
    EXPECT_EQ(output.replace({square("box", 20)}, t + 200),
              QVector<QByteArray>{"trklib/s/zones/night"});
    ASSERT_EQ(output.states().size(), 1);
    EXPECT_NE(output.states()[0].payload.indexOf("\"by\":\"otto\""), -1);
    EXPECT_EQ(armedOf(changed(t + 30 * 60 * 1000)), R"("armed":true,"override":null})")
        << "ran out: back to the schedule";
    EXPECT_TRUE(output.command({ArmingCommand::Kind::Arm, "box", {}, "ada"}, t).armed);
    ASSERT_EQ(output.takeCommandedStates().size(), 1) << "at once";
    EXPECT_EQ(changed(t + 30 * 60 * 1000 + 100), "") << "and not again";
    EXPECT_FALSE(output.command({ArmingCommand::Kind::Schedule, "box", {}, "ada"}, t).override);

    // The cameras' watched objects: those in zones marked for watching alone.
    Zone watched = square("watched", 10);
    watched.watch = true;
    ZoneOutput cameras(config, {square("plain", 30), watched});
    Picture picture;
    picture.timeMs = t;
    SiteObject inside;
    inside.id = 4;
    inside.xM = inside.yM = 5;
    inside.confirmed = true;
    SiteObject plain = inside;
    plain.id = 9;
    plain.xM = 20;
    picture.objects = {inside, plain};
    cameras.evaluate(picture);
    EXPECT_EQ(cameras.watchedOccupants(), QSet<std::int64_t>{4});
}

// The alarms of a book over two zones and a line, every change it tells
// written out as "time action alarm zone [user]".
class AlarmBookTest : public testing::Test
{
protected:
    AlarmBookTest()
    {
        Zone gate = square("gate", 10);
        gate.alarm = QStringList{QStringLiteral("enter")};
        Zone fence = line("fence", {{12, 0}, {20, 0}});
        fence.alarm = QStringList{QStringLiteral("cross")};
        zones_ = {gate, square("yard", 10), fence};
        book_ = std::make_unique<AlarmBook>(zones_);
        book_->addListener([this](const QVector<AlarmChange>& changes, const QVector<Alarm>&,
                                  const QVector<Shelving>&) {
            for (const AlarmChange& c : changes) {
                log_ << QStringLiteral("%1 %2 %3 %4%5")
                            .arg(c.timeMs)
                            .arg(QLatin1String(actionName(c.action)))
                            .arg(c.alarm)
                            .arg(c.zone, c.user.isEmpty() ? QString() : QLatin1Char(' ') + c.user);
                kept_.append(c);
            }
        });
    }

    static Event event(Event::Kind kind, int zone, std::int64_t object, std::int64_t timeMs)
    {
        Event e;
        e.kind = kind;
        e.zone = zone;
        e.object = object;
        e.timeMs = timeMs;
        return e;
    }
    void picture(std::int64_t timeMs, const QVector<Event>& events = {})
    {
        book_->picture(timeMs, zones_, events);
    }
    QString log()
    {
        const QString text = log_.join(QStringLiteral("; "));
        log_.clear();
        return text;
    }

    QVector<Zone> zones_;
    std::unique_ptr<AlarmBook> book_;
    QStringList log_;
    QVector<AlarmChange> kept_;
    int status_ = 0;
    QString why_;
};

// Raised, acknowledged, cleared when its object has left too; a line's
// cross cleared at its acknowledgement; a zone without "alarm" raises none.
TEST_F(AlarmBookTest, RaisedAcknowledgedAndClearedWhenTheObjectHasLeft)
{
    picture(1000, {event(Event::Kind::Enter, 0, 7, 1000), event(Event::Kind::Enter, 1, 7, 1000),
                   event(Event::Kind::Cross, 2, 8, 1000)});
    EXPECT_EQ(log(), "1000 raise 1 gate; 1000 raise 2 fence; 1000 left 2 fence");
    ASSERT_EQ(book_->open().size(), 2);
    EXPECT_TRUE(book_->acknowledge(2, "otto", "seen", 1500, status_, why_));
    EXPECT_EQ(log(), "1500 acknowledge 2 fence otto; 1500 clear 2 fence");
    EXPECT_TRUE(book_->acknowledge(1, "otto", "", 2000, status_, why_));
    EXPECT_FALSE(book_->acknowledge(1, "ada", "", 2100, status_, why_));
    EXPECT_EQ(status_, 409);
    EXPECT_FALSE(book_->acknowledge(2, "ada", "", 2100, status_, why_));
    EXPECT_EQ(status_, 404);
    EXPECT_TRUE(book_->addNote(1, "ada", QString(maxAlarmNoteChars, 'n'), 2200, status_, why_));
    EXPECT_FALSE(
        book_->addNote(1, "ada", QString(maxAlarmNoteChars + 1, 'n'), 2200, status_, why_));
    EXPECT_EQ(status_, 400);
    EXPECT_EQ(log(), "2000 acknowledge 1 gate otto; 2200 note 1 gate ada");
    ASSERT_EQ(book_->open().size(), 1);
    EXPECT_EQ(book_->open()[0].notes.size(), 1);
    // Another object's exit, or the yard's, leaves the alarm open.
    picture(2500, {event(Event::Kind::Exit, 0, 9, 2500), event(Event::Kind::Exit, 1, 7, 2500)});
    EXPECT_EQ(book_->open().size(), 1);
    picture(3000, {event(Event::Kind::Exit, 0, 7, 3000)});
    EXPECT_EQ(log(), "3000 left 1 gate; 3000 clear 1 gate");
    EXPECT_TRUE(book_->open().isEmpty());
    // Left before its acknowledgement: cleared by it.
    picture(4000, {event(Event::Kind::Enter, 0, 5, 4000)});
    picture(4100, {event(Event::Kind::Exit, 0, 5, 4100)});
    EXPECT_TRUE(book_->acknowledge(3, "otto", "", 4200, status_, why_));
    EXPECT_EQ(log(), "4000 raise 3 gate; 4100 left 3 gate; 4200 acknowledge 3 gate otto; "
                     "4200 clear 3 gate");
}

// A shelved zone raises no alarm until its shelving's end by the pictures'
// clock, or its unshelving; the minutes from 1 to a week.
TEST_F(AlarmBookTest, AShelvedZoneRaisesNoAlarmUntilItsEnd)
{
    EXPECT_FALSE(book_->shelve("gate", "otto", 0, "works", 0, status_, why_));
    EXPECT_FALSE(book_->shelve("gate", "otto", maxShelveMinutes + 1, "works", 0, status_, why_));
    EXPECT_FALSE(book_->shelve("gate", "otto", 1, "", 0, status_, why_));
    EXPECT_FALSE(book_->shelve("nowhere", "otto", 1, "works", 0, status_, why_));
    EXPECT_EQ(status_, 404);
    EXPECT_TRUE(book_->shelve("gate", "otto", 1, "works", 10000, status_, why_));
    EXPECT_EQ(book_->shelvings()[0].untilMs, 70000);
    picture(69999, {event(Event::Kind::Enter, 0, 1, 69999)});
    EXPECT_EQ(log(), "10000 shelve 0 gate otto");
    picture(70000, {event(Event::Kind::Enter, 0, 2, 70000)});
    EXPECT_EQ(log(), "70000 unshelve 0 gate; 70000 raise 1 gate");
    EXPECT_FALSE(book_->unshelve("gate", "otto", 70100, status_, why_));
    EXPECT_TRUE(book_->shelve("gate", "otto", maxShelveMinutes, "works", 80000, status_, why_));
    EXPECT_TRUE(book_->unshelve("gate", "ada", 80100, status_, why_));
    picture(80200, {event(Event::Kind::Enter, 0, 3, 80200)});
    EXPECT_EQ(log(), "80000 shelve 0 gate otto; 80100 unshelve 0 gate ada; 80200 raise 2 gate");
    // A disarmed zone raises no alarm either; armed again, it does.
    book_->picture(90000, zones_, {event(Event::Kind::Enter, 0, 4, 90000)}, {false, true, true});
    book_->picture(90100, zones_, {event(Event::Kind::Enter, 0, 5, 90100)}, {true, true, true});
    EXPECT_EQ(log(), "90100 raise 3 gate");
}

// New zones: an open alarm of a zone that is gone counts its object as
// left, so that it stays open until acknowledged; the zone is no longer
// one to shelve.
TEST_F(AlarmBookTest, AnAlarmOfARemovedZoneStaysOpenUntilAcknowledged)
{
    picture(1000, {event(Event::Kind::Enter, 0, 7, 1000), event(Event::Kind::Enter, 0, 8, 1000)});
    EXPECT_TRUE(book_->acknowledge(2, "otto", "", 1100, status_, why_));
    log();
    const QVector<Zone> kept{zones_[1], zones_[2]};
    book_->setZones(kept, 1200);
    EXPECT_EQ(log(), "1200 left 1 gate; 1200 left 2 gate; 1200 clear 2 gate");
    ASSERT_EQ(book_->open().size(), 1);
    EXPECT_TRUE(book_->acknowledge(1, "otto", "", 1300, status_, why_));
    EXPECT_EQ(log(), "1300 acknowledge 1 gate otto; 1300 clear 1 gate");
    EXPECT_FALSE(book_->shelve("gate", "otto", 1, "works", 1400, status_, why_));
    EXPECT_EQ(status_, 404);
    book_->picture(1500, kept, {event(Event::Kind::Cross, 1, 9, 1500)});
    EXPECT_EQ(log(), "1500 raise 3 fence; 1500 left 3 fence");
}

// The changes replayed into a new book give the same open alarms and
// shelvings, their objects ended, and later ids go on from the last.
TEST_F(AlarmBookTest, RestoresFromItsChanges)
{
    picture(1000, {event(Event::Kind::Enter, 0, 7, 1000), event(Event::Kind::Enter, 0, 8, 1000)});
    EXPECT_TRUE(book_->acknowledge(1, "otto", "", 1100, status_, why_));
    EXPECT_TRUE(book_->shelve("fence", "otto", 2, "works", 1200, status_, why_));
    EXPECT_TRUE(book_->shelve("yard", "otto", 1, "works", 1200, status_, why_));
    AlarmBook restored(zones_);
    const QVector<AlarmChange> ended = restored.restore(kept_, 5, 61200);
    QStringList what;
    for (const AlarmChange& c : ended)
        what << QStringLiteral("%1 %2").arg(QLatin1String(actionName(c.action))).arg(c.alarm);
    EXPECT_EQ(what.join(", "), "left 1, clear 1, left 2, unshelve 0");
    ASSERT_EQ(restored.open().size(), 1);
    EXPECT_EQ(restored.open()[0].id, 2);
    EXPECT_FALSE(restored.open()[0].acknowledged);
    ASSERT_EQ(restored.shelvings().size(), 1);
    EXPECT_EQ(restored.shelvings()[0].zone, "fence");
    restored.picture(61300, zones_, {event(Event::Kind::Enter, 0, 1, 61300)});
    EXPECT_EQ(restored.open().last().id, 6);
    EXPECT_EQ(alarmsMessage("s", 5, {}, {}), R"({"site":"s","time":5,"alarms":[],"shelved":[]})");
}

} // namespace
} // namespace trklib::sited::test

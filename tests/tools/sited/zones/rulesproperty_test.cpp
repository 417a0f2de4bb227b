#include "tools/sited/fusion/picturejson.h"
#include "tools/sited/zones/replayrules.h"
#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonemessages.h"

#include "support/programrun.h"
#include "util/units.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <vector>

using namespace trklib::sited::fusion;
using namespace trklib::sited::zones;

// The rules against their independent restatement in Python
// (python/trklib/events.py) on random scenes: objects walking on a half-metre
// grid about zones, holes and lines with corners on a one-metre grid (so
// that boundaries are met exactly and often) and some off it, born and
// ended at random, confirmed or not. Both must raise exactly the same
// events, picture by picture.
namespace trklib::sited::test {
namespace {

using trklib::test::ProgramRun;
using trklib::test::runProgram;

constexpr int scenes = 12;
constexpr int picturesPerScene = 150;
constexpr double areaM = 30.0;

class Scene
{
public:
    explicit Scene(unsigned seed) : random_(seed) {}

    QVector<Zone> zones()
    {
        QVector<Zone> zones;
        const int count = pick(3, 6);
        while (zones.size() < count) {
            Zone zone;
            zone.name = QStringLiteral("z%1").arg(zones.size());
            zone.confirmedOnly = chance(0.5);
            if (chance(0.6))
                zone.dwellS = 0.25 * pick(1, 8);
            if (chance(0.6))
                zone.speedLimitKph = double(pick(10, 40));
            if (chance(0.35)) {
                zone.kind = Zone::Kind::Line;
                zone.dwellS.reset();
                zone.speedLimitKph.reset();
                for (int i = pick(2, 4); i > 0; --i)
                    zone.line.append(gridPoint(1.0));
            } else {
                zone.rings.append(star(pick(3, 9), 3.0, 12.0));
                if (!ringFault(zone.rings[0]).isEmpty())
                    continue;
                if (chance(0.4)) {
                    const Point c = zone.rings[0][0];
                    const Path hole{{c.x - 1, c.y - 1},
                                    {c.x + 1, c.y - 1},
                                    {c.x + 1, c.y + 1},
                                    {c.x - 1, c.y + 1},
                                    {c.x - 1, c.y - 1}};
                    zone.rings.append(hole);
                }
            }
            zones.append(zone);
        }
        return zones;
    }

    QVector<Picture> pictures()
    {
        QVector<Picture> pictures;
        QVector<SiteObject> alive;
        std::int64_t nextId = 1;
        std::int64_t timeMs = 1700000000000;
        for (int p = 0; p < picturesPerScene; ++p) {
            timeMs += pick(0, 3) == 0 ? 250 : pick(99, 101);
            QVector<SiteObject> next;
            for (SiteObject o : qAsConst(alive)) {
                if (chance(0.02))
                    continue; // ended
                o.xM += 0.5 * pick(-3, 3);
                o.yM += 0.5 * pick(-3, 3);
                o.vxMps = 0.5 * pick(-12, 12);
                o.vyMps = 0.5 * pick(-12, 12);
                o.confirmed = chance(0.8);
                next.append(o);
            }
            while (next.size() < 25 && chance(0.3)) {
                SiteObject o;
                o.id = nextId++;
                const Point at = gridPoint(0.5);
                o.xM = at.x;
                o.yM = at.y;
                o.confirmed = chance(0.5);
                next.append(o);
            }
            alive = next;
            Picture picture;
            picture.timeMs = timeMs;
            picture.objects = alive;
            pictures.append(picture);
        }
        return pictures;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random_); }
    Point gridPoint(double step)
    {
        const int cells = int(areaM / step);
        return {step * pick(0, cells), step * pick(0, cells)};
    }
    // A star-shaped ring about a grid point: corners on the grid, or off it
    // (a third of a metre is no double) for one ring in three.
    Path star(int corners, double minRadiusM, double maxRadiusM)
    {
        const Point centre = gridPoint(1.0);
        const bool offGrid = chance(0.33);
        Path ring;
        for (int i = 0; i < corners; ++i) {
            const double angle =
                2.0 * M_PI * (i + 0.8 * std::uniform_real_distribution<>()(random_)) / corners;
            const double radius = std::uniform_real_distribution<>(minRadiusM, maxRadiusM)(random_);
            Point p{centre.x + radius * std::cos(angle), centre.y + radius * std::sin(angle)};
            if (offGrid) {
                p = {std::round(p.x * 3.0) / 3.0, std::round(p.y * 3.0) / 3.0};
            } else {
                p = {std::round(p.x), std::round(p.y)};
            }
            ring.append(p);
        }
        ring.append(ring.first());
        return ring;
    }

    std::mt19937_64 random_;
};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

TEST(RulesProperty, AgreeWithTheIndependentCheckerOnRandomScenes)
{
    const site::GeoReference geo(site::Origin{48.137, 11.575, 520.0});
    const QString site = QStringLiteral("yard");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSet<QString> kinds; // what the scenes raised, so that none is vacuous
    for (unsigned seed = 1; seed <= scenes; ++seed) {
        SCOPED_TRACE(seed);
        Scene scene(seed);
        const QVector<Zone> zones = scene.zones();
        Rules rules(zones);
        QByteArray pictures;
        QList<QByteArray> events;
        for (const Picture& picture : scene.pictures()) {
            pictures += pictureMessage(site, {}, picture, &geo) + '\n';
            for (const Event& e : rules.evaluate(picture))
                events.append(eventMessage(site, zones[e.zone], e, &geo));
        }
        const QString picturesPath = dir.filePath(QStringLiteral("pictures.jsonl"));
        const QString zonesPath = dir.filePath(QStringLiteral("zones.json"));
        ASSERT_TRUE(writeFile(picturesPath, pictures));
        ASSERT_TRUE(writeFile(zonesPath, zonesMessage(site, zones)));
        const ProgramRun run = runProgram(QStringLiteral(PYTHON_EXECUTABLE),
                                          {QStringLiteral(EVENTS_PY), picturesPath, zonesPath});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QList<QByteArray> expected = run.out.trimmed().split('\n');
        ASSERT_FALSE(events.isEmpty());
        for (int i = 0; i < std::max(events.size(), expected.size()); ++i) {
            const QByteArray ours = i < events.size() ? events[i] : QByteArray("(none)");
            const QByteArray theirs = i < expected.size() ? expected[i] : QByteArray("(none)");
            const QJsonObject a = QJsonDocument::fromJson(ours).object();
            ASSERT_EQ(a, QJsonDocument::fromJson(theirs).object())
                << "event " << i << "\n rules:   " << ours.toStdString()
                << "\n checker: " << theirs.toStdString();
            kinds << a.value("event").toString() + a.value("direction").toString() +
                         (a.value("lost").toBool() ? QStringLiteral("lost") : QString());
        }
    }
    for (const char* kind :
         {"enter", "exit", "exitlost", "dwell", "speed", "crossleft", "crossright"})
        EXPECT_TRUE(kinds.contains(QLatin1String(kind))) << kind;
}

// The replay against the rules themselves: the scenes above with classes
// (strict or not) on some zones, a zone whose box is the whole extent (its
// corners and edges then fall on the replay's cells' corners and edges)
// and a long line off the metre grid, and objects that vanish and come
// back under the same id, change class, stand on a zone's corner or a
// line's point and jump far outside every zone and back; now and then both
// start again. Every event must be the same, every field bit for bit.
class ReplayScene
{
public:
    explicit ReplayScene(unsigned seed) : base_(seed), random_(seed) {}

    QVector<Zone> zones()
    {
        QVector<Zone> zones = base_.zones();
        for (Zone& zone : zones) {
            if (!chance(0.4))
                continue;
            for (int c = 0; c < int(ObjectClass::Unknown); ++c) {
                if (chance(0.4))
                    zone.classes.append(ObjectClass(c));
            }
            if (zone.classes.isEmpty())
                zone.classes.append(ObjectClass::Person);
            zone.strict = chance(0.5);
        }
        if (chance(0.5)) {
            // 64 m square, the extent of the rest: cut into a power of two of
            // cells, it puts the replay's cells' edges on the objects' walk.
            Zone all;
            all.name = QStringLiteral("all");
            all.rings = {{{-16, -16}, {48, -16}, {48, 48}, {-16, 48}, {-16, -16}}};
            all.confirmedOnly = chance(0.5);
            all.dwellS = 1.0;
            zones.append(all);
        }
        Zone line;
        line.name = QStringLiteral("long");
        line.kind = Zone::Kind::Line;
        line.confirmedOnly = chance(0.5);
        for (int i = pick(2, 5); i > 0; --i)
            line.line.append({pick(-30, 120) / 3.0, pick(-30, 120) / 3.0});
        zones.append(line);
        return zones;
    }

    // Pictures of objects of ids 1 to 24, each by id.
    QVector<Picture> pictures(const QVector<Zone>& zones)
    {
        QVector<Point> corners; // of the zones and lines, to stand on
        for (const Zone& zone : zones) {
            for (const Path& ring : zone.rings)
                corners += ring;
            corners += zone.line;
        }
        QVector<Picture> pictures;
        std::vector<std::optional<SiteObject>> objects(24);
        std::int64_t timeMs = 1700000000000;
        for (int p = 0; p < 250; ++p) {
            timeMs += chance(0.1) ? 0 : chance(0.2) ? 250 : 100;
            Picture picture;
            picture.timeMs = timeMs;
            for (int id = 1; id <= int(objects.size()); ++id) {
                std::optional<SiteObject>& o = objects[id - 1];
                if (o ? chance(0.03) : !chance(0.1)) {
                    o.reset();
                    continue;
                }
                if (!o) {
                    o = SiteObject();
                    o->id = id;
                    o->xM = 0.5 * pick(-20, 80);
                    o->yM = 0.5 * pick(-20, 80);
                }
                move(*o, corners);
                picture.objects.append(*o);
            }
            pictures.append(picture);
        }
        return pictures;
    }

private:
    void move(SiteObject& o, const QVector<Point>& corners)
    {
        const bool far = std::abs(o.xM) > 1000.0;
        if (far ? chance(0.3) : chance(0.02)) {
            o.xM = far ? 0.5 * pick(-20, 80) : chance(0.5) ? 1e4 : -1e5;
            o.yM = 0.5 * pick(-20, 80);
        } else if (chance(0.08)) {
            const Point at = corners[pick(0, corners.size() - 1)];
            o.xM = at.x;
            o.yM = at.y;
        } else {
            o.xM = std::round(2.0 * o.xM) / 2.0 + 0.5 * pick(-3, 3);
            o.yM = std::round(2.0 * o.yM) / 2.0 + 0.5 * pick(-3, 3);
        }
        o.vxMps = 0.5 * pick(-12, 12);
        o.vyMps = 0.5 * pick(-12, 12);
        o.confirmed = chance(0.7);
        if (chance(0.15))
            o.objectClass = ObjectClass(pick(0, objectClassCount - 1));
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random_); }

    Scene base_;
    std::mt19937_64 random_;
};

std::vector<Sample> samplesOf(const Picture& picture)
{
    std::vector<Sample> samples;
    for (const SiteObject& o : picture.objects) {
        Sample s;
        s.id = o.id;
        s.xM = o.xM;
        s.yM = o.yM;
        s.speedKph = util::groundSpeedKph(o.vxMps, o.vyMps);
        s.confirmed = o.confirmed;
        s.objectClass = o.objectClass;
        samples.push_back(s);
    }
    return samples;
}

// Every field of each event, a line each, the doubles in hexadecimal (their
// every bit).
std::string fieldsOf(const QVector<Event>& events)
{
    std::ostringstream lines;
    lines << std::hexfloat;
    for (const Event& e : events) {
        lines << "kind " << int(e.kind) << " zone " << e.zone << " object " << e.object << " time "
              << e.timeMs << " at " << e.xM << ',' << e.yM << " speed " << e.speedKph << " dwell "
              << e.dwellS << " left " << e.left << " lost " << e.lost << " class "
              << int(e.objectClass) << '\n';
    }
    return lines.str();
}

TEST(RulesProperty, ReplayRaisesExactlyTheRulesEvents)
{
    std::set<std::pair<Event::Kind, int>> raised; // kind and left or lost, so that none is vacuous
    int restarts = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        ReplayScene scene(seed);
        const QVector<Zone> zones = scene.zones();
        auto rules = std::make_unique<Rules>(zones);
        ReplayRules replay(zones);
        QVector<Event> events;
        std::mt19937 restartAt(seed);
        const QVector<Picture> pictures = scene.pictures(zones);
        for (int p = 0; p < pictures.size(); ++p) {
            SCOPED_TRACE(p);
            if (std::uniform_int_distribution<int>(0, 99)(restartAt) == 0) {
                rules = std::make_unique<Rules>(zones);
                replay.restart();
                ++restarts;
            }
            const std::vector<Sample> samples = samplesOf(pictures[p]);
            replay.evaluate(pictures[p].timeMs, samples.data(), int(samples.size()), events);
            const QVector<Event> expected = rules->evaluate(pictures[p]);
            ASSERT_EQ(fieldsOf(events), fieldsOf(expected));
            for (const Event& e : expected)
                raised.insert({e.kind, e.kind == Event::Kind::Cross ? e.left : e.lost});
        }
    }
    EXPECT_GT(restarts, 60);
    EXPECT_EQ(raised.size(), 7u); // enter, exit, lost exit, dwell, speed, cross left and right
}

} // namespace
} // namespace trklib::sited::test

#include "tools/sited/fusion/picturejson.h"
#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonemessages.h"

#include "support/programrun.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <random>

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

} // namespace
} // namespace trklib::sited::test

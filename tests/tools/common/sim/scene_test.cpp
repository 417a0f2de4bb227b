#include "tools/common/sim/scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace trklib::sim::test {
namespace {

// Every field of every object, so that two answers compare as a whole.
QStringList fields(const QVector<ObjectState>& objects)
{
    QStringList out;
    for (const ObjectState& o : objects)
        out << QString::asprintf("%d %d %.17g %.17g %.17g %.17g %.17g", o.id, int(o.kind), o.x, o.y,
                                 o.vx, o.vy, o.rcsDbsm);
    return out;
}

double speedKph(const ObjectState& o)
{
    return std::hypot(o.vx, o.vy) * 3.6;
}

TEST(Scene, SameSeedGivesTheSameObjectsWhateverTheOrderOfTheQuestions)
{
    for (const QString& name : Scene::names()) {
        SCOPED_TRACE(name.toStdString());
        Scene forward = Scene::byName(name, 7);
        Scene backward = Scene::byName(name, 7);
        const QVector<ObjectState> late = backward.objectsAt(200.0);
        const QVector<ObjectState> early = backward.objectsAt(3.0);
        EXPECT_EQ(fields(forward.objectsAt(3.0)), fields(early));
        EXPECT_EQ(fields(forward.objectsAt(200.0)), fields(late));
        EXPECT_FALSE(early.isEmpty()) << "the scene is populated from the start";
        EXPECT_NE(fields(Scene::byName(name, 8).objectsAt(3.0)), fields(early));
    }
}

TEST(Scene, LetsGoOfObjectsThatHaveLeftOverALongRun)
{
    // Five and a half hours of traffic, thousands of objects per scene, of
    // which a minute's worth is held; a step back afterwards draws the same
    // scene again.
    constexpr int maxHeld = 200;
    for (const QString& name : Scene::names()) {
        SCOPED_TRACE(name.toStdString());
        Scene scene = Scene::byName(name, 5);
        int most = 0;
        for (double t = 0.0; t < 20000.0; t += 10.0) {
            scene.objectsAt(t);
            most = qMax(most, scene.heldObjects());
        }
        EXPECT_LT(most, maxHeld);
        EXPECT_EQ(fields(scene.objectsAt(5.0)), fields(Scene::byName(name, 5).objectsAt(5.0)));
    }
}

TEST(Scene, ObjectsOfOneLaneNeverCatchUpWithEachOther)
{
    constexpr double minGapM = 8.0; // 3 s of headway at the slowest 30 km/h, with margin
    for (const QString& name : Scene::names()) {
        Scene scene = Scene::byName(name, 3);
        for (double t = 0.0; t < 300.0; t += 0.5) {
            const QVector<ObjectState> objects = scene.objectsAt(t);
            for (int i = 0; i < objects.size(); ++i) {
                for (int j = i + 1; j < objects.size(); ++j) {
                    const ObjectState& a = objects[i];
                    const ObjectState& b = objects[j];
                    const bool sameLane = a.vx * b.vx + a.vy * b.vy > 0.0 &&
                                          std::abs((a.x - b.x) * a.vy - (a.y - b.y) * a.vx) <
                                              0.01 * std::hypot(a.vx, a.vy);
                    if (sameLane) {
                        ASSERT_GT(std::hypot(a.x - b.x, a.y - b.y), minGapM)
                            << name.toStdString() << " at " << t << " s: " << a.id << " and "
                            << b.id;
                    }
                }
            }
        }
    }
}

TEST(Scene, ScenesHoldWhatTheirNamesPromise)
{
    int approaching = 0, receding = 0, crossing = 0, pedestrians = 0, vehicles = 0;
    Scene road = Scene::road(1);
    Scene cross = Scene::crossing(1);
    Scene walk = Scene::pedestrians(1);
    for (double t = 0.0; t < 120.0; t += 1.0) {
        for (const ObjectState& o : road.objectsAt(t)) {
            EXPECT_GE(speedKph(o), 30.0);
            EXPECT_LE(speedKph(o), 100.0);
            (o.vx < 0.0 ? approaching : receding)++;
        }
        for (const ObjectState& o : cross.objectsAt(t)) {
            const double angleToRoadDeg = std::atan2(std::abs(o.vy), std::abs(o.vx)) * 180.0 / M_PI;
            if (angleToRoadDeg > 45.0)
                ++crossing;
        }
        for (const ObjectState& o : walk.objectsAt(t)) {
            if (o.kind == ObjectKind::Pedestrian) {
                ++pedestrians;
                EXPECT_LT(speedKph(o), 8.0);
                EXPECT_NEAR(o.rcsDbsm, 0.0, 1.0);
            } else {
                ++vehicles;
            }
        }
    }
    EXPECT_GT(approaching, 0);
    EXPECT_GT(receding, 0);
    EXPECT_GT(crossing, 0);
    EXPECT_GT(pedestrians, vehicles);
    EXPECT_GT(vehicles, 0);
}

} // namespace
} // namespace trklib::sim::test

// The cycle gates its candidates through GatedPool, which looks only at the
// candidates whose distance could lie inside a gate. A series of gates must
// take out exactly what the same series of select calls takes out of the
// whole pool, in the same order, and leave the same pool behind, whatever
// the distances: close, far, equal, infinite or NaN, and gates of any reach
// (a candidate at the noise level has an infinite distance gate, one below
// it a negative one).
#include "tracking/gating.h"
#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

namespace trklib {
namespace {

using test::makeCandidate;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool sameBits(const QVector<Candidate>& a, const QVector<Candidate>& b)
{
    return a.size() == b.size() &&
           std::memcmp(a.constData(), b.constData(), size_t(a.size()) * sizeof(Candidate)) == 0;
}

struct Scene
{
    const char* name;
    QVector<Candidate> pool;
    QVector<Candidate> gates; // centres, in the order they take
};

// Candidates and gate centres crowded into a few dozen metres, so that
// gates overlap and take from each other, with odd values among them.
enum Odd
{
    None = 0,
    Distances = 1,  // NaN, infinite, equal and nearly equal
    Amplitudes = 2, // at the noise level (infinite gates) and below (negative ones)
};

Scene randomScene(const char* name, quint32 seed, int poolSize, int gateCount, int odd)
{
    static RadarConfig config{0.0, 0.0, 5.0, 0.0, 0};
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> distance(20.0, 60.0);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    std::uniform_real_distribution<double> velocity(9.0, 11.0);
    std::uniform_int_distribution<int> index(95, 105);
    std::uniform_int_distribution<int> amplitude(-70, -20);
    const auto make = [&](bool gate) {
        Candidate c = makeCandidate(&config, index(random), amplitude(random), distance(random),
                                    velocity(random), angle(random), angle(random));
        const int draw = int(random() % 12);
        if ((odd & Distances) && draw == 0)
            c.distance = nan;
        if ((odd & Distances) && draw == 1)
            c.distance = random() % 2 ? inf : -inf;
        if ((odd & Distances) && draw == 2)
            c.distance = gate ? 40.0 : 40.0 + 1e-13;
        if ((odd & Amplitudes) && draw == 3)
            c.amplitude = random() % 2 ? -80 : -95;
        return c;
    };
    Scene s{name, {}, {}};
    for (int k = 0; k < poolSize; ++k)
        s.pool.append(make(false));
    for (int k = 0; k < gateCount; ++k)
        s.gates.append(make(true));
    return s;
}

QVector<Scene> scenes()
{
    QVector<Scene> all{{"empty pool", {}, randomScene("", 1, 0, 3, None).gates}};
    for (quint32 seed = 1; seed <= 40; ++seed) {
        all.append(randomScene("crowded", seed, 30, 12, None));
        all.append(randomScene("odd distances", seed, 30, 12, Distances));
        all.append(randomScene("odd gates", seed, 30, 12, Amplitudes));
        all.append(randomScene("all odd", seed, 30, 12, Distances | Amplitudes));
    }
    return all;
}

TEST(GatedPool, TargetsTakeWhatSelectTakes)
{
    for (const Scene& scene : scenes()) {
        SCOPED_TRACE(scene.name);
        QVector<Candidate> bySelect = scene.pool;
        QVector<Candidate> byPool = scene.pool;
        GatedPool::Storage storage;
        GatedPool pool(byPool, neighbourDistanceGateM, storage);
        for (const Candidate& centre : scene.gates) {
            const Target t(centre);
            const QVector<Candidate> expected = Target(centre).select(bySelect);
            QVector<Candidate> taken;
            pool.takeOut(
                t.distance,
                [&t](const Candidate& c, const GateErrors& e) { return insideTargetGate(t, c, e); },
                [&](const Candidate& c) {
                    if (insideVelocityGate(t, c))
                        taken.append(c);
                });
            EXPECT_TRUE(sameBits(taken, expected));
        }
        pool.close();
        EXPECT_TRUE(sameBits(byPool, bySelect));
    }
}

TEST(GatedPool, CandidatesTakeWhatSelectTakes)
{
    for (const Scene& scene : scenes()) {
        SCOPED_TRACE(scene.name);
        QVector<Candidate> bySelect = scene.pool;
        QVector<Candidate> byPool = scene.pool;
        GatedPool::Storage storage;
        GatedPool pool(byPool, 0.0, storage);
        for (const Candidate& p : scene.gates) {
            const QVector<Candidate> expected = p.select(bySelect);
            QVector<Candidate> taken;
            pool.takeOut(
                p.distance,
                [&p](const Candidate& c, const GateErrors& e) {
                    return insideCandidateGate(p, c, e);
                },
                [&taken](const Candidate& c) { taken.append(c); });
            EXPECT_TRUE(sameBits(taken, expected));
            EXPECT_EQ(pool.remaining(), bySelect.size());
        }
        pool.close();
        EXPECT_TRUE(sameBits(byPool, bySelect));
    }
}

} // namespace
} // namespace trklib

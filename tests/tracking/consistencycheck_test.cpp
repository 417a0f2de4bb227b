#include "engine/targettracking.h"
#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace trklib {
namespace {

// Targets placed in the horizontal plane: x along the boresight, y across it,
// velocities in km/h. The existing target sits at (100, 0) in cell -333,
// approaching at 36 km/h, numbered 9 with score 5.
class CheckTargets : public ::testing::Test
{
protected:
    Target placed(double x, double y, qint32 index, double velocityKph)
    {
        return Target(test::makeCandidate(&engine.radarConfig(), index, -40, std::hypot(x, y),
                                          util::kphToMps(velocityKph), util::atand(y / x)));
    }

    Target existing(Target::Status status = Target::Confirmed, qint32 missCount = 0)
    {
        Target t = test::numberedTarget(placed(100.0, 0.0, -333, -36.0), 9, 5, status);
        t.missCount_ = missCount;
        return t;
    }

    TargetTracking engine;
};

TEST_F(CheckTargets, RulesAgainstOneExistingTarget)
{
    struct Case
    {
        const char* name;
        Target::Status status;
        qint32 missCount;
        double x, y;
        qint32 index;
        double velocityKph;
        int size; // 2: the new target was appended
        Target::Status statusAfter;
        qint32 score, missCountAfter, indexAfter;
    };
    constexpr auto Confirmed = Target::Confirmed, Missed = Target::Missed;
    const Case cases[] = {
        // Merge box, whatever the velocity; refine then decides.
        {"merge, velocity off", Confirmed, 0, 103.0, 2.0, -343, -60.0, 1, Missed, 4, 1, -333},
        {"merge, velocity agrees", Confirmed, 0, 103.0, -2.0, -343, -36.0, 1, Confirmed, 6, 0,
         -343},
        {"velocity too far off", Confirmed, 0, 105.0, 2.2, -300, -37.5, 2, Confirmed, 5, 0, -333},
        // Side by side: the state with the larger |index| and smaller y survives.
        {"side by side, confirms", Missed, 0, 105.0, 2.2, -300, -36.5, 1, Confirmed, 6, 0, -333},
        {"side by side, takes over", Missed, 0, 105.0, -2.2, -350, -36.5, 1, Missed, 1, 0, -350},
        {"side by side, undecided", Confirmed, 0, 105.0, 2.2, -334, -36.1, 2, Confirmed, 5, 0,
         -333},
        // A NaN velocity is not "too far off": the side-by-side rule still holds.
        {"side by side, velocity NaN", Missed, 0, 105.0, 2.2, -300, std::nan(""), 1, Confirmed, 6,
         0, -333},
        // Same object: the score lost to misses is given back.
        {"same object", Missed, 2, 140.0, 1.0, -334, -36.1, 1, Confirmed, 5 + 1 + 2, 0, -334},
        {"same object, two cells off", Missed, 2, 140.0, 1.0, -335, -36.1, 2, Missed, 5, 2, -333},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Target n = placed(k.x, k.y, k.index, k.velocityKph);
        QVector<Target> targets = {existing(k.status, k.missCount)};
        engine.checkTargets({n}, targets);
        ASSERT_EQ(targets.size(), k.size);
        EXPECT_EQ(targets[0].status(), k.statusAfter);
        EXPECT_EQ(targets[0].number_, 9);
        EXPECT_EQ(targets[0].score_, k.score);
        EXPECT_EQ(targets[0].missCount_, k.missCountAfter);
        EXPECT_EQ(targets[0].index, k.indexAfter);
        if (k.indexAfter == -333) { // neither refined nor taken over
            EXPECT_EQ(targets[0].distance, 100.0);
        }
        if (k.size == 2) {
            EXPECT_EQ(targets[1].index, n.index);
        }
    }
}

TEST_F(CheckTargets, NewTargetsAreTakenLastFirst)
{
    QVector<Target> targets;
    engine.checkTargets({placed(50.0, 0.0, -166, -36.0), placed(200.0, 0.0, -666, -36.0)}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].index, -666);
    EXPECT_EQ(targets[1].index, -166);

    // One metre apart: the last one is appended first, the other merges into it.
    targets.clear();
    engine.checkTargets({placed(100.0, 0.0, -333, -36.0), placed(101.0, 0.0, -336, -36.0)},
                        targets);
    ASSERT_EQ(targets.size(), 1);
    EXPECT_EQ(targets[0].score_, 2);
    EXPECT_EQ(targets[0].index, -333);
}

TEST_F(CheckTargets, FirstExistingTargetMeetingAnyTestWins)
{
    // n is the same object as the first target and inside the merge box of
    // the second; the first one in list order takes it.
    const Target second = placed(141.0, 1.5, -500, -36.0);
    QVector<Target> targets = {existing(), second};
    engine.checkTargets({placed(140.0, 1.0, -334, -36.1)}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].score_, 6);
    EXPECT_EQ(targets[0].index, -334);
    EXPECT_EQ(targets[1].score_, second.score_);
    EXPECT_EQ(targets[1].status(), second.status());
    EXPECT_EQ(targets[1].distance, second.distance);

    // The velocity limit only skips the existing target it fails against.
    const Target faster = placed(60.0, 5.0, -200, -37.5);
    targets = {faster, existing()};
    engine.checkTargets({placed(140.0, 1.0, -334, -36.1)}, targets);
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].score_, faster.score_);
    EXPECT_EQ(targets[1].score_, 6);
    EXPECT_EQ(targets[1].index, -334);
}

// Every field to the last bit.
bool sameBits(const Target& a, const Target& b)
{
    const auto same = [](const auto& x, const auto& y) {
        return std::memcmp(&x, &y, sizeof x) == 0;
    };
    return same(static_cast<const Candidate&>(a), static_cast<const Candidate&>(b)) &&
           a.status_ == b.status_ && a.score_ == b.score_ && a.missCount_ == b.missCount_ &&
           a.number_ == b.number_ && same(a.velocityGain_, b.velocityGain_) &&
           same(a.azimuthGain_, b.azimuthGain_) && same(a.distanceGain_, b.distanceGain_) &&
           same(a.elevationGain_, b.elevationGain_) && same(a.rcsMax_, b.rcsMax_) &&
           same(a.rcsMean_, b.rcsMean_) && same(a.rcsCount_, b.rcsCount_) &&
           same(a.rcsSum_, b.rcsSum_) && a.rcsStarted_ == b.rcsStarted_;
}

// Each new target meets the existing ones as the earlier new targets left
// them: moved by a merge, swapped, or appended. One call with many new
// targets must therefore do what one call per new target does, last first,
// in crowded scenes where new targets merge into targets that earlier ones
// have just moved.
TEST_F(CheckTargets, ManyNewTargetsAsOneAtATime)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<double> x(95.0, 115.0);
    std::uniform_real_distribution<double> y(-4.0, 4.0);
    std::uniform_real_distribution<double> kph(-36.6, -35.4);
    std::uniform_int_distribution<int> index(-336, -330);
    const auto scatter = [&](int count) {
        QVector<Target> list;
        for (int i = 0; i < count; ++i) {
            Target t = placed(x(random), y(random), index(random), kph(random));
            t.score_ = 1 + int(random() % 6);
            t.missCount_ = int(random() % 3);
            list.append(t);
        }
        return list;
    };
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        const QVector<Target> existing = scatter(int(random() % 6));
        const QVector<Target> newTargets = scatter(1 + int(random() % 8));

        // Engines of their own: each numbers the targets it confirms.
        QVector<Target> together = existing;
        TargetTracking().checkTargets(newTargets, together);
        QVector<Target> oneByOne = existing;
        TargetTracking engineOneByOne;
        for (int k = newTargets.size() - 1; k >= 0; --k)
            engineOneByOne.checkTargets({newTargets[k]}, oneByOne);

        ASSERT_EQ(together.size(), oneByOne.size());
        for (int i = 0; i < together.size(); ++i)
            EXPECT_TRUE(sameBits(together[i], oneByOne[i])) << i;
    }
}

} // namespace
} // namespace trklib

#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <tuple>
#include <type_traits>

namespace trklib {
namespace {

using test::makeCandidate;

constexpr int maxTargetNumber = 255;

Target freshTarget()
{
    static RadarConfig config{};
    return Target(makeCandidate(&config, 100, -40, 50.0, 5.0));
}

TEST(TargetStatus, TransitionsOfScoreMissCountAndNumber)
{
    struct Case
    {
        const char* name;
        Target::Status before;
        qint32 score, missCount, number;
        Target::Status event;
        Target::Status after;
        qint32 scoreAfter, missCountAfter, numberAfter;
    };
    constexpr auto New = Target::New, Confirmed = Target::Confirmed, Missed = Target::Missed,
                   Lost = Target::Lost;
    // The number generator is reset before each case, so a new number is 1.
    const Case cases[] = {
        {"first update", New, 1, 0, 0, Confirmed, New, 2, 0, 0},
        {"second update numbers", New, 2, 0, 0, Confirmed, Confirmed, 3, 0, 1},
        {"number given once", Confirmed, 3, 0, 7, Confirmed, Confirmed, 4, 0, 7},
        {"score 20 still rises", Confirmed, 20, 0, 7, Confirmed, Confirmed, 21, 0, 7},
        {"score capped at 21", Confirmed, 21, 0, 7, Confirmed, Confirmed, 21, 0, 7},
        {"merged score above 20 numbers", New, 22, 0, 0, Confirmed, Confirmed, 22, 0, 1},
        {"update clears misses", Missed, 4, 2, 7, Confirmed, Confirmed, 5, 0, 7},
        {"unnumbered lost at first miss", New, 1, 0, 0, Missed, Lost, 0, 1, 0},
        {"unnumbered at score 2 lost too", New, 2, 0, 0, Missed, Lost, 1, 1, 0},
        {"20th miss from 21", Missed, 2, 19, 7, Missed, Missed, 1, 20, 7},
        {"21st miss from 21", Missed, 1, 20, 7, Missed, Lost, 0, 21, 7},
        {"New only stored", Missed, 4, 2, 9, New, New, 4, 2, 9},
        {"Lost only stored", Missed, 4, 2, 9, Lost, Lost, 4, 2, 9},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Target::resetNumberGenerator();
        Target t = freshTarget();
        t.status_ = k.before;
        t.score_ = k.score;
        t.missCount_ = k.missCount;
        t.number_ = k.number;
        t.setStatus(k.event);
        EXPECT_EQ(t.status(), k.after);
        EXPECT_EQ(t.score_, k.scoreAfter);
        EXPECT_EQ(t.missCount_, k.missCountAfter);
        EXPECT_EQ(t.number_, k.numberAfter);
        EXPECT_EQ(t.isInvalid(), k.after == Lost);
        // A number is drawn only when one is given.
        EXPECT_EQ(t.genTargetNumber(), k.numberAfter == k.number ? 1 : 2);
    }
}

TEST(TargetNumbering, RunsOneToTwoHundredFiftyFiveThenWraps)
{
    Target::resetNumberGenerator();
    Target t = freshTarget();
    for (int expected = 1; expected <= maxTargetNumber; ++expected)
        ASSERT_EQ(t.genTargetNumber(), expected);
    EXPECT_EQ(t.genTargetNumber(), 1);
    EXPECT_EQ(t.genTargetNumber(), 2);
    EXPECT_EQ(t.number_, 0); // the caller's own number is not touched

    Target::resetNumberGenerator();
    EXPECT_EQ(t.genTargetNumber(), 1);
}

TEST(TargetNumbering, TwoThreadsShareOneSequenceWithoutLosingNumbers)
{
    static_assert(std::is_same_v<decltype(Target::number_generator_), std::atomic<int>>);
    Target::resetNumberGenerator();
    constexpr int roundsPerThread = 4000;
    using Counts = std::array<int, maxTargetNumber + 1>; // slot 0: out of range

    // Both threads wait at the gate so that their calls really overlap.
    std::atomic<int> ready{0};
    auto generate = [&ready](Counts& counts) {
        Target t = freshTarget();
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        for (int i = 0; i < maxTargetNumber * roundsPerThread; ++i) {
            const int n = t.genTargetNumber();
            ++counts[n >= 1 && n <= maxTargetNumber ? size_t(n) : 0];
        }
    };
    Counts first{};
    Counts second{};
    std::thread a(generate, std::ref(first));
    std::thread b(generate, std::ref(second));
    a.join();
    b.join();

    // Whole turns of the sequence were drawn: every number comes out equally often.
    EXPECT_EQ(first[0] + second[0], 0);
    for (int n = 1; n <= maxTargetNumber; ++n)
        EXPECT_EQ(first[size_t(n)] + second[size_t(n)], 2 * roundsPerThread) << "number " << n;
    EXPECT_EQ(freshTarget().genTargetNumber(), 1);
}

TEST(TargetKalmanTrue, UsesGainHeldOnEntryThenUpdatesIt)
{
    Target t = freshTarget();
    double gain = 0.5;
    EXPECT_EQ(t.kalmanTrue(12.0, 10.0, 0.3, 0.1, gain), 11.0);
    EXPECT_NEAR(gain, 0.85, 1e-12);
    double expectedGain = 0.5;
    test::filterStep(12.0, 10.0, 0.3, 0.1, expectedGain);
    EXPECT_DOUBLE_EQ(gain, expectedGain);
}

TEST(TargetKalman, FourScalarFiltersThenRadialVelocity)
{
    RadarConfig config{};
    Target t(makeCandidate(&config, 100, -40, 100.0, 10.0, 2.0, 1.0));
    t.distanceGain_ = 0.3;
    t.azimuthGain_ = 0.4;
    t.elevationGain_ = 0.6;
    t.velocityGain_ = 0.7;
    Candidate m = makeCandidate(&config, 77, -33, 102.0, 10.5, 2.5, 0.5);

    double distanceGain = 0.3, azimuthGain = 0.4, elevationGain = 0.6, velocityGain = 0.7;
    const double distance =
        test::filterStep(m.distance, 100.0, 0.025 * m.distance, 0.1, distanceGain);
    const double azimuth = test::filterStep(m.azimuth, 2.0, 0.3, 0.1, azimuthGain);
    const double elevation = test::filterStep(m.elevation, 1.0, 0.3, 0.1, elevationGain);
    const double velocity = test::filterStep(m.absVelocity, 10.0, 0.02777777777777778,
                                             0.01388888888888889, velocityGain);

    t.kalman(m);

    EXPECT_DOUBLE_EQ(t.distance, distance);
    EXPECT_DOUBLE_EQ(t.azimuth, azimuth);
    EXPECT_DOUBLE_EQ(t.elevation, elevation);
    EXPECT_DOUBLE_EQ(t.absVelocity, velocity);
    EXPECT_DOUBLE_EQ(t.distanceGain_, distanceGain);
    EXPECT_DOUBLE_EQ(t.azimuthGain_, azimuthGain);
    EXPECT_DOUBLE_EQ(t.elevationGain_, elevationGain);
    EXPECT_DOUBLE_EQ(t.velocityGain_, velocityGain);
    EXPECT_EQ(t.relVelocity, t.absVelocity * util::cosd(t.elevation) * util::cosd(t.azimuth));
    EXPECT_EQ(t.index, 100); // refine, not kalman, takes the measurement's cell
}

TEST(TargetValidity, RangeBoundsScoreAndStatus)
{
    struct Case
    {
        double heightM, distanceM;
        qint32 score;
        Target::Status status;
        bool invalid;
    };
    const Case cases[] = {
        {5.0, 10.0, 5, Target::Confirmed, false},  {5.0, 9.999, 5, Target::Confirmed, true},
        {5.0, 319.9, 5, Target::Confirmed, false}, {5.0, 320.0, 5, Target::Confirmed, true},
        {12.0, 11.9, 5, Target::Confirmed, true},  {12.0, 12.0, 5, Target::Confirmed, false},
        {5.0, 50.0, 0, Target::Confirmed, true},   {5.0, 50.0, 1, Target::Missed, false},
        {5.0, 50.0, 1, Target::Lost, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.heightM << " m high, " << k.distanceM << " m, score "
                                        << k.score << ", status " << k.status);
        RadarConfig config{0.0, 0.0, k.heightM, 0.0, 0};
        const Target t = test::numberedTarget(makeCandidate(&config, 100, -40, k.distanceM, 5.0), 3,
                                              k.score, k.status);
        EXPECT_EQ(t.isInvalid(), k.invalid);
    }
}

auto stateOf(const Target& t)
{
    return std::make_tuple(t.config, t.index, t.amplitude, t.elevation, t.azimuth, t.distance,
                           t.relVelocity, t.absVelocity, t.score_, t.missCount_, t.velocityGain_,
                           t.azimuthGain_, t.distanceGain_, t.elevationGain_, t.rcsMax_, t.rcsMean_,
                           t.rcsCount_, t.rcsSum_, t.rcsStarted_);
}

TEST(TargetSwap, TakesEverythingButStatusAndNumber)
{
    RadarConfig configA{}, configB{};
    Target receiver =
        test::numberedTarget(makeCandidate(&configA, 100, -40, 50.0, 5.0, 1.0, 2.0), 12, 9);
    Target other(makeCandidate(&configB, 140, -31, 62.5, 6.5, -3.0, 4.0));
    other.score_ = 2;
    other.missCount_ = 1;
    other.velocityGain_ = 0.11;
    other.azimuthGain_ = 0.22;
    other.distanceGain_ = 0.33;
    other.elevationGain_ = 0.44;
    other.setRcsStat(7.5);
    other.setRcsStat(3.5);
    const Target otherBefore = other;

    receiver.swap(other);

    EXPECT_EQ(stateOf(receiver), stateOf(otherBefore));
    EXPECT_EQ(receiver.status(), Target::Confirmed);
    EXPECT_EQ(receiver.number_, 12);
    // No exchange: the other target is untouched.
    EXPECT_EQ(stateOf(other), stateOf(otherBefore));
    EXPECT_EQ(other.status(), Target::New);
    EXPECT_EQ(other.number_, 0);
}

TEST(TargetRcsStatistics, MeanOfAllSamplesFromTheFirst)
{
    Target t = freshTarget();
    t.setRcsStat(-3.0);
    EXPECT_TRUE(t.rcsStarted_);
    EXPECT_EQ(t.rcsCount_, 1.0);
    EXPECT_EQ(t.rcsMax_, -3.0);
    EXPECT_EQ(t.rcsMean_, -3.0);
    EXPECT_EQ(t.rcsSum_, -3.0);

    t.setRcsStat(-5.0); // below the maximum, which stays at the first sample
    t.setRcsStat(2.5);
    t.setRcsStat(1.0);
    EXPECT_EQ(t.rcsCount_, 4.0);
    EXPECT_EQ(t.rcsMax_, 2.5);
    EXPECT_EQ(t.rcsSum_, -3.0 + -5.0 + 2.5 + 1.0);
    EXPECT_EQ(t.rcsMean_, (-3.0 + -5.0 + 2.5 + 1.0) / 4.0);
}

} // namespace
} // namespace trklib

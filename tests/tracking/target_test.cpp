#include "trackingtesthelpers.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <type_traits>

namespace trklib {
namespace {

using test::makeCandidate;
using test::numberedTarget;

constexpr int maxTargetNumber = 255;

RadarConfig& sharedConfig()
{
    static RadarConfig config{};
    return config;
}

Target freshTarget()
{
    return Target(makeCandidate(&sharedConfig(), 100, -40, 50.0, 5.0));
}

// --- Status machine ------------------------------------------------------------

TEST(TargetStatus, ConstructionStartsUnnumberedAtScoreOne)
{
    const Candidate c = makeCandidate(nullptr, -77, -33, 42.0, -3.0, 2.0, 1.0);
    const Target t(c);
    EXPECT_EQ(t.status(), Target::New);
    EXPECT_EQ(t.score_, 1);
    EXPECT_EQ(t.missCount_, 0);
    EXPECT_EQ(t.number_, 0);
    EXPECT_EQ(t.velocityGain_, 0.5);
    EXPECT_EQ(t.azimuthGain_, 0.5);
    EXPECT_EQ(t.distanceGain_, 0.5);
    EXPECT_EQ(t.elevationGain_, 0.5);
    EXPECT_FALSE(t.rcsStarted_);
    EXPECT_EQ(t.rcsCount_, 0.0);
    EXPECT_EQ(t.index, -77);
    EXPECT_EQ(t.distance, 42.0);
    EXPECT_EQ(t.absVelocity, -3.0);
}

TEST(TargetStatus, NumberedAtSecondUpdate)
{
    Target::resetNumberGenerator();
    Target t = freshTarget();
    t.setStatus(Target::Confirmed);
    EXPECT_EQ(t.status(), Target::New);
    EXPECT_EQ(t.score_, 2);
    EXPECT_EQ(t.number_, 0);

    t.setStatus(Target::Confirmed);
    EXPECT_EQ(t.status(), Target::Confirmed);
    EXPECT_EQ(t.score_, 3);
    EXPECT_EQ(t.number_, 1);

    // The number is given once.
    t.setStatus(Target::Confirmed);
    EXPECT_EQ(t.number_, 1);
    EXPECT_EQ(freshTarget().genTargetNumber(), 2);
}

TEST(TargetStatus, UnnumberedTargetIsLostAtFirstMiss)
{
    Target t = freshTarget();
    t.setStatus(Target::Missed);
    EXPECT_EQ(t.status(), Target::Lost);
    EXPECT_EQ(t.score_, 0);
    EXPECT_EQ(t.missCount_, 1);
    EXPECT_EQ(t.number_, 0);
    EXPECT_TRUE(t.isInvalid());

    // Also after one update, while the score is still 2.
    Target once = freshTarget();
    once.setStatus(Target::Confirmed);
    once.setStatus(Target::Missed);
    EXPECT_EQ(once.status(), Target::Lost);
    EXPECT_EQ(once.score_, 1);
}

TEST(TargetStatus, ScoreCapsAtTwentyOneAndSurvivesTwentyMisses)
{
    Target t = freshTarget();
    for (int i = 0; i < 30; ++i)
        t.setStatus(Target::Confirmed);
    EXPECT_EQ(t.score_, 21);
    EXPECT_EQ(t.status(), Target::Confirmed);

    for (int i = 0; i < 20; ++i)
        t.setStatus(Target::Missed);
    EXPECT_EQ(t.status(), Target::Missed);
    EXPECT_EQ(t.score_, 1);
    EXPECT_EQ(t.missCount_, 20);
    EXPECT_FALSE(t.isInvalid());

    t.setStatus(Target::Missed);
    EXPECT_EQ(t.status(), Target::Lost);
    EXPECT_EQ(t.score_, 0);
    EXPECT_TRUE(t.isInvalid());
}

TEST(TargetStatus, UpdateAfterMissesClearsMissCount)
{
    Target t = numberedTarget(makeCandidate(&sharedConfig(), 100, -40, 50.0, 5.0), 7, 6);
    t.setStatus(Target::Missed);
    t.setStatus(Target::Missed);
    EXPECT_EQ(t.status(), Target::Missed);
    EXPECT_EQ(t.missCount_, 2);
    EXPECT_EQ(t.score_, 4);

    t.setStatus(Target::Confirmed);
    EXPECT_EQ(t.status(), Target::Confirmed);
    EXPECT_EQ(t.missCount_, 0);
    EXPECT_EQ(t.score_, 5);
    EXPECT_EQ(t.number_, 7);
}

TEST(TargetStatus, ScoreRaisedAboveTwentyStillGetsNumbered)
{
    // A merge can raise the score of a target that has no number yet.
    Target::resetNumberGenerator();
    Target t = freshTarget();
    t.score_ = 22;
    t.setStatus(Target::Confirmed);
    EXPECT_EQ(t.score_, 22);
    EXPECT_EQ(t.status(), Target::Confirmed);
    EXPECT_EQ(t.number_, 1);
}

TEST(TargetStatus, NewAndLostOnlyStoreTheStatus)
{
    Target t =
        numberedTarget(makeCandidate(&sharedConfig(), 100, -40, 50.0, 5.0), 9, 4, Target::Missed);
    t.missCount_ = 2;
    t.setStatus(Target::New);
    EXPECT_EQ(t.status(), Target::New);
    t.setStatus(Target::Lost);
    EXPECT_EQ(t.status(), Target::Lost);
    EXPECT_EQ(t.score_, 4);
    EXPECT_EQ(t.missCount_, 2);
    EXPECT_EQ(t.number_, 9);
}

// --- Numbering -----------------------------------------------------------------

TEST(TargetNumbering, RunsOneToTwoHundredFiftyFiveThenWraps)
{
    Target::resetNumberGenerator();
    Target t = freshTarget();
    EXPECT_EQ(t.genTargetNumber(), 1);
    EXPECT_EQ(t.genTargetNumber(), 2);
    EXPECT_EQ(t.genTargetNumber(), 3);
    for (int expected = 4; expected <= maxTargetNumber; ++expected)
        ASSERT_EQ(t.genTargetNumber(), expected);
    EXPECT_EQ(t.genTargetNumber(), 1);
    EXPECT_EQ(t.genTargetNumber(), 2);
    // The generator touches nothing of the target that calls it.
    EXPECT_EQ(t.number_, 0);

    Target::resetNumberGenerator();
    EXPECT_EQ(t.genTargetNumber(), 1);
}

TEST(TargetNumbering, TwoThreadsShareOneSequenceWithoutLosingNumbers)
{
    Target::resetNumberGenerator();
    constexpr int roundsPerThread = 4000;
    constexpr int callsPerThread = maxTargetNumber * roundsPerThread;
    using Counts = std::array<int, maxTargetNumber + 1>;

    // Engines in different threads share the counter, so it must be atomic;
    // the run below only shows lost numbers when the threads truly overlap.
    static_assert(std::is_same_v<decltype(Target::number_generator_), std::atomic<int>>);

    // Both threads wait at the gate so that their calls really overlap. A
    // number outside 1..255 is counted in slot 0.
    std::atomic<int> ready{0};
    auto generate = [&ready](Counts& counts) {
        Target t = freshTarget();
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        for (int i = 0; i < callsPerThread; ++i) {
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

    // Together the threads drew 8000 whole turns of the sequence: every
    // number must come out exactly 8000 times.
    EXPECT_EQ(first[0] + second[0], 0);
    for (int n = 1; n <= maxTargetNumber; ++n)
        EXPECT_EQ(first[size_t(n)] + second[size_t(n)], 2 * roundsPerThread) << "number " << n;
    // The counter ends where a single thread would have left it.
    EXPECT_EQ(freshTarget().genTargetNumber(), 1);
}

// --- Filters -------------------------------------------------------------------

TEST(TargetKalmanTrue, UsesGainHeldOnEntryThenUpdatesIt)
{
    Target t = freshTarget();
    double gain = 0.5;
    EXPECT_EQ(t.kalmanTrue(12.0, 10.0, 0.3, 0.1, gain), 11.0);
    EXPECT_NEAR(gain, 0.85, 1e-12);

    double expectedGain = 0.5;
    test::filterStep(12.0, 10.0, 0.3, 0.1, expectedGain);
    EXPECT_DOUBLE_EQ(gain, expectedGain);

    gain = 0.2;
    EXPECT_EQ(t.kalmanTrue(20.0, 10.0, 0.3, 0.1, gain), (1 - 0.2) * 10.0 + 0.2 * 20.0);
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
    const Candidate measurementBefore = m;

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
    EXPECT_EQ(t.index, 100);
    EXPECT_EQ(t.amplitude, -40);
    EXPECT_EQ(m.distance, measurementBefore.distance);
    EXPECT_EQ(m.absVelocity, measurementBefore.absVelocity);
}

// --- Validity --------------------------------------------------------------------

TEST(TargetValidity, RangeBoundsAndScore)
{
    RadarConfig config{0.0, 0.0, 5.0, 0.0, 0};
    Target t = numberedTarget(makeCandidate(&config, 100, -40, 10.0, 5.0), 3, 5);
    EXPECT_FALSE(t.isInvalid());
    t.distance = 9.999;
    EXPECT_TRUE(t.isInvalid());
    t.distance = 319.9;
    EXPECT_FALSE(t.isInvalid());
    t.distance = 320.0;
    EXPECT_TRUE(t.isInvalid());

    config.height = 12.0;
    t.distance = 11.9;
    EXPECT_TRUE(t.isInvalid());
    t.distance = 12.0;
    EXPECT_FALSE(t.isInvalid());

    t.score_ = 0;
    EXPECT_TRUE(t.isInvalid());
    t.score_ = 1;
    t.status_ = Target::Missed;
    EXPECT_FALSE(t.isInvalid());
    t.status_ = Target::Lost;
    EXPECT_TRUE(t.isInvalid());
}

// --- Taking over another target ------------------------------------------------------

TEST(TargetSwap, TakesEverythingButStatusAndNumber)
{
    RadarConfig configA{}, configB{};
    Target receiver = numberedTarget(makeCandidate(&configA, 100, -40, 50.0, 5.0, 1.0, 2.0), 12, 9);
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

    EXPECT_EQ(receiver.status(), Target::Confirmed);
    EXPECT_EQ(receiver.number_, 12);
    EXPECT_EQ(receiver.score_, 2);
    EXPECT_EQ(receiver.missCount_, 1);
    EXPECT_EQ(receiver.config, &configB);
    EXPECT_EQ(receiver.index, 140);
    EXPECT_EQ(receiver.amplitude, -31);
    EXPECT_EQ(receiver.distance, 62.5);
    EXPECT_EQ(receiver.azimuth, -3.0);
    EXPECT_EQ(receiver.elevation, 4.0);
    EXPECT_EQ(receiver.relVelocity, other.relVelocity);
    EXPECT_EQ(receiver.absVelocity, 6.5);
    EXPECT_EQ(receiver.velocityGain_, 0.11);
    EXPECT_EQ(receiver.azimuthGain_, 0.22);
    EXPECT_EQ(receiver.distanceGain_, 0.33);
    EXPECT_EQ(receiver.elevationGain_, 0.44);
    EXPECT_EQ(receiver.rcsStarted_, other.rcsStarted_);
    EXPECT_EQ(receiver.rcsMax_, other.rcsMax_);
    EXPECT_EQ(receiver.rcsMean_, other.rcsMean_);
    EXPECT_EQ(receiver.rcsCount_, other.rcsCount_);
    EXPECT_EQ(receiver.rcsSum_, other.rcsSum_);
    // No exchange: the other target is untouched.
    EXPECT_EQ(other.status(), otherBefore.status());
    EXPECT_EQ(other.number_, 0);
    EXPECT_EQ(other.distance, 62.5);
}

// --- RCS statistics ----------------------------------------------------------------------

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

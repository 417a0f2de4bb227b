#include "tracking/target.h"

#include "util/util.h"

#include <algorithm>

namespace trklib {

std::atomic<int> Target::number_generator_{0};

// Targets reach clients through the engine's accessors: the latest
// reflectivity sample lives in what was padding.
static_assert(sizeof(Target) == 152, "the target's size stays as it was");

namespace {
// The counter of the engine whose cycle runs on this thread, if any.
thread_local quint8* engineCounter = nullptr;

constexpr qint32 maxScoreForIncrement = 20; // updates stop raising the score above this
constexpr qint32 scoreToNumber = 3;         // a target is numbered at this score
constexpr int maxTargetNumber = 255;
constexpr double minDistanceM = 10.0;
constexpr double maxDistanceM = 320.0;

// Noise figures of the four scalar filters.
constexpr double distanceNoiseShare = 0.025; // of the measured distance
constexpr double distanceProcessNoiseM = 0.1;
constexpr double angleNoiseDeg = 0.3;
constexpr double angleProcessNoiseDeg = 0.1;
constexpr double velocityNoiseMps = 0.02777777777777778;        // 0.1 km/h
constexpr double velocityProcessNoiseMps = 0.01388888888888889; // 0.05 km/h
} // namespace

Target::Target(const Candidate& candidate) : Candidate(candidate) {}

bool Target::isInvalid() const
{
    return score_ < 1 || status_ == Lost || std::max(config->height, minDistanceM) > distance ||
           distance >= maxDistanceM;
}

void Target::swap(const Target& other)
{
    const Status status = status_;
    const qint32 number = number_;
    *this = other;
    status_ = status;
    number_ = number;
}

// Updates raise the score (up to 21) and number the target at score 3;
// misses lower it. An unnumbered target ends at its first miss.
void Target::setStatus(const Status& status)
{
    status_ = status;
    if (status == Confirmed) {
        missCount_ = 0;
        if (score_ <= maxScoreForIncrement) {
            ++score_;
            if (score_ < scoreToNumber) {
                if (number_ == 0)
                    status_ = New;
                return;
            }
        }
        if (number_ == 0)
            number_ = genTargetNumber();
    } else if (status == Missed) {
        ++missCount_;
        --score_;
        if (score_ < 1 || number_ == 0)
            status_ = Lost;
    }
}

Target::NumberScope::NumberScope(quint8& lastNumber) : previous_(engineCounter)
{
    engineCounter = &lastNumber;
}

Target::NumberScope::~NumberScope()
{
    engineCounter = previous_;
}

// Numbers run 1..255 and then start at 1 again; 0 is never handed out.
// Inside an engine's cycle they come from that engine's counter; elsewhere
// from the process-wide one, which is atomic since any thread may use it.
int Target::genTargetNumber()
{
    if (engineCounter) {
        *engineCounter = *engineCounter < maxTargetNumber ? quint8(*engineCounter + 1) : 1;
        return *engineCounter;
    }
    int current = number_generator_.load();
    int next;
    do {
        next = current < maxTargetNumber ? current + 1 : 1;
    } while (!number_generator_.compare_exchange_weak(current, next));
    return next;
}

void Target::resetNumberGenerator()
{
    number_generator_.store(0);
}

// One scalar filter step. The estimate moves with the gain of the previous
// step; the new gain follows from the residual of the updated estimate.
double Target::kalmanTrue(double measurement, double estimate, double measurementNoise,
                          double processNoise, double& gain)
{
    const double updated = (1 - gain) * estimate + gain * measurement;
    const double e = updated - measurement;
    gain = (processNoise * processNoise + gain * (e * e)) /
           (measurementNoise * measurementNoise + processNoise * processNoise + gain * (e * e));
    return updated;
}

void Target::kalman(Candidate& measurement)
{
    distance = kalmanTrue(measurement.distance, distance, distanceNoiseShare * measurement.distance,
                          distanceProcessNoiseM, distanceGain_);
    azimuth =
        kalmanTrue(measurement.azimuth, azimuth, angleNoiseDeg, angleProcessNoiseDeg, azimuthGain_);
    elevation = kalmanTrue(measurement.elevation, elevation, angleNoiseDeg, angleProcessNoiseDeg,
                           elevationGain_);
    absVelocity = kalmanTrue(measurement.absVelocity, absVelocity, velocityNoiseMps,
                             velocityProcessNoiseMps, velocityGain_);
    relVelocity = absVelocity * util::cosd(elevation) * util::cosd(azimuth);
}

// The first sample starts the statistics; rcsMean_ is the mean of all samples.
void Target::setRcsStat(double rcs)
{
    rcsLast_ = float(rcs);
    if (!rcsStarted_) {
        rcsStarted_ = true;
        rcsMax_ = rcs;
        rcsMean_ = rcs;
        rcsSum_ = rcs;
        rcsCount_ = 1.0;
        return;
    }
    if (rcs > rcsMax_)
        rcsMax_ = rcs;
    rcsSum_ += rcs;
    rcsCount_ += 1.0;
    rcsMean_ = rcsSum_ / rcsCount_;
}

} // namespace trklib

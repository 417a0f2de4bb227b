#include "tools/sited/classify/features.h"

#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::sited::classify {

namespace {

double speedOf(double vx, double vy)
{
    return std::hypot(vx, vy);
}

// Mean and root mean square helpers over a running sum.
struct Moments
{
    double sum = 0.0;
    double squares = 0.0;
    int count = 0;

    void add(double v)
    {
        sum += v;
        squares += v * v;
        ++count;
    }
    double mean() const { return count ? sum / count : 0.0; }
    double rms() const { return count ? std::sqrt(squares / count) : 0.0; }
    double spread() const
    {
        const double m = mean();
        return count ? std::sqrt(std::max(0.0, squares / count - m * m)) : 0.0;
    }
};

} // namespace

const char* featureName(Feature feature)
{
    constexpr const char* names[featureCount] = {"speed_mean_mps",
                                                 "speed_max_mps",
                                                 "speed_spread_mps",
                                                 "along_accel_mps2",
                                                 "lateral_accel_mps2",
                                                 "stopped_share",
                                                 "rcs_mean_dbsm",
                                                 "rcs_fluctuation_db",
                                                 "rcs_known",
                                                 "radars",
                                                 "seen_s"};
    return names[int(feature)];
}

void TrackHistory::add(std::int64_t timeMs, const SiteObject& object)
{
    motion_.push_back({timeMs, object.vxMps, object.vyMps, int(object.radars.size())});
    addReflections(timeMs, object.radars);
    while (motion_.front().timeMs < timeMs - windowMs)
        motion_.pop_front();
    while (!reflections_.empty() && reflections_.front().timeMs < timeMs - windowMs)
        reflections_.pop_front();
    seenS_ = double(timeMs - object.sinceMs) / util::msPerS;
}

// A track's sample is new when its count of samples grew since the
// previous picture (or the track is new to the object); its change is
// counted only against the same track's previous sample.
void TrackHistory::addReflections(std::int64_t timeMs, const QVector<ObjectRadar>& radars)
{
    for (const ObjectRadar& r : radars) {
        if (r.rcsSamples <= 0)
            continue;
        const auto before =
            std::find_if(lastRadars_.cbegin(), lastRadars_.cend(), [&](const ObjectRadar& l) {
                return l.radar == r.radar && l.number == r.number && l.rcsSamples > 0;
            });
        const bool known = before != lastRadars_.cend();
        if (known && before->rcsSamples >= r.rcsSamples)
            continue; // no packet updated it since
        reflections_.push_back(
            {timeMs, r.rcsLastDbsm, known, known ? r.rcsLastDbsm - before->rcsLastDbsm : 0.0});
    }
    lastRadars_ = radars;
}

FeatureVector TrackHistory::features() const
{
    FeatureVector f{};
    Moments speed;
    double fastest = 0.0;
    int stopped = 0;
    Moments radars;
    for (const Motion& m : motion_) {
        const double v = speedOf(m.vxMps, m.vyMps);
        speed.add(v);
        fastest = std::max(fastest, v);
        stopped += v < stoppedMps;
        radars.add(m.radars);
    }
    // Velocities at least derivativeStepMs apart, one after another.
    Moments along;
    Moments lateral;
    const Motion* from = motion_.empty() ? nullptr : &motion_.front();
    for (const Motion& m : motion_) {
        const double dtS = double(m.timeMs - from->timeMs) / util::msPerS;
        if (m.timeMs - from->timeMs < derivativeStepMs)
            continue;
        const double v0 = speedOf(from->vxMps, from->vyMps);
        const double v1 = speedOf(m.vxMps, m.vyMps);
        along.add((v1 - v0) / dtS);
        if (v0 >= turningMps && v1 >= turningMps) {
            const double turn = std::atan2(from->vxMps * m.vyMps - from->vyMps * m.vxMps,
                                           from->vxMps * m.vxMps + from->vyMps * m.vyMps);
            lateral.add(turn / dtS * (v0 + v1) / 2.0);
        } else {
            lateral.add(0.0);
        }
        from = &m;
    }
    Moments level;
    Moments change;
    for (const Reflection& r : reflections_) {
        level.add(r.lastDbsm);
        if (r.hasChange)
            change.add(r.changeDb);
    }

    f[int(Feature::SpeedMean)] = speed.mean();
    f[int(Feature::SpeedMax)] = fastest;
    f[int(Feature::SpeedSpread)] = speed.spread();
    f[int(Feature::AlongAccel)] = along.rms();
    f[int(Feature::LateralAccel)] = lateral.rms();
    f[int(Feature::StoppedShare)] = motion_.empty() ? 0.0 : double(stopped) / motion_.size();
    f[int(Feature::RcsMean)] = level.mean();
    f[int(Feature::RcsFluctuation)] = change.rms();
    f[int(Feature::RcsKnown)] = level.count > 0 ? 1.0 : 0.0;
    f[int(Feature::Radars)] = radars.mean();
    f[int(Feature::SeenFor)] = std::clamp(seenS_, 0.0, maxSeenS);
    return f;
}

} // namespace trklib::sited::classify

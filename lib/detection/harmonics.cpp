#include "engine/targettracking.h"

#include "util/util.h"

#include <cmath>
#include <cstdlib>

namespace trklib {

namespace {
constexpr int minHarmonicAmplitude = -29; // dB a fundamental needs
constexpr int minHarmonicIndex = 20;      // cells a fundamental needs to exceed
constexpr int firstHarmonicOrder = 2;
constexpr int lastHarmonicOrder = 5;
constexpr int harmonicTolerance = 2; // cells, half-width of a harmonic's window
constexpr double dupDistanceM = 2.0;
constexpr double dupVelocityKph = 1.0;
} // namespace

// A strong maximum at cell k also shows maxima near 2k .. 5k. Each strong
// maximum, in list order, removes the later maxima whose |index| lies in the
// window of one of its harmonics. A removed maximum is never looked at as a
// fundamental, since the walk goes on over the thinned list.
void TargetTracking::checkHarmonics(QVector<RadarDataMax>& maxima) const
{
    for (int i = 0; i < maxima.size(); ++i) {
        if (maxima[i].amplitude < minHarmonicAmplitude ||
            std::abs(maxima[i].index) <= minHarmonicIndex)
            continue;
        const int k = std::abs(maxima[i].index);
        for (int h = firstHarmonicOrder; h <= lastHarmonicOrder; ++h) {
            const int lo = h * k - harmonicTolerance;
            const int hi = h * k + harmonicTolerance;

            int first = i + 1;
            while (first < maxima.size() && std::abs(maxima[first].index) < lo)
                ++first;
            if (first == maxima.size())
                continue;
            int last = maxima.size() - 1;
            while (last > i && std::abs(maxima[last].index) > hi)
                --last;
            if (last == i)
                continue;
            if (first <= last)
                maxima.remove(first, last - first + 1);
        }
    }
}

// Removes near-duplicates of max (within 1 km/h and 2 m) that have a lower
// index; false as soon as one with an equal or higher index represents it.
bool TargetTracking::removeDupMaxs(QVector<RadarDataMax>& maxima, const RadarDataMax& max) const
{
    const double tolMps = util::kphToMps(dupVelocityKph);
    for (int j = 0; j < maxima.size();) {
        const RadarDataMax& e = maxima[j];
        const bool duplicate = std::fabs(e.relVelocity - max.relVelocity) < tolMps &&
                               std::fabs(e.distance - max.distance) < dupDistanceM;
        if (!duplicate) {
            ++j;
            continue;
        }
        if (e.index >= max.index)
            return false;
        maxima.remove(j);
    }
    return true;
}

} // namespace trklib

#include "engine/targettracking.h"

#include "engine/cycle.h"
#include "util/util.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

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

namespace {

bool isFundamental(const RadarDataMax& m)
{
    return m.amplitude >= minHarmonicAmplitude && std::abs(m.index) > minHarmonicIndex;
}

// The rule on any list: each window is found by walking the thinned list.
void removeHarmonicsInOrder(QVector<RadarDataMax>& maxima)
{
    for (int i = 0; i < maxima.size(); ++i) {
        if (!isFundamental(maxima[i]))
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

// Whether |index| grows along the list, as in a packet's maxima.
bool ascendingByCell(const QVector<RadarDataMax>& maxima)
{
    for (int i = 1; i < maxima.size(); ++i) {
        if (std::abs(maxima[i - 1].index) >= std::abs(maxima[i].index))
            return false;
    }
    return true;
}

} // namespace

// A strong maximum at cell k also shows maxima near 2k .. 5k. Each strong
// maximum, in list order, removes the later maxima whose |index| lies in the
// window of one of its harmonics. A removed maximum is never looked at as a
// fundamental, since the walk goes on over the thinned list.
//
// The maxima of a packet come in ascending cell position, |index| growing:
// there the later maxima inside a window are one run, and as the
// fundamentals grow, each order's window only moves up the list. One
// position per order follows its window; what the walk would remove is
// marked and taken out at the end. A list in any other order is walked.
void TargetTracking::checkHarmonics(QVector<RadarDataMax>& maxima) const
{
    const auto fundamental = std::find_if(maxima.cbegin(), maxima.cend(), isFundamental);
    if (fundamental == maxima.cend())
        return;
    if (!ascendingByCell(maxima)) {
        removeHarmonicsInOrder(maxima);
        return;
    }
    const int n = maxima.size();
    const RadarDataMax* m = maxima.constData();
    std::vector<char>& removed = CycleScratch::local().harmonicRemoved;
    removed.assign(size_t(n), 0);
    bool any = false;
    // Where each order's window starts, for the fundamentals so far: the
    // first maximum at or above it, always after the fundamental (a window
    // lies above twice the fundamental's cell, less the tolerance).
    int windowStart[lastHarmonicOrder + 1] = {};
    for (int i = int(fundamental - maxima.cbegin()); i < n; ++i) {
        if (removed[size_t(i)] || !isFundamental(m[i]))
            continue;
        const int k = std::abs(m[i].index);
        for (int h = firstHarmonicOrder; h <= lastHarmonicOrder; ++h) {
            const int lo = h * k - harmonicTolerance;
            const int hi = h * k + harmonicTolerance;
            int& j = windowStart[h];
            while (j < n && std::abs(m[j].index) < lo)
                ++j;
            for (int r = j; r < n && std::abs(m[r].index) <= hi; ++r) {
                removed[size_t(r)] = 1;
                any = true;
            }
        }
    }
    if (!any)
        return;
    RadarDataMax* out = maxima.data();
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (!removed[size_t(i)])
            out[kept++] = out[i];
    }
    maxima.resize(kept);
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

#pragma once

#include <algorithm>
#include <vector>

namespace trklib::bench {

// The least of a benchmark's repetitions, as an extra statistic ("min")
// beside Google Benchmark's mean, median and deviation. The benchmarks
// repeat deterministic work, which other jobs of a shared machine can only
// slow down; the least time is the one they disturbed least, and it moves
// less from run to run than the median.
inline double leastOf(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

} // namespace trklib::bench

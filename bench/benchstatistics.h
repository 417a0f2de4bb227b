#pragma once

#include <algorithm>
#include <cstddef>
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

// The value below which the given share (0 to 1) of the values lies: the
// k-th smallest, k = share * count, the largest for share 1; 0 for none.
inline double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0.0;
    const std::size_t k = std::min(values.size() - 1, std::size_t(share * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(k), values.end());
    return values[k];
}

} // namespace trklib::bench

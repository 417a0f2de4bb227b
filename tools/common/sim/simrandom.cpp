#include "tools/common/sim/simrandom.h"

#include <cmath>

namespace trklib::sim {

double SimRandom::uniform()
{
    // The top 53 bits make a double in [0, 1) with full resolution.
    return double(engine_() >> 11) * 0x1.0p-53;
}

int SimRandom::uniformInt(int lo, int hi)
{
    const int n = hi - lo + 1;
    return qMin(hi, lo + int(uniform() * n));
}

double SimRandom::gaussian(double mean, double sigma)
{
    const double u1 = 1.0 - uniform(); // (0, 1], keeps the logarithm finite
    const double u2 = uniform();
    return mean + sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
}

double SimRandom::exponential(double mean)
{
    return -mean * std::log(1.0 - uniform());
}

quint64 streamSeed(quint64 seed, quint64 stream)
{
    // splitmix64 finaliser: nearby seeds and streams give unrelated states.
    quint64 z = seed + 0x9E3779B97F4A7C15ull * (stream + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace trklib::sim

#pragma once

#include <QtGlobal>

#include <random>

namespace trklib::sim {

// A seeded random source whose draws are the same on every platform and
// standard library: the engine is the fully specified 64-bit Mersenne
// twister, and the distributions are computed here rather than taken from
// <random>, whose distributions may differ between implementations.
class SimRandom
{
public:
    explicit SimRandom(quint64 seed) : engine_(seed) {}

    // Uniform in [0, 1).
    double uniform();
    // Uniform in [lo, hi).
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Uniform integer in [lo, hi], both included.
    int uniformInt(int lo, int hi);
    // Normal with the given mean and standard deviation (Box-Muller).
    double gaussian(double mean, double sigma);
    // Exponential with the given mean.
    double exponential(double mean);
    bool chance(double probability) { return uniform() < probability; }

private:
    std::mt19937_64 engine_;
};

// A seed derived from a base seed and a stream number, so that independent
// parts of the simulation draw from independent, reproducible streams.
quint64 streamSeed(quint64 seed, quint64 stream);

} // namespace trklib::sim

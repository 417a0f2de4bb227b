#pragma once

#include "tracking/candidate.h"
#include "tracking/target.h"

#include <QVector>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace trklib {

// A target's distance gate for a candidate in its own cell or the next.
constexpr double neighbourDistanceGateM = 12.0;

// The gate half-widths of one candidate, as its getCoordErrors gives them.
struct GateErrors
{
    double distance = 0.0;
    double elevation = 0.0;
    double azimuth = 0.0;
};

// Whether candidate c lies inside the position gate of target t
// (Target::select), c's own gate errors given.
bool insideTargetGate(const Target& t, const Candidate& c, const GateErrors& errors);

// Whether candidate c, inside target t's position gate, also passes its
// velocity gate and is selected (Target::select).
bool insideVelocityGate(const Target& t, const Candidate& c);

// Whether candidate c lies inside the gates of the earlier candidate p
// (Candidate::select), c's own gate errors given.
bool insideCandidateGate(const Candidate& p, const Candidate& c, const GateErrors& errors);

// A pool of candidates that a series of targets, or of earlier candidates,
// take from in turn: takeOut for each of them does what select(pool) does
// for it, in the same order, but looks only at the candidates whose
// distance could lie inside the gate. A candidate inside a gate is at most
// its reach from the gate's centre: the larger of its own distance error and
// leastReachM. Each gate therefore looks only at the candidates within the
// largest reach of any, found by binary search in the candidates sorted by
// distance. One of no finite distance lies inside no gate while every reach
// is finite; a gate of no finite centre, or an infinite reach, looks at
// every candidate.
// Candidates taken stay in the pool until close(), which takes them out and
// leaves the rest in their order, as the selects would have.
class GatedPool
{
public:
    // Lists that keep their capacity from one pool to the next.
    struct Storage
    {
        std::vector<GateErrors> errors; // per candidate
        std::vector<char> taken;        // per candidate
        // Distance and position of the candidates of finite distance,
        // nearest first.
        std::vector<std::pair<double, int>> byDistance;
        std::vector<int> hits; // one gate's candidates
    };

    GatedPool(QVector<Candidate>& pool, double leastReachM, Storage& storage);

    int remaining() const { return remaining_; }

    // Takes the candidates not taken yet that inside(c, c's errors) admits,
    // the gate being centred at distanceM, and hands them to taken(c) in
    // pool order. inside must not depend on the other candidates' fate.
    template <typename Inside, typename Taken>
    void takeOut(double distanceM, Inside inside, Taken taken);

    // Takes the candidates taken out of the pool.
    void close();

private:
    template <typename Inside> void test(int k, Inside& inside);

    QVector<Candidate>& pool_;
    Storage& s_;
    const Candidate* c_ = nullptr; // the pool's candidates; unchanged until close()
    double reach_ = 0.0;           // the largest reach of any candidate
    int remaining_ = 0;
};

template <typename Inside> void GatedPool::test(int k, Inside& inside)
{
    if (!s_.taken[size_t(k)] && inside(c_[k], s_.errors[size_t(k)]))
        s_.hits.push_back(k);
}

template <typename Inside, typename Taken>
void GatedPool::takeOut(double distanceM, Inside inside, Taken taken)
{
    if (remaining_ == 0)
        return;
    s_.hits.clear();
    if (std::isfinite(distanceM) && std::isfinite(reach_)) {
        // With both finite, the rounded difference to distanceM grows with
        // the distance, so the candidates within reach are one run.
        const auto first = std::partition_point(
            s_.byDistance.cbegin(), s_.byDistance.cend(),
            [&](const std::pair<double, int>& c) { return c.first - distanceM < -reach_; });
        for (auto it = first; it != s_.byDistance.cend() && it->first - distanceM <= reach_; ++it)
            test(it->second, inside);
        std::sort(s_.hits.begin(), s_.hits.end());
    } else {
        for (int k = 0; k < pool_.size(); ++k)
            test(k, inside);
    }
    for (int k : s_.hits) {
        s_.taken[size_t(k)] = 1;
        --remaining_;
        taken(c_[k]);
    }
}

} // namespace trklib

#include "tracking/gating.h"

#include <cmath>

namespace trklib {

GatedPool::GatedPool(QVector<Candidate>& pool, double leastReachM, Storage& storage)
    : pool_(pool), s_(storage), c_(pool.constData()), reach_(leastReachM), remaining_(pool.size())
{
    const size_t n = size_t(pool.size());
    s_.errors.resize(n);
    s_.taken.assign(n, 0);
    s_.byDistance.clear();
    for (size_t k = 0; k < n; ++k) {
        GateErrors& e = s_.errors[k];
        c_[k].getCoordErrors(e.distance, e.elevation, e.azimuth);
        if (e.distance > reach_) // a NaN error admits nothing
            reach_ = e.distance;
        if (std::isfinite(c_[k].distance))
            s_.byDistance.emplace_back(c_[k].distance, int(k));
    }
    std::sort(s_.byDistance.begin(), s_.byDistance.end(),
              [](const std::pair<double, int>& a, const std::pair<double, int>& b) {
                  return a.first < b.first;
              });
}

void GatedPool::close()
{
    if (remaining_ == pool_.size())
        return;
    Candidate* c = pool_.data();
    int kept = 0;
    for (int k = 0; k < pool_.size(); ++k) {
        if (!s_.taken[size_t(k)])
            c[kept++] = c[k];
    }
    pool_.resize(kept);
    c_ = pool_.constData();
}

} // namespace trklib

#pragma once

#include "tracking/candidate.h"

#include <QVector>

namespace trklib {

// Takes out of pool, in pool order, every candidate for which leaves(c)
// holds, and hands each to taken(c); the others close up in place, in their
// order. leaves is asked once per candidate, in pool order. Nothing is
// copied or written while no candidate leaves, so a pool shared with
// another list stays shared until one does.
template <typename Leaves, typename Taken>
void takeOut(QVector<Candidate>& pool, Leaves leaves, Taken taken)
{
    const int n = pool.size();
    const Candidate* read = pool.constData();
    int first = 0;
    while (first < n && !leaves(read[first]))
        ++first;
    if (first == n)
        return;
    Candidate* c = pool.data();
    taken(c[first]);
    int kept = first;
    for (int i = first + 1; i < n; ++i) {
        if (leaves(c[i]))
            taken(c[i]);
        else
            c[kept++] = c[i];
    }
    pool.resize(kept);
}

} // namespace trklib

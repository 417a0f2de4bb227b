#pragma once

#include <QHash>
#include <QVector>
#include <QtGlobal>

#include <cmath>
#include <cstdint>

// Site objects in square buckets of the gate's size, so that whatever lies
// within the gate of a point is found in the 3 x 3 buckets around it, at a
// cost that does not grow with the number of objects on the site.
namespace trklib::sited::fusion {

class ObjectGrid
{
public:
    struct Entry
    {
        std::int64_t id; // whatever the caller finds the object by
        double xM;
        double yM;
    };

    explicit ObjectGrid(double cellM) : cellM_(cellM > 0.0 ? cellM : 1.0) {}

    void clear() { cells_.clear(); }
    void insert(std::int64_t id, double xM, double yM)
    {
        cells_[key(xM, yM, 0, 0)].append({id, xM, yM});
    }

    // Calls f(entry) for every entry within radiusM (at most the cell size)
    // of (xM, yM).
    template <typename F> void forEachWithin(double xM, double yM, double radiusM, F f) const
    {
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                const auto it = cells_.constFind(key(xM, yM, dx, dy));
                if (it == cells_.constEnd())
                    continue;
                for (const Entry& e : *it) {
                    const double dx = e.xM - xM, dy = e.yM - yM;
                    if (dx * dx + dy * dy <= radiusM * radiusM)
                        f(e);
                }
            }
        }
    }

private:
    quint64 key(double xM, double yM, int dx, int dy) const
    {
        // Far beyond any site, all in the outermost buckets.
        constexpr double maxCell = 1e9;
        const auto ix = std::int32_t(qBound(-maxCell, std::floor(xM / cellM_), maxCell)) + dx;
        const auto iy = std::int32_t(qBound(-maxCell, std::floor(yM / cellM_), maxCell)) + dy;
        return (quint64(quint32(ix)) << 32) | quint32(iy);
    }

    double cellM_;
    QHash<quint64, QVector<Entry>> cells_;
};

} // namespace trklib::sited::fusion

#include "tools/sited/zones/zonegeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trklib::sited::zones {

namespace {

// The sign of a sum of doubles, without rounding: the terms are gathered
// into a nonoverlapping expansion (each component smaller than the lowest
// bit of the next), whose largest nonzero component carries the sign.
class ExactSum
{
public:
    void add(double term)
    {
        double carry = term;
        int kept = 0;
        for (int i = 0; i < count_; ++i) {
            const double sum = carry + parts_[i];
            const double bVirtual = sum - carry;
            const double aVirtual = sum - bVirtual;
            const double error = (carry - aVirtual) + (parts_[i] - bVirtual);
            carry = sum;
            if (error != 0.0)
                parts_[kept++] = error;
        }
        parts_[kept++] = carry;
        count_ = kept;
    }
    // a * b as two terms: the rounded product and its exact error.
    void addProduct(double a, double b)
    {
        const double product = a * b;
        add(std::fma(a, b, -product));
        add(product);
    }
    int sign() const
    {
        for (int i = count_ - 1; i >= 0; --i) {
            if (parts_[i] != 0.0)
                return parts_[i] > 0.0 ? 1 : -1;
        }
        return 0;
    }

private:
    static constexpr int maxParts = 32; // 16 terms give at most 16 components
    double parts_[maxParts] = {};
    int count_ = 0;
};

bool inBox(Point a, Point b, Point p)
{
    return p.x >= std::min(a.x, b.x) && p.x <= std::max(a.x, b.x) && p.y >= std::min(a.y, b.y) &&
           p.y <= std::max(a.y, b.y);
}

} // namespace

int exactCrossSign(Point a, Point b, Point p, Point q)
{
    // (bx - ax)(qy - py) - (by - ay)(qx - px) multiplied out into eight
    // products, each split exactly into two doubles.
    ExactSum sum;
    sum.addProduct(b.x, q.y);
    sum.addProduct(-b.x, p.y);
    sum.addProduct(-a.x, q.y);
    sum.addProduct(a.x, p.y);
    sum.addProduct(-b.y, q.x);
    sum.addProduct(b.y, p.x);
    sum.addProduct(a.y, q.x);
    sum.addProduct(-a.y, p.x);
    return sum.sign();
}

bool onSegment(Point a, Point b, Point p)
{
    return inBox(a, b, p) && orientation(a, b, p) == 0;
}

bool segmentsMeet(Point a, Point b, Point p, Point q)
{
    const int p1 = orientation(a, b, p);
    const int q1 = orientation(a, b, q);
    const int a1 = orientation(p, q, a);
    const int b1 = orientation(p, q, b);
    if (p1 * q1 < 0 && a1 * b1 < 0)
        return true;
    return (p1 == 0 && inBox(a, b, p)) || (q1 == 0 && inBox(a, b, q)) ||
           (a1 == 0 && inBox(p, q, a)) || (b1 == 0 && inBox(p, q, b));
}

Where locate(const Path& ring, Point p)
{
    bool inside = false;
    for (int i = 0; i + 1 < ring.size(); ++i) {
        const Point a = ring[i];
        const Point b = ring[i + 1];
        if ((a.y > p.y) != (b.y > p.y)) {
            // The edge spans p's height: p is on it, or the edge passes
            // right of p (a crossing of the ray east) or left of it.
            const int side = orientation(a, b, p);
            if (side == 0)
                return Where::Boundary;
            if ((side > 0) == (b.y > a.y))
                inside = !inside;
        } else if (onSegment(a, b, p)) {
            return Where::Boundary;
        }
    }
    return inside ? Where::Inside : Where::Outside;
}

Box boundingBox(const Path& path)
{
    Box box;
    if (path.isEmpty())
        return box;
    box = {path[0].x, path[0].y, path[0].x, path[0].y};
    for (const Point& p : path) {
        box.minX = std::min(box.minX, p.x);
        box.minY = std::min(box.minY, p.y);
        box.maxX = std::max(box.maxX, p.x);
        box.maxY = std::max(box.maxY, p.y);
    }
    return box;
}

bool insideRings(const QVector<Path>& rings, const Box* ringBoxes, Point p)
{
    if (!ringBoxes[0].contains(p) || locate(rings[0], p) == Where::Outside)
        return false;
    for (int h = 1; h < rings.size(); ++h) {
        if (ringBoxes[h].contains(p) && locate(rings[h], p) == Where::Inside)
            return false;
    }
    return true;
}

} // namespace trklib::sited::zones

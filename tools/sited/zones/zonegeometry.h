#pragma once

#include <QVector>

#include <cmath>
#include <limits>

// The exact plane geometry of zones and lines: orientations by the sign of
// a cross product computed without rounding, so that a point exactly on a
// boundary is found on it, and a movement that only touches a line is
// found touching it, whatever the magnitudes.
namespace trklib::sited::zones {

struct Point
{
    double x = 0.0; // metres east of the site's origin
    double y = 0.0; // metres north
};

inline bool operator==(Point a, Point b)
{
    return a.x == b.x && a.y == b.y;
}

// A polyline or a closed ring (its first point repeated at its end).
using Path = QVector<Point>;

// The exact sign (-1, 0, 1) of the cross product (b - a) x (q - p), by
// exact arithmetic.
int exactCrossSign(Point a, Point b, Point p, Point q);

// The exact sign (-1, 0, 1) of the cross product (b - a) x (q - p). The
// rounded product decides wherever its error cannot reach its sign, which
// is nearly everywhere, and is inline: the zones' rules ask it for every
// edge an object's height spans, of every zone near it, in every picture.
inline int crossSign(Point a, Point b, Point p, Point q)
{
    // The rounded cross product's error is at most about 4 units of
    // roundoff (half the epsilon) of the two products' magnitudes (two
    // differences, a product and the final difference); twice that, so
    // that a sign past it is certain.
    constexpr double crossErrorBound = 8.0 * (std::numeric_limits<double>::epsilon() / 2.0);
    const double left = (b.x - a.x) * (q.y - p.y);
    const double right = (b.y - a.y) * (q.x - p.x);
    const double rounded = left - right;
    if (std::abs(rounded) > crossErrorBound * (std::abs(left) + std::abs(right)))
        return rounded > 0.0 ? 1 : -1;
    return exactCrossSign(a, b, p, q);
}

// The exact sign of (b - a) x (c - a): 1 when c lies left of a to b.
inline int orientation(Point a, Point b, Point c)
{
    return crossSign(a, b, a, c);
}

// Whether the segments ab and pq share at least one point (touching and
// overlapping count); either may be a single point.
bool segmentsMeet(Point a, Point b, Point p, Point q);

// Whether p lies on the segment ab, its ends included.
bool onSegment(Point a, Point b, Point p);

enum class Where
{
    Outside,
    Boundary,
    Inside
};

// Where p lies with respect to a closed ring (the even-odd rule; the
// ring's edges and corners are its boundary).
Where locate(const Path& ring, Point p);

// A ring's smallest box, for a quick outside.
struct Box
{
    double minX = 0.0, minY = 0.0, maxX = 0.0, maxY = 0.0;
    bool contains(Point p) const
    {
        return p.x >= minX && p.x <= maxX && p.y >= minY && p.y <= maxY;
    }
    // Whether the two share a point, an edge or corner included.
    bool meets(const Box& b) const
    {
        return minX <= b.maxX && b.minX <= maxX && minY <= b.maxY && b.minY <= maxY;
    }
};
Box boundingBox(const Path& path);

// Whether p is inside the zone of rings (the outer ring first, then its
// holes; ringBoxes their boxes, in the same order): in the outer ring or on
// it, and not strictly inside a hole.
bool insideRings(const QVector<Path>& rings, const Box* ringBoxes, Point p);

} // namespace trklib::sited::zones

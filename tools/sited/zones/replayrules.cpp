#include "tools/sited/zones/replayrules.h"

#include "util/units.h"

#include <QtAlgorithms>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace trklib::sited::zones {

namespace {

// The grid's cells along the longer side of the zones' extent: 3.1 m
// cells on a 200 m site, so that an object's move between two pictures
// (a car's 1.5 m at 54 km/h and 10 pictures a second) mostly stays in one
// cell, and most cells of a zone of tens of metres lie wholly inside it or
// wholly outside it (32 cells were 10 % slower; 128 no faster).
constexpr int cellsPerSide = 64;
// How near a cell a line's segment must pass to be listed in it, and a
// zone's edge to keep the zone from holding all of it, in cells:
// far above the rounding of the cells' corners and of the distances to the
// line (about 1e-11 m at maxZoneM), far below a cell; at least
// minLineMarginM for an extent too small to carry that rounding.
constexpr double lineMarginCells = 0.01;
constexpr double minLineMarginM = 1e-6; // metres

// A set of zones and lines, by index: bit z % wordBits of word z / wordBits.
using Word = quint64;
constexpr int wordBits = 64;

// One stay of an object in one zone.
struct Stay
{
    int zone = 0;
    bool inside = false;
    std::int64_t enterMs = 0;
    bool dwellRaised = false;
    bool speedRaised = false;
};

// What the replay remembers of an object of the previous picture.
struct Tracked
{
    std::int64_t id = 0;
    bool everConfirmed = false; // in any picture so far
    Point last;
    double lastSpeedKph = 0.0;
    ObjectClass lastClass = ObjectClass::Unknown;
    int column = 0, row = 0; // the grid's cell of last, clamped to the grid
    int firstStay = 0;       // its stays (the zones it is inside) in the stays' buffer
    int stayCount = 0;
};

// The object being judged, as its events give it.
struct Judged
{
    std::int64_t id = 0;
    std::int64_t timeMs = 0; // the picture's
    Point at;
    double speedKph = 0.0;
    ObjectClass objectClass = ObjectClass::Unknown;
    bool everConfirmed = false;    // this picture included
    int column = 0, row = 0;       // the grid's cell of at, clamped to the grid
    const Word* holding = nullptr; // the zones holding all of its cell; null off the grid
};

// boundingBox({from, to}), without building the path.
Box moveBox(Point from, Point to)
{
    return {std::min(from.x, to.x), std::min(from.y, to.y), std::max(from.x, to.x),
            std::max(from.y, to.y)};
}

Box segmentBox(Point a, Point b)
{
    return moveBox(a, b);
}

// Whether the line through a and b passes within marginM of the box: not
// all of its corners beyond the margin on the same side. True when a is b.
bool passesNear(Point a, Point b, const Box& box, double marginM)
{
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length = std::hypot(dx, dy);
    if (length == 0.0)
        return true;
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const Point c : {Point{box.minX, box.minY}, Point{box.maxX, box.minY},
                          Point{box.minX, box.maxY}, Point{box.maxX, box.maxY}}) {
        const double distance = (dx * (c.y - a.y) - dy * (c.x - a.x)) / length;
        low = std::min(low, distance);
        high = std::max(high, distance);
    }
    return low <= marginM && high >= -marginM;
}

// The columns and rows of the cells a box meets, ends included.
struct CellRange
{
    int column0 = 0, column1 = 0, row0 = 0, row1 = 0;
};

// A uniform grid over the zones' extent (the union of their boxes): each
// cell holds the set of the zones whose outer ring's box meets it and that
// of the lines one of whose segments has a box that meets it and passes
// through or near it.
// The cells are squares, the extent's longer side cut into cellsPerSide;
// the cells of the first and last column and row reach on past the extent.
//
// A coordinate's column (row) is monotonic in it, whatever the rounding, so
// a box's cells are those from its low corner's to its high corner's, and
// every point of the box lies in one of them: a zone whose box holds a
// point is listed in the point's cell, a line whose segment shares a point
// with a move's box in one of the box's cells (a box touching a cell's
// edge included). The move's cells follow from its ends' alone, the
// columns of the box's sides being the least and greatest of theirs.
class Grid
{
public:
    Grid() = default;

    // boxes: each zone's, its outer ring's first (a zone without rings, none).
    Grid(const QVector<Zone>& zones, const std::vector<std::vector<Box>>& boxes)
    {
        bool first = true;
        for (const std::vector<Box>& box : boxes) {
            if (box.empty())
                continue;
            extent_ =
                first
                    ? box[0]
                    : Box{std::min(extent_.minX, box[0].minX), std::min(extent_.minY, box[0].minY),
                          std::max(extent_.maxX, box[0].maxX), std::max(extent_.maxY, box[0].maxY)};
            first = false;
        }
        if (first)
            return; // no zone to meet: no cell
        const double width = extent_.maxX - extent_.minX;
        const double height = extent_.maxY - extent_.minY;
        cellM_ = std::max(width, height) / cellsPerSide;
        columns_ = 1;
        rows_ = 1;
        if (std::isfinite(cellM_) && cellM_ > 0.0) {
            columns_ = std::clamp(int(width / cellM_) + 1, 1, cellsPerSide);
            rows_ = std::clamp(int(height / cellM_) + 1, 1, cellsPerSide);
        } else {
            cellM_ = 1.0; // one point, or no extent to cut: a single cell
        }
        cellsPerM_ = 1.0 / cellM_;
        words_ = (zones.size() + wordBits - 1) / wordBits;
        zones_.assign(std::size_t(columns_) * rows_ * words_, 0);
        lines_ = zones_;
        inside_ = zones_;
        for (int zone = 0; zone < zones.size(); ++zone) {
            if (boxes[zone].empty())
                continue;
            if (zones[zone].kind == Zone::Kind::Zone) {
                forCells(rangeOf(boxes[zone][0]), [&](int cell) {
                    add(zones_, cell, zone);
                    if (holdsCell(zones[zone], boxes[zone], cell))
                        add(inside_, cell, zone);
                });
                continue;
            }
            const Path& line = zones[zone].line;
            for (int i = 0; i + 1 < line.size(); ++i) {
                forCells(rangeOf(segmentBox(line[i], line[i + 1])), [&](int cell) {
                    if (columns_ * rows_ == 1 ||
                        passesNear(line[i], line[i + 1], cellBox(cell), lineMarginM()))
                        add(lines_, cell, zone);
                });
            }
        }
        quiet_.assign(std::size_t(columns_) * rows_, true);
        for (std::size_t w = 0; w < zones_.size(); ++w) {
            if (zones_[w] != 0 || lines_[w] != 0)
                quiet_[w / std::size_t(words_)] = false;
        }
    }

    // The words of a set of zones or lines.
    int words() const { return words_; }

    // Whether p lies in the extent: outside it, in no zone's box.
    bool holds(Point p) const { return columns_ > 0 && extent_.contains(p); }
    // Whether a box meets the extent: missing it, it meets no line's.
    bool meets(const Box& box) const { return columns_ > 0 && extent_.meets(box); }

    // The cell of a coordinate, clamped to the first and last.
    int column(double x) const { return index(x, extent_.minX, columns_); }
    int row(double y) const { return index(y, extent_.minY, rows_); }

    // Whether the cell lists no zone and no line.
    bool quiet(int column, int row) const { return quiet_[std::size_t(row * columns_ + column)]; }

    // The zones whose box may hold a point of the cell.
    const Word* zonesIn(int column, int row) const
    {
        return zones_.data() + std::size_t(row * columns_ + column) * words_;
    }
    // The zones that hold every point of the cell.
    const Word* zonesHolding(int column, int row) const
    {
        return inside_.data() + std::size_t(row * columns_ + column) * words_;
    }
    // Adds to lines those that may meet a box of the cells in range.
    void addLines(const CellRange& range, Word* lines) const
    {
        forCells(range, [&](int cell) {
            const Word* in = lines_.data() + std::size_t(cell) * words_;
            for (int w = 0; w < words_; ++w)
                lines[w] |= in[w];
        });
    }

private:
    int index(double v, double origin, int count) const
    {
        const double cells = (v - origin) * cellsPerM_;
        if (!(cells > 0.0))
            return 0;
        if (cells >= count)
            return count - 1;
        return int(cells);
    }

    CellRange rangeOf(const Box& box) const
    {
        return {column(box.minX), column(box.maxX), row(box.minY), row(box.maxY)};
    }

    void add(std::vector<Word>& sets, int cell, int zone) const
    {
        sets[std::size_t(cell) * words_ + zone / wordBits] |= Word(1) << (zone % wordBits);
    }

    template <typename F> void forCells(const CellRange& range, F&& f) const
    {
        for (int r = range.row0; r <= range.row1; ++r) {
            for (int c = range.column0; c <= range.column1; ++c)
                f(r * columns_ + c);
        }
    }

    double lineMarginM() const { return std::max(lineMarginCells * cellM_, minLineMarginM); }

    // Whether the zone holds every point of the cell and of the margin
    // around it: no edge of its rings passes near, and the cell's centre is
    // inside. A point's cell is that of its coordinates, rounded far less
    // than the margin, so a point of the cell lies in that region, all of
    // which is on one side of the zone's boundary.
    bool holdsCell(const Zone& zone, const std::vector<Box>& ringBoxes, int cell) const
    {
        const double m = lineMarginM();
        const Box c = cellBox(cell);
        const Box grown{c.minX - m, c.minY - m, c.maxX + m, c.maxY + m};
        for (const Path& ring : zone.rings) {
            for (int i = 0; i + 1 < ring.size(); ++i) {
                if (segmentBox(ring[i], ring[i + 1]).meets(grown) &&
                    passesNear(ring[i], ring[i + 1], grown, m))
                    return false;
            }
        }
        return insideRings(zone.rings, ringBoxes.data(),
                           {(c.minX + c.maxX) / 2.0, (c.minY + c.maxY) / 2.0});
    }

    Box cellBox(int cell) const
    {
        const double x = extent_.minX + (cell % columns_) * cellM_;
        const double y = extent_.minY + (cell / columns_) * cellM_;
        return {x, y, x + cellM_, y + cellM_};
    }

    Box extent_;
    double cellM_ = 1.0;     // metres
    double cellsPerM_ = 1.0; // 1 / cellM_
    int columns_ = 0;
    int rows_ = 0;
    int words_ = 0;
    std::vector<Word> zones_; // by cell, words() each
    std::vector<Word> lines_;
    std::vector<Word> inside_; // the zones holding all of the cell
    std::vector<bool> quiet_;  // by cell
};

} // namespace

struct ReplayRules::Private
{
    QVector<Zone> zones;
    std::vector<std::array<bool, objectClassCount>> cares; // Zone::caresFor, by zone and class
    std::vector<std::vector<Box>> boxes; // a zone's rings', a line's whole, then its segments'
    Grid grid;

    // The previous picture's objects by id, and their stays; the next ones
    // are built beside them and swapped in.
    std::vector<Tracked> previous;
    std::vector<Stay> previousStays;
    std::vector<Tracked> next;
    std::vector<Stay> nextStays;
    // The zones judged for the object's stays, and the lines its move may
    // meet, so that a zone or line is judged once though found twice; empty
    // between objects.
    std::vector<Word> stayed;
    std::vector<Word> lines;
    std::vector<QVector<Event>> byZone; // the picture's events

    explicit Private(QVector<Zone> z) : zones(std::move(z))
    {
        for (const Zone& zone : qAsConst(zones)) {
            std::array<bool, objectClassCount> c = {};
            for (int k = 0; k < objectClassCount; ++k)
                c[k] = zone.caresFor(ObjectClass(k));
            cares.push_back(c);
            std::vector<Box> b;
            if (zone.kind == Zone::Kind::Line) {
                b.push_back(boundingBox(zone.line));
                for (int i = 0; i + 1 < zone.line.size(); ++i)
                    b.push_back(segmentBox(zone.line[i], zone.line[i + 1]));
            }
            for (const Path& ring : zone.rings)
                b.push_back(boundingBox(ring));
            boxes.push_back(b);
        }
        grid = Grid(zones, boxes);
        stayed.assign(grid.words(), 0);
        lines.assign(grid.words(), 0);
        byZone.resize(zones.size());
    }

    bool inside(int zone, Point p) const
    {
        return insideRings(zones.at(zone).rings, boxes[zone].data(), p);
    }

    // The first segment of the line that the move from -> to meets, or -1;
    // -1 too when from lies on the line. A segment whose box misses the
    // move's shares no point with it: onSegment() tests that box first, and
    // segmentsMeet() finds only the points the two share.
    int crossedSegment(int zone, Point from, Point to, const Box& move) const
    {
        const Path& line = zones.at(zone).line;
        const std::vector<Box>& box = boxes[zone];
        if (!box[0].meets(move))
            return -1;
        for (int i = 0; i + 1 < line.size(); ++i) {
            if (box[i + 1].contains(from) && onSegment(line[i], line[i + 1], from))
                return -1;
        }
        for (int i = 0; i + 1 < line.size(); ++i) {
            if (!box[i + 1].meets(move))
                continue;
            // Both ends strictly on one side of the segment's line: the move
            // shares no point with the line, nor with the segment.
            if (orientation(line[i], line[i + 1], from) * orientation(line[i], line[i + 1], to) > 0)
                continue;
            if (segmentsMeet(line[i], line[i + 1], from, to))
                return i;
        }
        return -1;
    }

    Event event(Event::Kind kind, int zone, const Judged& o) const
    {
        Event e;
        e.objectClass = o.objectClass;
        e.kind = kind;
        e.zone = zone;
        e.object = o.id;
        e.timeMs = o.timeMs;
        e.xM = o.at.x;
        e.yM = o.at.y;
        e.speedKph = o.speedKph;
        return e;
    }

    void exit(int zone, const Judged& o, const Stay& stay, bool lost)
    {
        Event e = event(Event::Kind::Exit, zone, o);
        e.dwellS = double(o.timeMs - stay.enterMs) / util::msPerS;
        e.lost = lost;
        byZone[zone].append(e);
    }

    // Judges o against a zone it was inside (stay.inside) or whose box may
    // hold it; true when it is inside now, stay then its stay.
    bool judgeZone(int zone, const Judged& o, Stay& stay)
    {
        const Zone& z = zones.at(zone);
        const bool surelyInside =
            o.holding && (o.holding[zone / wordBits] >> (zone % wordBits) & 1);
        if ((z.confirmedOnly && !o.everConfirmed) || !cares[zone][int(o.objectClass)] ||
            !(surelyInside || inside(zone, o.at))) {
            if (stay.inside)
                exit(zone, o, stay, false);
            return false;
        }
        if (!stay.inside) {
            byZone[zone].append(event(Event::Kind::Enter, zone, o));
            stay = Stay();
            stay.zone = zone;
            stay.inside = true;
            stay.enterMs = o.timeMs;
        }
        const double insideS = double(o.timeMs - stay.enterMs) / util::msPerS;
        if (z.dwellS && !stay.dwellRaised && insideS >= *z.dwellS) {
            Event e = event(Event::Kind::Dwell, zone, o);
            e.dwellS = insideS;
            byZone[zone].append(e);
            stay.dwellRaised = true;
        }
        if (z.speedLimitKph && !stay.speedRaised && o.speedKph > *z.speedLimitKph) {
            byZone[zone].append(event(Event::Kind::Speed, zone, o));
            stay.speedRaised = true;
        }
        return true;
    }

    // Judges o's move from its previous position against the lines whose
    // segments may meet it; before is what its previous picture left.
    void judgeLines(const Judged& o, const Tracked& before)
    {
        const Point from = before.last;
        const Box move = moveBox(from, o.at);
        if (!grid.meets(move))
            return;
        grid.addLines({std::min(before.column, o.column), std::max(before.column, o.column),
                       std::min(before.row, o.row), std::max(before.row, o.row)},
                      lines.data());
        for (int w = 0; w < grid.words(); ++w) {
            Word set = lines[w];
            lines[w] = 0;
            for (; set != 0; set &= set - 1) {
                const int zone = w * wordBits + qCountTrailingZeroBits(set);
                if ((zones.at(zone).confirmedOnly && !before.everConfirmed) ||
                    !cares[zone][int(o.objectClass)])
                    continue;
                const int segment = crossedSegment(zone, from, o.at, move);
                if (segment < 0)
                    continue;
                const Path& line = zones.at(zone).line;
                Event e = event(Event::Kind::Cross, zone, o);
                e.left = crossSign(line[segment], line[segment + 1], from, o.at) > 0;
                byZone[zone].append(e);
            }
        }
    }

    // An object of this picture; before is what its previous one left of
    // it, or null for a new object.
    void present(std::int64_t timeMs, const Sample& s, const Tracked* before)
    {
        Judged o;
        o.id = s.id;
        o.timeMs = timeMs;
        o.at = {s.xM, s.yM};
        o.speedKph = s.speedKph;
        o.objectClass = s.objectClass;
        o.everConfirmed = (before && before->everConfirmed) || s.confirmed;
        o.column = grid.column(s.xM);
        o.row = grid.row(s.yM);
        // Still in a cell that lists no zone and no line (so inside no zone
        // before either: a zone is listed in every cell its box meets):
        // there is nothing it may enter, leave or cross, as the general path
        // below would find (its move's cells are this one alone).
        if (before && before->column == o.column && before->row == o.row &&
            (grid.words() == 0 || grid.quiet(o.column, o.row))) {
            track(o, s, int(nextStays.size()));
            return;
        }

        if (grid.holds(o.at))
            o.holding = grid.zonesHolding(o.column, o.row);

        // The zones it was inside, then those whose box may hold it now.
        const int firstStay = int(nextStays.size());
        if (before) {
            for (int k = before->firstStay; k < before->firstStay + before->stayCount; ++k) {
                Stay stay = previousStays[k];
                stayed[stay.zone / wordBits] |= Word(1) << (stay.zone % wordBits);
                if (judgeZone(stay.zone, o, stay))
                    nextStays.push_back(stay);
            }
        }
        if (grid.holds(o.at)) {
            const Word* cell = grid.zonesIn(o.column, o.row);
            for (int w = 0; w < grid.words(); ++w) {
                for (Word set = cell[w] & ~stayed[w]; set != 0; set &= set - 1) {
                    Stay stay;
                    if (judgeZone(w * wordBits + qCountTrailingZeroBits(set), o, stay))
                        nextStays.push_back(stay);
                }
            }
        }
        if (before) {
            for (int k = before->firstStay; k < before->firstStay + before->stayCount; ++k)
                stayed[previousStays[k].zone / wordBits] = 0;
            judgeLines(o, *before);
        }
        track(o, s, firstStay);
    }

    // What the next picture needs of o: its stays are those from firstStay on.
    void track(const Judged& o, const Sample& s, int firstStay)
    {
        Tracked& after = next.emplace_back();
        after.id = s.id;
        after.everConfirmed = o.everConfirmed;
        after.last = o.at;
        after.lastSpeedKph = s.speedKph;
        after.lastClass = s.objectClass;
        after.column = o.column;
        after.row = o.row;
        after.firstStay = firstStay;
        after.stayCount = int(nextStays.size()) - firstStay;
    }

    // An object of the previous picture that this one lacks: a lost exit
    // from every zone it was inside.
    void ended(std::int64_t timeMs, const Tracked& t)
    {
        Judged o;
        o.id = t.id;
        o.timeMs = timeMs;
        o.at = t.last;
        o.speedKph = t.lastSpeedKph;
        o.objectClass = t.lastClass;
        for (int k = t.firstStay; k < t.firstStay + t.stayCount; ++k)
            exit(previousStays[k].zone, o, previousStays[k], true);
    }
};

ReplayRules::ReplayRules(QVector<Zone> zones) : d(std::make_unique<Private>(std::move(zones))) {}

ReplayRules::~ReplayRules() = default;

void ReplayRules::evaluate(std::int64_t timeMs, const Sample* samples, int count,
                           QVector<Event>& out)
{
    // The previous picture's objects and this one's, both by id: each
    // object is judged in id order, so each zone's events come by id.
    const std::vector<Tracked>& previous = d->previous;
    d->next.clear();
    d->nextStays.clear();
    std::size_t i = 0;
    int j = 0;
    while (i < previous.size() || j < count) {
        if (j == count || (i < previous.size() && previous[i].id < samples[j].id)) {
            d->ended(timeMs, previous[i++]);
        } else if (i < previous.size() && previous[i].id == samples[j].id) {
            d->present(timeMs, samples[j++], &previous[i++]);
        } else {
            d->present(timeMs, samples[j++], nullptr);
        }
    }
    std::swap(d->previous, d->next);
    std::swap(d->previousStays, d->nextStays);

    out.clear();
    for (QVector<Event>& events : d->byZone) {
        for (const Event& e : qAsConst(events))
            out.append(e);
        events.clear();
    }
}

void ReplayRules::restart()
{
    d->previous.clear();
    d->previousStays.clear();
}

} // namespace trklib::sited::zones

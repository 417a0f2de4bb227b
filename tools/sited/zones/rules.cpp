#include "tools/sited/zones/rules.h"

#include "util/units.h"

#include <QHash>

#include <algorithm>
#include <cmath>

namespace trklib::sited::zones {

namespace {

// One stay of an object in one zone.
struct Stay
{
    bool inside = false;
    std::int64_t enterMs = 0;
    bool dwellRaised = false;
    bool speedRaised = false;
};

// What the rules remember of an object from its previous picture.
struct Tracked
{
    bool everConfirmed = false; // in any picture so far
    Point last;
    double lastSpeedKph = 0.0;
    ObjectClass lastClass = ObjectClass::Unknown;
    std::uint64_t picture = 0; // the serial of the last picture that held it
    QVector<Stay> stays;       // by zone; unused for lines
};

} // namespace

bool operator==(const ZoneState& a, const ZoneState& b)
{
    return a.occupants == b.occupants && a.classes == b.classes && a.entered == b.entered &&
           a.exited == b.exited && a.crossedLeft == b.crossedLeft &&
           a.crossedRight == b.crossedRight;
}

struct Rules::Private
{
    QVector<Zone> zones;
    QVector<QVector<Box>> boxes; // a zone's rings', a line's one
    QVector<ZoneState> states;
    QVector<bool> changed;
    QHash<std::int64_t, Tracked> objects;
    std::uint64_t serial = 0;
    ObjectClass current = ObjectClass::Unknown; // the class of the object being judged

    bool inside(int zone, Point p) const
    {
        return insideRings(zones[zone].rings, boxes[zone].constData(), p);
    }

    // The first segment of the line that the move from -> to meets, or -1;
    // -1 too when from lies on the line.
    int crossedSegment(int zone, Point from, Point to) const
    {
        const Path& line = zones[zone].line;
        const Box move = boundingBox({from, to});
        if (!boxes[zone][0].meets(move))
            return -1;
        for (int i = 0; i + 1 < line.size(); ++i) {
            if (onSegment(line[i], line[i + 1], from))
                return -1;
        }
        for (int i = 0; i + 1 < line.size(); ++i) {
            if (segmentsMeet(line[i], line[i + 1], from, to))
                return i;
        }
        return -1;
    }

    void setOccupant(int zone, std::int64_t id, bool in)
    {
        QVector<std::int64_t>& occupants = states[zone].occupants;
        const auto at = std::lower_bound(occupants.begin(), occupants.end(), id);
        if (in)
            occupants.insert(at, id);
        else if (at != occupants.end() && *at == id)
            occupants.erase(at);
        changed[zone] = true;
    }

    Event event(Event::Kind kind, int zone, std::int64_t id, std::int64_t timeMs, Point at,
                double speed) const
    {
        Event e;
        e.objectClass = current;
        e.kind = kind;
        e.zone = zone;
        e.object = id;
        e.timeMs = timeMs;
        e.xM = at.x;
        e.yM = at.y;
        e.speedKph = speed;
        return e;
    }

    void exit(QVector<Event>& out, int zone, std::int64_t id, std::int64_t timeMs, Stay& stay,
              Point at, double speed, bool lost)
    {
        Event e = event(Event::Kind::Exit, zone, id, timeMs, at, speed);
        e.dwellS = double(timeMs - stay.enterMs) / util::msPerS;
        e.lost = lost;
        out.append(e);
        stay = Stay();
        ++states[zone].exited;
        setOccupant(zone, id, false);
    }

    void evaluateZone(QVector<Event>& out, int zone, std::int64_t id, std::int64_t timeMs, Point p,
                      double speed, Stay& stay)
    {
        const Zone& z = zones[zone];
        if (!inside(zone, p)) {
            if (stay.inside)
                exit(out, zone, id, timeMs, stay, p, speed, false);
            return;
        }
        if (!stay.inside) {
            out.append(event(Event::Kind::Enter, zone, id, timeMs, p, speed));
            stay = Stay();
            stay.inside = true;
            stay.enterMs = timeMs;
            ++states[zone].entered;
            setOccupant(zone, id, true);
        }
        const double insideS = double(timeMs - stay.enterMs) / util::msPerS;
        if (z.dwellS && !stay.dwellRaised && insideS >= *z.dwellS) {
            Event e = event(Event::Kind::Dwell, zone, id, timeMs, p, speed);
            e.dwellS = insideS;
            out.append(e);
            stay.dwellRaised = true;
        }
        if (z.speedLimitKph && !stay.speedRaised && speed > *z.speedLimitKph) {
            out.append(event(Event::Kind::Speed, zone, id, timeMs, p, speed));
            stay.speedRaised = true;
        }
    }

    // Each zone's occupants by their class now; a zone whose counts moved
    // without an enter or exit (an occupant classified) changed too.
    void countClasses()
    {
        for (int zone = 0; zone < zones.size(); ++zone) {
            std::array<int, objectClassCount> counts = {};
            for (const std::int64_t id : qAsConst(states[zone].occupants)) {
                const auto it = objects.constFind(id);
                if (it != objects.cend())
                    ++counts[int(it->lastClass)];
            }
            if (counts != states[zone].classes) {
                states[zone].classes = counts;
                changed[zone] = true;
            }
        }
    }

    void evaluateLine(QVector<Event>& out, int zone, std::int64_t id, std::int64_t timeMs,
                      Point from, Point to, double speed)
    {
        const int segment = crossedSegment(zone, from, to);
        if (segment < 0)
            return;
        const Path& line = zones[zone].line;
        Event e = event(Event::Kind::Cross, zone, id, timeMs, to, speed);
        e.left = crossSign(line[segment], line[segment + 1], from, to) > 0;
        out.append(e);
        ++(e.left ? states[zone].crossedLeft : states[zone].crossedRight);
        changed[zone] = true;
    }
};

Rules::Rules(QVector<Zone> zones) : d(std::make_unique<Private>())
{
    replace(std::move(zones));
}

void Rules::replace(QVector<Zone> zones)
{
    // Where each new zone was: its index among the current ones, or -1.
    QVector<int> was(zones.size(), -1);
    for (int z = 0; z < zones.size(); ++z) {
        for (int old = 0; old < d->zones.size(); ++old) {
            if (d->zones[old].name == zones[z].name && d->zones[old].kind == zones[z].kind)
                was[z] = old;
        }
    }
    QVector<ZoneState> states(zones.size());
    for (int z = 0; z < zones.size(); ++z) {
        if (was[z] >= 0)
            states[z] = d->states[was[z]];
    }
    for (Tracked& t : d->objects) {
        QVector<Stay> stays(zones.size());
        for (int z = 0; z < zones.size(); ++z) {
            if (was[z] >= 0)
                stays[z] = t.stays[was[z]];
        }
        t.stays = std::move(stays);
    }
    d->zones = std::move(zones);
    d->boxes.clear();
    for (const Zone& zone : qAsConst(d->zones)) {
        QVector<Box> boxes;
        if (zone.kind == Zone::Kind::Line)
            boxes.append(boundingBox(zone.line));
        for (const Path& ring : zone.rings)
            boxes.append(boundingBox(ring));
        d->boxes.append(boxes);
    }
    d->states = std::move(states);
    d->changed.fill(false, d->zones.size());
}

Rules::~Rules() = default;

QVector<Event> Rules::evaluate(const Picture& picture)
{
    const int zoneCount = d->zones.size();
    const std::uint64_t serial = ++d->serial;
    d->changed.fill(false);
    QVector<QVector<Event>> byZone(zoneCount);

    QVector<const SiteObject*> present;
    present.reserve(picture.objects.size());
    for (const SiteObject& o : picture.objects)
        present.append(&o);
    std::sort(present.begin(), present.end(),
              [](const SiteObject* a, const SiteObject* b) { return a->id < b->id; });

    for (const SiteObject* o : qAsConst(present)) {
        auto it = d->objects.find(o->id);
        const bool isNew = it == d->objects.end();
        if (isNew) {
            it = d->objects.insert(o->id, Tracked());
            it->stays.resize(zoneCount);
        }
        Tracked& t = *it;
        const bool confirmedNow = t.everConfirmed || o->confirmed;
        const Point p{o->xM, o->yM};
        const double speed = util::groundSpeedKph(o->vxMps, o->vyMps);
        d->current = o->objectClass;
        for (int zone = 0; zone < zoneCount; ++zone) {
            const Zone& z = d->zones[zone];
            if ((z.confirmedOnly && !confirmedNow) || !z.caresFor(o->objectClass)) {
                // Inside a zone that became confirmed_only while it was in,
                // or whose classes its own class has left.
                if (t.stays[zone].inside)
                    d->exit(byZone[zone], zone, o->id, picture.timeMs, t.stays[zone], p, speed,
                            false);
                continue;
            }
            if (z.kind == Zone::Kind::Zone) {
                d->evaluateZone(byZone[zone], zone, o->id, picture.timeMs, p, speed, t.stays[zone]);
            } else if (!isNew && (!z.confirmedOnly || t.everConfirmed)) {
                d->evaluateLine(byZone[zone], zone, o->id, picture.timeMs, t.last, p, speed);
            }
        }
        t.everConfirmed = confirmedNow;
        t.last = p;
        t.lastSpeedKph = speed;
        t.lastClass = o->objectClass;
        t.picture = serial;
    }

    // The objects that ended: a lost exit from every zone they were in.
    QVector<std::int64_t> ended;
    for (auto it = d->objects.cbegin(); it != d->objects.cend(); ++it) {
        if (it->picture != serial)
            ended.append(it.key());
    }
    std::sort(ended.begin(), ended.end());
    for (const std::int64_t id : qAsConst(ended)) {
        Tracked& t = d->objects[id];
        d->current = t.lastClass;
        for (int zone = 0; zone < zoneCount; ++zone) {
            if (t.stays[zone].inside)
                d->exit(byZone[zone], zone, id, picture.timeMs, t.stays[zone], t.last,
                        t.lastSpeedKph, true);
        }
        d->objects.remove(id);
    }
    d->countClasses();

    QVector<Event> events;
    for (QVector<Event>& zoneEvents : byZone) {
        std::stable_sort(zoneEvents.begin(), zoneEvents.end(),
                         [](const Event& a, const Event& b) { return a.object < b.object; });
        events += zoneEvents;
    }
    return events;
}

const QVector<Zone>& Rules::zones() const
{
    return d->zones;
}

const ZoneState& Rules::state(int zone) const
{
    return d->states[zone];
}

QVector<int> Rules::changedZones() const
{
    QVector<int> zones;
    for (int zone = 0; zone < d->changed.size(); ++zone) {
        if (d->changed[zone])
            zones.append(zone);
    }
    return zones;
}

} // namespace trklib::sited::zones

"""The site's events, replayed from its pictures: a checker of sited's rules.

    python3 -m trklib.events PICTURES.jsonl ZONES.json

PICTURES.jsonl holds sited's pictures, one JSON picture a line, in time
order; ZONES.json the zones as sited publishes them on <prefix>/<site>/zones
(site metres). Prints every event the rules raise, one JSON line each, in
sited's order: picture by picture, zone by zone in the zones' order, object
by object by id, an object's enter before its dwell and speed.

The rules, as this module applies them:
- An object counts for a zone or line from its first picture, or with
  confirmed_only from its first confirmed picture, in every later picture
  that holds it. A picture without it ends it; its id coming back later is
  a new object. Its previous picture is the last earlier one that held it.
- Inside: the point is in the outer ring or on it, and not strictly inside a
  hole.
- enter: inside now and not inside in the previous picture (or the object
  did not count there).
- exit: inside in the previous picture and not now; and in the first picture
  without an object that was inside, with its last x, y and speed and
  "lost": true. "dwell": (picture time - enter time) / 1000 s.
- dwell: once per stay, in the first picture (inside) at least dwell s after
  the enter; "dwell" as for exit.
- speed: once per stay, in the first picture of the stay whose speed is above
  speed_limit.
- cross: the object counts now and counted in its previous picture, its
  previous position is on no segment of the line, and the move from there to
  now meets a segment (touching counts); the first such segment as drawn
  decides; "left" when (segment end - start) x (move) > 0, else "right".
Geometric signs are exact: a rounded cross product is trusted only when it
clears its error bound, else it is recomputed in rationals.
"""

import json
import sys
from fractions import Fraction

_EPSILON = 2.0 ** -53
_BOUND = 8 * _EPSILON


def cross_sign(a, b, p, q):
    """The exact sign of (b - a) x (q - p)."""
    left = (b[0] - a[0]) * (q[1] - p[1])
    right = (b[1] - a[1]) * (q[0] - p[0])
    rounded = left - right
    if abs(rounded) > _BOUND * (abs(left) + abs(right)):
        return 1 if rounded > 0 else -1
    ax, ay, bx, by, px, py, qx, qy = (Fraction(v) for v in (*a, *b, *p, *q))
    exact = (bx - ax) * (qy - py) - (by - ay) * (qx - px)
    return (exact > 0) - (exact < 0)


def _within(a, b, p):
    return min(a[0], b[0]) <= p[0] <= max(a[0], b[0]) and min(a[1], b[1]) <= p[1] <= max(a[1], b[1])


def on_segment(a, b, p):
    return _within(a, b, p) and cross_sign(a, b, a, p) == 0


def segments_meet(a, b, p, q):
    """Whether segments ab and pq share a point (ends and overlaps count)."""
    if on_segment(a, b, p) or on_segment(a, b, q) or on_segment(p, q, a) or on_segment(p, q, b):
        return True
    return (cross_sign(a, b, a, p) * cross_sign(a, b, a, q) < 0
            and cross_sign(p, q, p, a) * cross_sign(p, q, p, b) < 0)


def ring_place(ring, p):
    """'boundary', 'inside' or 'outside' by winding number; boundary first."""
    edges = list(zip(ring, ring[1:]))
    if any(on_segment(a, b, p) for a, b in edges):
        return "boundary"
    winding = 0
    for a, b in edges:
        if a[1] <= p[1] < b[1] and cross_sign(a, b, a, p) > 0:
            winding += 1
        elif b[1] <= p[1] < a[1] and cross_sign(a, b, a, p) < 0:
            winding -= 1
    return "inside" if winding else "outside"


def inside(zone, p):
    outer, *holes = zone["coordinates"]
    if ring_place(outer, p) == "outside":
        return False
    return all(ring_place(hole, p) != "inside" for hole in holes)


def crossing(line, start, end):
    """(segment index, direction) of the move start -> end across line, or None."""
    segments = list(zip(line, line[1:]))
    if any(on_segment(a, b, start) for a, b in segments):
        return None
    for index, (a, b) in enumerate(segments):
        if segments_meet(a, b, start, end):
            return index, "left" if cross_sign(a, b, start, end) > 0 else "right"
    return None


class Checker:
    """The rules over pictures given one at a time."""

    def __init__(self, zones):
        self.zones = zones
        # id -> {"confirmed": in any picture so far, "object": as in its
        # previous picture, "stays": {zone name: {"enter", "dwell", "speed"}}}
        self.seen = {}

    def _event(self, site, kind, zone, obj, time, **extra):
        event = {"site": site, "event": kind, "zone": zone["name"], "object": obj["id"],
                 "time": time, "x": obj["x"], "y": obj["y"]}
        if "lat" in obj:
            event["lat"] = obj["lat"]
            event["lon"] = obj["lon"]
        event["speed"] = obj["speed"]
        # The object's class in the event's picture (a lost exit: its last).
        event["class"] = obj.get("class", "unknown")
        event.update(extra)
        return event

    def picture(self, picture):
        site, time = picture["site"], picture["time"]
        objects = sorted(picture["objects"], key=lambda o: o["id"])
        present = {o["id"] for o in objects}
        ended = sorted(i for i in self.seen if i not in present)
        for obj in objects:
            self.seen.setdefault(obj["id"], {"confirmed": False, "object": None, "stays": {}})
        events = []
        for zone in self.zones:
            raised = []
            for obj in objects:
                raised += self._object(site, time, zone, obj, self.seen[obj["id"]])
            for oid in ended:
                memory = self.seen[oid]
                stay = memory["stays"].get(zone["name"])
                if stay is not None:
                    raised.append(self._event(site, "exit", zone, memory["object"], time,
                                              dwell=(time - stay["enter"]) / 1000, lost=True))
            raised.sort(key=lambda e: e["object"])  # stable: an object's own order stays
            events += raised
        for oid in ended:
            del self.seen[oid]
        for obj in objects:
            memory = self.seen[obj["id"]]
            memory["confirmed"] = memory["confirmed"] or obj["confirmed"]
            memory["object"] = obj
        return events

    def _object(self, site, time, zone, obj, memory):
        """The events of one object and one zone or line; memory holds its
        previous picture (object None in its first)."""
        before = memory["object"] is not None and (not zone["confirmed_only"] or memory["confirmed"])
        now = not zone["confirmed_only"] or obj["confirmed"] or memory["confirmed"]
        if not now:
            return []
        point = (obj["x"], obj["y"])
        if zone["kind"] == "line":
            if not before:
                return []
            last = memory["object"]
            found = crossing(zone["coordinates"], (last["x"], last["y"]), point)
            if found is None:
                return []
            return [self._event(site, "cross", zone, obj, time, direction=found[1])]
        stays = memory["stays"]
        stay = stays.get(zone["name"])
        if not inside(zone, point):
            if stay is None:
                return []
            del stays[zone["name"]]
            return [self._event(site, "exit", zone, obj, time,
                                dwell=(time - stay["enter"]) / 1000, lost=False)]
        raised = []
        if stay is None:
            stay = stays[zone["name"]] = {"enter": time, "dwell": False, "speed": False}
            raised.append(self._event(site, "enter", zone, obj, time))
        held = (time - stay["enter"]) / 1000
        if zone["dwell"] is not None and not stay["dwell"] and held >= zone["dwell"]:
            stay["dwell"] = True
            raised.append(self._event(site, "dwell", zone, obj, time, dwell=held))
        if zone["speed_limit"] is not None and not stay["speed"] and obj["speed"] > zone["speed_limit"]:
            stay["speed"] = True
            raised.append(self._event(site, "speed", zone, obj, time))
        return raised


def replay(pictures, zones):
    """Every event of the pictures (an iterable of dicts), picture by picture."""
    checker = Checker(zones)
    for picture in pictures:
        yield checker.picture(picture)


def _lines(path):
    with open(path, encoding="utf-8") as stream:
        for number, line in enumerate(stream, 1):
            if line.strip():
                try:
                    yield json.loads(line)
                except json.JSONDecodeError as error:
                    raise ValueError(f"{path}:{number}: not JSON: {error}") from None


# Site and zone names as sited's topics allow them.
_NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-")
_MAX_NAME = 64
_NOT_A_NAME = f"is not 1 to {_MAX_NAME} letters, digits, _ . -"
_ZONE_FIELDS = ("name", "kind", "coordinates", "dwell", "speed_limit", "confirmed_only")


def _is_name(value):
    return isinstance(value, str) and 1 <= len(value) <= _MAX_NAME and set(value) <= _NAME_CHARACTERS


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


# What the site view draws, and sited takes in a zones file: positions
# within 100 km of the origin on each axis (m), a dwell up to the page's
# last date (s), a speed limit up to 1000 km/h.
_MAX_ZONE_M = 100e3
_MAX_DWELL_S = 8.64e12
_MAX_SPEED_LIMIT_KPH = 1000.0


def _is_point(value):
    return (isinstance(value, list) and len(value) == 2 and all(map(_is_number, value))
            and all(abs(v) <= _MAX_ZONE_M for v in value))


def _zone_fault(zone):
    """What is wrong with one zone of sited's zones message, or None."""
    if not isinstance(zone, dict) or set(zone) != set(_ZONE_FIELDS):
        return f"is not an object of exactly {', '.join(_ZONE_FIELDS)}"
    if not _is_name(zone["name"]):
        return f"name {zone['name']!r} {_NOT_A_NAME}"
    kind, coordinates = zone["kind"], zone["coordinates"]
    if kind == "zone":
        # Rings of at least three corners and the first point again.
        if not (isinstance(coordinates, list) and coordinates
                and all(isinstance(ring, list) and len(ring) >= 4 and all(map(_is_point, ring))
                        and ring[0] == ring[-1] for ring in coordinates)):
            return ("coordinates are not closed rings of at least 4 [x, y] points within "
                    "100 km of the origin")
        limits = (("dwell", _MAX_DWELL_S), ("speed_limit", _MAX_SPEED_LIMIT_KPH))
        if not all(zone[k] is None or (_is_number(zone[k]) and 0 < zone[k] <= most)
                   for k, most in limits):
            return "dwell and speed_limit are not null or above 0 and at most their limits"
    elif kind == "line":
        if not (isinstance(coordinates, list) and len(coordinates) >= 2
                and all(map(_is_point, coordinates))):
            return "coordinates are not at least 2 [x, y] points within 100 km of the origin"
        if zone["dwell"] is not None or zone["speed_limit"] is not None:
            return "a line has a dwell or speed_limit"
    else:
        return f"kind {kind!r} is not zone or line"
    if not isinstance(zone["confirmed_only"], bool):
        return "confirmed_only is not true or false"
    return None


def read_zones(path):
    """The zones of sited's zones message in a file, checked.

    OSError for a file that cannot be read; ValueError, one line naming the
    file, for one that is not JSON or not a zones message (the site or a
    zone's name not topic-safe, a field missing or unknown, a ring of fewer
    than 4 points or not closed, a line of fewer than 2, a dwell or speed
    limit of 0 or on a line, a name twice).
    """
    with open(path, encoding="utf-8") as stream:
        try:
            message = json.load(stream)
        except json.JSONDecodeError as error:
            raise ValueError(f"{path}: not JSON: {error}") from None
    if not isinstance(message, dict) or set(message) != {"site", "zones"}:
        raise ValueError(f"{path}: not a zones message (an object of site and zones)")
    if not _is_name(message["site"]):
        raise ValueError(f"{path}: site {message['site']!r} {_NOT_A_NAME}")
    zones = message["zones"]
    if not isinstance(zones, list):
        raise ValueError(f"{path}: zones is not a list")
    names = set()
    for k, zone in enumerate(zones):
        fault = _zone_fault(zone)
        if fault:
            raise ValueError(f"{path}: zones[{k}] {fault}")
        if zone["name"] in names:
            raise ValueError(f"{path}: zones[{k}]: a second zone {zone['name']}")
        names.add(zone["name"])
    return zones


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 2:
        print("usage: python3 -m trklib.events PICTURES.jsonl ZONES.json", file=sys.stderr)
        return 2
    try:
        zones = read_zones(args[1])
        for events in replay(_lines(args[0]), zones):
            for event in events:
                print(json.dumps(event, separators=(",", ":")))
    except (OSError, ValueError, KeyError) as error:
        print(f"trklib.events: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A site's fused pictures scored against the site's truth.

read_site_truth(path)      radarsim's site truth CSV, per object
read_pictures(path)        sited's picture lines (JSON, one picture a line)
read_radar_tracks(path)    trackd's tracks messages of every radar (JSON lines)
truth_at(truth, times)     the truth objects in a beam at each time, interpolated
union_at(tracks, times)    every radar's confirmed targets at each time
score_site(...)            GOSPA means, identity switches and handovers

The definitions, which the site benchmark's goals use:
- At a picture's time t the truth is every truth object whose radars are not
  empty at t. An object's position at t is interpolated linearly in time
  between its two rows nearest t (one before, one after; the row itself at a
  row's time). Its radars at t are those of the nearer of the two rows, the
  earlier one at equal distance: the beam's edge is crossed somewhere between
  two rows, and the nearer row is the better guess. Before an object's first
  row and after its last one it is not in the world.
- The estimate is the picture's confirmed objects. GOSPA with c = 10 m,
  p = 2, alpha = 2 on (x, y); its mean is over the pictures from 10 s after
  the first picture (time >= first + 10 s).
- The union is what the site shows without fusion: at t, every radar's
  confirmed targets of its latest tracks message received at or before t
  (of messages received at the same time, the later line). Its GOSPA mean is
  over the same times.
- Switches: for each truth object, the ids GOSPA's assignment gives it over
  all the pictures, in time order, skipping pictures where it is unassigned;
  a switch is a change of id. Switches per object: their total divided by
  the number of truth objects assigned in at least one picture.
- Ids passed on: for each picture id, the truth objects GOSPA's assignment
  gives it over all the pictures, in time order, skipping pictures where it
  is unassigned; each change of truth object counts one (a number joined to
  someone else, or two close objects' numbers swapped).
- A handover: between two consecutive rows of a truth object, its radars lose
  a radar while at least one radar sees it (one handover per pair of rows,
  however many radars are lost; {a} to {b} is one). Its time is the later
  row's. It is kept when the id assigned to the object in the last assigned
  picture before that time equals the id in the first assigned picture at
  least 2 s later. Handovers are judged where the pictures can judge them:
  after the first picture and at least 2 s before the last one. Of those,
  the ones whose object is in some beam 2 s after (its radars at that time,
  taken as for the truth at a picture's time) are counted apart: only they
  can be kept by a picture 2 s on.
- A join: a picture object whose 'gapped' differs from what it had in its
  previous picture (none before counts as none): sited took it up again
  across a gap. It joins two truth objects when the truth object assigned
  to it in its last assigned picture before the join is another than the
  one in its first assigned picture from the join on; a join without an
  assigned picture on either side is not judged either way.
"""

import csv
import json
import math
from dataclasses import dataclass, field

import numpy as np

from .metrics import gospa

__all__ = [
    "Picture",
    "SiteScore",
    "SiteTruth",
    "read_pictures",
    "read_radar_tracks",
    "read_site_truth",
    "score_site",
    "truth_at",
    "union_at",
]

CUT_OFF_M = 10.0
ORDER = 2.0
ALPHA = 2.0
WARM_UP_MS = 10_000  # pictures before first + this are not in the GOSPA means
HANDOVER_MS = 2_000  # the id after a handover is read this long after it

TRUTH_COLUMNS = ["time", "id", "kind", "class", "x", "y", "vx", "vy", "speed_kph", "lat", "lon",
                 "radars"]


@dataclass
class SiteTruth:
    """The truth objects, each with its rows in time order.

    objects: {id: (times (k,) int64 ms, points (k, 2) metres, radars: list of
    frozensets of radar names)}.
    """

    objects: dict


@dataclass
class Picture:
    """One picture: time (ms), and its confirmed objects' ids (n,) and (n, 2)
    points; gapped: {id: seconds} of its objects with a 'gapped', confirmed
    or not."""

    time: int
    ids: np.ndarray
    points: np.ndarray
    gapped: dict = field(default_factory=dict)


@dataclass
class RadarTracks:
    """Every radar's tracks messages: {radar: (received (k,) int64 ms in order,
    [confirmed targets' (n, 2) points of each message])}."""

    radars: dict


@dataclass
class SiteScore:
    """The figures score_site() computes; None where there is nothing to compute."""

    gospa_mean: object
    union_gospa_mean: object
    switches: int
    assigned_objects: int
    handovers: int
    handovers_kept: int
    ids_passed: int = 0
    handovers_in_beam: int = 0  # of the handovers, those in some beam 2 s after
    handovers_in_beam_kept: int = 0
    joins: int = 0
    wrong_joins: int = 0  # joins of two truth objects

    @property
    def switches_per_object(self):
        return self.switches / self.assigned_objects if self.assigned_objects else None


# The messages' limits, as their schemas (docs/schemas) state them.
MAX_TIME_MS = 8_640_000_000_000_000  # times: whole ms from 1970 to the last JavaScript date
MAX_OBJECT_ID = 2**53 - 1  # object ids: from 1, what a double holds exactly
MAX_TARGETS = 1000  # targets in one tracks message
MAX_TARGET_M = 200_000  # a target's x and y: within 200 km of the site's origin
MAX_NAME = 64  # site and radar names: topic-safe characters
NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-")


def _name(value):
    return isinstance(value, str) and 1 <= len(value) <= MAX_NAME and set(value) <= NAME_CHARACTERS


def _not_a_name(where, field, value):
    return ValueError(f"{where}: {field} {value!r} is not 1 to {MAX_NAME} letters, digits, _ . -")


def _time(value):
    return _integer(value) and 0 <= value <= MAX_TIME_MS


def _integer(value):
    """True for a JSON integer that fits 64 bits (ids, milliseconds)."""
    return isinstance(value, int) and not isinstance(value, bool) and -2**63 <= value < 2**63


def _number(value):
    """True for a JSON number that is a finite double (an integer too large is not)."""
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return False
    try:
        return math.isfinite(float(value))
    except OverflowError:
        return False


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"'{text}' is not a finite number")
    return value


def read_site_truth(path):
    """radarsim's site truth CSV as a SiteTruth.

    OSError for a file that cannot be read; ValueError naming the file and
    the line for another header, a bad time, id, x, y or radars field, or a
    second row of one object at one time.
    """
    rows = {}
    with open(path, newline="", encoding="utf-8") as file:
        reader = csv.reader(file)
        try:
            if next(reader, None) != TRUTH_COLUMNS:
                raise ValueError(f"{path}: not a site truth CSV (its first line is not "
                                 f"'{','.join(TRUTH_COLUMNS)}')")
            for row in reader:
                where = f"{path}: line {reader.line_num}"
                if len(row) != len(TRUTH_COLUMNS):
                    raise ValueError(f"{where}: {len(row)} fields, not {len(TRUTH_COLUMNS)}")
                try:
                    time, object_id = int(row[0]), int(row[1])
                    x, y = _finite(row[4]), _finite(row[5])
                except ValueError as error:
                    raise ValueError(f"{where}: {error}") from None
                radars = frozenset(row[11].split(";")) if row[11] else frozenset()
                if "" in radars:
                    raise ValueError(f"{where}: an empty radar name in '{row[11]}'")
                entries = rows.setdefault(object_id, {})
                if time in entries:
                    raise ValueError(f"{where}: a second row of object {object_id} at {time}")
                entries[time] = (x, y, radars)
        except UnicodeDecodeError:
            raise ValueError(f"{path}: not a site truth CSV (not UTF-8 text)") from None
    objects = {}
    for object_id, entries in rows.items():
        times = sorted(entries)
        objects[object_id] = (np.array(times, dtype=np.int64),
                              np.array([entries[t][:2] for t in times], dtype=float),
                              [entries[t][2] for t in times])
    return SiteTruth(objects)


def _json_lines(path, what):
    """(line number, object) of every non-blank line; ValueError for one
    that is not a JSON object."""
    with open(path, encoding="utf-8") as file:
        try:
            for number, line in enumerate(file, 1):
                if not line.strip():
                    continue
                try:
                    value = json.loads(line)
                except json.JSONDecodeError as error:
                    raise ValueError(f"{path}: line {number}: not JSON ({error.msg})") from None
                if not isinstance(value, dict):
                    raise ValueError(f"{path}: line {number}: not a JSON object, not {what}")
                yield number, value
        except UnicodeDecodeError:
            raise ValueError(f"{path}: not {what} (not UTF-8 text)") from None


def _confirmed_points(items, where, what, id_field=None, max_items=None, max_abs_m=math.inf):
    """The confirmed items' (n, 2) points (and ids with id_field), checked:
    at most max_items, x and y within max_abs_m, ids from 1 to MAX_OBJECT_ID."""
    if not isinstance(items, list):
        raise ValueError(f"{where}: '{what}' is not a list")
    if max_items is not None and len(items) > max_items:
        raise ValueError(f"{where}: more than {max_items} {what}")
    ids, points, seen = [], [], set()
    for k, item in enumerate(items):
        if not isinstance(item, dict):
            raise ValueError(f"{where}: {what}[{k}] is not an object")
        for name in (id_field, "x", "y", "confirmed"):
            if name is not None and name not in item:
                raise ValueError(f"{where}: {what}[{k}] has no '{name}'")
        if not all(_number(item[c]) and abs(item[c]) <= max_abs_m for c in ("x", "y")):
            raise ValueError(f"{where}: {what}[{k}]: x and y must be finite numbers"
                             + (f" within {max_abs_m:g} m" if math.isfinite(max_abs_m) else ""))
        if not isinstance(item["confirmed"], bool):
            raise ValueError(f"{where}: {what}[{k}]: 'confirmed' is not true or false")
        if id_field is not None:
            if not (_integer(item[id_field]) and 1 <= item[id_field] <= MAX_OBJECT_ID):
                raise ValueError(f"{where}: {what}[{k}]: '{id_field}' is not an integer "
                                 f"from 1 to {MAX_OBJECT_ID}")
            if item[id_field] in seen:
                raise ValueError(f"{where}: {what}[{k}]: a second object {item[id_field]}")
            seen.add(item[id_field])
        if item["confirmed"]:
            ids.append(item.get(id_field))
            points.append((float(item["x"]), float(item["y"])))
    return ids, np.array(points, dtype=float).reshape(-1, 2)


def read_pictures(path):
    """sited's picture file: (site, [Picture] in time order).

    OSError for a file that cannot be read; ValueError naming the file and
    the line for a line that is not a picture, one of another site, a time
    not after the previous picture's, two objects with one id, or no picture.
    """
    site, pictures = None, []
    for number, value in _json_lines(path, "a picture"):
        where = f"{path}: line {number}"
        for name in ("site", "time", "objects"):
            if name not in value:
                raise ValueError(f"{where}: no '{name}', not a picture")
        if not _name(value["site"]):
            raise _not_a_name(where, "site", value["site"])
        if site is not None and value["site"] != site:
            raise ValueError(f"{where}: site '{value['site']}', not '{site}' as before")
        site = value["site"]
        if not _time(value["time"]):
            raise ValueError(f"{where}: 'time' is not an integer from 0 to {MAX_TIME_MS} (ms)")
        if pictures and value["time"] <= pictures[-1].time:
            raise ValueError(f"{where}: time {value['time']} is not after the previous "
                             f"picture's {pictures[-1].time}")
        ids, points = _confirmed_points(value["objects"], where, "objects", id_field="id")
        gapped = {}
        for k, item in enumerate(value["objects"]):
            if "gapped" in item:
                if not (_number(item["gapped"]) and item["gapped"] > 0):
                    raise ValueError(f"{where}: objects[{k}]: 'gapped' is not a number above 0")
                gapped[item["id"]] = float(item["gapped"])
        pictures.append(Picture(value["time"], np.array(ids, dtype=np.int64), points, gapped))
    if not pictures:
        raise ValueError(f"{path}: no picture")
    return site, pictures


def read_radar_tracks(path, site=None):
    """trackd's tracks messages of every radar, one a line, as RadarTracks.

    OSError for a file that cannot be read; ValueError naming the file and
    the line for a line that is not a tracks message, or one of another site
    than site (when given).
    """
    messages = {}
    for number, value in _json_lines(path, "a tracks message"):
        where = f"{path}: line {number}"
        for name in ("site", "radar", "received", "targets"):
            if name not in value:
                raise ValueError(f"{where}: no '{name}', not a tracks message")
        if site is not None and value["site"] != site:
            raise ValueError(f"{where}: site '{value['site']}', not the pictures' '{site}'")
        for name in ("site", "radar"):
            if not _name(value[name]):
                raise _not_a_name(where, name, value[name])
        if not _time(value["received"]):
            raise ValueError(f"{where}: 'received' is not an integer from 0 to {MAX_TIME_MS} (ms)")
        _, points = _confirmed_points(value["targets"], where, "targets", max_items=MAX_TARGETS,
                                      max_abs_m=MAX_TARGET_M)
        messages.setdefault(value["radar"], []).append((value["received"], points))
    radars = {}
    for radar, received in messages.items():
        received.sort(key=lambda m: m[0])  # stable: the later line last among equal times
        radars[radar] = (np.array([m[0] for m in received], dtype=np.int64),
                         [m[1] for m in received])
    return RadarTracks(radars)


def truth_at(truth, times):
    """The truth at each time: [(ids (m,), points (m, 2))], one per time.

    Every object in the world at t (from its first row to its last) whose
    nearer row has radars, at its position interpolated between its rows.
    """
    times = np.asarray(times, dtype=np.int64)
    found = []  # (time index, id, x, y) arrays of every object
    for object_id, (rows, points, radars) in truth.objects.items():
        inside = np.flatnonzero((times >= rows[0]) & (times <= rows[-1]))
        t = times[inside]
        before = np.searchsorted(rows, t, side="right") - 1
        after = np.minimum(before + 1, len(rows) - 1)
        span = (rows[after] - rows[before]).astype(float)
        weight = np.divide(t - rows[before], span, out=np.zeros(len(t)), where=span > 0)
        at = points[before] + weight[:, None] * (points[after] - points[before])
        nearer = np.where(t - rows[before] <= rows[after] - t, before, after)
        seen = np.array([bool(radars[k]) for k in nearer], dtype=bool)
        found.append((inside[seen], np.full(seen.sum(), object_id), at[seen]))
    result = [(np.zeros(0, dtype=np.int64), np.zeros((0, 2))) for _ in times]
    if found:
        index = np.concatenate([f[0] for f in found])
        ids = np.concatenate([f[1] for f in found]).astype(np.int64)
        points = np.concatenate([f[2] for f in found]).reshape(-1, 2)
        order = np.argsort(index, kind="stable")
        index, ids, points = index[order], ids[order], points[order]
        bounds = np.searchsorted(index, np.arange(len(times) + 1))
        for k in range(len(times)):
            result[k] = (ids[bounds[k]:bounds[k + 1]], points[bounds[k]:bounds[k + 1]])
    return result


def union_at(tracks, times):
    """Every radar's confirmed targets of its latest message received at or
    before each time: [(n, 2) points], one per time."""
    result = []
    for t in times:
        parts = []
        for received, points in tracks.radars.values():
            latest = np.searchsorted(received, t, side="right") - 1
            if latest >= 0:
                parts.append(points[latest])
        result.append(np.concatenate(parts) if parts else np.zeros((0, 2)))
    return result


def _handovers(truth):
    """(object id, time) of every handover in the truth's rows."""
    events = []
    for object_id, (rows, _, radars) in truth.objects.items():
        for k in range(1, len(rows)):
            if radars[k] and radars[k - 1] - radars[k]:
                events.append((object_id, int(rows[k])))
    return events


def _joins(pictures, owners, start):
    """(joins, of two truth objects) of the pictures from start on; owners:
    {picture id: [(picture time, truth id)] in time order}, as GOSPA
    assigned them."""
    joins = wrong = 0
    last_gapped = {}  # picture id -> its gapped in its latest picture
    for picture in pictures:
        present = set(int(i) for i in picture.ids) | set(picture.gapped)
        for number in present:
            gapped = picture.gapped.get(number)
            if gapped is not None and gapped != last_gapped.get(number) and picture.time >= start:
                joins += 1
                seq = owners.get(number, [])
                before = [o for t, o in seq if t < picture.time]
                after = [o for t, o in seq if t >= picture.time]
                if before and after and before[-1] != after[0]:
                    wrong += 1
            last_gapped[number] = gapped
    return joins, wrong


def _mean(values):
    return float(np.mean(values)) if values else None


def score_site(pictures, truth, tracks=None, start_ms=0):
    """The SiteScore of pictures ([Picture] in time order, at least one)
    against truth (SiteTruth), with the union's GOSPA from tracks
    (RadarTracks) if given. With start_ms, only what happens from that long
    after the first picture is scored (a run's settled part): the GOSPA of
    those pictures (and none before the warm-up), the switches, passed ids
    and joins there, the handovers from then on, and the objects assigned
    there."""
    times = np.array([p.time for p in pictures], dtype=np.int64)
    start = times[0] + start_ms
    scored = times >= max(times[0] + WARM_UP_MS, start)
    truths = truth_at(truth, times)
    distances = []
    assigned = {}  # truth id -> [(picture time, picture object id)] in time order
    for picture, (ids, points), counted in zip(pictures, truths, scored):
        g = gospa(points, picture.points, CUT_OFF_M, ORDER, ALPHA)
        if counted:
            distances.append(g.total)
        for i, j in g.pairs:
            assigned.setdefault(int(ids[i]), []).append((picture.time, int(picture.ids[j])))

    union = None
    if tracks is not None:
        union = _mean([gospa(points, estimate, CUT_OFF_M, ORDER, ALPHA).total
                       for (_, points), estimate, counted
                       in zip(truths, union_at(tracks, times), scored) if counted])

    switches = sum(sum(a[1] != b[1] and b[0] >= start for a, b in zip(seq, seq[1:]))
                   for seq in assigned.values())
    objects = sum(seq[-1][0] >= start for seq in assigned.values())

    owners = {}  # picture id -> [(picture time, truth id)]
    for truth_id, seq in assigned.items():
        for t, number in seq:
            owners.setdefault(number, []).append((t, truth_id))
    for seq in owners.values():
        seq.sort()
    passed = sum(sum(a[1] != b[1] and b[0] >= start for a, b in zip(seq, seq[1:]))
                 for seq in owners.values())

    handovers = kept = in_beam = in_beam_kept = 0
    for object_id, at in _handovers(truth):
        if not times[0] < at <= times[-1] - HANDOVER_MS or at < start:
            continue
        handovers += 1
        seq = assigned.get(object_id, [])
        before = [number for t, number in seq if t < at]
        after = [number for t, number in seq if t >= at + HANDOVER_MS]
        was_kept = bool(before and after and before[-1] == after[0])
        kept += was_kept
        if object_id in truth_at(truth, [at + HANDOVER_MS])[0][0]:
            in_beam += 1
            in_beam_kept += was_kept

    joins, wrong_joins = _joins(pictures, owners, start)
    return SiteScore(_mean(distances), union, switches, objects, handovers, kept, passed,
                     in_beam, in_beam_kept, joins, wrong_joins)


def summary_lines(score):
    """The eight lines `python3 -m trklib.score --site` prints."""

    def figure(value):
        return "n/a" if value is None else f"{value:.3f}"

    return [
        f"GOSPA mean {figure(score.gospa_mean)}",
        f"union GOSPA mean {figure(score.union_gospa_mean)}",
        f"switches per object {figure(score.switches_per_object)}",
        f"handovers kept {score.handovers_kept}/{score.handovers}",
        f"ids passed on {score.ids_passed}",
        f"handovers in a beam 2 s after, kept {score.handovers_in_beam_kept}/"
        f"{score.handovers_in_beam}",
        f"joins {score.joins}",
        f"joins of two truth objects {score.wrong_joins}",
    ]

"""Scores a line's cross events against the truth: every walker of the
truth that crosses the line between two of its truth samples, seen by a
radar at both (in the coverage), should give one cross event within MAX_S
seconds and MAX_M metres of the crossing.

    python3 scripts/lib/event_truth.py TRUTH.csv EVENTS.jsonl LINE X0 X1

The line is y = 0 from x = X0 to X1 in site metres (the perimeter's fence).
Prints: crossings, found, events, events without a truth crossing.
Crossings and events are paired one to one, each crossing with the nearest
event in time among those not yet paired.
"""

import csv
import json
import math
import sys

MAX_S = 1.0
MAX_M = 5.0


def truth_crossings(path, x0, x1):
    """(time ms, x) of each walker's crossing of y = 0 between x0 and x1 in
    the coverage."""
    last = {}
    crossings = []
    with open(path, encoding="utf-8") as stream:
        for row in csv.DictReader(stream):
            if row["kind"] != "pedestrian":
                continue
            point = (float(row["time"]), float(row["x"]), float(row["y"]), bool(row["radars"]))
            before = last.get(row["id"])
            last[row["id"]] = point
            if before is None or (before[2] < 0) == (point[2] < 0) or not (before[3] and point[3]):
                continue
            share = before[2] / (before[2] - point[2]) if point[2] != before[2] else 0.0
            t = before[0] + share * (point[0] - before[0])
            x = before[1] + share * (point[1] - before[1])
            if x0 <= x <= x1:
                crossings.append((t, x))
    return crossings


def cross_events(path, line):
    with open(path, encoding="utf-8") as stream:
        events = [json.loads(text) for text in stream if text.strip()]
    return [e for e in events if e["event"] == "cross" and e["zone"] == line]


def main(argv):
    if len(argv) != 5:
        print(__doc__.strip().splitlines()[3].strip(), file=sys.stderr)
        return 2
    crossings = truth_crossings(argv[0], float(argv[3]), float(argv[4]))
    events = cross_events(argv[1], argv[2])
    paired = set()
    found = 0
    for t, x in sorted(crossings):
        near = [(abs(e["time"] - t), i) for i, e in enumerate(events)
                if i not in paired and abs(e["time"] - t) <= MAX_S * 1000
                and math.hypot(e["x"] - x, e["y"]) <= MAX_M]
        if near:
            paired.add(min(near)[1])
            found += 1
    print(f"crossings {len(crossings)}")
    print(f"found {found}")
    print(f"events {len(events)}")
    print(f"unpaired {len(events) - len(paired)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

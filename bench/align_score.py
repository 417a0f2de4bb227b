#!/usr/bin/env python3
"""Scores `sited --align`'s estimates against radarsim's truth mounting.

Usage: align_score.py ALIGN_OUTPUT TRUTH.csv.mounting

ALIGN_OUTPUT is what `sited --align` printed: per radar a comment line
"# radar NAME: N co-sightings; heading H ± s deg, x X ± s m, y Y ± s m,
range R ± s m" (or one that says why it cannot tell, or that it is the
anchor). The truth is radarsim's companion file: per radar heading, pan,
tilt, x, y and range errors. A pan error of +p turns the view as a heading
error of -p does, so the truth's heading error is heading - pan.

Prints one line per radar (truth, estimate, difference) and whether every
estimate is within 0.15 deg, 0.5 m and 0.3 m of the truth. Exit status 0
when scored, 1 when a file cannot be read or holds no radar.
"""

import re
import sys

BOUNDS = {"heading": 0.15, "x": 0.5, "y": 0.5, "range": 0.3}
FIGURES = (r"heading (?P<heading>[-+0-9.]+) ± [0-9.]+ deg, x (?P<x>[-+0-9.]+) ± [0-9.]+ m, "
           r"y (?P<y>[-+0-9.]+) ± [0-9.]+ m, range (?P<range>[-+0-9.]+) ± [0-9.]+ m")
ESTIMATE = re.compile(r"^# radar (?P<name>[^:]+): (?P<n>\d+) co-sightings; " + FIGURES)
# A radar not observable: what its co-sightings tell, the rest the site file's.
SURVEY = re.compile(r"^#   with the site file as a survey: " + FIGURES)


def read_truth(path):
    truth, radar = {}, None
    for line in open(path, encoding="utf-8"):
        line = line.split("#")[0].split(";")[0].strip()
        if line.startswith("[radar.") and line.endswith("]"):
            radar = line[len("[radar."):-1]
            truth[radar] = dict.fromkeys(("heading", "pan", "tilt", "x", "y", "range"), 0.0)
        elif "=" in line and radar:
            key, value = (part.strip() for part in line.split("=", 1))
            truth[radar][key] = float(value)
    return {name: {"heading": t["heading"] - t["pan"], "x": t["x"], "y": t["y"], "range": t["range"]}
            for name, t in truth.items()}


def read_estimates(path):
    estimates, said, survey, name = {}, {}, {}, None
    for line in open(path, encoding="utf-8"):
        m = ESTIMATE.match(line)
        s = SURVEY.match(line)
        if m:
            estimates[m["name"]] = {k: float(m[k]) for k in BOUNDS}
        elif s and name:
            survey[name] = {k: float(s[k]) for k in BOUNDS}
        elif line.startswith("# radar "):
            name, _, why = line[len("# radar "):].partition(":")
            said[name] = why.strip()
    return estimates, said, survey


def main(argv):
    if len(argv) != 3:
        print(__doc__.splitlines()[2], file=sys.stderr)
        return 2
    try:
        truth = read_truth(argv[2])
        estimates, said, survey = read_estimates(argv[1])
    except (OSError, ValueError) as error:
        print(f"align_score: {error}", file=sys.stderr)
        return 1
    if not truth:
        print(f"align_score: {argv[2]}: no radar", file=sys.stderr)
        return 1
    within = True
    for name, t in truth.items():
        e = estimates.get(name)
        if e is None:
            anchor = said.get(name, "") == "anchor"
            zero = all(v == 0.0 for v in t.values())
            within &= anchor and zero
            print(f"{name:8s} truth {fmt(t)}  {said.get(name, 'not in the output')}")
            if name in survey:
                miss = {k: survey[name][k] - t[k] for k in BOUNDS}
                print(f"{'':8s} as a survey {fmt(survey[name])}  off {fmt(miss)}")
            continue
        miss = {k: e[k] - t[k] for k in BOUNDS}
        ok = all(abs(miss[k]) <= BOUNDS[k] for k in BOUNDS)
        within &= ok
        print(f"{name:8s} truth {fmt(t)}  estimate {fmt(e)}  off {fmt(miss)}  {'ok' if ok else 'OUT'}")
    print(f"every estimate within 0.15 deg, 0.5 m, 0.3 m: {'met' if within else 'not met'}")
    return 0


def fmt(v):
    return (f"h {v['heading']:+.3f} x {v['x']:+.2f} y {v['y']:+.2f} r {v['range']:+.2f}")


if __name__ == "__main__":
    sys.exit(main(sys.argv))

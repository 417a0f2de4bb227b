#!/usr/bin/env python3
"""Scores `sited --align`'s estimates against radarsim's truth mounting.

Usage: align_score.py ALIGN_OUTPUT TRUTH.csv.mounting [SITE.conf]
       align_score.py --corrected SITE.conf TRUTH.csv.mounting

ALIGN_OUTPUT is what `sited --align` printed: per radar a comment line
"# radar NAME: N co-sightings; heading H ± s deg, x X ± s m, y Y ± s m,
range R ± s m" (or one that says why it cannot tell, or that it is the
anchor). The truth is radarsim's companion file: per radar heading, pan,
tilt, x, y and range errors. A pan error of +p turns the view as a heading
error of -p does, so the truth's heading error is heading - pan.

Prints one line per radar (truth, estimate, difference) and whether every
estimate is within 0.15 deg, 0.5 m and 0.3 m of the truth. With the site
file, also a radar that cannot tell its range offset from its place along
its beam, scored by what `sited --align` prints of it ("its place along
the beam taken as range offset") against the truth folded the same way
along the radar's heading: place across the beam, range offset plus place
along it; and whether every radar is within the bounds so. Exit status 0
when scored, 1 when a file cannot be read or holds no radar.

With --corrected, prints the site file with every radar's heading, x, y
and range_offset corrected by the truth: the site as a perfect alignment
would have it, what `apply` is judged against.
"""

import math

import re
import sys

BOUNDS = {"heading": 0.15, "x": 0.5, "y": 0.5, "range": 0.3}
FIGURES = (r"heading (?P<heading>[-+0-9.]+) ± [0-9.]+ deg, x (?P<x>[-+0-9.]+) ± [0-9.]+ m, "
           r"y (?P<y>[-+0-9.]+) ± [0-9.]+ m, range (?P<range>[-+0-9.]+) ± [0-9.]+ m")
ESTIMATE = re.compile(r"^# radar (?P<name>[^:]+): (?P<n>\d+) co-sightings; " + FIGURES)
# A radar not observable: what its co-sightings tell, the rest the site file's.
SURVEY = re.compile(r"^#   with the site file as a survey: " + FIGURES)
FOLDED = re.compile(r"^#   its place along the beam taken as range offset: " + FIGURES)


def read_radars(path):
    """Each [radar.NAME] section's keys, as text, of a file of sections."""
    radars, radar = {}, None
    for line in open(path, encoding="utf-8"):
        line = line.split("#")[0].split(";")[0].strip()
        if line.startswith("["):
            radar = line[len("[radar."):-1] if line.startswith("[radar.") and line.endswith("]") else None
            if radar:
                radars[radar] = {}
        elif "=" in line and radar:
            key, value = (part.strip() for part in line.split("=", 1))
            radars[radar][key] = value
    return radars


def read_headings(path):
    """Each radar's heading in the site file, degrees clockwise from north."""
    return {name: float(keys.get("heading", 0.0)) for name, keys in read_radars(path).items()}


def folded(truth, heading_deg):
    """The truth with its place along the beam moved into its range offset."""
    ux, uy = math.sin(math.radians(heading_deg)), math.cos(math.radians(heading_deg))
    along = truth["x"] * ux + truth["y"] * uy
    return {"heading": truth["heading"], "x": truth["x"] - along * ux,
            "y": truth["y"] - along * uy, "range": truth["range"] - along}


def read_truth(path):
    truth = {}
    for name, keys in read_radars(path).items():
        t = {k: float(keys.get(k, 0.0)) for k in ("heading", "pan", "x", "y", "range")}
        truth[name] = {"heading": t["heading"] - t["pan"], "x": t["x"], "y": t["y"],
                       "range": t["range"]}
    return truth


def read_estimates(path):
    estimates, said, survey, fold, name = {}, {}, {}, {}, None
    for line in open(path, encoding="utf-8"):
        m = ESTIMATE.match(line)
        s = SURVEY.match(line)
        f = FOLDED.match(line)
        if m:
            estimates[m["name"]] = {k: float(m[k]) for k in BOUNDS}
        elif s and name:
            survey[name] = {k: float(s[k]) for k in BOUNDS}
        elif f and name:
            fold[name] = {k: float(f[k]) for k in BOUNDS}
        elif line.startswith("# radar "):
            name, _, why = line[len("# radar "):].partition(":")
            said[name] = why.strip()
    return estimates, said, survey, fold


def corrected(site_path, truth):
    """The site file's text with each radar's mounting keys made the truth's."""
    keys = ("heading", "x", "y", "range_offset")
    out, radar, present, last = [], None, set(), 0

    def error(key):
        return truth.get(radar, {}).get("range" if key == "range_offset" else key, 0.0)

    def end_section():
        # A key the section lacks (0 in the file) after its last key.
        if radar in truth:
            out[last:last] = [f"{k} = {error(k)}" for k in keys if k not in present]

    for line in open(site_path, encoding="utf-8").read().splitlines():
        text = line.split("#")[0].split(";")[0].strip()
        if text.startswith("["):
            end_section()
            radar = text[len("[radar."):-1] if text.startswith("[radar.") else None
            present = set()
            last = len(out) + 1
        elif "=" in text:
            key, value = (part.strip() for part in text.split("=", 1))
            if radar in truth and key in keys:
                line = f"{key} = {float(value) + error(key)}"
                present.add(key)
            last = len(out) + 1
        out.append(line)
    end_section()
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) == 4 and argv[1] == "--corrected":
        try:
            sys.stdout.write(corrected(argv[2], read_truth(argv[3])))
        except (OSError, ValueError) as error:
            print(f"align_score: {error}", file=sys.stderr)
            return 1
        return 0
    if len(argv) not in (3, 4):
        print(__doc__.splitlines()[2], file=sys.stderr)
        return 2
    try:
        truth = read_truth(argv[2])
        estimates, said, survey, fold = read_estimates(argv[1])
        headings = read_headings(argv[3]) if len(argv) == 4 else None
    except (OSError, ValueError) as error:
        print(f"align_score: {error}", file=sys.stderr)
        return 1
    if not truth:
        print(f"align_score: {argv[2]}: no radar", file=sys.stderr)
        return 1
    within = within_folded = True
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
            if headings is None:
                continue
            if name in fold and name in headings:
                ok = print_scored("folded", folded(t, headings[name]), fold[name])
            else:
                ok = anchor and zero
            within_folded &= ok
            continue
        ok = print_scored(name, t, e)
        within &= ok
        within_folded &= ok
    print(f"every estimate within 0.15 deg, 0.5 m, 0.3 m: {'met' if within else 'not met'}")
    if headings is not None:
        print("every estimate within them, the place along a beam folded where it cannot be told: "
              f"{'met' if within_folded else 'not met'}")
    return 0


def print_scored(label, truth, estimate):
    """Prints truth, estimate and their difference; whether within the bounds."""
    miss = {k: estimate[k] - truth[k] for k in BOUNDS}
    ok = all(abs(miss[k]) <= BOUNDS[k] for k in BOUNDS)
    print(f"{label:8s} truth {fmt(truth)}  estimate {fmt(estimate)}  off {fmt(miss)}  "
          f"{'ok' if ok else 'OUT'}")
    return ok


def fmt(v):
    return (f"h {v['heading']:+.3f} x {v['x']:+.2f} y {v['y']:+.2f} r {v['range']:+.2f}")


if __name__ == "__main__":
    sys.exit(main(sys.argv))

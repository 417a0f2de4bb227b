"""python3 -m trklib.score TRACKS TRUTH: scores trackreplay's tracks against
radarsim's truth and prints a summary; --plot draws GOSPA over time.

python3 -m trklib.score --site PICTURES TRUTH [--tracks TRACKS]: scores a
site's pictures (sited's output) against radarsim's site truth and prints
the lines "GOSPA mean", "union GOSPA mean" (n/a without TRACKS, trackd's
tracks messages of every radar), "switches per object", "handovers kept
K/N", "ids passed on", "handovers in a beam 2 s after, kept K/N", "joins" and
"joins of two truth objects", as trklib.sitescore defines them.

TRACKS is a trackreplay CSV, TRUTH the radarsim truth CSV of the same run.
The mounting options are those of radarsim and trackreplay, with their
defaults and limits: give the mounting the capture was replayed with.
Exit status: 0 scored, 1 a file that cannot be read or written, 2 a bad
command line.
"""

import argparse
import math
import os
import sys
import tempfile

import numpy as np

from . import _trklib
from .csvfiles import frames, read_tracks, read_truth
from .metrics import score_run
from .sitescore import read_pictures, read_radar_tracks, read_site_truth, score_site, summary_lines

PROGRAM = "trklib.score"
EXIT_FAILURE = 1  # a file that cannot be read or written
EXIT_USAGE = 2  # a bad command line


class _Parser(argparse.ArgumentParser):
    """Command-line errors as one line "trklib.score: what", then the usage."""

    def error(self, message):
        sys.stderr.write(f"{PROGRAM}: {message}\n")
        self.print_usage(sys.stderr)
        sys.exit(EXIT_USAGE)


def _parser():
    parser = _Parser(prog="python3 -m trklib.score",
                     description="Scores trackreplay's tracks against radarsim's truth.")
    parser.add_argument("tracks", metavar="TRACKS", help="trackreplay CSV")
    parser.add_argument("truth", metavar="TRUTH", help="radarsim truth CSV of the same run")
    for name, default, least, greatest, value_name, meaning in _trklib._mounting_options():
        limits = "" if name == "orientation" else f", {least:g} to {greatest:g}"
        parser.add_argument(f"--{name}", metavar=value_name, default=None,
                            help=f"{meaning}{limits} (default {default:g})")
    parser.add_argument("--c", type=float, default=10.0, metavar="M",
                        help="GOSPA and OSPA cut-off distance, metres (default 10)")
    parser.add_argument("--p", type=float, default=2.0, metavar="P",
                        help="GOSPA and OSPA order, 1 or more (default 2)")
    parser.add_argument("--all", action="store_true",
                        help="score unconfirmed targets too (default: confirmed ones)")
    parser.add_argument("--objects", action="store_true",
                        help="also print a table of every truth object")
    parser.add_argument("--plot", metavar="OUT.png",
                        help="draw GOSPA, OSPA and the missed and false counts over time")
    parser.epilog = ("A site's pictures: python3 -m trklib.score --site PICTURES TRUTH "
                     "[--tracks TRACKS] (--site --help tells more).")
    return parser


def _failure(error):
    """One line for a file that cannot be read or written or is not what it should be."""
    if isinstance(error, OSError):
        reason = error.strerror or str(error)
        name = error.filename or ""
        sys.stderr.write(f"{PROGRAM}: {name}: {reason}\n" if name else f"{PROGRAM}: {reason}\n")
    else:
        sys.stderr.write(f"{PROGRAM}: {error}\n")
    return EXIT_FAILURE


def _seconds(text):
    """A number of seconds, finite and not negative (--from)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"not a number of seconds from 0 on: {text}")
    return value


def _site_parser():
    parser = _Parser(prog="python3 -m trklib.score --site",
                     usage="python3 -m trklib.score --site PICTURES TRUTH [--tracks TRACKS] [--from S]",
                     description="Scores a site's pictures against radarsim's site truth: "
                     "GOSPA (c 10 m, p 2, alpha 2) of the confirmed objects against the "
                     "objects in a beam, from 10 s after the first picture; the same for "
                     "every radar's confirmed targets (the union); identity switches per "
                     "object; handovers whose id is kept; joins across gaps, and those of two "
                     "truth objects.")
    parser.add_argument("--site", metavar="PICTURES", required=True,
                        help="sited's pictures, one JSON picture a line")
    parser.add_argument("truth", metavar="TRUTH", help="radarsim's site truth CSV of the run")
    parser.add_argument("--tracks", metavar="TRACKS",
                        help="every radar's tracks messages of the run, one a line "
                        "(sited --tracks-output); without it the union is n/a")
    parser.add_argument("--from", dest="start", type=_seconds, default=0.0, metavar="S",
                        help="score only what happens from S seconds after the first picture "
                        "on (the GOSPA of those pictures, no earlier than the warm-up; the "
                        "switches, ids passed on, handovers and joins there); default 0")
    return parser


def _site_main(argv):
    arguments = _site_parser().parse_args(argv)
    try:
        site, pictures = read_pictures(arguments.site)
        truth = read_site_truth(arguments.truth)
        tracks = read_radar_tracks(arguments.tracks, site) if arguments.tracks else None
        if not truth.objects:
            raise ValueError(f"{arguments.truth}: no truth row, its header only")
        first = min(rows[0] for rows, _, _ in truth.objects.values())
        last = max(rows[-1] for rows, _, _ in truth.objects.values())
        if not any(first <= p.time <= last for p in pictures):
            raise ValueError(f"{arguments.site}, {arguments.truth}: no picture within the "
                             "truth's times, not of the same run")
        start_ms = round(arguments.start * 1000)
        if pictures[0].time + start_ms > pictures[-1].time:
            raise ValueError(f"{arguments.site}: no picture {arguments.start:g} s or more "
                             "after the first")
        for line in summary_lines(score_site(pictures, truth, tracks, start_ms)):
            print(line)
    except (OSError, ValueError) as error:
        return _failure(error)
    return 0


def _mounting(parser, arguments):
    """The Config of the mounting options, checked as the tools check them."""
    config = _trklib._default_mounting()
    for name, *_ in _trklib._mounting_options():
        value = getattr(arguments, name.replace("-", "_"))
        if value is not None:
            try:
                config = _trklib._set_mounting_option(config, name, value)
            except ValueError as error:
                parser.error(str(error))
    return config


def _summary(run, tracks, truth):
    """The summary table's rows: (label, value)."""
    gospa = [s.gospa for s in run.packets]
    packets = len(run.packets)
    seen = sum(o.packets for o in run.objects.values())
    tracked = sum(o.tracked for o in run.objects.values())
    rows = [
        ("packets", f"{packets}"),
        ("truth objects", f"{len(run.objects)}"),
        ("track numbers", f"{len(np.unique(tracks['number']))}"),
        ("GOSPA mean", f"{run.gospa_mean:.3f} m (c {run.c:g} m, p {run.p:g}, alpha 2)"),
        ("GOSPA max", f"{max((g.total for g in gospa), default=float('nan')):.3f} m"),
    ]
    for part in ("localisation", "missed", "false"):
        mean = np.mean([getattr(g, part) for g in gospa]) if gospa else float("nan")
        rows.append((f"GOSPA {part} mean", f"{mean:.3f} m^{run.p:g}"))
    rows += [
        ("OSPA mean", f"{run.ospa_mean:.3f} m"),
        ("missed per packet", f"{np.mean([g.n_missed for g in gospa]):.3f}"),
        ("false per packet", f"{np.mean([g.n_false for g in gospa]):.3f}"),
        ("tracked share", f"{tracked / seen:.3f}" if seen else "-"),
        ("identity switches", f"{run.switches}"),
        ("fragmentations", f"{run.fragmentations}"),
    ]
    return rows


def _object_table(run, truth):
    kinds = dict(zip(truth["id"].tolist(), truth["kind"].tolist()))
    lines = [f"{'object':>6} {'kind':<10} {'packets':>7} {'tracked':>7} {'switches':>8} "
             f"{'fragments':>9}  tracks"]
    for object_id in sorted(run.objects):
        o = run.objects[object_id]
        lines.append(f"{o.id:>6} {kinds.get(o.id, ''):<10} {o.packets:>7} {o.tracked:>7} "
                     f"{o.switches:>8} {o.fragmentations:>9}  "
                     f"{' '.join(str(t) for t in o.track_ids) or '-'}")
    return lines


def _plot(run, path):
    """GOSPA and OSPA over time, and the missed and false counts, as a PNG.

    Drawn into a temporary file beside path that takes its place when
    complete, so that a failure leaves an existing file as it was.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    start = run.packets[0].timestamp if run.packets else 0
    seconds = [(s.timestamp - start) / 1000.0 for s in run.packets]
    figure, (distances, counts) = plt.subplots(2, 1, sharex=True, figsize=(9, 6))
    distances.plot(seconds, [s.gospa.total for s in run.packets], label="GOSPA")
    distances.plot(seconds, [s.ospa.total for s in run.packets], label="OSPA", alpha=0.7)
    distances.axhline(run.gospa_mean, color="grey", linestyle="--", linewidth=0.8,
                      label=f"GOSPA mean {run.gospa_mean:.2f} m")
    distances.set_ylabel("metres")
    distances.set_title(f"c = {run.c:g} m, p = {run.p:g}, alpha = 2")
    distances.legend(loc="upper right")
    counts.step(seconds, [s.gospa.n_missed for s in run.packets], where="mid",
                label="missed objects")
    counts.step(seconds, [s.gospa.n_false for s in run.packets], where="mid",
                label="false tracks")
    counts.set_xlabel("seconds since the first packet")
    counts.set_ylabel("per packet")
    counts.legend(loc="upper right")
    figure.tight_layout()
    folder = os.path.dirname(os.path.abspath(path))
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=".score-", suffix=".png", dir=folder)
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None
    try:
        with os.fdopen(descriptor, "wb") as file:
            figure.savefig(file, format="png", dpi=100)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    finally:
        plt.close(figure)


def _check_same_run(arguments, tracks, truth):
    """ValueError for files with nothing to score, or of different runs."""
    if len(tracks) == 0 and len(truth) == 0:
        raise ValueError(f"{arguments.tracks}, {arguments.truth}: no packet to score, both "
                         "files hold their header only")
    if (len(tracks) and len(truth) and
            len(np.intersect1d(tracks["timestamp"], truth["timestamp"])) == 0):
        raise ValueError(f"{arguments.tracks}, {arguments.truth}: no timestamp in common, "
                         "not of the same run")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if any(a == "--site" or a.startswith("--site=") for a in argv):
        return _site_main(argv)
    parser = _parser()
    arguments = parser.parse_args(argv)
    config = _mounting(parser, arguments)
    if not (np.isfinite(arguments.c) and arguments.c > 0):
        parser.error(f"--c needs a distance above 0, not {arguments.c:g}")
    if not (np.isfinite(arguments.p) and arguments.p >= 1):
        parser.error(f"--p needs a number of at least 1, not {arguments.p:g}")
    try:
        tracks = read_tracks(arguments.tracks)
        truth = read_truth(arguments.truth)
        _check_same_run(arguments, tracks, truth)
        run = score_run(frames(tracks, truth, config, confirmed_only=not arguments.all),
                        arguments.c, arguments.p)
        for label, value in _summary(run, tracks, truth):
            print(f"{label} {value}")
        if arguments.objects:
            print()
            print("\n".join(_object_table(run, truth)))
        if arguments.plot:
            _plot(run, arguments.plot)
    except (OSError, ValueError) as error:
        return _failure(error)
    return 0


if __name__ == "__main__":
    sys.exit(main())

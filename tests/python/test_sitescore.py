"""A site's pictures scored against its truth: tiny files whose every figure
is worked out by hand, at and just past each limit of the definitions."""

import json
import math
import subprocess
import sys

import pytest

from trklib.score import main
from trklib.sitescore import read_pictures, read_radar_tracks, read_site_truth, score_site, truth_at

MISSED = math.sqrt(50)  # one object missed (or one false) at c = 10 m, alpha = 2


def write_truth(path, rows):
    """rows: (time, id, x, y, radars)."""
    lines = ["time,id,kind,class,x,y,vx,vy,speed_kph,lat,lon,radars"]
    lines += [f"{t},{i},car,car,{x},{y},0,0,0,,,{r}" for t, i, x, y, r in rows]
    path.write_text("\n".join(lines) + "\n")
    return path


def write_pictures(path, pictures):
    """pictures: (time, [(id, x, y, confirmed[, gapped])])."""
    def written(i, x, y, c, *gapped):
        return {"id": i, "x": x, "y": y, "confirmed": c, "radars": [], "since": 0,
                **({"gapped": gapped[0]} if gapped else {})}
    path.write_text("".join(json.dumps({
        "site": "north", "time": t, "objects": [written(*o) for o in objects]}) + "\n"
        for t, objects in pictures))
    return path


def write_tracks(path, messages):
    """messages: (radar, received, [(x, y, confirmed)])."""
    path.write_text("".join(json.dumps({
        "site": "north", "radar": r, "timestamp": 7, "received": t, "targets": [
            {"number": n, "x": x, "y": y, "confirmed": c}
            for n, (x, y, c) in enumerate(targets, 1)]}) + "\n" for r, t, targets in messages))
    return path


def scored(tmp_path, truth, pictures, tracks=None, start_ms=0):
    """The SiteScore of the written and read files, from start_ms on."""
    site, read = read_pictures(write_pictures(tmp_path / "p.jsonl", pictures))
    radar_tracks = (read_radar_tracks(write_tracks(tmp_path / "t.jsonl", tracks), site)
                    if tracks is not None else None)
    return score_site(read, read_site_truth(write_truth(tmp_path / "truth.csv", truth)),
                      radar_tracks, start_ms)


STILL = [(0, 1, 0, 0, "a"), (30000, 1, 0, 0, "a")]  # object 1 at (0, 0) in radar a's beam
HERE, UNCONFIRMED = [(4, 0, 0, True)], [(4, 0, 0, False)]

# truth rows, pictures, GOSPA mean[, from ms]
GOSPA = {
    "perfect": (STILL, [(0, HERE), (10000, HERE)], 0),
    "missed at 10 s is scored": (STILL, [(0, HERE), (10000, [])], MISSED),
    "9.999 s is warm-up": (STILL, [(0, []), (9999, []), (10000, HERE)], 0),
    "unconfirmed is no estimate": (STILL, [(0, HERE), (10000, UNCONFIRMED)], MISSED),
    "5 m off": (STILL, [(0, HERE), (10000, [(4, 3, 4, True)])], 5),
    "out of every beam is no truth": ([(0, 1, 0, 0, ""), (30000, 1, 0, 0, "")],
                                      [(0, []), (10000, HERE)], MISSED),
    "mean of the scored": (STILL, [(0, []), (10000, HERE), (11000, [])], MISSED / 2),
    "from 11 s": (STILL, [(0, HERE), (10000, []), (11000, HERE)], 0, 11000),
    "from 5 s, the warm-up still": (STILL, [(0, []), (9999, []), (10000, HERE)], 0, 5000),
}


@pytest.mark.parametrize("case", GOSPA.values(), ids=GOSPA.keys())
def test_gospa_mean(tmp_path, case):
    truth, pictures, mean, *start = case
    assert scored(tmp_path, truth, pictures, None, *start).gospa_mean == pytest.approx(mean)


def test_truth_is_interpolated_and_takes_the_nearer_rows_radars(tmp_path):
    truth = read_site_truth(write_truth(tmp_path / "truth.csv", [
        (100, 1, 10, -20, "a;b"), (0, 1, 0, 0, "a"), (200, 1, 10, -20, "")]))
    times = [-1, 0, 30, 100, 150, 151, 200, 201]
    at = {t: points.tolist() for t, (_, points) in zip(times, truth_at(truth, times))}
    assert at == {-1: [], 0: [[0, 0]], 30: [[3, -6]], 100: [[10, -20]],
                  150: [[10, -20]], 151: [], 200: [], 201: []}


# per picture {truth object: picture id, None unassigned}; switches, objects ever assigned,
# ids passed on[, from ms]
SWITCHES = {
    "steady": ([{1: 7}, {1: 7}], 0, 1, 0),
    "id change": ([{1: 7}, {1: 8}, {1: 8}], 1, 1, 0),
    "a gap is no switch": ([{1: 7}, {1: None}, {1: 7}], 0, 1, 0),
    "a change across a gap": ([{1: 7}, {1: None}, {1: 8}], 1, 1, 0),
    "back and forth": ([{1: 7}, {1: 8}, {1: 7}], 2, 1, 0),
    "never assigned is not an object": ([{1: 7, 2: None}, {1: 8, 2: None}], 1, 1, 0),
    "two objects": ([{1: 7, 2: 9}, {1: 8, 2: 9}], 1, 2, 0),
    "swapped": ([{1: 7, 2: 9}, {1: 9, 2: 7}], 2, 2, 2),
    "passed on across a gap": ([{1: 7, 2: None}, {1: None, 2: None}, {1: None, 2: 7}], 0, 2, 1),
    "from 1 s: a change at it": ([{1: 7}, {1: 8}], 1, 1, 0, 1000),
    "from 2 s: earlier changes and objects are not": ([{1: 7, 2: 9}, {1: 8, 2: None},
                                                       {1: 8, 2: None}], 0, 1, 0, 2000),
    "from 2 s: passed on at it": ([{1: 7, 2: None}, {1: None, 2: None}, {1: None, 2: 7}],
                                  0, 1, 1, 2000),
}


@pytest.mark.parametrize("case", SWITCHES.values(), ids=SWITCHES.keys())
def test_switches(tmp_path, case):
    sequence, switches, objects, passed, *start = case
    truth = [(t, o, 100 * o, 0, "a") for o in (1, 2) for t in (0, 60000)]
    pictures = [(1000 * k, [(i, 100 * o, 0, True) for o, i in p.items() if i is not None])
                for k, p in enumerate(sequence)]
    score = scored(tmp_path, truth, pictures, None, *start)
    assert (score.switches, score.assigned_objects, score.ids_passed) == (switches, objects, passed)
    assert score.switches_per_object == pytest.approx(switches / objects)


# radars before 5 s, from 5 s, and later (radars, from ms; None: none later), pictures
# (time, id or None); handovers kept, handovers; of those in a beam 2 s after, kept and all[,
# from ms]
HANDOVERS = {
    "kept at exactly 2 s": ("a;b", "b", None, [(4900, 1), (6999, 2), (7000, 1)], 1, 1, 1, 1),
    "1.999 s is too early": ("a;b", "b", None, [(4900, 1), (6999, 1), (7000, 2)], 0, 1, 0, 1),
    "the picture before is before": ("a", "b", None, [(4900, 1), (5000, 2), (7000, 2)],
                                     0, 1, 0, 1),
    "unassigned pictures skipped": ("a;b", "a", None, [(4900, 1), (7000, None), (7100, 1)],
                                    1, 1, 1, 1),
    "losing the last radar": ("a", "", None, [(4900, 1), (7000, None)], 0, 0, 0, 0),
    "gaining a radar": ("a", "a;b", None, [(4900, 1), (7000, 1)], 0, 0, 0, 0),
    "within 2 s of the last picture": ("a;b", "b", None, [(4900, 1), (6999, 1)], 0, 0, 0, 0),
    "at the first picture": ("a;b", "b", None, [(5000, 1), (7000, 1)], 0, 0, 0, 0),
    "in a beam at 2 s, out just after": ("a;b", "b", ("", 7100),
                                         [(4900, 1), (7000, 1), (9100, None)], 1, 1, 1, 1),
    "out of every beam 2 s after": ("a;b", "b", ("", 7000),
                                    [(4900, 1), (7000, 1), (9100, None)], 0, 1, 0, 0),
    "from the handover": ("a;b", "b", None, [(0, 1), (4900, 1), (7000, 1)], 1, 1, 1, 1, 5000),
    "from just after it": ("a;b", "b", None, [(0, 1), (4900, 1), (7000, 1)], 0, 0, 0, 0, 5001),
}


@pytest.mark.parametrize("case", HANDOVERS.values(), ids=HANDOVERS.keys())
def test_handovers(tmp_path, case):
    before, after, later, sequence, kept, handovers, in_beam_kept, in_beam, *start = case
    def radars(t):
        if later is not None and t >= later[1]:
            return later[0]
        return before if t < 5000 else after
    truth = [(t, 1, 0, 0, radars(t)) for t in range(0, 10001, 100)]
    pictures = [(t, [] if i is None else [(i, 0, 0, True)]) for t, i in sequence]
    score = scored(tmp_path, truth, pictures, None, *start)
    assert (score.handovers_kept, score.handovers) == (kept, handovers)
    assert (score.handovers_in_beam_kept, score.handovers_in_beam) == (in_beam_kept, in_beam)


# per picture {truth object: (picture id, gapped or None, confirmed)}; joins, of two truth
# objects[, from ms]
JOINS = {
    "the same object": ([{1: (7, None, True)}, {}, {1: (7, 1.5, True)}], 1, 0),
    "two objects": ([{1: (7, None, True)}, {}, {2: (7, 1.5, True)}], 1, 1),
    "gapped kept is no join; a second gap, a second": ([{1: (7, None, True)}, {},
                                                        {1: (7, 1.5, True)}, {1: (7, 1.5, True)},
                                                        {}, {2: (7, 2.0, True)}], 2, 1),
    "unconfirmed is not judged": ([{1: (7, None, True)}, {}, {2: (7, 1.5, False)}], 1, 0),
    "judged by the first assigned after": ([{1: (7, None, True)}, {}, {2: (7, 1.5, False)},
                                            {2: (7, 1.5, True)}], 1, 1),
    "nothing before is not judged": ([{}, {2: (7, 1.5, True)}], 1, 0),
    "from the join": ([{1: (7, None, True)}, {}, {2: (7, 1.5, True)}], 1, 1, 2000),
    "from just after it": ([{1: (7, None, True)}, {}, {2: (7, 1.5, True)}], 0, 0, 2001),
}


@pytest.mark.parametrize("case", JOINS.values(), ids=JOINS.keys())
def test_joins(tmp_path, case):
    sequence, joins, wrong, *start = case
    truth = [(t, o, 100 * o, 0, "a") for o in (1, 2) for t in (0, 60000)]
    pictures = [(1000 * k, [(i, 100 * o, 0, c, *([] if g is None else [g]))
                            for o, (i, g, c) in p.items()]) for k, p in enumerate(sequence)]
    score = scored(tmp_path, truth, pictures, None, *start)
    assert (score.joins, score.wrong_joins) == (joins, wrong)


def test_union_takes_each_radars_latest_confirmed_targets(tmp_path):
    truth = [(t, o, 100 * (o - 1), 0, "a") for o in (1, 2) for t in (0, 30000)]
    tracks = [("a", 15000, [(0, 0, True)]),  # out of order in the file
              ("a", 0, [(0, 0, True)]),
              ("a", 10000, [(3, 4, True), (50, 0, False)]),
              ("b", 10001, [(100, 0, True)])]
    score = scored(tmp_path, truth, [(0, []), (10000, []), (20000, [])], tracks)
    # At 10 s: a's (3, 4) 5 m from object 1, object 2 missed; at 20 s: both found.
    assert score.union_gospa_mean == pytest.approx((math.sqrt(25 + 50) + 0) / 2)


def test_the_command_prints_its_lines(tmp_path):
    write_truth(tmp_path / "truth.csv", STILL)
    write_pictures(tmp_path / "p.jsonl", [(0, HERE), (10000, []), (11000, HERE)])
    write_tracks(tmp_path / "t.jsonl", [("a", 0, [(0, 0, True)])])
    command = [sys.executable, "-m", "trklib.score", "--site", "p.jsonl", "truth.csv"]
    done = subprocess.run(command + ["--tracks", "t.jsonl"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("GOSPA mean 3.536\nunion GOSPA mean 0.000\n"
                           "switches per object 0.000\nhandovers kept 0/0\nids passed on 0\n"
                           "handovers in a beam 2 s after, kept 0/0\n"
                           "joins 0\njoins of two truth objects 0\n")
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.stdout.splitlines()[1] == "union GOSPA mean n/a"


def picture(**fields):
    return json.dumps({"site": "north", "time": 0, "objects": [], **fields})


def obj(**fields):
    return {"id": 1, "x": 0, "y": 0, "confirmed": True, **fields}


# the file to spoil (p: pictures, truth, t: tracks), its text, status, message
BAD = {
    "picture not JSON": ("p", picture() + "\n{", 1, "p.jsonl: line 2: not JSON"),
    "picture without time": ("p", '{"site": "north", "objects": []}', 1, "line 1: no 'time'"),
    "time not after": ("p", picture(time=5) + "\n" + picture(time=5), 1,
                       "line 2: time 5 is not after the previous picture's 5"),
    "one id twice": ("p", picture(objects=[obj(), obj(x=3)]), 1, "a second object 1"),
    "x not finite": ("p", picture(objects=[obj(x=math.nan)]), 1, "finite numbers"),
    "no picture": ("p", "\n", 1, "p.jsonl: no picture"),
    "truth header": ("truth", "time,id,x,y\n", 1, "not a site truth CSV"),
    "truth number": ("truth", "time,id,kind,class,x,y,vx,vy,speed_kph,lat,lon,radars\n"
                     "0,1,car,car,0,0,0,0,0,,,a\n0,2,car,car,zero,0,0,0,0,,,a\n", 1,
                     "truth.csv: line 3: could not convert"),
    "truth without rows": ("truth", "time,id,kind,class,x,y,vx,vy,speed_kph,lat,lon,radars", 1,
                           "truth.csv: no truth row"),
    "truth row twice": ("truth", "time,id,kind,class,x,y,vx,vy,speed_kph,lat,lon,radars\n"
                        "0,1,car,car,0,0,0,0,0,,,a\n0,1,car,car,1,0,0,0,0,,,a\n", 1,
                        "line 3: a second row of object 1 at 0"),
    "tracks of another site": ("t", json.dumps({"site": "south", "radar": "a", "received": 0,
                                                "targets": []}), 1,
                               "line 1: site 'south', not the pictures' 'north'"),
    "tracks without received": ("t", '{"site": "north", "radar": "a", "targets": []}', 1,
                                "no 'received'"),
    "another run": ("p", picture(time=40000), 1, "not of the same run"),
    "from after the last picture": ("p", picture(time=5), 1,
                                    "p.jsonl: no picture 0.006 s or more after the first",
                                    ["--from", "0.006"]),
}


@pytest.mark.parametrize("case", BAD.values(), ids=BAD.keys())
def test_a_bad_file_gives_one_line(tmp_path, capsys, case):
    name, text, status, message, *extra = case
    write_truth(tmp_path / "truth.csv", STILL)
    write_pictures(tmp_path / "p.jsonl", [(0, HERE)])
    write_tracks(tmp_path / "t.jsonl", [("a", 0, [])])
    path = {"p": "p.jsonl", "truth": "truth.csv", "t": "t.jsonl"}[name]
    (tmp_path / path).write_text(text + "\n")
    paths = [str(tmp_path / p) for p in ("p.jsonl", "truth.csv", "t.jsonl")]
    assert main(["--site", paths[0], paths[1], "--tracks", paths[2], *(extra or [[]])[0]]) == status
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1, error


@pytest.mark.parametrize("arguments,message", [
    (["--site", "p.jsonl"], "the following arguments are required: TRUTH"),
    (["p.jsonl", "truth.csv", "--tracks", "t.jsonl"], "unrecognized arguments: --tracks"),
    (["--site", "p.jsonl", "truth.csv", "--from", "-1"], "not a number of seconds from 0 on: -1"),
])
def test_bad_usage_exits_2(capsys, arguments, message):
    with pytest.raises(SystemExit) as done:
        main(arguments)
    assert done.value.code == 2 and message in capsys.readouterr().err


def test_missing_file(tmp_path, capsys):
    write_truth(tmp_path / "truth.csv", STILL)
    assert main(["--site", str(tmp_path / "none.jsonl"), str(tmp_path / "truth.csv")]) == 1
    assert "none.jsonl: No such file" in capsys.readouterr().err


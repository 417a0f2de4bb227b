"""python3 -m trklib.score run as a user runs it, on a radarsim run."""

import os
import re
import subprocess
import sys

import pytest

import trklib
from conftest import simulate
from trklib.csvfiles import frames, read_tracks, read_truth
from trklib.metrics import score_run

MOUNTING = (-1, 2, 6, 0, 0)  # tilt, pan, height, pan offset, orientation


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    return simulate(tmp_path_factory.mktemp("score"), "road", MOUNTING, packets=200)


def score(*arguments):
    return subprocess.run([sys.executable, "-m", "trklib.score", *map(str, arguments)],
                          capture_output=True, text=True, timeout=120, env=os.environ.copy())


def test_score_prints_gospa_and_draws_it(simulated, tmp_path):
    _, truth, tracks = simulated
    picture = tmp_path / "gospa.png"
    done = score(tracks, truth, "--tilt", -1, "--pan", 2, "--height", 6, "--objects",
                 "--plot", picture)
    assert done.returncode == 0, done.stderr
    printed = float(re.search(r"^GOSPA mean (\S+) m", done.stdout, re.MULTILINE)[1])
    run = score_run(frames(read_tracks(tracks), read_truth(truth),
                           trklib.Config(*MOUNTING)))
    assert printed == pytest.approx(run.gospa_mean, abs=5e-4)
    # The simulator's vehicles are found where they are: well inside the cut-off.
    assert printed < 3.0
    assert re.search(r"^identity switches \d+$", done.stdout, re.MULTILINE)
    assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_the_mounting_moves_the_tracks_away_from_the_truth(simulated):
    _, truth, tracks = simulated
    right = score(tracks, truth, "--tilt", -1, "--pan", 2, "--height", 6)
    wrong = score(tracks, truth, "--tilt", -1, "--pan", 30, "--height", 6)
    means = [float(re.search(r"^GOSPA mean (\S+)", d.stdout, re.MULTILINE)[1])
             for d in (right, wrong)]
    assert means[1] > means[0] + 2.0


@pytest.mark.parametrize("arguments,status,message", [
    (["{missing}", "{truth}"], 1, "missing.csv: No such file"),
    (["{truth}", "{truth}"], 1, "not a trackreplay CSV"),
    (["{tracks}", "{tracks}"], 1, "not a radarsim truth CSV"),
    (["{tracks}", "{truth}", "--plot", "{missing}/out.png"], 1, "No such file"),
    (["{tracks}", "{truth}", "--tilt", "95"], 2, "--tilt needs a number from -90 to 90"),
    (["{tracks}", "{truth}", "--orientation", "2"], 2, "--orientation needs 0"),
    (["{tracks}", "{truth}", "--c", "0"], 2, "--c needs a distance above 0"),
    (["{tracks}", "{truth}", "--p", "0.5"], 2, "--p needs a number of at least 1"),
    (["{tracks}"], 2, "the following arguments are required"),
    (["{no_tracks}", "{no_truth}"], 1, "no packet to score"),
    (["{tracks}", "{other_truth}"], 1, "no timestamp in common"),
])
def test_bad_input_gives_one_line_and_the_exit_status(simulated, tmp_path, arguments, status,
                                                      message):
    _, truth, tracks = simulated
    header, *rows = truth.read_text().splitlines(keepends=True)
    (tmp_path / "no-truth.csv").write_text(header)
    (tmp_path / "no-tracks.csv").write_text(tracks.read_text().splitlines(keepends=True)[0])
    # The same rows an hour later.
    later = [re.sub(r"^(\d+),(\d+),", lambda m: f"{m[1]},{int(m[2]) + 3600000},", row)
             for row in rows]
    (tmp_path / "other-truth.csv").write_text(header + "".join(later))
    paths = dict(truth=truth, tracks=tracks, missing=tmp_path / "missing.csv",
                 no_tracks=tmp_path / "no-tracks.csv", no_truth=tmp_path / "no-truth.csv",
                 other_truth=tmp_path / "other-truth.csv")
    done = score(*(a.format(**paths) for a in arguments))
    assert done.returncode == status
    first = done.stderr.splitlines()[0]
    assert first.startswith("trklib.score: ") and message in first, done.stderr
    if "--plot" not in arguments:
        assert done.stdout == ""

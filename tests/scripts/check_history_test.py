"""scripts/check-history's comparisons and usage, without a live run: each
way the recorded history can differ from what was published (an object's
field, a picture or an event missing, added or changed) must fail its check,
and a history equal to what was published must pass."""

import copy
import importlib.machinery
import os
import subprocess
import sys
import types

import pytest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "check-history")
# The script has no .py name: load it as a module of its own.
check = types.ModuleType("check_history")
check.__file__ = SCRIPT
importlib.machinery.SourceFileLoader("check_history", SCRIPT).exec_module(check)

OBJECT = {"id": 7, "x": 12.5, "y": -3.25, "lat": 47.37, "lon": 8.54, "vx": 1.5, "vy": 0.0,
          "speed": 5.4, "heading": 90.0, "confirmed": True,
          "radars": [{"radar": "east", "number": 3}], "since": 1000}
PICTURES = [{"site": "junction", "time": 1000, "objects": [OBJECT]},
            {"site": "junction", "time": 1100, "objects": []}]
EVENTS = [{"site": "junction", "event": "enter", "zone": "box", "object": 7, "time": 1000},
          {"site": "junction", "event": "exit", "zone": "box", "object": 7, "time": 1100}]


def pictures_check(recorded_pictures, capsys):
    report = check.Report()
    by_time = {p["time"]: p for p in recorded_pictures}
    check.compare_pictures(report, PICTURES, lambda t: by_time.get(t, {"time": None}))
    return report.failed, capsys.readouterr().out


def changed(value):
    return not value if isinstance(value, bool) else (
        value + 1 if isinstance(value, (int, float)) else [])


@pytest.mark.parametrize("field", sorted(OBJECT))
def test_every_field_of_an_object_is_compared(field, capsys):
    recorded = copy.deepcopy(PICTURES)
    recorded[0]["objects"][0][field] = changed(OBJECT[field])
    failed, out = pictures_check(recorded, capsys)
    assert failed and out.startswith("pictures  FAILED: ") and "1000: objects differ" in out


@pytest.mark.parametrize("what, recorded", [
    ("the same", PICTURES),
    ("a picture missing", PICTURES[:1]),
    ("an object missing", [{**PICTURES[0], "objects": []}, PICTURES[1]]),
    ("an object added", [PICTURES[0], {**PICTURES[1], "objects": [OBJECT]}]),
])
def test_pictures(what, recorded, capsys):
    failed, out = pictures_check(recorded, capsys)
    assert failed == (what != "the same"), out
    assert len(out.splitlines()) == 1


@pytest.mark.parametrize("what, recorded", [
    ("the same, in another order", EVENTS[::-1]),
    ("one missing", EVENTS[:1]),
    ("one added", EVENTS + EVENTS[:1]),
    ("one changed", [EVENTS[0], {**EVENTS[1], "zone": "north stop line"}]),
])
def test_events(what, recorded, capsys):
    report = check.Report()
    check.compare_events(report, EVENTS, recorded)
    out = capsys.readouterr().out
    assert report.failed == (not what.startswith("the same")), out
    assert len(out.splitlines()) == 1


@pytest.mark.parametrize("arguments, status, says", [
    (["--help"], 0, "SYNOPSIS"),
    (["--minutes", "0"], 2, "--minutes: 0 is not a positive number of minutes"),
    (["--minutes", "ten"], 2, "--minutes"),
    (["--unknown"], 2, "unrecognized arguments: --unknown"),
])
def test_usage(arguments, status, says):
    done = subprocess.run([sys.executable, SCRIPT, *arguments], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == status
    assert says in (done.stdout if status == 0 else done.stderr)

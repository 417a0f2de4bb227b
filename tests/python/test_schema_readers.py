"""The module's readers against the message schemas' boundary tables
(tests/schemas): sitescore's picture reader on the picture cases, its tracks
reader on the tracks cases, events' zones reader on the zones cases. Each
takes what the schema takes and refuses with a one-line ValueError what it
refuses, but where READERS below says why it differs."""

import json
import pathlib
import sys

import pytest

from trklib.events import read_zones
from trklib.sitescore import read_pictures, read_radar_tracks

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "schemas"))
from test_schemas import CASES  # noqa: E402  the tables, expanded as the schema test does

# The fields each reader reads (JSON pointers of the table's base); a case
# that sets any other is one the reader is deliberately blind to.
PICTURE_READ = ("/site", "/time", "/objects", "/objects/0", "/objects/0/id", "/objects/0/x",
                "/objects/0/y", "/objects/0/confirmed", "/objects/0/gapped")
TRACKS_READ = ("/site", "/radar", "/received", "/targets", "/targets/0", "/targets/0/x",
               "/targets/0/y", "/targets/0/confirmed")
READERS = {
    # base: (reader, the pointers it reads)
    "picture": (read_pictures, PICTURE_READ),
    "tracks": (read_radar_tracks, TRACKS_READ),
    "zones": (read_zones, None),
}
# Where a reader is stricter than the schema: (case label's start, why).
STRICTER = [
    ("no object, and many: /objects fill 50", "the copies share one id: a picture holds an id once"),
]

ROWS = [c for c in CASES if c.schema in ("site-picture", "tracks", "zones")]


def reader_of(case):
    base = {"site-picture": "picture", "tracks": "tracks", "zones": "zones"}[case.schema]
    return READERS[base]


def expected(case):
    """The reader's verdict: the schema's, unless the reader is blind to the
    field or stricter on purpose."""
    for start, _ in STRICTER:
        if case.label.startswith(start):
            return False
    _, read = reader_of(case)
    if read is not None and case.pointer not in read:
        return True
    return case.valid


@pytest.mark.parametrize("case", ROWS, ids=[c.label for c in ROWS])
def test_reader_agrees_with_schema(case, tmp_path):
    read, _ = reader_of(case)
    path = tmp_path / "message.json"
    path.write_text(json.dumps(case.message) + "\n", encoding="utf-8")
    if expected(case):
        read(path)
    else:
        with pytest.raises(ValueError) as refused:
            read(path)
        assert "\n" not in str(refused.value) and str(path) in str(refused.value)


def test_every_stricter_case_is_in_the_tables():
    unmet = [start for start, _ in STRICTER if not any(c.label.startswith(start) for c in ROWS)]
    assert unmet == []

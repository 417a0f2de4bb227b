"""The message schemas of docs/schemas, with Debian's python3-jsonschema.

Each schema is checked against the draft's meta-schema, against the tables
of boundary messages that the site view's and the Python module's tests
share (boundaries.json, site_boundaries.json, zone-boundaries.json), for a
closed format (every field required, no other taken), for a table case at
and past each of its limits, and against every message of a real run:
radarsim, trackd and a mosquitto broker on loopback ports of the test's
own, with trackd stopped by SIGTERM so that its offline statuses come too.

Environment (CTest sets it): TRKLIB_TRACKD, TRKLIB_RADARSIM and TRKLIB_SITED,
the built programs; the run is skipped without the first two, and runs
without sited (its messages' check skipped) when the third is not set.
"""

import collections
import copy
import getpass
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import time

import pytest
from jsonschema import Draft202012Validator

HERE = pathlib.Path(__file__).resolve().parent
SCHEMA_DIR = HERE.parents[1] / "docs" / "schemas"
# trackd's messages, sited's pictures and status, and sited's zones and
# events; the site view's tests (web/test/schemas.test.js) and the Python
# module's readers (tests/python/test_schema_readers.py) share all three.
# The alarms' table (alarm-boundaries.json) is this test's alone.
TABLES = [json.loads((HERE / name).read_text(encoding="utf-8"))
          for name in ("boundaries.json", "site_boundaries.json", "zone-boundaries.json",
                       "alarm-boundaries.json")]
SCHEMA_OF_BASE = {"tracks": "tracks", "online": "status", "offline": "status",
                  "picture": "site-picture", "site-online": "site-status",
                  "site-aligned": "site-status", "site-cameras": "site-status",
                  "site-offline": "site-status",
                  "event-enter": "site-event", "event-exit": "site-event", "event-cross": "site-event",
                  "event-dwell": "site-event", "zone-state": "zone-state", "zones": "zones",
                  "alarms": "alarms", "alarm-raise": "alarm-change",
                  "alarm-acknowledge": "alarm-change", "alarm-shelve": "alarm-change",
                  "alarm-disarm": "alarm-change"}
BASES = {name: base for table in TABLES for name, base in table["bases"].items()}
# Objects whose keys are data (radar names), not fields.
MAPS = {base: pointers for table in TABLES for base, pointers in table.get("maps", {}).items()}
# Fields that a writer leaves out at times (sited's alignment while it is off).
OPTIONAL = {base: pointers for table in TABLES
            for base, pointers in table.get("optional", {}).items()}
WAIT_S = 20  # for anything the run waits for


def load_schema(name):
    return json.loads((SCHEMA_DIR / f"trklib-{name}.schema.json").read_text(encoding="utf-8"))


SCHEMAS = {name: load_schema(name)
           for name in ("tracks", "status", "site-picture", "site-status", "site-event",
                        "zone-state", "zones", "alarms", "alarm-change")}
VALIDATORS = {name: Draft202012Validator(schema) for name, schema in SCHEMAS.items()}


def errors(schema_name, message):
    """The validator's complaints about message, one line each; empty when valid."""
    return [f"{'/'.join(map(str, e.absolute_path))}: {e.message}"
            for e in VALIDATORS[schema_name].iter_errors(message)]


def with_field(base, pointer, kind, argument):
    """A copy of base with the field at pointer set to argument (value),
    made a list of argument copies of its first item (fill), or removed."""
    message = copy.deepcopy(base)
    *parents, last = pointer.split("/")[1:]
    parent = message
    for part in parents:
        parent = parent[int(part)] if isinstance(parent, list) else parent[part]
    key = int(last) if isinstance(parent, list) else last
    if kind == "remove":
        del parent[key]
    elif kind == "fill":
        parent[key] = [copy.deepcopy(parent[key][0]) for _ in range(argument)]
    else:
        parent[key] = argument
    return message


Case = collections.namedtuple("Case", "label message pointer kind argument valid schema")


def table_cases(table):
    """A Case for every path and value of the table."""
    for row in table["cases"]:
        base = table["bases"][row["base"]]
        for pointer, value in row.get("also", {}).items():
            base = with_field(base, pointer, "value", value)
        if row.get("remove"):
            variants = [("remove", None)]
        elif "fills" in row:
            variants = [("fill", n) for n in row["fills"]]
        else:
            variants = [("value", v) for v in row["values"]]
        for pointer in row["paths"]:
            for kind, argument in variants:
                label = f"{row['case']}: {pointer} {kind} {json.dumps(argument)}"
                yield Case(label, with_field(base, pointer, kind, argument), pointer, kind,
                           argument, row["valid"], SCHEMA_OF_BASE[row["base"]])


CASES = [case for table in TABLES for case in table_cases(table)]


def test_the_schemas_are_valid_draft_2020_12():
    for schema in SCHEMAS.values():
        Draft202012Validator.check_schema(schema)
        assert schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"


@pytest.mark.parametrize("case", CASES, ids=[c.label for c in CASES])
def test_boundary_messages(case):
    found = errors(case.schema, case.message)
    if case.valid:
        assert not found, found
    else:
        assert found, f"{json.dumps(case.message)[:300]} is taken"


def objects(value, pointer=""):
    """(pointer, object) for value and every object within it."""
    if isinstance(value, dict):
        yield pointer, value
        for key, item in value.items():
            yield from objects(item, f"{pointer}/{key}")
    elif isinstance(value, list):
        for index, item in enumerate(value):
            yield from objects(item, f"{pointer}/{index}")


@pytest.mark.parametrize("base", sorted(SCHEMA_OF_BASE))
def test_the_formats_are_closed(base):
    """Every field trackd and sited write is required, and no other field is taken."""
    message = BASES[base]
    schema_name = SCHEMA_OF_BASE[base]
    assert not errors(schema_name, message)
    for pointer, item in objects(message):
        if pointer in MAPS.get(base, ()):
            continue
        for key in item:
            if f"{pointer}/{key}" in OPTIONAL.get(base, ()):
                continue
            assert errors(schema_name, with_field(message, f"{pointer}/{key}", "remove", None)), \
                f"{base} without {pointer}/{key} is taken"
        assert errors(schema_name, with_field(message, f"{pointer}/extra", "value", 1)), \
            f"{base} with {pointer}/extra is taken"


def limits(schema, node, name=None):
    """(property name, keyword, limit) for every numeric limit under node."""
    if not isinstance(node, dict):
        return  # true or false: every value, or none
    if "$ref" in node:
        target = schema
        for part in node["$ref"].removeprefix("#/").split("/"):
            target = target[part]
        yield from limits(schema, target, name)
    for keyword in ("minimum", "maximum", "maxItems"):
        if keyword in node:
            yield name, keyword, node[keyword]
    for key, sub in node.get("properties", {}).items():
        yield from limits(schema, sub, key)
    for keyword in ("items", "then", "else"):
        if keyword in node:
            yield from limits(schema, node[keyword], name)


def names(pointer):
    """The property a pointer sets: its last part, or for a list's item the list's."""
    parts = pointer.split("/")
    return parts[-2] if parts[-1].isdigit() else parts[-1]


def test_every_limit_has_cases_at_and_past_it():
    wanted = {(name, keyword, limit) for schema in SCHEMAS.values()
              for name, keyword, limit in limits(schema, schema)}
    assert len(wanted) > 20
    missing = []
    for name, keyword, limit in sorted(wanted, key=str):
        def found(predicate, valid):
            return any(names(c.pointer) == name and c.valid == valid
                       and c.kind == ("fill" if keyword == "maxItems" else "value")
                       and isinstance(c.argument, (int, float))
                       and not isinstance(c.argument, bool) and predicate(c.argument)
                       for c in CASES)
        past = (lambda v: v < limit) if keyword == "minimum" else (lambda v: v > limit)
        if not found(lambda v: v == limit, True):
            missing.append(f"{name} at its {keyword} {limit}")
        if not found(past, False):
            missing.append(f"{name} past its {keyword} {limit}")
    assert not missing, missing


# The run: a broker, trackd with two radars (one of them never sent to) and
# radarsim, on loopback ports of the test's own.

def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (CTest sets it to the built program)")
    return path


def wait_for(what, check):
    deadline = time.monotonic() + WAIT_S
    while not (value := check()):
        assert time.monotonic() < deadline, f"waited {WAIT_S} s for {what}"
        time.sleep(0.1)
    return value


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def received(path):
    """(topic, message) for every line mosquitto_sub -v wrote whole so far."""
    text = path.read_text(encoding="utf-8") if path.exists() else ""
    messages = []
    for line in text.split("\n")[:-1]:
        topic, payload = line.split(" ", 1)
        messages.append((topic, json.loads(payload)))
    return messages


@pytest.fixture(scope="module")
def site_run(tmp_path_factory):
    """Every message of a run, (topic, message), and how trackd exited."""
    trackd, radarsim = program("TRKLIB_TRACKD"), program("TRKLIB_RADARSIM")
    sited = os.environ.get("TRKLIB_SITED")
    tmp_path = tmp_path_factory.mktemp("run")
    broker_port = free_port(socket.SOCK_STREAM)
    north_port, quiet_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
    (tmp_path / "broker.conf").write_text(
        f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
        f"user {getpass.getuser()}\n")
    # The quiet radar stands at the place's limits, vertically mounted, its
    # bearing turned past north; north gets the packets.
    (tmp_path / "site.conf").write_text(
        "[site]\nname = schemas\nlatitude = 48.137154\nlongitude = 11.576124\naltitude = 566\n"
        f"[broker]\nport = {broker_port}\nclient_id = trackd-schemas\n"
        f"[radar.north]\nbind_address = 127.0.0.1\nport = {north_port}\nheight = 5\n"
        "x = -35.5\ny = 12\nheading = 90\n"
        f"[radar.quiet]\nbind_address = 127.0.0.1\nport = {quiet_port}\norientation = 1\n"
        "pan = 20\nheight = 100\nx = 100000\ny = -100000\nheading = -350\n")
    out = tmp_path / "messages.txt"
    started = []

    def start(name, *command):
        log = open(tmp_path / f"{name}.log", "w", encoding="utf-8")
        stdout = open(out, "w", encoding="utf-8") if name == "subscriber" else log
        started.append(subprocess.Popen(command, stdout=stdout, stderr=log))
        return started[-1]

    try:
        # Debian's broker is in /usr/sbin, which a user's PATH may lack.
        broker = shutil.which("mosquitto", path=f"{os.environ.get('PATH', '')}:/usr/sbin")
        assert broker, "no mosquitto (Debian package mosquitto)"
        start("broker", broker, "-c", str(tmp_path / "broker.conf"))
        wait_for("the broker to listen", lambda: listening(broker_port))
        start("subscriber", "mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker_port),
              "-t", "trklib/#", "-v")
        service = start("trackd", trackd, "--config", str(tmp_path / "site.conf"))
        # sited fuses what trackd publishes, on the same site file.
        site_service = sited and start("sited", sited, "--config", str(tmp_path / "site.conf"))
        wait_for("both radars' statuses (and the site's)",
                 lambda: {t for t, _ in received(out) if t.endswith("/status")} == {
                     "trklib/schemas/north/status", "trklib/schemas/quiet/status"} | (
                         {"trklib/schemas/site/status"} if sited else set()))
        sim = start("radarsim", radarsim, "--port", str(north_port), "--scene", "crossing",
                    "--packets", "60", "--quiet")
        assert sim.wait(timeout=WAIT_S) == 0
        wait_for("a status with packets", lambda: any(
            t == "trklib/schemas/north/status" and (m.get("packets") or 0) > 0
            for t, m in received(out)))
        if sited:
            wait_for("a picture with objects and a status that has seen north", lambda: any(
                t == "trklib/schemas/site/tracks" and m["objects"] for t, m in received(out))
                and any(t == "trklib/schemas/site/status" and m.get("radars", {}).get("north")
                        is not None for t, m in received(out)))
            site_service.send_signal(signal.SIGTERM)
            assert site_service.wait(timeout=WAIT_S) == 0
        service.send_signal(signal.SIGTERM)
        code = service.wait(timeout=WAIT_S)
        # Each status topic's last message offline: a radar that was silent
        # long enough may have said so once already before the end.
        def last_offline():
            last = {t: m.get("online") for t, m in received(out) if t.endswith("/status")}
            return {t for t, online in last.items() if online is False}
        wait_for("every offline status", lambda: last_offline() == {
            "trklib/schemas/north/status", "trklib/schemas/quiet/status"} | (
                {"trklib/schemas/site/status"} if sited else set()))
        return received(out), code
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def test_every_message_of_a_run_is_valid(site_run):
    messages, trackd_exit = site_run
    assert trackd_exit == 0
    invalid = []
    for topic, message in messages:
        schema_name = topic.rsplit("/", 1)[1]
        assert schema_name in ("tracks", "status"), topic
        if topic.split("/")[2] == "site":
            schema_name = {"tracks": "site-picture", "status": "site-status"}[schema_name]
        for line in errors(schema_name, message):
            invalid.append(f"{topic}: {line}: {json.dumps(message)[:200]}")
    assert not invalid, "\n".join(invalid[:10])
    radars = [(t, m) for t, m in messages if t.split("/")[2] != "site"]
    # The run had every kind: tracks with targets, each radar online (one
    # before any packet) and offline.
    assert any(m["targets"] for t, m in radars if t.endswith("/tracks"))
    # The site has an origin: every target and place is on the map too.
    assert all("lat" in target for t, m in radars if t.endswith("/tracks")
               for target in m["targets"])
    assert all("lat" in m["place"] for t, m in radars if t.endswith("/status"))
    statuses = [(t.split("/")[2], m) for t, m in radars if t.endswith("/status")]
    assert {(radar, m["online"]) for radar, m in statuses} == {
        ("north", True), ("north", False), ("quiet", True), ("quiet", False)}
    assert any(radar == "quiet" and m.get("lastTimestamp", 0) is None for radar, m in statuses)


def test_every_message_of_sited_in_the_run_is_valid(site_run):
    """sited's pictures and statuses of the same run: checked above with
    the rest; here, that the run had each kind, on the map."""
    if not os.environ.get("TRKLIB_SITED"):
        pytest.skip("TRKLIB_SITED is not set (CTest sets it to the built program)")
    messages, _ = site_run
    pictures = [m for t, m in messages if t == "trklib/schemas/site/tracks"]
    statuses = [m for t, m in messages if t == "trklib/schemas/site/status"]
    assert any(p["objects"] for p in pictures)
    assert all("lat" in o and "lon" in o for p in pictures for o in p["objects"])
    assert [s["online"] for s in statuses][0] is True and statuses[-1] == {"online": False}
    assert set(statuses[0]["radars"]) == {"north", "quiet"}

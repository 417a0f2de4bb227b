"""The junction site end to end: radarsim plays its four radars, trackd
tracks them and publishes to a mosquitto broker of the test's own, sited
fuses them; the pictures are scored against radarsim's truth, sited's
status must go offline on SIGTERM, and sited's offline run of radarsim's
capture must give the same objects.

The systemd units of trackd and sited are checked by systemd-analyze and
run the way systemd runs them: their own commands, as a user of their own
who may write the state folder alone, the broker's password a credential.

CTest sets TRKLIB_RADARSIM, TRKLIB_TRACKD, TRKLIB_SITED, TRKLIB_SITES (the
example site files), TRKLIB_UNITS (the folder of the tools' sources, with
each program's unit) and PYTHONPATH (the module, for the scorer).
"""

import datetime
import json
import os
import pathlib
import pwd
import re
import shlex
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import pytest

PACKETS = 400  # per radar: 20 s at 20 packets/s
# What the fused picture of a 20 s junction run must reach, m: the mean
# GOSPA (c = 10 m, p = 2, alpha = 2) over the pictures from 10 s on. The
# union of the radars' own tracks scores about 28 m on this run, the
# offline fusion about 10.2 m (most of it walkers far out in a beam that its
# radar does not report, and persons and cyclists standing still, whom a
# Doppler radar does not see).
GOSPA_BOUND_M = 12.0
# Live and offline timing differ (the live pictures fall between packets
# where the offline ones fall on the capture's clock): an object of one is
# the other's when it lies within this distance of it, m.
SAME_OBJECT_M = 3.0
# The share of live objects whose offline twin has the very same id.
SAME_IDS = 0.6


def program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (CTest sets it to the built program)")
    return path


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    pytest.fail(f"timed out waiting for {what}")


class Processes:
    """Programs started by a test, stopped (SIGTERM, then SIGKILL) at its end."""

    def __init__(self, folder):
        self.folder = folder
        self.started = []

    def start(self, name, *command, stdout=None, env=None):
        log = open(self.folder / f"{name}.log", "wb")
        process = subprocess.Popen(command, stdout=stdout or log, stderr=log, env=env)
        self.started.append((name, process))
        return process

    def log(self, name):
        return (self.folder / f"{name}.log").read_text(errors="replace")

    def stop(self, process, timeout=10, stop_signal=signal.SIGTERM):
        if process.poll() is None:
            process.send_signal(stop_signal)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def stop_all(self):
        for _, process in reversed(self.started):
            self.stop(process)


@pytest.fixture
def processes(tmp_path):
    started = Processes(tmp_path)
    yield started
    started.stop_all()


def site_file(folder, broker_port, radar_port):
    """The example junction site on the test's broker and radar port."""
    text = open(os.path.join(program("TRKLIB_SITES"), "junction.conf")).read()
    text = re.sub(r"(?m)^port = 1883$", f"port = {broker_port}", text)
    text = re.sub(r"(?m)^port = 34567$", f"port = {radar_port}", text)
    text = re.sub(r"(?m)^file = (.*)$",
                  lambda m: f"file = {os.path.join(program('TRKLIB_SITES'), m.group(1))}", text)
    # sited's history API on a free port of its own; its history in the folder.
    text += f"[http]\nlisten = 127.0.0.1:{free_port(socket.SOCK_STREAM)}\n"
    path = folder / "junction.conf"
    path.write_text(text)
    return path


def pictures_of(lines):
    return [json.loads(line.split(" ", 1)[1]) for line in lines
            if line.startswith("trklib/junction/site/tracks ")]


def clock_offset(tracks):
    """How far the host's clock (received) runs ahead of the radars' (timestamp), ms: the median."""
    offsets = sorted(t["received"] - t["timestamp"] for t in tracks)
    return offsets[len(offsets) // 2]


def score(pictures, truth, folder, offset_ms):
    """The pictures' GOSPA mean against the truth, their times moved onto the radars' clock;
    those after the truth's last time (the objects coasting once the radars stopped) left out."""
    with open(truth) as rows:
        end = max(int(line.split(",", 1)[0]) for line in list(rows)[1:])
    path = folder / "pictures.jsonl"
    path.write_text("".join(json.dumps({**p, "time": p["time"] - offset_ms}) + "\n"
                            for p in pictures if p["time"] - offset_ms <= end))
    done = subprocess.run([sys.executable, "-m", "trklib.score", "--site", str(path), str(truth)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return float(re.search(r"^GOSPA mean (\S+)$", done.stdout, re.M).group(1))


def test_junction_through_trackd_and_sited_and_offline(tmp_path, processes):
    broker_port, radar_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    (tmp_path / "broker.conf").write_text(
        f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    broker = processes.start("broker", "mosquitto", "-c", str(tmp_path / "broker.conf"))
    wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", broker_port)) == 0, 10, "the broker")
    site = site_file(tmp_path, broker_port, radar_port)

    sub_out = open(tmp_path / "messages.txt", "wb")
    processes.start("sub", "mosquitto_sub", "-p", str(broker_port), "-v", "-t", "trklib/junction/#",
                    stdout=sub_out)
    trackd = processes.start("trackd", program("TRKLIB_TRACKD"), "--config", str(site))
    sited = processes.start("sited", program("TRKLIB_SITED"), "--config", str(site))
    messages = lambda: (tmp_path / "messages.txt").read_text(errors="replace").splitlines()
    wait_for(lambda: any(line.startswith("trklib/junction/site/status {\"online\":true")
                         for line in messages()), 20, "sited's online status")
    online = lambda name: any(line.startswith(f"trklib/junction/{name}/status {{\"online\":true")
                              for line in messages())
    wait_for(lambda: all(online(r) for r in ("east", "north", "west", "south")), 20,
             "the radars' online statuses")
    assert trackd.poll() is None, processes.log("trackd")

    truth, capture = tmp_path / "truth.csv", tmp_path / "junction.pcap"
    simulation = subprocess.run(
        [program("TRKLIB_RADARSIM"), "--site", str(site), "--scene", "junction", "--packets",
         str(PACKETS), "--seed", "1", "--truth", str(truth), "--pcap", str(capture), "--quiet"],
        capture_output=True, text=True, timeout=120)
    assert simulation.returncode == 0, simulation.stderr
    time.sleep(1.0)  # the last pictures of the run

    assert processes.stop(sited) == 0, processes.log("sited")
    wait_for(lambda: any(line.startswith("trklib/junction/site/status {\"online\":false")
                         for line in messages()), 5, "sited's offline status")
    retained = subprocess.run(["mosquitto_sub", "-p", str(broker_port), "-C", "1", "-W", "5", "-t",
                               "trklib/junction/site/status"], capture_output=True, text=True)
    assert json.loads(retained.stdout)["online"] is False

    live = [p for p in pictures_of(messages()) if p["objects"]]
    assert len(live) > 100, processes.log("sited")
    # The truth runs on the radars' clock, the live pictures on this host's:
    # trackd's tracks messages carry both.
    radar_tracks = [json.loads(line.split(" ", 1)[1]) for line in messages()
                    if re.match(r"trklib/junction/(east|north|west|south)/tracks ", line)]
    assert score(live, truth, tmp_path, clock_offset(radar_tracks)) < GOSPA_BOUND_M

    offline_path = tmp_path / "offline.jsonl"
    offline_tracks = tmp_path / "offline-tracks.jsonl"
    done = subprocess.run([program("TRKLIB_SITED"), "--config", str(site), "--capture", str(capture),
                           "--output", str(offline_path), "--tracks-output", str(offline_tracks)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    offline = [json.loads(line) for line in offline_path.read_text().splitlines()]
    tracks = [json.loads(line) for line in offline_tracks.read_text().splitlines()]
    assert score(offline, truth, tmp_path, clock_offset(tracks)) < GOSPA_BOUND_M

    # Every confirmed live object of the last 10 s has an offline object
    # within SAME_OBJECT_M in the offline picture nearest in time (the
    # capture's clock is the one the packets were sent by; live pictures
    # are stamped by the host's clock on arrival, within milliseconds).
    by_time = sorted(offline, key=lambda p: p["time"])
    times = [p["time"] for p in by_time]
    checked = matched = 0
    pairs = {}  # live id -> {offline id: pictures}
    for picture in live:
        if picture["time"] < live[-1]["time"] - 10000:
            continue
        nearest = min(range(len(times)), key=lambda i: abs(times[i] - picture["time"]))
        if abs(times[nearest] - picture["time"]) > 100:
            continue
        for o in picture["objects"]:
            if not o["confirmed"]:
                continue
            checked += 1
            near = [p for p in by_time[nearest]["objects"]
                    if (o["x"] - p["x"]) ** 2 + (o["y"] - p["y"]) ** 2 <= SAME_OBJECT_M ** 2]
            if near:
                matched += 1
                ids = pairs.setdefault(o["id"], {})
                ids[near[0]["id"]] = ids.get(near[0]["id"], 0) + 1
    assert checked > 100
    assert matched >= 0.95 * checked, f"{matched} of {checked} live objects found offline"
    # One live object is one offline object: its id keeps to one offline id
    # in 90 % of its pictures; and since fusion is the same code on the same
    # packets, most objects (the live run's timing splits a few) have the
    # very same id.
    main_ids = {live_id: max(ids, key=ids.get) for live_id, ids in pairs.items()}
    kept = sum(ids[main_ids[live_id]] for live_id, ids in pairs.items())
    assert kept >= 0.9 * matched
    same = sum(live_id == offline_id for live_id, offline_id in main_ids.items())
    assert same >= SAME_IDS * len(main_ids), main_ids


def camera_device(processes, name, *extra):
    """The test camera (a stateful ONVIF PTZ device) on a free loopback port: its address."""
    device = processes.start(name, sys.executable, program("TRKLIB_ONVIF_DEVICE"), "--username",
                             "operator", "--password", "pan-tilt-zoom", *extra,
                             stdout=subprocess.PIPE)
    line = device.stdout.readline().decode().strip()
    assert line.startswith("listening 127.0.0.1:"), processes.log(name)
    return f"http://{line.split()[1]}/onvif/device_service"


def test_cameras_follow_the_watched_zone_live(tmp_path, processes):
    """Two cameras on the junction, one of which refuses the password: the
    other follows the objects in the box (a zone marked for watching), an
    operator takes it over through the API and gives it back; the refused
    one is one line in the log and offline in the status, and the cueing of
    the other goes on."""
    broker_port, radar_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    (tmp_path / "broker.conf").write_text(
        f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    processes.start("broker", "mosquitto", "-c", str(tmp_path / "broker.conf"))
    wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", broker_port)) == 0, 10, "the broker")
    zones = json.loads(open(os.path.join(program("TRKLIB_SITES"), "junction-zones.geojson")).read())
    for feature in zones["features"]:
        if feature["properties"]["name"] == "box":
            feature["properties"]["watch"] = True
    (tmp_path / "zones.geojson").write_text(json.dumps(zones))
    (tmp_path / "camera.password").write_text("pan-tilt-zoom\n")
    site = site_file(tmp_path, broker_port, radar_port)
    text = re.sub(r"(?m)^file = .*junction-zones.geojson$", f"file = {tmp_path / 'zones.geojson'}",
                  site.read_text())
    for name, address in (("gate", camera_device(processes, "gate", "--latency", "0.3")),
                          ("yard", camera_device(processes, "yard", "--refuse-password"))):
        text += (f"[camera.{name}]\nx = 20\ny = 20\nheight = 8\naddress = {address}\n"
                 f"username = operator\npassword_file = {tmp_path / 'camera.password'}\n")
    site.write_text(text)
    api = re.search(r"(?m)^listen = (\S+)$", text).group(1)

    sub_out = open(tmp_path / "messages.txt", "wb")
    processes.start("sub", "mosquitto_sub", "-p", str(broker_port), "-v", "-t",
                    "trklib/junction/site/status", stdout=sub_out)
    processes.start("trackd", program("TRKLIB_TRACKD"), "--config", str(site))
    sited = processes.start("sited", program("TRKLIB_SITED"), "--config", str(site))

    def cameras():
        lines = (tmp_path / "messages.txt").read_text(errors="replace").splitlines()
        statuses = [json.loads(line.split(" ", 1)[1]) for line in lines]
        return statuses[-1].get("cameras") if statuses else None

    wait_for(lambda: cameras() and cameras()["gate"]["online"], 20, "the gate camera online")
    simulation = subprocess.Popen(
        [program("TRKLIB_RADARSIM"), "--site", str(site), "--scene", "junction", "--packets",
         str(PACKETS), "--seed", "2", "--quiet"])
    try:
        wait_for(lambda: cameras()["gate"]["following"] is not None, 30, "gate following")
        assert cameras()["gate"]["why"] == "watch"
        def post(action):
            request = urllib.request.Request(f"http://{api}/api/cameras/{action}", data=b"",
                                             method="POST")
            try:
                with urllib.request.urlopen(request, timeout=5) as answer:
                    return str(answer.status)
            except urllib.error.HTTPError as refused:
                return str(refused.code)

        assert post("gate/take") == "200"
        assert post("dock/take") == "404"
        wait_for(lambda: cameras()["gate"]["taken_over"], 5, "gate taken over")
        assert cameras()["gate"]["why"] == "operator"
        assert post("gate/give") == "200"
        wait_for(lambda: not cameras()["gate"]["taken_over"], 5, "gate given back")
    finally:
        simulation.kill()
        simulation.wait()
    status = cameras()
    assert status["gate"]["commands"] > 0 and status["gate"]["errors"] == 0, status
    # The history keeps each camera's changes, the operator's actions among them.
    def recorded():
        url = f"http://{api}/api/cameras?from=0&to={int(time.time() * 1000)}"
        with urllib.request.urlopen(url, timeout=5) as answer:
            return [(c["camera"], c["action"], c["detail"]) for c in json.load(answer)["changes"]]
    wait_for(lambda: ("gate", "give", "") in recorded(), 5, "the recorded give")
    changes = recorded()
    assert ("gate", "online", "") in changes and ("gate", "cue", "watch") in changes, changes
    assert ("gate", "take", "") in changes, changes
    assert [c for c in changes if c[:2] == ("yard", "offline")][0][2].startswith("camera yard: "), changes
    assert status["yard"]["online"] is False
    assert status["yard"]["problem"].startswith("camera yard: "), status
    assert processes.stop(sited) == 0, processes.log("sited")
    log = processes.log("sited")
    assert len(re.findall(r"camera yard: ", log)) == 1, log
    assert "camera gate: taken over" in log and "camera gate: given back" in log, log


# The units as installed: their programs in /usr/bin, the site file in
# /etc/trklib. The tests put the built programs and a folder of their own
# in those places.
INSTALLED_PROGRAMS = "/usr/bin/"
CONFIG_FOLDER = "/etc/trklib"
# A uid no account has, standing for the unit's dynamic user.
SERVICE_UID = 61234


def unit_path(name):
    return os.path.join(program("TRKLIB_UNITS"), name, f"{name}.service")


def unit_service(name):
    """The unit's [Service] keys, each with its values in the file's order."""
    keys, section = {}, None
    for line in open(unit_path(name)):
        line = line.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("["):
            section = line
        elif section == "[Service]":
            key, value = line.split("=", 1)
            keys.setdefault(key.strip(), []).append(value.strip())
    return keys


def built(text):
    """A unit's text or command with the built programs for the installed ones."""
    for name in ("trackd", "sited"):
        text = text.replace(INSTALLED_PROGRAMS + name, program(f"TRKLIB_{name.upper()}"))
    return text


def unit_commands(name, config_folder):
    """The unit's ExecStartPre commands and its ExecStart, each an argument list on the built
    program and the configuration folder given."""
    keys = unit_service(name)
    argv = lambda line: [a.replace(CONFIG_FOLDER, str(config_folder)) for a in shlex.split(built(line))]
    assert len(keys["ExecStart"]) == 1
    return [argv(line) for line in keys.get("ExecStartPre", [])], argv(keys["ExecStart"][0])


def as_service(argv):
    return ["setpriv", f"--reuid={SERVICE_UID}", f"--regid={SERVICE_UID}", "--clear-groups", *argv]


def test_units_pass_systemd_analyze_verify(tmp_path):
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze is not installed (Debian's systemd)")
    for name in ("trackd", "sited"):
        # A copy on the built programs: verify wants the ExecStart programs
        # there; the man pages the units name are not installed here.
        copy = tmp_path / f"{name}.service"
        copy.write_text(built(open(unit_path(name)).read()))
        done = subprocess.run(["systemd-analyze", "verify", "--man=no", str(copy)],
                              capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, ""), f"{name}.service: {done.stderr}"


class ServiceFolders:
    """What systemd gives the units, in a folder every user may enter: the
    configuration folder (root's, read-only to the service), the state
    folder (the service user's) and each unit's credentials folder with its
    copy of the broker's password (the service user's alone), which the one
    site file names as %d/mqtt-password."""

    def __init__(self, root, broker_port, radar_port):
        self.etc = root / "etc-trklib"
        self.state = root / "state"
        self.credentials = {name: root / f"credentials-{name}" for name in ("trackd", "sited")}
        for folder in (self.etc, self.state, *self.credentials.values()):
            folder.mkdir()
        owned = [(self.state, 0o750)]
        for folder in self.credentials.values():
            (folder / "mqtt-password").write_text("units-secret\n")
            owned += [(folder / "mqtt-password", 0o400), (folder, 0o500)]
        for path, mode in owned:
            os.chown(path, SERVICE_UID, SERVICE_UID)
            os.chmod(path, mode)
        text = site_file(root, broker_port, radar_port).read_text()
        text = text.replace("client_id = trackd-junction\n",
                            "client_id = trackd-junction\nusername = site\n"
                            "password_file = %d/mqtt-password\n")
        (self.etc / "trackd.conf").write_text(text)

    def environment(self, name, state=None):
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                "STATE_DIRECTORY": str(state or self.state),
                "CREDENTIALS_DIRECTORY": str(self.credentials[name])}


@pytest.fixture
def service_root():
    if os.geteuid() != 0:
        pytest.skip("runs the units' commands as another user (setpriv): needs root")
    if not shutil.which("setpriv"):
        pytest.skip("setpriv is not installed (Debian's util-linux)")
    try:
        pytest.skip(f"uid {SERVICE_UID} is {pwd.getpwuid(SERVICE_UID).pw_name}'s")
    except KeyError:
        pass
    root = pathlib.Path(tempfile.mkdtemp(prefix="trklib-units-"))
    os.chmod(root, 0o755)
    yield root
    shutil.rmtree(root)


def test_units_run_as_their_services(tmp_path, processes, service_root):
    broker_port, radar_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    folders = ServiceFolders(service_root, broker_port, radar_port)
    # The broker's own users, where its user (it drops root) may read them.
    users = service_root / "broker.passwd"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(users), "site", "units-secret"],
                   check=True, capture_output=True)
    os.chmod(users, 0o644)
    (tmp_path / "broker.conf").write_text(
        f"listener {broker_port} 127.0.0.1\nallow_anonymous false\n"
        f"password_file {users}\npersistence false\n")
    processes.start("broker", "mosquitto", "-c", str(tmp_path / "broker.conf"))
    wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", broker_port)) == 0, 10, "the broker")
    sub_out = open(tmp_path / "messages.txt", "wb")
    processes.start("sub", "mosquitto_sub", "-p", str(broker_port), "-u", "site", "-P",
                    "units-secret", "-v", "-t", "trklib/junction/#", stdout=sub_out)
    messages = lambda: (tmp_path / "messages.txt").read_text(errors="replace").splitlines()
    seen = lambda prefix: any(line.startswith(prefix) for line in messages())

    services = {}
    for name in ("trackd", "sited"):
        checks, command = unit_commands(name, folders.etc)
        for check in checks:
            done = subprocess.run(as_service(check), env=folders.environment(name),
                                  capture_output=True, text=True, timeout=30)
            assert done.returncode == 0, f"{shlex.join(check)}: {done.stderr}"
        services[name] = processes.start(name, *as_service(command),
                                          env=folders.environment(name))
    wait_for(lambda: seen('trklib/junction/site/status {"online":true'), 20,
             "sited's online status")
    radars = ("east", "north", "west", "south")
    wait_for(lambda: all(seen(f'trklib/junction/{r}/status {{"online":true') for r in radars), 20,
             "the radars' online statuses")
    simulation = subprocess.run(
        [program("TRKLIB_RADARSIM"), "--site", str(folders.etc / "trackd.conf"), "--scene",
         "junction", "--packets", "100", "--seed", "1", "--quiet"],
        capture_output=True, text=True, timeout=120, env=folders.environment("sited"))
    assert simulation.returncode == 0, simulation.stderr
    wait_for(lambda: any(p["objects"] for p in pictures_of(messages())), 10, "a picture")
    # The history is measured with its first records: in the status soon after.
    today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    statuses = lambda: [json.loads(line.split(" ", 1)[1]) for line in messages()
                        if line.startswith('trklib/junction/site/status {"online":true')]
    wait_for(lambda: statuses()[-1].get("historyBytes"), 10, "the history's size in the status")
    assert statuses()[-1]["historyNewestDay"] == today

    for name in ("sited", "trackd"):
        stop = signal.Signals[unit_service(name)["KillSignal"][0]]
        assert processes.stop(services[name], stop_signal=stop) == 0, processes.log(name)
    wait_for(lambda: seen('trklib/junction/site/status {"online":false'), 5,
             "sited's offline status")
    wait_for(lambda: all(seen(f'trklib/junction/{r}/status {{"online":false') for r in radars),
             5, "the radars' offline statuses")
    history = folders.state / "junction.sqlite"
    assert history.stat().st_uid == SERVICE_UID
    with sqlite3.connect(history) as db:
        assert db.execute("SELECT count(*) FROM pictures").fetchone()[0] > 0
    assert os.listdir(folders.etc) == ["trackd.conf"], "nothing written beside the site file"


def test_sited_unit_stops_on_a_state_folder_it_cannot_write(service_root):
    folders = ServiceFolders(service_root, free_port(socket.SOCK_STREAM),
                             free_port(socket.SOCK_DGRAM))
    read_only = service_root / "read-only"
    read_only.mkdir()  # root's, 0755
    site = folders.etc / "trackd.conf"
    default = site.read_text()
    not_writable = f"is not writable by user {SERVICE_UID}"
    # STATE_DIRECTORY's first folder (then the good one), the site file's
    # [history], and the folder the line names.
    cases = ((service_root / "missing", "", service_root / "missing", "does not exist"),
             (read_only, "", read_only, not_writable),
             # A database given stays beside the site file, which the
             # service may not write.
             (folders.state, "[history]\ndatabase = given.sqlite\n", folders.etc, not_writable))
    checks, command = unit_commands("sited", folders.etc)
    for state, history, folder, why in cases:
        site.write_text(default + history)
        database = folder / ("given.sqlite" if history else "junction.sqlite")
        line = f"sited: history {database}: the folder {folder} {why}"
        # The check before the start, and the start itself: exit 2, which
        # the unit does not restart on.
        for argv in (*checks, command):
            done = subprocess.run(as_service(argv),
                                  env=folders.environment("sited", f"{state}:{folders.state}"),
                                  capture_output=True, text=True, timeout=30)
            assert (done.returncode, done.stdout) == (2, ""), done.stderr
            assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith(line), done.stderr
    assert "2" in unit_service("sited")["RestartPreventExitStatus"][0].split()

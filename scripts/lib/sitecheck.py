"""What scripts/check-history and scripts/soak share: the junction site run
live on the loopback address (free ports, the programs started and stopped,
a PostgreSQL server of the run's own), the messages the subscriber kept, the
history API's answers, and the comparisons of the two, one line per check.
"""

import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
SITES = ROOT / "tools" / "radarsim" / "sites"
POSTGRES_BIN = pathlib.Path("/usr/lib/postgresql/15/bin")
# The API answers at most this many events at a time.
EVENTS_LIMIT = 10000


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise RuntimeError(f"timed out waiting for {what}")


class Processes:
    """Programs started here, stopped (SIGTERM, then SIGKILL) in reverse order."""

    def __init__(self, folder):
        self.folder = folder
        self.started = []

    def start(self, name, *command, stdout=None):
        log = open(self.folder / f"{name}.log", "wb")
        process = subprocess.Popen(command, stdout=stdout or log, stderr=log)
        self.started.append(process)
        return process

    def log(self, name):
        return (self.folder / f"{name}.log").read_text(errors="replace").strip()

    @staticmethod
    def stop(process, timeout=30):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def stop_all(self):
        for process in reversed(self.started):
            self.stop(process)


class Postgres:
    """A PostgreSQL 15 server in a folder of its own, on a free loopback port."""

    def __init__(self, folder):
        self.folder = folder
        self.data = folder / "data"
        self.port = free_port()
        self.running = False

    def run(self, program, *arguments):
        command = [str(POSTGRES_BIN / program), *arguments]
        if os.geteuid() == 0:  # the server refuses to run as root
            command = ["runuser", "-u", "postgres", "--", *command]
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise RuntimeError(f"{program} failed: {(done.stdout + done.stderr).strip()}")

    def start(self):
        if not self.data.exists():
            self.folder.mkdir(parents=True, exist_ok=True)
            if os.geteuid() == 0:
                shutil.chown(self.folder, "postgres", "postgres")
            self.run("initdb", "-D", str(self.data), "-U", "postgres", "-A", "trust",
                     "--no-sync", "-E", "UTF8")
        self.run("pg_ctl", "-D", str(self.data), "-l", str(self.folder / "server.log"), "-w",
                 "-o", f"-p {self.port} -c listen_addresses=127.0.0.1 "
                       f"-c unix_socket_directories={self.folder}", "start")
        self.running = True

    def stop(self):
        if self.running:
            self.run("pg_ctl", "-D", str(self.data), "-m", "fast", "-w", "stop")
            self.running = False

    def url(self):
        return f"postgresql://postgres@127.0.0.1:{self.port}/postgres"


def site_file(folder, broker_port, radar_port, api_port, database, name="junction.conf",
              radar_ports=None):
    """The example junction site on this run's broker, radar port, API port and database.

    radar_ports gives some radars (by name) a port of their own in place of
    radar_port: a file for radarsim that sends one radar elsewhere.
    """
    text = (SITES / "junction.conf").read_text()
    text = re.sub(r"(?m)^port = 1883$", f"port = {broker_port}", text)
    text = re.sub(r"(?m)^port = 34567$", f"port = {radar_port}", text)
    for radar, port in (radar_ports or {}).items():
        text, found = re.subn(rf"(?ms)^(\[radar\.{radar}\]\n.*?^port = )\d+$",
                              lambda m: f"{m.group(1)}{port}", text, count=1)
        if not found:
            raise RuntimeError(f"the junction site has no radar {radar}")
    text = re.sub(r"(?m)^file = (.*)$", lambda m: f"file = {SITES / m.group(1)}", text)
    text += f"[http]\nlisten = 127.0.0.1:{api_port}\n[history]\ndatabase = {database}\n"
    path = folder / name
    path.write_text(text)
    return path


class Messages:
    """What mosquitto_sub -v wrote: one "topic payload" line per message."""

    def __init__(self, path):
        self.path = path

    def lines(self):
        return self.path.read_text(errors="replace").splitlines()

    def payloads(self, topic):
        prefix = topic + " "
        return [json.loads(line[len(prefix):]) for line in self.lines()
                if line.startswith(prefix)]

    def each(self, topic):
        """The payloads of topic one by one, without holding the whole file."""
        prefix = topic + " "
        with open(self.path, errors="replace") as lines:
            for line in lines:
                if line.startswith(prefix):
                    yield json.loads(line[len(prefix):])


def api(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as answer:
        return json.load(answer)


def recorded_events(port, first_ms, last_ms):
    """Every event of [first_ms, last_ms], windows split until each holds less than the limit."""
    events = []
    windows = [(first_ms, last_ms)]
    while windows:
        lo, hi = windows.pop(0)
        got = api(port, f"/api/events?from={lo}&to={hi}&limit={EVENTS_LIMIT}")["events"]
        if len(got) == EVENTS_LIMIT and hi > lo:
            middle = (lo + hi) // 2
            windows[:0] = [(lo, middle), (middle + 1, hi)]
            continue
        events += got
    return events


def canonical(value):
    return json.dumps(value, sort_keys=True)


class Report:
    def __init__(self):
        self.failed = False

    def check(self, name, ok, text):
        self.failed = self.failed or not ok
        print(f"{name:<9} {'ok' if ok else 'FAILED'}: {text}", flush=True)


def compare_events(report, published, recorded):
    want = sorted(canonical(e) for e in published)
    got = sorted(canonical(e) for e in recorded)
    missing = list(want)
    added = []
    for event in got:
        if event in missing:
            missing.remove(event)
        else:
            added.append(event)
    detail = f"{len(published)} published, {len(recorded)} recorded"
    if missing:
        detail += f"; {len(missing)} missing, the first {missing[0]}"
    if added:
        detail += f"; {len(added)} added, the first {added[0]}"
    report.check("events", not missing and not added and len(published) > 0, detail)


def recorded_picture(port, time_ms):
    """The API's picture at time_ms; without objects when it has none (404)."""
    try:
        return api(port, f"/api/picture?time={time_ms}")
    except urllib.error.HTTPError as e:
        return {"time": None, "error": e.code}


def compare_pictures(report, pictures, recorded):
    """Every published picture (any iterable) against recorded(time), the API's answer."""
    differing = []
    objects = 0
    count = 0
    for picture in pictures:
        count += 1
        objects += len(picture["objects"])
        answer = recorded(picture["time"])
        if answer.get("time") != picture["time"]:
            differing.append(f"{picture['time']}: not recorded ({answer.get('time')})")
        elif canonical(answer["objects"]) != canonical(picture["objects"]):
            differing.append(f"{picture['time']}: objects differ")
    detail = f"{count} published with {objects} objects"
    if differing:
        detail += f"; {len(differing)} differ, the first {differing[0]}"
    report.check("pictures", not differing and objects > 0, detail)

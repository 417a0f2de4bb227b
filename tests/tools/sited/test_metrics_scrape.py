"""trackd's and sited's /metrics scraped by Debian's Prometheus server: the
junction site live on the loopback address (a mosquitto broker of the
test's own, radarsim as its four radars), Prometheus scraping both every
second into a folder of the test's, and the figures read back through its
query API against the statuses the services published meanwhile.

CTest sets TRKLIB_RADARSIM, TRKLIB_TRACKD and TRKLIB_SITED; the site run's
helpers are scripts/lib/sitecheck.py's.
"""

import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import urllib.parse

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "scripts" / "lib"))
import sitecheck  # noqa: E402

PACKETS = 200  # per radar: 10 s at 20 packets/s
RADARS = ("east", "north", "west", "south")
# radarsim sends this radar's packets to a port nobody listens on, so that
# the radars' figures differ.
SILENT = "west"
# Statuses go out about once a second and Prometheus scrapes once a second:
# a scrape's figure lies between those of the statuses that arrived this
# long before and after it, s.
SLACK_S = 1.5


def program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (CTest sets it to the built program)")
    return path


@pytest.fixture
def processes(tmp_path):
    started = sitecheck.Processes(tmp_path)
    yield started
    started.stop_all()


def answers(condition):
    """condition(), False while the server has no answer yet."""
    try:
        return condition()
    except (OSError, ValueError, LookupError):
        return False


def query(port, promql):
    answer = sitecheck.api(port, "/api/v1/query?" + urllib.parse.urlencode({"query": promql}))
    assert answer["status"] == "success", answer
    return answer["data"]["result"]


def samples(port, metric):
    """Every sample Prometheus holds of metric, by its radar label (None without): [(s, value)]."""
    return {series["metric"].get("radar"): [(float(t), float(v)) for t, v in series["values"]]
            for series in query(port, f"{metric}[10m]")}


def statuses(path):
    """The online statuses mosquitto_sub kept, by the topic's radar ("site" for sited's):
    [(arrival s, payload)]; a line still being written is left for the next look."""
    kept = {}
    for line in path.read_text(errors="replace").split("\n")[:-1]:
        stamp, topic, payload = line.split(" ", 2)
        status = json.loads(payload)
        if status["online"]:
            kept.setdefault(topic.split("/")[2], []).append((float(stamp), status))
    return kept


def outside_statuses(scraped, published, key):
    """The scrapes of a counter that do not lie between the statuses that arrived SLACK_S
    before and after them; scrapes with no status that late are left out."""
    last = published[-1][0]
    wrong = []
    for t, value in scraped:
        if t > last - SLACK_S:
            continue
        before = [s[key] for at, s in published if at <= t - SLACK_S]
        after = next(s[key] for at, s in published if at >= t + SLACK_S)
        if not (before[-1] if before else 0) <= value <= after:
            wrong.append((t, value))
    return wrong


def test_prometheus_scrapes_what_the_statuses_say(tmp_path, processes):
    if not shutil.which("prometheus"):
        pytest.skip("no prometheus server (Debian's package prometheus)")
    broker_port = sitecheck.free_port()
    (tmp_path / "broker.conf").write_text(
        f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    processes.start("broker", "mosquitto", "-c", str(tmp_path / "broker.conf"))
    sitecheck.wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", broker_port)) == 0, 10,
                       "the broker")
    api_port, metrics_port, prometheus_port = (sitecheck.free_port() for _ in range(3))
    radar_port = sitecheck.free_port(socket.SOCK_DGRAM)
    database = tmp_path / "junction.sqlite"
    site = sitecheck.site_file(tmp_path, broker_port, radar_port, api_port, database)
    radarsim_site = sitecheck.site_file(tmp_path, broker_port, radar_port, api_port, database,
                                        name="radarsim.conf",
                                        radar_ports={SILENT: sitecheck.free_port(socket.SOCK_DGRAM)})
    with open(site, "a") as text:
        text.write(f"[trackd]\nmetrics_listen = 127.0.0.1:{metrics_port}\n")

    status_path = tmp_path / "statuses.txt"
    processes.start("sub", "mosquitto_sub", "-p", str(broker_port), "-F", "%U %t %p", "-t",
                    "trklib/junction/+/status", stdout=open(status_path, "wb"))
    trackd = processes.start("trackd", program("TRKLIB_TRACKD"), "--config", str(site))
    sited = processes.start("sited", program("TRKLIB_SITED"), "--config", str(site))
    sitecheck.wait_for(lambda: set(statuses(status_path)) == {*RADARS, "site"}, 20,
                       "every radar's and sited's online status")

    config = {"global": {"scrape_interval": "1s", "scrape_timeout": "1s"},
              "scrape_configs": [
                  {"job_name": "trackd", "static_configs": [
                      {"targets": [f"127.0.0.1:{metrics_port}"]}]},
                  {"job_name": "sited", "static_configs": [
                      {"targets": [f"127.0.0.1:{api_port}"]}]}]}
    (tmp_path / "prometheus.yml").write_text(json.dumps(config))  # JSON is YAML
    processes.start("prometheus", "prometheus", f"--config.file={tmp_path / 'prometheus.yml'}",
                    f"--storage.tsdb.path={tmp_path / 'prometheus'}",
                    f"--web.listen-address=127.0.0.1:{prometheus_port}")
    up = lambda: sorted(float(s["value"][1]) for s in query(prometheus_port, "up"))
    sitecheck.wait_for(lambda: answers(lambda: up() == [1.0, 1.0]), 30,
                       "Prometheus scraping trackd and sited")

    simulation = subprocess.run(
        [program("TRKLIB_RADARSIM"), "--site", str(radarsim_site), "--scene", "junction", "--packets",
         str(PACKETS), "--seed", "1", "--quiet"], capture_output=True, text=True, timeout=120)
    assert simulation.returncode == 0, simulation.stderr
    # Once the radars have stopped, every radar's count stands still: its
    # last status and Prometheus's last scrape say the same.
    final = lambda radar: statuses(status_path)[radar][-1][1]["packets"]
    for radar in RADARS:
        figure = f'trklib_radar_packets_total{{radar="{radar}"}}'
        sitecheck.wait_for(lambda: answers(
            lambda: float(query(prometheus_port, figure)[0]["value"][1]) == final(radar)),
            10, f"{figure} at its last status's")
        assert (final(radar) == 0) == (radar == SILENT), (radar, final(radar))
    assert trackd.poll() is None and sited.poll() is None

    published = statuses(status_path)
    packets = samples(prometheus_port, "trklib_radar_packets_total")
    latency = samples(prometheus_port, "trklib_radar_packet_latency_seconds_count")
    for radar in RADARS:
        assert len(packets[radar]) >= PACKETS / 20, (radar, packets[radar])
        assert outside_statuses(packets[radar], published[radar], "packets") == [], radar
        # Every packet's latency is observed once its tracks are out.
        assert latency[radar][-1][1] == packets[radar][-1][1], radar
    pictures = samples(prometheus_port, "trklib_site_pictures_total")[None]
    assert outside_statuses(pictures, published["site"], "pictures") == []
    assert pictures[-1][1] > 10 * PACKETS / 20

    # The objects are those of the last status before the scrape, or of one
    # being published as it came.
    objects = samples(prometheus_port, "trklib_site_objects")[None]
    last = published["site"][-1][0]
    for t, value in objects:
        if t <= last - SLACK_S:
            near = {s["objects"] for at, s in published["site"] if t - SLACK_S <= at <= t + 0.5}
            assert value in near, (t, value, near)
    assert max(value for _, value in objects) > 0

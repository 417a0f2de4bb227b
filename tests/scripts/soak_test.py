"""scripts/soak's pieces without the hour: the memory verdict, the flood's
datagrams and its rate, the relay that silences a radar, the event
comparison (an event lost, unpublished or twice must fail), the faults'
times and the usage; and, when trackd, sited and radarsim are built, a
one-minute run with every fault but the database's."""

import importlib.machinery
import os
import pathlib
import random
import socket
import struct
import subprocess
import sys
import time
import types

import pytest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "soak")
# The script has no .py name: load it as a module of its own.
soak = types.ModuleType("soak")
soak.__file__ = SCRIPT
importlib.machinery.SourceFileLoader("soak", SCRIPT).exec_module(soak)

EVENTS = [{"site": "junction", "event": "enter", "zone": "box", "object": 7, "time": 1000},
          {"site": "junction", "event": "exit", "zone": "box", "object": 7, "time": 1100}]


def samples(kb_at):
    """A sample every 10 s for 20 minutes."""
    return [(t, kb_at(t)) for t in range(0, 1201, 10)]


@pytest.mark.parametrize("what, kb_at, ok", [
    ("flat with noise", lambda t: 20000 + (t // 10 % 3) * 40, True),
    ("growing at first, flat after the warm-up", lambda t: 15000 + min(t, 100) * 50, True),
    ("growing by 150 kB a minute", lambda t: 20000 + t * 2.5, False),
    ("a step of 4 MB halfway", lambda t: 20000 + (4000 if t > 600 else 0), False),
])
def test_memory_verdict(what, kb_at, ok):
    verdict, text = soak.memory_verdict("sited", samples(kb_at), 120, 100)
    assert verdict == ok, text
    assert text.startswith("sited ") and "kB/min (at most 100 kB/min)" in text


def test_memory_verdict_from_after_the_database_outage():
    # sited holds its records while the database is away (minutes 7.5 to 8):
    # a step there, flat after, is no growth; growth after it still is.
    step = samples(lambda t: 22600 + (2800 if t >= 450 else 0))
    ok, text = soak.memory_verdict("sited", step, 120, 100, 540)
    assert ok and text.startswith("sited 22600 kB at minute 2.0 before the database's outage, "
                                  "25400 kB at minute 9.0"), text
    assert not soak.memory_verdict("sited", step, 120, 100)[0]
    growing = samples(lambda t: 22600 + (2800 if t >= 450 else 0) + t * 2.5)
    assert not soak.memory_verdict("sited", growing, 120, 100, 540)[0]


def test_memory_verdict_needs_samples_after_the_warm_up():
    verdict, text = soak.memory_verdict("trackd", [(0, 100), (60, 100)], 120, 100)
    assert not verdict and "too few" in text


def test_flood_datagrams_are_headers_and_garbage_that_complete_nothing():
    rng = random.Random(3)
    for n in range(200):
        datagram = soak.flood_datagram(n, rng, 1796638439500 + n)
        if n % 2 == 0:
            assert len(datagram) == 48 and datagram[:6] == bytes([0xAA] * 5 + [0xAB])
            assert datagram[6] == 2 and datagram[7] == 48
            assert struct.unpack_from("<q", datagram, 12)[0] == 1796638439500 + n
        else:
            assert 1 <= len(datagram) <= 1400 and datagram[0] != 0xAA


def test_flood_keeps_its_rate_and_its_two_senders():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        sink.bind(("127.0.0.1", 0))
        sink.settimeout(0.1)
        flood = soak.Flood(sink.getsockname()[1], 100)
        flood.start()
        senders, got = set(), 0
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            try:
                _, sender = sink.recvfrom(2048)
            except socket.timeout:
                continue
            senders.add(sender[0])
            got += 1
        flood.stop()
    assert senders == {"127.0.0.11", "127.0.0.99"}
    assert 50 <= got <= 110  # 100 a second, no burst


def test_relay_passes_from_the_radars_address_and_holds_back_while_silent():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as trackd, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as radar:
        trackd.bind(("127.0.0.1", 0))
        trackd.settimeout(1)
        relay = soak.Relay("127.0.0.12", trackd.getsockname()[1])
        relay.start()
        try:
            radar.sendto(b"one", ("127.0.0.1", relay.port))
            datagram, sender = trackd.recvfrom(100)
            assert datagram == b"one" and sender[0] == "127.0.0.12"
            relay.silent.set()
            radar.sendto(b"two", ("127.0.0.1", relay.port))
            with pytest.raises(socket.timeout):
                trackd.recvfrom(100)
            relay.silent.clear()
            radar.sendto(b"three", ("127.0.0.1", relay.port))
            assert trackd.recvfrom(100)[0] == b"three"
        finally:
            relay.stop()
    assert (relay.passed, relay.held) == (2, 1)


@pytest.mark.parametrize("what, published, recorded, dropped, failed", [
    ("the same, in another order", EVENTS, EVENTS[::-1], 0, set()),
    ("one not recorded", EVENTS, EVENTS[:1], 0, {"events"}),
    ("one not published", EVENTS[:1], EVENTS, 0, {"events"}),
    ("one not published, counted dropped", EVENTS[:1], EVENTS, 1, set()),
    ("one changed", EVENTS, [EVENTS[0], {**EVENTS[1], "zone": "stop-east"}], 0, {"events"}),
    ("one published twice", EVENTS + EVENTS[:1], EVENTS, 0, {"twice"}),
    ("one recorded twice", EVENTS, EVENTS + EVENTS[1:], 0, {"twice"}),
    ("one in flight at a restart sent again", EVENTS + EVENTS[1:], EVENTS, 0, set()),
    ("one raised long before a restart sent again", EVENTS + EVENTS[:1], EVENTS, 0, {"twice"}),
    ("one in flight at a restart recorded twice", EVENTS, EVENTS + EVENTS[1:], 0, {"twice"}),
])
def test_events(what, published, recorded, dropped, failed, capsys):
    report = soak.Report()
    # The broker away from 6.05 s to 11 s: EVENTS[1] (1.1 s) was in flight, EVENTS[0] (1 s) not.
    windows = [(6050, 11000)] if "restart" in what else []
    soak.compare_events_once(report, published, recorded, dropped, windows)
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines] == ["events", "twice"]
    assert {line.split()[0] for line in lines if "FAILED" in line} == failed, lines
    assert report.failed == bool(failed)


@pytest.mark.parametrize("minutes", [20, 60])
def test_faults_keep_clear_of_the_ends_and_the_database_of_the_broker(minutes):
    played = minutes * 60
    restarts, outage, silence = soak.schedule(played, 300, 120, True)
    assert len(restarts) == minutes // 5 - 1
    for window in restarts + [outage, silence]:
        assert soak.QUIET_EDGE_S <= window[0] < window[1] <= played - soak.QUIET_EDGE_S
    assert not any(soak.overlaps(outage, (a, b + 10)) for a, b in restarts)
    assert silence == (played / 2 - 60, played / 2 + 60)


@pytest.mark.parametrize("arguments, status, says", [
    (["--help"], 0, "SYNOPSIS"),
    (["--minutes", "0"], 2, "--minutes: 0 is not a positive number of minutes"),
    (["--minutes", "1", "--sqlite"], 2, "--warmup-minutes: 2 leaves no minute of 1"),
    (["--minutes", "3", "--silence-minutes", "3"], 2, "--silence-minutes: 3 does not fit"),
    (["--minutes", "1", "--warmup-minutes", "0.2", "--silence-minutes", "0.2"], 2,
     "no room for PostgreSQL's 30 s outage"),
    (["--broker-restart-minutes", "0.1"], 2, "leaves the broker no time up"),
    (["--flood-rate", "5000"], 2, "--flood-rate: 5000 is not 0 to 2000"),
    (["--unknown"], 2, "unrecognized arguments: --unknown"),
])
def test_usage(arguments, status, says):
    done = subprocess.run([sys.executable, SCRIPT, *arguments], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == status
    assert says in (done.stdout if status == 0 else done.stderr)


BUILD = pathlib.Path(os.environ.get("TRKLIB_BUILD_DIR", "build/dev"))


@pytest.mark.skipif(not all((BUILD / "tools" / t / t).exists() for t in ("trackd", "sited",
                                                                        "radarsim")),
                    reason="trackd, sited and radarsim are not built")
# Under AddressSanitizer the programs' memory grows by its quarantine, some
# hundred MB a minute: no run of the soak says anything of theirs.
@pytest.mark.skipif(os.environ.get("TRKLIB_SANITIZE") == "ON",
                    reason="a sanitizer build's memory is the sanitizer's")
def test_a_minute_under_faults():
    # A minute is too short to judge memory by: its line is there, its
    # verdict is not asked for. The script's own temporary folder, not
    # pytest's: the broker, which runs as its own user under root, must
    # reach it to keep its sessions.
    done = subprocess.run(
        [sys.executable, SCRIPT, "--minutes", "1", "--broker-restart-minutes", "0.4",
         "--silence-minutes", "0.25", "--warmup-minutes", "0.25", "--memory-limit", "100000",
         "--sqlite", "--build-dir", str(BUILD)],
        capture_output=True, text=True, timeout=170)
    checks = [line.split()[0] for line in done.stdout.splitlines()]
    assert checks == ["events", "twice", "pictures", "dropped", "broker", "silence", "flood",
                      "memory", "memory", "exit"], done.stdout + done.stderr
    assert done.returncode == 0, done.stdout + done.stderr[-3000:]
    assert "soak: 1:00 of 1:00:" in done.stderr

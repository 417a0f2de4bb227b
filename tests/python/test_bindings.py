"""The bindings give the C++ library's numbers, read captures as trackreplay
does, and turn bad input into Python exceptions."""

import math
import re
import subprocess

import numpy as np
import pytest

import trklib
from conftest import SCENES, program, run, simulate, wire_datagrams
from trklib.csvfiles import TRACK_DTYPE, read_tracks


def same_bits(a, b):
    """Equal numbers, bit for bit (the sign of zero too); any NaN equals any NaN."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if a.shape != b.shape:
        return False
    both_nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(both_nan | ((a == b) & (np.signbit(a) == np.signbit(b)))))


def reference_output(scene):
    """conformance_replay's lines, split into the kinds P, T and V."""
    lines = run(program("TRKLIB_CONFORMANCE_REPLAY"), str(scene)).split("\n")
    return [line.split() for line in lines if line]


def binding_output(scene):
    """The same lines from the bindings: one Assembler, one Engine, validation first."""
    config_text = (scene / "config").read_text().strip()
    tilt, pan, height, pan_offset, orientation = config_text.split(",")
    engine = trklib.Engine(trklib.Config(float(tilt), float(pan), float(height),
                                         float(pan_offset), int(orientation)))
    assembler = trklib.Assembler()
    lines = []
    for number, datagrams in enumerate(wire_datagrams((scene / "packets.bin").read_bytes())):
        packet = None
        for datagram in datagrams:
            packet = assembler.feed(datagram) or packet
        if packet is None:
            continue
        maxima = engine.validate(packet)
        timestamp, targets = engine.track(packet)
        lines.append(["P", number, timestamp, len(targets), len(maxima)])
        lines += [["T", *t] for t in targets.tolist()]
        lines += [["V", *v] for v in maxima.tolist()]
    return lines


@pytest.mark.parametrize("name", SCENES)
def test_conformance_scene_gives_the_libraries_numbers_bit_for_bit(scene_dir, name):
    scene = scene_dir(name)
    expected = reference_output(scene)
    actual = binding_output(scene)
    assert len(actual) == len(expected)
    for want, got in zip(expected, actual):
        assert want[0] == got[0]
        kind, fields = want[0], want[1:]
        integers = {"P": 4, "T": 1, "V": 1}[kind]
        assert [int(f) for f in fields[:integers]] == [int(f) for f in got[1:1 + integers]]
        if kind == "T":
            assert int(fields[-1]) == int(got[-1])  # confirmed
            fields, got = fields[:-1], got[:-1]
        assert same_bits([float(f) for f in fields[integers:]], got[1 + integers:]), (want, got)


def rows_of(replayed):
    """Engine.track results of every packet as trackreplay's rows."""
    rows = []
    for packet, (timestamp, targets) in enumerate(replayed):
        rows += [(packet, timestamp, *t) for t in targets.tolist()]
    return np.array(rows, dtype=TRACK_DTYPE).reshape(-1)


SIMULATIONS = [
    # scene, mounting (tilt, pan, height, pan offset, orientation), radarsim options
    ("road", (0, 0, 5, 0, 0), []),
    ("crossing", (-2, 3, 6, 1.5, 1), ["--max-datagram", "1400", "--loss", "0.02", "--seed", "7"]),
    ("highway", (-1, 0, 8, 0, 0), ["--false-alarms", "4", "--reorder", "0.01"]),
]


@pytest.mark.parametrize("name,mounting,options", SIMULATIONS, ids=[s[0] for s in SIMULATIONS])
def test_read_capture_and_replay_equal_trackreplay(tmp_path, name, mounting, options):
    capture, _, tracks = simulate(tmp_path, name, mounting, *options)
    expected = read_tracks(tracks)
    config = trklib.Config(*mounting)

    replayed = trklib.replay(capture, config)
    engine = trklib.Engine(config)
    tracked = [engine.track(packet) for packet in trklib.read_capture(str(capture))]

    for actual in (rows_of(replayed), rows_of(tracked)):
        assert len(actual) == len(expected)
        for field in expected.dtype.names:
            assert same_bits(actual[field], expected[field]), field


def test_packet_arrays_are_read_only_views_of_the_wire_blocks(scene_dir):
    datagrams = wire_datagrams((scene_dir("traffic") / "packets.bin").read_bytes())[0]
    assembler = trklib.Assembler()
    packet = [assembler.feed(d) for d in datagrams][-1]
    assert packet.sync == bytes.fromhex("AAAAAAAAAAAB")
    assert (packet.version, packet.header_size) == (2, trklib.HEADER_BYTES)
    assert packet.timestamp == int.from_bytes(datagrams[0][12:20], "little", signed=True)
    arrays = [("amplitude", "<i1"), ("rel_velocity", "<f4"), ("distance", "<f4"),
              ("elevation", "<f4"), ("azimuth", "<f4"), ("phase_diff", "<i2")]
    for (name, dtype), block in zip(arrays, datagrams[1:]):
        view = getattr(packet, name)
        assert np.array_equal(view, np.frombuffer(block, dtype=dtype)), name
        assert not view.flags.writeable
        with pytest.raises(ValueError):
            view[0] = 1
    assert assembler.counts["packets"] == 1


GROUND = [
    # elevation, azimuth, distance, Config(...) keywords, expected (x, y) in metres
    (-45.0, 0.0, 7.07, dict(height=5), (5.0, 0.0)),
    (-45.0, 90.0, 7.07, dict(height=5), (0.0, 5.0)),
    (-40.0, 30.0, 7.07, dict(height=5, tilt=-5, pan=60), (0.0, 5.0)),
    (-45.0, -30.0, 7.07, dict(height=5, pan=60, orientation=1), (0.0, 5.0)),
    (0.0, 0.0, 13.0, dict(height=5), (12.0, 0.0)),  # at the horizon: from the slant range
]


@pytest.mark.parametrize("elevation,azimuth,distance,mounting,expected", GROUND)
def test_ground_position_places_targets_on_the_ground(elevation, azimuth, distance, mounting,
                                                      expected):
    targets = np.zeros(1, dtype=trklib.TARGET_DTYPE)
    targets["elevation"], targets["azimuth"], targets["distance"] = elevation, azimuth, distance
    points = trklib.ground_position(targets, trklib.Config(**mounting))
    assert points.shape == (1, 2)
    assert points[0] == pytest.approx(expected, abs=1e-9)


def test_site_position_turns_and_moves_ground_points():
    # Pan 0 looking east (heading 90): the frame's x is east, its y north.
    points = trklib.site_position([[10.0, 0.0], [0.0, 10.0]], x=100.0, y=50.0, heading=90.0)
    assert points == pytest.approx(np.array([[110.0, 50.0], [100.0, 60.0]]))


def test_engine_numbers_its_own_targets_and_reset_restarts(scene_dir):
    packets = []
    assembler = trklib.Assembler()
    for datagrams in wire_datagrams((scene_dir("traffic") / "packets.bin").read_bytes())[:20]:
        packets += [p for p in map(assembler.feed, datagrams) if p is not None]
    first, second = trklib.Engine(), trklib.Engine()
    a = [first.track(p)[1] for p in packets]
    for p in packets[:10]:
        second.track(p)
    second.reset()
    b = [second.track(p)[1] for p in packets]
    assert all(np.array_equal(x, y) for x, y in zip(a, b))
    # The reflectivity of the last targets reported, in their order.
    reflectivity = second.reflectivity()
    assert reflectivity.dtype == trklib.REFLECTIVITY_DTYPE
    assert list(reflectivity["number"]) == list(b[-1]["number"])
    assert (reflectivity["samples"] > 0).all()
    assert (reflectivity["maxDbsm"] >= reflectivity["meanDbsm"]).all()
    second.reset()
    assert len(second.reflectivity()) == 0


def missing(tmp_path):
    return tmp_path / "missing.pcap"


def folder(tmp_path):
    return tmp_path


def empty(tmp_path):
    (tmp_path / "empty.pcap").write_bytes(b"")
    return tmp_path / "empty.pcap"


def text(tmp_path):
    (tmp_path / "notes.pcap").write_text("not a capture\n" * 10)
    return tmp_path / "notes.pcap"


@pytest.mark.parametrize("make,error,message", [
    (missing, FileNotFoundError, "missing.pcap"),
    (folder, IsADirectoryError, "folder"),
    (empty, trklib.CaptureError, "empty file, not a capture"),
    (text, trklib.CaptureError, "not a capture file"),
])
def test_unreadable_captures_raise(tmp_path, make, error, message):
    with pytest.raises(error, match=message):
        trklib.read_capture(make(tmp_path))
    with pytest.raises(error, match=message):
        trklib.replay(make(tmp_path), trklib.Config())


def test_a_cut_off_capture_gives_its_whole_packets_then_raises_as_trackreplay_fails(tmp_path):
    capture, _, _ = simulate(tmp_path, "road", (0, 0, 5, 0, 0), packets=20)
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(capture.read_bytes()[:capture.stat().st_size * 2 // 3])
    failed = subprocess.run([program("TRKLIB_TRACKREPLAY"), str(cut), "-o", "-"],
                            capture_output=True, text=True, timeout=60)
    assert failed.returncode == 1
    whole = int(re.search(r"truncated capture after (\d+) radar packet", failed.stderr)[1])
    assert 0 < whole < 20
    packets = []
    with pytest.raises(trklib.CaptureError, match=f"truncated capture after {whole} radar"):
        for packet in trklib.read_capture(cut):
            packets.append(packet)
    assert len(packets) == whole


@pytest.mark.parametrize("call,error", [
    (lambda: trklib.Config(orientation=2), ValueError),
    (lambda: trklib.Config(tilt=math.nan), ValueError),
    (lambda: trklib.Config(height=math.inf), ValueError),
    (lambda: trklib.Config(height="5"), TypeError),
    (lambda: setattr(trklib.Config(), "orientation", -1), ValueError),
    (lambda: trklib.Engine().track(b"\0" * trklib.PACKET_BYTES), TypeError),
    (lambda: trklib.Assembler().feed(42), TypeError),
    (lambda: trklib.Assembler().feed(np.zeros((4, 4), dtype=np.uint8)), TypeError),
    (lambda: trklib.ground_position(np.zeros((3, 2)), trklib.Config()), TypeError),
    (lambda: trklib.site_position(np.zeros((3, 3))), ValueError),
    (lambda: trklib.read_capture(__file__, port=0), ValueError),
    (lambda: trklib.read_capture(__file__, port=65536), ValueError),
])
def test_bad_input_raises(call, error):
    with pytest.raises(error):
        call()

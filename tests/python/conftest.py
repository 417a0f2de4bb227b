"""Shared fixtures of the Python module's tests.

CTest runs them with PYTHONPATH at the built module and the built programs
in the environment: TRKLIB_RADARSIM, TRKLIB_TRACKREPLAY,
TRKLIB_CONFORMANCE_REPLAY, and TRKLIB_CONFORMANCE_DIR (the scene archives).
"""

import os
import socket
import subprocess
import tarfile

import pytest

import trklib

SCENES = ("crossing", "dropouts", "harmonics", "traffic")


def program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (CTest sets it to the built program)")
    return path


def run(*command):
    """Runs a program to its end; its standard output. Fails the test on a failure."""
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"{command[0]} failed: {done.stderr}"
    return done.stdout


@pytest.fixture(scope="session")
def scene_dir(tmp_path_factory):
    """scene_dir(name): the folder of an unpacked conformance scene."""
    archives = program("TRKLIB_CONFORMANCE_DIR")
    root = tmp_path_factory.mktemp("scenes")

    def unpack(name):
        if not (root / name).is_dir():
            with tarfile.open(os.path.join(archives, f"{name}.tar.gz")) as archive:
                archive.extractall(root)
        return root / name

    return unpack


def wire_datagrams(packets_bin):
    """The packets of a packets.bin, each as its seven datagrams (one per block)."""
    packets = []
    for start in range(0, len(packets_bin), trklib.PACKET_BYTES):
        image = packets_bin[start:start + trklib.PACKET_BYTES]
        datagrams, offset = [], 0
        for size in trklib.BLOCK_BYTES:
            datagrams.append(image[offset:offset + size])
            offset += size
        packets.append(datagrams)
    return packets


def free_udp_port():
    """A UDP port of the loopback address that nothing uses now (never 34567)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def simulate(folder, name, mounting, *options, packets=200):
    """radarsim's capture and truth of a scene, and trackreplay's CSV of it.

    mounting: (tilt, pan, height, pan offset, orientation). Returns the paths
    (capture, truth, tracks).
    """
    flags = ("--tilt", "--pan", "--height", "--pan-offset", "--orientation")
    mounting_args = [str(a) for pair in zip(flags, mounting) for a in pair]
    capture, truth, tracks = (folder / f"{name}.{ext}" for ext in ("pcap", "truth.csv",
                                                                   "tracks.csv"))
    run(program("TRKLIB_RADARSIM"), "--no-send", "--quiet", "--packets", str(packets),
        "--scene", name, "--pcap", str(capture), "--truth", str(truth), *mounting_args,
        *options)
    run(program("TRKLIB_TRACKREPLAY"), str(capture), "-o", str(tracks), *mounting_args)
    return capture, truth, tracks

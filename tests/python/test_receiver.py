"""Live reception over loopback: the packets a sender sends arrive, waits end
in time without holding the GIL, Ctrl-C stops a wait, bad addresses raise."""

import os
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import trklib
from conftest import free_udp_port, wire_datagrams

PACKETS = 5


def send(port, packets, pause_s=0.0):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for datagrams in packets:
            for datagram in datagrams:
                sender.sendto(datagram, ("127.0.0.1", port))
            time.sleep(pause_s)


@pytest.fixture
def wire_packets(scene_dir):
    return wire_datagrams((scene_dir("traffic") / "packets.bin").read_bytes())[:PACKETS]


def test_the_receiver_gets_every_packet_sent_and_ends_on_the_timeout(wire_packets):
    port = free_udp_port()
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=port, radar_address="127.0.0.1")
    sender = threading.Thread(target=send, args=(port, wire_packets, 0.05))
    sender.start()
    start = time.monotonic()
    received = list(receiver.packets(timeout=1.0))
    sender.join()
    assert time.monotonic() - start < 5.0

    assembler = trklib.Assembler()
    expected = [p for d in wire_packets for p in map(assembler.feed, d) if p is not None]
    assert [p.timestamp for p in received] == [p.timestamp for p in expected]
    for got, want in zip(received, expected):
        for name in ("amplitude", "rel_velocity", "distance", "elevation", "azimuth",
                     "phase_diff"):
            assert np.array_equal(getattr(got, name), getattr(want, name)), name
    stats = receiver.stats
    assert (stats["packets"], stats["datagrams"], stats["senders"]) == (PACKETS, 7 * PACKETS, 1)


def test_datagrams_of_another_sender_are_dropped(wire_packets):
    port = free_udp_port()
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=port, radar_address="127.0.0.2")
    send(port, wire_packets)
    assert receiver.receive(timeout=0.3) is None
    assert receiver.stats["foreign_datagrams"] == 7 * PACKETS
    assert receiver.stats["competing_datagrams"] == 0


def test_a_second_sender_of_the_radars_address_competes(wire_packets):
    port = free_udp_port()
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=port, radar_address="127.0.0.1")
    send(port, wire_packets[:1])
    send(port, wire_packets[1:])  # another socket: another source port
    assert receiver.receive(timeout=0.3) is not None
    assert receiver.receive(timeout=0.3) is None
    assert receiver.stats["competing_datagrams"] == 7 * (PACKETS - 1)


@pytest.mark.parametrize("timeout", [0.0, 0.3])
def test_a_wait_without_packets_ends_at_its_timeout(timeout):
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=free_udp_port())
    start = time.monotonic()
    assert receiver.receive(timeout=timeout) is None
    assert list(receiver.packets(timeout=timeout)) == []
    assert timeout * 2 - 0.01 <= time.monotonic() - start < timeout * 2 + 1.0


def test_a_wait_lets_other_threads_run():
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=free_udp_port())
    slept = []

    def sleep_in_steps():
        start = time.monotonic()
        for _ in range(20):
            time.sleep(0.01)
        slept.append(time.monotonic() - start)

    other = threading.Thread(target=sleep_in_steps)
    other.start()
    receiver.receive(timeout=1.5)
    other.join()
    # Holding the GIL through its waits, the receiver would let the other
    # thread run only when the wait ends.
    assert slept[0] < 0.8


def test_another_thread_cannot_receive():
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=free_udp_port())
    errors = []

    def receive():
        try:
            receiver.receive(timeout=0)
        except RuntimeError as error:
            errors.append(str(error))

    other = threading.Thread(target=receive)
    other.start()
    other.join()
    assert errors == ["a Receiver receives in the thread that made it only"]


def test_ctrl_c_stops_a_wait_without_end():
    port = free_udp_port()
    script = ("import trklib\n"
              f"r = trklib.Receiver(bind_address='127.0.0.1', port={port})\n"
              "print('waiting', flush=True)\n"
              "list(r.packets(timeout=None))\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=os.environ.copy())
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=5)
    finally:
        child.kill()
        child.wait()
    assert child.returncode != 0
    assert "KeyboardInterrupt" in err


@pytest.mark.parametrize("arguments,error,message", [
    (dict(bind_address="localhost"), ValueError, "bind address 'localhost'"),
    (dict(bind_address="127.0.0.1", radar_address="radar"), ValueError, "radar address"),
    (dict(bind_address="127.0.0.1", port=0), ValueError, "port"),
    (dict(bind_address="127.0.0.1", port=65536), ValueError, "port"),
    (dict(bind_address="192.0.2.1"), OSError, "cannot bind UDP port"),
])
def test_bad_receiver_arguments_raise(arguments, error, message):
    arguments.setdefault("port", free_udp_port())
    with pytest.raises(error, match=message):
        trklib.Receiver(**arguments)


@pytest.mark.parametrize("timeout", [-1.0, float("nan")])
def test_bad_timeouts_raise(timeout):
    receiver = trklib.Receiver(bind_address="127.0.0.1", port=free_udp_port())
    with pytest.raises(ValueError, match="timeout"):
        receiver.receive(timeout=timeout)
    with pytest.raises(ValueError, match="timeout"):
        receiver.packets(timeout=timeout)

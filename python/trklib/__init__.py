"""trklib: the radar tracking library from Python.

    import trklib
    config = trklib.Config(height=5)
    for timestamp, targets in trklib.replay("road.pcap", config):
        ground = trklib.ground_position(targets[targets["confirmed"]], config)

Config          the radar's mounting (degrees, metres)
Engine          the tracking engine: track(packet), validate(packet), reset()
Packet          one radar packet: header fields, six NumPy arrays of 1024 cells
Assembler       datagrams in, packets out: feed(datagram) -> Packet | None
Receiver        live reception over UDP: packets(timeout), receive(timeout)
read_capture    the radar packets of a pcap or pcapng capture, as trackreplay reads them
replay          read_capture tracked by one engine: [(timestamp, targets), ...]
ground_position reported targets as (n, 2) ground points, metres
site_position   ground points of one radar on a site with several
trklib.metrics  GOSPA, OSPA, identity switches and fragmentations against truth
trklib.sitescore a site's pictures against its truth: GOSPA, switches, handovers
trklib.score    command line: python3 -m trklib.score TRACKS TRUTH, or
                --site PICTURES TRUTH [--tracks TRACKS]
trklib.events   command line: python3 -m trklib.events PICTURES ZONES, the
                events a site's pictures raise in its zones, replayed

Targets, their reflectivity and validation records are NumPy structured
arrays (TARGET_DTYPE, REFLECTIVITY_DTYPE, VALIDATION_DTYPE). Bad input raises ValueError (CaptureError, a ValueError,
for captures), TypeError, or OSError for files and sockets.
"""

import importlib
import os
import stat
import sys


def _require(module, name, debian_package):
    """Imports module, which trklib needs; where that fails, one line that says what to install.

    The extension module is built for Debian's python3 and its NumPy; another
    interpreter (a virtual environment without system packages, a python3 of
    its own) often lacks them.
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        reason = (str(error).strip().splitlines() or ["import failed"])[0]
        message = (f"trklib needs {name} ({reason}): install {debian_package} and use "
                   f"Debian's python3 (/usr/bin/python3); this interpreter is "
                   f"{sys.executable or 'unknown'} (Python {sys.version.split()[0]})")
        raise type(error)(message, name=error.name, path=error.path) from None


# The extension module loads NumPy itself, with a less helpful error.
_require("numpy", "NumPy", "python3-numpy")

from ._trklib import (
    BLOCK_BYTES,
    CELL_COUNT,
    DEFAULT_PORT,
    HEADER_BYTES,
    PACKET_BYTES,
    REFLECTIVITY_DTYPE,
    TARGET_DTYPE,
    VALIDATION_DTYPE,
    Assembler,
    CaptureError,
    Config,
    Engine,
    Packet,
    Receiver,
    ground_position,
    site_position,
)
from ._trklib import CapturePackets as _CapturePackets
from ._trklib import _replay

__all__ = [
    "BLOCK_BYTES",
    "CELL_COUNT",
    "DEFAULT_PORT",
    "HEADER_BYTES",
    "PACKET_BYTES",
    "REFLECTIVITY_DTYPE",
    "TARGET_DTYPE",
    "VALIDATION_DTYPE",
    "Assembler",
    "CaptureError",
    "Config",
    "Engine",
    "Packet",
    "Receiver",
    "ground_position",
    "read_capture",
    "replay",
    "site_position",
]


def _check_capture_file(path):
    """The capture's path as a string, after the checks libpcap reports only vaguely."""
    path = os.fspath(path)
    info = os.stat(path)  # FileNotFoundError, PermissionError on the folder
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(21, "is a folder, not a capture", path)
    if not stat.S_ISREG(info.st_mode):
        raise CaptureError(f"{path}: not a regular file")
    if not os.access(path, os.R_OK):
        raise PermissionError(13, "permission denied", path)
    if info.st_size == 0:
        raise CaptureError(f"{path}: empty file, not a capture")
    return path


def read_capture(path, port=DEFAULT_PORT):
    """The radar packets of a pcap or pcapng capture, as an iterator of Packet.

    The UDP datagrams to port, over IPv4 or IPv6 (fragments reassembled), in
    capture order, assembled per sender with their capture times: the reading
    code of trackreplay, so the packets are those trackreplay tracks. A
    capture on all interfaces of the radar's host gives the frames the host
    received, or those it sent when it received none.

    Raises FileNotFoundError, PermissionError or IsADirectoryError at once;
    CaptureError for a file that is not a capture, or, while iterating, after
    the last whole packet of a damaged or cut-off one; ValueError for a port
    outside 1 to 65535. A capture without radar traffic yields nothing.
    """
    return _CapturePackets(_check_capture_file(path), port)


def replay(path, config, port=DEFAULT_PORT):
    """Every packet of a capture tracked by one new Engine(config).

    Returns a list of (timestamp, targets), one per packet, as Engine.track
    gives them: the rows of trackreplay's CSV. Raises as read_capture does.
    """
    return _replay(_check_capture_file(path), config, port)

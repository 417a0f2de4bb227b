"""The tools' CSV files: trackreplay's targets and radarsim's truth.

read_tracks(path)  trackreplay's rows as a structured array
read_truth(path)   radarsim's truth rows as a structured array
frames(tracks, truth, config, confirmed_only=True)
                   both per packet, matched by timestamp, on the ground,
                   as trklib.metrics.Frame
"""

import csv

import numpy as np

from . import ground_position
from .metrics import Frame

TRACK_DTYPE = np.dtype([
    ("packet", np.int64),
    ("timestamp", np.int64),
    ("number", np.int32),
    ("elevation", np.float64),
    ("azimuth", np.float64),
    ("distance", np.float64),
    ("velocity", np.float64),
    ("confirmed", np.bool_),
])

TRUTH_DTYPE = np.dtype([
    ("packet", np.int64),
    ("timestamp", np.int64),
    ("id", np.int64),
    ("kind", "U16"),
    ("x", np.float64),
    ("y", np.float64),
    ("z", np.float64),
    ("vx", np.float64),
    ("vy", np.float64),
    ("speed_kph", np.float64),
    ("radial_kph", np.float64),
    ("distance", np.float64),
    ("elevation", np.float64),
    ("azimuth", np.float64),
    ("cell", np.int64),
])


def _value(text, kind):
    """One field: int for i, float for f (finite), str for U, 0 or 1 for b."""
    if kind == "b":
        if text not in ("0", "1"):
            raise ValueError(f"'{text}' is not 0 or 1")
        return text == "1"
    if kind == "i":
        return int(text)
    if kind == "f":
        value = float(text)
        if not np.isfinite(value):
            raise ValueError(f"'{text}' is not a finite number")
        return value
    return text


def _read(path, dtype, what):
    """The rows of a CSV whose header is dtype's field names.

    OSError for a file that cannot be read; ValueError, naming the file and
    the line, for another header or a field that is not what it should be.
    """
    names = dtype.names
    kinds = [dtype[name].kind for name in names]
    rows = []
    with open(path, newline="", encoding="utf-8") as file:
        reader = csv.reader(file)
        try:
            header = next(reader, None)
            if header != list(names):
                raise ValueError(f"{path}: not {what} (its first line is not "
                                 f"'{','.join(names)}')")
            for row in reader:
                if len(row) != len(names):
                    raise ValueError(f"{path}: line {reader.line_num}: {len(row)} fields, "
                                     f"not {len(names)}")
                try:
                    rows.append(tuple(_value(t, k) for t, k in zip(row, kinds)))
                except ValueError as error:
                    raise ValueError(f"{path}: line {reader.line_num}: {error}") from None
        except UnicodeDecodeError:
            raise ValueError(f"{path}: not {what} (not UTF-8 text)") from None
    return np.array(rows, dtype=dtype)


def read_tracks(path):
    """trackreplay's CSV (packet,timestamp,number,elevation,azimuth,distance,
    velocity,confirmed) as a structured array of TRACK_DTYPE."""
    return _read(path, TRACK_DTYPE, "a trackreplay CSV")


def read_truth(path):
    """radarsim's truth CSV (packet,timestamp,id,kind,x,y,z,...) as a
    structured array of TRUTH_DTYPE."""
    return _read(path, TRUTH_DTYPE, "a radarsim truth CSV")


def frames(tracks, truth, config, confirmed_only=True):
    """The packets of both files as metrics.Frame, in timestamp order.

    Packets are matched by timestamp (their numbers differ when packets were
    lost on the way). A packet in neither file, with nothing to see and
    nothing reported, is not there to score. Tracks are placed on the
    ground by trklib.ground_position with config, the mounting they were
    tracked with; only confirmed ones unless confirmed_only is False.
    """
    if confirmed_only:
        tracks = tracks[tracks["confirmed"]]
    ground = ground_position(tracks, config)
    truth_points = np.column_stack([truth["x"], truth["y"]]).reshape(-1, 2)
    result = []
    for timestamp in np.union1d(tracks["timestamp"], truth["timestamp"]):
        t = tracks["timestamp"] == timestamp
        o = truth["timestamp"] == timestamp
        result.append(Frame(int(timestamp), truth["id"][o], truth_points[o],
                            tracks["number"][t], ground[t]))
    return result

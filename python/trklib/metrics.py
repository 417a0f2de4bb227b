"""Tracking quality against ground truth: GOSPA, OSPA and track identity.

Positions are points on the ground, (n, 2) arrays of x, y in metres: the
truth as radarsim writes it, the tracks as trklib.ground_position places
them. The distance between two points is the Euclidean one.

gospa(truth, tracks)   generalised optimal sub-pattern assignment, with its
                       localisation, missed and false parts
ospa(truth, tracks)    optimal sub-pattern assignment
score_run(frames)      both per packet, and the identity switches and
                       fragmentations of every truth object, over a run

The optimal assignments come from scipy.optimize.linear_sum_assignment on
the cut-off distances min(d, c) ** p.
"""

from dataclasses import dataclass, field

import numpy as np

from . import _require

# SciPy serves the assignment only: import trklib alone does not need it.
linear_sum_assignment = _require("scipy.optimize", "SciPy", "python3-scipy").linear_sum_assignment

__all__ = [
    "Frame",
    "Gospa",
    "ObjectScore",
    "Ospa",
    "PacketScore",
    "RunScore",
    "gospa",
    "ospa",
    "score_run",
]


@dataclass(frozen=True)
class Gospa:
    """One GOSPA distance and its parts (see gospa()).

    total: metres. localisation, missed, false: the three terms of total ** p
    (metres ** p), so that total ** p == localisation + missed + false; None
    unless alpha is 2. pairs: (k, 2) indices (truth, track) of the assigned
    pairs, each closer than c. n_missed, n_false: truth objects and tracks
    left unassigned.
    """

    total: float
    localisation: object
    missed: object
    false: object
    pairs: np.ndarray
    n_missed: int
    n_false: int


@dataclass(frozen=True)
class Ospa:
    """One OSPA distance (see ospa()).

    total: metres. localisation, cardinality: the two terms of total ** p
    (metres ** p), total ** p == localisation + cardinality.
    """

    total: float
    localisation: float
    cardinality: float


def _points(values, name):
    """values as an (n, 2) float array of finite numbers; ValueError otherwise."""
    try:
        points = np.asarray(values, dtype=float)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be an (n, 2) array of x, y in metres: {error}") from None
    if points.size == 0:
        return points.reshape(0, 2)
    if points.ndim != 2 or points.shape[1] != 2:
        raise ValueError(f"{name} must be an (n, 2) array of x, y in metres, not of shape "
                         f"{points.shape}")
    if not np.all(np.isfinite(points)):
        raise ValueError(f"{name} holds a coordinate that is not a finite number")
    return points


def _check_parameters(c, p, alpha=2.0):
    if not (np.isfinite(c) and c > 0):
        raise ValueError(f"the cut-off c must be a number above 0, not {c}")
    if not (np.isfinite(p) and p >= 1):
        raise ValueError(f"the order p must be a number of at least 1, not {p}")
    if not (np.isfinite(alpha) and 0 < alpha <= 2):
        raise ValueError(f"alpha must be a number above 0 and at most 2, not {alpha}")


def _assignment(truth, tracks, c, p):
    """The distances (m, n) and an assignment minimising sum(min(d, c) ** p).

    linear_sum_assignment on a rectangular matrix assigns every row or every
    column, whichever are fewer: the minimum over the permutations of the
    larger set in the definitions below.
    """
    distances = np.linalg.norm(truth[:, None, :] - tracks[None, :, :], axis=2)
    rows, columns = linear_sum_assignment(np.minimum(distances, c) ** p)
    return distances, rows, columns


def gospa(truth, tracks, c=10.0, p=2.0, alpha=2.0):
    r"""The GOSPA distance between the truth and the tracks of one instant.

    Generalised optimal sub-pattern assignment (A. S. Rahmathullah,
    A. F. Garcia-Fernandez, L. Svensson, "Generalized optimal sub-pattern
    assignment metric", 20th International Conference on Information Fusion,
    2017). For X = {x_1..x_m} (truth) and Y = {y_1..y_n} (tracks) with
    m <= n (else exchange them), d(x, y) the Euclidean distance,
    d_c(x, y) = min(d(x, y), c), c > 0, 1 <= p, 0 < alpha <= 2:

        GOSPA = ( min over permutations pi of {1..n} of
                    sum_{i=1..m} d_c(x_i, y_pi(i)) ** p
                  + (c ** p / alpha) * (n - m) ) ** (1/p)

    With alpha = 2 this is the same as a minimum over assignment sets gamma
    (sets of pairs (i, j), each i and each j in at most one pair):

        GOSPA = ( min over gamma of
                    sum_{(i,j) in gamma} d(x_i, y_j) ** p
                  + (c ** p / 2) * (m - |gamma|)       missed truth objects
                  + (c ** p / 2) * (n - |gamma|) ) ** (1/p)   false tracks

    A pair at d >= c costs at least as much as leaving both unassigned
    (c ** p / 2 twice), so the optimal gamma holds the pairs of the
    permutation form that lie closer than c. Its three sums are the parts
    localisation, missed and false; total ** p is their sum.

    truth, tracks: (m, 2) and (n, 2) arrays of x, y in metres (empty ones
    allowed). Returns a Gospa. ValueError for other shapes, coordinates that
    are not finite, c <= 0, p < 1 or alpha outside (0, 2].
    """
    truth = _points(truth, "truth")
    tracks = _points(tracks, "tracks")
    _check_parameters(c, p, alpha)
    m, n = len(truth), len(tracks)
    distances, rows, columns = _assignment(truth, tracks, c, p)
    close = distances[rows, columns] < c
    pairs = np.column_stack([rows[close], columns[close]]).astype(int).reshape(-1, 2)
    n_missed = m - len(pairs)
    n_false = n - len(pairs)
    if alpha == 2:
        localisation = float(np.sum(distances[pairs[:, 0], pairs[:, 1]] ** p))
        missed = c**p / 2 * n_missed
        false = c**p / 2 * n_false
        total = (localisation + missed + false) ** (1 / p)
        return Gospa(total, localisation, missed, false, pairs, n_missed, n_false)
    cut_off = float(np.sum(np.minimum(distances[rows, columns], c) ** p))
    total = (cut_off + c**p / alpha * abs(n - m)) ** (1 / p)
    return Gospa(total, None, None, None, pairs, n_missed, n_false)


def ospa(truth, tracks, c=10.0, p=2.0):
    r"""The OSPA distance between the truth and the tracks of one instant.

    Optimal sub-pattern assignment (D. Schuhmacher, B.-T. Vo, B.-N. Vo, "A
    consistent metric for performance evaluation of multi-object filters",
    IEEE Transactions on Signal Processing 56(8), 2008). For X = {x_1..x_m}
    and Y = {y_1..y_n} with m <= n (else exchange them), n > 0,
    d_c(x, y) = min(d(x, y), c):

        OSPA = ( (1/n) * ( min over permutations pi of {1..n} of
                              sum_{i=1..m} d_c(x_i, y_pi(i)) ** p
                           + c ** p * (n - m) ) ) ** (1/p)

    and 0 when both sets are empty. Its two terms, each divided by n, are
    the parts localisation and cardinality; total ** p is their sum.
    Arguments and errors as for gospa().
    """
    truth = _points(truth, "truth")
    tracks = _points(tracks, "tracks")
    _check_parameters(c, p)
    m, n = len(truth), len(tracks)
    size = max(m, n)
    if size == 0:
        return Ospa(0.0, 0.0, 0.0)
    distances, rows, columns = _assignment(truth, tracks, c, p)
    localisation = float(np.sum(np.minimum(distances[rows, columns], c) ** p)) / size
    cardinality = c**p * abs(n - m) / size
    return Ospa((localisation + cardinality) ** (1 / p), localisation, cardinality)


@dataclass
class Frame:
    """The truth and the tracks of one packet.

    timestamp: milliseconds. truth_ids (m,) and truth (m, 2): the objects'
    identities and ground positions. track_ids (n,) and tracks (n, 2): the
    target numbers and ground positions.
    """

    timestamp: int
    truth_ids: np.ndarray
    truth: np.ndarray
    track_ids: np.ndarray
    tracks: np.ndarray


@dataclass(frozen=True)
class PacketScore:
    """The scores of one packet: its GOSPA and OSPA, and the identity
    switches and fragmentations of truth objects that happened in it."""

    timestamp: int
    gospa: Gospa
    ospa: Ospa
    switches: int
    fragmentations: int


@dataclass
class ObjectScore:
    """One truth object over a run.

    packets: packets in which the truth lists it; tracked: those in which a
    track was assigned to it (closer than c). switches: packets in which its
    track differs from the one last assigned to it. fragmentations: times
    its tracking resumed after packets in which it was listed but not
    tracked. track_ids: the tracks assigned to it, in order, one entry for
    each change.
    """

    id: int
    packets: int = 0
    tracked: int = 0
    switches: int = 0
    fragmentations: int = 0
    track_ids: list = field(default_factory=list)


@dataclass
class RunScore:
    """Scores over a run: per packet, per truth object, and their sums."""

    c: float
    p: float
    alpha: float
    packets: list
    objects: dict

    def _mean(self, value):
        values = [value(s) for s in self.packets]
        return float(np.mean(values)) if values else float("nan")

    @property
    def gospa_mean(self):
        return self._mean(lambda s: s.gospa.total)

    @property
    def ospa_mean(self):
        return self._mean(lambda s: s.ospa.total)

    @property
    def switches(self):
        return sum(o.switches for o in self.objects.values())

    @property
    def fragmentations(self):
        return sum(o.fragmentations for o in self.objects.values())


def score_run(frames, c=10.0, p=2.0, alpha=2.0):
    """GOSPA and OSPA of every packet, and the identity of the tracks.

    frames: Frame per packet, in time order. A truth object and a track are
    matched in a packet when GOSPA's assignment pairs them (closer than c).
    An identity switch is a packet in which an object is matched to another
    track than the one it was last matched to, after any gap. A
    fragmentation is a packet in which an object is matched again after one
    or more packets in which it was listed in the truth but matched to no
    track (packets in which it is not listed do not count). Returns a
    RunScore.
    """
    _check_parameters(c, p, alpha)
    objects = {}
    last_track = {}  # object id -> the track it was last matched to
    interrupted = set()  # objects tracked before, unmatched since
    scores = []
    for frame in frames:
        g = gospa(frame.truth, frame.tracks, c, p, alpha)
        o = ospa(frame.truth, frame.tracks, c, p)
        matched = {int(frame.truth_ids[i]): int(frame.track_ids[j]) for i, j in g.pairs}
        switches = fragmentations = 0
        for object_id in (int(i) for i in frame.truth_ids):
            score = objects.setdefault(object_id, ObjectScore(object_id))
            score.packets += 1
            track = matched.get(object_id)
            if track is None:
                if object_id in last_track:
                    interrupted.add(object_id)
                continue
            score.tracked += 1
            if object_id in interrupted:
                interrupted.discard(object_id)
                score.fragmentations += 1
                fragmentations += 1
            if object_id in last_track and last_track[object_id] != track:
                score.switches += 1
                switches += 1
            if last_track.get(object_id) != track:
                score.track_ids.append(track)
            last_track[object_id] = track
        scores.append(PacketScore(frame.timestamp, g, o, switches, fragmentations))
    return RunScore(c, p, alpha, scores, objects)

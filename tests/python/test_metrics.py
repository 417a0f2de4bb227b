"""GOSPA and OSPA on hand-worked cases and against brute-force assignments;
identity switches and fragmentations on small runs."""

import itertools
import math

import numpy as np
import pytest

from trklib.metrics import Frame, gospa, ospa, score_run

ORIGIN = [[0.0, 0.0]]
NONE = np.zeros((0, 2))

# truth, tracks, c, p, GOSPA (total, localisation, missed, false), OSPA total
HAND_WORKED = {
    "both empty": (NONE, NONE, 10, 2, (0, 0, 0, 0), 0),
    "one missed": (ORIGIN, NONE, 10, 2, (math.sqrt(50), 0, 50, 0), 10),
    "one false": (NONE, ORIGIN, 10, 2, (math.sqrt(50), 0, 0, 50), 10),
    "one found 5 m off": (ORIGIN, [[3.0, 4.0]], 10, 2, (5, 25, 0, 0), 5),
    "beyond the cut-off": (ORIGIN, [[12.0, 0.0]], 10, 2, (10, 0, 50, 50), 10),
    "at the cut-off": (ORIGIN, [[10.0, 0.0]], 10, 2, (10, 0, 50, 50), 10),
    "just inside the cut-off": (ORIGIN, [[9.5, 0.0]], 10, 2, (9.5, 90.25, 0, 0), 9.5),
    "found and missed": ([[0.0, 0.0], [100.0, 0.0]], [[1.0, 0.0]], 10, 2,
                         (math.sqrt(51), 1, 50, 0), math.sqrt(50.5)),
    "order 1": (ORIGIN, [[3.0, 4.0], [50.0, 0.0]], 10, 1, (10, 5, 0, 5), 7.5),
    "nearest pairs win": ([[0.0, 0.0], [4.0, 0.0]], [[3.0, 0.0], [1.0, 0.0]], 10, 2,
                          (math.sqrt(2), 2, 0, 0), 1),
}


@pytest.mark.parametrize("case", HAND_WORKED.values(), ids=HAND_WORKED.keys())
def test_hand_worked_cases(case):
    truth, tracks, c, p, (total, localisation, missed, false), ospa_total = case
    g = gospa(truth, tracks, c=c, p=p)
    assert (g.total, g.localisation, g.missed, g.false) == pytest.approx(
        (total, localisation, missed, false))
    assert ospa(truth, tracks, c=c, p=p).total == pytest.approx(ospa_total)


def cut_off_permutation_cost(truth, tracks, c, p, alpha, ospa_form):
    """min over permutations of the larger set, as the definitions write it."""
    small, large = sorted((truth, tracks), key=len)
    m, n = len(small), len(large)
    best = min((sum(min(np.linalg.norm(small[i] - large[j]), c) ** p
                    for i, j in zip(range(m), chosen))
                for chosen in itertools.permutations(range(n), m)), default=0.0)
    if ospa_form:
        return ((best + c**p * (n - m)) / n) ** (1 / p) if n else 0.0
    return (best + c**p / alpha * (n - m)) ** (1 / p)


def assignment_set_cost(truth, tracks, c, p):
    """min over assignment sets gamma of the alpha = 2 form, uncut distances."""
    m, n = len(truth), len(tracks)
    best = math.inf
    for k in range(min(m, n) + 1):
        for rows in itertools.combinations(range(m), k):
            for columns in itertools.permutations(range(n), k):
                cost = sum(np.linalg.norm(truth[i] - tracks[j]) ** p
                           for i, j in zip(rows, columns))
                best = min(best, cost + c**p / 2 * (m + n - 2 * k))
    return best


@pytest.mark.parametrize("seed", range(40))
def test_random_sets_against_brute_force(seed):
    random = np.random.default_rng(seed)
    truth = random.uniform(0, 30, size=(random.integers(0, 5), 2))
    tracks = random.uniform(0, 30, size=(random.integers(0, 5), 2))
    c = random.uniform(2, 15)
    p = [1, 2, 3][seed % 3]

    for alpha in (2.0, 1.0, 0.5):
        want = cut_off_permutation_cost(truth, tracks, c, p, alpha, ospa_form=False)
        assert gospa(truth, tracks, c, p, alpha).total == pytest.approx(want)
    want = cut_off_permutation_cost(truth, tracks, c, p, 0, ospa_form=True)
    assert ospa(truth, tracks, c, p).total == pytest.approx(want)

    g = gospa(truth, tracks, c, p)
    best = assignment_set_cost(truth, tracks, c, p)
    assert g.total**p == pytest.approx(best)
    assert g.localisation + g.missed + g.false == pytest.approx(best)
    assert (g.n_missed, g.n_false) == (len(truth) - len(g.pairs), len(tracks) - len(g.pairs))
    distances = [np.linalg.norm(truth[i] - tracks[j]) for i, j in g.pairs]
    assert all(d < c for d in distances)


def test_gospa_is_symmetric_and_zero_only_for_equal_sets():
    random = np.random.default_rng(18)
    for _ in range(200):
        points = random.uniform(-50, 50, size=(random.integers(0, 6), 2))
        other = random.uniform(-50, 50, size=(random.integers(0, 6), 2))
        assert gospa(points, other).total == pytest.approx(gospa(other, points).total)
        assert gospa(points, random.permutation(points)).total == 0
        if len(points):
            moved = points.copy()
            # By a millimetre or much less too: no distance is too small to count.
            moved[random.integers(len(points))] += 10 ** random.uniform(-9, 0)
            assert gospa(points, moved).total > 0
            assert gospa(points, points[1:]).total > 0


def run_of(packets):
    """Frames from packets given as {object: track}: every object listed stands
    at (100 * object, 0), its track (None: no track) on it."""
    frames = []
    for k, packet in enumerate(packets):
        ids = np.array(list(packet), dtype=int)
        truth = np.array([[100.0 * o, 0.0] for o in ids]).reshape(-1, 2)
        tracked = [(t, 100.0 * o) for o, t in packet.items() if t is not None]
        frames.append(Frame(50 * k, ids, truth, np.array([t for t, _ in tracked], dtype=int),
                            np.array([[x, 0.0] for _, x in tracked]).reshape(-1, 2)))
    return frames


# packets as {object: track}, then per object (switches, fragmentations, tracked, tracks)
IDENTITY = {
    "steady": ([{1: 5}] * 4, {1: (0, 0, 4, [5])}),
    "switch": ([{1: 5}, {1: 5}, {1: 6}, {1: 6}], {1: (1, 0, 4, [5, 6])}),
    "fragment": ([{1: 5}, {1: None}, {1: None}, {1: 5}], {1: (0, 1, 2, [5])}),
    "fragment and switch": ([{1: 5}, {1: None}, {1: 6}], {1: (1, 1, 2, [5, 6])}),
    "out of view is no gap": ([{1: 5}, {}, {1: 5}], {1: (0, 0, 2, [5])}),
    "late start is no gap": ([{1: None}, {1: None}, {1: 5}], {1: (0, 0, 1, [5])}),
    "never tracked": ([{1: None}] * 3, {1: (0, 0, 0, [])}),
    "two objects swap tracks": ([{1: 1, 2: 2}, {1: 2, 2: 1}],
                                {1: (1, 0, 2, [1, 2]), 2: (1, 0, 2, [2, 1])}),
}


@pytest.mark.parametrize("case", IDENTITY.values(), ids=IDENTITY.keys())
def test_identity_switches_and_fragmentations(case):
    packets, expected = case
    run = score_run(run_of(packets))
    got = {o.id: (o.switches, o.fragmentations, o.tracked, o.track_ids)
           for o in run.objects.values()}
    assert got == expected
    assert run.switches == sum(s.switches for s in run.packets)
    assert run.fragmentations == sum(s.fragmentations for s in run.packets)
    assert run.switches == sum(e[0] for e in expected.values())


def test_run_means_are_the_means_of_the_packets():
    run = score_run(run_of([{1: 5}, {1: None}, {}]), c=10, p=2)
    assert [s.gospa.total for s in run.packets] == pytest.approx([0, math.sqrt(50), 0])
    assert run.gospa_mean == pytest.approx(math.sqrt(50) / 3)
    assert run.ospa_mean == pytest.approx(10 / 3)


@pytest.mark.parametrize("truth,tracks,parameters,message", [
    ([[0, 0, 0]], NONE, {}, "truth must be an .n, 2. array"),
    (NONE, [0, 1], {}, "tracks must be an .n, 2. array"),
    ([[0, math.nan]], NONE, {}, "not a finite number"),
    ([["a", "b"]], NONE, {}, "truth must be"),
    (NONE, NONE, {"c": 0}, "cut-off c"),
    (NONE, NONE, {"c": math.inf}, "cut-off c"),
    (NONE, NONE, {"p": 0.5}, "order p"),
    (NONE, NONE, {"alpha": 3}, "alpha"),
    (NONE, NONE, {"alpha": 0}, "alpha"),
])
def test_bad_inputs_raise_value_error(truth, tracks, parameters, message):
    with pytest.raises(ValueError, match=message):
        gospa(truth, tracks, **parameters)
    if "alpha" not in parameters:
        with pytest.raises(ValueError, match=message):
            ospa(truth, tracks, **parameters)

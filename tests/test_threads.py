"""Eight threads calling at once on shared inputs get what serial calls get,
failures included: the module keeps no state of its own between calls."""
import threading

import numpy as np

import _vexiloimgc
from conftest import EYE, ONES, shifted

rng = np.random.default_rng(11)
VOL = rng.uniform(-50, 50, (9, 10, 11)).astype(np.float32)
ROT = np.array([0.9, -0.3, 0.1, 1.5, 0.3, 0.9, 0.0, -0.7, 0.0, 0.1, 1.1, 0.25], np.float32)
CASES = [
    (VOL, ONES, EYE),
    (VOL, np.float64([0.7, 1.3, 2.0]), ROT),
    (VOL.astype(">f8")[::-1, :, ::2], ONES, shifted(0.5, -1.5, 0.25)),
    (rng.integers(0, 255, (3, 6, 7, 8), dtype=np.uint8), ONES, ROT),
    (np.asfortranarray(VOL.astype(np.int16)), np.float32([1, 1, np.nan]), EYE),
    (VOL.astype(np.int8), ONES, EYE),                 # refused type
    (VOL, np.ones(2, np.float32), EYE),               # short spacing
    (VOL, ONES, [1.0] * 12),                          # not an array
]


def outcome(case):
    try:
        return _vexiloimgc.transform(*case)
    except Exception as e:  # the failure is part of the result here
        return type(e), str(e)


def same(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.shape == b.shape and a.tobytes() == b.tobytes()
    return a == b


def test_eight_threads_match_serial_calls():
    serial = [outcome(c) for c in CASES]
    rounds = 25
    start = threading.Barrier(8)
    results = [[] for _ in range(8)]

    def work(t):
        start.wait()
        for r in range(rounds):
            k = (t + r) % len(CASES)   # threads run different cases at once
            results[t].append((k, outcome(CASES[k])))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert all(len(r) == rounds for r in results)
    bad = [(t, k) for t, r in enumerate(results) for k, got in r if not same(got, serial[k])]
    assert not bad

"""warp under each mode against mode=None, and warp's cubic reads against
transform's, one thread and all, medians of interleaved rounds.

    python bench/bench_warp_modes.py [rounds]

128^3 float32; the modes through a coarse 16^3 field and a turn about Z;
cubic through the turn and then the identity (two affine steps: warp's
per-point reads on transform's points) against transform with the turn.
"""
import sys
import time
from pathlib import Path

import numpy as np

import vexiloimgc

sys.path.insert(0, str(Path(__file__).resolve().parent))
import maps  # noqa: E402

n = 128
rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
image = np.random.default_rng(0).random((n,) * 3, dtype=np.float32)
m = maps.matrix("rotZ15", image.shape).astype(np.float32)
u = np.random.default_rng(2).normal(0, 2, (16,) * 3 + (3,)).astype(np.float32)
c = vexiloimgc.Field(u, np.full(3, (n - 1) / 15))
ONE = np.ones(3)
eye = np.eye(4, dtype=np.float32)[:3]
# Every method in each round, so a busy machine slows all alike.
for workers in (1, None):
    runs = {"warp mode=None": lambda: vexiloimgc.warp(image, ONE, [c, m], workers=workers)}
    for mode in vexiloimgc.MODES:
        runs[f"warp mode={mode}"] = (
            lambda mode=mode: vexiloimgc.warp(image, ONE, [c, m], mode=mode, workers=workers))
    runs["transform cubic"] = lambda: vexiloimgc.transform(image, ONE, m, interpolation="cubic", workers=workers)
    runs["warp cubic (turn + identity)"] = (
        lambda: vexiloimgc.warp(image, ONE, [m, eye], interpolation="cubic", workers=workers))
    t = {k: [] for k in runs}
    for f in runs.values():
        f()
    for _ in range(rounds):
        for k, f in runs.items():
            a = time.perf_counter()
            f()
            t[k].append(time.perf_counter() - a)
    med = {k: float(np.median(v)) * 1e3 for k, v in t.items()}
    print(f"workers={workers}")
    base = med["warp mode=None"]
    for k, v in med.items():
        print(f"  {k:34s} {v:8.1f} ms  {v / base:5.2f}x of mode=None")
    print(f"  warp cubic / transform cubic: {med['warp cubic (turn + identity)'] / med['transform cubic']:.2f}")

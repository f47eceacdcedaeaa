"""Per-call time of an 8^3 float32 call through the package, for comparing
two builds (run it under each one's interpreter, taking turns):

    python bench/small_call.py      prints: plain call, with out= (us)
"""
import timeit

import numpy as np

import vexiloimgc

img = np.random.default_rng(0).random((8, 8, 8), np.float32)
sp = np.ones(3, np.float32)
m = np.float32([[0.97, -0.24, 0.05, 2.5], [0.24, 0.97, 0, -1.5], [0, 0.02, 1.03, 0.5]])
out = np.empty_like(img)
f = vexiloimgc.transform
n = 20000
plain = min(timeit.repeat(lambda: f(img, sp, m), number=n, repeat=7)) / n * 1e6
into = min(timeit.repeat(lambda: f(img, sp, m, out=out), number=n, repeat=7)) / n * 1e6
print(f"{plain:.3f} {into:.3f}")

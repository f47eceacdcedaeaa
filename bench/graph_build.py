"""Time to build the graph of vexiloimgc.dask.transform for 32,768 output
blocks (a 512^3 float32 dask.array.zeros in 16^3 chunks), beside Dask's own
map_blocks on the same chunks, for the identity and an oblique map:

    python bench/graph_build.py
"""
import time

import dask.array as da
import numpy as np

import vexiloimgc.dask as vd

OBLIQUE = np.array([[0.9, -0.3, 0.1, 20], [0.3, 0.9, -0.2, -10], [-0.1, 0.2, 0.95, 5]])
for name, m in [("identity", np.eye(4)[:3]), ("oblique", OBLIQUE)]:
    src = da.zeros((512,) * 3, np.float32, chunks=16)
    runs = []
    for _ in range(3):
        t = time.perf_counter()
        a = vd.transform(src, np.ones(3), m)
        runs.append(time.perf_counter() - t)
    t = time.perf_counter()
    src.map_blocks(np.negative)
    dask_own = time.perf_counter() - t
    print(f"{name}: {a.npartitions} blocks, {len(a.__dask_graph__())} tasks: "
          f"{min(runs):.3f}-{max(runs):.3f} s (Dask's map_blocks {dask_own * 1e3:.1f} ms)")

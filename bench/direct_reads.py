"""What reading each block's box straight from a zarr array buys over
reading it through the source's chunks (vexiloimgc/dask/sources.py): a
512^3 float32 zarr array in 64^3 chunks resampled through an oblique map
into a zarr array in 64^3 blocks on 2 threads, each way in its own process:

    python bench/direct_reads.py [FOLDER]
"""
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np


def make(path, n=512):
    import zarr

    z = zarr.open_array(path, mode="w", shape=(n,) * 3, chunks=(64,) * 3, dtype="f4")
    rng = np.random.default_rng(0)
    for k in range(0, n, 64):
        z[k:k + 64] = rng.standard_normal((64, n, n), np.float32)


def run(path, way):
    import dask.array as da
    import zarr

    import vexiloimgc.dask as vd
    from vexiloimgc.dask import graph
    from vexiloimgc.images import save_zarr

    if way == "chunks":
        graph.direct_reader = lambda image: None
    m = np.array([[0.9, -0.3, 0.1, 20], [0.3, 0.9, -0.2, -10], [-0.1, 0.2, 0.95, 5]])
    src = da.from_zarr(zarr.open_array(path, mode="r"))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = time.perf_counter()
    out = vd.transform(src, np.ones(3), m, output_chunks=64)
    built = time.perf_counter() - t
    t = time.perf_counter()
    save_zarr(out, np.eye(4), path + ".out.zarr", workers=2)
    ran = time.perf_counter() - t
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    shutil.rmtree(path + ".out.zarr")
    print(f"{way:>6}: graph {built * 1e3:.0f} ms, run {ran:.1f} s, "
          f"peak {(peak - before) / 1024:.0f} MiB above the imports")


if __name__ == "__main__":
    if len(sys.argv) == 3:
        run(*sys.argv[1:])
    else:
        folder = tempfile.mkdtemp(dir=sys.argv[1] if len(sys.argv) > 1 else None)
        try:
            make(folder + "/source.zarr")
            for way in ("direct", "chunks"):
                subprocess.run([sys.executable, __file__, folder + "/source.zarr", way], check=True)
        finally:
            shutil.rmtree(folder)

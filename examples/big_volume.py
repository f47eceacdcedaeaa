"""Reslice a volume larger than a worker's memory, zarr to zarr, on a
LocalCluster of workers with a memory limit each, and check output blocks
bit for bit against in-memory calls on their source regions.

1. Writes a synthetic float32 volume (8 GiB by default) to zarr, block by
   block on the workers.
2. Reslices it through an oblique map (a turn about a skew axis through the
   centre, with a zoom) with `vexiloimgc.dask.transform`, each output block
   from the source box it reaches, and writes the result to zarr, with a
   progress bar.
3. Checks a few random output blocks: the native kernel, called in this
   process on a source region read straight from zarr and wider than the
   block needs, must give the bits the cluster wrote.
4. Prints each worker's peak memory during the reslice.

    python examples/big_volume.py [--gib 8] [--workers 2] [--memory-limit 1.5GiB]
                                  [--chunk 128] [--block 256] [--dir examples/out/big_volume]
"""
import argparse
import os
import shutil
import time

import numpy as np

import vexiloimgc.dask as vd
from vexiloimgc._native import transform as native


def oblique(shape_zyx, spacing_xyz, degrees=25.0, axis=(1.0, 2.0, 3.0), zoom=1.15):
    """Output-to-source 3x4 map: a turn about a skew axis through the
    centre, shrinking the content by `zoom`."""
    k = np.asarray(axis) / np.linalg.norm(axis)
    t = np.radians(degrees)
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    r = (np.eye(3) + np.sin(t) * kx + (1 - np.cos(t)) * kx @ kx) * zoom
    c = (np.array(shape_zyx[::-1]) - 1) * spacing_xyz / 2
    return np.hstack([r, (c - r @ c)[:, None]])


def synthetic(block, block_info=None):
    """Smooth structure plus noise, a function of the voxel's place only."""
    loc = block_info[None]["array-location"]
    z, y, x = np.ogrid[tuple(slice(a, b) for a, b in loc)]
    rng = np.random.default_rng([a for a, _ in loc])
    v = np.sin(x / 37.0) * np.cos(y / 23.0) + np.sin((x + y + z) / 51.0) * 2 + ((x ^ y ^ z) & 64) / 32.0
    return (v + rng.standard_normal(block.shape) * 0.1).astype(np.float32)


def peak_rss_reset():
    """Starts this process's peak resident size afresh (Linux)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss():
    """This process's peak resident size since the last reset, in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return -1


def even(extent, most):
    n = -(-extent // most)
    q, r = divmod(extent, n)
    return tuple(q + (k < r) for k in range(n))


def main():
    import dask.array as da
    import zarr
    from dask.distributed import Client, LocalCluster, progress, wait

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--gib", type=float, default=8.0, help="size of the source volume, GiB")
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--memory-limit", default="1.5GiB", help="per worker")
    p.add_argument("--chunk", type=int, default=128, help="edge of the source's zarr chunks")
    p.add_argument("--block", type=int, default=256, help="largest edge of an output block")
    p.add_argument("--checks", type=int, default=4, help="output blocks checked")
    p.add_argument("--dir", default=os.path.join(os.path.dirname(__file__), "out", "big_volume"))
    p.add_argument("--keep", action="store_true", help="keep the zarr stores")
    a = p.parse_args()

    edge = round((a.gib * 2**30 / 4) ** (1 / 3))
    shape = (edge, edge, edge)
    spacing = np.array([0.8, 0.8, 1.0])
    matrix = oblique(shape, spacing)
    src_path, out_path = os.path.join(a.dir, "source.zarr"), os.path.join(a.dir, "resliced.zarr")
    os.makedirs(a.dir, exist_ok=True)
    print(f"source {shape} float32, {np.prod(shape) * 4 / 2**30:.2f} GiB, chunks of {a.chunk}^3; "
          f"{a.workers} workers of {a.memory_limit}")

    with LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True, memory_limit=a.memory_limit,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        t0 = time.perf_counter()
        vol = da.zeros(shape, np.float32, chunks=a.chunk).map_blocks(synthetic, dtype=np.float32)
        wait(client.compute(vol.to_zarr(src_path, overwrite=True, compute=False, compressors=None)))
        print(f"wrote the source in {time.perf_counter() - t0:.1f} s")

        client.run(peak_rss_reset)
        source = da.from_zarr(src_path)
        chunks = tuple(even(e, a.block) for e in shape)
        out = vd.transform(source, spacing, matrix, output_chunks=chunks)
        t0 = time.perf_counter()
        job = client.compute(out.to_zarr(out_path, overwrite=True, compute=False, compressors=None))
        progress(job)
        job.result()
        took = time.perf_counter() - t0
        peaks = client.run(peak_rss)
    block = max(np.prod([max(c) for c in chunks]) * 4, 1)
    print(f"\nresliced {out.shape} in blocks of up to {tuple(max(c) for c in chunks)} "
          f"({block / 2**20:.0f} MiB) in {took:.1f} s, {np.prod(shape) / took / 1e6:.0f} Mvoxel/s")
    for w, peak in sorted(peaks.items()):
        print(f"  worker {w}: peak memory {peak / 2**30:.2f} GiB")

    # Block checks, in this process: a region wider than the block's box.
    src_z, out_z = zarr.open_array(src_path, mode="r"), zarr.open_array(out_path, mode="r")
    rng = np.random.default_rng()
    blocks = list(vd._block_boxes(shape, spacing, matrix, None, chunks))
    ok = True
    for i in rng.choice(len(blocks), min(a.checks, len(blocks)), replace=False):
        index, window, box = blocks[i]
        got = out_z[tuple(slice(*w) for w in window)]
        if box is None:
            same = bool((got == 0).all())
            print(f"  block {index}: maps nowhere, all zero: {same}")
        else:
            region = tuple((max(lo - 8, 0), min(hi + 8, e)) for (lo, hi), e in zip(box, shape))
            src = src_z[tuple(slice(*r) for r in region)]
            tile = shape + tuple(r[0] for r in region) + tuple(w[0] for w in window)
            want = native(image=src, spacing=spacing, matrix=matrix, output_shape=tuple(b - a for a, b in window),
                          output_spacing=None, cval=0.0, interpolation="linear", tile=tile)
            same = got.tobytes() == want.tobytes()
            print(f"  block {index}: source region {tuple(b - a for a, b in region)} read in memory, "
                  f"bit-identical: {same}")
        ok = ok and same
    if not a.keep:
        shutil.rmtree(a.dir)
    if not ok:
        raise SystemExit(1)


if __name__ == "__main__":
    main()

"""Tiled resampling of a 1 GiB Dask array: vexiloimgc.dask.transform against
dask-image's ndinterp.affine_transform(order=1) on the same array, output
chunking and scheduler, and against one in-memory call of the package;
then a worker's peak memory on a one-worker LocalCluster, zarr to zarr.

Each figure times the second of two back-to-back runs; the methods take
turns, repetition by repetition; medians and min-max are printed and
written to bench/dask.json.

    python bench/bench_dask.py [--edge 645] [--block 215] [--reps 3] [--skip-peer]

`--zarr` (in a process of its own) times zarr to zarr instead: a plain copy
of the store (dask.array.from_zarr(a).to_zarr(b)), vexiloimgc.dask.transform
through a 20-degree oblique turn and dask-image's affine_transform(order=1)
of the same map, each into a fresh store, on the threaded scheduler
(bench/dask_zarr.json). `--warp-graph` times building vexiloimgc.dask.warp's
graph of a 1.4 GiB volume through a turn and a coarse field.
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vexiloimgc
import vexiloimgc.dask as vd

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))
from maps import rotation  # noqa: E402


def oblique(shape_zyx, spacing_xyz, degrees=25.0, axis=(1.0, 2.0, 3.0), zoom=1.15):
    r = rotation(axis, degrees) * zoom
    c = (np.array(shape_zyx[::-1]) - 1) * spacing_xyz / 2
    return np.hstack([r, (c - r @ c)[:, None]])


def index_map_zyx(matrix, spacing, out_spacing):
    """The same map between array indices in (Z, Y, X) order, 4x4, as
    scipy.ndimage and dask-image take it."""
    s = np.diag(1 / np.asarray(spacing, float))
    a = s @ matrix[:, :3] @ np.diag(out_spacing)
    b = s @ matrix[:, 3]
    h = np.eye(4)
    h[:3, :3], h[:3, 3] = a[::-1, ::-1], b[::-1]
    return h


def second_of_two(fn):
    fn()
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def stats(xs):
    return {"median": statistics.median(xs), "min": min(xs), "max": max(xs), "runs": xs}


def peak_rss_reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return rss()


def rss():
    return _status("VmRSS:")


def peak_rss():
    return _status("VmHWM:")


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return -1


def main():
    import dask
    import dask.array as da

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--edge", type=int, default=645, help="edge of the cubic float32 volume (645: 1.0 GiB)")
    p.add_argument("--block", type=int, default=215, help="edge of the output blocks")
    p.add_argument("--chunk", type=int, default=128, help="edge of the source chunks")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--skip-peer", action="store_true", help="leave dask-image out")
    p.add_argument("--zarr", action="store_true", help="zarr to zarr against a plain copy (512^3 by default)")
    p.add_argument("--warp-graph", action="store_true", help="the graph time of dask.warp, 1.4 GiB")
    a = p.parse_args()
    if a.zarr:
        return zarr_to_zarr(a)
    if a.warp_graph:
        return warp_graph(a)

    shape = (a.edge,) * 3
    spacing = np.array([0.8, 0.8, 1.0])
    matrix = oblique(shape, spacing)
    vol = np.random.default_rng(0).standard_normal(shape, dtype=np.float32)
    src = da.from_array(vol, chunks=a.chunk)
    chunks = (a.block,) * 3
    voxels = vol.size
    print(f"{shape} float32, {vol.nbytes / 2**30:.2f} GiB, source chunks {a.chunk}^3, "
          f"output blocks {a.block}^3, {os.cpu_count()} CPUs, threaded scheduler")

    ours = vd.transform(src, spacing, matrix, output_chunks=chunks)
    target = np.empty(shape, np.float32)
    runs = {
        "one call, all cores": lambda: vexiloimgc.transform(vol, spacing, matrix),
        "vexiloimgc.dask, store into an array": lambda: da.store(ours, target, lock=False),
        "vexiloimgc.dask, compute()": lambda: ours.compute(),
        # compute() less Dask's assembly of the blocks into one array
        "vexiloimgc.dask, the blocks alone": lambda: dask.compute(*ours.to_delayed().ravel()),
    }
    if not a.skip_peer:
        from dask_image import ndinterp
        h = index_map_zyx(matrix, spacing, spacing)
        peer = ndinterp.affine_transform(src, h, output_shape=shape, output_chunks=chunks, order=1)
        runs["dask-image affine_transform(order=1), compute()"] = lambda: peer.compute()

    times = {k: [] for k in runs}
    with dask.config.set(scheduler="threads"):
        for rep in range(a.reps):
            for k, fn in runs.items():
                times[k].append(second_of_two(fn))
                print(f"  rep {rep}: {k}: {times[k][-1]:.3f} s", flush=True)
        one = vexiloimgc.transform(vol, spacing, matrix)
        da.store(ours, target, lock=False)
        assert one.tobytes() == target.tobytes(), "tiles differ from one call"
        if not a.skip_peer:
            theirs = peer.compute()
            both = (one != 0) & (theirs != 0)
            agree = float(np.abs(one[both] - theirs[both]).max())
            print(f"dask-image agrees to {agree:.2e} on voxels both set ({both.mean():.1%})")
            del theirs
    del target
    result = {"shape": shape, "block": a.block, "chunk": a.chunk, "cpus": os.cpu_count(),
              "times": {k: stats(v) for k, v in times.items()}}
    base = result["times"]["one call, all cores"]["median"]
    print("\nmedian [min-max] s, ns per output voxel, relative to one call")
    for k, s in result["times"].items():
        print(f"  {k:50s} {s['median']:7.3f} [{s['min']:.3f}-{s['max']:.3f}]  "
              f"{s['median'] / voxels * 1e9:6.2f}  {s['median'] / base:5.2f}x")

    result["memory"] = worker_memory(vol, spacing, matrix, chunks, a.chunk)
    (HERE / "dask.json").write_text(json.dumps(result, indent=1))


def interleaved(runs, reps):
    """Each run's second of two calls, the runs taking turns; their stats."""
    times = {k: [] for k in runs}
    for rep in range(reps):
        for k, fn in runs.items():
            times[k].append(second_of_two(fn))
            print(f"  rep {rep}: {k}: {times[k][-1]:.3f} s", flush=True)
    return {k: stats(v) for k, v in times.items()}


def report(times, base):
    print(f"\nmedian [min-max] s, relative to {base}")
    for k, s in times.items():
        print(f"  {k:45s} {s['median']:7.3f} [{s['min']:.3f}-{s['max']:.3f}]  "
              f"{s['median'] / times[base]['median']:5.2f}x")


def zarr_to_zarr(a):
    """A plain copy of a zarr store against a resampling of it into another."""
    import dask
    import dask.array as da
    import zarr

    edge = 512 if a.edge == 645 else a.edge
    shape, spacing = (edge,) * 3, np.ones(3)
    matrix = oblique(shape, spacing, degrees=20.0, zoom=1.0)
    scratch = tempfile.mkdtemp(prefix="vx_bench_zarr_")
    try:
        src = os.path.join(scratch, "in.zarr")
        z = zarr.open_array(src, mode="w", shape=shape, chunks=(a.chunk,) * 3, dtype="f4")
        rng = np.random.default_rng(0)
        for k in range(0, edge, a.chunk):
            z[k:k + a.chunk] = rng.standard_normal((min(a.chunk, edge - k), edge, edge), np.float32)
        print(f"{shape} float32 zarr in {a.chunk}^3 chunks, {z.nbytes / 2**30:.2f} GiB, "
              f"{os.cpu_count()} CPUs, threaded scheduler, load {os.getloadavg()[0]:.1f}")

        def into(make):
            return lambda: make(da.from_zarr(src)).to_zarr(os.path.join(scratch, "out.zarr"), overwrite=True)

        runs = {"plain copy": into(lambda x: x),
                "vexiloimgc.dask.transform": into(lambda x: vd.transform(x, spacing, matrix))}
        if not a.skip_peer:
            from dask_image import ndinterp
            h = index_map_zyx(matrix, spacing, spacing)
            runs["dask-image affine_transform(order=1)"] = into(
                lambda x: ndinterp.affine_transform(x, h, output_shape=shape, output_chunks=x.chunks, order=1))
        with dask.config.set(scheduler="threads"):
            times = interleaved(runs, a.reps)
            into(lambda x: vd.transform(x, spacing, matrix))()
            got = zarr.open_array(os.path.join(scratch, "out.zarr"), mode="r")[...]
        assert got.tobytes() == vexiloimgc.transform(z[...], spacing, matrix).tobytes(), "differs from one call"
    finally:
        shutil.rmtree(scratch)
    report(times, "plain copy")
    print(f"load after: {os.getloadavg()[0]:.1f}")
    (HERE / "dask_zarr.json").write_text(json.dumps({"shape": shape, "chunk": a.chunk, "times": times}, indent=1))


def warp_graph(a):
    """The time to build dask.warp's graph of a 1.4 GiB volume (720^3
    float32 in 128^3 chunks) through a turn and a field of 8 mm spacing,
    the volume in memory or a zarr store (its metadata alone: nothing is
    read), against Dask's own map_blocks on the same chunks."""
    import dask.array as da
    import zarr

    shape, spacing = (720,) * 3, np.ones(3)
    field = np.random.default_rng(0).standard_normal((91, 91, 91, 3), np.float32)
    steps = [oblique(shape, spacing, degrees=20.0, zoom=1.0), vexiloimgc.Field(field, [8.0] * 3)]
    scratch = tempfile.mkdtemp(prefix="vx_bench_graph_")
    try:
        store = zarr.open_array(os.path.join(scratch, "in.zarr"), mode="w", shape=shape, chunks=(a.chunk,) * 3,
                                dtype="f4")
        sources = {"in memory": da.from_array(np.zeros(shape, np.float32), chunks=a.chunk, name=False),
                   "zarr": da.from_zarr(store)}
        runs = {f"dask.warp graph, {k}": (lambda s: lambda: vd.warp(s, spacing, steps))(s) for k, s in sources.items()}
        runs["Dask's map_blocks"] = lambda: sources["zarr"].map_blocks(np.negative)
        times = interleaved(runs, a.reps)
    finally:
        shutil.rmtree(scratch)
    report(times, "Dask's map_blocks")


def worker_memory(vol, spacing, matrix, chunks, chunk):
    """One worker of one thread, zarr to zarr: its peak resident size
    during the reslice, above where it started, against the largest output
    block plus its source box."""
    import dask.array as da
    from dask.distributed import Client, LocalCluster, wait

    shape = vol.shape
    need = 0
    for _, window, box in vd._block_boxes(shape, spacing, matrix, None,
                                          tuple(vd._even(e, -(-e // c)) for e, c in zip(shape, chunks))):
        size = np.prod([b - a for a, b in window]) + (np.prod([b - a for a, b in box]) if box else 0)
        need = max(need, int(size) * 4)
    scratch = tempfile.mkdtemp(prefix="vx_bench_dask_")
    try:
        da.from_array(vol, chunks=chunk).to_zarr(os.path.join(scratch, "in.zarr"), compressors=None)
        with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, memory_limit="4GiB",
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            source = da.from_zarr(os.path.join(scratch, "in.zarr"))
            lazy = vd.transform(source, spacing, matrix, output_chunks=chunks)
            start = list(client.run(peak_rss_reset).values())[0]
            t0 = time.perf_counter()
            wait(client.compute(lazy.to_zarr(os.path.join(scratch, "out.zarr"), compute=False,
                                             compressors=None)))
            took = time.perf_counter() - t0
            peak = list(client.run(peak_rss).values())[0]
    finally:
        shutil.rmtree(scratch)
    m = {"worker_start_bytes": start, "worker_peak_bytes": peak, "block_plus_box_bytes": need,
         "ratio_above_start": (peak - start) / need, "seconds_one_worker": took}
    print(f"\none worker, one thread, zarr to zarr in {took:.1f} s: peak {peak / 2**20:.0f} MiB, "
          f"{(peak - start) / 2**20:.0f} MiB above its start; largest block plus its box "
          f"{need / 2**20:.0f} MiB; ratio {(peak - start) / need:.2f} (peak / it: {peak / need:.2f})")
    return m


if __name__ == "__main__":
    main()

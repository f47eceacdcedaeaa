"""Resample a batch of volumes with Dask, in worker processes and in threads,
and check that each result is bit for bit the result of one call.

A 4-D image is resampled volume by volume, each from itself, so blocks along
the volume axis can go to different workers without changing a bit.

- Processes: `_vexiloimgc.transform` holds the interpreter lock for its
  whole run, so threads of one process would take turns; processes run side
  by side. One mapping for the whole batch.
- Threads: `vexiloimgc.transform` releases the lock, so Dask's threaded
  scheduler runs blocks side by side in one process, without moving data
  between processes. Here every volume has its own map, as in augmentation.

    python examples/dask_batch.py [--volumes 32] [--size 96] [--chunk 4] [--workers 2]
"""
import argparse
import time

import numpy as np

import _vexiloimgc
import vexiloimgc

BLOCK_META = np.empty((0, 0, 0, 0), np.float32)


def rotation_about_centre(shape_zyx, spacing_xyz, degrees):
    """Flat output-to-source matrix: a turn about Z through the volume centre."""
    t = np.radians(degrees)
    r = np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0], [0, 0, 1]])
    centre = (np.array(shape_zyx[::-1]) - 1) * spacing_xyz / 2
    return np.hstack([r, (centre - r @ centre)[:, None]]).ravel()


def resample_batch(batch, spacing, matrix):
    """Lazy transform of a 4-D dask array, block by block.

    Every block must hold whole volumes: a block cut across Z, Y or X would
    be resampled without its neighbours and differ at the cut."""
    if batch.chunksize[1:] != batch.shape[1:]:
        batch = batch.rechunk({1: -1, 2: -1, 3: -1})
    return batch.map_blocks(_vexiloimgc.transform, spacing, matrix, dtype=np.float32, meta=BLOCK_META)


def random_maps(count, shape_zyx, spacing_xyz, seed=0):
    """One small random turn about the volume centre per volume: (N, 3, 4)."""
    rng = np.random.default_rng(seed)
    return np.stack([rotation_about_centre(shape_zyx, spacing_xyz, d).reshape(3, 4)
                     for d in rng.uniform(-20, 20, count)])


def resample_batch_threaded(batch, spacing, maps):
    """Lazy transform of a 4-D dask array with map k for volume k, for
    Dask's threaded scheduler: each block takes the maps of its volumes, and
    runs on one thread, since Dask runs the blocks side by side."""
    if batch.chunksize[1:] != batch.shape[1:]:
        batch = batch.rechunk({1: -1, 2: -1, 3: -1})

    def block(volumes, block_info=None):
        first, last = block_info[0]["array-location"][0]
        return vexiloimgc.transform(volumes, spacing, maps[first:last], workers=1)

    return batch.map_blocks(block, dtype=np.float32, meta=BLOCK_META)


def main():
    import dask.array as da
    from dask.distributed import Client, LocalCluster

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--volumes", type=int, default=32)
    p.add_argument("--size", type=int, default=96, help="edge of each cubic volume")
    p.add_argument("--chunk", type=int, default=4, help="volumes per block")
    p.add_argument("--workers", type=int, default=2)
    a = p.parse_args()

    shape = (a.volumes, a.size, a.size, a.size)
    spacing = np.array([0.9, 0.9, 1.5])
    matrix = rotation_about_centre(shape[1:], spacing, 25)

    with LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        # The batch is made on the workers, block by block, as data read
        # from files would be.
        batch = da.random.default_rng(7).standard_normal(
            shape, chunks=(a.chunk, -1, -1, -1), dtype=np.float32)
        batch = batch.persist()
        client.wait_for_workers(a.workers)
        t0 = time.perf_counter()
        result = resample_batch(batch, spacing, matrix).compute()
        t_cluster = time.perf_counter() - t0
        source = batch.compute()

    t0 = time.perf_counter()
    single = _vexiloimgc.transform(source, spacing, matrix)
    t_single = time.perf_counter() - t0

    same = bitwise_equal(result, single)
    gb = source.nbytes / 1e9
    print(f"batch {shape} float32 ({gb:.2f} GB), blocks of {a.chunk} volumes")
    print(f"processes: {a.workers} workers {t_cluster:.2f} s (results gathered to this process); "
          f"one call of _vexiloimgc.transform {t_single:.2f} s; bit-identical: {same}")

    # Threads of this process, a map per volume.
    import dask

    maps = random_maps(a.volumes, shape[1:], spacing)
    lazy = resample_batch_threaded(da.from_array(source, chunks=(a.chunk, -1, -1, -1)), spacing, maps)
    t0 = time.perf_counter()
    with dask.config.set(scheduler="threads", num_workers=a.workers):
        threaded = lazy.compute()
    t_threads = time.perf_counter() - t0
    t0 = time.perf_counter()
    single_maps = vexiloimgc.transform(source, spacing, maps, workers=a.workers)
    t_call = time.perf_counter() - t0
    same_threads = bitwise_equal(threaded, single_maps)
    print(f"threads: {a.workers} threads {t_threads:.2f} s; one call of vexiloimgc.transform "
          f"(workers={a.workers}) {t_call:.2f} s; bit-identical: {same_threads}")
    if not (same and same_threads):
        raise SystemExit(1)


def bitwise_equal(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


if __name__ == "__main__":
    main()

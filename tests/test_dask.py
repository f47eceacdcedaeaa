"""A batch split along its volume axis, over worker processes or threads,
gives the bits of one call (examples/dask_batch.py)."""
import importlib.util
import os
from pathlib import Path

import numpy as np
import pytest

import _vexiloimgc
import vexiloimgc

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")

_spec = importlib.util.spec_from_file_location("dask_batch", Path(__file__).parents[1] / "examples" / "dask_batch.py")
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)


@pytest.fixture(scope="module")
def client():
    # Not the default scheduler: the threaded test below must not meet it.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as c:
        pids = set(c.run(os.getpid).values())
        assert len(pids) == 2 and os.getpid() not in pids
        yield c


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float64])
@pytest.mark.parametrize("chunks", [(1, -1, -1, -1), (3, -1, -1, -1), (2, 4, 5, -1)],
                         ids=["one-volume", "uneven", "cut-in-space"])
def test_blocks_give_the_bits_of_one_call(client, dtype, chunks):
    rng = np.random.default_rng(11)
    batch = (rng.random((7, 9, 10, 11)) * 250).astype(dtype)
    spacing = np.array([0.9, 1.1, 1.3])
    matrix = example.rotation_about_centre(batch.shape[1:], spacing, 20)
    lazy = example.resample_batch(da.from_array(batch, chunks=chunks), spacing, matrix)
    assert lazy.dtype == np.float32 and lazy.chunks[1:] == tuple((n,) for n in batch.shape[1:])
    got = lazy.compute(scheduler=client)
    want = _vexiloimgc.transform(batch, spacing, matrix)
    assert got.dtype == np.float32 and np.array_equal(got.view(np.uint32), want.view(np.uint32))


@pytest.mark.parametrize("chunks", [(1, -1, -1, -1), (3, -1, -1, -1), (2, 4, 5, -1)],
                         ids=["one-volume", "uneven", "cut-in-space"])
def test_threads_with_a_map_per_volume(chunks):
    dask = pytest.importorskip("dask")
    rng = np.random.default_rng(12)
    batch = (rng.random((7, 9, 10, 11)) * 250).astype(np.int16)
    spacing = np.array([0.9, 1.1, 1.3])
    maps = example.random_maps(7, batch.shape[1:], spacing)
    lazy = example.resample_batch_threaded(da.from_array(batch, chunks=chunks), spacing, maps)
    with dask.config.set(scheduler="threads", num_workers=3):
        got = lazy.compute()
    assert example.bitwise_equal(got, vexiloimgc.transform(batch, spacing, maps))
    for k in range(7):
        assert example.bitwise_equal(got[k], _vexiloimgc.transform(batch[k], spacing, maps[k].ravel()))

"""vexiloimgc.dask.warp: each block reads the box of the source its points
read, carried through the steps natively, and gives one call's bits."""
import os

import numpy as np
import pytest

import vexiloimgc

da = pytest.importorskip("dask.array")
vd = pytest.importorskip("vexiloimgc.dask")

# The block logic is the host's; under an emulator a few chunkings check the bits.
SEEDS = range(2) if os.environ.get("VX_EMULATED") else range(6)
SP = np.array([0.9, 1.1, 1.3])
MODES = [None, "constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"]


def turn(shape, degrees, shift=0.0):
    t = np.radians(degrees)
    r = np.array([[np.cos(t), -np.sin(t), 0.1], [np.sin(t), np.cos(t), 0.0], [0.0, 0.1, 1.0]])
    c = (np.array(shape[::-1]) - 1) * SP / 2
    return np.hstack([r, (c - r @ c + shift)[:, None]])


def chunking(rng, shape):
    return tuple(tuple(np.diff(np.unique(np.r_[0, rng.integers(1, e, rng.integers(0, 3)), e])).tolist())
                 for e in shape)


def case(name, rng):
    if name == "3-D":
        shape = (18, 20, 22)
        return shape, [turn(shape, 8), vexiloimgc.Field(rng.normal(0, 2, (5, 6, 7, 3)), [4.0, 4.5, 5.0])]
    if name == "4-D per volume":
        shape = (3, 12, 14, 16)
        maps = np.stack([turn(shape[1:], d, s) for d, s in ((5, 0.0), (-7, 1.5), (12, -30.0))])
        return shape, [maps, vexiloimgc.Field(rng.normal(0, 3, (3, 4, 5, 6, 3)), [3.0, 3.5, 5.0])]
    if name == "Dask field":
        shape = (2, 14, 12, 16)
        d = da.from_array(rng.normal(0, 2, (14, 12, 16, 3)).astype(np.float32), chunks=(5, 6, 7, 3))
        return shape, [vexiloimgc.Field(d, SP), turn(shape[1:], -6)]
    if name == "field pointing outside":  # most points past an edge, some many periods away
        shape = (9, 11, 12)
        d = rng.normal(0, 6, (4, 5, 6, 3)) + [10.0, -4.0, 0.0]
        d[0, 0, 0] = [150.0, -90.0, 40.0]
        return shape, [vexiloimgc.Field(d, [3.0, 3.0, 3.0]), turn(shape, 15, 3.0)]
    shape = (16, 18, 14)  # a field on another grid, turned and moved
    return shape, [vexiloimgc.Field(rng.normal(0, 2, (6, 6, 6, 3)), [3.0, 3.0, 4.0], turn(shape, 20, 2.0)),
                   turn(shape, 4)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("interpolation", ["linear", "nearest", "label", "cubic"])
@pytest.mark.parametrize("name", ["3-D", "4-D per volume", "Dask field", "field on another grid",
                                  "field pointing outside"])
def test_bits_of_one_call_over_random_chunkings(name, interpolation, mode):
    rng = np.random.default_rng(len(name))
    shape, steps = case(name, rng)
    img = rng.uniform(-5, 5, shape).astype(np.float32)
    if interpolation in ("nearest", "label"):
        img = (img * 3).astype(np.int16)
    out = dict(output_shape=(shape[-3] + 3, shape[-2] - 2, shape[-1]), output_spacing=SP * 0.95,
               interpolation=interpolation, mode=mode, cval=7)
    want = vexiloimgc.warp(img, SP, steps, **out)
    for seed in SEEDS:
        r = np.random.default_rng(seed)
        got = vd.warp(da.from_array(img, chunks=chunking(r, shape)), SP, steps,
                      output_chunks=chunking(r, want.shape), **out)
        for st in steps:  # the graph holds copies
            (st.displacement if isinstance(st, vexiloimgc.Field) else st)[...] = np.nan
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got.compute(scheduler="threads").view(np.uint8), want.view(np.uint8))
        shape, steps = case(name, np.random.default_rng(len(name)))


def zarr_source(img, chunks):
    zarr = pytest.importorskip("zarr")
    z = zarr.create_array(zarr.storage.MemoryStore(), shape=img.shape, chunks=(5,) * img.ndim, dtype=img.dtype)
    z[...] = img
    return da.from_zarr(z, chunks=chunks)


# Blocks read views of an array in memory or a zarr store box by box, each
# finding its box as it runs; a source of other tasks gives pieces of its
# chunks, the boxes found as the graph is built.
SOURCES = {"views": lambda img, chunks: da.from_array(img, chunks=chunks), "zarr": zarr_source,
           "chunks": lambda img, chunks: da.from_array(img, chunks=chunks).map_blocks(np.copy, dtype=img.dtype)}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("name, interpolation, mode", [("3-D", "linear", None), ("4-D per volume", "cubic", "mirror"),
                                                       ("field pointing outside", "label", "constant")])
def test_each_source_gives_the_bits_and_finds_boxes_where_it_reads(source, name, interpolation, mode, monkeypatch):
    rng = np.random.default_rng(7)
    shape, steps = case(name, rng)
    img = rng.uniform(-5, 5, shape).astype(np.float32 if interpolation != "label" else np.int16)
    want = vexiloimgc.warp(img, SP, steps, interpolation=interpolation, mode=mode, cval=3)
    carried = []
    real = vd.boxes._warp_boxes
    monkeypatch.setattr(vd.boxes, "_warp_boxes", lambda **k: carried.append("edges_n" in k) or real(**k))
    src = SOURCES[source](img, chunking(rng, shape))
    lazy = vd.warp(src, SP, steps, output_chunks=chunking(rng, want.shape),
                   interpolation=interpolation, mode=mode, cval=3)
    # A Dask too old to tell a plain read apart sends every source through its chunks.
    direct = vd.sources.direct_reader(src) is not None
    assert direct == (source != "chunks") or not vd.sources._GETTERS
    assert any(carried) != direct
    np.testing.assert_array_equal(lazy.compute(scheduler="threads").view(np.uint8), want.view(np.uint8))


@pytest.mark.parametrize("interpolation", ["linear", "nearest"])
def test_the_box_is_all_an_inner_block_reads(interpolation):
    # A NaN reaches every voxel whose sums read it, whatever the weight: a
    # plane of NaN just outside the box leaves the block finite, one on its
    # face does not.
    shape = (40, 40, 40)
    rng = np.random.default_rng(3)
    img = rng.uniform(-100, 200, shape).astype(np.float32)
    steps = [turn(shape, 10), vexiloimgc.Field(rng.normal(0, 2, (5, 5, 5, 3)), [10.0, 10.0, 10.0])]
    edges = dict(edges_n=np.array([0, 1], np.int64), edges_z=np.array([0, 14, 26, 40], np.int64))
    edges.update(edges_y=edges["edges_z"], edges_x=edges["edges_z"])
    box = vd._warp_boxes(image=img, spacing=SP, steps=vexiloimgc._steps(steps), output_shape=None,
                         output_spacing=None, cval=0.0, interpolation=interpolation, **edges)[0, 1, 1, 1]
    for axis in range(3):
        lo, hi = box[2 * axis], box[2 * axis + 1]
        assert 0 < lo and hi < 40
        for face, outside in ((lo, lo - 1), (hi - 1, hi)):
            for plane, reads in ((face, True), (outside, False)):
                v = img.copy()
                v[(slice(None),) * axis + (plane,)] = np.nan
                block = vexiloimgc.warp(v, SP, steps, interpolation=interpolation)[14:26, 14:26, 14:26]
                assert np.isnan(block).any() == reads, (axis, plane)


@pytest.mark.parametrize("interpolation, mode", [("linear", None), ("nearest", None), ("cubic", None),
                                                 ("linear", "mirror"), ("label", "constant")])
@pytest.mark.parametrize("name", ["3-D", "4-D per volume", "field on another grid"])
def test_boxes_the_same_on_one_thread_and_two(name, interpolation, mode):
    # Enough points for two threads, and jobs that split a block's rows.
    shape, steps = case(name, np.random.default_rng(5))
    img = np.zeros(shape, np.float32 if interpolation in ("linear", "cubic") else np.int16)
    n = [0, 1] if len(shape) == 3 else [0, 1, shape[0]]
    edges = {k: np.array(e, np.int64) for k, e in
             (("edges_n", n), ("edges_z", [0, 9, 40]), ("edges_y", [0, 30, 64]), ("edges_x", [0, 21, 50, 64]))}
    got = [vd._warp_boxes(image=img, spacing=SP, steps=vexiloimgc._steps(steps), output_shape=(40, 64, 64),
                          output_spacing=None, cval=0.0, interpolation=interpolation, mode=mode, workers=workers,
                          **edges) for workers in (1, 2, None)]
    assert (got[0] >= 0).any()
    np.testing.assert_array_equal(got[0], got[1])
    np.testing.assert_array_equal(got[0], got[2])


@pytest.mark.parametrize("kw", [
    dict(interpolation="sinc"),
    dict(steps=[np.eye(4), "a map"]),
    dict(steps=[vexiloimgc.Field(np.zeros((3, 4, 5, 6, 3)), SP)]),  # 5-D field, 3-D image
    dict(spacing=[1.0, 2.0]),
    dict(output_shape=(4, -1, 4)),
    dict(steps=[np.ones((2, 3, 4))]),
    dict(mode="wrap"),
])
def test_argument_errors_at_graph_build_with_one_calls_messages(kw):
    img = np.zeros((6, 7, 8), np.float32)
    args = dict(spacing=SP, steps=[np.eye(4)])
    args.update(kw)
    spacing, steps = args.pop("spacing"), args.pop("steps")
    with pytest.raises((TypeError, ValueError)) as one:
        vexiloimgc.warp(img, spacing, steps, **args)
    with pytest.raises(one.type, match=None) as lazy:
        vd.warp(da.from_array(img, chunks=3), spacing, steps, **args)
    assert str(lazy.value).replace("vexiloimgc.dask.", "") == str(one.value)


@pytest.mark.parametrize("interpolation", ["linear", "nearest", "label"])
def test_a_tile_maps_nowhere_what_its_box_lacks(interpolation):
    # Every voxel of the window read through a box that holds only some of
    # their samples: the others map nowhere, as transform's tiles leave them.
    from vexiloimgc._native import transform, warp
    rng = np.random.default_rng(8)
    img = rng.uniform(0, 90, (10, 11, 12)).astype(np.float32 if interpolation == "linear" else np.int16)
    lo = (3, 4, 5)
    box = np.ascontiguousarray(img[3:6, 4:7, 5:8])  # its own memory, as a block's is
    tile = img.shape + lo + (2, 2, 2)
    zero = vexiloimgc._steps([vexiloimgc.Field(np.zeros((10, 11, 12, 3)), SP)])
    call = dict(image=box, spacing=SP, output_shape=(6, 7, 8), output_spacing=None, cval=7,
                interpolation=interpolation, tile=tile, workers=1)
    got = warp(steps=zero, **call)
    want = transform(matrix=np.eye(4), **call)
    assert (want == 7).any() and (want != 7).any()
    np.testing.assert_array_equal(got, want)


class Meddling:
    """An extent whose __index__ scales the spacing the call was given."""

    def __init__(self, value, spacing):
        self.value, self.spacing = value, spacing

    def __index__(self):
        self.spacing *= 1.5
        return self.value


def test_each_argument_is_read_once():
    rng = np.random.default_rng(4)
    shape, steps = case("3-D", rng)
    img = rng.uniform(-5, 5, shape).astype(np.float32)
    sp = SP.copy()
    lazy = vd.warp(da.from_array(img, chunks=7), sp, steps, output_shape=(16, 18, Meddling(20, sp)),
                   output_chunks=6)
    assert np.array_equal(sp, SP * 1.5)  # read once, after the extent
    want = vexiloimgc.warp(img, SP * 1.5, steps, output_shape=(16, 18, 20))
    np.testing.assert_array_equal(lazy.compute(scheduler="sync").view(np.uint8), want.view(np.uint8))


def test_volumes_past_one_calls_limit_go_in_groups(monkeypatch):
    # The limit of one call scaled down: blocks of three and two volumes, with
    # maps and fields per volume, warp in groups of two (the last one short),
    # then one by one, each group with its own volumes' steps.
    shape, rng = (5, 12, 14, 16), np.random.default_rng(6)
    maps = np.stack([turn(shape[1:], d) for d in rng.uniform(-15, 15, 5)])
    steps = [maps, vexiloimgc.Field(rng.normal(0, 3, (5, 4, 5, 6, 3)), [3.0, 3.5, 5.0])]
    img = rng.uniform(-100, 100, shape).astype(np.float32)
    want = vexiloimgc.warp(img, SP, steps)
    for limit in (2 * 12 * 14 * 16, 12 * 14 * 16 - 1):  # two volumes, then less than one
        monkeypatch.setattr(vd.blocks, "_CALL", limit)
        lazy = vd.warp(da.from_array(img, chunks=(-1, 5, -1, -1)), SP, steps, output_chunks=((3, 2), 12, 14, 16))
        assert lazy.compute(scheduler="sync").tobytes() == want.tobytes()

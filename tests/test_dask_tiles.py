"""vexiloimgc.dask.transform: Dask arrays tiled by output blocks give the
bits of one call, read only the source they need, and refuse bad arguments
when the graph is built."""
import os
import subprocess
import sys

import numpy as np
import pytest

import vexiloimgc
from vexiloimgc._native import transform as native
from test_dask_filters import random_chunks

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
vd = pytest.importorskip("vexiloimgc.dask")

SHAPE = (13, 17, 19)  # Z, Y, X
SPACING = np.array([0.9, 1.1, 1.3])


def about_centre(r, shape=SHAPE, spacing=SPACING, zoom=1.0):
    c = (np.array(shape[::-1]) - 1) * spacing / 2
    r = np.asarray(r, float) * zoom
    return np.hstack([r, (c - r @ c)[:, None]])


def turn(axis, degrees):
    t = np.radians(degrees)
    c, s = np.cos(t), np.sin(t)
    i, j = [k for k in range(3) if k != axis]
    r = np.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    return r


MAPS = {
    "identity": np.eye(4)[:3],
    "shift": np.hstack([np.eye(3), [[0.37], [-1.6], [0.25]]]),
    "quarter-x": about_centre(turn(0, 90)),
    "quarter-y": about_centre(turn(1, -90)),
    "quarter-z": about_centre(turn(2, 90)),
    "flip-x": about_centre(np.diag([-1.0, 1, 1])),
    "flip-yz": about_centre(np.diag([1.0, -1, -1])),
    "oblique-zoom": about_centre(turn(0, 23) @ turn(1, -31) @ turn(2, 17), zoom=1.35),
    "oblique-shrink": about_centre(turn(2, 40) @ turn(0, 10), zoom=0.6),
    "far-away": np.hstack([np.eye(3), [[500.0], [0], [0]]]),
}


def image(dtype=np.float32, shape=SHAPE, seed=3):
    v = np.random.default_rng(seed).uniform(-100, 200, shape)
    return (v if np.dtype(dtype).kind != "u" else np.abs(v)).astype(dtype)  # values the type holds


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# The three ways a block gets its box: views of one array in memory, reads
# of an array-like, and pieces of the source's chunks.
SOURCES = {
    "views": lambda img, chunks: da.from_array(img, chunks=chunks),
    "array-like": lambda img, chunks: da.from_array(Lazy(img), chunks=chunks),
    "chunks": lambda img, chunks: da.from_array(img, chunks=chunks).map_blocks(np.copy, dtype=img.dtype),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("name", MAPS)
@pytest.mark.parametrize("seed", range(4))
def test_bits_of_one_call_for_any_chunking(name, seed, source):
    rng = np.random.default_rng(seed)
    img = image(seed=seed)
    grid = {} if seed % 2 == 0 else {"output_shape": (11, 20, 14), "output_spacing": [1.2, 0.7, 1.5]}
    cval = [0.0, -7.5, np.nan, 1e30][seed]
    want = vexiloimgc.transform(img, SPACING, MAPS[name], cval=cval, **grid)
    lazy = vd.transform(SOURCES[source](img, random_chunks(img.shape, rng)), SPACING, MAPS[name],
                        output_chunks=random_chunks(want.shape, rng, -1 - seed % 3), cval=cval, **grid)
    assert lazy.dtype == np.float32 and lazy.shape == want.shape
    assert same_bits(lazy.compute(scheduler="sync"), want)


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.int32, np.float64, np.float16, ">f4", np.bool_])
def test_every_element_type(dtype):
    img = image(dtype)
    m = MAPS["oblique-zoom"]
    got = vd.transform(da.from_array(img, chunks=(5, 6, 7)), SPACING, m, output_chunks=(4, 9, 8))
    assert same_bits(got.compute(), vexiloimgc.transform(img, SPACING, m))


@pytest.mark.parametrize("form", ["(N,3,4)", "(N,4,4)", "(N,12)", "(N,16)", "one"])
@pytest.mark.parametrize("chunks,out_chunks", [((1, -1, -1, -1), None), ((2, 5, 6, 7), (3, 4, 9, 8)),
                                               (-1, (5, 13, 3, 19))])
def test_a_map_per_volume(form, chunks, out_chunks):
    n = 5
    img = image(np.int16, (n,) + SHAPE)
    rng = np.random.default_rng(4)
    maps = np.stack([np.vstack([about_centre(turn(2, d) @ turn(0, d / 2)), [0, 0, 0, 1]])
                     for d in rng.uniform(-40, 40, n)])
    matrix = {"(N,3,4)": maps[:, :3], "(N,4,4)": maps, "(N,12)": maps[:, :3].reshape(n, 12),
              "(N,16)": maps.reshape(n, 16), "one": maps[0]}[form]
    lazy = vd.transform(da.from_array(img, chunks=chunks), SPACING, matrix, output_chunks=out_chunks)
    assert same_bits(lazy.compute(scheduler="threads"), vexiloimgc.transform(img, SPACING, matrix))


def test_volumes_past_one_calls_limit_go_in_groups(monkeypatch):
    # The limit of one call scaled down: groups of volumes, then one by one.
    img = image(np.float32, (5,) + SHAPE)
    maps = np.stack([about_centre(turn(1, 9 * k)) for k in range(5)])
    want = vexiloimgc.transform(img, SPACING, maps)
    for limit in (2 * 13 * 17 * 19, 13 * 17 * 19 - 1):
        monkeypatch.setattr(vd.blocks, "_CALL", limit)
        lazy = vd.transform(da.from_array(img, chunks=(-1, 7, -1, -1)), SPACING, maps, output_chunks=(5, 4, 17, 19))
        assert same_bits(lazy.compute(scheduler="sync"), want)


def guarded(img, chunks, forbidden):
    """A Dask array of img whose blocks in `forbidden` raise when read."""
    def load(block, block_id=None):
        if block_id in forbidden:
            raise AssertionError(f"source block {block_id} was read")
        return block
    return da.from_array(img, chunks=chunks).map_blocks(load, dtype=img.dtype)


def test_blocks_read_only_what_they_need():
    # Source x = out x / 2 + 20 along X: output x >= 24 maps nowhere, and
    # only source x >= 20 is read (X blocks 2 and 3 of 8 voxels).
    img = image(shape=(6, 7, 32))
    m = np.array([[0.5, 0, 0, 20], [0, 1, 0, 0], [0, 0, 1, 0]])
    one = np.ones(3)
    src = guarded(img, (3, 4, 8), {(z, y, x) for z in range(2) for y in range(2) for x in (0, 1)})
    lazy = vd.transform(src, one, m, output_chunks=(3, 4, 8), cval=5.0)
    graph = dict(lazy.__dask_graph__())
    keys = [k for plane in lazy.__dask_keys__() for row in plane for k in row]
    nowhere = [k for k in keys if k[3] == 3]
    assert nowhere and all(not dask.core.get_dependencies(graph, k) for k in nowhere)
    assert all(dask.core.get_dependencies(graph, k) for k in keys if k[3] < 3)
    got = lazy.compute(scheduler="threads")
    assert same_bits(got, vexiloimgc.transform(img, one, m, cval=5.0))
    assert (got[..., 24:] == 5).all()


def test_a_map_to_nowhere_reads_nothing():
    img = image()
    src = guarded(img, 5, {(z, y, x) for z in range(3) for y in range(4) for x in range(4)})
    lazy = vd.transform(src, SPACING, MAPS["far-away"], cval=-1.0, output_chunks=6)
    assert same_bits(lazy.compute(), np.full(SHAPE, -1, np.float32))


def boxes(name, window_chunks):
    for _, window, box in vd._block_boxes(SHAPE, SPACING, MAPS[name], None, window_chunks):
        yield window, box


@pytest.mark.parametrize("name", [n for n in MAPS if n != "far-away"])
def test_the_box_is_enough_and_one_voxel_less_is_not(name):
    img = image()
    m = MAPS[name]
    want = vexiloimgc.transform(img, SPACING, m)
    shrinkable = differ = 0
    for window, box in boxes(name, ((5, 5, 3), (6, 6, 5), (7, 6, 6))):
        w = want[tuple(slice(a, b) for a, b in window)]
        if box is None:
            assert (w == 0).all()
            continue
        ws = tuple(b - a for a, b in window)

        def run(bx):
            tile = SHAPE + tuple(a for a, _ in bx) + tuple(a for a, _ in window)
            return native(img[tuple(slice(a, b) for a, b in bx)], SPACING, m, None, 1, ws, None, 0.0, "linear", tile)

        assert same_bits(run(box), w)
        for axis in range(3):
            lo, hi = box[axis]
            for less in ((lo + 1, hi), (lo, hi - 1)):
                if hi - lo > 1 and (less[0] > lo > 0 or less[1] < hi < SHAPE[axis]):
                    shrinkable += 1
                    differ += not same_bits(run(box[:axis] + (less,) + box[axis + 1:]), w)
    # Most sides not cut by the volume's own faces are needed; the others'
    # last plane is read only by the window's corner voxels that map nowhere
    # (another axis out, or two in bands).
    assert shrinkable and differ >= 0.6 * shrinkable


def direct(img, sp, m, interpolation="linear", output_shape=None, output_spacing=None, cval=0.0):
    return vexiloimgc.transform(img, sp, m, interpolation=interpolation, output_shape=output_shape,
                                output_spacing=output_spacing, cval=cval)


def expect_same_error(direct, lazy):
    with pytest.raises(Exception) as want:
        direct()
    with pytest.raises(type(want.value)) as got:
        lazy()
    assert str(got.value) == str(want.value)


BAD = {
    "short spacing": dict(spacing=np.array([1.0, 1.0])),
    "complex spacing": dict(spacing=np.ones(3, np.complex64)),
    "spacing of strings": dict(spacing=["a", "b", "c"]),
    "short matrix": dict(matrix=np.zeros(11)),
    "matrix (2, 12)": dict(matrix=np.zeros((2, 12))),
    "bool matrix": dict(matrix=np.ones(12, bool)),
    "output_shape of 2": dict(output_shape=(5, 5)),
    "output_shape not ints": dict(output_shape=(5, "a", 5)),
    "output_shape an int": dict(output_shape=5),
    "output_shape negative": dict(output_shape=(5, -1, 5)),
    "output_shape of 4 for 3-D": dict(output_shape=(1, 5, 5, 5)),
    "output_spacing zero": dict(output_spacing=np.array([1.0, 0, 1])),
    "output_spacing nan": dict(output_spacing=[1.0, np.nan, 1]),
    "output_spacing short": dict(output_spacing=np.ones(2)),
    "cval text": dict(cval="zero"),
    "cval none": dict(cval=None),
    "interpolation": dict(interpolation="quintic"),
    "interpolation not text": dict(interpolation=1),
    "complex image": dict(image=np.zeros(SHAPE, np.complex64)),
    "2-D image": dict(image=np.zeros((4, 5), np.float32)),
    "5-D image": dict(image=np.zeros((1, 2, 3, 4, 5), np.float32)),
    "maps of 3 for 4 volumes": dict(image=np.zeros((4,) + SHAPE, np.float32), matrix=np.zeros((3, 3, 4))),
    "output_shape of 4 wrong N": dict(image=np.zeros((4,) + SHAPE, np.float32), output_shape=(3, 5, 5, 5)),
}


@pytest.mark.parametrize("bad", BAD.values(), ids=BAD.keys())
def test_errors_when_the_graph_is_built(bad):
    args = dict(image=image(), spacing=SPACING, matrix=MAPS["shift"])
    args.update(bad)
    img, sp, m = args.pop("image"), args.pop("spacing"), args.pop("matrix")
    src = guarded(img, 5, {tuple(i) for i in np.ndindex(*(len(c) for c in da.from_array(img, chunks=5).chunks))})
    expect_same_error(lambda: direct(img, sp, m, **args),
                      lambda: vd.transform(src, sp, m, **args))


def test_one_calls_size_limit_is_lifted():
    big = da.zeros((1024, 1024, 1024), np.uint8, chunks=256)
    with pytest.raises(ValueError, match=r"out must have the output's shape \(1024, 1024, 1024\)"):
        vexiloimgc.transform(np.zeros((1, 1, 1)), SPACING, MAPS["identity"], output_shape=(1024, 1024, 1024),
                             out=np.zeros((1, 1, 1), np.float32))
    lazy = vd.transform(big, SPACING, MAPS["identity"], output_shape=(1024, 1024, 1024))
    assert lazy.shape == (1024,) * 3 and max(max(c) for c in lazy.chunks) <= 512
    with pytest.raises(ValueError, match=r"up to \(Z, Y, X\) = \(1024, 1024, 1024\) hold more voxels than one call"):
        vd.transform(big, SPACING, MAPS["identity"], output_chunks=1024)


@pytest.mark.parametrize("mode", ["nearest", "label"])
def test_other_interpolations_give_the_bits_of_one_call(mode):
    img = image(np.int16)
    m = MAPS["oblique-zoom"]
    want = direct(img, SPACING, m, interpolation=mode)
    lazy = vd.transform(da.from_array(img, chunks=5), SPACING, m, interpolation=mode, output_chunks=(4, 9, 8))
    assert lazy.dtype == want.dtype and same_bits(lazy.compute(), want)


def test_default_output_chunks():
    src = da.zeros((40, 50, 60), np.float32, chunks=(7, 20, 60))
    assert vd.transform(src, SPACING, MAPS["shift"]).chunks == src.chunks
    big = vd.transform(src, SPACING, MAPS["shift"], output_shape=(400, 500, 600))
    sizes = [max(c) for c in big.chunks]
    assert np.prod(sizes) * 4 <= 128 << 20 and all(max(c) - min(c) <= 1 for c in big.chunks)


def test_import_leaves_dask_alone():
    code = "import sys, vexiloimgc; vexiloimgc.transform; assert 'dask' not in sys.modules, 'dask imported'"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_threads_scheduler_on_every_core():
    img = image(shape=(40, 48, 56))
    m = about_centre(turn(0, 20) @ turn(2, 35), shape=img.shape, zoom=1.1)
    lazy = vd.transform(da.from_array(img, chunks=(9, 16, 20)), SPACING, m, output_chunks=(13, 20, 17))
    with dask.config.set(scheduler="threads", num_workers=3):
        got = lazy.compute()
    assert same_bits(got, vexiloimgc.transform(img, SPACING, m))


@pytest.mark.parametrize("processes", [False, True], ids=["threads-cluster", "process-cluster"])
def test_distributed_with_a_memory_limit(processes):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory puts a worker past any small memory limit")
    distributed = pytest.importorskip("dask.distributed")
    img = image(np.int16, shape=(3, 24, 40, 36))
    maps = np.stack([about_centre(turn(1, 12 * k) @ turn(0, 5), shape=img.shape[1:], zoom=0.9) for k in range(3)])
    # A threads cluster's limit is this whole process's: what the suite has
    # imported by now (SimpleITK, scipy, nibabel) must not pause its workers.
    limit = 400 * 2**20 + (0 if processes else pytest.importorskip("psutil").Process().memory_info().rss)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes, memory_limit=limit,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        src = da.from_array(img, chunks=(2, 10, 15, 36)).persist(scheduler=client)
        lazy = vd.transform(src, SPACING, maps, output_chunks=(1, 8, 25, 20))
        got = lazy.compute(scheduler=client)
        if processes:
            assert os.getpid() not in set(client.run(os.getpid).values())
    assert same_bits(got, vexiloimgc.transform(img, SPACING, maps))


class Lazy:
    """An array-like that records what is read of it, as a file would be."""

    def __init__(self, a):
        self.a, self.shape, self.dtype, self.ndim, self.reads = a, a.shape, a.dtype, a.ndim, []

    def __getitem__(self, sel):
        self.reads.append(sel)
        return self.a[sel]


@pytest.mark.parametrize("name", ["oblique-zoom", "quarter-y", "shift"])
def test_array_likes_are_read_box_by_box(name):
    img = image()
    src = Lazy(img)
    lazy = vd.transform(da.from_array(src, chunks=(4, 5, 6)), SPACING, MAPS[name], output_chunks=(5, 6, 7))
    src.reads.clear()
    assert same_bits(lazy.compute(scheduler="threads"), vexiloimgc.transform(img, SPACING, MAPS[name]))
    reads = list(src.reads)
    if vd._direct_reader(da.from_array(src, chunks=4)) is None:
        # Dask before its task graph classes (as beside NumPy 1.23): the
        # generic path through the chunks serves, with the same bits.
        pytest.skip(f"Dask {dask.__version__}: plain reads of an array-like are not recognised")
    boxes = [b for _, _, b in vd._block_boxes(SHAPE, SPACING, MAPS[name], None, lazy.chunks) if b is not None]
    assert sorted(tuple((s.start, s.stop) for s in r) for r in reads) == sorted(boxes)
    # Anything else Dask made of the array-like goes through its chunks.
    assert vd._direct_reader(da.from_array(src, chunks=4)[1:]) is None
    assert same_bits(vd.transform(da.from_array(src, chunks=4) + 0, SPACING, MAPS[name]).compute(),
                     vexiloimgc.transform(img, SPACING, MAPS[name]))


def test_unknown_chunk_sizes_are_refused():
    img = da.from_array(image(), chunks=5)
    with pytest.raises(ValueError, match="chunk sizes must be known"):
        vd.transform(img[img[:, 0, 0] > 0], SPACING, MAPS["shift"])

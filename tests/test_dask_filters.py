"""vexiloimgc.dask.transform with the filters ("cubic" under every mode,
antialias): each block filters its source box grown by the filters' reach,
with the whole source's edges, and gives the bits of one call."""
import os

import numpy as np
import pytest

import vexiloimgc
from vexiloimgc._native import transform as native

da = pytest.importorskip("dask.array")
vd = pytest.importorskip("vexiloimgc.dask")

MODES = [None, "constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"]
SPACING = np.array([0.9, 1.1, 1.3])
# The block logic is the host's; under an emulator one seed checks the bits.
EMULATED = bool(os.environ.get("VX_EMULATED"))


def about_centre(shape, degrees, zoom, shift=(0.0, 0.0, 0.0)):
    t = np.radians(degrees)
    r = np.array([[np.cos(t), -np.sin(t), 0.2], [np.sin(t), np.cos(t), -0.1], [0.1, 0.0, 1.0]]) * zoom
    c = (np.array(shape[::-1]) - 1) * SPACING / 2
    return np.hstack([r, (c - r @ c + shift)[:, None]])


# Maps that stay inside, smooth (zoom above 1), read past every edge
# (shrink), land far outside, where the modes read the far side, and smooth
# reading further past every edge than the prefilter reaches.
def maps(shape):
    return [about_centre(shape, 17, 1.7), about_centre(shape, -31, 0.6),
            about_centre(shape, 5, 1.2, (2.5, -1.5, 0.7)), np.hstack([np.eye(3), [[40.0], [-3.0], [1.0]]]),
            about_centre(shape, 0, 3.0)]


def random_chunks(shape, rng, single=None):
    """Uneven cuts; or axis `single` (counted from the end) cut into voxels,
    the others whole."""
    out = []
    for k, e in enumerate(shape):
        cuts = sorted(set(rng.integers(1, e, rng.integers(0, 4)).tolist())) if e > 1 else []
        if single is not None:
            cuts = list(range(1, e)) if k - len(shape) == single else []
        edges = [0] + cuts + [e]
        out.append(tuple(b - a for a, b in zip(edges, edges[1:])))
    return tuple(out)


@pytest.mark.parametrize("antialias", [False, True])
@pytest.mark.parametrize("mode", MODES + ["linear"])
@pytest.mark.parametrize("four", [False, True], ids=["3-D", "4-D"])
@pytest.mark.parametrize("seed", range(1 if EMULATED else 3))
def test_bits_of_one_call_for_any_chunking(mode, antialias, four, seed):
    at = MODES.index(mode) if mode in MODES else 9
    rng = np.random.default_rng([seed, four, antialias, at])
    shape = (11, 14, 16)
    img = rng.uniform(-100, 200, ((3,) if four else ()) + shape).astype(np.float32)
    choices = maps(shape)
    if four:  # a map per volume
        matrix = np.stack([choices[(seed + k) % len(choices)] for k in range(3)])
    else:
        matrix = choices[(seed + at) % len(choices)]
    interpolation, m = ("linear", None) if mode == "linear" else ("cubic", mode)
    kw = dict(interpolation=interpolation, mode=m, antialias=antialias, cval=-7.5)
    want = vexiloimgc.transform(img, SPACING, matrix, **kw)
    for k in range(3):
        src = da.from_array(img, chunks=random_chunks(img.shape, rng))
        if seed == 1:  # read through the source's chunks, not views of one array
            src = src.map_blocks(np.copy, dtype=img.dtype)
        out = random_chunks(want.shape, rng, -1 - (seed + at) % 3 if k == 0 else None)
        got = vd.transform(src, SPACING, matrix, output_chunks=out, **kw).compute()
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


@pytest.mark.skipif(EMULATED, reason="minutes under an emulator")
@pytest.mark.parametrize("kw,reach", [
    (dict(interpolation="cubic"), ("cubic", None, False)),
    (dict(interpolation="cubic", mode="nearest", antialias=True), ("cubic", "nearest", True)),
    (dict(interpolation="cubic", mode="grid-wrap"), ("cubic", "grid-wrap", False)),
    (dict(interpolation="linear", antialias=True), ("linear", None, True)),
    (dict(interpolation="linear", mode="mirror", antialias=True), ("linear", "mirror", True)),
    (dict(interpolation="nearest", mode="grid-wrap"), ("nearest", "grid-wrap", False)),
])
def test_the_grown_box_is_all_an_inner_block_reads(kw, reach):
    # A NaN reaches every voxel whose sums read it, whatever the weight: in
    # one call, a plane of NaN just outside the box leaves the block
    # finite, one on the box's face does not.
    shape = (64, 64, 64)
    img = np.random.default_rng(5).uniform(-100, 200, shape).astype(np.float32)
    sp = np.ones(3)
    m = about_centre(shape, 12, 1.9 if kw.get("antialias") else 1.0)
    (_, window, box), = [b for b in vd._block_boxes(shape, sp, m, None, ((28, 8, 28),) * 3, reach)
                         if b[0] == (1, 1, 1)]
    w = [slice(a, b) for a, b in window]
    for axis, (lo, hi) in enumerate(box):
        assert 0 < lo and hi < 64
        for face, outside in ((lo, lo - 1), (hi - 1, hi)):
            for plane, reads in ((face, True), (outside, False)):
                v = img.copy()
                v[(slice(None),) * axis + (plane,)] = np.nan
                block = vexiloimgc.transform(v, sp, m, **kw)[tuple(w)]
                assert np.isnan(block).any() == reads, (axis, plane)


def test_a_block_past_an_edge_under_grid_wrap_reads_the_whole_axis():
    shape = (64, 64, 64)
    m = np.hstack([np.eye(3), [[0.0], [0.0], [3.0]]])  # Z reads 3 planes on: past the far edge
    chunks = ((32, 32), (20, 24, 20), (32, 32))
    got = {b[0]: b[2] for b in vd._block_boxes(shape, np.ones(3), m, None, chunks, ("cubic", "grid-wrap", False))}
    # Z passes its far edge, X's prefilter its near one: whole; Y reads
    # coefficients 19 to 45 and their prefilter's 12 planes either side.
    assert got[(1, 1, 0)] == ((0, 64), (19 - 12, 45 + 12 + 1), (0, 64))


@pytest.mark.parametrize("kw", [dict(interpolation="linear", mode="wrap"), dict(mode="wrap", interpolation="cubic"),
                                dict(interpolation="nearest", antialias=True), dict(antialias=1)])
def test_errors_of_one_call_when_the_graph_is_built(kw):
    img = np.zeros((6, 7, 8), np.float32)
    with pytest.raises(Exception) as one:
        vexiloimgc.transform(img, np.ones(3), np.eye(4), **kw)
    with pytest.raises(type(one.value)) as lazy:
        vd.transform(da.from_array(img, chunks=3), np.ones(3), np.eye(4), **kw)
    assert str(lazy.value) == str(one.value)


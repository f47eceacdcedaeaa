"""vexiloimgc.dask.transform and tiled calls with "linear", "nearest" and
"label" under every mode: each block reads the box the mode's extension
reaches, and gives the bits of one call."""
import numpy as np
import pytest

import vexiloimgc
from test_dask_filters import EMULATED, SPACING, about_centre, random_chunks

da = pytest.importorskip("dask.array")
vd = pytest.importorskip("vexiloimgc.dask")

MODES = ["constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"]
# Per rule, two element types; "linear" with antialias too.
RULES = {"linear": (np.float32, np.int16), "antialias": (np.float32, np.uint8),
         "nearest": (np.float64, np.uint16), "label": (np.uint8, np.int32)}


def maps(shape):
    """Inside, whole samples (plane i0 + 1 unread), past every edge, and far
    outside (many periods away)."""
    return [about_centre(shape, 17, 1.7), np.hstack([np.eye(3), [[1.0], [0.0], [-2.0]]]),
            about_centre(shape, -31, 0.6), about_centre(shape, 5, 1.2, (2.5, -1.5, 0.7)),
            np.hstack([np.eye(3) * 0.9, [[-1000.25], [333.5], [47.0]]])]


def image(shape, dtype, rng):
    if np.issubdtype(dtype, np.floating):
        return rng.uniform(-100, 200, shape).astype(dtype)
    return rng.integers(0, 5, shape).astype(dtype)  # few labels: ties


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("rule", list(RULES))
@pytest.mark.parametrize("four", [False, True], ids=["3-D", "4-D"])
@pytest.mark.parametrize("seed", range(1 if EMULATED else 2))
def test_bits_of_one_call_for_any_chunking(mode, rule, four, seed):
    rng = np.random.default_rng([seed, four, MODES.index(mode), list(RULES).index(rule)])
    shape = (11, 14, 16)
    img = image(((3,) if four else ()) + shape, RULES[rule][seed], rng)
    choices, at = maps(shape), MODES.index(mode) + seed
    # A map per volume: each mode meets every map over the seeds.
    matrix = np.stack([choices[(at + k) % 5] for k in range(3)]) if four else choices[(at + seed + 4) % 5]
    kw = dict(interpolation="linear" if rule == "antialias" else rule, mode=mode, antialias=rule == "antialias",
              cval=-7.5 if rule in ("linear", "antialias") else 3)
    want = vexiloimgc.transform(img, SPACING, matrix, **kw)
    for k in range(2):
        src = da.from_array(img, chunks=random_chunks(img.shape, rng))
        if k:  # read through the source's chunks, not views of one array
            src = src.map_blocks(np.copy, dtype=img.dtype)
        out = random_chunks(want.shape, rng, -1 - (seed + at) % 3 if k == 0 else None)
        got = vd.transform(src, SPACING, matrix, output_chunks=out, **kw).compute()
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


# Z shifted (by 3, Z's blocks read planes 3 to 34 and 35 to 66), Y and X
# read in place; a half-plane shift reads planes floor(c) to ceil(c).
# "mirror" folds 64 to 66 back onto 62 to 60, "reflect" onto 63 to 61.
@pytest.mark.parametrize("rule,mode,shift,z0,z1", [
    ("linear", "grid-wrap", 3.0, (3, 35), (0, 64)), ("nearest", "mirror", 3.0, (3, 35), (35, 64)),
    ("label", "reflect", 3.0, (3, 35), (35, 64)), ("linear", "nearest", 3.0, (3, 35), (35, 64)),
    ("label", "grid-constant", 3.0, (3, 35), (35, 64)), ("linear", "constant", 3.0, (3, 35), (35, 64)),
    ("linear", "mirror", -0.5, (0, 32), (31, 64)), ("nearest", "mirror", -0.5, (0, 32), (32, 64)),
    ("linear", "grid-constant", 40.0, (40, 64), None), ("linear", "mirror", 40.0, (40, 64), (23, 55)),
    ("label", "reflect", 40.0, (40, 64), (24, 56)), ("nearest", "mirror", 100.0, (0, 64), (0, 64)),
    ("linear", "mirror", -70.0, (0, 64), (7, 39))])
def test_a_block_past_an_edge_reads_what_the_mode_gives(rule, mode, shift, z0, z1):
    shape = (64, 64, 64)
    m = np.hstack([np.eye(3), [[0.0], [0.0], [shift]]])
    got = {b[0]: b[2] for b in vd._block_boxes(shape, np.ones(3), m, None, ((32, 32), (20, 24, 20), (32, 32)),
                                              (rule, mode, False))}
    for z, want in ((0, z0), (1, z1)):
        assert got[(z, 1, 0)] == (None if want is None else (want, (20, 44), (0, 32)))


def test_a_tile_reads_its_box_and_leaves_what_it_lacks():
    img = np.random.default_rng(4).uniform(-9, 9, (6, 7, 8)).astype(np.float32)
    sp, m = np.ones(3), np.hstack([np.eye(3), [[0.5], [0.0], [0.0]]])
    whole = vexiloimgc.transform(img, sp, m, mode="mirror", cval=-1)
    # The box holds Z's planes 2 to 5; planes 0 and 1 map as ever, but
    # their samples are not held.
    got = vexiloimgc._native.transform(image=img[2:], spacing=sp, matrix=m, output_shape=(6, 7, 8),
                                       output_spacing=None, cval=-1, interpolation="linear", mode="mirror",
                                       tile=(6, 7, 8, 2, 0, 0, 0, 0, 0), workers=1)
    np.testing.assert_array_equal(got[2:], whole[2:])
    assert (got[:2] == -1).all()


@pytest.mark.parametrize("reach", [("linear", "wrap", False), ("bicubic", None, False), ("cubic", "mirror"),
                                   ("nearest", None, 1), ("cubic", False, True), ["linear", None, False]])
def test_source_boxes_refuses_a_bad_reach(reach):
    from vexiloimgc._native import source_boxes
    one, edges = np.ones(3, np.float32), np.array([0, 4], np.int64)
    args = dict(extents=np.array([4, 4, 4]), spacing=one, maps=np.eye(4, dtype=np.float32)[:3].ravel(),
                output_spacing=one, edges_n=np.array([0, 1]), edges_z=edges, edges_y=edges, edges_x=edges)
    assert source_boxes(**args, reach=("label", "grid-wrap", False)).shape == (1, 1, 1, 1, 6)
    with pytest.raises(ValueError, match=r"reach must be None or \(a rule name"):
        source_boxes(**args, reach=reach)

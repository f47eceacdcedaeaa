"""interpolation="cubic": the package against the NumPy model bit for bit
(every mode, 3-D and 4-D, maps past the edges, non-finite samples and
maps, element types, worker counts), against scipy.ndimage within float32
rounding, and its refusals."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import model
import vexiloimgc
from conftest import EYE, shifted
from test_filters import same_bits

scipy_ndimage = pytest.importorskip("scipy.ndimage")

F32 = np.float32
MODES = model.MODES
SP = np.array([1.0, 0.8, 1.25], F32)  # X, Y, Z


def turned(deg, scale=1.0, about=(6.0, 5.0, 7.0)):
    """A turn about Z through the physical point `about` (X, Y, Z), scaled."""
    a = math.radians(deg)
    r = scale * np.array([[math.cos(a), -math.sin(a), 0], [math.sin(a), math.cos(a), 0], [0, 0, 1]])
    c = np.array(about)
    return np.concatenate([r, (c - r @ c)[:, None]], axis=1).astype(F32).reshape(-1)


MAPS = {
    "turn": turned(25.0, 1.15),
    "shift": shifted(2.6, -3.3, 1.4),
    "far": shifted(-1e3, 257.5, 3e4),
    "nan": shifted(0.5, float("nan"), 0.0),
}


def source(shape, seed, dtype=F32, specials=False):
    a = np.random.default_rng(seed).uniform(-50, 50, shape)
    if specials:
        flat = a.reshape(-1)
        flat[7], flat[-40] = np.nan, np.inf
    return a.astype(dtype)


@pytest.mark.parametrize("mode", MODES + (None,))
@pytest.mark.parametrize("name", sorted(MAPS))
@pytest.mark.parametrize("workers", [1, 2])
def test_model_bit_for_bit(mode, name, workers):
    img = source((11, 13, 12), 3)
    got = vexiloimgc.transform(img, SP, MAPS[name], interpolation="cubic", mode=mode, cval=-7.5,
                               output_shape=(14, 15, 17), workers=workers)
    same_bits(got, model.cubic_model(img, SP, MAPS[name], mode, (14, 15, 17), cval=-7.5))


# The last two write enough voxels for two threads, with the lock released.
@pytest.mark.parametrize("shape,dtype,specials,mode,grid", [
    ((3, 9, 10, 11), F32, False, "grid-constant", (7, 12, 13)),
    ((2, 9, 10, 11), np.int16, False, "nearest", (7, 12, 13)),
    ((9, 10, 11), np.float64, True, "reflect", (7, 12, 13)),
    ((9, 10, 11), F32, True, "constant", (7, 12, 13)),
    ((1, 1, 30), F32, False, "mirror", (7, 12, 13)),
    ((2, 1, 5), np.uint8, False, "grid-wrap", (7, 12, 13)),
    ((1, 2, 7), F32, False, "grid-constant", (7, 12, 13)),
    ((2, 1, 1, 1), np.int8, False, "nearest", (7, 12, 13)),
    ((2, 16, 18, 20), F32, False, "grid-constant", (40, 50, 36)),
    ((16, 18, 20), F32, True, "mirror", (70, 50, 40)),
])
def test_model_types_and_shapes(shape, dtype, specials, mode, grid):
    img = source(shape, 5, dtype, specials)
    if dtype is not F32:
        img = img[..., ::-1]  # read by value, through a copy
    args = (img, SP, turned(-40.0, 0.9, (4.0, 3.0, 5.0)))
    kw = dict(output_shape=grid, output_spacing=(0.7, 1.1, 0.9), cval=2.25)
    for workers in (1, 2):
        got = vexiloimgc.transform(*args, interpolation="cubic", mode=mode, workers=workers, **kw)
        same_bits(got, model.cubic_model(*args, mode, **kw))


def to_scipy(m, out_spacing, spacing):
    """Our physical map as scipy's index map, (Z, Y, X) order."""
    a = np.asarray(m, np.float64).reshape(3, 4)
    lin = a[:, :3] * np.asarray(out_spacing, np.float64)[None, :] / np.asarray(spacing, np.float64)[:, None]
    return lin[::-1, ::-1], a[::-1, 3] / np.asarray(spacing, np.float64)[::-1]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", ["turn", "shift"])
def test_agrees_with_scipy(mode, name):
    img = source((12, 14, 13), 9) / 50
    got = vexiloimgc.transform(img, SP, MAPS[name], interpolation="cubic", mode=mode, cval=0.25)
    mat, off = to_scipy(MAPS[name], SP, SP)
    want = scipy_ndimage.affine_transform(img.astype(np.float64), mat, off, order=3, mode=mode, cval=0.25)
    # float32 positions, coefficients, weights and sums against scipy's doubles: a
    # few ulps of 1, and the position's error times the slope at a turn
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5)


@pytest.mark.parametrize("mode", MODES)
def test_identity_interpolates(mode):
    img = source((2, 8, 9, 10), 11)
    got = vexiloimgc.transform(img, SP, EYE, interpolation="cubic", mode=mode)
    np.testing.assert_allclose(got, img, rtol=0, atol=50 * 2e-6)


@pytest.mark.parametrize("kw,exc,text", [
    (dict(interpolation="cubic", mode="wrap"), ValueError,
     'mode must be None or one of "constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"'),
    (dict(interpolation="cubic", mode=b"mirror"), ValueError, "mode must be None or one of"),
    (dict(interpolation="cubic", out=np.zeros((6, 7, 8), np.float64)), ValueError, "out must be float32"),
    (dict(interpolation="cubic", out=np.zeros((6, 7, 8), np.int16)), ValueError, "out must be float32"),
])
def test_refusals(kw, exc, text):
    img = source((6, 7, 8), 1, np.int16)
    out = kw.pop("out", np.full((6, 7, 8), 3, F32))
    before = out.copy()
    with pytest.raises(exc) as e:
        vexiloimgc.transform(img, SP, EYE, out=out, **kw)
    assert text in str(e.value)
    np.testing.assert_array_equal(out, before)


def test_reslice_passes_mode():
    data = source((9, 8, 7), 4)
    target = np.eye(4)
    target[:3, 3] = 0.6
    got = vexiloimgc.reslice(data, np.eye(4), (9, 8, 7), target, interpolation="cubic", mode="grid-wrap")
    same_bits(got, model.cubic_model(data.T, np.ones(3), shifted(0.6, 0.6, 0.6), "grid-wrap").T)


@pytest.mark.parametrize("mode", ["constant", "grid-constant"])
def test_empty_source_gives_cval(mode):
    got = vexiloimgc.transform(np.zeros((0, 4, 5), F32), SP, EYE, interpolation="cubic", mode=mode, cval=1.5,
                               output_shape=(2, 3, 4))
    np.testing.assert_array_equal(got, np.full((2, 3, 4), 1.5, F32))


def test_maps_per_volume():
    img = source((3, 8, 9, 10), 6)
    maps = np.stack([turned(d, 1.0, (4.0, 3.0, 5.0)).reshape(3, 4) for d in (10.0, -35.0, 70.0)])
    got = vexiloimgc.transform(img, SP, maps, interpolation="cubic", mode="reflect", workers=2)
    for v in range(3):
        same_bits(got[v], model.cubic_model(img[v], SP, maps[v], "reflect"))


PEAK = """
import re, sys, numpy as np, vexiloimgc
def mib():  # the process's own high-water mark
    return int(re.search(r"VmHWM:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1)) / 1024
src = np.ones((64, 512, 512), np.float32)
whole = sys.argv[2] == "whole"
out = np.ones(src.shape, np.float32) if whole else None
vexiloimgc.transform(src[:4, :64, :64], np.ones(3), np.eye(4), interpolation="cubic")  # code in place
before = mib()
vexiloimgc.transform(src, np.ones(3), np.eye(4), out=out, output_shape=None if whole else (1, 1, 1),
                     interpolation="cubic", mode=sys.argv[1])
print(mib() - before)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine and shadow distort the resident size")
@pytest.mark.skipif(bool(os.environ.get("VX_EMULATED")), reason="it would measure the emulator")
@pytest.mark.parametrize("mode", ["constant", "nearest", "grid-constant"])
@pytest.mark.parametrize("output,most", [("voxel", 8), ("whole", 1.1 * 90 * 538 * 538 * 4 / 2**20)],
                         ids=["voxel", "whole"])
def test_one_float_copy_of_what_the_output_reads(mode, output, most):
    # A voxel reads a small box of the 64 MiB source; the whole output reads
    # all of it, grown by the pad under "nearest" and "grid-constant".
    r = subprocess.run([sys.executable, "-c", PEAK, mode, output], capture_output=True, text=True, check=True)
    assert float(r.stdout) < most

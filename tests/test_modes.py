"""mode= for "linear", "nearest" and "label": the package against the NumPy
model (model.moded_model) bit for bit, the identity under every mode,
positions many periods out, non-finite and huge positions, relabelling,
and the refusals."""

import math

import numpy as np
import pytest

import model
import vexiloimgc
from conftest import EYE, shifted
from test_cubic import turned
from test_filters import same_bits

F32 = np.float32
MODES = model.MODES
SP = np.array([1.0, 0.8, 1.25], F32)  # X, Y, Z
RULES = [("linear", F32), ("linear", np.uint8), ("nearest", np.int16), ("nearest", np.float64),
         ("label", np.uint8), ("label", np.int64)]


def image(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    if np.issubdtype(dtype, np.floating):
        return rng.uniform(-50, 50, shape).astype(dtype)
    return rng.integers(0, 5, shape).astype(dtype)  # few labels: ties and mixed cells


def oblique(seed):
    """A turn about a tilted axis, scaled, shifted past the edges."""
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    m = np.concatenate([q * rng.uniform(0.6, 1.2), rng.uniform(-4, 4, (3, 1))], axis=1)
    return m.astype(F32).reshape(-1)


def check(img, matrix, rule, mode, grid, cval, workers, **kw):
    got = vexiloimgc.transform(img, SP, matrix, interpolation=rule, mode=mode, cval=cval,
                               output_shape=grid, workers=workers, **kw)
    want = model.moded_model(img, SP, matrix, rule, mode, grid, kw.get("output_spacing"), cval)
    assert got.dtype == want.dtype
    if rule == "linear":
        same_bits(got, want)
    else:
        np.testing.assert_array_equal(got, want)
    return got


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("rule,dtype", RULES)
@pytest.mark.parametrize("workers,grid", [(1, (9, 10, 11)), (2, (44, 55, 60))])  # 2: enough for two threads
def test_model_bit_for_bit(mode, rule, dtype, workers, grid):
    img = image((7, 8, 9), dtype, 5)
    for seed in (1, 2):
        check(img, oblique(seed), rule, mode, grid, 3, workers)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("shift", [(0.5, 0.5, 0.5), (-0.5, 0.0, 0.75), (2.5, -1.5, 0.5)])
def test_label_ties(mode, shift):
    # Halves give terms of equal weight: exact ties, decided by the corner.
    check(image((6, 7, 8), np.int8, 7), shifted(*shift), "label", mode, None, -1, 1)


@pytest.mark.parametrize("mode", ["grid-constant", "reflect"])
@pytest.mark.parametrize("rule", ["linear", "label"])
def test_4d_strided_and_output_spacing(mode, rule):
    img = image((2, 14, 9, 20), np.int32 if rule == "label" else F32, 8)[:, ::2, :, ::-2]
    check(img, turned(25.0, 1.15), rule, mode, (2, 9, 8, 13), 4, 1, output_spacing=(1.5, 0.7, 0.9))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("rule", ["linear", "nearest"])
def test_identity_returns_samples(mode, rule):
    img = image((6, 7, 8), F32, 3)
    img[0, 0, 0], img[-1, -1, -1], img[2, 3, 4] = -0.0, -0.0, 3e38  # -0.0 beside large neighbours
    got = vexiloimgc.transform(img, SP, EYE, interpolation=rule, mode=mode, cval=9)
    np.testing.assert_array_equal(got.view(np.uint32), img.view(np.uint32))


@pytest.mark.parametrize("mode", MODES)
def test_identity_returns_labels(mode):
    img = image((2, 6, 7, 8), np.uint16, 4)
    np.testing.assert_array_equal(vexiloimgc.transform(img, SP, EYE, interpolation="label", mode=mode, cval=9), img)


@pytest.mark.parametrize("mode,period", [("grid-wrap", 1), ("reflect", 2)])
@pytest.mark.parametrize("rule", ["linear", "nearest", "label"])
@pytest.mark.parametrize("turns", [1000, -3001])
def test_periods_far_out(mode, period, rule, turns):
    # Shifts of whole periods, exact in float32 with unit spacing: the same
    # bits as the shift by the fraction alone.
    img = image((5, 6, 7), np.int16 if rule != "linear" else F32, 6)
    one = np.ones(3, F32)
    frac = (0.25, -0.5, 0.75)
    far = [f + turns * period * n for f, n in zip(frac, (7, 6, 5))]
    got = vexiloimgc.transform(img, one, shifted(*far), interpolation=rule, mode=mode)
    np.testing.assert_array_equal(got, vexiloimgc.transform(img, one, shifted(*frac), interpolation=rule, mode=mode))
    check(img, shifted(*far) / np.r_[one, 1, one, 1, one, 1].astype(F32), rule, mode, None, 0, 1)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("rule", ["linear", "nearest", "label"])
def test_unusable_positions(mode, rule):
    # NaN, infinities and |c| >= 2^62 map nowhere under every mode; just
    # below 2^62 maps under every mode but "constant".
    img = image((4, 5, 6), np.int16 if rule != "linear" else F32, 2)
    below = float(np.nextafter(F32(2.0**62), F32(0)))
    for t in (math.nan, math.inf, -math.inf, 2.0**62, -(2.0**62), 1e30):
        got = vexiloimgc.transform(img, np.ones(3, F32), shifted(0, t, 0), interpolation=rule, mode=mode, cval=7)
        np.testing.assert_array_equal(got, np.full(img.shape, 7, got.dtype))
    for t in (below, -below):
        got = check(img, shifted(0, 0, t), rule, mode, None, 7, 1)
        assert (got == 7).all() == (mode in ("constant", "grid-constant"))


@pytest.mark.parametrize("rule", ["linear", "nearest", "label"])
def test_reslice_wraps(rule):
    data = image((5, 6, 7), np.int16 if rule != "linear" else F32, 10)
    target = np.eye(4)
    target[:3, 3] = (2, -8, 21)  # voxel units: i + 2, j - 8, k + 21
    got = vexiloimgc.reslice(data, np.eye(4), data.shape, target, interpolation=rule, mode="grid-wrap")
    np.testing.assert_array_equal(got, np.roll(data, (-2, 8, -21), axis=(0, 1, 2)))


@pytest.mark.parametrize("mode", MODES)
def test_relabelling_commutes(mode):
    img = image((2, 7, 8, 9), np.uint8, 12)
    perm = np.random.default_rng(0).permutation(256).astype(np.uint8)
    for seed in (3, 4):
        got = vexiloimgc.transform(img, SP, oblique(seed), interpolation="label", mode=mode, cval=2)
        moved = vexiloimgc.transform(perm[img], SP, oblique(seed), interpolation="label", mode=mode,
                                     cval=int(perm[2]))
        np.testing.assert_array_equal(moved, perm[got])


@pytest.mark.parametrize("mode", ["constant", "grid-wrap", "nearest"])
def test_antialias_smooths_under_the_mode(mode):
    img = image((12, 14, 16), F32, 9)
    m = turned(30.0, 2.0)
    smoothed = model.antialiased(img, SP, [m], mode)
    got = vexiloimgc.transform(img, SP, m, mode=mode, antialias=True, output_shape=(6, 7, 8), cval=-1)
    same_bits(got, model.moded_model(smoothed, SP, m, "linear", mode, (6, 7, 8), cval=-1))


@pytest.mark.parametrize("rule", ["linear", "nearest", "label"])
def test_empty_source_is_the_fill(rule):
    img = np.zeros((0, 5, 6), np.int8)
    got = vexiloimgc.transform(img, SP, EYE, interpolation=rule, mode="grid-wrap", cval=3, output_shape=(2, 3, 4))
    np.testing.assert_array_equal(got, np.full((2, 3, 4), 3))


def test_refusals():
    img = image((4, 5, 6), np.int16, 1)
    with pytest.raises(ValueError, match="mode must be None or one of"):
        vexiloimgc.transform(img, SP, EYE, interpolation="label", mode="wrap")

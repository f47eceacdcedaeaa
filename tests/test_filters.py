"""The separable axis filters of the native module (the cubic B-spline
prefilter and the anti-aliasing Gaussian) against the NumPy model, bit for
bit; their tiling; and their taps against what they stand for."""

import math

import numpy as np
import pytest

import model
from vexiloimgc import _native

scipy_ndimage = pytest.importorskip("scipy.ndimage")

FACTORS = (3.0, 2.5, 1.7)  # X, Y, Z: K = 4, 3, 2
SHAPES = [(2, 5, 6, 7), (1, 1, 1, 1), (1, 2, 1, 2), (3, 2, 1, 40), (9, 2, 2), (1, 33, 34, 35)]


def same_bits(a, b):
    """Equal to the bit, NaN's payload aside (which operand's NaN a sum
    keeps is the compiler's choice)."""
    nan = np.isnan(a)
    np.testing.assert_array_equal(nan, np.isnan(b))
    np.testing.assert_array_equal(np.where(nan, 0, a).view(np.uint32), np.where(nan, 0, b).view(np.uint32))


def spline(a, mode, cval=0.0, workers=None, place=None):
    return _native.spline_coefficients(a, mode, cval, workers, place)


def smooth(a, mode, factors=FACTORS, workers=None, place=None):
    return _native.gaussian_smooth(a, factors, mode, workers, place)


def noisy(shape, seed, specials=True):
    a = np.random.default_rng(seed).uniform(-1, 1, shape).astype(np.float32)
    if specials:
        flat = a.reshape(-1)
        flat[::17], flat[5::23], flat[7::29], flat[3::31] = np.nan, np.inf, -np.inf, 1e-40
    return a


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("mode", model.MODES)
def test_filters_match_the_model(mode, shape, workers):
    a = noisy(shape, len(shape) + sum(shape), specials=shape[-1] > 2)
    same_bits(spline(a, mode, 1.5, workers), model.spline_model(a, mode, 1.5))
    same_bits(smooth(a, mode, workers=workers), model.gaussian_model(a, FACTORS, mode))


@pytest.mark.parametrize("mode", model.MODES)
@pytest.mark.parametrize("value", [np.float32(-3.75), np.float32(1e-40), np.float32(3e38)])
def test_a_constant_volume_is_kept(mode, value):
    # The taps sum to 1 to far below float32's resolution, whatever the extents.
    for shape in [(1, 1, 1), (2, 1, 3), (4, 5, 30)]:
        a = np.full(shape, value, np.float32)
        same_bits(spline(a, mode, cval=value), a)
        same_bits(smooth(a, mode, factors=(5, 2, 9)), a)


def grown(lo, hi, n, K, mode):
    """A block's box along one axis: grown by K, within the whole; a
    periodic axis reads across the whole where the block meets its edges."""
    if mode == "grid-wrap" and (lo < K or hi > n - K):
        return 0, n
    return max(lo - K, 0), min(hi + K, n)


@pytest.mark.parametrize("kind", ["spline", "gaussian"])
@pytest.mark.parametrize("mode", model.MODES)
def test_a_box_with_margins_gives_the_whole_volumes_bits(kind, mode):
    whole = noisy((2, 26, 27, 28), 3, specials=False)
    run = (lambda a, place=None: spline(a, mode, -2.0, place=place)) if kind == "spline" else \
          (lambda a, place=None: smooth(a, mode, place=place))
    K = (model.SPLINE_K,) * 3 if kind == "spline" else (2, 3, 4)  # Z, Y, X
    full = run(whole)
    edges = [(0, 5), (5, 13), (13, 26)], [(0, 27), (9, 20), (20, 27)], [(0, 1), (1, 14), (14, 28)]
    for block in zip(*edges):
        box = [grown(lo, hi, n, k, mode) for (lo, hi), n, k in zip(block, whole.shape[1:], K)]
        part = whole[(slice(None),) + tuple(slice(*b) for b in box)]
        place = [b[0] for b in box] + list(whole.shape[1:])
        got = run(part, place)
        inner = tuple(slice(lo - b[0], hi - b[0]) for (lo, hi), b in zip(block, box))
        same_bits(got[(slice(None),) + inner], full[(slice(None),) + tuple(slice(*b) for b in block)])
        # The rims too follow the documented arithmetic.
        if kind == "spline":
            same_bits(got, model.spline_model(part, mode, -2.0, place))
        else:
            same_bits(got, model.gaussian_model(part, FACTORS, mode, place))


@pytest.mark.parametrize("run", [spline, smooth], ids=["spline", "gaussian"])
def test_layouts_read_as_values(run):
    a = noisy((2, 6, 7, 8), 5)
    want = run(a, "reflect")
    for view in [a[:, ::-1, :, ::-1].copy()[:, ::-1, :, ::-1], a.astype(">f4"), np.asfortranarray(a)]:
        same_bits(run(view, "reflect"), want)


@pytest.mark.parametrize("mode", model.MODES)
def test_the_gaussian_over_many_slices(mode):
    # Slabs of slices on two threads, each reading the slices beside it and,
    # near the ends, those the mode reads past them (across the volume where it wraps).
    a = noisy((2, 70, 5, 6), 8)
    want = model.gaussian_model(a, (1.5, 3.0, 2.0), mode)
    for workers in (1, 2):
        same_bits(smooth(a, mode, (1.5, 3.0, 2.0), workers), want)


@pytest.mark.parametrize("mode", model.MODES)
def test_the_prefilter_inverts_cubic_sampling(mode):
    # Sampling the B-spline of the coefficients at the grid, (1, 4, 1) / 6
    # per axis under the same extension, gives the samples back; the error
    # is the float32 rounding of the coefficients, 6.6e-7 at most measured
    # for samples in [-1, 1]. Where the extension of the coefficients is not
    # that of the samples (nearest, grid-constant) only the interior is.
    a = noisy((1, 40, 41, 42), 11, specials=False)
    r = spline(a, mode)[0].astype(np.float64)
    for ax in range(3):
        n = r.shape[ax]
        at = model.extend(mode, np.arange(-1, n + 1), n)
        padded = np.concatenate([r, np.zeros_like(np.take(r, [0], axis=ax))], axis=ax)
        t = np.take(padded, np.where(at < 0, n, at), axis=ax)
        part = [np.take(t, np.arange(k, k + n), axis=ax) for k in range(3)]
        r = (part[0] + 4 * part[1] + part[2]) / 6
    inner = slice(model.SPLINE_K + 1, -model.SPLINE_K - 1) if mode in ("nearest", "grid-constant") else slice(None)
    np.testing.assert_allclose(r[inner, inner, inner], a[0][inner, inner, inner], rtol=0, atol=2e-6)


@pytest.mark.parametrize("mode", ["mirror", "reflect", "grid-wrap", "constant"])
def test_against_scipy(mode):
    # scipy's exact filters in double: ours differ by the taps' truncation
    # (2^-24 of their weight) and float32 rounding after each axis, 4.7e-6 at
    # most measured for samples in [-1, 1]; scipy prefilters "constant" as
    # "mirror". Gaussians whose 4 sigma is whole share scipy's radius.
    a = noisy((1, 40, 41, 42), 13, specials=False)
    want = scipy_ndimage.spline_filter(a[0].astype(np.float64), 3, mode=mode)
    np.testing.assert_allclose(spline(a, mode)[0], want, rtol=0, atol=1e-5)
    ours = "mirror" if mode == "constant" else mode
    for d in [2.0, 2.5, 5.0]:
        want = scipy_ndimage.gaussian_filter(a[0].astype(np.float64), (d - 1) / 2, mode=ours, truncate=4.0)
        np.testing.assert_allclose(smooth(a, mode, factors=(d, d, d))[0], want, rtol=0, atol=2e-7)


def test_the_taps_reach_and_exp():
    # K is the least reach whose dropped weight, 2 sqrt(3) |z|^(K+1) / (1 - |z|),
    # is below 2^-24 of the taps' total weight, 3.
    z = 2 - math.sqrt(3)

    def dropped(K):
        return 2 * math.sqrt(3) * z ** (K + 1) / (1 - z) / 3

    assert dropped(model.SPLINE_K) < 2.0**-24 <= dropped(model.SPLINE_K - 1)
    for x in np.linspace(-700, 0, 2001):
        assert model.fixed_exp(x) == pytest.approx(math.exp(x), rel=4e-16, abs=0)


class Raises:
    def __index__(self):
        raise ZeroDivisionError

    __float__ = __iter__ = __index__


@pytest.mark.parametrize("call, error, match", [
    (lambda a: spline(a, "wrap"), ValueError,
     'mode must be one of "constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap"'),
    (lambda a: spline(a.tolist(), "mirror"), TypeError, "image must be a numpy.ndarray, not list"),
    (lambda a: spline(a.astype(np.float64), "mirror"), TypeError, "image must be float32"),
    (lambda a: spline(a[0, 0], "mirror"), ValueError, "3 or 4 dimensions"),
    (lambda a: spline(a, "mirror", cval="1"), TypeError, "cval must be a real number, not str"),
    (lambda a: spline(a, "mirror", place=(0, 0, 0, 2, 3)), ValueError, "place must be None or 6 integers"),
    (lambda a: spline(a, "mirror", place=(0, 0, -1, 2, 3, 4)), ValueError, "place must be None or 6"),
    (lambda a: spline(a, "mirror", place=(0, 0, 0, 2, 3, -2**70)), ValueError, "place must be None or 6"),
    (lambda a: spline(a, "mirror", place=1), TypeError, "place must be None or a sequence of integers"),
    (lambda a: smooth(a, "mirror", factors=(2, 2)), ValueError, "factors must be 3 numbers"),
    (lambda a: smooth(a, "mirror", factors=(2, math.nan, 2)), ValueError, "factors must be 3 numbers"),
    (lambda a: smooth(a, "mirror", factors=(2, "2", 2)), TypeError, "factors must be a sequence of real"),
    # A caller's conversion runs before any check, and its exception passes unchanged.
    (lambda a: spline(None, "wrap", cval=Raises()), ZeroDivisionError, None),
    (lambda a: spline(None, "mirror", place=[1, Raises()]), ZeroDivisionError, None),
    (lambda a: smooth(None, "mirror", factors=Raises()), ZeroDivisionError, None),
    (lambda a: smooth(None, "mirror", factors=(2, 0, 2), place=[Raises()]), ZeroDivisionError, None),
])
def test_bad_arguments(call, error, match):
    a = np.zeros((2, 3, 4), np.float32)
    with pytest.raises(error, match=match):
        call(a)

"""The readers' tight loops for dense native rows against their element-by-
element route: the same image reached through a layout that rows cannot
serve must give the same bits."""

import numpy as np
import pytest

import _vexiloimgc
from conftest import CLONG

SPACING = np.array([1.0, 1.25, 0.75], np.float32)
MATRIX = np.array([0.97, -0.2, 0.05, 0.7, 0.21, 0.96, 0.0, -0.4, 0.0, 0.03, 1.01, 0.3], np.float32)


def values(dtype, shape):
    rng = np.random.default_rng(3)
    if dtype == np.uint8:
        return rng.integers(0, 256, shape).astype(dtype)
    if dtype == np.int16:
        return rng.integers(-(2**15), 2**15, shape).astype(dtype)
    if dtype == CLONG:
        v = rng.integers(-(2**40), 2**40, shape).astype(dtype)
        v.flat[:2] = [2**24 + 1, 2**24 + 3]  # rounded to nearest-even by the reader
        return v
    v = (rng.standard_normal(shape) * 100).astype(dtype)
    v.flat[:4] = [np.nan, -0.0, np.inf, 1e39 if dtype == np.float64 else -np.inf]
    return v


def slow_twin(a):
    """The same values behind an element stride the row loops do not take."""
    wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
    wide[..., ::2] = a
    return wide[..., ::2]


def same(x, y):
    return x.shape == y.shape and np.array_equal(x.view(np.uint32), y.view(np.uint32))


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, CLONG, np.float32, np.float64])
@pytest.mark.parametrize("shape", [(5, 6, 7), (2, 3, 4, 9), (1, 1, 13), (3, 4, 1)])
def test_dense_rows_match_element_route(dtype, shape):
    a = values(dtype, shape)
    slow = slow_twin(a)
    assert not slow.flags.c_contiguous or a.shape[-1] == 1
    want = _vexiloimgc.transform(slow, SPACING, MATRIX)
    assert same(_vexiloimgc.transform(a, SPACING, MATRIX), want)
    # Rows dense but the block not: every other slice.
    b = np.concatenate([a, a], axis=-3)[..., ::2, :, :] if a.shape[-3] > 1 else a
    assert same(_vexiloimgc.transform(b, SPACING, MATRIX),
                _vexiloimgc.transform(slow_twin(b), SPACING, MATRIX))


@pytest.mark.parametrize("dtype", [np.int16, np.float32, np.float64])
def test_parameters_through_dense_rows(dtype):
    a = values(np.float32, (4, 5, 6))
    sp, mx = SPACING.astype(dtype), MATRIX.astype(dtype)
    assert same(_vexiloimgc.transform(a, sp, mx), _vexiloimgc.transform(a, slow_twin(sp), slow_twin(mx)))

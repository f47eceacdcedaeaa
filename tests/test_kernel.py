"""The resampling arithmetic at the places where a slip would show: the
border bands, truncation toward zero, single-precision coordinates, NaN."""
import numpy as np
import pytest

import _vexiloimgc
from conftest import EYE, ONES, shifted
from model import model


def transform(image, spacing=ONES, matrix=EYE):
    return _vexiloimgc.transform(image, np.asarray(spacing, np.float32), matrix)


def row_volume(z=3, y=4):
    """Every row holds 1, 2, 3, 4, 5."""
    return np.broadcast_to(np.arange(1, 6, dtype=np.float32), (z, y, 5)).copy()


def test_identity_zeroes_voxels_with_two_high_faces():
    a = np.arange(1, 61, dtype=np.float32).reshape(3, 4, 5)
    r = transform(a)
    zero = np.zeros(a.shape, bool)
    zero[:2, 3, 4] = True           # last voxel of the last row, slices 0 and 1
    zero[2, 3, :] = zero[2, :, 4] = True
    assert zero.sum() == 10
    np.testing.assert_array_equal(r, np.where(zero, 0, a))


@pytest.mark.parametrize("s", [1.0, 2.0, 0.5])
def test_identity_with_exact_spacings(s, vol):
    r = transform(vol, [s, s, s])
    np.testing.assert_array_equal(r[:-1, :-1, :-1], vol[:-1, :-1, :-1])


def test_spacing_point_three_is_not_exact():
    a = np.random.default_rng(3).uniform(1, 2, (3, 3, 20)).astype(np.float32)
    r = transform(a, [0.3, 1, 1])
    # float32(15) * 0.3f / 0.3f lands just below 15: a sliver of column 14.
    c = np.float32(np.float32(15) * np.float32(0.3)) / np.float32(0.3)
    assert c < 15
    assert r[0, 0, 15] != a[0, 0, 15]
    np.testing.assert_allclose(r[0, 0, 15], a[0, 0, 15], rtol=1e-5)
    assert r.tobytes() == model(a, [0.3, 1, 1], EYE).tobytes()


def test_single_slice_is_bilinear():
    a = np.random.default_rng(4).uniform(0, 9, (1, 4, 5)).astype(np.float32)
    r = transform(a)
    np.testing.assert_array_equal(r[0, :-1, :-1], a[0, :-1, :-1])
    assert not r[0, -1].any() and not r[0, :, -1].any()


@pytest.mark.parametrize("shape", [(1, 1, 6), (1, 6, 1), (6, 1, 1)])
def test_two_unit_extents_give_zeros(shape):
    m = np.array([0.9, 0.1, 0, 0.3, 0.2, 1, 0, -0.4, 0, 0, 1, 0.2], np.float32)
    assert not transform(np.ones(shape, np.float32), ONES, m).any()


def test_shift_minus_half_extrapolates_at_column_zero():
    a = row_volume()
    r = transform(a, ONES, shifted(dx=-0.5))
    np.testing.assert_array_equal(r[0, 0], [0.5, 1.5, 2.5, 3.5, 4.5])
    np.testing.assert_array_equal(r[-1, 0], r[0, 0])   # Z face
    np.testing.assert_array_equal(r[0, -1], r[0, 0])   # Y face
    assert not r[-1, -1].any()                        # two faces


def test_shift_minus_one_and_a_half_uses_the_low_band():
    r = transform(row_volume(), ONES, shifted(dx=-1.5))
    np.testing.assert_array_equal(r[0, 0], [1, 0.5, 1.5, 2.5, 3.5])
    assert r[-1, 0, 0] == 0 and r[0, -1, 0] == 0


def test_shift_plus_half_uses_the_high_band():
    r = transform(row_volume(), ONES, shifted(dx=0.5))
    np.testing.assert_array_equal(r[0, 0], [1.5, 2.5, 3.5, 4.5, 5])


@pytest.mark.parametrize("dx, cols", [(-2.0, [0, 1]), (-1.999, [1, 0.001])])
def test_low_band_edge(dx, cols):
    r = transform(row_volume(), ONES, shifted(dx=dx))
    np.testing.assert_allclose(r[0, 0, :2], cols, rtol=1e-4)
    assert r[0, 0, 0] == cols[0]


@pytest.mark.parametrize("dx", [5.0, 6.5, 1e30, np.inf])
def test_shift_past_the_width_gives_zeros(dx):
    assert not transform(row_volume(), ONES, shifted(dx=dx)).any()


@pytest.mark.parametrize("spacing, matrix", [
    ([0, 1, 1], EYE), ([1, 1, np.nan], EYE), (ONES, shifted(dy=np.nan)),
    (ONES, np.where(EYE == 1, np.nan, 0).astype(np.float32))])
def test_zero_or_nan_parameters_give_zeros(spacing, matrix, vol):
    assert not transform(vol, spacing, matrix).any()


def test_nan_sample_reaches_its_eight_neighbours():
    a = np.ones((5, 6, 7), np.float32)
    a[2, 3, 4] = np.nan
    nan = np.isnan(transform(a))
    expected = np.zeros(a.shape, bool)
    expected[1:3, 2:4, 3:5] = True
    np.testing.assert_array_equal(nan, expected)


def test_volumes_are_resampled_alone():
    a = np.random.default_rng(5).uniform(1, 2, (3, 4, 5, 6)).astype(np.float32)
    r = transform(a, [1, 1, 2], shifted(dz=2))     # +1 slice at spacing 2
    np.testing.assert_array_equal(r[:, :-1, :-1, :-1], a[:, 1:, :-1, :-1])
    assert not r[:, -1].any()
    for v in range(3):
        assert r[v].tobytes() == transform(a[v], [1, 1, 2], shifted(dz=2)).tobytes()


@pytest.mark.parametrize("shape", [(0, 3, 4), (3, 0, 4), (2, 3, 4, 0), (0, 1, 1, 1)])
def test_empty_images(shape):
    r = transform(np.ones(shape, np.float32))
    assert r.shape == shape and r.dtype == np.float32

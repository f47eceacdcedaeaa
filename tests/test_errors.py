"""Every refusal: its exception, its exact text, and which comes first."""
import numpy as np
import pytest

import _vexiloimgc
from conftest import EYE, ONES

BIG = 2**31


def check(exc, text, image, spacing=ONES, matrix=EYE):
    with pytest.raises(exc) as e:
        _vexiloimgc.transform(image, spacing, matrix)
    assert str(e.value) == text


@pytest.mark.parametrize("obj, name", [([[[1.0]]], "list"), (None, "NoneType"), (3.0, "float"),
                                       (memoryview(b"abcd"), "memoryview")])
@pytest.mark.parametrize("which", ["image", "spacing", "matrix"])
def test_non_arrays(obj, name, which, vol):
    args = {"image": vol, "spacing": ONES, "matrix": EYE, which: obj}
    check(TypeError, f"transform: {which} must be a numpy.ndarray, not {name}", **args)


@pytest.mark.parametrize("ndim", [0, 1, 2, 5, 6])
def test_image_dimensions(ndim):
    check(ValueError, f"transform: image must have 3 or 4 dimensions, got {ndim}",
          np.zeros((2,) * ndim, np.float32))


@pytest.mark.parametrize("which, need, value, got", [
    ("spacing", 3, np.array(1, np.float32), "a 0-d array"),
    ("spacing", 3, np.ones(2, np.float32), "2"),
    ("spacing", 3, np.ones((0, 5), np.float32), "0"),
    ("matrix", 12, np.array(1, np.float32), "a 0-d array"),
    ("matrix", 12, np.eye(4, dtype=np.float32)[:3], "3"),     # 3x4: 3 along its first axis
    ("matrix", 12, np.eye(4, dtype=np.float32), "4"),
    ("matrix", 12, np.ones(11), "11")])
def test_short_parameters(which, need, value, got, vol):
    args = {"image": vol, "spacing": ONES, "matrix": EYE, which: value}
    check(ValueError, f"transform: {which} needs at least {need} values along its first axis, got {got}",
          **args)


def test_order_image_then_spacing_then_matrix(vol):
    bad = np.ones(12, bool)
    check(ValueError, "Failed to convert to FLOAT 3D", vol.astype(bool), bad, bad)
    check(ValueError, "Failed to convert to FLOAT", vol, bad, bad)
    check(ValueError, "Failed to convert to FLOAT", vol, ONES, bad)
    check(TypeError, "transform: image must be a numpy.ndarray, not list", [1], None, None)
    check(TypeError, "transform: spacing must be a numpy.ndarray, not NoneType", vol, None, [1])


@pytest.mark.parametrize("shape, dtype, exc, text", [
    # Extents and counts past the 32-bit indexing: refused before allocating.
    ((BIG, 1, 1), np.float32, MemoryError, "Failed to allocate memory in array2float3d"),
    ((2**16, 2**15, 1), np.float32, MemoryError, "Failed to allocate memory in array2float3d"),
    ((1, 2**29, 1, 1), np.uint8, MemoryError, "Failed to allocate memory in array2float4d"),
    ((BIG, 1, 1, 1), np.bool_, MemoryError, "Failed to allocate memory in array2float4d"),
    # Within the 3-D reader's range but past the output buffer's.
    ((2**29, 1, 1), np.uint8, MemoryError, "Failed to allocate memory in image transform"),
    ((2**15, 2**15, 1), np.float64, MemoryError, "Failed to allocate memory in image transform"),
    ((2**15, 2**15, 1), np.bool_, ValueError, "Failed to convert to FLOAT 3D"),
])
def test_huge_images(shape, dtype, exc, text):
    check(exc, text, np.broadcast_to(np.zeros((), dtype), shape))


@pytest.mark.parametrize("shape", [(0, BIG, 3), (BIG, 2**20, 0), (2**33, 0, 5, 2**20)])
def test_empty_image_keeps_a_huge_shape(shape):
    r = _vexiloimgc.transform(np.broadcast_to(np.zeros((), np.uint8), shape), ONES, EYE)
    assert r.shape == shape and r.dtype == np.float32


@pytest.mark.parametrize("which", ["spacing", "matrix"])
def test_huge_parameter(which, vol):
    args = {"image": vol, "spacing": ONES, "matrix": EYE,
            which: np.broadcast_to(np.float32(1), (BIG,))}
    check(MemoryError, "Failed to allocate memory in array2float", **args)


def test_failures_change_nothing(vol):
    image, m = vol.copy(), EYE.copy()
    for spacing in [np.ones(2), np.ones(3, bool), None]:
        with pytest.raises((ValueError, TypeError)):
            _vexiloimgc.transform(image, spacing, m)
    np.testing.assert_array_equal(image, vol)
    np.testing.assert_array_equal(m, EYE)

"""Images, spacings and matrices are read by value, whatever their element
type, layout, byte order or alignment."""
import numpy as np
import pytest

import _vexiloimgc
from conftest import CLONG, EYE, ONES

ACCEPTED = [np.uint8, np.int16, CLONG, np.float32, np.float64]
# intc and longlong: the 32- and 64-bit integers that are not C long anywhere.
REFUSED = [np.bool_, np.int8, np.uint16, np.intc, np.uint32, np.uint64, np.longlong,
           np.float16, np.longdouble, np.complex64, np.complex128, object, "M8[s]", "V4"]


def transform(image, spacing=ONES, matrix=EYE):
    return _vexiloimgc.transform(image, spacing, matrix)


def unaligned(a):
    """A copy of `a` whose data sit at an odd address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    b = np.frombuffer(raw.data, a.dtype, a.size, offset=1).reshape(a.shape)
    b[...] = a
    return b


LAYOUTS = {
    "C": lambda a: a,
    "F": np.asfortranarray,
    "reversed": lambda a: a[::-1, :, ::-1].copy()[::-1, :, ::-1],
    "strided": lambda a: np.repeat(np.repeat(a, 2, axis=-1), 3, axis=-3)[..., ::3, :, ::2],
    "transposed": lambda a: np.moveaxis(np.moveaxis(a, -1, 0).copy(), 0, -1),
    "byteswapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "unaligned": unaligned,
    "unaligned-byteswapped": lambda a: unaligned(a.astype(a.dtype.newbyteorder())),
}


@pytest.mark.parametrize("dtype", ACCEPTED)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("ndim", [3, 4])
def test_image_read_by_value(dtype, layout, ndim):
    shape = (2, 4, 5, 6)[4 - ndim:]
    a = np.random.default_rng(1).integers(0, 120, shape).astype(dtype)
    view = LAYOUTS[layout](a)
    np.testing.assert_array_equal(view, a)  # the view holds the same values
    assert transform(view).tobytes() == transform(np.ascontiguousarray(a)).tobytes()


@pytest.mark.parametrize("layout", ["F", "reversed", "byteswapped", "unaligned"])
@pytest.mark.parametrize("dtype", ACCEPTED + [np.longlong])
def test_parameters_read_by_value(layout, dtype, vol):
    m = np.array([1, 0, 0, 1, 0, 1, 0, 3, 0, 0, 1, 2], dtype)
    s = np.array([1, 2, 1], dtype)
    if layout == "F":   # a 2-D array is read down its first axis
        mm, ss = np.asfortranarray(np.tile(m[:, None], 3)), np.asfortranarray(np.tile(s[:, None], 2))
    elif layout == "reversed":
        mm, ss = m[::-1].copy()[::-1], s[::-1].copy()[::-1]
    else:
        mm, ss = LAYOUTS[layout](m[None, None])[0, 0], LAYOUTS[layout](s[None, None])[0, 0]
    expected = _vexiloimgc.transform(vol, s.astype(np.float32), m.astype(np.float32))
    assert _vexiloimgc.transform(vol, ss, mm).tobytes() == expected.tobytes()


def test_flat_4x4_matrix_uses_first_12_values(vol):
    m4 = np.eye(4)
    m4[:3, 3] = [0.5, -1, 2]
    expected = transform(vol, ONES, m4[:3].ravel())
    assert transform(vol, ONES, m4.ravel()).tobytes() == expected.tobytes()


@pytest.mark.parametrize("dtype", ACCEPTED)
def test_result_is_float32_of_the_image_shape(dtype):
    for shape in [(3, 4, 5), (1, 3, 4, 5), (2, 3, 4, 5)]:
        r = transform(np.ones(shape, dtype))
        assert r.dtype == np.float32 and r.shape == shape


def test_wide_integers_round_to_nearest_even():
    a = np.zeros((3, 3, 3), CLONG)
    a[0, 0, :2] = [2**24 + 1, 2**24 + 3]
    r = transform(a)
    assert r[0, 0, 0] == 2**24 and r[0, 0, 1] == 2**24 + 4


def test_doubles_round_and_overflow_to_infinity():
    a = np.zeros((3, 3, 5))
    a[0, 0, 0], a[0, 0, 3] = 0.1, 1e39
    r = transform(a)
    assert r[0, 0, 0] == np.float32(0.1) and r[0, 0, 3] == np.inf


@pytest.mark.parametrize("dtype", REFUSED)
@pytest.mark.parametrize("ndim", [3, 4])
def test_refused_image_types(dtype, ndim):
    a = np.zeros((1, 2, 2, 2)[4 - ndim:], dtype)
    with pytest.raises(ValueError, match=f"^Failed to convert to FLOAT {ndim}D$"):
        transform(a)


@pytest.mark.parametrize("dtype", [t for t in REFUSED if t is not np.longlong])
@pytest.mark.parametrize("which", ["spacing", "matrix"])
def test_refused_parameter_types(dtype, which, vol):
    args = {"spacing": ONES, "matrix": EYE}
    args[which] = args[which].astype(dtype)
    with pytest.raises(ValueError, match="^Failed to convert to FLOAT$"):
        _vexiloimgc.transform(vol, args["spacing"], args["matrix"])


@pytest.mark.parametrize("dtype", REFUSED)
def test_empty_image_of_any_type(dtype):
    r = transform(np.zeros((0, 3, 4), dtype))
    assert r.shape == (0, 3, 4) and r.dtype == np.float32

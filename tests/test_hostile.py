"""Hostile arguments: any dtype (refused ones too), byte order, layout and
dimension count, objects that are not arrays, short or empty parameters,
huge broadcast extents, NaN and infinities. Each call returns a new float32
array of the image's shape, equal to the model, or raises the documented
exception with its documented text; the arguments are never changed."""
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import _vexiloimgc
from conftest import EYE, ONES
from model import model

EXAMPLES = int(os.environ.get("VX_HOSTILE_EXAMPLES", "300"))
hostile = settings(max_examples=EXAMPLES, deadline=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

READ = {2, 3, 7, 11, 12}          # ubyte, short, C long, float, double
VECTOR = READ | {9}               # and longlong, for spacing and matrix
BIG = 2**31

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.intc, np.uintc, np.int_, np.uint,
          np.longlong, np.ulonglong, np.float16, np.float32, np.float64, np.longdouble,
          np.complex64, np.complex128, np.clongdouble, object, "U2", "S3", "V4", "M8[s]",
          "m8[ms]", [("a", "<f4")]]
if hasattr(getattr(np, "dtypes", None), "StringDType"):   # NumPy 2
    DTYPES.append(np.dtypes.StringDType())


def dtypes():
    def order(dt):
        dt = np.dtype(dt)
        swappable = dt.byteorder in "<>=" and dt.kind in "biufcmM"
        return st.sampled_from([dt, dt.newbyteorder()]) if swappable else st.just(dt)
    # Mostly types that are read, so that many calls get as far as the kernel.
    read = [np.float32, np.uint8, np.int16, np.int_, np.float64, np.longlong]
    pick = st.integers(0, 3).flatmap(lambda k: st.sampled_from(DTYPES if k == 3 else read))
    return pick.flatmap(order)


def filled(draw, shape, dt):
    """A C-ordered array of `shape` and dtype `dt` with hostile values."""
    size = math.prod(shape)
    pool = [0.0, -0.0, 1.0, -1.0, 0.5, 0.3, 255.0, -2.0, -1.5, 1e30, -1e30, 1e39, 2.0**24 + 1,
            np.nan, np.inf, -np.inf, 5e-324]
    vals = draw(st.lists(st.sampled_from(pool) | st.floats(-300, 300, allow_nan=False),
                         min_size=size, max_size=size))
    base = np.array(vals, np.float64).reshape(shape)
    if dt.kind in "USVT" or dt.fields:
        return np.zeros(shape, dt)
    with np.errstate(all="ignore"):
        if dt.kind in "mM":
            base = np.nan_to_num(base).astype(np.int64)
        return np.array(base, dt)   # an array also for shape ()


@st.composite
def arrays(draw, ndims, first=st.integers(0, 4), rest=st.integers(0, 4)):
    """An array in one of the layouts the readers must follow."""
    dt = draw(dtypes())
    nd = draw(ndims)
    shape = tuple(draw(first if k == 0 else rest) for k in range(nd))
    layout = draw(st.sampled_from(["C", "F", "reversed", "strided", "broadcast", "unaligned",
                                   "readonly", "subclass", "huge"]))
    if layout == "huge" and nd:
        # No memory behind it: zero strides over one element.
        big = draw(st.sampled_from([BIG, 2**29, 2**33, 2**16, 0]))
        shape = list(shape)
        shape[draw(st.integers(0, nd - 1))] = big
        return np.broadcast_to(filled(draw, (), dt), tuple(shape))
    a = filled(draw, shape, dt)
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "reversed" and nd:
        return np.ascontiguousarray(a[::-1])[::-1]
    if layout == "strided" and nd:
        wide = np.repeat(a, 2, axis=-1)
        return wide[..., ::-2][..., ::-1]
    if layout == "broadcast" and nd:
        return np.broadcast_to(a[..., :1], shape)
    if layout == "unaligned" and dt.kind not in "OT" and dt.itemsize > 1:
        raw = np.zeros(a.nbytes + 1, np.uint8)
        b = np.frombuffer(raw.data, dt, a.size, offset=1).reshape(shape)
        b[...] = a
        return b
    if layout == "readonly":
        a.flags.writeable = False
    if layout == "subclass":
        return a.view(np.ma.MaskedArray)
    return a


NOT_ARRAYS = st.sampled_from([None, 3, 2.5, "abc", b"abcd", [1.0, 2.0, 3.0], (1, 2, 3),
                              np.float32(1), {"a": 1}, memoryview(b"abcdefghijkl")])
@st.composite
def argument(draw, usual, other):
    """Mostly `usual` (arguments that pass, so the later checks and the kernel
    see hostile input too), sometimes `other` or no array at all."""
    k = draw(st.integers(0, 9))
    return draw(NOT_ARRAYS if k == 9 else other if k > 6 else usual)


images = argument(arrays(st.sampled_from([3, 4])), arrays(st.integers(0, 6)))
spacings = argument(arrays(st.sampled_from([1, 1, 2]), st.sampled_from([3, 3, 4]), st.integers(1, 3)),
                    arrays(st.integers(0, 3), st.integers(0, 5)))
matrices = argument(arrays(st.sampled_from([1, 1, 2]), st.sampled_from([12, 12, 16]), st.integers(1, 2)),
                    arrays(st.integers(0, 3), st.integers(0, 13)))


def expected(image, spacing, matrix):
    """The documented outcome: None for a result, else (exception, text)."""
    def not_array(a, name):
        t = type(a)   # the type's C name: "float", "numpy.float32"
        tp = t.__name__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__name__}"
        return TypeError, f"transform: {name} must be a numpy.ndarray, not {tp}"

    if not isinstance(image, np.ndarray):
        return not_array(image, "image")
    nd = image.ndim
    if nd not in (3, 4):
        return ValueError, f"transform: image must have 3 or 4 dimensions, got {nd}"
    if image.size == 0 and math.prod(d for d in image.shape if d) * 4 >= 2**63:
        # An empty image NumPy can hold whose float32 twin it cannot.
        return MemoryError, f"Failed to allocate memory in array2float{nd}d"
    if image.size:
        if max(image.shape) >= BIG or image.size >= (BIG if nd == 3 else 2**29):
            return MemoryError, f"Failed to allocate memory in array2float{nd}d"
        if image.dtype.num not in READ:
            return ValueError, f"Failed to convert to FLOAT {nd}D"
        if image.size > 2**29 - 1:
            return MemoryError, "Failed to allocate memory in image transform"
    for a, name, need in [(spacing, "spacing", 3), (matrix, "matrix", 12)]:
        if not isinstance(a, np.ndarray):
            return not_array(a, name)
        head = f"transform: {name} needs at least {need} values along its first axis, got"
        if a.ndim == 0:
            return ValueError, f"{head} a 0-d array"
        if a.shape[0] < need:
            return ValueError, f"{head} {a.shape[0]}"
        if a.size == 0:
            return ValueError, f"{head} an empty array"
        if a.shape[0] >= BIG:
            return MemoryError, "Failed to allocate memory in array2float"
        if a.dtype.num not in VECTOR:
            return ValueError, "Failed to convert to FLOAT"
    return None


def snapshot(a):
    """What `a` holds now, to compare after the call (huge broadcasts by
    their one element)."""
    if not isinstance(a, np.ndarray):
        return repr(a)
    if a.dtype.kind in "OT" or a.dtype.fields:
        small = a.size < 10**4 and max(a.shape, default=0) < 10**4  # (2**33, 0) lists 2**33 lists
        return a.shape, a.strides, a.flags.writeable, a.tolist() if small else None
    flags = a.shape, a.strides, a.dtype.str, a.flags.writeable
    if a.size > 10**4:
        a = np.lib.stride_tricks.as_strided(a, (1,) * a.ndim)
    return flags, np.asarray(a).tobytes()


def first_values(a, n):
    """The values the driver reads: along axis 0, the other indices 0."""
    return a[(slice(0, n),) + (0,) * (a.ndim - 1)].astype(np.float32)


@hostile
@given(image=images, spacing=spacings, matrix=matrices)
def test_hostile_arguments(image, spacing, matrix):
    before = [snapshot(a) for a in (image, spacing, matrix)]
    want = expected(image, spacing, matrix)
    event("result" if want is None else want[1][:40])
    if want is None:
        r = _vexiloimgc.transform(image, spacing, matrix)
        assert type(r) is np.ndarray and r.dtype == np.float32 and r.shape == image.shape
        assert r.flags.c_contiguous and r.flags.writeable and r.base is None
        assert not np.may_share_memory(r, image)
        if 0 < image.size <= 10**4:
            with np.errstate(all="ignore"):
                m = model(image.astype(np.float32), first_values(spacing, 3),
                          first_values(matrix, 12))
            np.testing.assert_array_equal(r.view(np.uint32) * ~np.isnan(r),
                                          m.view(np.uint32) * ~np.isnan(m))
            np.testing.assert_array_equal(np.isnan(r), np.isnan(m))
    else:
        with pytest.raises(want[0]) as e:
            _vexiloimgc.transform(image, spacing, matrix)
        assert type(e.value) is want[0] and str(e.value) == want[1]
    assert [snapshot(a) for a in (image, spacing, matrix)] == before


# Regressions found by the tools above.

@pytest.mark.parametrize("which, need", [("spacing", 3), ("matrix", 12)])
@pytest.mark.parametrize("shape", [(12, 0), (16, 3, 0), (12, 0, 5)])
def test_parameter_with_an_empty_trailing_axis(which, need, shape, vol):
    # Axis 0 is long enough but no element exists: the reader used to load
    # element (i, 0) past NumPy's one-byte block (ASan: heap-buffer-overflow).
    args = {"image": vol, "spacing": ONES, "matrix": EYE, which: np.ones(shape, np.float32)}
    with pytest.raises(ValueError) as e:
        _vexiloimgc.transform(*args.values())
    assert str(e.value) == (f"transform: {which} needs at least {need} values along its first "
                            "axis, got an empty array")


def test_memory_mapped_big_endian_volume(tmp_path):
    # The common stored form: a read-only map of big-endian 16-bit samples.
    vol = np.random.default_rng(5).integers(-3000, 3000, (6, 7, 8)).astype(">i2")
    vol.tofile(tmp_path / "vol.raw")
    mapped = np.memmap(tmp_path / "vol.raw", ">i2", "r", shape=vol.shape)
    m = np.float32([1, 0.1, 0, -0.5, 0, 1, 0.2, 0.25, 0.05, 0, 1, 0.5])
    r = _vexiloimgc.transform(mapped, ONES, m)
    np.testing.assert_array_equal(r, model(vol.astype(np.float32), ONES, m))
    del mapped


@pytest.mark.parametrize("shape", [(0, 2**31, 2**30), (2**20, 0, 2**20, 2**22)])
def test_empty_image_whose_float32_twin_numpy_cannot_hold(shape):
    # Fine as uint8, past NumPy's size limit as float32: refused, never a crash.
    image = np.broadcast_to(np.zeros((), np.uint8), shape)
    with pytest.raises(MemoryError) as e:
        _vexiloimgc.transform(image, ONES, EYE)
    assert str(e.value) == f"Failed to allocate memory in array2float{len(shape)}d"

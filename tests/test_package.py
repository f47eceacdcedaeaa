"""The package's transform: the module's bits and errors on any number of
threads, per-volume maps, out=, workers=, the released lock, no threads or
copies left behind."""
import os
import re
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import _vexiloimgc
import vexiloimgc
from conftest import EYE, ONES
from test_hostile import hostile, images, matrices, snapshot, spacings

rng = np.random.default_rng(2026)
# Enough rows for several threads (the split starts at 2^17 voxels).
VOL = rng.uniform(-500, 500, (3, 40, 45, 51)).astype(np.float32)
SPACING = np.float32([0.9, 1.1, 1.3])


def turn(k=0):
    """A zoomed turn with a shift: rows cross slices and the face bands."""
    a = np.radians(11 + 7 * k)
    c, s = np.cos(a), np.sin(a)
    m = np.array([[c, -s, 0.1, 3.0 + k], [s, c, -0.05, -2.5], [0.08, 0.1, 1.05, 1.5 - k]])
    return m.astype(np.float32)


def outcome(f, *args, **kw):
    try:
        r = f(*args, **kw)
    except Exception as e:  # the failure is the outcome here
        return type(e), str(e)
    assert type(r) is np.ndarray and r.dtype == np.float32 and r.flags.c_contiguous
    return r.shape, r.tobytes()


# Element types the package reads beyond the module's (by dtype.char).
PACKAGE_TYPES = set("?bBhHiIlLqQefd")


def package_maps(matrix, image):
    """The 12-value maps the package reads from a matrix of two or more
    dimensions (one, or one per volume), or None where it refuses the shape."""
    d, nd = matrix.shape, matrix.ndim
    if nd == 2 and d[1] == 4 and d[0] in (3, 4):
        return [np.ascontiguousarray(matrix[:3]).reshape(-1)]
    if image.ndim == 4 and d[0] == image.shape[0] and (
            (nd == 2 and d[1] in (12, 16)) or (nd == 3 and d[2] == 4 and d[1] in (3, 4))):
        return [np.ascontiguousarray(m).reshape(-1)[:12] for m in matrix]
    return None


def expected_of_package(image, spacing, matrix):
    """The package's outcome from the module's: array-likes read through
    numpy.asarray, element types the module refuses read by value, and
    matrices of two or more dimensions read as maps."""
    args = []
    for orig, name in ((image, "image"), (spacing, "spacing"), (matrix, "matrix")):
        a = orig
        if not isinstance(a, np.ndarray):
            a = np.asarray(a)
            if a.dtype.kind not in "biuf":
                return TypeError, f"transform: {name} must be an array of numbers, not {type(orig).__name__}"
        args.append(a)
    image, spacing, matrix = args
    maps = package_maps(matrix, image) if matrix.ndim >= 2 else None
    want = outcome(_vexiloimgc.transform, image, spacing, EYE if matrix.ndim >= 2 else matrix)
    nd = image.ndim
    if want == (ValueError, f"Failed to convert to FLOAT {nd}D"):
        if image.dtype.char not in PACKAGE_TYPES:
            return ValueError, (f"transform: an image of {image.dtype!r} is not read; images may be bool, "
                                "integers of 8 to 64 bits, float16, float32 or float64")
        image = image.astype(np.float32)
        want = outcome(_vexiloimgc.transform, image, spacing, EYE if matrix.ndim >= 2 else matrix)
    if matrix.ndim >= 2 and not isinstance(want[0], type):   # a result: the maps decide
        if maps is None:
            return ValueError, "does not fit"
        vols = [image] if len(maps) == 1 else list(image)
        parts = [outcome(_vexiloimgc.transform, vol, spacing, maps[min(k, len(maps) - 1)])
                 for k, vol in enumerate(vols)]
        for p in parts:
            if isinstance(p[0], type):   # the maps' own element type refused
                return p
        if len(maps) == 1:
            return parts[0]
        return want[0], b"".join(p[1] for p in parts)
    return want


@hostile
@given(image=images, spacing=spacings, matrix=matrices, workers=st.sampled_from([1, 2, 3, -1, None]))
def test_same_outcome_as_the_module(image, spacing, matrix, workers):
    # Past the module's sizes the package computes, gigabytes of zero-strided
    # image: test_large.py shows those bits.
    assume(not isinstance(image, np.ndarray) or image.ndim not in (3, 4) or image.size <= 2**24
           or max(image.shape) >= 2**31)
    before = [snapshot(a) for a in (image, spacing, matrix)]
    want = expected_of_package(image, spacing, matrix)
    got = outcome(vexiloimgc.transform, image, spacing, matrix, workers=workers)
    if want == (ValueError, "does not fit"):
        assert got[0] is ValueError and "does not fit" in got[1]
    else:
        assert got == want
    assert [snapshot(a) for a in (image, spacing, matrix)] == before


def layouts():
    """The image as callers hold it: read in place, or converted first."""
    c = VOL
    yield "c-order", c
    yield "3-d", c[1]
    yield "cropped", np.pad(c, ((0, 0), (2, 1), (0, 3), (4, 2)))[:, 2:-1, :-3, 4:-2]
    yield "broadcast-rows", np.broadcast_to(c[:, :, :1], c.shape)
    yield "volumes-reversed", c[::-1]
    yield "slices-reversed", c[:, ::-1]
    yield "fortran", np.asfortranarray(c)
    yield "byteswapped", c.astype(">f4")
    yield "int16", c.astype(np.int16)
    yield "float64", c.astype(np.float64)
    raw = np.zeros(c.nbytes + 1, np.uint8)
    yield "unaligned", np.frombuffer(raw.data, np.float32, c.size, offset=1).reshape(c.shape)


@pytest.mark.parametrize("name, image", list(layouts()), ids=[n for n, _ in layouts()])
def test_threads_give_the_bits_of_the_module(name, image):
    if name == "unaligned":
        image[...] = VOL
    want = _vexiloimgc.transform(image, SPACING, turn().ravel())
    for workers in (1, 2, 3, 7, -1, None):
        got = vexiloimgc.transform(image, SPACING, turn().ravel(), workers=workers)
        assert got.tobytes() == want.tobytes(), workers


@pytest.mark.parametrize("shape", [(3, 4), (4, 4), "N12", "N16", "N34", "N44"])
def test_matrix_shapes(shape):
    maps = np.stack([turn(k) for k in range(3)])                      # (N, 3, 4)
    square = np.concatenate([maps, np.tile([[[0, 0, 0, 1]]], (3, 1, 1))], axis=1).astype(np.float32)
    m = {(3, 4): maps[0], (4, 4): square[0], "N12": maps.reshape(3, 12), "N16": square.reshape(3, 16),
         "N34": maps, "N44": square}[shape]
    per_volume = isinstance(shape, str)
    got = vexiloimgc.transform(VOL, SPACING, m, workers=2)
    for k in range(3):
        want = _vexiloimgc.transform(VOL[k], SPACING, maps[k if per_volume else 0].ravel())
        assert got[k].tobytes() == want.tobytes()
    # Any layout of the maps: read through their strides.
    assert vexiloimgc.transform(VOL, SPACING, np.asfortranarray(m)).tobytes() == got.tobytes()


@pytest.mark.parametrize("image, shape", [
    (VOL, (2, 12)), (VOL, (3, 13)), (VOL, (3, 3, 3)), (VOL, (3, 4, 3)), (VOL, (1, 3, 4, 1)),
    (VOL[0], (1, 12)), (VOL[0], (3, 3)), (VOL, (16, 1))])
def test_matrix_shapes_refused(image, shape):
    with pytest.raises(ValueError, match=re.escape(f"a matrix of shape {shape} does not fit")) as e:
        vexiloimgc.transform(image, SPACING, np.ones(shape, np.float32))
    assert "(N, 12), (N, 16), (N, 3, 4) or (N, 4, 4)" in str(e.value)


def test_out_is_written_whole_and_returned():
    want = _vexiloimgc.transform(VOL, SPACING, turn().ravel())
    assert (want == 0).any()  # voxels that map nowhere must be overwritten too
    for workers in (1, 2):
        out = np.full(VOL.shape, np.nan, np.float32)
        assert vexiloimgc.transform(VOL, SPACING, turn(), out=out, workers=workers) is out
        assert out.tobytes() == want.tobytes()
    # Subclasses of ndarray are returned as they are.
    out = np.full(VOL.shape, 7, np.float32).view(np.ma.MaskedArray)
    assert vexiloimgc.transform(VOL, SPACING, turn(), out=out) is out


def refused_outs():
    f = np.zeros(VOL.shape, np.float32)
    ro = f.copy()
    ro.flags.writeable = False
    raw = np.empty(VOL.nbytes + 1, np.uint8)
    shared = np.empty(VOL.size, np.float32)  # spacing inside out
    shared[10:13] = SPACING
    return [
        ([1.0], TypeError, "out must be a numpy.ndarray or a writeable array with the buffer protocol or DLPack, "
                           "not list"),
        (f.astype(np.float64), ValueError, "out must be float32 in the machine's byte order, not dtype('float64')"),
        (f.astype(">f4"), ValueError, "out must be float32 in the machine's byte order, not dtype('>f4')"),
        (np.empty(VOL.shape[::-1], np.float32).T, ValueError, "out must be C-contiguous"),
        (np.frombuffer(raw.data, np.float32, VOL.size, 1).reshape(VOL.shape), ValueError, "out must be aligned"),
        (ro, ValueError, "out must be writeable"),
        (f[..., :-1].copy(), ValueError, "out must have the image's shape (3, 40, 45, 51), not (3, 40, 45, 50)"),
        (f[0], ValueError, "out must have the image's shape (3, 40, 45, 51), not (40, 45, 51)"),
        (VOL, ValueError, "out must not share memory with image"),
        (shared.reshape(VOL.shape), ValueError, "out must not share memory with spacing", shared[10:13]),
    ]


@pytest.mark.parametrize("out, exc, text, spacing", [c + (SPACING,) * (4 - len(c)) for c in refused_outs()],
                         ids=[c[2][4:] for c in refused_outs()])
def test_out_refused_and_left_unchanged(out, exc, text, spacing):
    before = snapshot(out) if isinstance(out, np.ndarray) else None
    with pytest.raises(exc) as e:
        vexiloimgc.transform(VOL, spacing, turn(), out=out)
    assert str(e.value) == "transform: " + text
    if before is not None and out is not VOL:
        assert snapshot(out) == before


class Exported:
    """Memory another library owns, reached only through DLPack, as a torch
    tensor's is; `legacy`: a producer of before DLPack 1.0."""

    def __init__(self, a, legacy=False):
        self.a, self.legacy = a, legacy

    def __dlpack__(self, **kw):
        return self.a.__dlpack__() if self.legacy else self.a.__dlpack__(**kw)

    def __dlpack_device__(self):
        return self.a.__dlpack_device__()


class OnDevice(Exported):
    def __dlpack__(self, **kw):
        raise BufferError("not in CPU memory")


READONLY_DLPACK = "read-only through DLPack"
ZOOM = np.diag([1.5, 1.5, 1.5, 1])
FIELD = vexiloimgc.Field(VOL[0, ..., None].repeat(3, -1) / 99, SPACING)
FOREIGN_CALLS = {
    "transform": lambda out=None: vexiloimgc.transform(VOL, SPACING, turn(), out=out),
    "reslice": lambda out=None: vexiloimgc.reslice(VOL[0].T, np.eye(4), (30, 40, 20), ZOOM, out=out),
    "warp": lambda out=None: vexiloimgc.warp(VOL, SPACING, [FIELD], out=out),
}


@pytest.mark.parametrize("call", sorted(FOREIGN_CALLS))
@pytest.mark.parametrize("kind", ["buffer", "dlpack"])
def test_out_any_writeable_array_written_through_a_view(call, kind):
    f = FOREIGN_CALLS[call]
    want = f()
    mem = np.full(want.shape, np.nan, np.float32, order="F" if call == "reslice" else "C")
    out = memoryview(mem) if kind == "buffer" else Exported(mem)
    if kind == "dlpack" and np.lib.NumpyVersion(np.__version__) < "2.1.0":
        with pytest.raises(ValueError, match=READONLY_DLPACK):
            f(out)
        assert np.isnan(mem).all()
        return
    assert f(out) is out
    assert mem.tobytes("A") == want.tobytes("A")


@pytest.mark.parametrize("make, exc, text", [
    (lambda m: Exported(m, legacy=True), ValueError, READONLY_DLPACK),
    (lambda m: OnDevice(m), TypeError, "out .OnDevice. gives NumPy no view through DLPack: not in CPU memory"),
    (lambda m: memoryview(m.tobytes()).cast("B").cast("f", m.shape), ValueError, "out must be writeable"),
    (lambda m: memoryview(m.astype(np.float64)), ValueError, "out must be float32"),
    (lambda m: memoryview(VOL), ValueError, "out must not share memory with image"),
])
def test_out_foreign_refused_and_left_unchanged(make, exc, text):
    mem = np.full(VOL.shape, 5, np.float32)
    with pytest.raises(exc, match=text):
        vexiloimgc.transform(VOL, SPACING, turn(), out=make(mem))
    assert (mem == 5).all()


def test_failure_of_another_argument_leaves_out_unchanged():
    out = np.full(VOL.shape, 3, np.float32)
    for bad in [dict(spacing=np.ones(2)), dict(matrix=np.ones(5)), dict(workers=0)]:
        args = dict(spacing=SPACING, matrix=turn(), workers=None) | bad
        with pytest.raises(ValueError):
            vexiloimgc.transform(VOL, args["spacing"], args["matrix"], out=out, workers=args["workers"])
    assert (out == 3).all()


@pytest.mark.parametrize("workers, exc, text", [
    (0, ValueError, "transform: workers must not be 0"),
    (1.0, TypeError, "transform: workers must be an integer or None, not float"),
    ("2", TypeError, "transform: workers must be an integer or None, not str"),
    (-(10**30), ValueError, "is out of range"),
    ("below", ValueError, "is out of range")])
def test_workers_refused(workers, exc, text):
    if workers == "below":
        workers = -len(os.sched_getaffinity(0)) - 1 if hasattr(os, "sched_getaffinity") else -(10**6)
    with pytest.raises(exc, match=re.escape(text)):
        vexiloimgc.transform(VOL, SPACING, turn(), workers=workers)


@pytest.mark.parametrize("workers", [np.int8(2), True, 10**30, -1])
def test_workers_any_integer(workers):
    want = _vexiloimgc.transform(VOL[0], SPACING, turn().ravel())
    assert vexiloimgc.transform(VOL[0], SPACING, turn(), workers=workers).tobytes() == want.tobytes()


def spinner(call):
    """Another Python thread's steps during `call`: how many per second, and
    the longest it waited between two, as a share of the call."""
    stamps, stop = [], threading.Event()

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.02)
    t0 = time.perf_counter()
    call()
    t1 = time.perf_counter()
    stop.set()
    t.join()
    inside = [t0] + [s for s in stamps if t0 < s < t1] + [t1]
    return (len(inside) - 2) / (t1 - t0), max(np.diff(inside)) / (t1 - t0)


def test_lock_is_released_while_working():
    big = np.random.default_rng(1).random((160, 192, 192), np.float32)
    # The module holds the lock: the other thread waits out the call. The
    # package lets it run, at about its own pace where a core is free; a
    # machine busy with other work may take that core for a moment, so the
    # best of three tries counts (for the module too: a thread that holds
    # the lock when the call starts, and is then descheduled, keeps the call
    # waiting for it).
    for _ in range(3):
        alone, _ = spinner(lambda: time.sleep(0.1))
        _, held = spinner(lambda: _vexiloimgc.transform(big, ONES, turn().ravel()))
        pace, wait = spinner(lambda: vexiloimgc.transform(big, ONES, turn(), workers=1))
        if held > 0.6 and wait < 0.25 and pace > 0.25 * alone:
            break
    assert held > 0.6
    assert wait < 0.25 and pace > 0.25 * alone


def threads_now():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_no_thread_outlives_the_call():
    before = threads_now()
    vexiloimgc.transform(VOL, SPACING, turn(), workers=4)
    # Joined threads have finished; the system may take a moment to tear
    # them down (visibly so under an emulator).
    for _ in range(100):
        if threads_now() == before:
            break
        time.sleep(0.02)
    assert threads_now() == before


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_child_of_fork_can_call_again():
    want = vexiloimgc.transform(VOL, SPACING, turn(), workers=2).tobytes()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads around
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = int(vexiloimgc.transform(VOL, SPACING, turn(), workers=2).tobytes() != want)
        finally:
            os._exit(code)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


PEAK = """
import re, sys, numpy as np, vexiloimgc
def kib():  # the process's own high-water mark
    return int(re.search(r"VmHWM:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1))
img = np.empty((144, 160, 176), np.float32)
img[...] = 1.5
m = np.float32([0.97, -0.25, 0, 30, 0.25, 0.97, 0, -20, 0, 0, 1, 0.5])
vexiloimgc.transform(img[:20], np.ones(3), m, workers=2)  # code and first threads in place
before = kib()
out = vexiloimgc.transform(img, np.ones(3), m, workers=int(sys.argv[1]))
print((kib() - before) * 1024 / out.nbytes)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine and shadow distort the resident size")
@pytest.mark.skipif(bool(os.environ.get("VX_EMULATED")), reason="it would measure the emulator")
@pytest.mark.parametrize("workers", [1, 2])
def test_peak_memory_is_the_result(workers):
    r = subprocess.run([sys.executable, "-c", PEAK, str(workers)], capture_output=True, text=True,
                       check=True)
    assert float(r.stdout) <= 1.05

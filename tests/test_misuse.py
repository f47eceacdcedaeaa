"""What a careless or hostile caller can do around a call: end the
interpreter while a daemon thread is inside one, change the arguments from
an argument's own conversion, raise from it, ask for absurd thread counts,
or call from a thread whose floating-point mode is not the default."""
import ctypes
import ctypes.util
import os
import platform
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _vexiloimgc
import vexiloimgc
from conftest import ONES
from vexiloimgc._native import transform as native

VOL = np.random.default_rng(15).uniform(-50, 50, (2, 30, 40, 50)).astype(np.float32)
TURN = np.float32([0.97, -0.24, 0.05, 2.5, 0.24, 0.97, 0, -1.5, 0, 0.02, 1.03, 0.5])
# How much longer a job takes here than on the machine the interrupts' delays
# are set for: under an emulator or AddressSanitizer they say only that the
# call stops part way.
SLOWER = float("inf") if os.environ.get("VX_EMULATED") else 5 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1

EXIT = """
import sys, threading, numpy as np, vexiloimgc, _vexiloimgc
mode = sys.argv[1]
img = np.ones((24 if mode == "module" else 96, 512, 512), np.float32)
m = np.float32([0.99, -0.1, 0, 2, 0.1, 0.99, 0, -1, 0, 0, 1, 0])
out = np.empty_like(img)
def loop():
    while True:
        if mode == "module":
            _vexiloimgc.transform(img, np.ones(3), m)
        elif mode == "out":
            vexiloimgc.transform(img, np.ones(3), m, out=out, workers=2)
        else:
            vexiloimgc.transform(img, np.ones(3), m, workers=int(mode))
threading.Thread(target=loop, daemon=True).start()
junk = [[i] for i in range(3_000_000)]  # a long final collection
"""


@pytest.mark.skipif(bool(os.environ.get("VX_EMULATED")), reason="minutes under an emulator")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="minutes under AddressSanitizer")
@pytest.mark.parametrize("mode", ["2", "1", "module", "out"])
def test_interpreter_ends_while_a_daemon_thread_calls(mode):
    # The daemon thread is ended inside the call, by unwinding its stack
    # where it takes the lock back: nothing may be freed through Python then.
    r = subprocess.run([sys.executable, "-c", EXIT, mode], capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr.decode()[-2000:]


class Index:
    """An integer whose conversion runs `act` first."""

    def __init__(self, act, value=2):
        self.act, self.value = act, value

    def __index__(self):
        self.act()
        return self.value


def shrink(out):
    out.resize((4,), refcheck=False)


def retype(out):
    out.__setstate__((1, out.shape, np.dtype(np.int32), False, b"\0" * out.nbytes))


@pytest.mark.parametrize("act, text", [(shrink, "must have the image's shape"),
                                       (retype, "must be float32")])
def test_workers_conversion_cannot_change_a_checked_out(act, text):
    out = np.zeros(VOL.shape, np.float32)
    with pytest.raises(ValueError, match=text):
        vexiloimgc.transform(VOL, ONES, TURN, out=out, workers=Index(lambda: act(out)))
    assert not out.any()


def test_workers_conversion_cannot_change_a_checked_image():
    image = VOL.copy()
    want = vexiloimgc.transform(VOL.ravel()[:16000].reshape(2, 4, 40, 50), ONES, TURN)
    got = vexiloimgc.transform(image, ONES, TURN, workers=Index(lambda: image.resize((2, 4, 40, 50),
                                                                                     refcheck=False)))
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, RecursionError, OverflowError,
                                 ValueError])
def test_errors_of_the_workers_conversion_pass_through(exc):
    raised = exc("from __index__")

    def act():
        raise raised

    with pytest.raises(exc) as e:
        vexiloimgc.transform(VOL, ONES, TURN, workers=Index(act))
    assert e.value is raised


def test_a_type_error_of_the_conversion_becomes_ours():
    def act():
        raise TypeError("inner")

    with pytest.raises(TypeError, match="workers must be an integer or None, not Index"):
        vexiloimgc.transform(VOL, ONES, TURN, workers=Index(act))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_threads_never_outnumber_the_cpus():
    big = np.ones((64, 256, 256), np.float32)
    peak, done = [0], threading.Event()

    def tasks():
        return len(os.listdir("/proc/self/task"))

    def watch():
        while not done.is_set():
            peak[0] = max(peak[0], tasks())

    w = threading.Thread(target=watch)
    w.start()
    base = tasks()
    try:
        for _ in range(3):
            # A joined thread can stay listed for a moment after its join
            # returns (an emulator keeps it for longer): let the last call's
            # team leave before counting the next one.
            end = time.monotonic() + 5
            while tasks() > base and time.monotonic() < end:
                time.sleep(0.005)
            vexiloimgc.transform(big, ONES, TURN, workers=10**9)
    finally:
        done.set()
        w.join()
    # The caller works too: a call adds at most a CPU's worth less one.
    assert peak[0] - base <= len(os.sched_getaffinity(0)) - 1


# ---- The caller's floating-point mode ---------------------------------------

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
MACHINE = platform.machine().lower()


def fenv():
    buf = ctypes.create_string_buffer(64)
    assert LIBM.fegetenv(buf) == 0
    return buf


def control():
    """The mode bits of this thread's environment, without the sticky flags
    that any float operation may raise."""
    raw = fenv().raw
    if MACHINE in ("x86_64", "amd64"):
        return raw[0:2], int.from_bytes(raw[28:32], "little") & ~0x3F
    return raw[0:4]


def set_mode(flush=False, upward=False):
    """Flush-to-zero with denormals-are-zero, or rounding upward, in this
    thread, through the C library's own environment."""
    env = fenv()
    if MACHINE in ("x86_64", "amd64"):
        mxcsr = int.from_bytes(env.raw[28:32], "little")
        mxcsr |= 0x8040 if flush else 0
        mxcsr = (mxcsr & ~0x6000) | (0x4000 if upward else 0)
        env.raw = env.raw[:28] + mxcsr.to_bytes(4, "little") + env.raw[32:]
        assert LIBM.fesetenv(env) == 0
        if upward:
            assert LIBM.fesetround(0x800) == 0
    elif MACHINE in ("aarch64", "arm64"):
        fpcr = int.from_bytes(env.raw[0:4], "little")
        fpcr |= (1 << 24) if flush else 0
        fpcr = (fpcr & ~(3 << 22)) | ((1 << 22) if upward else 0)
        env.raw = fpcr.to_bytes(4, "little") + env.raw[4:]
        assert LIBM.fesetenv(env) == 0
    else:
        pytest.skip(f"no mode table for {MACHINE}")


# Subnormal samples, spacings and weights, and values whose rounding shows.
TINY = (VOL * np.float32(1e-39)).astype(np.float32)
CASES = {
    "subnormal": (TINY, np.float64([0.7, 1.1, 1.9]), TURN),
    "rounding": (VOL.astype(np.float64) / 3, np.float64([0.7, 1.1, 1.9]), TURN.astype(np.float64) / 3),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads glibc's fenv_t")
@pytest.mark.parametrize("mode", [dict(flush=True), dict(upward=True)], ids=["ftz-daz", "upward"])
@pytest.mark.parametrize("call", ["module", "package-1", "package-2"])
@pytest.mark.parametrize("case", list(CASES))
def test_the_callers_floating_point_mode_changes_no_bit(mode, call, case):
    image, spacing, matrix = CASES[case]

    def run():
        if call == "module":
            return _vexiloimgc.transform(image[0], spacing, matrix)
        return vexiloimgc.transform(image, spacing, matrix, workers=int(call[-1]))

    want = run()
    before = control()
    try:
        set_mode(**mode)
        changed = control()
        got = run()
        after = control()
    finally:
        assert LIBM.fesetenv(ctypes.c_void_p(-1 & (2**64 - 1))) == 0  # FE_DFL_ENV
    assert changed != before
    assert after == changed  # handed back as it was
    assert got.tobytes() == want.tobytes()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads glibc's fenv_t")
@pytest.mark.parametrize("mode", [dict(flush=True), dict(upward=True)], ids=["ftz-daz", "upward"])
def test_reslices_map_is_formed_in_the_defined_mode(mode):
    rng = np.random.default_rng(21)
    a, t = np.eye(4), np.eye(4)
    a[:3] = rng.uniform(-0.3, 0.3, (3, 4)) + np.diag([2.19999909, 2.2, 3.3]) @ np.eye(3, 4)
    t[:3] = rng.uniform(-0.3, 0.3, (3, 4)) + np.diag([3.1, 2.9, 1e-310]) @ np.eye(3, 4) + [[0], [0], [1]]
    want = vexiloimgc.voxel_map(a, t), vexiloimgc.reslice(VOL[0], a, (14, 12, 10), t)
    try:
        set_mode(**mode)
        got = vexiloimgc.voxel_map(a, t), vexiloimgc.reslice(VOL[0], a, (14, 12, 10), t)
    finally:
        assert LIBM.fesetenv(ctypes.c_void_p(-1 & (2**64 - 1))) == 0  # FE_DFL_ENV
    assert [g.tobytes() for g in got] == [w.tobytes() for w in want]


def interrupted(call, out, wait=None):
    """Runs call() with SIGINT sent once out's first voxel is written (or
    `wait` seconds after the start), which must raise KeyboardInterrupt: the
    seconds from the signal to it."""
    main = threading.main_thread().ident
    sent = []

    def interrupt_once_started():
        # Sent after the first voxel is written, so a busy machine cannot
        # delay it past the end of the call.
        end = time.monotonic() + (60 if wait is None else wait)
        while (wait is not None or np.isnan(out.flat[0])) and time.monotonic() < end:
            time.sleep(0.001)
        sent.append(time.monotonic())
        signal.pthread_kill(main, signal.SIGINT)

    timer = threading.Thread(target=interrupt_once_started)
    # A suite started in the background by a non-interactive shell inherits
    # SIGINT ignored: Python's own handler is what the call must see.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        seen = time.monotonic()
    finally:
        timer.join()
        signal.signal(signal.SIGINT, handler)
    return seen - sent[0]


@pytest.mark.skipif(not hasattr(signal := __import__("signal"), "pthread_kill"), reason="needs signals")
@pytest.mark.parametrize("workers", [1, 2])
def test_an_interrupt_stops_a_long_call(workers):
    # Between its jobs the calling thread lets the interrupt through: the
    # call raises it, and `out` shows it stopped part way (it is never
    # reported as a result).
    big = np.ones((8, 128, 256, 256), np.float32)
    out = np.full(big.shape, np.nan, np.float32)
    interrupted(lambda: vexiloimgc.transform(big, ONES, TURN, out=out, workers=workers), out)
    assert np.isnan(out).any()


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs signals")
@pytest.mark.parametrize("kw", [dict(interpolation="cubic", mode="nearest", antialias=True),
                                dict(interpolation="linear", antialias=True)], ids=["cubic", "antialias"])
def test_an_interrupt_stops_the_filters(kw):
    # The source is smoothed and prefiltered before any row: an interrupt
    # sent then stops the call before its first voxel, within a moment. The
    # output reads the whole source, so that the filters outlast the calling
    # thread's first look for interrupts (50 ms) even on an idle machine.
    big = np.full((384, 384, 384), 1.5, np.float32)
    out = np.full((96, 96, 96), np.nan, np.float32)
    matrix = np.diag([4.0, 4.0, 4.0, 1.0])
    late = interrupted(lambda: vexiloimgc.transform(big, ONES, matrix, out=out, output_shape=out.shape, workers=2,
                                                    **kw), out, wait=0.02)
    assert np.isnan(out).all() and late < 1.0 * SLOWER


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs signals")
@pytest.mark.parametrize("workers", [1, 2])
def test_a_long_warp_sees_an_interrupt_soon(workers):
    # Many seconds of work in all, in jobs that each take a fraction of one.
    f = vexiloimgc.Field(np.random.default_rng(1).uniform(-1, 1, (8, 8, 8, 3)), (8, 8, 8))
    out = np.full((128, 512, 512), np.nan, np.float32)
    late = interrupted(lambda: vexiloimgc.warp(np.ones((8, 8, 8), np.float32), ONES, [f] * 32, out=out,
                                               output_shape=out.shape, workers=workers), out)
    assert late < 0.5 * SLOWER


# ---- Sequences whose items change them ---------------------------------------

class Meddler:
    """An integer whose __index__ first changes the list it sits in."""

    def __init__(self, value, act):
        self.value, self.act, self.list = value, act, None

    def __index__(self):
        self.act(self.list)
        return self.value


ACTS = {"clear": list.clear, "shorten": lambda l: l.__delitem__(slice(1, None)),
        "replace": lambda l: l.__setitem__(slice(1, None), [l[1] + 1] * (len(l) - 1))}


def meddling(values, act):
    first = Meddler(values[0], ACTS[act])
    first.list = [first, *values[1:]]
    return first.list


@pytest.mark.parametrize("act", list(ACTS))
@pytest.mark.parametrize("where", ["output_shape", "tile"])
def test_a_sequence_is_read_as_it_was_before_its_items_ran(where, act):
    # The items are read from a snapshot: never from freed memory, nor values
    # put in by an item's own conversion.
    src = VOL[0, :8, :8, :8].copy()
    want = vexiloimgc.transform(src, ONES, TURN)
    if where == "output_shape":
        got = vexiloimgc.transform(src, ONES, TURN, output_shape=meddling([8, 8, 8], act))
    else:
        got = native(image=src, spacing=ONES, matrix=TURN, output_shape=None, output_spacing=None, cval=0.0,
                     interpolation="linear", tile=meddling([8] * 3 + [0] * 6, act), workers=1)
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("which", ["spacing", "matrix", "output_spacing"])
def test_only_the_values_used_are_read_from_a_long_vector(which):
    # A broadcast view of 2^29 values holds 4 bytes: reading it whole would
    # take 2 GiB and seconds with the interpreter lock held.
    code = f"""
import resource, sys, numpy as np, vexiloimgc
kw = dict(spacing=np.ones(3, np.float32), matrix=np.float32([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]))
kw[{which!r}] = np.broadcast_to(np.float32(1), (2**29,))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
vexiloimgc.transform(np.ones((4, 4, 4), np.float32), kw["spacing"], kw["matrix"],
                     output_spacing=kw.get("output_spacing"))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert int(r.stdout) < 256 * 1024  # KiB



# Each entry of the binding that the package calls: what it requires, and
# some of what it may be given.
EDGES = dict(edges_n=np.array([0, 1], np.int64), edges_z=np.array([0, 4, 8], np.int64),
             edges_y=np.array([0, 8], np.int64), edges_x=np.array([0, 5, 8], np.int64))
GRID = dict(image=VOL[0, :8, :8, :8], spacing=ONES, output_shape=None, output_spacing=None, cval=0.0,
            interpolation="linear")
STEPS = vexiloimgc._steps([TURN.reshape(3, 4)])
ENTRIES = {"transform": (dict(GRID, matrix=TURN), dict(mode="mirror", antialias=True, workers=2)),
           "transform_check": (dict(GRID, matrix=TURN), dict(mode="mirror", antialias=True)),
           "warp": (dict(GRID, steps=STEPS), dict(mode="mirror", workers=2)),
           "warp_boxes": (dict(GRID, steps=STEPS), dict(EDGES, mode="mirror", workers=2)),
           "source_boxes": (dict(EDGES, extents=np.array([8, 8, 8], np.int64), spacing=ONES.astype(np.float32),
                                 maps=TURN, output_spacing=ONES.astype(np.float32), reach=None), {})}


@pytest.mark.parametrize("name", list(ENTRIES))
def test_the_native_entries_take_their_arguments_by_name(name):
    from vexiloimgc import _native
    entry, (required, given) = getattr(_native, name), ENTRIES[name]
    call = dict(required, **given)
    np.testing.assert_equal(entry(**dict(reversed(call.items()))), entry(**call))
    for k in required:
        with pytest.raises(TypeError, match=rf"^{name}\(\) missing required argument '{k}'"):
            entry(**{a: v for a, v in call.items() if a != k})
    with pytest.raises(TypeError, match=rf"^'worker' is an invalid keyword argument for {name}\(\)$"):
        entry(**required, worker=1)

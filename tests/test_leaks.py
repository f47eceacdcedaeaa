"""Thousands of calls down every path, succeeding and failing, leave the
process's memory and the arguments' reference counts where they were."""
import gc
import os
import sys

import numpy as np
import pytest

import _vexiloimgc
import vexiloimgc
from conftest import EYE, ONES

BIG = 2**31
# Large enough that one lost buffer per call shows in the resident size.
VOL = np.random.default_rng(3).uniform(-9, 9, (24, 32, 40)).astype(np.float32)
VOL4 = np.stack([VOL[:8]] * 3)
ZERO_U8 = np.zeros((), np.uint8)

# Each path ends at a different point of the driver, so each releases a
# different set of buffers.
PATHS = {
    "3d": (VOL, ONES, EYE),
    "4d-byteswapped": (VOL4.astype(">f8"), ONES.astype(np.int16), EYE.astype(np.longlong)),
    "empty": (np.zeros((0, 3, 4), np.int16), ONES, EYE),
    "image-not-array": ([[[1.0]]], ONES, EYE),
    "image-2d": (VOL[0], ONES, EYE),
    "image-type": (VOL.astype(np.int32), ONES, EYE),
    "image-extent": (np.broadcast_to(ZERO_U8, (BIG, 1, 1)), ONES, EYE),
    "image-4d-count": (np.broadcast_to(ZERO_U8, (2**10, 2**10, 2**9, 1)), ONES, EYE),
    "output": (np.broadcast_to(ZERO_U8, (2**29, 1, 1)), ONES, EYE),
    "spacing-not-array": (VOL, None, EYE),
    "spacing-0d": (VOL, np.array(1.0), EYE),
    "spacing-short": (VOL, np.ones(2), EYE),
    "spacing-empty": (VOL, np.ones((3, 0)), EYE),
    "spacing-type": (VOL, ONES.astype(np.uint16), EYE),
    "spacing-huge": (VOL, np.broadcast_to(np.float32(1), (BIG,)), EYE),
    "matrix-not-array": (VOL, ONES, tuple(EYE)),
    "matrix-short": (VOL, ONES, np.eye(4)),
    "matrix-type": (VOL, ONES, EYE.astype(np.complex64)),
    "matrix-huge": (VOL, ONES, np.broadcast_to(np.float32(1), (BIG,))),
}


def call(args):
    try:
        return _vexiloimgc.transform(*args)
    except (TypeError, ValueError, MemoryError):
        return None


# The package's own paths beside the module's: out, maps, workers, threads.
OUT = np.zeros(VOL.shape, np.float32)
BIG_VOL = np.zeros((48, 64, 64), np.float32)  # past the threads' threshold
# The module's count limits are not the package's: it refuses only what no
# memory holds (its result, or its image's float32 copy).
PACKAGE_PATHS = {name: (args, {}) for name, args in PATHS.items() if name not in ("image-4d-count", "output")} | {
    "output-nomem": ((VOL, ONES, EYE), {"output_shape": (2**30, 2**30, 2**30)}),
    "copy-nomem": ((np.broadcast_to(ZERO_U8, (2**30, 2**30, 1)), ONES, EYE), {"output_shape": (1, 1, 1)}),
    "out": ((VOL, ONES, EYE), {"out": OUT}),
    "out-shape": ((VOL, ONES, EYE), {"out": OUT[:-1]}),
    "out-not-array": ((VOL, ONES, EYE), {"out": [1.0]}),
    "maps": ((VOL4, ONES, np.tile(EYE, (3, 1))), {}),
    "maps-shape": ((VOL4, ONES, np.ones((2, 12))), {}),
    "threads": ((BIG_VOL, ONES, EYE), {"workers": 2}),
    "converted-threads": ((BIG_VOL.astype(np.int16), ONES, EYE), {"workers": 2}),
    "workers-zero": ((VOL, ONES, EYE), {"workers": 0}),
    "workers-type": ((VOL, ONES, EYE), {"workers": "2"}),
}


def call_package(args, kw):
    try:
        return vexiloimgc.transform(*args, **kw)
    except (TypeError, ValueError, MemoryError):
        return None


def rss():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="ASan's quarantine holds freed blocks; LeakSanitizer checks this run")
@pytest.mark.skipif(bool(os.environ.get("VX_EMULATED")),
                    reason="an emulator's resident size grows with every thread it has run")
def test_memory_stays_flat():
    for _ in range(3):                       # warm up allocator and caches
        for args in PATHS.values():
            call(args)
        for args, kw in PACKAGE_PATHS.values():
            call_package(args, kw)
    gc.collect()
    before = rss()
    for _ in range(150):                     # 19 + 28 paths and the count: 7200 calls
        for args in PATHS.values():
            call(args)
        for args, kw in PACKAGE_PATHS.values():
            call_package(args, kw)
        call(())                             # the wrapper's argument count
    gc.collect()
    grown = rss() - before
    # One lost image or output buffer per call would be 150 * 150 KiB.
    assert grown < 8 * 2**20, f"resident size grew by {grown} bytes"


@pytest.mark.parametrize("path", PATHS)
def test_reference_counts_unchanged(path):
    args = PATHS[path]
    # None is shared by the whole interpreter (and mortal before 3.12).
    objs = [a for a in args if a is not None] + [a.dtype for a in args if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(o) for o in objs]
    results = [call(args) for _ in range(200)]
    assert len({id(r) for r in results if r is not None}) in (0, 200)  # new arrays
    del results
    assert [sys.getrefcount(o) for o in objs] == before


@pytest.mark.parametrize("path", PACKAGE_PATHS)
def test_package_reference_counts_unchanged(path):
    args, kw = PACKAGE_PATHS[path]
    everything = list(args) + list(kw.values())
    objs = [a for a in everything if a is not None] + [a.dtype for a in everything if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(o) for o in objs]
    results = [call_package(args, kw) for _ in range(100)]
    del results
    assert [sys.getrefcount(o) for o in objs] == before
